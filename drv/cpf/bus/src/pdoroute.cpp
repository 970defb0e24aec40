/*
 * Request routing of a virtual changer with control path failover, in the caller's own thread.
 *
 * Each device-control request is sent as a new request to the filter device object of the changer's
 * primary path; its system buffer holds a copy of the caller's buffer (a 32-bit caller's
 * pass-through record translated to the 64-bit layout) followed by the SCSI_STATUS record that the
 * base driver fills. When the sense or the final status calls for it, the same request is sent to the
 * next active path not tried yet, which becomes the primary path for later requests. Several
 * requests on one changer run side by side; each has its own forwarded request, tried-paths array,
 * status record and table slot, and the path-list spin lock is only held while a path is chosen.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

#define BUS_ALIGN8(x) (((x) + 7) & ~(ULONG)7)

/* ---- Path choice ---- */

PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed, PPATH_DATA *ppPath)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    DBG_ASSERT(pPdoExt);
    DBG_ASSERT(pppTargetsUsed);
    PDEVICE_OBJECT *ppOld = *pppTargetsUsed;
    PPDO_DATA pPdoData = pPdoExt->pPdoData;
    PPATH_DATA pChosen = NULL;
    ULONG ulCount = 0;

    *ppPath = NULL;
    while (ppOld != NULL && ppOld[ulCount] != NULL) {
        ulCount++;
    }
    PDEVICE_OBJECT *ppNew = (PDEVICE_OBJECT *)ExAllocatePoolWithTag(NonPagedPool, (ulCount + 2) * sizeof(PDEVICE_OBJECT),
                                                                    BUS_TAG_TARGETS_USED);
    if (ppNew == NULL) {
        DBG("BusPdoGetTarget: ppNewDvcObjArray could not be allocated.\n");
        return NULL;
    }
    RtlZeroMemory(ppNew, (ulCount + 2) * sizeof(PDEVICE_OBJECT));
    if (ppOld != NULL) {
        RtlCopyMemory(ppNew, ppOld, ulCount * sizeof(PDEVICE_OBJECT));
        ExFreePoolWithTag(ppOld, BUS_TAG_TARGETS_USED);
    }
    *pppTargetsUsed = ppNew;

    if (pPdoData == NULL) {
        DBG("BusPdoGetTarget: Delete pending.  No requests allowed.\n");
        return NULL;
    }
    if (ulCount == 0) {
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->fPrimary) {
                pChosen = pPath;
                break;
            }
        }
    }
    if (pChosen == NULL) {
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL && pChosen == NULL; pPath = pPath->pNext) {
            BOOLEAN fTried = FALSE;
            for (ULONG i = 0; i < ulCount; i++) {
                fTried = fTried || ppNew[i] == pPath->pFDO;
            }
            if (pPath->fActive && !fTried) {
                pChosen = pPath;
            }
        }
        if (pChosen == NULL) {
            return NULL;
        }
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            pPath->fPrimary = FALSE;
        }
        pChosen->fPrimary = TRUE;
    }
    ppNew[ulCount] = pChosen->pFDO;
    pChosen->lForwards++;   /* the record outlives this request's use of pFDO (BusPdoRemovePath) */
    *ppPath = pChosen;
    DBG("BusPdoGetTarget: target 0x%08x\n", DBG_PTR(pChosen->pFDO));
    return pChosen->pFDO;
}

