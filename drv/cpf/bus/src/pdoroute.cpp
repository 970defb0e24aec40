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
#include <ntddchgr.h>
#include <ntstrsafe.h>
#include "bus.h"

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
        /* The path whose login holds the application's reservation comes first: on any other the
           library answers with a conflict while that login lasts. */
        for (ULONG ulPass = pPdoExt->fReserved ? 0 : 1; ulPass < 2 && pChosen == NULL; ulPass++) {
            for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL && pChosen == NULL; pPath = pPath->pNext) {
                BOOLEAN fTried = FALSE;
                for (ULONG i = 0; i < ulCount; i++) {
                    fTried = fTried || ppNew[i] == pPath->pFDO;
                }
                if (pPath->fActive && !fTried && (ulPass == 1 || pPath->fHoldsReserve)) {
                    pChosen = pPath;
                }
            }
        }
        if (pChosen == NULL) {
            return NULL;
        }
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            pPath->fPrimary = FALSE;
        }
        pChosen->fPrimary = TRUE;
        pPdoExt->scScsiAddr = pChosen->scScsiAddr;   /* the address a caller asks for is the primary's */
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
    BUS_FORWARD Fwd;                /* the forwarded buffer's layout */
    ULONG ulIoctl;
    PUCHAR pBuffer;                 /* forwarded system buffer: data part, then SCSI_STATUS */
    ULONG foCounter;                /* sense-driven failovers so far */
    CHANGER_MOVE_MEDIUM Move;       /* the caller's move, when fMoveKnown */
    BOOLEAN fMoveKnown;
    BOOLEAN fMoveChecked;           /* source and destination were read before the move was sent */
    BOOLEAN fMoveValid;             /* then: a full source and an empty destination */
} BUS_ROUTE, *PBUS_ROUTE;

/* A fresh forwarded buffer: the caller's data (translated for a 32-bit record), then zeros. */
static NTSTATUS BusPdoFillBuffer(PIRP pIrp, PBUS_ROUTE pRoute)
{
    ULONG ulSize = pRoute->Fwd.ulOutput + sizeof(SCSI_STATUS);
    pRoute->pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulSize, BUS_TAG_FORWARD);
    if (pRoute->pBuffer == NULL) {
        DBG_NULL("BusPdoSendToFilter: SystemBuffer");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRoute->pBuffer, ulSize);
    return BusForwardFill(pIrp, &pRoute->Fwd, pRoute->pBuffer);
}

