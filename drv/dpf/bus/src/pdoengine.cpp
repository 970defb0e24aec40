/*
 * Processing routines of a virtual tape device's queued requests: each request is forwarded as a new
 * request to the filter device object of the drive's primary path, with a system buffer that ends in
 * the SCSI_STATUS record the lower drivers fill, and the caller's request completes with the outcome.
 *
 * A run (BusPdoSendToFilter) prepares the forwarding once, chooses the first target and makes
 * attempts: each builds a fresh forwarded request (BusPdoBuildAttempt), lets the tape state model
 * bring the position and block size in line, sends it (BusPdoSendAttempt), keeps the reservation
 * bookkeeping and the state model up to date, and decides whether a path failed. A path failure is
 * retried on the same path (at most twice in a row) or on the next path not yet tried, which then
 * becomes the drive's primary path and first gets the settings the application made. The caller's
 * request completes with the outcome of the last attempt, its data copied back within the caller's
 * buffers. Runs happen on the device's workers, one at a time.
 */
#include <ntddk.h>
#include <ntddstor.h>
#include <ntstrsafe.h>
#include "bus.h"

#define BUS_ALIGN8(x) (((x) + 7) & ~(ULONG)7)

#define BUS_TAG_TARGETS_USED     'fODP'   /* tried-paths list of a run */
#define BUS_IOCTL_SET_RESERVE_KEY 0x8400C044   /* an application chooses the reservation key */
#define BUS_MAX_SAME_PATH_RETRIES 2
/* Restores begun again because their own requests moved to yet another path. A round follows
   only a path that went away or came back, or a setting the drive forgot, while the restore ran:
   the limit stops a drive whose paths never settle, not one whose cables are pulled and plugged
   back one after another while a slow restore runs. */
#define BUS_MAX_RESTORE_ROUNDS 16
#define BUS_SCSISTAT_CHECK_CONDITION 0x02
/* A load or unload sent again after its path was lost waits for the drive to finish the motion the
   first attempt began: asked every 100 ms, for at most three minutes. */
#define BUS_CARTRIDGE_POLL_MS    100
#define BUS_CARTRIDGE_POLL_TRIES 1800
#define BUS_PT_SENSE_MIN         14       /* fixed-format sense up to ASCQ */

/* State of one run of BusPdoSendToFilter. */
typedef struct _BUS_FORWARD_RUN {
    PIO_STACK_LOCATION pIrpStack;   /* the caller's */
    UCHAR ucMajor;
    BUS_FORWARD Fwd;                /* the forwarded buffer's layout (device control) */
    ULONG ulSize;                   /* bytes of the forwarded system buffer, SCSI_STATUS included */
    /* The current attempt. */
    PIRP pNewIrp;
    PUCHAR pBuffer;                 /* forwarded system buffer; kept after the attempt for the copy back */
    PSCSI_STATUS pScsiStatus;       /* its last 96 bytes */
    PMDL pPartialMdl;               /* the rest of a write being finished */
    BOOLEAN fSent;                  /* the attempt reached the target */
    BOOLEAN fPreempt;               /* the record carries a reservation key */
    NTSTATUS iStatus;               /* outcome of the last attempt */
    ULONG_PTR ulInformation;
    FOOW_STATE Foow;
} BUS_FORWARD_RUN, *PBUS_FORWARD_RUN;

/* ---- Path choice ---- */

PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed, BOOLEAN fPrimaryOnly)
{
    ENT("BusPdoGetTarget: pDeviceObject 0x%08x, fPrimaryOnly %d\n", DBG_PTR(pDeviceObject), (int)fPrimaryOnly);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PPDO_DATA pPdoData = pPdoExt->pPdoData;
    PDEVICE_OBJECT pTarget = NULL;
    PDEVICE_OBJECT *ppOld = *pppTargetsUsed;
    PDEVICE_OBJECT *ppNew;
    ULONG n = 0;

    if (pPdoData == NULL) {
        DBG("BusPdoGetTarget: Delete pending.  No requests allowed.\n");
        goto done;
    }
    while (ppOld != NULL && ppOld[n] != NULL) {
        n++;
    }
    ppNew = (PDEVICE_OBJECT *)ExAllocatePoolWithTag(NonPagedPool, (n + 2) * sizeof(PDEVICE_OBJECT),
                                                    BUS_TAG_TARGETS_USED);
    if (ppNew == NULL) {
        DBG("BusPdoGetTarget: ppNewDvcObjArray could not be allocated.\n");
        goto done;
    }
    RtlZeroMemory(ppNew, (n + 2) * sizeof(PDEVICE_OBJECT));
    if (n != 0) {
        RtlCopyMemory(ppNew, ppOld, n * sizeof(PDEVICE_OBJECT));
    }
    if (ppOld != NULL) {
        ExFreePoolWithTag(ppOld, BUS_TAG_TARGETS_USED);
    }
    *pppTargetsUsed = ppNew;

    if (n == 0 || fPrimaryOnly) {
        PPATH_DATA pPrimary = BusPdoPrimaryPath(pPdoData);
        if (pPrimary != NULL && pPrimary->pFDO != NULL) {
            pTarget = pPrimary->pFDO;
            ppNew[n] = pTarget;
            goto done;
        }
    }
    /* The next path is an active one this request has not tried; the path that holds the
       application's reservation and settings comes first (it needs neither a preempt nor a restore,
       and a drive that still keeps its login's RESERVE(6) takes commands there only). */
    for (ULONG ulPass = 0; ulPass < 2 && pTarget == NULL; ulPass++) {
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            BOOLEAN fTried = FALSE;
            if (!pPath->fActive || pPath->pFDO == NULL ||
                (ulPass == 0 && pPath->pFDO != pPdoExt->pReservationHolder)) {
                continue;
            }
            for (ULONG i = 0; i < n && !fTried; i++) {
                fTried = ppNew[i] == pPath->pFDO;
            }
            if (fTried) {
                continue;
            }
            for (PPATH_DATA pOther = pPdoData->pListOfPaths; pOther != NULL; pOther = pOther->pNext) {
                pOther->fPrimary = FALSE;
            }
            pPath->fPrimary = TRUE;
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            pTarget = pPath->pFDO;
            ppNew[n] = pTarget;
            break;
        }
    }

done:
    EXT("BusPdoGetTarget: pTarget 0x%08x\n", DBG_PTR(pTarget));
    return pTarget;
}

/* Chooses a target under the path-list lock and takes a reference on it, so that it stays while an
   attempt uses it even when its path goes meanwhile. The reference on *ppTarget is moved. */
static PDEVICE_OBJECT BusPdoChooseTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed,
                                         BOOLEAN fPrimaryOnly, PDEVICE_OBJECT pCurrent)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PDEVICE_OBJECT pTarget = BusPdoGetTarget(pDeviceObject, pppTargetsUsed, fPrimaryOnly);
    if (pTarget != NULL) {
        ObReferenceObject(pTarget);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pCurrent != NULL) {
        ObDereferenceObject(pCurrent);
    }
    return pTarget;
}

/* TRUE when pTarget is the drive's primary path. */
static BOOLEAN BusPdoIsPrimary(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget)
{
    BOOLEAN fPrimary = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL) {
        PPATH_DATA pPath = BusPdoPrimaryPath(pPdoExt->pPdoData);
        fPrimary = pPath != NULL && pPath->pFDO == pTarget;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return fPrimary;
}

/* After a nested request, which may have failed over: the target becomes the primary path again.
   NULL when there is none any more (every path stopped meanwhile). */
static PDEVICE_OBJECT BusPdoRealign(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed,
                                    PDEVICE_OBJECT pTarget)
{
    if (BusPdoIsPrimary((PPDO_EXT)pDeviceObject->DeviceExtension, pTarget)) {
        return pTarget;
    }
    return BusPdoChooseTarget(pDeviceObject, pppTargetsUsed, TRUE, pTarget);
}

/* A path that registered again or joined posts it (PnP side, any thread); the engine's own flags
   are only ever touched by the device's worker, which takes the posted events here. */
static VOID BusPdoTakePathEvents(PPDO_EXT pPdoExt)
{
    const LONG lEvents = InterlockedExchange(&pPdoExt->lPathEvents, 0);
    if ((lEvents & BUS_PATH_EVENT_SETTINGS_LOST) != 0) {
        pPdoExt->fSettingsLost = TRUE;
    }
    if ((lEvents & (BUS_PATH_EVENT_SETTINGS_LOST | BUS_PATH_EVENT_POSITION_CHECK)) != 0 &&
        pPdoExt->fUnlockPending && !pPdoExt->fPAMR) {
        pPdoExt->fUnlockOthers = TRUE;   /* a path started again or joined: the ALLOW it missed */
    }
    if ((lEvents & BUS_PATH_EVENT_POSITION_CHECK) != 0) {
        pPdoExt->fPositionCheck = TRUE;
    }
    if ((lEvents & BUS_PATH_EVENT_LEFT) != 0 && pPdoExt->fPAMR) {
        pPdoExt->fLockLeftOnPath = TRUE;
    }
}

/* ---- The medium lock on the other paths ---- */

static BOOLEAN BusPdoMediumAttention(PSCSI_STATUS pScsiStatus);
static BOOLEAN BusPdoNexusLossAttention(PSCSI_STATUS pScsiStatus);
static NTSTATUS BusPdoAttentionStatus(PSCSI_STATUS pScsiStatus, NTSTATUS iStatus);

/* Another login changed the mode parameters that every login of the drive shares (06/2A/01): the
   drive answered with the notice instead of running the command. Block size, compression and
   protection are no longer known to be what this path last set. */
static BOOLEAN BusPdoModeChangeAttention(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x06 && pScsiStatus->ucAsc == 0x2A &&
           pScsiStatus->ucAscq == 0x01 && (pScsiStatus->ucFlags & SCSI_STATUS_FLAG_DEFERRED) == 0;
}

#define BUS_MODE_CHANGE_TRIES 2

/* A request of the bus's own straight to a path (no output), sent once more when the drive answered
   it only with the notice of another login's mode change: the request did not run, and the notice
   is gone once told. The change itself matters only on the path the application's requests use,
   which is brought to the application's settings before its next request there. */
static NTSTATUS BusPdoSendPastModeChange(PPDO_EXT pPdoExt, PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput,
                                         ULONG ulInput, PSCSI_STATUS pScsiStatus)
{
    ENT("BusPdoSendPastModeChange: pPath 0x%08x, ulIoctl 0x%08x\n", DBG_PTR(pPath), ulIoctl);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG ulTry = 0; ulTry < BUS_MODE_CHANGE_TRIES; ulTry++) {
        RtlZeroMemory(pScsiStatus, sizeof(*pScsiStatus));
        status = BusSendToPathWithStatus(pPath, ulIoctl, pInput, ulInput, NULL, 0, NULL, pPdoExt->pIrpsWithStatus,
                                         pScsiStatus);
        if (NT_SUCCESS(status) || !BusPdoModeChangeAttention(pScsiStatus)) {
            break;
        }
        DBG("BusPdoSendPastModeChange: mode parameters changed by another login; sent again\n");
    }
    EXT("BusPdoSendPastModeChange: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The drive is threading or unthreading a cartridge (02/04/01 becoming ready, 02/04/07 operation
   in progress): the command did not run. */
static BOOLEAN BusPdoCartridgeMoving(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x02 && pScsiStatus->ucAsc == 0x04 &&
           (pScsiStatus->ucAscq == 0x01 || pScsiStatus->ucAscq == 0x07) &&
           (pScsiStatus->ucFlags & SCSI_STATUS_FLAG_DEFERRED) == 0;
}

/* A cartridge came into the drive (06/28/00), as current sense. */
static BOOLEAN BusPdoCartridgeLoadedAttention(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x06 && pScsiStatus->ucAsc == 0x28 &&
           (pScsiStatus->ucFlags & SCSI_STATUS_FLAG_DEFERRED) == 0;
}

