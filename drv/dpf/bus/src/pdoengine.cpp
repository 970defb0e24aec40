/*
 * Processing routines of a virtual tape device's queued requests: each request is forwarded as a new
 * request to the filter device object of the drive's primary path, with a system buffer that ends in
 * the SCSI_STATUS record the lower drivers fill, and the caller's request completes with the outcome.
 *
 * One attempt on one path is BusPdoSendAttempt; a run (BusPdoSendToFilter) prepares the forwarding
 * once, chooses the target, makes the attempt, copies the results back within the caller's buffer
 * and completes the caller's request. Runs happen on the device's workers, one at a time.
 */
#include <ntddk.h>
#include "bus.h"

/* Codes refused on a virtual device whatever their method: they carry user addresses in their
   buffer, which the lower drivers would take for system addresses in a request from a system thread. */
#define BUS_IOCTL_ATA_PASS_THROUGH_DIRECT        CTL_CODE(IOCTL_SCSI_BASE, 0x040C, METHOD_BUFFERED, \
                                                          FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define BUS_IOCTL_SCSI_PASS_THROUGH_DIRECT_EX    CTL_CODE(IOCTL_SCSI_BASE, 0x0412, METHOD_BUFFERED, \
                                                          FILE_READ_ACCESS | FILE_WRITE_ACCESS)

#define BUS_ALIGN8(x) (((x) + 7) & ~(ULONG)7)

/* State of one run of BusPdoSendToFilter. */
typedef struct _BUS_FORWARD_RUN {
    PIO_STACK_LOCATION pIrpStack;   /* the caller's */
    UCHAR ucMajor;
    BOOLEAN fPassThru;
    BOOLEAN fDirect;
    BOOLEAN f32bit;                 /* the caller's record is converted from the 32-bit layout */
    PMDL pMdl;                      /* locked pass-through-direct data buffer, or NULL */
    ULONG ul32bitDataBuffer;        /* the caller's data-buffer values, put back at completion */
    PVOID pDataBuffer;
    ULONG ulCallerBuffer;           /* bytes of the caller's system buffer */
    ULONG ulSize;                   /* bytes of the forwarded system buffer, SCSI_STATUS included */
    ULONG ulOutput;                 /* forwarded output length: ulSize - sizeof(SCSI_STATUS) */
    ULONG ulInput;                  /* forwarded input length */
    NTSTATUS iStatus;               /* outcome of the last attempt */
    ULONG_PTR ulInformation;
    SCSI_STATUS scStatus;           /* the record of the last attempt */
} BUS_FORWARD_RUN, *PBUS_FORWARD_RUN;

BOOLEAN BusPdoIoctlAccepted(PIRP pIrp, ULONG ulIoctl)
{
    if (ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        return TRUE;   /* the bus locks its buffer and forwards a system address */
    }
    if ((ulIoctl & 3) != METHOD_BUFFERED) {
        return FALSE;  /* no system buffer of the size the bus copies */
    }
    if (ulIoctl == BUS_IOCTL_SCSI_PASS_THROUGH_DIRECT_EX || ulIoctl == BUS_IOCTL_ATA_PASS_THROUGH_DIRECT) {
        return FALSE;
    }
    if (DEVICE_TYPE_FROM_CTL_CODE(ulIoctl) == VORKA_TAPE_DEVICE_TYPE && pIrp->RequestorMode != KernelMode) {
        return FALSE;  /* the base drivers' private requests are the drivers' own */
    }
    return TRUE;
}

/*
 * The filter device object of the drive's primary path (else its first active path), referenced:
 * the path may go while the attempt uses it, its device object may not. NULL when there is none.
 */
static PDEVICE_OBJECT BusPdoReferencePrimary(PPDO_EXT pPdoExt)
{
    PDEVICE_OBJECT pTarget = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL) {
        PPATH_DATA pPath = BusPdoPrimaryPath(pPdoExt->pPdoData);
        for (PPATH_DATA pScan = pPdoExt->pPdoData->pListOfPaths; pPath == NULL && pScan != NULL; pScan = pScan->pNext) {
            if (pScan->fActive) {
                pPath = pScan;
            }
        }
        if (pPath != NULL && pPath->pFDO != NULL) {
            pTarget = pPath->pFDO;
            ObReferenceObject(pTarget);
        }
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return pTarget;
}