/* Sends pNewIrp, set up with the route's buffer, to pTarget and waits for it. */
static NTSTATUS BusPdoSendOnce(PPDO_EXT pPdoExt, PIRP pIrp, PIRP pNewIrp, PDEVICE_OBJECT pTarget, PBUS_ROUTE pRoute,
                               PULONG_PTR pulInformation)
{
    PSCSI_STATUS pScsiStatus = (PSCSI_STATUS)(pRoute->pBuffer + pRoute->Fwd.ulOutput);
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
    RtlCopyMemory(pNextStack, pRoute->Fwd.pIrpStack, sizeof(IO_STACK_LOCATION));
    pNextStack->Control = 0;
    pNextStack->CompletionRoutine = NULL;
    pNextStack->Context = NULL;
    BusForwardFileObject(pNextStack);
    pNextStack->Parameters.DeviceIoControl.OutputBufferLength = pRoute->Fwd.ulOutput;
    pNextStack->Parameters.DeviceIoControl.InputBufferLength =
        pRoute->Fwd.ulInput < pRoute->Fwd.ulOutput ? pRoute->Fwd.ulInput : pRoute->Fwd.ulOutput;
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

    if (pRoute->Fwd.fPassThru) {
        BOOLEAN fExtended = FALSE;
        if (BusPassThruTakeSense(pRoute->pBuffer, pRoute->Fwd.ulOutput, pScsiStatus, &fExtended)) {
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
    PSCSI_STATUS pScsiStatus = (PSCSI_STATUS)(pRoute->pBuffer + pRoute->Fwd.ulOutput);
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
    /* A busy library, or one that another initiator reserved (RESERVATION CONFLICT reaches the bus as
       STATUS_DEVICE_BUSY), answers the same on every path: it is the library's state, not a failure
       of this path, and moving the primary away would only leave the next request to meet it. So
       does a library whose robot is at work (becoming ready), whose door is open (manual intervention
       required) or that has no medium where one was asked for. */
    BOOLEAN fLibraryState = !fRetry && pScsiStatus->fSenseValid &&
                            BusSenseIsDriveCondition(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq);
    if (!fRetry && (status == STATUS_DEVICE_BUSY || fLibraryState)) {
        DBG("BusPdoSendToFilter: library busy, reserved or waiting for its operator, no failover\n");
    } else if (!fRetry && ((ULONG)status & 0x80000000UL) != 0 && !BusStatusPreventsFailover(status)) {
        RtlStringCchPrintfW(wszWhy, RTL_NUMBER_OF(wszWhy), L"(NTSTATUS 0x%08X)", (ULONG)status);
        BusPdoFailoverEvent(pDeviceObject, pIrp, pRoute, wszWhy);
        fRetry = TRUE;
    }
    return fRetry;
}

/* ---- Requests that may have run ---- */

/* How a failed attempt left the library, as far as the bus can tell. */
typedef enum _BUS_OUTCOME {
    BusOutcomeNotRun,      /* nothing changed: the request may be sent again */
    BusOutcomeDone,        /* the request took effect */
    BusOutcomeUnknown,     /* neither can be shown */
    BusOutcomeUnreadable   /* this path could not read the library: another may */
} BUS_OUTCOME;

/* The attempt failed in a way that does not show the library never ran it: the answer was lost
   with the connection (a status and no sense), the library aborted it midway, or its robot failed
   (a hardware error: a gripper or positioning fault, possibly after the cartridge moved). NOT READY
   and ILLEGAL REQUEST are answers to a command that did not run. */
static BOOLEAN BusPdoMayHaveRun(PSCSI_STATUS pScsiStatus, NTSTATUS status)
{
    if (pScsiStatus->fSenseValid) {
        return pScsiStatus->ucSenseKey == 0x0B || pScsiStatus->ucSenseKey == 0x04;
    }
    return NT_ERROR(status);
}

/* Waits until the library answers on pTarget: it may still be finishing what the lost request
   started (an inventory, a move). TRUE when it was busy at least once. */
static BOOLEAN BusPdoAwaitReady(PDEVICE_OBJECT pTarget)
{
    BOOLEAN fWasBusy = FALSE;
    for (ULONG i = 0; i < BUS_READY_TRIES; i++) {
        NTSTATUS status = BusSendToPath(pTarget, IOCTL_CHANGER_GET_STATUS, NULL, 0, NULL, 0, NULL);
        if (status != STATUS_DEVICE_NOT_READY && status != STATUS_DEVICE_BUSY) {
            break;
        }
        fWasBusy = TRUE;
        LARGE_INTEGER liDelay;
        liDelay.QuadPart = -(LONGLONG)BUS_READY_DELAY_MS * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    }
    return fWasBusy;
}

/* Whether one element holds a cartridge, read on pTarget. A notice the library keeps for this path
   (a reset, a changed inventory) answers the first read: it is read once more. */
static NTSTATUS BusPdoElementFull(PDEVICE_OBJECT pTarget, const CHANGER_ELEMENT *pElement, PBOOLEAN pfFull)
{
    CHANGER_READ_ELEMENT_STATUS read;
    CHANGER_ELEMENT_STATUS answer;
    ULONG_PTR ulInformation = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < 2 && !NT_SUCCESS(status); i++) {
        RtlZeroMemory(&read, sizeof(read));
        RtlZeroMemory(&answer, sizeof(answer));
        read.ElementList.Element = *pElement;
        read.ElementList.NumberOfElements = 1;
        status = BusSendToPath(pTarget, IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof(read), &answer,
                               sizeof(answer), &ulInformation);
        if (NT_SUCCESS(status) && ulInformation < sizeof(answer)) {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        }
    }
    *pfFull = NT_SUCCESS(status) && (answer.Flags & ELEMENT_STATUS_FULL) != 0;
    return status;
}

/* Whether a move's source and destination hold a cartridge, read on pTarget; FALSE when either
   could not be read. */
static BOOLEAN BusPdoReadMoveElements(PDEVICE_OBJECT pTarget, const CHANGER_MOVE_MEDIUM *pMove, PBOOLEAN pfSourceFull,
                                      PBOOLEAN pfDestinationFull)
{
    return NT_SUCCESS(BusPdoElementFull(pTarget, &pMove->Source, pfSourceFull)) &&
           NT_SUCCESS(BusPdoElementFull(pTarget, &pMove->Destination, pfDestinationFull));
}

/*
 * Before a move goes to a changer that has another path to fail over to, the source and destination
 * are read: whether the move can run at all decides what a lost answer means. A move the library
 * must refuse (an empty source, a full destination) is harmless to send again.
 */
static VOID BusPdoCheckMove(PPDO_EXT pPdoExt, PBUS_ROUTE pRoute)
{
    ENT("BusPdoCheckMove: pPdoExt 0x%08x\n", DBG_PTR(pPdoExt));
    /* Any active path may answer: the primary may be the path that is failing. Each path record
       stays while it is asked (lForwards). */
    PPATH_DATA apPaths[BUS_CHECK_PATHS];
    ULONG ulPaths = 0;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    for (PPATH_DATA pEach = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL;
         pEach != NULL && ulPaths < RTL_NUMBER_OF(apPaths); pEach = pEach->pNext) {
        if (pEach->fActive) {
            pEach->lForwards++;
            apPaths[ulPaths++] = pEach;
        }
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    for (ULONG i = 0; i < ulPaths; i++) {
        BOOLEAN fSourceFull = FALSE;
        BOOLEAN fDestinationFull = FALSE;
        if (!pRoute->fMoveChecked &&
            BusPdoReadMoveElements(apPaths[i]->pFDO, &pRoute->Move, &fSourceFull, &fDestinationFull)) {
            pRoute->fMoveChecked = TRUE;
            pRoute->fMoveValid = fSourceFull && !fDestinationFull;
        }
        BusPdoForwardDone(pPdoExt, apPaths[i]);
    }
    EXT("BusPdoCheckMove: checked %d, valid %d\n", (int)pRoute->fMoveChecked, (int)pRoute->fMoveValid);
}

/*
 * A MOVE MEDIUM whose answer was lost: the library's element status on the next path tells. A move
 * that can run has a full source and an empty destination, so an empty source and a full
 * destination show that it ran, the state before shows that it did not, and anything else (the
 * cartridge still in the picker, say) leaves the outcome open.
 */
static BUS_OUTCOME BusPdoMoveOutcome(PDEVICE_OBJECT pTarget, const CHANGER_MOVE_MEDIUM *pMove)
{
    ENT("BusPdoMoveOutcome: pTarget 0x%08x\n", DBG_PTR(pTarget));
    BUS_OUTCOME eOutcome = BusOutcomeUnreadable;
    BOOLEAN fSourceFull = FALSE;
    BOOLEAN fDestinationFull = FALSE;
    (VOID)BusPdoAwaitReady(pTarget);
    if (BusPdoReadMoveElements(pTarget, pMove, &fSourceFull, &fDestinationFull)) {
        if (!fSourceFull && fDestinationFull) {
            eOutcome = BusOutcomeDone;
        } else if (fSourceFull && !fDestinationFull) {
            eOutcome = BusOutcomeNotRun;
        } else {
            eOutcome = BusOutcomeUnknown;
        }
    }
    EXT("BusPdoMoveOutcome: outcome %d, status 0x%08x\n", (int)eOutcome, (ULONG)STATUS_SUCCESS);
    return eOutcome;
}

/*
 * Before a request is sent again on pTarget after an attempt that may have run: a move is checked
 * against the library; an exchange, which this bus cannot check, is not sent again; an inventory
 * that the library is still running (it is busy on the new path) is the caller's, not run twice.
 * Requests that do not move a cartridge are sent again (positioning the picker twice ends where
 * once does).
 */
static BUS_OUTCOME BusPdoOutcomeBeforeRetry(PDEVICE_OBJECT pTarget, PBUS_ROUTE pRoute)
{
    switch (pRoute->ulIoctl) {
    case IOCTL_CHANGER_MOVE_MEDIUM:
        if (pRoute->fMoveChecked && !pRoute->fMoveValid) {
            return BusOutcomeNotRun;   /* the library refuses it, on any path */
        }
        if (!pRoute->fMoveKnown) {
            return BusOutcomeUnknown;
        }
        {
            /* An empty source and a full destination show the move done only for a move that could
               run: one nobody could read before it was sent may have been refused. */
            BUS_OUTCOME eOutcome = BusPdoMoveOutcome(pTarget, &pRoute->Move);
            return eOutcome == BusOutcomeDone && !pRoute->fMoveChecked ? BusOutcomeUnknown : eOutcome;
        }
    case IOCTL_CHANGER_EXCHANGE_MEDIUM:
        return BusOutcomeUnknown;
    case IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS:
        return BusPdoAwaitReady(pTarget) ? BusOutcomeDone : BusOutcomeNotRun;
    default:
        return BusOutcomeNotRun;
    }
}

/* The same on pPath, whose login first gets the application's reservation and lock: a path on
   which another login holds the library cannot read it. */
static BUS_OUTCOME BusPdoOutcomeOnPath(PPDO_EXT pPdoExt, PPATH_DATA pPath, PBUS_ROUTE pRoute)
{
    if (!BusPdoCarryLogin(pPdoExt, pPath)) {
        return BusOutcomeUnreadable;
    }
    return BusPdoOutcomeBeforeRetry(pPath->pFDO, pRoute);
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
    route.Fwd.pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (route.Fwd.pIrpStack == NULL) {
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
        if (route.Fwd.pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            DBG("BusPdoSendToFilter: Type %s (NOT SUPPORTED)\n", DbgMajorFunctionName(route.Fwd.pIrpStack->MajorFunction));
            status = STATUS_NOT_IMPLEMENTED;
            goto complete;
        }
        route.ulIoctl = route.Fwd.pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        if (route.ulIoctl == IOCTL_CHANGER_MOVE_MEDIUM && pIrp->AssociatedIrp.SystemBuffer != NULL &&
            route.Fwd.pIrpStack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(CHANGER_MOVE_MEDIUM)) {
            RtlCopyMemory(&route.Move, pIrp->AssociatedIrp.SystemBuffer, sizeof(CHANGER_MOVE_MEDIUM));
            route.fMoveKnown = TRUE;
        }
        status = BusForwardPrepare(pDeviceObject, pIrp, &route.Fwd);
        if (!NT_SUCCESS(status)) {
            goto complete;
        }
        if (route.fMoveKnown && BusPdoHasOtherPath(pPdoExt, pPath)) {
            BusPdoCheckMove(pPdoExt, &route);
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
            BOOLEAN fHoldsReserve = BusPdoCarryLogin(pPdoExt, pPath);
            status = BusPdoSendOnce(pPdoExt, pIrp, pNewIrp, pTarget, &route, &ulInformation);
            PSCSI_STATUS pScsiStatus = (PSCSI_STATUS)(route.pBuffer + route.Fwd.ulOutput);
            BOOLEAN fFailover = BusPdoDecideFailover(pDeviceObject, pIrp, &route, status);
            if (!fFailover && !fHoldsReserve && status == STATUS_DEVICE_BUSY) {
                /* The conflict is this path's: the application's reservation may be held by its
                   login on another path, where the request is sent (it did not run here). */
                DBG("BusPdoSendToFilter: reservation held by another login, trying the next path\n");
                fFailover = TRUE;
            }
            if (pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x06 && pScsiStatus->ucAsc == 0x29) {
                BusPdoPathLoginUncertain(pPdoExt, pPath, TRUE);   /* a reset ends every login's hold */
            } else if (fFailover) {
                BusPdoPathLoginUncertain(pPdoExt, pPath, FALSE);
            } else if (NT_SUCCESS(status)) {
                BusPdoNoteLogin(pPdoExt, pPath, route.ulIoctl, route.pBuffer, route.Fwd.ulOutput);
            }
            BusPdoForwardDone(pPdoExt, pPath);
            pPath = NULL;
            if (!fFailover) {
                break;
            }
            BOOLEAN fMayHaveRun = BusPdoMayHaveRun(pScsiStatus, status);
            PDEVICE_OBJECT pNext = BusPdoChoosePath(pDeviceObject, &ppTargetsUsed, &pPath);
            if (pNext == NULL) {
                break;   /* the last path's status and data are the caller's */
            }
            if (fMayHaveRun) {
                BUS_OUTCOME eOutcome = BusPdoOutcomeOnPath(pPdoExt, pPath, &route);
                while (eOutcome == BusOutcomeUnreadable) {
                    /* The library is asked on the next path; with none left, nothing is known. */
                    BusPdoForwardDone(pPdoExt, pPath);
                    pPath = NULL;
                    pNext = BusPdoChoosePath(pDeviceObject, &ppTargetsUsed, &pPath);
                    eOutcome = pNext != NULL ? BusPdoOutcomeOnPath(pPdoExt, pPath, &route) : BusOutcomeUnknown;
                }
                if (eOutcome == BusOutcomeDone) {
                    DBG("BusPdoSendToFilter: the library ran the request whose answer was lost\n");
                    status = STATUS_SUCCESS;
                    ulInformation = 0;
                    break;
                }
                if (eOutcome == BusOutcomeUnknown) {
                    /* Sent again, a move that ran would be refused (the source is empty) or carry
                       the cartridge on; the caller must read the element status. */
                    DBG("BusPdoSendToFilter: whether the library ran the request is not known\n");
                    status = STATUS_IO_DEVICE_ERROR;
                    break;
                }
            }
            pTarget = pNext;
        }
        if (route.pBuffer != NULL && pNewIrp != NULL) {
            status = BusForwardCopyBack(pIrp, &route.Fwd, route.pBuffer, status, &ulInformation);
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
    if (route.Fwd.pIrpStack != NULL && route.Fwd.pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        route.Fwd.pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        BusPdoDequeueMdl(pDeviceObject, pIrp);
        BusForwardRestoreCaller(pIrp, &route.Fwd);
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
        ULONG_PTR ulInformation = 0;
        status = BusPdoAnswerScsiAddress(pIrp, &pPdoExt->slPathList, &pPdoExt->scScsiAddr, &ulInformation);
        BusCompleteRequest(pIrp, status, ulInformation);
    } else {
        DBG("BusPdoDeviceControl: Unhandled IOCTL, send to filter\n");
        status = BusPdoSendToFilter(pDeviceObject, pIrp);
    }
    EXT("BusPdoDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}