/*
 * A load or unload went down a path that was lost while the drive carried it out, and the drive goes
 * on with it. Asks the drive on pPath (TEST UNIT READY, at passive level in the worker's thread)
 * until it is no longer busy with the cartridge, at most BUS_CARTRIDGE_POLL_TRIES times. The notice
 * of the cartridge that the load brought in is this path's to take: *pfLoaded tells it came. Returns
 * the last answer, its sense in *pScsiStatus.
 */
static NTSTATUS BusPdoAwaitCartridge(PPDO_EXT pPdoExt, PDEVICE_OBJECT pPath, PSCSI_STATUS pScsiStatus,
                                     PBOOLEAN pfLoaded)
{
    ENT("BusPdoAwaitCartridge: pPath 0x%08x\n", DBG_PTR(pPath));
    NTSTATUS status = STATUS_DEVICE_NOT_READY;
    *pfLoaded = FALSE;
    for (ULONG ulTry = 0; ulTry < BUS_CARTRIDGE_POLL_TRIES; ulTry++) {
        status = BusPdoSendPastModeChange(pPdoExt, pPath, IOCTL_TAPE_GET_STATUS, NULL, 0, pScsiStatus);
        if (BusPdoCartridgeLoadedAttention(pScsiStatus)) {
            DBG("BusPdoAwaitCartridge: the cartridge is in; asked again\n");
            *pfLoaded = TRUE;
            continue;
        }
        if (!BusPdoCartridgeMoving(pScsiStatus)) {
            break;
        }
        LARGE_INTEGER liDelay;
        liDelay.QuadPart = -(LONGLONG)BUS_CARTRIDGE_POLL_MS * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    }
    EXT("BusPdoAwaitCartridge: status 0x%08x, %X/%X/%X\n", (ULONG)status, (ULONG)pScsiStatus->ucSenseKey,
        (ULONG)pScsiStatus->ucAsc, (ULONG)pScsiStatus->ucAscq);
    return status;
}

#define BUS_MAX_UNLOCK_PATHS 16

/* References the active paths of the drive other than pExcept into apPaths (at most ulMax); *pfLeftOut
   tells whether a path was left out (not active, or no room). */
static ULONG BusPdoReferenceOtherPaths(PPDO_EXT pPdoExt, PDEVICE_OBJECT pExcept, PDEVICE_OBJECT *apPaths, ULONG ulMax,
                                       PBOOLEAN pfLeftOut)
{
    ENT("BusPdoReferenceOtherPaths: pExcept 0x%08x\n", DBG_PTR(pExcept));
    ULONG ulPaths = 0;
    KIRQL irql;
    *pfLeftOut = FALSE;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL) {
        for (PPATH_DATA pPath = pPdoExt->pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->pFDO == pExcept) {
                continue;
            }
            if (!pPath->fActive || ulPaths == ulMax) {
                *pfLeftOut = TRUE;
                continue;
            }
            ObReferenceObject(pPath->pFDO);
            apPaths[ulPaths++] = pPath->pFDO;
        }
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    EXT("BusPdoReferenceOtherPaths: %d paths, left out %d\n", (int)ulPaths, (int)*pfLeftOut);
    return ulPaths;
}

/*
 * The application unlocked the medium through the path the drive is reached through now. A path it
 * was reached through before may still prevent removal in the application's name (the lock was
 * taken there, and a failover carried it to the new path): the drive would refuse the eject at the
 * end of the backup. Every other path gets ALLOW as well; one that is not started, or does not
 * answer, gets it when a path starts again.
 */
static VOID BusPdoUnlockOtherPaths(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pUnlocked)
{
    ENT("BusPdoUnlockOtherPaths: pDeviceObject 0x%08x, pUnlocked 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pUnlocked));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT apPaths[BUS_MAX_UNLOCK_PATHS];
    ULONG ulPaths = 0;
    BOOLEAN fMissed = FALSE;

    pPdoExt->fUnlockOthers = FALSE;
    ulPaths = BusPdoReferenceOtherPaths(pPdoExt, pUnlocked, apPaths, RTL_NUMBER_OF(apPaths), &fMissed);
    for (ULONG i = 0; i < ulPaths; i++) {
        TAPE_PREPARE prepare;
        SCSI_STATUS scStatus;
        RtlZeroMemory(&prepare, sizeof(prepare));
        prepare.Operation = TAPE_UNLOCK;
        const NTSTATUS status = BusPdoSendPastModeChange(pPdoExt, apPaths[i], IOCTL_TAPE_PREPARE, &prepare,
                                                         sizeof(prepare), &scStatus);
        if (!NT_SUCCESS(status)) {
            fMissed = TRUE;
            if (scStatus.fSenseValid && (scStatus.ucFlags & SCSI_STATUS_FLAG_DEFERRED) != 0) {
                /* The drive answered in place of the ALLOW that it could not write data it had
                   acknowledged through this path, and it says so once: the application hears of
                   it on its next request, as when a request of the bus's through the device meets
                   it. The tape stands where the writing failed. */
                DBG("BusPdoUnlockOtherPaths: deferred error %X/%X/%X on 0x%08x\n", (ULONG)scStatus.ucSenseKey,
                    (ULONG)scStatus.ucAsc, (ULONG)scStatus.ucAscq, DBG_PTR(apPaths[i]));
                pPdoExt->fPositionValid = FALSE;
                InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)status);
            } else if ((BusPdoMediumAttention(&scStatus) || BusPdoNexusLossAttention(&scStatus)) &&
                       BusPdoIsPrimary(pPdoExt, apPaths[i])) {
                /* On the path the drive is reached through, the ALLOW took a notice that the
                   application's next request would have met: a reset or medium change (the tape
                   may have been rewound: the application hears of it on that request), or the loss
                   of the path's connection (the position is read again and the settings restored).
                   A reset reaches every path, this one included; another path's notice may be its
                   own new login, and it is heard when that path is used. */
                DBG("BusPdoUnlockOtherPaths: unit attention %X/%X/%X on the current path\n",
                    (ULONG)scStatus.ucSenseKey, (ULONG)scStatus.ucAsc, (ULONG)scStatus.ucAscq);
                (VOID)BusPdoAdjustPosOnSense(pDeviceObject, &scStatus);
                if (BusPdoMediumAttention(&scStatus) && pPdoExt->iUnitAttention == 0) {
                    InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)BusPdoAttentionStatus(&scStatus, status));
                }
            }
        }
        ObDereferenceObject(apPaths[i]);
    }
    /* A path that left while the medium was locked is not in the list: it gets the ALLOW when it
       comes back, with every path then. Which path that is cannot be told when one joins, so every
       later start or join of a path repeats the ALLOW while the medium is not locked. */
    fMissed = fMissed || pPdoExt->fLockLeftOnPath;
    pPdoExt->fUnlockPending = fMissed;
    EXT("BusPdoUnlockOtherPaths: %d paths, pending %d\n", (int)ulPaths, (int)fMissed);
}

/*
 * The application unlocked the medium, but a path that missed the ALLOW still prevents its removal:
 * the drive keeps that path's login, and its lock, while the link is down (many drives hear of a lost
 * login only when the path comes back), and nothing reaches it meanwhile. The drive refuses the eject
 * in its name (05/53/02). Only a reset of the drive lifts another login's prevention. The drive first
 * writes out what its buffer holds (zero filemarks), then the unit is reset through this path: every
 * login's prevention and the buffer's hold on the tape are gone, and the eject can be sent again here
 * once the settings are restored. The reset's notice on this path is the bus's own and is not
 * reported; the other paths' notices are, when they are used next.
 */
static BOOLEAN BusPdoBreakMissedLock(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget)
{
    ENT("BusPdoBreakMissedLock: pDeviceObject 0x%08x, pTarget 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pTarget));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    TAPE_WRITE_MARKS marks;
    STORAGE_BREAK_RESERVATION_REQUEST request;
    RtlZeroMemory(&marks, sizeof(marks));
    marks.Type = TAPE_FILEMARKS;
    marks.Count = 0;
    marks.Immediate = FALSE;
    NTSTATUS status = BusSendToPath(pTarget, IOCTL_TAPE_WRITE_MARKS, &marks, sizeof(marks), NULL, 0, NULL);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(&request, sizeof(request));
        request.Length = sizeof(request);
        status = BusSendToPath(pTarget, IOCTL_STORAGE_BREAK_RESERVATION, &request, sizeof(request), NULL, 0, NULL);
    }
    if (NT_SUCCESS(status)) {
        pPdoExt->pOwnReset = pTarget;
        pPdoExt->pLastAnswered = pTarget;
        pPdoExt->fUnlockPending = FALSE;
        pPdoExt->fLockLeftOnPath = FALSE;
        pPdoExt->fUnflushedWrites = FALSE;
        pPdoExt->fPositionValid = FALSE;
        pPdoExt->fRewound = FALSE;
        pPdoExt->fSettingsLost = TRUE;
    }
    EXT("BusPdoBreakMissedLock: status 0x%08x\n", (ULONG)status);
    return NT_SUCCESS(status);
}

/* The drive refused to let the medium go because a login prevents its removal (05/53/02). */
static BOOLEAN BusPdoRemovalPrevented(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x05 && pScsiStatus->ucAsc == 0x53 &&
           pScsiStatus->ucAscq == 0x02;
}

/*
 * The holder is compared with the target of every attempt to know whether the path is new to
 * the drive. A path that goes away frees its filter device object, and the next path that
 * comes may get the same address: compared by address, it would pass for the holder and get
 * neither the application's settings nor the reservation. The reference keeps the old object,
 * and with it the address, until the holder changes or the virtual device goes.
 */
static VOID BusPdoSetReservationHolder(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget)
{
    if (pTarget != NULL) {
        ObReferenceObject(pTarget);
    }
    PDEVICE_OBJECT pOld = (PDEVICE_OBJECT)InterlockedExchangePointer((PVOID volatile *)&pPdoExt->pReservationHolder,
                                                                     pTarget);
    if (pOld != NULL) {
        ObDereferenceObject(pOld);
    }
}

VOID BusPdoReleaseReservationHolder(PPDO_EXT pPdoExt)
{
    ENT("BusPdoReleaseReservationHolder: pPdoExt 0x%08x\n", DBG_PTR(pPdoExt));
    BusPdoSetReservationHolder(pPdoExt, NULL);
    EXT("BusPdoReleaseReservationHolder: VOID status\n");
}

/* ---- Building and sending one attempt ---- */

/* Works out the forwarded buffer's size and checks a pass-through record. */
static NTSTATUS BusPdoPrepareRun(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD_RUN pRun)
{
    pRun->ulSize = sizeof(SCSI_STATUS);
    if (pRun->ucMajor != IRP_MJ_DEVICE_CONTROL) {
        return STATUS_SUCCESS;
    }
    pRun->Fwd.pIrpStack = pRun->pIrpStack;
    NTSTATUS status = BusForwardPrepare(pDeviceObject, pIrp, &pRun->Fwd);
    if (NT_SUCCESS(status)) {
        pRun->ulSize = pRun->Fwd.ulOutput + sizeof(SCSI_STATUS);
    }
    return status;
}

/* Fills the front of the forwarded buffer from the caller's system buffer. */
static NTSTATUS BusPdoFillBuffer(PIRP pIrp, PBUS_FORWARD_RUN pRun, PUCHAR pBuffer)
{
    return BusForwardFill(pIrp, &pRun->Fwd, pBuffer);
}

/* Frees what the current attempt holds. */
static VOID BusPdoFreeAttempt(PBUS_FORWARD_RUN pRun)
{
    if (pRun->pNewIrp != NULL) {
        pRun->pNewIrp->MdlAddress = NULL;   /* the caller's, or the partial MDL freed below */
        IoFreeIrp(pRun->pNewIrp);
        pRun->pNewIrp = NULL;
    }
    if (pRun->pPartialMdl != NULL) {
        IoFreeMdl(pRun->pPartialMdl);
        pRun->pPartialMdl = NULL;
    }
    if (pRun->pBuffer != NULL) {
        ExFreePoolWithTag(pRun->pBuffer, BUS_TAG_FORWARD_BUFFER);
        pRun->pBuffer = NULL;
        pRun->pScsiStatus = NULL;
    }
}