/* Works out the forwarded buffer's size and checks a pass-through record. */
static NTSTATUS BusPdoPrepareRun(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD_RUN pRun)
{
    PIO_STACK_LOCATION pIrpStack = pRun->pIrpStack;
    NTSTATUS status = STATUS_SUCCESS;

    pRun->ulSize = sizeof(SCSI_STATUS);
    if (pRun->ucMajor != IRP_MJ_DEVICE_CONTROL) {
        return STATUS_SUCCESS;
    }
    ULONG ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    pRun->ulCallerBuffer = pIrp->AssociatedIrp.SystemBuffer != NULL ? (ulIn > ulOut ? ulIn : ulOut) : 0;
    pRun->ulInput = ulIn;
    pRun->fPassThru = BusIsPassThrough(ulIoctl);
    pRun->fDirect = ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (pRun->fPassThru) {
        PVOID pPassThru = NULL;
        status = BusPdoSetPassThruVars(&pRun->pMdl, &pPassThru, &pRun->f32bit, &pRun->ul32bitDataBuffer,
                                       &pRun->pDataBuffer, pDeviceObject, pIrp);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (pRun->ulCallerBuffer > MAXULONG - sizeof(SCSI_STATUS) - 64) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSize = pRun->ulCallerBuffer + sizeof(SCSI_STATUS);
    if (pRun->f32bit) {
        IO_STACK_LOCATION newStack;
        newStack.Parameters.DeviceIoControl.InputBufferLength = ulIn;
        status = BusPdoAdjustSizeFor32bit(pIrp, &newStack, &ulSize);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pRun->ulInput = newStack.Parameters.DeviceIoControl.InputBufferLength;
    }
    pRun->ulSize = BUS_ALIGN8(ulSize);
    pRun->ulOutput = pRun->ulSize - sizeof(SCSI_STATUS);
    return STATUS_SUCCESS;
}

/* Fills the front of the forwarded buffer from the caller's system buffer. */
static NTSTATUS BusPdoFillBuffer(PIRP pIrp, PBUS_FORWARD_RUN pRun, PUCHAR pBuffer)
{
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (pRun->ulOutput == 0 || pCaller == NULL) {
        return STATUS_SUCCESS;
    }
    if (pRun->f32bit) {
        return BusPdoCopy32bitTo64bit(pBuffer, pRun->ulOutput, pCaller, pRun->ulCallerBuffer, pRun->fDirect,
                                      pRun->pMdl);
    }
    RtlCopyMemory(pBuffer, pCaller, pRun->ulCallerBuffer);
    if (pRun->fPassThru) {
        if (pRun->fDirect) {
            /* The locked buffer's system address in place of the caller's address; none without a
               locked buffer, as the lower drivers would take a user address for a system one. */
            PVOID pSystem = NULL;
            if (pRun->pMdl != NULL) {
                pSystem = MmGetSystemAddressForMdlSafe(pRun->pMdl, NormalPagePriority);
                if (pSystem == NULL) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                DBG("BusPdoSendToFilter: PT direct cmd using system buffer 0x%p in place of user buffer 0x%p\n",
                    pSystem, pRun->pDataBuffer);
            }
            RtlCopyMemory(pBuffer + 24, &pSystem, sizeof(pSystem));
        }
        if (!CmnPassThruRangesValid(pBuffer, pRun->ulOutput, pRun->fDirect)) {
            DBG("BusPdoSendToFilter: passthru data or sense range outside the buffer\n");
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

/*
 * One attempt: builds the forwarded request for pTarget, enters it with its record in the status
 * table, sends it and waits, copies the results back within the caller's buffer. The outcome is in
 * pRun (iStatus, ulInformation, scStatus).
 */
static NTSTATUS BusPdoSendAttempt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pTarget,
                                  PBUS_FORWARD_RUN pRun)
{
    ENT("BusPdoSendAttempt: pDeviceObject 0x%08x, pIrp 0x%08x, pTarget 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp), DBG_PTR(pTarget));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIRP pNewIrp = NULL;
    PUCHAR pBuffer = NULL;
    PSCSI_STATUS pScsiStatus;
    PIRPS_WITH_STATUS pBlock = NULL;
    ULONG ulIndex = 0;
    BOOLEAN fInTable = FALSE;
    NTSTATUS status;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    pRun->ulInformation = 0;
    {
        CCHAR cStack = (CCHAR)pTarget->StackSize;
        pNewIrp = IoAllocateIrp(cStack < 0 ? 3 : (CCHAR)(cStack + 3), FALSE);
    }
    if (pNewIrp == NULL) {
        DBG_NULL("BusPdoSendToFilter: pNewIrp");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, pRun->ulSize, BUS_TAG_FORWARD_BUFFER);
    if (pBuffer == NULL) {
        DBG_NULL("BusPdoSendToFilter: pSystemBuffer");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pBuffer, pRun->ulSize);
    status = BusPdoFillBuffer(pIrp, pRun, pBuffer);
    if (!NT_SUCCESS(status)) {
        goto done;
    }

    /* The record is the last 96 bytes. */
    pScsiStatus = (PSCSI_STATUS)(pBuffer + pRun->ulOutput);
    if (pRun->ucMajor == IRP_MJ_CLOSE && pPdoExt->ulOpenHandles == 0) {
        pScsiStatus->ulInformation = 1;   /* the last handle is closing */
    }

    {
        PIO_STACK_LOCATION pNextStack = IoGetNextIrpStackLocation(pNewIrp);
        RtlCopyMemory(pNextStack, pRun->pIrpStack, sizeof(IO_STACK_LOCATION));
        pNextStack->Control = 0;
        pNextStack->CompletionRoutine = NULL;
        pNextStack->Context = NULL;
        if (pRun->ucMajor == IRP_MJ_DEVICE_CONTROL) {
            pNextStack->Parameters.DeviceIoControl.OutputBufferLength = pRun->ulOutput;
            pNextStack->Parameters.DeviceIoControl.InputBufferLength =
                pRun->ulInput < pRun->ulOutput ? pRun->ulInput : pRun->ulOutput;
        }
    }
    pNewIrp->AssociatedIrp.SystemBuffer = pBuffer;
    pNewIrp->MdlAddress = pIrp->MdlAddress;   /* the caller's data of a read or write */
    pNewIrp->Tail.Overlay.Thread = pIrp->Tail.Overlay.Thread;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    pNewIrp->UserEvent = &event;
    pNewIrp->UserIosb = &ioStatus;
    IoSetCompletionRoutine(pNewIrp, CmnIrpSyncCompletion, &event, TRUE, TRUE, TRUE);

    if (pPdoExt->pIrpsWithStatus == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    pBlock = pPdoExt->pIrpsWithStatus;
    status = BusIrpsWithStatusSet(pPdoExt, &pBlock, &ulIndex, pNewIrp, pScsiStatus);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    fInTable = TRUE;

    status = IoCallDriver(pTarget, pNewIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = pNewIrp->IoStatus.Status;
    pRun->ulInformation = pNewIrp->IoStatus.Information;
    BusIrpsWithStatusClear(pPdoExt, pBlock, ulIndex);
    fInTable = FALSE;
    RtlCopyMemory(&pRun->scStatus, pScsiStatus, sizeof(SCSI_STATUS));

    /* Results back into the caller's buffer, never past it nor past what was forwarded. */
    if (pRun->ucMajor == IRP_MJ_DEVICE_CONTROL && pIrp->AssociatedIrp.SystemBuffer != NULL) {
        ULONG ulCallerOut = pRun->pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        if (pRun->f32bit) {
            NTSTATUS st = BusPdoCopy64bitTo32bit(pIrp->AssociatedIrp.SystemBuffer, pRun->ulCallerBuffer, pBuffer,
                                                 pRun->ulOutput, pRun->fDirect, pRun->pMdl);
            if (!NT_SUCCESS(st) && NT_SUCCESS(status)) {
                status = st;
                pRun->ulInformation = 0;
            }
        } else {
            ULONG_PTR ulCopy = pRun->ulInformation;
            if (ulCopy > pRun->ulOutput) {
                ulCopy = pRun->ulOutput;
            }
            if (ulCopy > ulCallerOut) {
                DBG("BusPdoSendToFilter: Output buffer smaller than NewIrp's buffer 0x%08X < 0x%08X\n", ulCallerOut,
                    (ULONG)ulCopy);
                ulCopy = ulCallerOut;
            }
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, pBuffer, ulCopy);
        }
        if (pRun->ulInformation > ulCallerOut) {
            pRun->ulInformation = ulCallerOut;
        }
        if (pRun->fDirect) {
            /* The caller's own data-buffer value, not the system address the forwarded copy carried. */
            PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
            if (pRun->f32bit) {
                RtlCopyMemory(pCaller + 20, &pRun->ul32bitDataBuffer, sizeof(ULONG));
            } else if (pRun->ulCallerBuffer >= CMN_PT64_LENGTH) {
                RtlCopyMemory(pCaller + 24, &pRun->pDataBuffer, sizeof(PVOID));
            }
        }
    }

done:
    if (fInTable) {
        BusIrpsWithStatusClear(pPdoExt, pBlock, ulIndex);
    }
    if (pNewIrp != NULL) {
        pNewIrp->MdlAddress = NULL;   /* the caller's */
        IoFreeIrp(pNewIrp);
    }
    if (pBuffer != NULL) {
        ExFreePoolWithTag(pBuffer, BUS_TAG_FORWARD_BUFFER);
    }
    pRun->iStatus = status;
    EXT("BusPdoSendAttempt: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT pTarget = NULL;
    BUS_FORWARD_RUN run;
    NTSTATUS status;

    RtlZeroMemory(&run, sizeof(run));
    pIrp->IoStatus.Information = 0;
    run.pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (run.pIrpStack == NULL) {
        DBG_NULL("BusPdoSendToFilter: pIrpStack");
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }
    run.ucMajor = run.pIrpStack->MajorFunction;
    if (run.ucMajor != IRP_MJ_CREATE && run.ucMajor != IRP_MJ_CLOSE && run.ucMajor != IRP_MJ_READ &&
        run.ucMajor != IRP_MJ_WRITE && run.ucMajor != IRP_MJ_DEVICE_CONTROL) {
        DBG("BusPdoSendToFilter: Type %s (NOT SUPPORTED)\n", DbgMajorFunctionName(run.ucMajor));
        status = STATUS_NOT_IMPLEMENTED;
        goto complete;
    }
    status = BusPdoPrepareRun(pDeviceObject, pIrp, &run);
    if (!NT_SUCCESS(status)) {
        goto complete;
    }
    pTarget = BusPdoReferencePrimary(pPdoExt);
    if (pTarget == NULL) {
        DBG("BusPdoGetTarget: Delete pending.  No requests allowed.\n");
        status = STATUS_OBJECT_PATH_NOT_FOUND;
        goto complete;
    }
    status = BusPdoSendAttempt(pDeviceObject, pIrp, pTarget, &run);

complete:
    if (pTarget != NULL) {
        ObDereferenceObject(pTarget);
    }
    if (run.fDirect) {
        BusPdoDequeueMdl(pDeviceObject, pIrp);
    }
    /* The line's text is the driver's own, spacing included. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    DBG("BusPdoSendToFilter: Will complete irp with Status 0x%08x, Information 0x % x\n", (ULONG)status,
        (ULONG)run.ulInformation);
#pragma GCC diagnostic pop
    BusPdoCompleteQueuedIrp(pIrp, status, run.ulInformation);
    EXT("BusPdoSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status;

    if (pIrpStack != NULL && pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS) {
        ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        if (ulOut < sizeof(SCSI_ADDRESS) || pIrp->AssociatedIrp.SystemBuffer == NULL) {
            DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOCTL_SCSI_GET_ADDRESS", (int)ulOut,
                (int)sizeof(SCSI_ADDRESS));
            status = STATUS_INFO_LENGTH_MISMATCH;
            BusPdoCompleteQueuedIrp(pIrp, status, 0);
        } else {
            SCSI_ADDRESS scAddr;
            KIRQL irql;
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            scAddr = pPdoExt->scScsiAddr;
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scAddr, sizeof(scAddr));
            DBG("BusPdoDeviceControl: PDO, completing IRP\n");
            status = STATUS_SUCCESS;
            BusPdoCompleteQueuedIrp(pIrp, status, sizeof(SCSI_ADDRESS));
        }
    } else {
        DBG("BusPdoDeviceControl: Unhandled IOCTL, send to filter\n");
        status = BusSendToFilter(pDeviceObject, pIrp);
    }
    EXT("BusPdoDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusPdoSystemControl: Complete request\n");
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    EXT("BusPdoSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}
