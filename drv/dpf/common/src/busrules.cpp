/*
 * The rules both bus drivers forward by: which device-control codes a virtual device takes, which
 * sense and which final status count as a path failure, how the sense of a pass-through record is
 * read, and the status table that pairs each forwarded request with its status record.
 */
#include <ntddk.h>
#include <ntddchgr.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddtape.h>
#include "busframe.h"

/* Codes refused on a virtual device whatever their method: they carry user addresses in their
   buffer, which the lower drivers would take for system addresses in a request from a system thread. */
#define BUS_IOCTL_ATA_PASS_THROUGH_DIRECT        CTL_CODE(IOCTL_SCSI_BASE, 0x040C, METHOD_BUFFERED, \
                                                          FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define BUS_IOCTL_SCSI_PASS_THROUGH_DIRECT_EX    CTL_CODE(IOCTL_SCSI_BASE, 0x0412, METHOD_BUFFERED, \
                                                          FILE_READ_ACCESS | FILE_WRITE_ACCESS)


/* What an application may send to a virtual device: codes known to carry no address and no layout
   that depends on the caller's width (the pass-through records are checked and converted). The bus
   forwards a request in one of its own, which the drivers below see as a kernel-mode request: any
   other code (the base drivers' private and kernel-only requests, a port driver's dump pointers, the
   forms that carry a raw buffer pointer) would reach them as trusted. */
static const ULONG s_ApplicationCodes[] = {
    /* The tape API */
    IOCTL_TAPE_ERASE, IOCTL_TAPE_PREPARE, IOCTL_TAPE_WRITE_MARKS, IOCTL_TAPE_GET_POSITION,
    IOCTL_TAPE_SET_POSITION, IOCTL_TAPE_GET_DRIVE_PARAMS, IOCTL_TAPE_SET_DRIVE_PARAMS,
    IOCTL_TAPE_GET_MEDIA_PARAMS, IOCTL_TAPE_SET_MEDIA_PARAMS, IOCTL_TAPE_GET_STATUS, IOCTL_TAPE_CREATE_PARTITION,
    /* The tape driver's requests for applications: locate (by block, by destination), logical block
       protection, verify, load, the application-managed unload setting and its query, the drive's
       sense, and the reservation key an application chooses */
    0x1FE0C0, 0x1FE09C, 0x1FE0C4, 0x1F60A8, 0x1FE100, 0x1FE0E0, 0x1FE0E4, 0x1FC038, 0x8400C044,
    /* The changer API */
    IOCTL_CHANGER_GET_PARAMETERS, IOCTL_CHANGER_GET_STATUS, IOCTL_CHANGER_GET_PRODUCT_DATA,
    IOCTL_CHANGER_SET_ACCESS, IOCTL_CHANGER_GET_ELEMENT_STATUS, IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS,
    IOCTL_CHANGER_SET_POSITION, IOCTL_CHANGER_EXCHANGE_MEDIUM, IOCTL_CHANGER_MOVE_MEDIUM,
    IOCTL_CHANGER_REINITIALIZE_TRANSPORT, IOCTL_CHANGER_QUERY_VOLUME_TAGS,
    /* Storage requests of removable-media applications */
    IOCTL_STORAGE_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY2, IOCTL_STORAGE_MEDIA_REMOVAL,
    IOCTL_STORAGE_EJECT_MEDIA, IOCTL_STORAGE_LOAD_MEDIA, IOCTL_STORAGE_RESERVE, IOCTL_STORAGE_RELEASE,
    IOCTL_STORAGE_GET_MEDIA_TYPES, IOCTL_STORAGE_GET_MEDIA_TYPES_EX, IOCTL_STORAGE_GET_DEVICE_NUMBER,
    IOCTL_STORAGE_QUERY_PROPERTY, IOCTL_STORAGE_PERSISTENT_RESERVE_IN, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT,
    /* SCSI: pass-through (buffered, and direct with the buffer the bus locks) and the address */
    IOCTL_SCSI_PASS_THROUGH, IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_SCSI_GET_ADDRESS,
};

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
    if (pIrp->RequestorMode == KernelMode) {
        /* Another driver's request: the base drivers' private requests are the drivers' own. */
        return TRUE;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(s_ApplicationCodes); i++) {
        if (s_ApplicationCodes[i] == ulIoctl) {
            return TRUE;
        }
    }
    return FALSE;
}

/* ---- The failover rules ---- */

#define BUS_SENSE_ANY 0x100

/* Sense conditions that count as a path failure; searched in this order, the first match decides. */
static const struct {
    USHORT usKey;
    USHORT usAsc;
    USHORT usAscq;
} s_FailoverSense[] = {
    {0x02, 0x04, 0x00},                        /* not ready, logical unit not ready */
    {0x04, BUS_SENSE_ANY, BUS_SENSE_ANY},      /* hardware error */
    {0x05, 0x20, 0x00},                        /* illegal request, invalid command operation code */
    {0x05, 0x25, 0x00},                        /* illegal request, logical unit not supported */
    {0x0B, BUS_SENSE_ANY, BUS_SENSE_ANY},      /* aborted command */
};

