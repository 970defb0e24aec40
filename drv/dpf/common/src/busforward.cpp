/*
 * The buffer of a forwarded device-control request, as both bus drivers build it: sized from the
 * caller's buffer (grown for a 32-bit caller's pass-through record), filled with a copy or the 64-bit
 * translation of the caller's data, and copied back within both buffers when the request ends.
 */
#include <ntddk.h>
#include "busframe.h"

#define BUS_ALIGN8(x) (((x) + 7) & ~(ULONG)7)

NTSTATUS BusForwardPrepare(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD pFwd)
{
    PIO_STACK_LOCATION pIrpStack = pFwd->pIrpStack;
    ULONG ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    pFwd->ulCallerBuffer = pIrp->AssociatedIrp.SystemBuffer != NULL ? (ulIn > ulOut ? ulIn : ulOut) : 0;
    pFwd->ulInput = ulIn;
    pFwd->fPassThru = BusIsPassThrough(ulIoctl);
    pFwd->fDirect = ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (pFwd->fPassThru) {
        PVOID pPassThru = NULL;
        status = BusPdoSetPassThruVars(&pFwd->pMdl, &pPassThru, &pFwd->f32bit, &pFwd->ul32bitDataBuffer,
                                       &pFwd->pDataBuffer, pDeviceObject, pIrp);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (pFwd->ulCallerBuffer > MAXULONG - sizeof(SCSI_STATUS) - 64) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSize = pFwd->ulCallerBuffer;
    if (pFwd->f32bit) {
        IO_STACK_LOCATION newStack;
        newStack.Parameters.DeviceIoControl.InputBufferLength = ulIn;
        status = BusPdoAdjustSizeFor32bit(pIrp, &newStack, &ulSize);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pFwd->ulInput = newStack.Parameters.DeviceIoControl.InputBufferLength;
    }
    pFwd->ulOutput = BUS_ALIGN8(ulSize);
    return STATUS_SUCCESS;
}

NTSTATUS BusForwardFill(PIRP pIrp, PBUS_FORWARD pFwd, PUCHAR pBuffer)
{
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (pFwd->ulOutput == 0 || pCaller == NULL || pFwd->ulCallerBuffer == 0) {
        return STATUS_SUCCESS;
    }
    if (pFwd->f32bit) {
        return BusPdoCopy32bitTo64bit(pBuffer, pFwd->ulOutput, pCaller, pFwd->ulCallerBuffer, pFwd->fDirect,
                                      pFwd->pMdl);
    }
    RtlCopyMemory(pBuffer, pCaller, pFwd->ulCallerBuffer);
    if (pFwd->fPassThru) {
        if (pFwd->fDirect) {
            /* The locked pages' system address in place of the caller's; none without a locked
               buffer, as the lower drivers would take a user address for a system one. */
            PVOID pSystem = NULL;
            if (pFwd->pMdl != NULL) {
                pSystem = MmGetSystemAddressForMdlSafe(pFwd->pMdl, NormalPagePriority);
                if (pSystem == NULL) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                DBG("BusPdoSendToFilter: PT direct cmd using system buffer 0x%p in place of user buffer 0x%p\n",
                    pSystem, pFwd->pDataBuffer);
            }
            RtlCopyMemory(pBuffer + 24, &pSystem, sizeof(pSystem));
        }
        if (!CmnPassThruRangesValid(pBuffer, pFwd->ulOutput, pFwd->fDirect)) {
            DBG("BusPdoSendToFilter: passthru data or sense range outside the buffer\n");
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS BusForwardCopyBack(PIRP pIrp, PBUS_FORWARD pFwd, const UCHAR *pBuffer, NTSTATUS status,
                            PULONG_PTR pulInformation)
{
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulCallerOut = pFwd->pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (pCaller == NULL || pBuffer == NULL) {
        *pulInformation = 0;
        return status;
    }
    if (pFwd->f32bit) {
        NTSTATUS st = BusPdoCopy64bitTo32bit(pCaller, pFwd->ulCallerBuffer, (PVOID)pBuffer, pFwd->ulOutput,
                                             pFwd->fDirect, pFwd->pMdl);
        if (!NT_SUCCESS(st) && NT_SUCCESS(status)) {
            status = st;
            *pulInformation = 0;
        }
    } else {
        ULONG_PTR ulCopy = *pulInformation;
        if (ulCopy > pFwd->ulOutput) {
            ulCopy = pFwd->ulOutput;
        }
        if (ulCopy > ulCallerOut) {
            DBG("BusPdoSendToFilter: Output buffer smaller than NewIrp's buffer 0x%08X < 0x%08X\n", ulCallerOut,
                (ULONG)ulCopy);
            ulCopy = ulCallerOut;
        }
        RtlCopyMemory(pCaller, pBuffer, ulCopy);
    }
    if (*pulInformation > ulCallerOut) {
        *pulInformation = ulCallerOut;
    }
    return status;
}

VOID BusForwardRestoreCaller(PIRP pIrp, PBUS_FORWARD pFwd)
{
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (!pFwd->fDirect || pCaller == NULL) {
        return;
    }
    if (pFwd->f32bit) {
        RtlCopyMemory(pCaller + 20, &pFwd->ul32bitDataBuffer, sizeof(ULONG));
    } else if (pFwd->pDataBuffer != NULL && pFwd->ulCallerBuffer >= CMN_PT64_LENGTH) {
        RtlCopyMemory(pCaller + 24, &pFwd->pDataBuffer, sizeof(PVOID));
    }
}

VOID BusForwardFileObject(PIO_STACK_LOCATION pNextStack)
{
    /* The file object is the application's open of the virtual device. A path's stack saw it only
       in the open and close that went down through that path; any other request goes without one,
       so that no driver below looks up an open it never had (after a failover it had none). */
    UCHAR ucMajor = pNextStack->MajorFunction;
    if (ucMajor != IRP_MJ_CREATE && ucMajor != IRP_MJ_CLEANUP && ucMajor != IRP_MJ_CLOSE) {
        pNextStack->FileObject = NULL;
    }
}
