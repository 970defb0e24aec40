/*
 * The library state an application sets through a virtual changer and that each control path's
 * login holds on its own: the RESERVE(6) reservation and the medium-removal lock (PREVENT ALLOW
 * MEDIUM REMOVAL, also what locking the import/export port sends).
 *
 * A library keeps both per initiator, so a request that moves to another control path would meet
 * RESERVATION CONFLICT there (the old login still holds the reservation, or none does and another
 * host may take it), and an unlock sent on the new path would leave the old login's lock in force.
 * The bus therefore remembers what the application asked for (PDO_EXT.fReserved, fPrevent) and what
 * each path's login holds (PATH_DATA.fHoldsReserve, ucPrevent), and before a request goes down a
 * path it brings that path's login in line. A path whose login may have been lost or reset (it
 * failed a request, it stopped, the library reported a reset) holds nothing known any more and is
 * brought in line again on its next request; a lock it may still hold is undone there.
 */
#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddchgr.h>
#include "bus.h"

#define BUS_CDB_RESERVE6            0x16
#define BUS_CDB_RELEASE6            0x17
#define BUS_CDB_PREVENT_ALLOW       0x1E
#define BUS_SCSISTAT_GOOD           0x00
#define BUS_SCSISTAT_CHECK          0x02
#define BUS_SCSISTAT_BUSY           0x08
#define BUS_SCSISTAT_CONFLICT       0x18
#define BUS_CDB_OFFSET              36      /* Cdb in both 64-bit pass-through records */
#define BUS_OWN_SENSE_LENGTH        32

/* A pass-through record of the bus's own with room for the sense. */
typedef struct _BUS_OWN_CDB {
    SCSI_PASS_THROUGH Spt;
    UCHAR aucSense[BUS_OWN_SENSE_LENGTH];
} BUS_OWN_CDB, *PBUS_OWN_CDB;
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == BUS_CDB_OFFSET, "Cdb of the 64-bit record");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == BUS_CDB_OFFSET, "Cdb of the 64-bit direct record");
static_assert(FIELD_OFFSET(BUS_OWN_CDB, aucSense) == sizeof(SCSI_PASS_THROUGH), "sense after the record");

/*
 * Sends a six-byte command without data (RESERVE, RELEASE, PREVENT ALLOW) on pTarget. A notice the
 * library keeps for this login (a reset, a new login) answers the first try: it is sent once more.
 * STATUS_DEVICE_BUSY for RESERVATION CONFLICT or BUSY.
 */
static NTSTATUS BusPdoSendOwnCdb(PDEVICE_OBJECT pTarget, UCHAR ucOperation, UCHAR ucByte4)
{
    ENT("BusPdoSendOwnCdb: pTarget 0x%08x, operation 0x%02x\n", DBG_PTR(pTarget), (ULONG)ucOperation);
    BUS_OWN_CDB rec;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < 2; i++) {
        RtlZeroMemory(&rec, sizeof(rec));
        rec.Spt.Length = sizeof(SCSI_PASS_THROUGH);
        rec.Spt.CdbLength = 6;
        rec.Spt.SenseInfoLength = BUS_OWN_SENSE_LENGTH;
        rec.Spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
        rec.Spt.TimeOutValue = 30;
        rec.Spt.SenseInfoOffset = FIELD_OFFSET(BUS_OWN_CDB, aucSense);
        rec.Spt.Cdb[0] = ucOperation;
        rec.Spt.Cdb[4] = ucByte4;
        ULONG_PTR ulInformation = 0;
        status = BusSendToPath(pTarget, IOCTL_SCSI_PASS_THROUGH, &rec, sizeof(rec), &rec, sizeof(rec), &ulInformation);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (rec.Spt.ScsiStatus == BUS_SCSISTAT_GOOD) {
            break;
        }
        if (rec.Spt.ScsiStatus == BUS_SCSISTAT_CONFLICT || rec.Spt.ScsiStatus == BUS_SCSISTAT_BUSY) {
            status = STATUS_DEVICE_BUSY;
            break;
        }
        status = STATUS_IO_DEVICE_ERROR;
        if (rec.Spt.ScsiStatus != BUS_SCSISTAT_CHECK || (rec.aucSense[2] & 0x0F) != 0x06) {
            break;   /* only a unit attention is worth a second try */
        }
    }
    EXT("BusPdoSendOwnCdb: status 0x%08x, SCSI status 0x%02x\n", (ULONG)status, (ULONG)rec.Spt.ScsiStatus);
    return status;
}