/*
 * Builds the forwarded request of an attempt on pTarget: the caller's stack location, a fresh copy
 * of the caller's buffer ending in the status record, and for a write or write-filemarks being
 * finished only the part not yet on tape. The caller's MDL itself is never changed: the rest of a
 * write is described by a partial MDL of its own.
 */
static NTSTATUS BusPdoBuildAttempt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pTarget,
                                   PBUS_FORWARD_RUN pRun)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pNextStack;
    NTSTATUS status;

    BusPdoFreeAttempt(pRun);
    pRun->fSent = FALSE;
    {
        CCHAR cStack = (CCHAR)pTarget->StackSize;
        pRun->pNewIrp = IoAllocateIrp(cStack < 0 ? 3 : (CCHAR)(cStack + 3), FALSE);
    }
    if (pRun->pNewIrp == NULL) {
        DBG_NULL("BusPdoSendToFilter: pNewIrp");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pRun->pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, pRun->ulSize, BUS_TAG_FORWARD_BUFFER);
    if (pRun->pBuffer == NULL) {
        DBG_NULL("BusPdoSendToFilter: pSystemBuffer");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRun->pBuffer, pRun->ulSize);
    status = BusPdoFillBuffer(pIrp, pRun, pRun->pBuffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pRun->pScsiStatus = (PSCSI_STATUS)(pRun->pBuffer + pRun->Fwd.ulOutput);

    pNextStack = IoGetNextIrpStackLocation(pRun->pNewIrp);
    RtlCopyMemory(pNextStack, pRun->pIrpStack, sizeof(IO_STACK_LOCATION));
    pNextStack->Control = 0;
    pNextStack->CompletionRoutine = NULL;
    pNextStack->Context = NULL;
    BusForwardFileObject(pNextStack);
    if (pRun->ucMajor == IRP_MJ_DEVICE_CONTROL) {
        pNextStack->Parameters.DeviceIoControl.OutputBufferLength = pRun->Fwd.ulOutput;
        pNextStack->Parameters.DeviceIoControl.InputBufferLength =
            pRun->Fwd.ulInput < pRun->Fwd.ulOutput ? pRun->Fwd.ulInput : pRun->Fwd.ulOutput;
    }
    pRun->pNewIrp->AssociatedIrp.SystemBuffer = pRun->pBuffer;
    pRun->pNewIrp->MdlAddress = pIrp->MdlAddress;   /* the caller's data of a read or write */
    pRun->pNewIrp->Tail.Overlay.Thread = pIrp->Tail.Overlay.Thread;

    if (pRun->Foow.bFOOW && !pRun->Foow.fFOOWDone) {
        if (pRun->ucMajor == IRP_MJ_WRITE) {
            ULONG ulLength = pRun->pIrpStack->Parameters.Write.Length;
            if (pIrp->MdlAddress == NULL || pRun->Foow.ulFOOWTotal >= ulLength) {
                return STATUS_INVALID_PARAMETER;
            }
            pRun->Foow.ulFOOWRemaining = ulLength - pRun->Foow.ulFOOWTotal;
            PUCHAR pVa = (PUCHAR)MmGetMdlVirtualAddress(pIrp->MdlAddress) + pRun->Foow.ulFOOWTotal;
            pRun->pPartialMdl = IoAllocateMdl(pVa, pRun->Foow.ulFOOWRemaining, FALSE, FALSE, NULL);
            if (pRun->pPartialMdl == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            IoBuildPartialMdl(pIrp->MdlAddress, pRun->pPartialMdl, pVa, pRun->Foow.ulFOOWRemaining);
            pRun->pNewIrp->MdlAddress = pRun->pPartialMdl;
            pNextStack->Parameters.Write.Length = pRun->Foow.ulFOOWRemaining;
            DBG("BusPdoSendToFilter: finishing write, 0x%08x bytes written, 0x%08x to go\n", pRun->Foow.ulFOOWTotal,
                pRun->Foow.ulFOOWRemaining);
        } else if (pRun->ucMajor == IRP_MJ_DEVICE_CONTROL &&
                   pRun->pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TAPE_WRITE_MARKS &&
                   pRun->Fwd.ulOutput >= sizeof(TAPE_WRITE_MARKS)) {
            PTAPE_WRITE_MARKS pMarks = (PTAPE_WRITE_MARKS)pRun->pBuffer;
            if (pRun->Foow.ulFOOWTotal >= pMarks->Count) {
                return STATUS_INVALID_PARAMETER;
            }
            pRun->Foow.ulFOOWRemaining = pMarks->Count - pRun->Foow.ulFOOWTotal;
            pMarks->Count = pRun->Foow.ulFOOWRemaining;
            DBG("BusPdoSendToFilter: finishing write filemarks, 0x%08x written, 0x%08x to go\n",
                pRun->Foow.ulFOOWTotal, pRun->Foow.ulFOOWRemaining);
        } else {
            /* Nothing else is ever finished in part. */
            return STATUS_INVALID_PARAMETER;
        }
    }

    /* The record: the last handle closing; the reservation key when this path does not hold the
       reservation, so that the lower layers move it here before the request runs. */
    if (pRun->ucMajor == IRP_MJ_CLOSE && pPdoExt->ulOpenHandles == 0) {
        pRun->pScsiStatus->ulInformation = 1;
    }
    pRun->fPreempt = FALSE;
    if (pPdoExt->pReservationHolder != pTarget) {
        pRun->fPreempt = TRUE;
        pRun->pScsiStatus->scPreempt = pPdoExt->ulReservationKey;
        pRun->pScsiStatus->fExplicitlySetPRKey = pPdoExt->fExplicitlySetPRKey;
        pRun->pScsiStatus->ulBlockSize = pPdoExt->ulBlockSize;
    }
    return STATUS_SUCCESS;
}

/* Widens 16 characters of the record into a string. */
static VOID BusPdoWiden16(PWCHAR wszOut, const CHAR *pIn)
{
    for (ULONG i = 0; i < 16; i++) {
        wszOut[i] = (WCHAR)(UCHAR)pIn[i];
    }
    wszOut[16] = 0;
}

static VOID BusPdoGiveKey(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget, PBUS_FORWARD_RUN pRun);

/* Sends the built request and waits; the outcome is in pRun. */
static NTSTATUS BusPdoSendAttempt(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pTarget,
                                  PBUS_FORWARD_RUN pRun)
{
    ENT("BusPdoSendAttempt: pDeviceObject 0x%08x, pIrp 0x%08x, pTarget 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp), DBG_PTR(pTarget));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIRP pNewIrp = pRun->pNewIrp;
    PSCSI_STATUS pScsiStatus = pRun->pScsiStatus;
    PIRPS_WITH_STATUS pBlock = NULL;
    ULONG ulIndex = 0;
    NTSTATUS status;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    pRun->ulInformation = 0;
    pRun->fSent = FALSE;
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
    status = BusIrpsWithStatusSet(&pBlock, &ulIndex, pNewIrp, pScsiStatus);
    if (!NT_SUCCESS(status)) {
        goto done;
    }

    (VOID)BusPdoPreProcessPos(pDeviceObject, pRun->pBuffer, pRun->Fwd.ulOutput);
    BusPdoGiveKey(pPdoExt, pTarget, pRun);

    pRun->fSent = TRUE;
    status = IoCallDriver(pTarget, pNewIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = pNewIrp->IoStatus.Status;
    pRun->ulInformation = pNewIrp->IoStatus.Information;
    BusIrpsWithStatusClear(pPdoExt->pIrpsWithStatus, pBlock, ulIndex);

    if (pScsiStatus->szHostKey[0] != 0) {
        WCHAR wszWwpn[17];
        WCHAR wszKey[17];
        BusPdoWiden16(wszWwpn, pScsiStatus->szWwpn);
        BusPdoWiden16(wszKey, pScsiStatus->szHostKey);
        BusTwoParmEvent(pDeviceObject, pIrp, BUS_EVT_RESERVING_HOST_KEY, wszWwpn, wszKey);
    }

    /* Sense of a pass-through comes back in the structure; it counts only when the drive reported
       CHECK CONDITION, with enough sense bytes inside the forwarded buffer. A buffer an application
       reuses may hold old sense after a clean success. */
    if (pRun->Fwd.fPassThru) {
        BOOLEAN fExtended = FALSE;
        (VOID)BusPassThruTakeSense(pRun->pBuffer, pRun->Fwd.ulOutput, pScsiStatus, &fExtended);
    }
    if (pScsiStatus->ucSME & 0x02) {
        pPdoExt->fSME = pScsiStatus->ucSME & 0x01;
    }

done:
    pRun->iStatus = status;
    EXT("BusPdoSendAttempt: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Reservations ---- */

static BOOLEAN BusPdoIsReservationRequest(PBUS_FORWARD_RUN pRun)
{
    if (pRun->ucMajor != IRP_MJ_DEVICE_CONTROL) {
        return FALSE;
    }
    ULONG ulIoctl = pRun->pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    if (ulIoctl == IOCTL_STORAGE_RESERVE || ulIoctl == IOCTL_STORAGE_PERSISTENT_RESERVE_OUT ||
        ulIoctl == BUS_IOCTL_SET_RESERVE_KEY) {
        return TRUE;
    }
    if (pRun->Fwd.fPassThru && pRun->pBuffer != NULL && pRun->Fwd.ulOutput >= CMN_PT64_LENGTH) {
        UCHAR ucOp = pRun->pBuffer[36];
        return ucOp == 0x16 || (ucOp == 0x5F && (pRun->pBuffer[37] & 0x1F) == 1);
    }
    return FALSE;
}

static VOID BusPdoSendReservationKey(PDEVICE_OBJECT pDeviceObject, ULONGLONG ullKey)
{
    DBG("BusPdoSendToFilter: reservation key 0x%08x%08x to the current path\n", (ULONG)(ullKey >> 32), (ULONG)ullKey);
    (VOID)BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOC_SET_RESERVATION_KEY, &ullKey, sizeof(ullKey), NULL, 0);
}

/* The path record of a filter device; the caller holds the path-list lock. */
static PPATH_DATA BusPdoPathOfTarget(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget)
{
    for (PPATH_DATA pPath = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL; pPath != NULL;
         pPath = pPath->pNext) {
        if (pPath->pFDO == pTarget) {
            return pPath;
        }
    }
    return NULL;
}

/* The reservation key a path reserves with: the one it was last given, or its own. A path that
   left keeps the key the drive already has. */
static ULONGLONG BusPdoPathKey(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget)
{
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = BusPdoPathOfTarget(pPdoExt, pTarget);
    ULONGLONG ullKey = pPath != NULL ? pPath->ullKey : pPdoExt->ulReservationKey;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return ullKey;
}

/* The path goes back to its own key (the application that chose another is gone). */
static ULONGLONG BusPdoPathOwnKey(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget)
{
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = BusPdoPathOfTarget(pPdoExt, pTarget);
    ULONGLONG ullKey = pPdoExt->ulReservationKey;
    if (pPath != NULL) {
        pPath->ullKey = pPath->ullOwnKey;
        ullKey = pPath->ullKey;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return ullKey;
}

/*
 * The base driver reserves with the key it was handed. Before a path reserves or releases for the
 * first time, it gets the path's own key; a key of the base driver's choosing could be anything
 * (an address, say) and would not be the one the bus preempts with.
 */
static VOID BusPdoGiveKey(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget, PBUS_FORWARD_RUN pRun)
{
    ULONG ulIoctl = pRun->ucMajor == IRP_MJ_DEVICE_CONTROL ? pRun->pIrpStack->Parameters.DeviceIoControl.IoControlCode : 0;
    if (ulIoctl != IOCTL_STORAGE_RESERVE && ulIoctl != IOCTL_STORAGE_RELEASE) {
        return;
    }
    ENT("BusPdoGiveKey: pPdoExt 0x%08x, pTarget 0x%08x\n", DBG_PTR(pPdoExt), DBG_PTR(pTarget));
    KIRQL irql;
    ULONGLONG ullKey = 0;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = BusPdoPathOfTarget(pPdoExt, pTarget);
    if (pPath != NULL && !pPath->fKeyGiven) {
        pPath->fKeyGiven = TRUE;
        ullKey = pPath->ullKey;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (ullKey != 0) {
        status = BusSendToPath(pTarget, IOC_SET_RESERVATION_KEY, &ullKey, sizeof(ullKey), NULL, 0, NULL);
        if (!NT_SUCCESS(status)) {
            /* Given again before the next reservation request. */
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            pPath = BusPdoPathOfTarget(pPdoExt, pTarget);
            if (pPath != NULL) {
                pPath->fKeyGiven = FALSE;
            }
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        }
    }
    EXT("BusPdoGiveKey: status 0x%08x\n", (ULONG)status);
}

static VOID BusPdoSetPathKey(PPDO_EXT pPdoExt, PDEVICE_OBJECT pTarget, ULONGLONG ullKey)
{
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = BusPdoPathOfTarget(pPdoExt, pTarget);
    if (pPath != NULL) {
        pPath->ullKey = ullKey;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
}

NTSTATUS BusPdoCleanupLastHandle(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoCleanupLastHandle: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    BusPdoTakePathEvents(pPdoExt);
    if (pPdoExt->fUnlockPending && !pPdoExt->fPAMR && pPdoExt->ulOpenHandles == 0) {
        BusPdoUnlockOtherPaths(pDeviceObject, NULL);
    }
    BusPdoCompleteQueuedIrp(pIrp, STATUS_SUCCESS, 0);
    EXT("BusPdoCleanupLastHandle: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

/* Keeps the reservation holder and the key the lower layers preempt with. */
static VOID BusPdoReservationBookkeeping(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pTarget,
                                         PBUS_FORWARD_RUN pRun, BOOLEAN fFailoverOccurred)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS iStatus = pRun->iStatus;
    BOOLEAN fReserve = BusPdoIsReservationRequest(pRun);
    ULONG ulIoctl = pRun->ucMajor == IRP_MJ_DEVICE_CONTROL ? pRun->pIrpStack->Parameters.DeviceIoControl.IoControlCode : 0;
    PUCHAR pIn = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pRun->ucMajor == IRP_MJ_DEVICE_CONTROL ? pRun->pIrpStack->Parameters.DeviceIoControl.InputBufferLength : 0;

    DBG("BusPdoSendToFilter: iStatus = 0x%08x, RESERVE_CMD = 0x%01x, fFailoverOcurred = 0x%01x, IrpMajorFunction == IRP_MJ_CREATE = 0x%01x\n",
        (ULONG)iStatus, (ULONG)fReserve, (ULONG)fFailoverOccurred, (ULONG)(pRun->ucMajor == IRP_MJ_CREATE));

    /* A handle opened beside others joins their session, and a handle closes: neither goes down with
       a preempt nor after the settings restore, so the reservation, and the path the settings were
       last restored on, stay what they were, whichever path the open or close went through. */
    BOOLEAN fJoin = (pRun->ucMajor == IRP_MJ_CREATE && pPdoExt->ulOpenHandles > 1) || pRun->ucMajor == IRP_MJ_CLOSE;
    if (!fJoin && (fFailoverOccurred || (NT_SUCCESS(iStatus) && (fReserve || pRun->ucMajor == IRP_MJ_CREATE)))) {
        BusPdoSetReservationHolder(pPdoExt, pTarget);
        DBG("BusPdoSendToFilter: New reservation held by 0x%08x\n", DBG_PTR(pTarget));
        if (ulIoctl == BUS_IOCTL_SET_RESERVE_KEY && pIn != NULL && ulIn >= 8) {
            DBG("BusPdoSendToFilter: SET_RESERVEKEY_IOCTL_CMD\n");
            pPdoExt->fExplicitlySetPRKey = TRUE;
            RtlCopyMemory(&pPdoExt->ulReservationKey, pIn, 8);
            BusPdoSetPathKey(pPdoExt, pTarget, pPdoExt->ulReservationKey);
        } else if (ulIoctl == IOCTL_STORAGE_PERSISTENT_RESERVE_OUT && pIn != NULL && ulIn >= 26 &&
                   (pIn[8] & 0x1F) == 0) {
            DBG("BusPdoSendToFilter: PR_OUT_SET_KEY\n");
            pPdoExt->fExplicitlySetPRKey = TRUE;
            RtlCopyMemory(&pPdoExt->ulReservationKey, pIn + 18, 8);
            BusPdoSetPathKey(pPdoExt, pTarget, pPdoExt->ulReservationKey);
        } else if (ulIoctl == IOCTL_STORAGE_PERSISTENT_RESERVE_OUT && pIn != NULL && ulIn >= 18 &&
                   ((pIn[8] & 0x1F) == 4 || (pIn[8] & 0x1F) == 5)) {
            DBG("BusPdoSendToFilter: Reservation action preempt [abort]\n");
            pPdoExt->fExplicitlySetPRKey = TRUE;
            RtlCopyMemory(&pPdoExt->ulReservationKey, pIn + 10, 8);
            BusPdoSendReservationKey(pDeviceObject, pPdoExt->ulReservationKey);
            BusPdoSetPathKey(pPdoExt, pTarget, pPdoExt->ulReservationKey);
        } else if (!pPdoExt->fExplicitlySetPRKey && ulIoctl != IOCTL_STORAGE_PERSISTENT_RESERVE_OUT) {
            DBG("BusPdoSendToFilter: pPdoExt->fExplicitlySetPRKey == False \n");
            pPdoExt->ulReservationKey = BusPdoPathKey(pPdoExt, pTarget);
        }
    }
    if (pRun->ucMajor == IRP_MJ_CLOSE && NT_SUCCESS(iStatus) && pPdoExt->fExplicitlySetPRKey &&
        pPdoExt->ulOpenHandles == 0) {
        /* The application that chose the key is gone: the key follows the path again. */
        pPdoExt->ulReservationKey = BusPdoPathOwnKey(pPdoExt, pTarget);
        pPdoExt->fExplicitlySetPRKey = FALSE;
        BusPdoSendReservationKey(pDeviceObject, pPdoExt->ulReservationKey);
        BusPdoSetPathKey(pPdoExt, pTarget, pPdoExt->ulReservationKey);
    }
}

/* ---- Settings restore ---- */

/*
 * Brings a path the drive is reached through anew to the settings the application made: block
 * size, then logical block protection, medium lock, AMU and the drive parameters (compression among
 * them). Runs before the first attempt on the new path, so that the retried request meets them. The
 * requests go through this device and this engine; fSMP keeps them from restoring on their own.
 */
static NTSTATUS BusPdoRestoreSettings(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoRestoreSettings: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    pPdoExt->fSMP = TRUE;
    /* An unknown block size is not sent (the drive's own is read before the next read or
       write), but protection, lock and AMU are the application's all the same: a failover in
       the nested block-size read itself would otherwise leave them behind on the old path. */
    if (pPdoExt->fBlockSizeValid) {
        TAPE_SET_MEDIA_PARAMETERS media;
        media.BlockSize = pPdoExt->ulBlockSize;
        status = BusPdoSetBlockSize(pDeviceObject, &media, sizeof(media));
        if (!NT_SUCCESS(status)) {
            DBG("BusPdoSendToFilter: Couldn't set media parameters after failover.  Do not attempt any more failovers.\n");
            /* The failed set forgot the block size, but it is still the application's: reading
               the drive's own on this path later would take the drive's default for it, and the
               next write would go out in another block size. */
            pPdoExt->ulBlockSize = media.BlockSize;
            pPdoExt->fBlockSizeValid = TRUE;
            goto done;
        }
    }
    if (pPdoExt->LbpSettings.ucSet != 0) {
        status = BusPdoSetLBP(pDeviceObject, &pPdoExt->LbpSettings);
        if (!NT_SUCCESS(status)) {
            DBG("BusPdoSendToFilter: Couldn't Set LBP after failover.  Do not attempt any more failovers.\n");
            goto done;
        }
    }
    if (pPdoExt->fPAMR) {
        status = BusPdoSetPAMR(pDeviceObject);
        if (!NT_SUCCESS(status)) {
            DBG("BusPdoSendToFilter: Couldn't Set PAMR after failover.  Do not attempt any more failovers.\n");
            goto done;
        }
    }
    if (pPdoExt->ucAMU != BUS_AMU_UNKNOWN) {
        status = BusPdoSetAMU(pDeviceObject, pPdoExt->ucAMU);
        if (!NT_SUCCESS(status)) {
            DBG("BusPdoSendToFilter: Couldn't Set AMU after failover.  Do not attempt any more failovers.\n");
            goto done;
        }
    }
    if (pPdoExt->ucCompression != BUS_COMPRESSION_DRIVE || pPdoExt->fDriveParamsSet) {
        status = BusPdoSetDriveParameters(pDeviceObject);
        if (!NT_SUCCESS(status)) {
            DBG("BusPdoSendToFilter: Couldn't set drive parameters after failover.  Do not attempt any more failovers.\n");
            goto done;
        }
    }
done:
    if (!NT_SUCCESS(status)) {
        /* The path the drive is reached through does not hold all of the application's settings:
           the next request restores them again before it runs. */
        pPdoExt->fSettingsLost = TRUE;
    }
    pPdoExt->fSMP = FALSE;
    EXT("BusPdoRestoreSettings: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- The failover decision ---- */

static VOID BusPdoFailoverEvent(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD_RUN pRun, PCWSTR wszWhy)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    if (!pPdoExt->pBusExt->fEventsEnabled) {
        return;
    }
    WCHAR wszCode[16];
    RtlStringCchPrintfW(wszCode, RTL_NUMBER_OF(wszCode), L"0x%X",
                        pRun->pIrpStack->Parameters.DeviceIoControl.IoControlCode);
    BusTwoParmEvent(pDeviceObject, pIrp, BUS_EVT_STATUS_FAILOVER, wszWhy, wszCode);
}

/* A path as the events name it, by its SCSI address; one that has left the drive has no record. */
static VOID BusPdoPathName(PPDO_EXT pPdoExt, PDEVICE_OBJECT pFdo, PWCHAR wszOut)
{
    SCSI_ADDRESS scScsiAddr;
    BOOLEAN fFound = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = pFdo != NULL ? BusPdoPathOfTarget(pPdoExt, pFdo) : NULL;
    if (pPath != NULL) {
        scScsiAddr = pPath->scScsiAddr;
        fFound = TRUE;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (fFound) {
        BusPathText(wszOut, &scScsiAddr);
    } else {
        (VOID)RtlStringCchCopyW(wszOut, BUS_PATH_TEXT_CHARS, L"a path that has left");
    }
}

/* The new path could not break the old path's reservation: the request fails with access denied,
   which ends the run at once, so the refusal is logged here, before that. */
static VOID BusPdoPreemptRefusedEvent(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PDEVICE_OBJECT pTarget)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    DBG("BusPdoSendToFilter: 0x%08x could not break reservation on device 0x%08x\n", DBG_PTR(pTarget),
        DBG_PTR(pPdoExt->pReservationHolder));
    if (pPdoExt->pBusExt->fEventsEnabled) {
        WCHAR wszTarget[BUS_PATH_TEXT_CHARS];
        WCHAR wszHolder[BUS_PATH_TEXT_CHARS];
        BusPdoPathName(pPdoExt, pTarget, wszTarget);
        BusPdoPathName(pPdoExt, pPdoExt->pReservationHolder, wszHolder);
        BusTwoParmEvent(pDeviceObject, pIrp, BUS_EVT_RESERVATION_REFUSED, wszTarget, wszHolder);
    }
}

/* TRUE when the path that holds the application's reservation is one of the drive's active paths. */
static BOOLEAN BusPdoHolderIsActive(PPDO_EXT pPdoExt)
{
    BOOLEAN fActive = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPATH_DATA pPath = pPdoExt->pReservationHolder != NULL ? BusPdoPathOfTarget(pPdoExt, pPdoExt->pReservationHolder)
                                                         : NULL;
    fActive = pPath != NULL && pPath->fActive;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return fActive;
}

/* TRUE when the attempt failed in a way that another try may cure. *pStatusEnd is set when the
   run must end at once with that status. */
static BOOLEAN BusPdoDecideFailover(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD_RUN pRun,
                                    BOOLEAN fFailover, PNTSTATUS pStatusEnd)
{
    PSCSI_STATUS pScsiStatus = pRun->pScsiStatus;
    BOOLEAN fDecision = FALSE;
    WCHAR wszWhy[40];

    if ((ULONG)pScsiStatus->scPreempt == (ULONG)STATUS_ACCESS_DENIED) {
        /* The new path could not break the reservation (logged when the attempt ended): the sense
           data are the refusal's, not a path's. */
    } else if (pScsiStatus->fSenseValid) {
        NTSTATUS status = BusPdoAdjustPosOnSense(pDeviceObject, pScsiStatus);
        if (status != STATUS_SUCCESS) {
            *pStatusEnd = status;
            return FALSE;
        }
        if (fFailover && BusSenseCausesFailover(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
            DBG("BusPdoSendToFilter: attempting to fail over.\n");
            RtlStringCchPrintfW(wszWhy, RTL_NUMBER_OF(wszWhy), L"(SCSI CHECK %X/%X/%X)",
                                (ULONG)pScsiStatus->ucSenseKey, (ULONG)pScsiStatus->ucAsc, (ULONG)pScsiStatus->ucAscq);
            BusPdoFailoverEvent(pDeviceObject, pIrp, pRun, wszWhy);
            fDecision = TRUE;
        }
    } else {
        DBG("BusPdoSendToFilter: no SCSI status\n");
    }
    if (!fDecision && fFailover && !NT_SUCCESS(pRun->iStatus) && !BusStatusPreventsFailover(pRun->iStatus) &&
        !(pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x04 && pScsiStatus->ucAsc == 0x10 &&
          pScsiStatus->ucAscq == 0x01) &&
        !(pScsiStatus->fSenseValid &&
          BusSenseIsDriveCondition(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq))) {
        RtlStringCchPrintfW(wszWhy, RTL_NUMBER_OF(wszWhy), L"(NTSTATUS 0x%08X)", (ULONG)pRun->iStatus);
        BusPdoFailoverEvent(pDeviceObject, pIrp, pRun, wszWhy);
        fDecision = TRUE;
    }
    return fDecision;
}

/* A unit attention that tells the application its tape moved or its settings went: a medium change,
   or power on and resets (06/29/00-06). The loss of one path's connection (06/29/07) leaves the
   tape where it was; the settings restore covers it. */
static BOOLEAN BusPdoMediumAttention(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x06 &&
           (pScsiStatus->ucAsc == 0x28 || (pScsiStatus->ucAsc == 0x29 && pScsiStatus->ucAscq <= 0x06));
}

/* Power on or a reset (06/29/00-06), as current sense. */
static BOOLEAN BusPdoResetAttention(PSCSI_STATUS pScsiStatus)
{
    return BusPdoMediumAttention(pScsiStatus) && pScsiStatus->ucAsc == 0x29 &&
           (pScsiStatus->ucFlags & SCSI_STATUS_FLAG_DEFERRED) == 0;
}

/* The loss of this path's connection, reported by the drive when the path is back (06/29/07). */
static BOOLEAN BusPdoNexusLossAttention(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == 0x06 && pScsiStatus->ucAsc == 0x29 &&
           pScsiStatus->ucAscq == 0x07;
}

/*
 * A reset reaches every login of the drive, and each keeps its notice until it next sends a command.
 * Another path that answers a TEST UNIT READY without one shows that no reset happened since it last
 * spoke: the notice on the new path is that path's own new login. A path that does not answer, or
 * answers with a notice of its own, shows nothing, and the next is asked; none answering plainly: FALSE.
 */
static BOOLEAN BusPdoOtherPathSawNoReset(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget)
{
    ENT("BusPdoOtherPathSawNoReset: pDeviceObject 0x%08x, pTarget 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pTarget));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT apPaths[BUS_MAX_UNLOCK_PATHS];
    BOOLEAN fLeftOut = FALSE;
    BOOLEAN fNoReset = FALSE;
    const ULONG ulPaths = BusPdoReferenceOtherPaths(pPdoExt, pTarget, apPaths, RTL_NUMBER_OF(apPaths), &fLeftOut);
    BOOLEAN fAsked = FALSE;   /* a path answered: no other is asked */
    for (ULONG i = 0; i < ulPaths; i++) {
        if (!fAsked) {
            /* A notice of another login's mode change says nothing of a reset; the answer after it does. */
            SCSI_STATUS scStatus;
            const NTSTATUS status = BusPdoSendPastModeChange(pPdoExt, apPaths[i], IOCTL_TAPE_GET_STATUS, NULL, 0,
                                                             &scStatus);
            if (NT_SUCCESS(status)) {
                fNoReset = TRUE;
                fAsked = TRUE;
            } else if (scStatus.fSenseValid) {
                /* It answered with a notice: whatever that says (it may be that path's own new
                   login), it is no witness, and the next path is asked. A deferred error is the
                   application's: it is kept for its next request, and nothing more is asked. */
                if ((scStatus.ucFlags & SCSI_STATUS_FLAG_DEFERRED) != 0) {
                    if (pPdoExt->iUnitAttention == 0) {
                        pPdoExt->fPositionValid = FALSE;
                        InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)status);
                    }
                    fAsked = TRUE;
                }
            }
        }
        ObDereferenceObject(apPaths[i]);
    }
    EXT("BusPdoOtherPathSawNoReset: %d\n", (int)fNoReset);
    return fNoReset;
}

/*
 * Many drives report a path's new login as a reset (06/29/00 to 06/29/06) rather than as the loss of
 * its connection (06/29/07). Such a notice is either that or a real reset, and it is taken as a new
 * login only on evidence that nothing the application was told of moved or was dropped:
 * - the application's rewind or locate puts the tape where it says, and no acknowledged write waits
 *   in the drive's buffer;
 * - met on another path than the one the drive last answered through, the drive stands at or after
 *   where the application's request began (at the beginning of the tape the buffer holds nothing: the
 *   rewind that took the tape there wrote it out);
 * - otherwise, another path answers without a notice (a reset would have given it one).
 * The notice then means what a lost connection means (the command did not run, the path's settings
 * went back to the drive's defaults) and is taken as one, so the request goes on there once the
 * settings are restored. Without such evidence it is the reset it says, and the application hears of it.
 */
static BOOLEAN BusPdoLoginLookedLikeReset(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, BOOLEAN fNewPath,
                                          PSCSI_STATUS pScsiStatus)
{
    ENT("BusPdoLoginLookedLikeReset: pDeviceObject 0x%08x, pTarget 0x%08x, fNewPath %d\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pTarget), (int)fNewPath);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    BOOLEAN fLogin = FALSE;
    if (pPdoExt->pOwnReset != NULL && pPdoExt->pOwnReset == pTarget) {
        /* The bus reset the drive itself (BusPdoBreakMissedLock) and knows what it did. */
        DBG("BusPdoLoginLookedLikeReset: the bus's own reset\n");
        pPdoExt->pOwnReset = NULL;
        pScsiStatus->ucAscq = 0x07;
        fLogin = TRUE;
    } else if (!pPdoExt->fCheckingLogin) {
        pPdoExt->fCheckingLogin = TRUE;
        if (pPdoExt->fRequestSetsPosition && !pPdoExt->fUnflushedWrites) {
            /* The application's rewind or locate puts the tape where it says whatever a reset did,
               and no write it was told of waits in the drive's buffer for a reset to drop. */
            DBG("BusPdoLoginLookedLikeReset: 06/29/%02X before a rewind or locate: a new login\n",
                (ULONG)pScsiStatus->ucAscq);
            fLogin = TRUE;
        } else if (fNewPath && pPdoExt->fRequestStartValid && !pPdoExt->fRequestSetsPosition) {
            /* (A rewind or locate that may have run elsewhere already left its start behind.) */
            UCHAR aucPos[sizeof(TAPE_GET_POSITION)];
            const NTSTATUS statusPos = BusPdoReadPos(pDeviceObject, aucPos, sizeof(aucPos));
            fLogin = NT_SUCCESS(statusPos) && pPdoExt->fPositionValid &&
                     pPdoExt->ulPosition >= pPdoExt->ulRequestStart;
            DBG("BusPdoLoginLookedLikeReset: 06/29/%02X, drive at 0x%08x%08x, request began at 0x%08x%08x: %s\n",
                (ULONG)pScsiStatus->ucAscq, (ULONG)(pPdoExt->ulPosition >> 32), (ULONG)pPdoExt->ulPosition,
                (ULONG)(pPdoExt->ulRequestStart >> 32), (ULONG)pPdoExt->ulRequestStart,
                fLogin ? "a new login" : "a reset");
        } else if (pPdoExt->iUnitAttention == 0) {
            /* Where the drive should stand is not known (or the notice came on the path that answered
               last, whose own loss of connection may be all it is): another path tells whether the
               drive was reset. */
            fLogin = BusPdoOtherPathSawNoReset(pDeviceObject, pTarget);
            DBG("BusPdoLoginLookedLikeReset: 06/29/%02X, another path: %s\n", (ULONG)pScsiStatus->ucAscq,
                fLogin ? "a new login" : "a reset");
        }
        pPdoExt->fCheckingLogin = FALSE;
        if (fLogin) {
            pScsiStatus->ucAscq = 0x07;
        }
    }
    EXT("BusPdoLoginLookedLikeReset: %d\n", (int)fLogin);
    return fLogin;
}

/* Deferred sense: the drive could not write data it had reported written, and says so on this
   command, which it did not run. What its buffer held from the failure on is gone and the tape
   stands where the write failed. A pass-through completes with the sense in its own buffer. */
static BOOLEAN BusPdoDeferredError(PSCSI_STATUS pScsiStatus)
{
    return pScsiStatus->fSenseValid && (pScsiStatus->ucFlags & SCSI_STATUS_FLAG_DEFERRED) != 0;
}

/* The status the base driver gives such a unit attention; the attempt's own when it failed. */
static NTSTATUS BusPdoAttentionStatus(PSCSI_STATUS pScsiStatus, NTSTATUS iStatus)
{
    if (!NT_SUCCESS(iStatus)) {
        return iStatus;
    }
    return pScsiStatus->ucAsc == 0x28 ? STATUS_MEDIA_CHANGED : STATUS_BUS_RESET;
}

/*
 * A preempt on a path that does not hold the reservation met a unit attention: the base driver
 * answers it with the status alone (its sense went with the attention), and the run found no path
 * that took the request. Such a notice may be the drive's reset or medium change, which every path
 * holds until it is read; a path that answered without one would have shown otherwise. So nothing
 * tells the tape did not move: where it stands is read again, the settings are restored, and the
 * application hears of it on this request, or, for one of the bus's own, on the request it serves
 * or its next one. Otherwise a later request would run on the rewound tape as if nothing happened.
 */
static VOID BusPdoPreemptMetAttention(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, BOOLEAN fApplication,
                                      NTSTATUS iSeen, PNTSTATUS piAttention)
{
    ENT("BusPdoPreemptMetAttention: pDeviceObject 0x%08x, iSeen 0x%08x\n", DBG_PTR(pDeviceObject), (ULONG)iSeen);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    SCSI_STATUS scAttention;
    RtlZeroMemory(&scAttention, sizeof(scAttention));
    scAttention.fSenseValid = TRUE;
    scAttention.ucSenseKey = 0x06;
    scAttention.ucAsc = iSeen == STATUS_MEDIA_CHANGED ? 0x28 : 0x29;
    (VOID)BusPdoAdjustPosOnSense(pDeviceObject, &scAttention);
    if (fApplication) {
        if (*piAttention == STATUS_SUCCESS) {
            *piAttention = iSeen;
        }
    } else if (BusIsOwnRequest(pIrp)) {
        InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)iSeen);
    }
    EXT("BusPdoPreemptMetAttention: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
}

/* ---- Completion ---- */

/* The last attempt's results back into the caller's buffer, never past it nor past what was forwarded. */
static VOID BusPdoCopyBack(PIRP pIrp, PBUS_FORWARD_RUN pRun)
{
    if (pRun->ucMajor != IRP_MJ_DEVICE_CONTROL) {
        return;
    }
    pRun->iStatus = BusForwardCopyBack(pIrp, &pRun->Fwd, pRun->pBuffer, pRun->iStatus, &pRun->ulInformation);
}

/* ---- The run ---- */

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT pTarget = NULL;
    PDEVICE_OBJECT pPrevTarget = NULL;   /* set on the first attempt on a newly chosen path */
    PDEVICE_OBJECT *ppTargetsUsed = NULL;
    IO_STACK_LOCATION savedOuterStack;
    UCHAR fOuterDoNotFailover;
    BOOLEAN fFailover = FALSE;
    BOOLEAN fAttempted = FALSE;
    BOOLEAN fApplication = FALSE;   /* an application's read, write or control request */
    NTSTATUS iAttention = STATUS_SUCCESS;   /* a reset, medium change or loss of acknowledged writes the caller is told of */
    NTSTATUS iPreemptAttention = STATUS_SUCCESS;   /* the drive's notice a refused preempt met */
    BOOLEAN fStartedAtUnflushedEnd = FALSE;   /* the tape stood where writes that may be unwritten end */
    BOOLEAN fBrokeLock = FALSE;   /* the drive was reset once to lift a lock a path missed the ALLOW of */
    UCHAR ucCartridge = BUS_CARTRIDGE_NONE;   /* a load or unload, and whether it is immediate */
    BOOLEAN fCartridgeElsewhere = FALSE;   /* the load or unload went down a path that was lost */
    ULONG ulRetries = 0;
    BUS_FORWARD_RUN run;
    NTSTATUS status;

    /* Requests of other kinds (a flush, a query or set of file information) come in the caller's
       thread, beside the worker that may be processing another request of this device: they are
       refused before any of the device's request state is touched. */
    {
        PIO_STACK_LOCATION pFirst = IoGetCurrentIrpStackLocation(pIrp);
        if (pFirst != NULL && pFirst->MajorFunction != IRP_MJ_CREATE && pFirst->MajorFunction != IRP_MJ_CLOSE &&
            pFirst->MajorFunction != IRP_MJ_READ && pFirst->MajorFunction != IRP_MJ_WRITE &&
            pFirst->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            DBG("BusPdoSendToFilter: Type %s (NOT SUPPORTED)\n", DbgMajorFunctionName(pFirst->MajorFunction));
            BusPdoCompleteQueuedIrp(pIrp, STATUS_NOT_IMPLEMENTED, 0);
            EXT("BusPdoSendToFilter: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
            return STATUS_NOT_IMPLEMENTED;
        }
    }
    /* A nested request (sent while another of this device is processed) must leave the outer
       request's view of itself as it found it. */
    fOuterDoNotFailover = pPdoExt->fDoNotFailover;
    RtlCopyMemory(&savedOuterStack, &pPdoExt->SavedIrpStack, sizeof(IO_STACK_LOCATION));
    pPdoExt->fDoNotFailover = FALSE;
    RtlZeroMemory(&run, sizeof(run));
    pIrp->IoStatus.Information = 0;
    run.pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (run.pIrpStack == NULL) {
        DBG_NULL("BusPdoSendToFilter: pIrpStack");
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }
    run.ucMajor = run.pIrpStack->MajorFunction;
    fApplication = !BusIsOwnRequest(pIrp) && (run.ucMajor == IRP_MJ_READ || run.ucMajor == IRP_MJ_WRITE ||
                                              run.ucMajor == IRP_MJ_DEVICE_CONTROL);
    /* A locked pass-through-direct buffer is released at the end however the run ends. */
    run.Fwd.fDirect = run.ucMajor == IRP_MJ_DEVICE_CONTROL &&
                  run.pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    pTarget = BusPdoChooseTarget(pDeviceObject, &ppTargetsUsed, FALSE, NULL);
    if (pTarget == NULL) {
        /* No memory for the tried-paths list is a shortage, not a missing path. */
        status = ppTargetsUsed == NULL && !BusPdoIsGone(pPdoExt) ? STATUS_INSUFFICIENT_RESOURCES
                                                                     : STATUS_OBJECT_PATH_NOT_FOUND;
        goto complete;
    }
    {
        KIRQL irql;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        fFailover = pPdoExt->pPdoData != NULL && pPdoExt->pPdoData->fFailover;
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    }
    status = BusPdoPrepareRun(pDeviceObject, pIrp, &run);
    if (!NT_SUCCESS(status)) {
        goto complete;
    }
    fStartedAtUnflushedEnd = pPdoExt->fUnflushedWrites && pPdoExt->fPositionValid &&
                             pPdoExt->ulPosition == pPdoExt->ulUnflushedEnd;
    if (fFailover && fApplication) {
        pPdoExt->fRequestStartValid = pPdoExt->fPositionValid;
        pPdoExt->ulRequestStart = pPdoExt->ulPosition;
        pPdoExt->fRequestSetsPosition = FALSE;
    }

    for (;;) {
        BOOLEAN fRetrySamePath = FALSE;
        BOOLEAN fFailoverOccurred = FALSE;
        BOOLEAN fDecision = FALSE;
        BOOLEAN fDidIo = FALSE;
        NTSTATUS statusEnd = STATUS_SUCCESS;

        BusPdoTakePathEvents(pPdoExt);

        status = BusPdoBuildAttempt(pDeviceObject, pIrp, pTarget, &run);
        if (!NT_SUCCESS(status)) {
            break;
        }
        PDEVICE_OBJECT pBuiltFor = pTarget;
        RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
        if (fFailover && fApplication && !fAttempted) {
            pPdoExt->fRequestSetsPosition = BusPdoSetsPosition(pPdoExt, run.pBuffer, run.Fwd.ulOutput);
        }
        if (fFailover && !fAttempted) {
            ucCartridge = BusPdoCartridgeMotion(pPdoExt, run.pBuffer, run.Fwd.ulOutput);
        }

        /* A path came back, and its own start-up commands may have taken the notice of a drive
           reset (a reset armed while no path could reach the drive goes off on the first command
           that does): the tape may have been rewound and the drive's buffer dropped, and nobody
           told. Where the drive stands is read and compared with where the application left it;
           another place means the drive lost its state, and the application hears of it as the
           reset it was. Only before the request's first attempt: once part of it ran, the
           drive has moved by that part while the model still counts from where it began. */
        if (fFailover && fApplication && !fAttempted && pPdoExt->fPositionCheck && !pPdoExt->fSMP) {
            pPdoExt->fPositionCheck = FALSE;
            if (pPdoExt->fPositionValid) {
                UCHAR aucPos[sizeof(TAPE_GET_POSITION)];
                const ULONGLONG ulTracked = pPdoExt->ulPosition;
                const NTSTATUS statusPos = BusPdoReadPos(pDeviceObject, aucPos, sizeof(aucPos));
                RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
                if (!NT_SUCCESS(statusPos)) {
                    /* Where the drive stands is not known yet (the read, or the settings restore
                       before it, failed). Run now, the request would move the tape and the model
                       with it, and a reset would never show: it fails, and the next request
                       compares the position with the one the application left. */
                    DBG("BusPdoSendToFilter: position check after a returning path failed: 0x%08x\n", (ULONG)statusPos);
                    if (pPdoExt->iUnitAttention == 0) {
                        /* Neither the read nor the restore moves the tape. (A reset they met is
                           told to the application with this failure, and the place is lost.) */
                        pPdoExt->fPositionCheck = TRUE;
                        pPdoExt->fPositionValid = TRUE;
                        pPdoExt->ulPosition = ulTracked;
                    }
                    status = statusPos;
                    break;
                }
                if (pPdoExt->fPositionValid && pPdoExt->ulPosition != ulTracked) {
                    DBG("BusPdoSendToFilter: the drive stands at 0x%08x%08x, not where the application left it\n",
                        (ULONG)(pPdoExt->ulPosition >> 32), (ULONG)pPdoExt->ulPosition);
                    pPdoExt->fSettingsLost = TRUE;
                    if (pPdoExt->iUnitAttention == 0) {
                        InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)STATUS_BUS_RESET);
                    }
                }
                pTarget = BusPdoRealign(pDeviceObject, &ppTargetsUsed, pTarget);
                if (pTarget == NULL) {
                    status = STATUS_OBJECT_PATH_NOT_FOUND;
                    break;
                }
            }
        }
        /* The model needs the position and block size before the request moves the tape. */
        if (fFailover && !pPdoExt->fPositionValid && BusPdoNeedsPosition(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) {
            UCHAR aucPos[sizeof(TAPE_GET_POSITION)];
            DBG("BusPdoSendToFilter: This command requires position information.  Calling BusPdoReadPos.\n");
            status = BusPdoReadPos(pDeviceObject, aucPos, sizeof(aucPos));
            RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
            if (NT_SUCCESS(status) && !pPdoExt->fPositionValid) {
                status = STATUS_UNSUCCESSFUL;
            }
            if (!NT_SUCCESS(status)) {
                break;
            }
            if (fApplication && !fAttempted) {
                /* Nothing of the request has run yet: it begins where the drive was just found. */
                pPdoExt->fRequestStartValid = TRUE;
                pPdoExt->ulRequestStart = pPdoExt->ulPosition;
            }
            pTarget = BusPdoRealign(pDeviceObject, &ppTargetsUsed, pTarget);
            if (pTarget == NULL) {
                status = STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
        }
        if (fFailover && !pPdoExt->fBlockSizeValid && BusPdoIsReadWrite(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) {
            UCHAR aucMedia[sizeof(TAPE_GET_MEDIA_PARAMETERS)];
            if (pPdoExt->ucBlockSizeDoubt == BUS_BLOCK_SIZE_FORGOTTEN) {
                /* The application's last block size failed to set and the drive has since gone
                   back to its default: a read or write would run in a block size the application
                   never chose. It fails until the application sets one. */
                DBG("BusPdoSendToFilter: block size forgotten by the drive; set it again\n");
                status = STATUS_IO_DEVICE_ERROR;
                break;
            }
            status = BusPdoGetBlockSize(pDeviceObject, aucMedia, sizeof(aucMedia));
            RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
            if (NT_SUCCESS(status) && !pPdoExt->fBlockSizeValid) {
                status = STATUS_UNSUCCESSFUL;
            }
            if (!NT_SUCCESS(status)) {
                DBG("BusPdoSendToFilter: cannot determine blocksize on read/write command\n");
                break;
            }
            pTarget = BusPdoRealign(pDeviceObject, &ppTargetsUsed, pTarget);
            if (pTarget == NULL) {
                status = STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
        }
        /* Writes the drive acknowledged through another path may still have been in its buffer
           when that path was lost. Had the drive failed to write them out, only that path would
           have heard (the drive tells the path that wrote them), and the application would go on
           believing them on tape. Before its request runs here, the tape is moved to where those
           writes end: a drive that lost them answers that its data ends before that block, and
           the application learns of the loss. Requests whose own failure handling compares the
           position or moves back to their start find the loss that way, once they have been
           tried. Only for a request that began where those writes end: a tape the application
           has since moved elsewhere, or whose place it was told it does not know, stays where it
           is (this request's own failed attempt may have left the place unknown). Done before the
           settings restore, so that the path the locate leaves the request on is the one that
           gets the settings. Not before an unload sent again: its first attempt may have taken the
           cartridge out already (its answer was lost with the path), and a locate would fail the
           unload with a tape that is not there. */
        if (fFailover && fApplication && pPdoExt->fUnflushedWrites && pTarget != pPdoExt->pUnflushedPath &&
            !pPdoExt->fSMP && fStartedAtUnflushedEnd &&
            (!pPdoExt->fPositionValid || pPdoExt->ulPosition == pPdoExt->ulUnflushedEnd) &&
            (!fAttempted || !BusPdoFindsLostWrites(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) &&
            !(fAttempted && BusPdoIsUnload(pPdoExt, run.pBuffer, run.Fwd.ulOutput))) {
            UCHAR aucPos[sizeof(TAPE_SET_POSITION)];
            pPdoExt->fUnflushedWrites = FALSE;
            DBG("BusPdoSendToFilter: writes through another path may be unwritten; locating to their end 0x%08x%08x\n",
                (ULONG)(pPdoExt->ulUnflushedEnd >> 32), (ULONG)pPdoExt->ulUnflushedEnd);
            const NTSTATUS statusAtEnd = BusPdoSetPos(pDeviceObject, aucPos, sizeof(aucPos), pPdoExt->ulUnflushedEnd);
            RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
            if (statusAtEnd == STATUS_NO_DATA_DETECTED) {
                DBG("BusPdoSendToFilter: the drive lost writes it had acknowledged\n");
                pPdoExt->fPositionValid = FALSE;
                iAttention = STATUS_DEVICE_DATA_ERROR;
                status = STATUS_DEVICE_DATA_ERROR;
                break;
            }
            if (!NT_SUCCESS(statusAtEnd)) {
                pPdoExt->fUnflushedWrites = TRUE;   /* not known yet: the next request tries again */
                status = statusAtEnd;
                break;
            }
            pTarget = BusPdoRealign(pDeviceObject, &ppTargetsUsed, pTarget);
            if (pTarget == NULL) {
                status = STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
        }
        /* A path this drive is reached through anew, or a drive that forgot them (a reset or a
           lost connection), gets the application's settings first: a write must never meet
           another block size than the one the application set. An open or a close carries no
           data and moves nothing: it leaves the restore to the next request, so that a notice
           the drive still holds for the restore (a cartridge just loaded or taken out) cannot
           fail the open. */
        if (fFailover && !pPdoExt->fSMP && run.ucMajor != IRP_MJ_CREATE && run.ucMajor != IRP_MJ_CLOSE &&
            ((pPdoExt->pReservationHolder != NULL && pPdoExt->pReservationHolder != pTarget) ||
             pPdoExt->fSettingsLost)) {
            /* The restore's own requests may fail over in their turn (the new path goes too):
               then the settings are on neither path completely, and are restored again on the
               path the drive is reached through now. One of them may also fail on the new path
               (a reset it had not heard of yet), succeed on another, and the next one come back
               to the new path: the path is the same at the end, but the settings sent before the
               way back went elsewhere. The failure marked the settings lost: another round. */
            NTSTATUS statusRestore = STATUS_SUCCESS;
            for (ULONG ulRound = 0;; ulRound++) {
                PDEVICE_OBJECT pRestoredOn = pTarget;
                pPdoExt->fSettingsLost = FALSE;
                statusRestore = ulRound < BUS_MAX_RESTORE_ROUNDS ? BusPdoRestoreSettings(pDeviceObject)
                                                                 : STATUS_IO_DEVICE_ERROR;
                RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
                if (!NT_SUCCESS(statusRestore)) {
                    break;
                }
                pTarget = BusPdoRealign(pDeviceObject, &ppTargetsUsed, pTarget);
                BusPdoTakePathEvents(pPdoExt);
                if (pTarget == NULL || (pTarget == pRestoredOn && !pPdoExt->fSettingsLost)) {
                    break;
                }
                DBG("BusPdoSendToFilter: path changed or a setting failed during the restore; restoring on 0x%08x\n", DBG_PTR(pTarget));
            }
            if (!NT_SUCCESS(statusRestore)) {
                /* Never run the request on a path with other settings: the caller gets the last
                   attempt's outcome, or the restore's failure when there was none. */
                pPdoExt->fDoNotFailover = TRUE;
                pPdoExt->fSettingsLost = TRUE;   /* the next request restores them first */
                status = statusRestore;
                break;
            }
            if (pTarget == NULL) {
                status = fAttempted ? run.iStatus : STATUS_OBJECT_PATH_NOT_FOUND;
                break;
            }
        }
        /* The bus's own requests above (the block-size read, the settings restore) may have met
           the loss of their path's connection (06/29/07) and been sent again: the position they
           left unknown is read before the request runs, or a write that then fails could not be
           finished on another path. */
        if (fFailover && !pPdoExt->fPositionValid && BusPdoNeedsPosition(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) {
            DBG("BusPdoSendToFilter: position lost before the request ran; read it first\n");
            continue;
        }
        /* Nested requests may have moved the target or the reservation: the forwarded request is
           built for the target it goes to (its stack size, the key in its record). */
        if (pTarget != pBuiltFor || run.fPreempt != (pPdoExt->pReservationHolder != pTarget)) {
            status = BusPdoBuildAttempt(pDeviceObject, pIrp, pTarget, &run);
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
        RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));

        /* The medium leaves the drive, or the application is done with it (its last handle closes,
           and a changer may take the cartridge next): a path that missed the application's unlock
           gets it now. */
        if (fFailover && !fAttempted && pPdoExt->fUnlockPending && !pPdoExt->fPAMR &&
            ((fApplication && BusPdoIsUnload(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) ||
             (run.ucMajor == IRP_MJ_CLOSE && pPdoExt->ulOpenHandles == 0))) {
            BusPdoUnlockOtherPaths(pDeviceObject, NULL);
        }

        /* One of the bus's own requests (a position or block-size read, the settings restore, the
           unlock just above) met a reset, a medium change or the loss of acknowledged writes: the
           tape is not where the application left it. Its request must not run as if nothing
           happened; it fails with the drive's word for it, so it can act. */
        if (fApplication && pPdoExt->iUnitAttention != 0) {
            iAttention = (NTSTATUS)InterlockedExchange(&pPdoExt->iUnitAttention, 0);
            DBG("BusPdoSendToFilter: unit attention 0x%08x met by the bus's own request\n", (ULONG)iAttention);
            break;
        }
        status = BusPdoSendAttempt(pDeviceObject, pIrp, pTarget, &run);
        fAttempted = TRUE;
        if (!run.fSent) {
            break;   /* the status table refused it */
        }
        {
            const BOOLEAN fNewPath = pPdoExt->pLastAnswered != pTarget;
            if (NT_SUCCESS(status) || run.pScsiStatus->fSenseValid) {
                pPdoExt->pLastAnswered = pTarget;
            }
            if (fFailover && BusPdoResetAttention(run.pScsiStatus) &&
                BusPdoLoginLookedLikeReset(pDeviceObject, pTarget, fNewPath, run.pScsiStatus)) {
                RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
            }
        }
        if (status == STATUS_DEVICE_NOT_CONNECTED && fFailover && !pPdoExt->fSMP) {
            /* The path's connection to the drive went, and the drive forgets this connection's
               settings with it. It says so to the path's next command, whose answer may be lost in
               its turn: the settings are restored before the next attempt whatever it hears. */
            pPdoExt->fSettingsLost = TRUE;
        }
        if ((ULONG)run.pScsiStatus->scPreempt == (ULONG)STATUS_ACCESS_DENIED) {
            BusPdoPreemptRefusedEvent(pDeviceObject, pIrp, pTarget);
            if (status == STATUS_BUS_RESET || status == STATUS_MEDIA_CHANGED) {
                iPreemptAttention = status;
            }
        } else if (pPrevTarget != NULL || run.fPreempt) {
            if (run.fPreempt && run.pScsiStatus->scPreempt == 0 && pPdoExt->ulReservationKey != 0) {
                /* The path registered with the holder's key to take the reservation over (or found
                   none to take): that key is the one it reserves with from now on. Taken for the
                   path's own, a second failover would preempt with a key nobody holds it under. */
                BusPdoSetPathKey(pPdoExt, pTarget, pPdoExt->ulReservationKey);
            }
            fFailoverOccurred = TRUE;
            run.fPreempt = FALSE;
        }
        if (status == STATUS_ACCESS_DENIED && fFailover &&
            (ULONG)run.pScsiStatus->scPreempt == (ULONG)STATUS_ACCESS_DENIED &&
            pPdoExt->pReservationHolder != pTarget && BusPdoHolderIsActive(pPdoExt)) {
            /* The drive still keeps the reservation for the login of the path that took it, and
               that path works again (its link came back before the drive heard of the loss): the
               request goes there, where it needs no preempt. The command did not run here. */
            PDEVICE_OBJECT pNext = BusPdoChooseTarget(pDeviceObject, &ppTargetsUsed, FALSE, NULL);
            if (pNext != NULL) {
                DBG("BusPdoSendToFilter: the reservation's holder is active again; trying it\n");
                ulRetries = 0;
                pPrevTarget = pTarget;
                ObDereferenceObject(pTarget);
                pTarget = pNext;
                continue;
            }
        }
        if (status == STATUS_ACCESS_DENIED) {
            /* Never a path failure: nothing is retried, nothing copied back. */
            run.ulInformation = 0;
            BusPdoFreeAttempt(&run);
            break;
        }
        /* The load or unload went down a path that was lost, and the drive goes on with what it
           began there: here it answers that it is still busy with the cartridge, or, after a load,
           with the notice of the cartridge the load brought in. Neither is the application's news.
           The bus waits for the drive (unless the request asked not to be waited for) and sends
           the request again here; it then ends with what the drive says of the cartridge. An
           unload that finds the drive empty is done. */
        BOOLEAN fCartridgeResend = FALSE;
        if (fFailover && fCartridgeElsewhere && !pPdoExt->fDoNotFailover) {
            const UCHAR ucKind = ucCartridge & ~BUS_CARTRIDGE_IMMEDIATE;
            const BOOLEAN fImmediate = (ucCartridge & BUS_CARTRIDGE_IMMEDIATE) != 0;
            const BOOLEAN fLoadNotice = ucKind == BUS_CARTRIDGE_LOAD && BusPdoCartridgeLoadedAttention(run.pScsiStatus);
            BOOLEAN fMoving = !fImmediate && BusPdoCartridgeMoving(run.pScsiStatus);
            BOOLEAN fLoaded = fLoadNotice;
            SCSI_STATUS scWait;
            RtlZeroMemory(&scWait, sizeof(scWait));
            if (fMoving || fLoadNotice) {
                fCartridgeElsewhere = FALSE;   /* once: the attempt sent again ends the run */
                fCartridgeResend = TRUE;
                if (fMoving) {
                    BOOLEAN fLoadedMeanwhile = FALSE;
                    DBG("BusPdoSendToFilter: the drive is still busy with the cartridge; waiting for it\n");
                    (VOID)BusPdoAwaitCartridge(pPdoExt, pTarget, &scWait, &fLoadedMeanwhile);
                    fLoaded = fLoaded || fLoadedMeanwhile;
                }
                if (fLoaded) {
                    /* The drive treats the cartridge as new: where it stands and its settings. */
                    SCSI_STATUS scLoaded;
                    RtlZeroMemory(&scLoaded, sizeof(scLoaded));
                    scLoaded.fSenseValid = TRUE;
                    scLoaded.ucSenseKey = 0x06;
                    scLoaded.ucAsc = 0x28;
                    (VOID)BusPdoAdjustPosOnSense(pDeviceObject, &scLoaded);
                }
                const BOOLEAN fPassThru = run.ucMajor == IRP_MJ_DEVICE_CONTROL &&
                                          BusIsPassThrough(run.pIrpStack->Parameters.DeviceIoControl.IoControlCode);
                if (fMoving && ucKind == BUS_CARTRIDGE_UNLOAD && !fPassThru && scWait.fSenseValid &&
                    scWait.ucSenseKey == 0x02 && scWait.ucAsc == 0x3A) {
                    DBG("BusPdoSendToFilter: the cartridge is out; the unload is done\n");
                    status = STATUS_SUCCESS;
                    run.iStatus = STATUS_SUCCESS;
                    run.ulInformation = 0;
                    run.pScsiStatus->fSenseValid = FALSE;
                    run.pScsiStatus->ucSenseKey = 0;
                    run.pScsiStatus->ucAsc = 0;
                    run.pScsiStatus->ucAscq = 0;
                    fCartridgeResend = FALSE;
                }
            }
        }
        if (!fCartridgeResend && BusPdoMediumAttention(run.pScsiStatus)) {
            /* The command did not run; the drive may have rewound and forgotten the settings. */
            (VOID)BusPdoAdjustPosOnSense(pDeviceObject, run.pScsiStatus);
            NTSTATUS iSeen = BusPdoAttentionStatus(run.pScsiStatus, status);
            if (fApplication) {
                /* The application hears of it now: no other path, no retry. */
                InterlockedExchange(&pPdoExt->iUnitAttention, 0);
                iAttention = iSeen;
                break;
            }
            if (BusIsOwnRequest(pIrp)) {
                /* Kept for the application's request that this one serves, or its next one. */
                InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)iSeen);
            }
        }
        BusPdoReservationBookkeeping(pDeviceObject, pIrp, pTarget, &run, fFailoverOccurred);
        RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
        if (BusPdoDeferredError(run.pScsiStatus)) {
            /* No path brings the lost data back, and trying this request again (here or on
               another path) would only hide the loss: the request ends with the error. One of
               the bus's own requests keeps it for the application's request it serves, or the
               application's next one. */
            DBG("BusPdoSendToFilter: deferred error %X/%X/%X\n", (ULONG)run.pScsiStatus->ucSenseKey,
                (ULONG)run.pScsiStatus->ucAsc, (ULONG)run.pScsiStatus->ucAscq);
            pPdoExt->fPositionValid = FALSE;
            if (BusIsOwnRequest(pIrp) && !NT_SUCCESS(status)) {
                InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)status);
            }
            break;
        }

        if (fFailover) {
            NTSTATUS statusPost = BusPdoPostProcessPos(pDeviceObject, status, run.pBuffer, run.Fwd.ulOutput,
                                                       run.pScsiStatus, &fDidIo, &run.Foow);
            RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
            if (statusPost == STATUS_DEVICE_DATA_ERROR) {
                /* The position read or the settings restore on the next path heard the drive report
                   data it lost (a deferred error, told once): the request that led there carries it
                   to the application instead of its path's failure. */
                (VOID)InterlockedCompareExchange(&pPdoExt->iUnitAttention, (LONG)statusPost, 0);
            }
            if (pPdoExt->fUnlockOthers && fApplication) {
                /* A pending ALLOW goes to every path, the one just used included: it may be the
                   path that missed it. */
                BusPdoUnlockOtherPaths(pDeviceObject, pPdoExt->fUnlockPending ? NULL : pTarget);
            }
            if (NT_SUCCESS(statusPost) && fDidIo && BusPdoIsPrimary(pPdoExt, pTarget)) {
                DBG("BusPdoSendToFilter: Target the same after Post process.  Retry on current path\n");
                fRetrySamePath = TRUE;
            }
        }
        if (fFailover) {
            /* What the drive may still hold in its buffer, and which path would hear if writing it
               out failed. */
            const UCHAR ucBuffer = BusPdoBufferEffect(pPdoExt, run.pBuffer, run.Fwd.ulOutput);
            if (ucBuffer == BUS_BUFFER_FILLS && (NT_SUCCESS(status) || run.Foow.bFOOW)) {
                pPdoExt->fUnflushedWrites = pPdoExt->fPositionValid;
                pPdoExt->pUnflushedPath = pTarget;
                pPdoExt->ulUnflushedEnd = pPdoExt->ulPosition;
            } else if (ucBuffer == BUS_BUFFER_FLUSHES && NT_SUCCESS(status) &&
                       (pTarget == pPdoExt->pUnflushedPath ||
                        (pPdoExt->fPositionValid && pPdoExt->ulPosition >= pPdoExt->ulUnflushedEnd))) {
                /* Written out with no complaint to the path that wrote them, or the tape reached
                   where they end: the drive still has them. */
                pPdoExt->fUnflushedWrites = FALSE;
            }
        }
        if (NT_SUCCESS(status) && run.ucMajor == IRP_MJ_CREATE) {
            pPdoExt->ucAMU = BUS_AMU_UNKNOWN;
            (VOID)BusPdoQueryAMU(pDeviceObject);
            RtlCopyMemory(&pPdoExt->SavedIrpStack, run.pIrpStack, sizeof(IO_STACK_LOCATION));
        }

        if (fCartridgeResend) {
            DBG("BusPdoSendToFilter: the load or unload is sent again on the current path\n");
            fRetrySamePath = TRUE;
            fDecision = TRUE;
        } else if (fFailover && fApplication && !fBrokeLock && !NT_SUCCESS(status) && !pPdoExt->fPAMR &&
            pPdoExt->fUnlockPending && !pPdoExt->fSMP && BusPdoRemovalPrevented(run.pScsiStatus) &&
            BusPdoIsUnload(pPdoExt, run.pBuffer, run.Fwd.ulOutput)) {
            fBrokeLock = TRUE;
            if (BusPdoBreakMissedLock(pDeviceObject, pTarget)) {
                DBG("BusPdoSendToFilter: a path that missed the unlock prevented the eject; retry on current path\n");
                fRetrySamePath = TRUE;
                fDecision = TRUE;
            }
        } else if (fFailover && !NT_SUCCESS(status) && BusPdoNexusLossAttention(run.pScsiStatus)) {
            /* The path lost its connection and has it back: the drive refused the command without
               running it, the tape stands where it stood, and the path works. The try belongs on
               this path, with the position read again and the settings restored first. */
            (VOID)BusPdoAdjustPosOnSense(pDeviceObject, run.pScsiStatus);
            DBG("BusPdoSendToFilter: unit attention 6/29/7.  Retry on current path\n");
            fRetrySamePath = TRUE;
            fDecision = TRUE;
        } else if (fFailover && !NT_SUCCESS(status) && BusPdoModeChangeAttention(run.pScsiStatus)) {
            /* Another login changed the mode parameters this path shares with it: the bus's own
               settings restore on another path, the application's change through another path, or
               another host. The drive refused the command without running it and the path works:
               the try belongs on this path. What the drive's block size, compression and protection
               are now is not known; another host's block size must never reach the application's
               stream, so its settings are sent again before the command is. The restore's own
               requests (and an open or close, which leave the restore to the next request) are only
               sent again: the restore sends every setting after them. */
            DBG("BusPdoSendToFilter: unit attention 6/2A/1, mode parameters changed.  Retry on current path\n");
            if (!pPdoExt->fSMP) {
                pPdoExt->fSettingsLost = TRUE;
            }
            fRetrySamePath = TRUE;
            fDecision = TRUE;
        } else if (!pPdoExt->fDoNotFailover) {
            fDecision = BusPdoDecideFailover(pDeviceObject, pIrp, &run, fFailover, &statusEnd);
            if (statusEnd != STATUS_SUCCESS) {
                status = statusEnd;
                run.iStatus = statusEnd;
                run.ulInformation = 0;
                break;
            }
        }
        /* The limit is on tries of the same path. A path that then fails outright (its cable
           pulled after it reported its lost connection) is a path failure like any other: the
           request moves to the next path instead of ending with that path's failure. */
        if (fRetrySamePath && ulRetries >= BUS_MAX_SAME_PATH_RETRIES && !fCartridgeResend) {
            fDecision = FALSE;
        }
        if (!fDecision) {
            break;
        }
        if (fRetrySamePath) {
            pPrevTarget = NULL;
            ulRetries++;
            DBG("BusPdoSendToFilter: retries incremented to %d\n", (int)ulRetries);
        } else {
            PDEVICE_OBJECT pNext = BusPdoChooseTarget(pDeviceObject, &ppTargetsUsed, FALSE, NULL);
            ulRetries = 0;
            DBG("BusPdoSendToFilter: retries reset to 0\n");
            if (pNext == NULL) {
                break;   /* every active path has been tried */
            }
            pPrevTarget = pTarget;   /* compared with NULL only */
            ObDereferenceObject(pTarget);
            pTarget = pNext;
            /* The drive may go on with a load or unload that the lost path sent. */
            fCartridgeElsewhere = ucCartridge != BUS_CARTRIDGE_NONE;
        }
    }

    /* Normal or early end: the outcome of the last attempt sent, and its data. */
    if (fAttempted) {
        if (!run.fSent) {
            /* The run ended before the attempt built for the next path was sent (a position read,
               the settings restore or the locate before it failed). The attempt before failed over,
               and a pass-through's failure was in its record, which went with it: its status alone
               is a success, and the caller would read its own unchanged record as GOOD. It gets
               the failure that ended the run instead. */
            run.ulInformation = 0;
            if (NT_SUCCESS(run.iStatus) && !run.Foow.fFOOWDone) {
                run.iStatus = NT_SUCCESS(status) ? STATUS_IO_DEVICE_ERROR : status;
            }
        }
        if (run.ucMajor == IRP_MJ_CREATE && NT_SUCCESS(run.iStatus)) {
            DBG("BusPdoSendToFilter: Reset LBP\n");
            RtlZeroMemory(&pPdoExt->LbpSettings, sizeof(pPdoExt->LbpSettings));
        }
        if (run.Foow.fFOOWDone) {
            run.iStatus = STATUS_SUCCESS;
        }
        if (run.fSent) {
            BusPdoCopyBack(pIrp, &run);
        }
        if (run.Foow.bFOOW && run.ucMajor == IRP_MJ_WRITE) {
            run.ulInformation = run.Foow.ulFOOWTotal;
        }
        status = run.iStatus;
    } else {
        run.ulInformation = 0;
    }
    if (!NT_SUCCESS(status) && iPreemptAttention != STATUS_SUCCESS) {
        BusPdoPreemptMetAttention(pDeviceObject, pIrp, fApplication, iPreemptAttention, &iAttention);
    }
    /* A failure that a reset or medium change met by the bus's own requests may explain is reported
       as that, so the application knows its tape moved. */
    if (fApplication && iAttention == STATUS_SUCCESS && !NT_SUCCESS(status) && pPdoExt->iUnitAttention != 0) {
        iAttention = (NTSTATUS)InterlockedExchange(&pPdoExt->iUnitAttention, 0);
    }
    if (iAttention != STATUS_SUCCESS) {
        status = iAttention;
        run.iStatus = iAttention;
        if (!(run.Foow.bFOOW && run.ucMajor == IRP_MJ_WRITE)) {
            run.ulInformation = 0;
        }
    }

complete:
    if (fApplication) {
        pPdoExt->fRequestStartValid = FALSE;
        pPdoExt->fRequestSetsPosition = FALSE;
    }
    /* A device whose drive went meanwhile (its last path, or the whole bus) answers as every later
       request to it is answered: it is being deleted. */
    if (status == STATUS_OBJECT_PATH_NOT_FOUND && BusPdoIsGone(pPdoExt)) {
        status = STATUS_DELETE_PENDING;
    }
    BusPdoFreeAttempt(&run);
    if (ppTargetsUsed != NULL) {
        ExFreePoolWithTag(ppTargetsUsed, BUS_TAG_TARGETS_USED);
    }
    if (pTarget != NULL) {
        ObDereferenceObject(pTarget);
    }
    RtlCopyMemory(&pPdoExt->SavedIrpStack, &savedOuterStack, sizeof(IO_STACK_LOCATION));
    if (run.Fwd.fDirect) {
        BusPdoDequeueMdl(pDeviceObject, pIrp);
        /* The caller's own data-buffer value, not the system address the forwarded copy carried. */
        BusForwardRestoreCaller(pIrp, &run.Fwd);
    }
    /* The line's text is the driver's own, spacing included. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    DBG("BusPdoSendToFilter: Will complete irp with Status 0x%08x, Information 0x % x\n", (ULONG)status,
        (ULONG)run.ulInformation);
#pragma GCC diagnostic pop
    pPdoExt->fDoNotFailover = fOuterDoNotFailover;
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
        ULONG_PTR ulInformation = 0;
        status = BusPdoAnswerScsiAddress(pIrp, &pPdoExt->slPathList, &pPdoExt->scScsiAddr, &ulInformation);
        BusPdoCompleteQueuedIrp(pIrp, status, ulInformation);
    } else {
        DBG("BusPdoDeviceControl: Unhandled IOCTL, send to filter\n");
        status = BusSendToFilter(pDeviceObject, pIrp);
    }
    EXT("BusPdoDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}