/* Final statuses that never cause a failover by themselves: tape conditions and caller mistakes.
   The beginning of the tape and a setmark are tape conditions like a filemark: every path gets the
   same answer, and a retry that first moved the tape back to where the request started would leave
   it there while the application is told it reached the mark or the start of the tape. */
static const NTSTATUS s_NoFailoverStatus[] = {
    STATUS_INVALID_BLOCK_LENGTH, STATUS_BUFFER_OVERFLOW,      STATUS_NO_MEDIA_IN_DEVICE,
    STATUS_NO_MEDIA,             STATUS_MEDIA_CHANGED,        STATUS_VERIFY_REQUIRED,
    STATUS_INFO_LENGTH_MISMATCH, STATUS_BUFFER_TOO_SMALL,     STATUS_INVALID_PARAMETER,
    STATUS_FILEMARK_DETECTED,    STATUS_END_OF_MEDIA,         STATUS_EOM_OVERFLOW,
    STATUS_NO_DATA_DETECTED,     (NTSTATUS)0xC0000283L,       (NTSTATUS)0xC0000284L,
    STATUS_MEDIA_WRITE_PROTECTED, STATUS_INVALID_DEVICE_REQUEST, STATUS_NOT_SUPPORTED,
    STATUS_BEGINNING_OF_MEDIA,   STATUS_SETMARK_DETECTED,
};

BOOLEAN BusSenseCausesFailover(UCHAR ucSenseKey, UCHAR ucAsc, UCHAR ucAscq)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(s_FailoverSense); i++) {
        if (s_FailoverSense[i].usKey == ucSenseKey &&
            (s_FailoverSense[i].usAsc == BUS_SENSE_ANY || s_FailoverSense[i].usAsc == ucAsc) &&
            (s_FailoverSense[i].usAscq == BUS_SENSE_ANY || s_FailoverSense[i].usAscq == ucAscq)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN BusSenseIsDriveCondition(UCHAR ucSenseKey, UCHAR ucAsc, UCHAR ucAscq)
{
    /* NOT READY because of what the drive is doing or holds, which every path hears alike: becoming
       ready (a cartridge a library just placed is loading), manual intervention required, an
       operation in progress (a motion started with IMMED), no medium. */
    return ucSenseKey == 0x02 &&
           ((ucAsc == 0x04 && (ucAscq == 0x01 || ucAscq == 0x03 || ucAscq == 0x07)) || ucAsc == 0x3A);
}

BOOLEAN BusStatusPreventsFailover(NTSTATUS status)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(s_NoFailoverStatus); i++) {
        if (s_NoFailoverStatus[i] == status) {
            return TRUE;
        }
    }
    return FALSE;
}


/* ---- Sense of a pass-through record ---- */

#define BUS_SCSISTAT_CHECK_CONDITION 0x02
#define BUS_PT_SENSE_MIN             14   /* fixed-format sense up to ASCQ */
#define BUS_PT_SENSE_EXTENDED        18   /* up to the sense-key specific bytes 15 to 17 */
#define BUS_SENSE_DEFERRED           0x71 /* response code of deferred sense */

BOOLEAN BusPassThruTakeSense(const UCHAR *pBuffer, ULONG ulLength, PSCSI_STATUS pScsiStatus, PBOOLEAN pfExtended)
{
    ULONG ulSenseOffset;
    *pfExtended = FALSE;
    if (pBuffer == NULL || ulLength < CMN_PT64_LENGTH) {
        return FALSE;
    }
    RtlCopyMemory(&ulSenseOffset, pBuffer + 32, sizeof(ULONG));
    UCHAR ucSenseLength = pBuffer[7];
    if (pBuffer[2] != BUS_SCSISTAT_CHECK_CONDITION || ucSenseLength < BUS_PT_SENSE_MIN ||
        ulSenseOffset > ulLength || ulLength - ulSenseOffset < BUS_PT_SENSE_MIN) {
        return FALSE;
    }
    const UCHAR *pSense = pBuffer + ulSenseOffset;
    pScsiStatus->ucSenseKey = pSense[2] & 0x0F;
    pScsiStatus->ucAsc = pSense[12];
    pScsiStatus->ucAscq = pSense[13];
    if (pScsiStatus->ucSenseKey != 0 || pScsiStatus->ucAsc != 0 || pScsiStatus->ucAscq != 0) {
        pScsiStatus->fSenseValid = TRUE;
        if ((pSense[0] & 0x7F) == BUS_SENSE_DEFERRED) {
            pScsiStatus->ucFlags |= SCSI_STATUS_FLAG_DEFERRED;
        }
    }
    if (ucSenseLength >= BUS_PT_SENSE_EXTENDED && ulLength - ulSenseOffset >= BUS_PT_SENSE_EXTENDED &&
        (pSense[15] & 0x80) != 0) {
        *pfExtended = TRUE;
    }
    return TRUE;
}

