/*
 * Locked data buffers of pass-through-direct requests on a virtual device: the caller's pages are
 * locked once, in the caller's own context, and reached by their system address on every path the
 * request is sent to. Each buffer is queued with its request until the request completes.
 */
#include <ntddk.h>
#include "busframe.h"

/* ---- Locked data buffers of pass-through-direct requests ---- */

/* Reads the caller's data-buffer address, length and direction; FALSE when the record is too short
   to hold them. The direction stands at the same offset in both widths. */
static BOOLEAN BusSptdDataBuffer(PIRP pIrp, PVOID *ppBuffer, PULONG pulLength, PUCHAR pucDataIn)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PUCHAR pRecord = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    USHORT usLength;

    *ppBuffer = NULL;
    *pulLength = 0;
    /* A request without input has no system buffer at all: check before reading anything. */
    if (pRecord == NULL || ulInput < CMN_PT32_LENGTH) {
        return FALSE;
    }
    RtlCopyMemory(&usLength, pRecord, sizeof(usLength));
    RtlCopyMemory(pulLength, pRecord + 12, sizeof(ULONG));
    *pucDataIn = pRecord[8];
    if (IoIs32bitProcess(pIrp) && usLength == CMN_PT32_LENGTH) {
        ULONG ulBuffer;
        RtlCopyMemory(&ulBuffer, pRecord + 20, sizeof(ulBuffer));
        *ppBuffer = (PVOID)(ULONG_PTR)ulBuffer;
        return TRUE;
    }
    if (ulInput < CMN_PT64_LENGTH) {
        return FALSE;
    }
    RtlCopyMemory(ppBuffer, pRecord + 24, sizeof(PVOID));
    return TRUE;
}

/* MmProbeAndLockPages raises for a range that is not the caller's memory, or that the caller may
   not write when the drive is to write into it. */
static NTSTATUS BusProbeAndLock(PMDL pMdl, KPROCESSOR_MODE eMode, LOCK_OPERATION eOperation)
{
    volatile NTSTATUS status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(pMdl, eMode, eOperation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
        DBG("BusPdoLockSptdBuffer: 0x%08x thrown by MmProbeAndLockPages\n", (ULONG)status);
    }
    return status;
}

NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoLockSptdBuffer: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = STATUS_SUCCESS;
    PVOID pBuffer = NULL;
    ULONG ulLength = 0;
    PMDL pMdl = NULL;
    BOOLEAN fLocked = FALSE;
    UCHAR ucDataIn = SCSI_IOCTL_DATA_UNSPECIFIED;

    /* A record of the wrong width would name a data buffer where it has none: refused before
       anything of it is locked. */
    status = BusPassThruCheckLength(pIrp);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    if (!BusSptdDataBuffer(pIrp, &pBuffer, &ulLength, &ucDataIn)) {
        DBG("BusPdoLockSptdBuffer: input buffer too small for a pass-through record\n");
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    if (ulLength == 0) {
        goto done;   /* nothing to lock */
    }
    if (pBuffer == NULL) {
        /* A length without a buffer: the drive would move data to or from address 0. */
        DBG("BusPdoLockSptdBuffer: a data length of %u without a data buffer\n", ulLength);
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    pMdl = IoAllocateMdl(pBuffer, ulLength, FALSE, FALSE, NULL);
    if (pMdl == NULL) {
        DBG_NULL("BusPdoLockSptdBuffer: pMdl");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    /* Data the drive reads need only be readable: a backup program may write from a read-only
       mapping of its file. */
    status = BusProbeAndLock(pMdl, pIrp->RequestorMode, ucDataIn == SCSI_IOCTL_DATA_OUT ? IoReadAccess : IoWriteAccess);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    fLocked = TRUE;
    status = BusPdoQueueMdl(pDeviceObject, pIrp, pMdl);

done:
    if (!NT_SUCCESS(status)) {
        if (pMdl != NULL) {
            if (fLocked) {
                MmUnlockPages(pMdl);
            }
            IoFreeMdl(pMdl);
        }
        pIrp->IoStatus.Status = status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    EXT("BusPdoLockSptdBuffer: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoQueueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PMDL pMdl)
{
    ENT("BusPdoQueueMdl: pDeviceObject 0x%08x, pIrp 0x%08x, pMdl 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp),
        DBG_PTR(pMdl));
    PBUS_MDL_NODE *ppHead;
    PKSPIN_LOCK pLock;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    BusPdoMdlQueue(pDeviceObject, &ppHead, &pLock);
    PBUS_MDL_NODE pNode = (PBUS_MDL_NODE)ExAllocatePoolWithTag(NonPagedPool, sizeof(BUS_MDL_NODE), BUS_TAG_MDL_NODE);
    if (pNode == NULL) {
        DBG_NULL("BusPdoQueueMdl: pMdlQ");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(pNode, sizeof(BUS_MDL_NODE));
        pNode->pMdl = pMdl;
        pNode->pIrp = pIrp;
        KeAcquireSpinLock(pLock, &irql);
        PBUS_MDL_NODE *ppLink = ppHead;
        while (*ppLink != NULL) {
            ppLink = &(*ppLink)->pNext;
        }
        *ppLink = pNode;
        KeReleaseSpinLock(pLock, irql);
    }
    EXT("BusPdoQueueMdl: status 0x%08x\n", (ULONG)status);
    return status;
}

PMDL BusPdoGetMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoGetMdl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_MDL_NODE *ppHead;
    PKSPIN_LOCK pLock;
    PMDL pMdl = NULL;
    KIRQL irql;

    BusPdoMdlQueue(pDeviceObject, &ppHead, &pLock);
    KeAcquireSpinLock(pLock, &irql);
    for (PBUS_MDL_NODE pNode = *ppHead; pNode != NULL; pNode = pNode->pNext) {
        if (pNode->pIrp == pIrp) {
            pMdl = pNode->pMdl;
            break;
        }
    }
    KeReleaseSpinLock(pLock, irql);
    EXT("BusPdoGetMdl: pMdl 0x%08x\n", DBG_PTR(pMdl));
    return pMdl;
}

NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoDequeueMdl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = STATUS_SUCCESS;
    PBUS_MDL_NODE pFound = NULL;
    KIRQL irql;

    if (pDeviceObject == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        PBUS_MDL_NODE *ppHead;
        PKSPIN_LOCK pLock;
        BusPdoMdlQueue(pDeviceObject, &ppHead, &pLock);
        KeAcquireSpinLock(pLock, &irql);
        for (PBUS_MDL_NODE *ppLink = ppHead; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if ((*ppLink)->pIrp == pIrp) {
                pFound = *ppLink;
                *ppLink = pFound->pNext;
                break;
            }
        }
        KeReleaseSpinLock(pLock, irql);
        if (pFound != NULL) {
            MmUnlockPages(pFound->pMdl);
            IoFreeMdl(pFound->pMdl);
            ExFreePoolWithTag(pFound, BUS_TAG_MDL_NODE);
        }
    }
    EXT("BusPdoDequeueMdl: status 0x%08x\n", (ULONG)status);
    return status;
}