/* What a path's login holds is no longer known (caller holds the path-list spin lock). */
static VOID BusPdoForgetLogin(PPATH_DATA pPath)
{
    ENT("BusPdoForgetLogin: pPath 0x%08x\n", DBG_PTR(pPath));
    pPath->fHoldsReserve = FALSE;
    if (pPath->ucPrevent == BUS_PREVENT_HELD) {
        pPath->ucPrevent = BUS_PREVENT_UNKNOWN;
    }
    EXT("BusPdoForgetLogin: lock %d\n", (int)pPath->ucPrevent);
}

VOID BusPdoPathLoginUncertain(PPDO_EXT pPdoExt, PPATH_DATA pPath, BOOLEAN fEveryPath)
{
    ENT("BusPdoPathLoginUncertain: pPath 0x%08x, every path %d\n", DBG_PTR(pPath), (int)fEveryPath);
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (fEveryPath) {
        for (PPATH_DATA pEach = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL; pEach != NULL;
             pEach = pEach->pNext) {
            BusPdoForgetLogin(pEach);
        }
    } else if (pPath != NULL) {
        BusPdoForgetLogin(pPath);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    EXT("BusPdoPathLoginUncertain: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
}

VOID BusPdoDeactivatedLogin(PPATH_DATA pPath)
{
    ENT("BusPdoDeactivatedLogin: pPath 0x%08x\n", DBG_PTR(pPath));
    BusPdoForgetLogin(pPath);
    EXT("BusPdoDeactivatedLogin: VOID status\n");
}

/* Brings one path's lock in line with the application's, outside the path-list lock; the caller
   keeps the path record (lForwards). */
static VOID BusPdoAlignLock(PPDO_EXT pPdoExt, PPATH_DATA pPath, BOOLEAN fPrevent)
{
    ENT("BusPdoAlignLock: pPath 0x%08x, prevent %d\n", DBG_PTR(pPath), (int)fPrevent);
    NTSTATUS status = BusPdoSendOwnCdb(pPath->pFDO, BUS_CDB_PREVENT_ALLOW, fPrevent ? 1 : 0);
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (NT_SUCCESS(status) && pPdoExt->fPrevent == fPrevent) {
        pPath->ucPrevent = fPrevent ? BUS_PREVENT_HELD : BUS_PREVENT_NONE;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    EXT("BusPdoAlignLock: status 0x%08x\n", (ULONG)status);
}

BOOLEAN BusPdoCarryLogin(PPDO_EXT pPdoExt, PPATH_DATA pPath)
{
    ENT("BusPdoCarryLogin: pPdoExt 0x%08x, pPath 0x%08x\n", DBG_PTR(pPdoExt), DBG_PTR(pPath));
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    BOOLEAN fReserve = pPdoExt->fReserved && !pPath->fHoldsReserve;
    BOOLEAN fPrevent = pPdoExt->fPrevent;
    BOOLEAN fLock = fPrevent ? pPath->ucPrevent != BUS_PREVENT_HELD : pPath->ucPrevent != BUS_PREVENT_NONE;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN fHolds = !fReserve;
    if (fReserve) {
        /* A conflict here means another login holds the library (the old path's, still logged in,
           or another host's): the request itself then meets it and the application is told. */
        status = BusPdoSendOwnCdb(pPath->pFDO, BUS_CDB_RESERVE6, 0);
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        if (NT_SUCCESS(status) && pPdoExt->fReserved) {
            pPath->fHoldsReserve = TRUE;
        }
        fHolds = NT_SUCCESS(status);
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    }
    if (fLock) {
        BusPdoAlignLock(pPdoExt, pPath, fPrevent);
    }
    EXT("BusPdoCarryLogin: reserve %d, lock %d, status 0x%08x\n", (int)fReserve, (int)fLock, (ULONG)status);
    return fHolds;
}

/* The lock or reservation an application's request sets, when it is one: *pfSet is the new state. */
typedef enum _BUS_STATE_REQUEST {
    BusStateNone,
    BusStateReserve,
    BusStateLock
} BUS_STATE_REQUEST;

static BUS_STATE_REQUEST BusPdoStateRequestOf(ULONG ulIoctl, const UCHAR *pBuffer, ULONG ulLength, PBOOLEAN pfSet)
{
    *pfSet = FALSE;
    if (pBuffer == NULL) {
        return BusStateNone;
    }
    if (ulIoctl == IOCTL_CHANGER_SET_ACCESS && ulLength >= sizeof(CHANGER_SET_ACCESS)) {
        const CHANGER_SET_ACCESS *pAccess = (const CHANGER_SET_ACCESS *)pBuffer;
        if (pAccess->Element.ElementType != ChangerIEPort ||
            (pAccess->Control != LOCK_ELEMENT && pAccess->Control != UNLOCK_ELEMENT)) {
            return BusStateNone;
        }
        *pfSet = pAccess->Control == LOCK_ELEMENT;
        return BusStateLock;
    }
    if ((ulIoctl != IOCTL_SCSI_PASS_THROUGH && ulIoctl != IOCTL_SCSI_PASS_THROUGH_DIRECT) ||
        ulLength < BUS_CDB_OFFSET + 6 || pBuffer[2] != BUS_SCSISTAT_GOOD) {
        return BusStateNone;   /* not a command, or one the library did not carry out */
    }
    const UCHAR *pCdb = pBuffer + BUS_CDB_OFFSET;
    switch (pCdb[0]) {
    case BUS_CDB_RESERVE6:
        *pfSet = (pCdb[1] & 0x01) == 0;   /* an element reservation is not the library's */
        return *pfSet ? BusStateReserve : BusStateNone;
    case BUS_CDB_RELEASE6:
        return (pCdb[1] & 0x01) == 0 ? BusStateReserve : BusStateNone;
    case BUS_CDB_PREVENT_ALLOW:
        if ((pCdb[4] & 0x03) > 1) {
            return BusStateNone;
        }
        *pfSet = (pCdb[4] & 0x03) == 1;
        return BusStateLock;
    default:
        return BusStateNone;
    }
}

static BUS_STATE_REQUEST BusPdoStateRequest(ULONG ulIoctl, const UCHAR *pBuffer, ULONG ulLength, PBOOLEAN pfSet)
{
    ENT("BusPdoStateRequest: ioctl 0x%x, length %u\n", ulIoctl, ulLength);
    BUS_STATE_REQUEST eRequest = BusPdoStateRequestOf(ulIoctl, pBuffer, ulLength, pfSet);
    EXT("BusPdoStateRequest: request %d, set %d\n", (int)eRequest, (int)*pfSet);
    return eRequest;
}

VOID BusPdoNoteLogin(PPDO_EXT pPdoExt, PPATH_DATA pPath, ULONG ulIoctl, const UCHAR *pBuffer, ULONG ulLength)
{
    ENT("BusPdoNoteLogin: pPdoExt 0x%08x, pPath 0x%08x, ioctl 0x%x\n", DBG_PTR(pPdoExt), DBG_PTR(pPath), ulIoctl);
    BOOLEAN fSet = FALSE;
    BUS_STATE_REQUEST eRequest = BusPdoStateRequest(ulIoctl, pBuffer, ulLength, &fSet);
    PPATH_DATA apOthers[BUS_CHECK_PATHS];
    ULONG ulOthers = 0;
    KIRQL irql;

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (eRequest == BusStateReserve) {
        pPdoExt->fReserved = fSet;
        /* One login holds a reservation at a time: a release on this path leaves none anywhere. */
        for (PPATH_DATA pEach = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL;
             pEach != NULL && !fSet; pEach = pEach->pNext) {
            pEach->fHoldsReserve = FALSE;
        }
        pPath->fHoldsReserve = fSet;
    } else if (eRequest == BusStateLock) {
        pPdoExt->fPrevent = fSet;
        pPath->ucPrevent = fSet ? BUS_PREVENT_HELD : BUS_PREVENT_NONE;
        /* An unlock must reach every login that may hold a lock, or the library stays locked. */
        for (PPATH_DATA pEach = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL;
             pEach != NULL && !fSet && ulOthers < RTL_NUMBER_OF(apOthers); pEach = pEach->pNext) {
            if (pEach != pPath && pEach->fActive && pEach->ucPrevent != BUS_PREVENT_NONE) {
                pEach->lForwards++;
                apOthers[ulOthers++] = pEach;
            }
        }
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    for (ULONG i = 0; i < ulOthers; i++) {
        BusPdoAlignLock(pPdoExt, apOthers[i], FALSE);
        BusPdoForwardDone(pPdoExt, apOthers[i]);
    }
    EXT("BusPdoNoteLogin: request %d, set %d, others %u\n", (int)eRequest, (int)fSet, ulOthers);
}