/* ---- Status table of forwarded requests ---- */

/*
 * Enters a forwarded request and its status record in the bus driver's table, so that the filter
 * and the base driver below recognise the request as the bus's and find its record. Slots 0 and 1 of
 * every block are never given out: the filters use them while a path registers. A further block is
 * allocated outside the table's lock and linked under it; the lock is released on every return.
 */
NTSTATUS BusIrpsWithStatusSet(PIRPS_WITH_STATUS *ppIrpsWithStatus, PULONG pulIndex, PIRP pIrp,
                              PSCSI_STATUS pScsiStatus)
{
    PIRPS_WITH_STATUS pHead = *ppIrpsWithStatus;
    PIRPS_WITH_STATUS pSpare = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    for (;;) {
        BOOLEAN fEntered = FALSE;
        KeAcquireSpinLock(&pHead->slLock, &irql);
        PIRPS_WITH_STATUS pBlock = pHead;
        for (;;) {
            ULONG i = IRPS_WITH_STATUS_FIRST_BUS_SLOT;
            while (i < IRPS_WITH_STATUS_SLOTS && (pBlock->ullBitmap & (1ULL << i)) != 0) {
                i++;
            }
            if (i < IRPS_WITH_STATUS_SLOTS) {
                pBlock->ullBitmap |= 1ULL << i;
                pBlock->Slots[i].pIrp = pIrp;
                pBlock->Slots[i].pScsiStatus = pScsiStatus;
                *ppIrpsWithStatus = pBlock;
                *pulIndex = i;
                fEntered = TRUE;
                break;
            }
            if (pBlock->pNext == NULL) {
                if (pSpare != NULL) {
                    pBlock->pNext = pSpare;   /* searched from slot 2 on the next turn */
                    pSpare = NULL;
                    continue;
                }
                break;
            }
            pBlock = pBlock->pNext;
        }
        KeReleaseSpinLock(&pHead->slLock, irql);
        if (fEntered) {
            break;
        }
        /* Every block is full: one more block, allocated without the lock. */
        pSpare = (PIRPS_WITH_STATUS)ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS),
                                                          BUS_TAG_STATUS_BLOCK);
        if (pSpare == NULL) {
            DBG("%s == NULL.\n", "BusIrpsWithStatusSet: (*ppIrpsWithStatus)->pNext");
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(pSpare, sizeof(IRPS_WITH_STATUS));
    }
    if (pSpare != NULL) {
        ExFreePoolWithTag(pSpare, BUS_TAG_STATUS_BLOCK);   /* another request freed a slot meanwhile */
    }
    return status;
}

NTSTATUS BusIrpsWithStatusClear(PIRPS_WITH_STATUS pHead, PIRPS_WITH_STATUS pIrpsWithStatus, ULONG ulIndex)
{
    PIRPS_WITH_STATUS pFree = NULL;
    KIRQL irql;

    if (ulIndex >= IRPS_WITH_STATUS_SLOTS || pIrpsWithStatus == NULL || pHead == NULL) {
        return STATUS_SUCCESS;
    }
    KeAcquireSpinLock(&pHead->slLock, &irql);
    DBG("BusIrpsWithStatusClear: Removing IRP 0x%08x with storage 0x%08x from pIrpsWithStatus 0x%08x at index %d\n",
        DBG_PTR(pIrpsWithStatus->Slots[ulIndex].pIrp), DBG_PTR(pIrpsWithStatus->Slots[ulIndex].pScsiStatus),
        DBG_PTR(pIrpsWithStatus), ulIndex);
    pIrpsWithStatus->Slots[ulIndex].pIrp = NULL;
    pIrpsWithStatus->Slots[ulIndex].pScsiStatus = NULL;
    pIrpsWithStatus->ullBitmap &= ~(1ULL << ulIndex);
    if (pIrpsWithStatus->ullBitmap == 0 && pIrpsWithStatus != pHead) {
        for (PIRPS_WITH_STATUS pPrev = pHead; pPrev != NULL; pPrev = pPrev->pNext) {
            if (pPrev->pNext == pIrpsWithStatus) {
                pPrev->pNext = pIrpsWithStatus->pNext;
                pFree = pIrpsWithStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pHead->slLock, irql);
    if (pFree != NULL) {
        ExFreePoolWithTag(pFree, BUS_TAG_STATUS_BLOCK);
    }
    return STATUS_SUCCESS;
}
