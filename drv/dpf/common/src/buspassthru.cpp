/*
 * SCSI pass-through requests on a virtual device of either bus: the checks of the caller's record, the size
 * of the forwarded buffer, and the conversion of a 32-bit process's record to the 64-bit layout that
 * the lower drivers take and back. The byte-level conversions are the common library's; these
 * routines decide which layout a request carries and bound every copy by both buffers.
 */
#include <ntddk.h>
#include "busframe.h"

BOOLEAN BusIsPassThrough(ULONG ulIoctl)
{
    return ulIoctl == IOCTL_SCSI_PASS_THROUGH || ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

/*
 * Checks the Length field of the caller's record against the layout of the caller's process, as the
 * base and port drivers below do: a 32-bit process sends the 44-byte record, every other caller the
 * 56-byte one. A record of the other width is refused rather than guessed at: a 64-bit process's
 * 44-byte direct record would hand its 4-byte field on as an address, and its buffered one would
 * be rewritten under offsets it never meant.
 *   STATUS_BUFFER_TOO_SMALL      no system buffer, or fewer input bytes than the record needs
 *   STATUS_INFO_LENGTH_MISMATCH  a Length that is neither layout's
 *   STATUS_INVALID_PARAMETER     the other width's Length, a CdbLength outside 1 to 16 or an unknown DataIn
 */
NTSTATUS BusPassThruCheckLength(PIRP pIrp)
{
    ENT("BusPassThruCheckLength: pIrp 0x%08x\n", DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    PUCHAR pRecord = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    USHORT usLength = 0;
    USHORT usExpected = IoIs32bitProcess(pIrp) ? CMN_PT32_LENGTH : CMN_PT64_LENGTH;

    /* A request without input has no system buffer: nothing of the record is read before this. */
    if (pRecord == NULL || ulInput < CMN_PT32_LENGTH) {
        DBG("BusPdoSetPassThruVars: input length %d too small for a passthru struct\n", (int)ulInput);
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    RtlCopyMemory(&usLength, pRecord, sizeof(usLength));
    if (usLength != CMN_PT32_LENGTH && usLength != CMN_PT64_LENGTH) {
        DBG("BusPdoSetPassThruVars: Incorrect Length field of passthru struct.  Expected one of {%d, %d, %d, %d}, "
            "got %d\n",
            CMN_PT32_LENGTH, CMN_PT64_LENGTH, CMN_PT32_LENGTH, CMN_PT64_LENGTH, (int)usLength);
        status = STATUS_INFO_LENGTH_MISMATCH;
        goto done;
    }
    if (usLength != usExpected) {
        DBG("BusPassThruCheckLength: Length %d is not the caller's layout (%d)\n", (int)usLength, (int)usExpected);
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    if (ulInput < usLength) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    /* CdbLength (byte 6) and DataIn (byte 8) are at the same place in both layouts: a CDB of 1 to 16
       bytes, and one of the three directions. The drivers below are not left to trust them. */
    if (pRecord[6] == 0 || pRecord[6] > 16 || pRecord[8] > SCSI_IOCTL_DATA_UNSPECIFIED) {
        DBG("BusPassThruCheckLength: CdbLength %d or DataIn %d refused\n", (int)pRecord[6], (int)pRecord[8]);
        status = STATUS_INVALID_PARAMETER;
    }

done:
    EXT("BusPassThruCheckLength: status 0x%08x\n", (ULONG)status);
    return status;
}

/*
 * TRUE when the request's record is converted from the 32-bit layout: a record of Length 44, which
 * only a 32-bit process may send (BusPassThruCheckLength). The caller checked that the system buffer
 * holds at least 44 bytes.
 */
static BOOLEAN BusPassThruIs32bit(PIRP pIrp)
{
    USHORT usLength;
    RtlCopyMemory(&usLength, pIrp->AssociatedIrp.SystemBuffer, sizeof(usLength));
    return usLength == CMN_PT32_LENGTH && IoIs32bitProcess(pIrp);
}

NTSTATUS BusPdoSetPassThruVars(PMDL *ppMdl, PVOID *ppPassThru, PBOOLEAN pf32bit, PULONG pul32bitDataBuffer,
                               PVOID *ppDataBuffer, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSetPassThruVars: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN fDirect = ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    PUCHAR pRecord = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;

    *ppMdl = BusPdoGetMdl(pDeviceObject, pIrp);
    *ppPassThru = pRecord;
    *pf32bit = FALSE;
    *pul32bitDataBuffer = 0;
    *ppDataBuffer = NULL;

    status = BusPassThruCheckLength(pIrp);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    *pf32bit = BusPassThruIs32bit(pIrp);
    if (fDirect) {
        /* Put back into the caller's record before completion: the forwarded copy carries a
           system address in its place. */
        if (*pf32bit) {
            RtlCopyMemory(pul32bitDataBuffer, pRecord + 20, sizeof(ULONG));
        } else {
            RtlCopyMemory(ppDataBuffer, pRecord + 24, sizeof(PVOID));
        }
    }

done:
    EXT("BusPdoSetPassThruVars: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoAdjustSizeFor32bit(PIRP pIrp, PIO_STACK_LOCATION pNewStack, PULONG pulSize)
{
    ENT("BusPdoAdjustSizeFor32bit: pIrp 0x%08x, size %d\n", DBG_PTR(pIrp), (int)*pulSize);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;

    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL || !BusIsPassThrough(ulIoctl)) {
        goto done;
    }
    if (ulInput < CMN_PT32_LENGTH || pIrp->AssociatedIrp.SystemBuffer == NULL) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    if (!BusPassThruIs32bit(pIrp)) {
        goto done;
    }
    *pulSize += ulIoctl == IOCTL_SCSI_PASS_THROUGH ? CMN_PT32_GROWTH_BUFFERED : CMN_PT32_GROWTH_DIRECT;
    if (pNewStack->Parameters.DeviceIoControl.InputBufferLength < CMN_PT64_LENGTH) {
        pNewStack->Parameters.DeviceIoControl.InputBufferLength = CMN_PT64_LENGTH;
    }

done:
    EXT("BusPdoAdjustSizeFor32bit: status 0x%08x, size %d\n", (ULONG)status, (int)*pulSize);
    return status;
}

NTSTATUS BusPdoCopy32bitTo64bit(PVOID pDest, ULONG ulDestSize, PVOID pSource, ULONG ulSourceLength, BOOLEAN fDirect,
                                PMDL pMdl)
{
    ENT("BusPdoCopy32bitTo64bit: pDest 0x%08x (%d), pSource 0x%08x (%d), fDirect %d\n", DBG_PTR(pDest),
        (int)ulDestSize, DBG_PTR(pSource), (int)ulSourceLength, (int)fDirect);
    PVOID pSystemAddress = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    if (fDirect && pMdl != NULL) {
        pSystemAddress = MmGetSystemAddressForMdlSafe(pMdl, NormalPagePriority);
        if (pSystemAddress == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
    }
    status = CmnPassThru32To64(pDest, ulDestSize, pSource, ulSourceLength, fDirect, pSystemAddress);
    if (NT_SUCCESS(status) && fDirect && pMdl == NULL) {
        /* Nothing was locked (no buffer or no data): the lower drivers get no user address, which
           they would take for a system one. */
        RtlZeroMemory((PUCHAR)pDest + 24, sizeof(PVOID));
    }

done:
    EXT("BusPdoCopy32bitTo64bit: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoCopy64bitTo32bit(PVOID pCaller, ULONG ulCallerLength, PVOID pForwarded, ULONG ulForwardedLength,
                                BOOLEAN fDirect, PMDL pMdl)
{
    ENT("BusPdoCopy64bitTo32bit: pCaller 0x%08x (%d), pForwarded 0x%08x (%d), fDirect %d, pMdl 0x%08x\n",
        DBG_PTR(pCaller), (int)ulCallerLength, DBG_PTR(pForwarded), (int)ulForwardedLength, (int)fDirect,
        DBG_PTR(pMdl));
    NTSTATUS status = CmnPassThru64To32(pCaller, ulCallerLength, pForwarded, ulForwardedLength, fDirect);
    EXT("BusPdoCopy64bitTo32bit: status 0x%08x\n", (ULONG)status);
    return status;
}