VOID BusPdoForwardDone(PPDO_EXT pPdoExt, PPATH_DATA pPath)
{
    KIRQL irql;
    if (pPath == NULL) {
        return;
    }
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (--pPath->lForwards == 0) {
        KeSetEvent(&pPdoExt->evForwardDone, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
}

static PDEVICE_OBJECT BusPdoChoosePath(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed, PPATH_DATA *ppPath)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    KIRQL irql;
    irql = KeAcquireSpinLockRaiseToDpc(&pPdoExt->slPathList);
    PDEVICE_OBJECT pTarget = BusPdoGetTarget(pDeviceObject, pppTargetsUsed, ppPath);
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return pTarget;
}

/* ---- One request ---- */

/* What one run of BusPdoSendToFilter knows about the caller's request. */
typedef struct _BUS_ROUTE {
    PIO_STACK_LOCATION pIrpStack;
    ULONG ulIoctl;
    BOOLEAN fPassThru;
    BOOLEAN fDirect;
    BOOLEAN f32bit;
    PMDL pMdl;                      /* locked pass-through-direct buffer, or NULL */
    ULONG ul32bitDataBuffer;        /* the caller's data-buffer address, put back at completion */
    PVOID pDataBuffer;
    ULONG ulCallerBuffer;           /* bytes of the caller's system buffer */
    ULONG ulInput;                  /* forwarded input length */
    ULONG ulData;                   /* data part of the forwarded buffer */
    PUCHAR pBuffer;                 /* forwarded system buffer: data part, then SCSI_STATUS */
    ULONG foCounter;                /* sense-driven failovers so far */
} BUS_ROUTE, *PBUS_ROUTE;

static NTSTATUS BusPdoPrepareRoute(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_ROUTE pRoute)
{
    PIO_STACK_LOCATION pIrpStack = pRoute->pIrpStack;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    pRoute->ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    pRoute->ulCallerBuffer = pIrp->AssociatedIrp.SystemBuffer != NULL ? (ulIn > ulOut ? ulIn : ulOut) : 0;
    pRoute->ulInput = ulIn;
    pRoute->fPassThru = BusIsPassThrough(pRoute->ulIoctl);
    pRoute->fDirect = pRoute->ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (pRoute->fPassThru) {
        PVOID pPassThru = NULL;
        status = BusPdoSetPassThruVars(&pRoute->pMdl, &pPassThru, &pRoute->f32bit, &pRoute->ul32bitDataBuffer,
                                       &pRoute->pDataBuffer, pDeviceObject, pIrp);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (pRoute->ulCallerBuffer > MAXULONG - sizeof(SCSI_STATUS) - 64) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSize = pRoute->ulCallerBuffer;
    if (pRoute->f32bit) {
        IO_STACK_LOCATION newStack;
        newStack.Parameters.DeviceIoControl.InputBufferLength = ulIn;
        status = BusPdoAdjustSizeFor32bit(pIrp, &newStack, &ulSize);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pRoute->ulInput = newStack.Parameters.DeviceIoControl.InputBufferLength;
    }
    pRoute->ulData = BUS_ALIGN8(ulSize);
    return STATUS_SUCCESS;
}

/* A fresh forwarded buffer: the caller's data (translated for a 32-bit record), then zeros. */
static NTSTATUS BusPdoFillBuffer(PIRP pIrp, PBUS_ROUTE pRoute)
{
    ULONG ulSize = pRoute->ulData + sizeof(SCSI_STATUS);
    pRoute->pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulSize, BUS_TAG_FORWARD);
    if (pRoute->pBuffer == NULL) {
        DBG_NULL("BusPdoSendToFilter: SystemBuffer");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRoute->pBuffer, ulSize);
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (pCaller == NULL || pRoute->ulCallerBuffer == 0) {
        return STATUS_SUCCESS;
    }
    if (pRoute->f32bit) {
        return BusPdoCopy32bitTo64bit(pRoute->pBuffer, pRoute->ulData, pCaller, pRoute->ulCallerBuffer, pRoute->fDirect,
                                      pRoute->pMdl);
    }
    RtlCopyMemory(pRoute->pBuffer, pCaller, pRoute->ulCallerBuffer);
    if (pRoute->fPassThru) {
        if (pRoute->fDirect) {
            /* The locked pages' system address in place of the caller's; none without a locked
               buffer, as the lower drivers would take a user address for a system one. */
            PVOID pSystem = NULL;
            if (pRoute->pMdl != NULL) {
                pSystem = MmGetSystemAddressForMdlSafe(pRoute->pMdl, NormalPagePriority);
                if (pSystem == NULL) {
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
                DBG("BusPdoSendToFilter: PT direct cmd using system buffer 0x%p in place of user buffer 0x%p\n",
                    pSystem, pRoute->pDataBuffer);
            }
            RtlCopyMemory(pRoute->pBuffer + 24, &pSystem, sizeof(pSystem));
        }
        if (!CmnPassThruRangesValid(pRoute->pBuffer, pRoute->ulData, pRoute->fDirect)) {
            DBG("BusPdoSendToFilter: passthru data or sense range outside the buffer\n");
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

/* Sends pNewIrp, set up with the route's buffer, to pTarget and waits for it. */
static NTSTATUS BusPdoSendOnce(PPDO_EXT pPdoExt, PIRP pIrp, PIRP pNewIrp, PDEVICE_OBJECT pTarget, PBUS_ROUTE pRoute,
                               PULONG_PTR pulInformation)
{
    PSCSI_STATUS pScsiStatus = (PSCSI_STATUS)(pRoute->pBuffer + pRoute->ulData);
    PIO_STACK_LOCATION pNextStack = IoGetNextIrpStackLocation(pNewIrp);
    PIRPS_WITH_STATUS pBlock = pPdoExt->pIrpsWithStatus;
    ULONG ulIndex = 0;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;

    *pulInformation = 0;
    if (pNextStack == NULL || pBlock == NULL) {
        DBG_NULL(pNextStack == NULL ? "BusPdoSendToFilter: pNewIrpStack" : "BusPdoSendToFilter: pIrpsWithStatus");
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(pNextStack, pRoute->pIrpStack, sizeof(IO_STACK_LOCATION));
    pNextStack->Control = 0;
    pNextStack->CompletionRoutine = NULL;
    pNextStack->Context = NULL;
    pNextStack->Parameters.DeviceIoControl.OutputBufferLength = pRoute->ulData;
    pNextStack->Parameters.DeviceIoControl.InputBufferLength =
        pRoute->ulInput < pRoute->ulData ? pRoute->ulInput : pRoute->ulData;
    pNewIrp->AssociatedIrp.SystemBuffer = pRoute->pBuffer;
    pNewIrp->Tail.Overlay.Thread = pIrp->Tail.Overlay.Thread;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    pNewIrp->UserEvent = &event;
    pNewIrp->UserIosb = &ioStatus;
    IoSetCompletionRoutine(pNewIrp, CmnIrpSyncCompletion, &event, TRUE, TRUE, TRUE);

    status = BusIrpsWithStatusSet(&pBlock, &ulIndex, pNewIrp, pScsiStatus);
    if (!NT_SUCCESS(status)) {
        DBG_NULL("BusPdoSendToFilter: pIrpsWithStatus->pNext");
        return status;
    }
    status = IoCallDriver(pTarget, pNewIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = pNewIrp->IoStatus.Status;
    *pulInformation = pNewIrp->IoStatus.Information;
    BusIrpsWithStatusClear(pPdoExt->pIrpsWithStatus, pBlock, ulIndex);

    if (pRoute->fPassThru) {
        BOOLEAN fExtended = FALSE;
        if (BusPassThruTakeSense(pRoute->pBuffer, pRoute->ulData, pScsiStatus, &fExtended)) {
            DBG("BusPdoSendToFilter passthru sense 0x%02x/%02x/%02x\n", pScsiStatus->ucSenseKey, pScsiStatus->ucAsc,
                pScsiStatus->ucAscq);
        }
        if (fExtended) {
            ULONG ulSenseOffset;
            RtlCopyMemory(&ulSenseOffset, pRoute->pBuffer + 32, sizeof(ULONG));
            PUCHAR pSense = pRoute->pBuffer + ulSenseOffset;
            DBG("BusPdoSendToFilter sense bytes 15-17: 0x%02x%02x%02x\n", pSense[15], pSense[16], pSense[17]);
        }
    }
    return status;
}

static VOID BusPdoFailoverEvent(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_ROUTE pRoute, PCWSTR wszWhy)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    if (pPdoExt->pBusExt == NULL || !pPdoExt->pBusExt->fEventsEnabled) {
        return;
    }
    WCHAR wszCode[16];
    RtlStringCchPrintfW(wszCode, RTL_NUMBER_OF(wszCode), L"0x%X", pRoute->ulIoctl);
    BusTwoParmEvent(pDeviceObject, pIrp, BUS_EVT_STATUS_FAILOVER, wszWhy, wszCode);
}

/* TRUE when the outcome calls for another path. */
static BOOLEAN BusPdoDecideFailover(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_ROUTE pRoute, NTSTATUS status)
{
    PSCSI_STATUS pScsiStatus = (PSCSI_STATUS)(pRoute->pBuffer + pRoute->ulData);
    BOOLEAN fRetry = FALSE;
    WCHAR wszWhy[40];

    if (pScsiStatus->fSenseValid) {
        DBG("%s: SCSI status struct:\n", "BusPdoSendToFilter");
        DBG("\tucSenseKey 0x%02x, ucAsc 0x%02x, ucAscq 0x%02x, iStatus 0x%08x\n", pScsiStatus->ucSenseKey,
            pScsiStatus->ucAsc, pScsiStatus->ucAscq, (ULONG)pScsiStatus->iStatus);
        if (BusSenseCausesFailover(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
            DBG("BusPdoSendToFilter: attempting to fail over.\n");
            RtlStringCchPrintfW(wszWhy, RTL_NUMBER_OF(wszWhy), L"(SCSI CHECK %X/%X/%X)", (ULONG)pScsiStatus->ucSenseKey,
                                (ULONG)pScsiStatus->ucAsc, (ULONG)pScsiStatus->ucAscq);
            BusPdoFailoverEvent(pDeviceObject, pIrp, pRoute, wszWhy);
            if (pRoute->foCounter < BUS_MAX_SENSE_FAILOVERS) {
                pRoute->foCounter++;
                DBG("foCounter after failover: %d\n", (int)pRoute->foCounter);
                fRetry = TRUE;
            }
        }
    } else {
        DBG("BusPdoSendToFilter: no SCSI status\n");
    }
    if (!fRetry && ((ULONG)status & 0x80000000UL) != 0 && !BusStatusPreventsFailover(status)) {
        RtlStringCchPrintfW(wszWhy, RTL_NUMBER_OF(wszWhy), L"(NTSTATUS 0x%08X)", (ULONG)status);
        BusPdoFailoverEvent(pDeviceObject, pIrp, pRoute, wszWhy);
        fRetry = TRUE;
    }
    return fRetry;
}

/* The last path's results into the caller's buffer, never past it nor past what was forwarded. */
static NTSTATUS BusPdoCopyBack(PIRP pIrp, PBUS_ROUTE pRoute, NTSTATUS status, PULONG_PTR pulInformation)
{
    PUCHAR pCaller = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulCallerOut = pRoute->pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (pCaller == NULL || pRoute->pBuffer == NULL) {
        *pulInformation = 0;
        return status;
    }
    if (pRoute->f32bit) {
        NTSTATUS st = BusPdoCopy64bitTo32bit(pCaller, pRoute->ulCallerBuffer, pRoute->pBuffer, pRoute->ulData,
                                             pRoute->fDirect, pRoute->pMdl);
        if (!NT_SUCCESS(st) && NT_SUCCESS(status)) {
            status = st;
            *pulInformation = 0;
        }
    } else {
        ULONG_PTR ulCopy = *pulInformation;
        if (ulCopy > pRoute->ulData) {
            ulCopy = pRoute->ulData;
        }
        if (ulCopy > ulCallerOut) {
            ulCopy = ulCallerOut;
        }
        RtlCopyMemory(pCaller, pRoute->pBuffer, ulCopy);
        if (pRoute->fDirect && ulCopy >= 24 + sizeof(PVOID)) {
            /* The caller sees its own data buffer address, not the system one the paths got. */
            RtlCopyMemory(pCaller + 24, &pRoute->pDataBuffer, sizeof(PVOID));
        }
    }
    if (*pulInformation > ulCallerOut) {
        *pulInformation = ulCallerOut;
    }
    return status;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT *ppTargetsUsed = NULL;
    PPATH_DATA pPath = NULL;
    PIRP pNewIrp = NULL;
    ULONG_PTR ulInformation = 0;
    NTSTATUS status;
    BUS_ROUTE route;

    RtlZeroMemory(&route, sizeof(route));
    route.pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (route.pIrpStack == NULL) {
        DBG_NULL("BusPdoSendToFilter: pIrpStack");
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }
    {
        PDEVICE_OBJECT pTarget = BusPdoChoosePath(pDeviceObject, &ppTargetsUsed, &pPath);
        if (pTarget == NULL) {
            DBG_NULL("BusPdoSendToFilter: pTarget");
            status = STATUS_OBJECT_PATH_NOT_FOUND;
            goto complete;
        }
        if (route.pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            DBG("BusPdoSendToFilter: Type %s (NOT SUPPORTED)\n", DbgMajorFunctionName(route.pIrpStack->MajorFunction));
            status = STATUS_NOT_IMPLEMENTED;
            goto complete;
        }
        status = BusPdoPrepareRoute(pDeviceObject, pIrp, &route);
        if (!NT_SUCCESS(status)) {
            goto complete;
        }
        for (;;) {
            /* One packet for every path, deep enough for the first path's stack and three more. */
            CCHAR cNeeded = (CCHAR)(pTarget->StackSize + 1);
            if (pNewIrp != NULL && pNewIrp->StackCount < cNeeded) {
                IoFreeIrp(pNewIrp);
                pNewIrp = NULL;
            }
            if (pNewIrp == NULL) {
                DBG("BusPdoSendToFilter: Allocating new IRP of size %d where orig IRP's stack size is %d\n",
                    (int)(pTarget->StackSize + 3), (int)pIrp->StackCount);
                pNewIrp = IoAllocateIrp((CCHAR)(pTarget->StackSize + 3), FALSE);
                if (pNewIrp == NULL) {
                    DBG_NULL("BusPdoSendToFilter: pNewIrp");
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
            } else {
                IoReuseIrp(pNewIrp, STATUS_SUCCESS);
            }
            if (route.pBuffer != NULL) {
                ExFreePoolWithTag(route.pBuffer, BUS_TAG_FORWARD);
                route.pBuffer = NULL;
            }
            status = BusPdoFillBuffer(pIrp, &route);
            if (!NT_SUCCESS(status)) {
                break;   /* the caller's record or the pool, not the path */
            }
            status = BusPdoSendOnce(pPdoExt, pIrp, pNewIrp, pTarget, &route, &ulInformation);
            BusPdoForwardDone(pPdoExt, pPath);
            pPath = NULL;
            if (!BusPdoDecideFailover(pDeviceObject, pIrp, &route, status)) {
                break;
            }
            PDEVICE_OBJECT pNext = BusPdoChoosePath(pDeviceObject, &ppTargetsUsed, &pPath);
            if (pNext == NULL) {
                break;   /* the last path's status and data are the caller's */
            }
            pTarget = pNext;
        }
        if (route.pBuffer != NULL && pNewIrp != NULL) {
            status = BusPdoCopyBack(pIrp, &route, status, &ulInformation);
        }
    }

complete:
    BusPdoForwardDone(pPdoExt, pPath);
    if (ppTargetsUsed != NULL) {
        ExFreePoolWithTag(ppTargetsUsed, BUS_TAG_TARGETS_USED);
    }
    if (route.pBuffer != NULL) {
        ExFreePoolWithTag(route.pBuffer, BUS_TAG_FORWARD);
    }
    if (pNewIrp != NULL) {
        IoFreeIrp(pNewIrp);
    }
    if (route.pIrpStack != NULL && route.pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        route.pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        BusPdoDequeueMdl(pDeviceObject, pIrp);
    }
    if (NT_ERROR(status)) {
        ulInformation = 0;
    }
    DBG("BusPdoSendToFilter: Will complete irp with Status 0x%08x, Information 0x%x\n", (ULONG)status,
        (ULONG)ulInformation);
    DBG("BusPdoSendToFilter: Complete request.\n");
    BusCompleteRequest(pIrp, status, ulInformation);
    EXT("BusPdoSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusPdoDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack == NULL) {
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else if (pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS) {
        ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        if (ulOut < sizeof(SCSI_ADDRESS) || pIrp->AssociatedIrp.SystemBuffer == NULL) {
            DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOCTL_SCSI_GET_ADDRESS", (int)ulOut,
                (int)sizeof(SCSI_ADDRESS));
            status = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        } else {
            KIRQL irql;
            SCSI_ADDRESS scAddr;
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            scAddr = pPdoExt->scScsiAddr;
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scAddr, sizeof(scAddr));
            DBG("BusPdoDeviceControl: PDO, completing IRP\n");
            status = BusCompleteRequest(pIrp, STATUS_SUCCESS, sizeof(SCSI_ADDRESS));
        }
    } else {
        DBG("BusPdoDeviceControl: Unhandled IOCTL, send to filter\n");
        status = BusPdoSendToFilter(pDeviceObject, pIrp);
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
