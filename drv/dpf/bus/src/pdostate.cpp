/*
 * The tape state model of a virtual tape device: the drive's logical position and block size, and
 * the settings that belong to a path (logical block protection, medium lock, AMU). Before and after
 * every forwarded request the model follows what the request did; what it cannot follow makes the
 * position unknown, and the next request that needs it reads it from the drive first.
 *
 * When a read or write fails on a path, the model finds out from the drive how much of it reached
 * the tape, so that the engine repeats exactly the rest on the next path: a write is never written
 * twice nor dropped, a read resumes at the block where it started.
 *
 * The bus's own requests (read and set the position, block size and settings) go to the virtual
 * device itself as nested requests, and so through the engine to whatever path is current.
 */
#include <ntddk.h>
#include "bus.h"

#define BUS_IOCTL_SET_LBP          0x1FE0C8   /* logical block protection, set by the bus */
#define BUS_IOCTL_SET_LBP_APP      0x1FE0C4   /* the same, from an application */
#define BUS_IOCTL_QUERY_AMU        0x1FE0E0
#define BUS_IOCTL_SET_AMU          0x1FE0E4
#define BUS_IOCTL_REQUEST_SENSE    0x1FC038
#define BUS_IOCTL_LOCATE           0x1FE0C0
#define BUS_IOCTL_LOCATE_BLOCK     0x1FE09C
#define BUS_IOCTL_VERIFY           0x1F60A8
#define BUS_IOCTL_LOAD             0x1FE100

#define BUS_VERIFY_VTE             0x20
#define BUS_VERIFY_VLBPM           0x10
#define BUS_VERIFY_IMMED           0x04
#define BUS_VERIFY_SENSE_TRIES     10

#define BUS_SCSISTAT_GOOD          0x00
#define BUS_READPOS_BPU            0x04       /* READ POSITION: block position unknown */
#define BUS_PAGE_COMPRESSION       0x0F
#define BUS_PAGE_COMPRESSION_DCE   0x80

#define BUS_FLAG_FILEMARK          0x80
#define BUS_FLAG_END_OF_MEDIUM     0x40

/* SCSI operation codes of pass-through requests the model follows. */
#define SCSIOP_REWIND              0x01
#define SCSIOP_READ6               0x08
#define SCSIOP_WRITE6              0x0A
#define SCSIOP_READ_REVERSE6       0x0F
#define SCSIOP_WRITE_FILEMARKS6    0x10
#define SCSIOP_SPACE6              0x11
#define SCSIOP_VERIFY6             0x13
#define SCSIOP_MODE_SELECT6        0x15
#define SCSIOP_ERASE6              0x19
#define SCSIOP_LOAD_UNLOAD         0x1B
#define SCSIOP_PAMR                0x1E
#define SCSIOP_READ10              0x28
#define SCSIOP_WRITE10             0x2A
#define SCSIOP_LOCATE10            0x2B
#define SCSIOP_READ_POSITION       0x34
#define SCSIOP_MODE_SELECT10       0x55
#define SCSIOP_WRITE_FILEMARKS16   0x80
#define SCSIOP_READ16              0x88
#define SCSIOP_WRITE16             0x8A
#define SCSIOP_SPACE16             0x91
#define SCSIOP_LOCATE16            0x92

#define BUS_PT_STATUS              2          /* ScsiStatus in the 64-bit pass-through record */
#define BUS_PT_SENSE_LENGTH        7
#define BUS_PT_TRANSFER_LENGTH     12
#define BUS_PT_DATA                24
#define BUS_PT_CDB                 36

/* ---- What the forwarded request is ---- */

/* The request being forwarded, as the handlers see it: from SavedIrpStack and the forwarded buffer
   (a pass-through record in the 64-bit layout, whatever the caller sent). */
typedef struct _BUS_REQUEST_KIND {
    UCHAR ucMajor;
    ULONG ulIoctl;                /* device control only */
    BOOLEAN fPassThru;
    BOOLEAN fDirect;
    UCHAR ucOp;                   /* pass-through: CDB operation code */
    PUCHAR pCdb;
    PUCHAR pBuffer;               /* the forwarded buffer (no SCSI_STATUS) */
    ULONG ulBuffer;
    ULONG ulMethod;               /* IOCTL_TAPE_SET_POSITION: Method */
} BUS_REQUEST_KIND, *PBUS_REQUEST_KIND;

static VOID BusPdoRequestKind(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer, PBUS_REQUEST_KIND pKind)
{
    RtlZeroMemory(pKind, sizeof(*pKind));
    pKind->ucMajor = pPdoExt->SavedIrpStack.MajorFunction;
    pKind->pBuffer = pBuffer;
    pKind->ulBuffer = pBuffer != NULL ? ulBuffer : 0;
    if (pKind->ucMajor != IRP_MJ_DEVICE_CONTROL) {
        return;
    }
    pKind->ulIoctl = pPdoExt->SavedIrpStack.Parameters.DeviceIoControl.IoControlCode;
    if (BusIsPassThrough(pKind->ulIoctl) && pKind->ulBuffer >= CMN_PT64_LENGTH) {
        pKind->fPassThru = TRUE;
        pKind->fDirect = pKind->ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
        pKind->pCdb = pBuffer + BUS_PT_CDB;
        pKind->ucOp = pKind->pCdb[0];
    }
    if (pKind->ulIoctl == IOCTL_TAPE_SET_POSITION && pKind->ulBuffer >= sizeof(TAPE_SET_POSITION)) {
        pKind->ulMethod = ((PTAPE_SET_POSITION)pBuffer)->Method;
    }
}

static BOOLEAN BusKindIsOp(PBUS_REQUEST_KIND pKind, UCHAR ucOp)
{
    return pKind->fPassThru && pKind->ucOp == ucOp;
}

static BOOLEAN BusKindIsIoctl(PBUS_REQUEST_KIND pKind, ULONG ulIoctl)
{
    return pKind->ucMajor == IRP_MJ_DEVICE_CONTROL && pKind->ulIoctl == ulIoctl;
}

static BOOLEAN BusKindIsSetPosition(PBUS_REQUEST_KIND pKind, ULONG ulMethod)
{
    return BusKindIsIoctl(pKind, IOCTL_TAPE_SET_POSITION) && pKind->ulBuffer >= sizeof(TAPE_SET_POSITION) &&
           pKind->ulMethod == ulMethod;
}

static BOOLEAN BusKindIsPrepare(PBUS_REQUEST_KIND pKind, ULONG ulOperation)
{
    return BusKindIsIoctl(pKind, IOCTL_TAPE_PREPARE) && pKind->ulBuffer >= sizeof(TAPE_PREPARE) &&
           ((PTAPE_PREPARE)pKind->pBuffer)->Operation == ulOperation;
}

static BOOLEAN BusKindIsReadWrite(PBUS_REQUEST_KIND pKind)
{
    return pKind->ucMajor == IRP_MJ_READ || pKind->ucMajor == IRP_MJ_WRITE || BusKindIsOp(pKind, SCSIOP_READ6) ||
           BusKindIsOp(pKind, SCSIOP_READ10) || BusKindIsOp(pKind, SCSIOP_READ_REVERSE6) ||
           BusKindIsOp(pKind, SCSIOP_WRITE6) || BusKindIsOp(pKind, SCSIOP_WRITE10);
}

static BOOLEAN BusKindIsWrite(PBUS_REQUEST_KIND pKind)
{
    return pKind->ucMajor == IRP_MJ_WRITE || BusKindIsOp(pKind, SCSIOP_WRITE6) || BusKindIsOp(pKind, SCSIOP_WRITE10);
}

static BOOLEAN BusKindIsSpace(PBUS_REQUEST_KIND pKind)
{
    return BusKindIsSetPosition(pKind, TAPE_SPACE_END_OF_DATA) || BusKindIsSetPosition(pKind, TAPE_SPACE_RELATIVE_BLOCKS) ||
           BusKindIsSetPosition(pKind, TAPE_SPACE_FILEMARKS) || BusKindIsSetPosition(pKind, TAPE_SPACE_SEQUENTIAL_FMKS) ||
           BusKindIsOp(pKind, SCSIOP_SPACE6);
}

static BOOLEAN BusKindIsWriteMarks(PBUS_REQUEST_KIND pKind)
{
    return BusKindIsIoctl(pKind, IOCTL_TAPE_WRITE_MARKS) || BusKindIsOp(pKind, SCSIOP_WRITE_FILEMARKS6);
}

static BOOLEAN BusKindIsRewind(PBUS_REQUEST_KIND pKind)
{
    return BusKindIsSetPosition(pKind, TAPE_REWIND) || BusKindIsOp(pKind, SCSIOP_REWIND);
}

static BOOLEAN BusKindIsLocate(PBUS_REQUEST_KIND pKind)
{
    return BusKindIsSetPosition(pKind, TAPE_ABSOLUTE_BLOCK) || BusKindIsSetPosition(pKind, TAPE_LOGICAL_BLOCK) ||
           BusKindIsOp(pKind, SCSIOP_LOCATE10) || BusKindIsIoctl(pKind, BUS_IOCTL_LOCATE) ||
           BusKindIsIoctl(pKind, BUS_IOCTL_LOCATE_BLOCK) || BusKindIsOp(pKind, SCSIOP_LOCATE16);
}

/* The data of a pass-through and its length (as sent before it runs, as transferred after): inside
   the forwarded buffer, or the system address of a direct one's locked buffer. */
static BOOLEAN BusKindData(PBUS_REQUEST_KIND pKind, PUCHAR *ppData, PULONG pulData)
{
    ULONG ulData;
    PUCHAR pData;
    RtlCopyMemory(&ulData, pKind->pBuffer + BUS_PT_TRANSFER_LENGTH, sizeof(ULONG));
    if (pKind->fDirect) {
        RtlCopyMemory(&pData, pKind->pBuffer + BUS_PT_DATA, sizeof(PVOID));
    } else {
        ULONG_PTR ulOffset;
        RtlCopyMemory(&ulOffset, pKind->pBuffer + BUS_PT_DATA, sizeof(ULONG_PTR));
        if (ulOffset > pKind->ulBuffer || pKind->ulBuffer - ulOffset < ulData) {
            return FALSE;
        }
        pData = pKind->pBuffer + ulOffset;
    }
    if (pData == NULL) {
        return FALSE;
    }
    *ppData = pData;
    *pulData = ulData;
    return TRUE;
}

/* A MODE SELECT parameter list: its data, the length of its header (6 or 10-byte form) and of the
   block descriptors after it. */
static BOOLEAN BusKindModeList(PBUS_REQUEST_KIND pKind, PUCHAR *ppData, PULONG pulData, PULONG pulHeader,
                               PULONG pulDescriptors)
{
    if (!BusKindData(pKind, ppData, pulData)) {
        return FALSE;
    }
    PUCHAR pData = *ppData;
    if (pKind->ucOp == SCSIOP_MODE_SELECT6) {
        *pulHeader = 4;
        *pulDescriptors = *pulData >= 4 ? pData[3] : 0;
    } else {
        *pulHeader = 8;
        *pulDescriptors = *pulData >= 8 ? (((ULONG)pData[6] << 8) | pData[7]) : 0;
    }
    return *pulData >= *pulHeader;
}

/* The block length a MODE SELECT parameter list carries, when it has a block descriptor that lies
   inside the data the request sent. */
static BOOLEAN BusKindModeSelectBlockLength(PBUS_REQUEST_KIND pKind, PULONG pulLength)
{
    ULONG ulData;
    PUCHAR pData;
    ULONG ulHeader;
    ULONG ulDescriptors;
    if (!BusKindModeList(pKind, &pData, &ulData, &ulHeader, &ulDescriptors) || ulDescriptors == 0 ||
        ulData < ulHeader + 8) {
        return FALSE;
    }
    *pulLength = ((ULONG)pData[ulHeader + 5] << 16) | ((ULONG)pData[ulHeader + 6] << 8) | pData[ulHeader + 7];
    return TRUE;
}

static BOOLEAN BusKindIsSetMedia(PBUS_REQUEST_KIND pKind, PPDO_EXT pPdoExt)
{
    ULONG ulLength;
    if (BusKindIsIoctl(pKind, IOCTL_TAPE_SET_MEDIA_PARAMS)) {
        return TRUE;
    }
    if (!BusKindIsOp(pKind, SCSIOP_MODE_SELECT6) && !BusKindIsOp(pKind, SCSIOP_MODE_SELECT10)) {
        return FALSE;
    }
    return BusKindModeSelectBlockLength(pKind, &ulLength) && ulLength != pPdoExt->ulBlockSize;
}

/* Requests that move the tape in ways the model does not follow. */
static BOOLEAN BusKindMovesUnseen(PBUS_REQUEST_KIND pKind)
{
    if (BusKindIsIoctl(pKind, IOCTL_TAPE_SET_POSITION)) {
        return TRUE;   /* the methods without a row of their own */
    }
    return BusKindIsOp(pKind, SCSIOP_SPACE16) || BusKindIsOp(pKind, SCSIOP_READ16) ||
           BusKindIsOp(pKind, SCSIOP_WRITE16) || BusKindIsOp(pKind, SCSIOP_WRITE_FILEMARKS16);
}

BOOLEAN BusPdoNeedsPosition(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    return BusKindIsReadWrite(&kind) || BusKindIsWriteMarks(&kind) || BusKindIsSpace(&kind) ||
           BusKindIsIoctl(&kind, IOCTL_TAPE_ERASE) || BusKindIsOp(&kind, SCSIOP_ERASE6) ||
           BusKindIsIoctl(&kind, BUS_IOCTL_VERIFY) || BusKindIsOp(&kind, SCSIOP_VERIFY6);
}

/* A rewind or a locate: where the tape stands afterwards does not depend on where it stood. */
BOOLEAN BusPdoSetsPosition(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    return BusKindIsRewind(&kind) || BusKindIsLocate(&kind);
}

static BOOLEAN BusPreIsLoad(PBUS_REQUEST_KIND k);
static BOOLEAN BusPreIsUnload(PBUS_REQUEST_KIND k);

/* An unload: the medium leaves the drive, which no path may prevent. */
BOOLEAN BusPdoIsUnload(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    return BusPreIsUnload(&kind);
}

/* A load or an unload, and whether it returns as soon as the drive has taken it (IMMED). */
UCHAR BusPdoCartridgeMotion(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    const UCHAR ucMotion = BusPreIsLoad(&kind) ? BUS_CARTRIDGE_LOAD
                           : BusPreIsUnload(&kind) ? BUS_CARTRIDGE_UNLOAD
                                                   : BUS_CARTRIDGE_NONE;
    BOOLEAN fImmediate = FALSE;
    if (ucMotion != BUS_CARTRIDGE_NONE && kind.fPassThru) {
        fImmediate = (kind.pCdb[1] & 0x01) != 0;
    } else if (ucMotion != BUS_CARTRIDGE_NONE && BusKindIsIoctl(&kind, IOCTL_TAPE_PREPARE)) {
        fImmediate = ((PTAPE_PREPARE)kind.pBuffer)->Immediate;
    }
    return ucMotion | (fImmediate ? BUS_CARTRIDGE_IMMEDIATE : 0);
}

BOOLEAN BusPdoIsReadWrite(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    return BusKindIsReadWrite(&kind);
}

/* Requests whose failure handling compares the drive's position with the model's or moves the tape
   back to where they started: a drive that lost buffered writes is found out by that. */
BOOLEAN BusPdoFindsLostWrites(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    return BusKindIsReadWrite(&kind) || BusKindIsWriteMarks(&kind) || BusKindIsSpace(&kind);
}

/* What a request that succeeded did to the drive's write buffer. A drive acknowledges writes and
   immediate filemarks once they are in its buffer; it writes the buffer out before it writes
   filemarks without IMMED and before the tape moves. A pass-through the drive or its path answered
   with another status than GOOD succeeded only as a request: it may never have reached the drive
   (a path that aborted it) or been refused before the buffer was written out, so it flushed
   nothing the bus can count on. */
UCHAR BusPdoBufferEffect(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer)
{
    BUS_REQUEST_KIND kind;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    const UCHAR ucFlushes =
        kind.fPassThru && kind.pBuffer[BUS_PT_STATUS] != BUS_SCSISTAT_GOOD ? BUS_BUFFER_UNTOUCHED : BUS_BUFFER_FLUSHES;
    if (BusKindIsWrite(&kind) || BusKindIsOp(&kind, SCSIOP_WRITE16)) {
        return BUS_BUFFER_FILLS;
    }
    if (BusKindIsWriteMarks(&kind)) {
        BOOLEAN fImmediate;
        if (kind.fPassThru) {
            fImmediate = (kind.pCdb[1] & 0x01) != 0;
        } else if (kind.ulBuffer >= sizeof(TAPE_WRITE_MARKS)) {
            fImmediate = ((PTAPE_WRITE_MARKS)kind.pBuffer)->Immediate;
        } else {
            return BUS_BUFFER_UNTOUCHED;
        }
        return fImmediate ? BUS_BUFFER_FILLS : ucFlushes;
    }
    if (BusKindIsRewind(&kind) || BusKindIsLocate(&kind) || BusKindIsSpace(&kind)) {
        return ucFlushes;
    }
    return BUS_BUFFER_UNTOUCHED;
}

/* ---- The bus's own requests ---- */

static NTSTATUS BusPdoOwnRequest(PDEVICE_OBJECT pDeviceObject, ULONG ulIoctl, PVOID pBuffer, ULONG ulIn, ULONG ulOut)
{
    return BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, ulIoctl, pBuffer, ulIn, ulOut != 0 ? pBuffer : NULL, ulOut);
}

NTSTATUS BusPdoReadPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize)
{
    ENT("BusPdoReadPos: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    if (ulSize < sizeof(TAPE_GET_POSITION)) {
        DBG("BusPdoReadPos: OutputBuffer too small.\n");
        status = STATUS_INVALID_PARAMETER;
    } else {
        PTAPE_GET_POSITION pPos = (PTAPE_GET_POSITION)pBuffer;
        RtlZeroMemory(pPos, sizeof(*pPos));
        pPos->Type = TAPE_LOGICAL_POSITION;
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_GET_POSITION, pPos, sizeof(*pPos), sizeof(*pPos));
        if (NT_SUCCESS(status)) {
            pPdoExt->ulPosition = (ULONGLONG)pPos->Offset.QuadPart;
        }
    }
    pPdoExt->fPositionValid = NT_SUCCESS(status) ? TRUE : FALSE;
    EXT("BusPdoReadPos: status 0x%08x, position 0x%08x%08x\n", (ULONG)status, (ULONG)(pPdoExt->ulPosition >> 32),
        (ULONG)pPdoExt->ulPosition);
    return status;
}

NTSTATUS BusPdoSetPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize, ULONGLONG ulBlock)
{
    ENT("BusPdoSetPos: pDeviceObject 0x%08x, block 0x%08x%08x\n", DBG_PTR(pDeviceObject), (ULONG)(ulBlock >> 32),
        (ULONG)ulBlock);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    if (ulSize < sizeof(TAPE_SET_POSITION)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        PTAPE_SET_POSITION pPos = (PTAPE_SET_POSITION)pBuffer;
        RtlZeroMemory(pPos, sizeof(*pPos));
        pPos->Method = TAPE_LOGICAL_BLOCK;
        pPos->Offset.QuadPart = (LONGLONG)ulBlock;
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_SET_POSITION, pPos, sizeof(*pPos), sizeof(*pPos));
        if (NT_SUCCESS(status)) {
            pPdoExt->ulPosition = ulBlock;
        }
    }
    pPdoExt->fPositionValid = NT_SUCCESS(status) ? TRUE : FALSE;
    EXT("BusPdoSetPos: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoGetBlockSize(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize)
{
    ENT("BusPdoGetBlockSize: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    if (ulSize < sizeof(TAPE_GET_MEDIA_PARAMETERS)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PTAPE_GET_MEDIA_PARAMETERS pMedia = (PTAPE_GET_MEDIA_PARAMETERS)pBuffer;
        BOOLEAN fDoubtful = !pPdoExt->fBlockSizeValid && pPdoExt->ucBlockSizeDoubt == BUS_BLOCK_SIZE_DOUBTFUL;
        RtlZeroMemory(pMedia, sizeof(*pMedia));
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_GET_MEDIA_PARAMS, pMedia, sizeof(*pMedia), sizeof(*pMedia));
        if (NT_SUCCESS(status) && fDoubtful && pPdoExt->iUnitAttention != 0) {
            /* After a set the application was told had failed, the read met a reset or a medium
               change (and was answered on another try): the size it got is the drive's default,
               not one the application chose. It stays unknown until the application sets or
               reads one. */
            DBG("BusPdoGetBlockSize: block size forgotten by the drive meanwhile; not taken\n");
            pPdoExt->fBlockSizeValid = FALSE;
            pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_FORGOTTEN;
        } else if (NT_SUCCESS(status)) {
            pPdoExt->ulBlockSize = pMedia->BlockSize;
            pPdoExt->fBlockSizeValid = TRUE;
            pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_ON_DRIVE;
        }
    }
    EXT("BusPdoGetBlockSize: status 0x%08x, block size 0x%08x\n", (ULONG)status, pPdoExt->ulBlockSize);
    return status;
}

NTSTATUS BusPdoSetBlockSize(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize)
{
    ENT("BusPdoSetBlockSize: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    if (ulSize < sizeof(TAPE_SET_MEDIA_PARAMETERS)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        ULONG ulBlockSize = ((PTAPE_SET_MEDIA_PARAMETERS)pBuffer)->BlockSize;
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_SET_MEDIA_PARAMS, pBuffer,
                                  sizeof(TAPE_SET_MEDIA_PARAMETERS), sizeof(TAPE_SET_MEDIA_PARAMETERS));
        if (NT_SUCCESS(status)) {
            pPdoExt->ulBlockSize = ulBlockSize;
        }
    }
    /* The settings restore sends the application's own block size: when it cannot reach the path,
       that size is still the one the application set, and the next request restores it again. Only
       forgetting it would let a path's default size (the drive's own, read back) take its place. */
    if (NT_SUCCESS(status)) {
        pPdoExt->fBlockSizeValid = TRUE;
    } else if (pPdoExt->fSMP) {
        pPdoExt->fSettingsLost = TRUE;
    } else {
        pPdoExt->fBlockSizeValid = FALSE;
    }
    EXT("BusPdoSetBlockSize: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSetPAMR(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoSetPAMR: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    if (pPdoExt->fPAMR) {
        TAPE_PREPARE prepare;
        RtlZeroMemory(&prepare, sizeof(prepare));
        prepare.Operation = TAPE_LOCK;
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_PREPARE, &prepare, sizeof(prepare), 0);
    }
    EXT("BusPdoSetPAMR: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSetLBP(PDEVICE_OBJECT pDeviceObject, PBUS_LBP_SETTINGS pLbp)
{
    ENT("BusPdoSetLBP: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    UCHAR aucLbp[32];
    RtlZeroMemory(aucLbp, sizeof(aucLbp));
    aucLbp[0] = pLbp->ucCapable;
    aucLbp[1] = pLbp->ucMethod;
    aucLbp[2] = pLbp->ucLength;
    aucLbp[3] = pLbp->ucWrite;
    aucLbp[4] = pLbp->ucRead;
    aucLbp[5] = pLbp->ucRDBP;
    NTSTATUS status = BusPdoOwnRequest(pDeviceObject, BUS_IOCTL_SET_LBP, aucLbp, sizeof(aucLbp), sizeof(aucLbp));
    if (NT_SUCCESS(status)) {
        DBG("BusPdoSetLBP: sucess\n");
    }
    EXT("BusPdoSetLBP: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSetAMU(PDEVICE_OBJECT pDeviceObject, UCHAR ucValue)
{
    ENT("BusPdoSetAMU: pDeviceObject 0x%08x, value 0x%02x\n", DBG_PTR(pDeviceObject), (ULONG)ucValue);
    UCHAR aucAmu[8];
    RtlZeroMemory(aucAmu, sizeof(aucAmu));
    aucAmu[0] = ucValue;
    NTSTATUS status = BusPdoOwnRequest(pDeviceObject, BUS_IOCTL_SET_AMU, aucAmu, sizeof(aucAmu), sizeof(aucAmu));
    EXT("BusPdoSetAMU: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The drive parameters the application chose, on the path the drive is reached through now: its
   last TAPE_SET_DRIVE_PARAMETERS, or, when it set none, what the path has with the application's
   compression. */
NTSTATUS BusPdoSetDriveParameters(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoSetDriveParameters: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    TAPE_SET_DRIVE_PARAMETERS wanted;
    NTSTATUS status = STATUS_SUCCESS;
    if (pPdoExt->fDriveParamsSet) {
        RtlCopyMemory(&wanted, &pPdoExt->DriveParams, sizeof(wanted));
    } else {
        TAPE_GET_DRIVE_PARAMETERS current;
        RtlZeroMemory(&current, sizeof(current));
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_GET_DRIVE_PARAMS, &current, sizeof(current), sizeof(current));
        RtlZeroMemory(&wanted, sizeof(wanted));
        wanted.ECC = current.ECC;
        wanted.Compression = current.Compression;
        wanted.DataPadding = current.DataPadding;
        wanted.ReportSetmarks = current.ReportSetmarks;
        wanted.EOTWarningZoneSize = current.EOTWarningZoneSize;
    }
    if (NT_SUCCESS(status)) {
        if (pPdoExt->ucCompression != BUS_COMPRESSION_DRIVE) {
            wanted.Compression = pPdoExt->ucCompression == BUS_COMPRESSION_ON;
        }
        status = BusPdoOwnRequest(pDeviceObject, IOCTL_TAPE_SET_DRIVE_PARAMS, &wanted, sizeof(wanted), 0);
    }
    EXT("BusPdoSetDriveParameters: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoQueryAMU(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoQueryAMU: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    UCHAR aucAmu[8];
    RtlZeroMemory(aucAmu, sizeof(aucAmu));
    NTSTATUS status = BusPdoOwnRequest(pDeviceObject, BUS_IOCTL_QUERY_AMU, aucAmu, sizeof(aucAmu), sizeof(aucAmu));
    if (NT_SUCCESS(status)) {
        pPdoExt->ucAMU = aucAmu[0];
    }
    EXT("BusPdoQueryAMU: status 0x%08x, AMU 0x%02x\n", (ULONG)status, (ULONG)pPdoExt->ucAMU);
    return status;
}

NTSTATUS BusPdoRequestSense(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize)
{
    ENT("BusPdoRequestSense: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    NTSTATUS status;
    if (ulSize < 96) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        RtlZeroMemory(pBuffer, 96);
        status = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, BUS_IOCTL_REQUEST_SENSE, NULL, 0, pBuffer, 96);
    }
    EXT("BusPdoRequestSense: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Pre-processing ---- */

/* Load, unload and erase take the medium out of the model before they run. */
static NTSTATUS BusPdoPreProcessForget(PPDO_EXT pPdoExt)
{
    pPdoExt->fRewound = FALSE;
    pPdoExt->fPositionValid = FALSE;
    return STATUS_SUCCESS;
}

static BOOLEAN BusPreIsLoad(PBUS_REQUEST_KIND k)
{
    return BusKindIsPrepare(k, TAPE_LOAD) || (BusKindIsOp(k, SCSIOP_LOAD_UNLOAD) && (k->pCdb[4] & 1) != 0) ||
           BusKindIsIoctl(k, BUS_IOCTL_LOAD);
}
static BOOLEAN BusPreIsUnload(PBUS_REQUEST_KIND k)
{
    return BusKindIsPrepare(k, TAPE_UNLOAD) || (BusKindIsOp(k, SCSIOP_LOAD_UNLOAD) && (k->pCdb[4] & 1) == 0);
}
static BOOLEAN BusPreIsErase(PBUS_REQUEST_KIND k)
{
    return BusKindIsIoctl(k, IOCTL_TAPE_ERASE) || BusKindIsOp(k, SCSIOP_ERASE6);
}

typedef BOOLEAN (*PBUS_KIND_MATCH)(PBUS_REQUEST_KIND pKind);

static const struct {
    PBUS_KIND_MATCH Matches;
    PCSTR szHandler;
} s_PreProcessRows[] = {
    {BusPreIsLoad, "BusPdoPreProcessLoad"},
    {BusPreIsUnload, "BusPdoPreProcessUnload"},
    {BusPreIsErase, "BusPdoPreProcessErase"},
};

NTSTATUS BusPdoPreProcessPos(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer, ULONG ulBuffer)
{
    ENT("BusPdoPreProcessPos: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    BUS_REQUEST_KIND kind;
    if (BusPdoIsGone(pPdoExt)) {
        status = STATUS_DELETE_PENDING;
        goto done;
    }
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &kind);
    if (kind.fPassThru) {
        RtlCopyMemory(&pPdoExt->ulPassThruLength, pBuffer + BUS_PT_TRANSFER_LENGTH, sizeof(ULONG));
    }
    if (BusPreIsErase(&kind)) {
        /* Where the erase starts: one that fails on a path is begun again from there. */
        pPdoExt->fEraseStartValid = pPdoExt->fPositionValid;
        pPdoExt->ulEraseStart = pPdoExt->ulPosition;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(s_PreProcessRows); i++) {
        if (s_PreProcessRows[i].Matches(&kind)) {
            DBG("%s\n", s_PreProcessRows[i].szHandler);
            status = BusPdoPreProcessForget(pPdoExt);
            break;
        }
    }
done:
    EXT("BusPdoPreProcessPos: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Post-processing ---- */

typedef struct _BUS_POST_CONTEXT {
    PDEVICE_OBJECT pDeviceObject;
    PPDO_EXT pPdoExt;
    BUS_REQUEST_KIND Kind;
    NTSTATUS iStatus;             /* outcome of the attempt */
    PSCSI_STATUS pScsiStatus;
    PBOOLEAN pfDidIo;
    PFOOW_STATE pFoow;
    BOOLEAN fScsiFailed;          /* a pass-through the drive answered with another status than GOOD */
} BUS_POST_CONTEXT, *PBUS_POST_CONTEXT;

typedef NTSTATUS (*PBUS_POST_HANDLER)(PBUS_POST_CONTEXT pCtx);

static NTSTATUS BusPostReadPos(PBUS_POST_CONTEXT pCtx)
{
    UCHAR aucPos[sizeof(TAPE_GET_POSITION)];
    *pCtx->pfDidIo = TRUE;
    return BusPdoReadPos(pCtx->pDeviceObject, aucPos, sizeof(aucPos));
}

static NTSTATUS BusPostSetPos(PBUS_POST_CONTEXT pCtx, ULONGLONG ulBlock)
{
    UCHAR aucPos[sizeof(TAPE_SET_POSITION)];
    *pCtx->pfDidIo = TRUE;
    return BusPdoSetPos(pCtx->pDeviceObject, aucPos, sizeof(aucPos), ulBlock);
}

/* The attempt did not do all it asked: it failed, or it is a pass-through the base driver completed
   with success while the drive answered CHECK CONDITION (a SPACE that stopped at a filemark, a
   LOCATE past the end of data, a write that met a hardware error). Such an answer says nothing of
   how far the drive got: the data-phase byte count of a link is not the number of blocks the drive
   wrote, and a space stops where the drive found a mark. */
static BOOLEAN BusPostFailed(PBUS_POST_CONTEXT pCtx)
{
    return !NT_SUCCESS(pCtx->iStatus) || pCtx->fScsiFailed;
}

/* A pass-through whose whole effect the drive's position shows on tape, although its last attempt
   failed: the application is told it succeeded, in the record as in the status, so that it does
   not send the command again. */
static VOID BusPostAnswerGood(PBUS_POST_CONTEXT pCtx)
{
    if (pCtx->Kind.fPassThru) {
        pCtx->Kind.pBuffer[BUS_PT_STATUS] = BUS_SCSISTAT_GOOD;
        pCtx->Kind.pBuffer[BUS_PT_SENSE_LENGTH] = 0;
    }
}

/* TRUE when the failed attempt is one the engine fails over: a path failure, not a tape condition. */
static BOOLEAN BusPostWillFailover(PBUS_POST_CONTEXT pCtx)
{
    PSCSI_STATUS pScsi = pCtx->pScsiStatus;
    if (pScsi->fSenseValid && BusSenseCausesFailover(pScsi->ucSenseKey, pScsi->ucAsc, pScsi->ucAscq)) {
        return TRUE;
    }
    if (!NT_SUCCESS(pCtx->iStatus) && !BusStatusPreventsFailover(pCtx->iStatus)) {
        DBG("BusPdoPostProcessReadWrite: SCSI_STATUS won't cause failover, but NTSTATUS 0x%08x will\n",
            (ULONG)pCtx->iStatus);
        return TRUE;
    }
    return FALSE;
}

static ULONG BusBe24(PUCHAR p)
{
    return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2];
}

static NTSTATUS BusPdoPostProcessSpace(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    ULONG ulMethod;
    LONGLONG llCount;
    if (BusPostFailed(pCtx)) {
        if (pPdoExt->fPositionValid && BusPostWillFailover(pCtx)) {
            /* A path failure: the drive may have spaced already with the answer lost. The retry
               starts from where this one did, or it would space twice. */
            NTSTATUS status = BusPostSetPos(pCtx, pPdoExt->ulPosition);
            if (!NT_SUCCESS(status)) {
                pPdoExt->fDoNotFailover = TRUE;
            }
            return status;
        }
        /* Stopped early (a filemark, the end of data, the beginning of the tape) or refused: the
           drive knows where it stands, the model does not. */
        pPdoExt->fPositionValid = FALSE;
        return STATUS_SUCCESS;
    }
    if (pCtx->Kind.fPassThru) {
        static const ULONG s_SpaceCode[] = {TAPE_SPACE_RELATIVE_BLOCKS, TAPE_SPACE_FILEMARKS, TAPE_SPACE_SEQUENTIAL_FMKS,
                                            TAPE_SPACE_END_OF_DATA, TAPE_SPACE_SETMARKS, TAPE_SPACE_SEQUENTIAL_SMKS};
        ULONG ulCode = pCtx->Kind.pCdb[1] & 7;
        if (ulCode >= RTL_NUMBER_OF(s_SpaceCode)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        ulMethod = s_SpaceCode[ulCode];
        ULONG ul24 = BusBe24(pCtx->Kind.pCdb + 2);
        llCount = (ul24 & 0x800000) ? (LONGLONG)ul24 - 0x1000000 : (LONGLONG)ul24;
    } else {
        PTAPE_SET_POSITION pPos = (PTAPE_SET_POSITION)pCtx->Kind.pBuffer;
        ulMethod = pPos->Method;
        llCount = pPos->Offset.QuadPart;
    }
    if (ulMethod == TAPE_SPACE_RELATIVE_BLOCKS && pPdoExt->fPositionValid) {
        pPdoExt->ulPosition += (ULONGLONG)llCount;
        DBG("BusPdoPostProcessSpace: offset %d, new position 0x%08x\n", (int)llCount, (ULONG)pPdoExt->ulPosition);
        return STATUS_SUCCESS;
    }
    return BusPostReadPos(pCtx);
}

static NTSTATUS BusPdoPostProcessWFM(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    PFOOW_STATE pFoow = pCtx->pFoow;
    ULONGLONG ulBefore = pPdoExt->ulPosition;
    BOOLEAN fValidBefore = pPdoExt->fPositionValid;
    ULONG ulCount;
    NTSTATUS status;

    /* The marks this attempt was to write: the TAPE_WRITE_MARKS count (already lowered to the rest
       when finishing one), or the count of the CDB. */
    if (pCtx->Kind.fPassThru) {
        ulCount = BusBe24(pCtx->Kind.pCdb + 2);
    } else if (pCtx->Kind.ulBuffer >= sizeof(TAPE_WRITE_MARKS)) {
        ulCount = ((PTAPE_WRITE_MARKS)pCtx->Kind.pBuffer)->Count;
    } else {
        ulCount = 0;
    }
    status = BusPostReadPos(pCtx);
    if (!NT_SUCCESS(status)) {
        /* How many of a failed request's marks are on tape is not known: writing them again could
           put them there twice. */
        pPdoExt->fPositionValid = FALSE;
        if (!NT_SUCCESS(pCtx->iStatus)) {
            pPdoExt->fDoNotFailover = TRUE;
        }
        return status;
    }
    if (!BusPostFailed(pCtx) || !fValidBefore || !BusPostWillFailover(pCtx)) {
        return STATUS_SUCCESS;
    }
    ULONGLONG ulAfter = pPdoExt->ulPosition;
    if (ulAfter < ulBefore || ulAfter - ulBefore > ulCount) {
        /* The drive is not where these marks could have left it: never write them again. */
        DBG("BusPdoPostProcessWFM: position 0x%08x outside the marks written from 0x%08x\n", (ULONG)ulAfter,
            (ULONG)ulBefore);
        pPdoExt->fDoNotFailover = TRUE;
        pPdoExt->fPositionValid = FALSE;
        return STATUS_SUCCESS;
    }
    ULONG ulWritten = (ULONG)(ulAfter - ulBefore);
    if (ulCount == 0) {
        /* A flush (no marks): the position cannot tell whether it reached the drive, and the drive
           may still hold its buffer. Flushing again on the next path is harmless; calling it done
           could report data on tape that is not. */
        return STATUS_SUCCESS;
    }
    if (ulWritten == ulCount) {
        /* All marks are on tape: the request is done. */
        pFoow->ulFOOWTotal += ulWritten;
        pFoow->fFOOWDone = TRUE;
        pFoow->bFOOW = TRUE;
        pPdoExt->fDoNotFailover = TRUE;
        BusPostAnswerGood(pCtx);
    } else if (ulWritten != 0) {
        if (pCtx->Kind.fPassThru) {
            /* The CDB is the application's: it is not shortened and so not sent again. */
            pPdoExt->fDoNotFailover = TRUE;
        } else {
            pFoow->ulFOOWTotal += ulWritten;
            pFoow->bFOOW = TRUE;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessRewind(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    if (BusPostFailed(pCtx)) {
        pPdoExt->fPositionValid = FALSE;
        return STATUS_SUCCESS;
    }
    pPdoExt->ulPosition = 0;
    pPdoExt->fPositionValid = TRUE;
    pPdoExt->fRewound = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessLocate(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    PBUS_REQUEST_KIND k = &pCtx->Kind;
    ULONGLONG ulBlock = 0;
    if (BusPostFailed(pCtx)) {
        /* A locate past the end of data stops there; a refused one stays where it was. */
        pPdoExt->fPositionValid = FALSE;
        return STATUS_SUCCESS;
    }
    if (BusKindIsIoctl(k, IOCTL_TAPE_SET_POSITION)) {
        ulBlock = (ULONGLONG)((PTAPE_SET_POSITION)k->pBuffer)->Offset.QuadPart;
    } else if (BusKindIsIoctl(k, BUS_IOCTL_LOCATE_BLOCK) || BusKindIsIoctl(k, BUS_IOCTL_LOCATE)) {
        if (k->ulBuffer < 16 || (BusKindIsIoctl(k, BUS_IOCTL_LOCATE) && k->pBuffer[0] != 0)) {
            return BusPostReadPos(pCtx);   /* a file, or a record the model cannot read */
        }
        RtlCopyMemory(&ulBlock, k->pBuffer + 8, sizeof(ulBlock));
    } else if (k->ucOp == SCSIOP_LOCATE10) {
        ulBlock = ((ULONG)k->pCdb[3] << 24) | ((ULONG)k->pCdb[4] << 16) | ((ULONG)k->pCdb[5] << 8) | k->pCdb[6];
    } else {
        if ((k->pCdb[1] >> 3) != 0) {
            return BusPostReadPos(pCtx);
        }
        for (ULONG i = 4; i < 12; i++) {
            ulBlock = (ulBlock << 8) | k->pCdb[i];
        }
    }
    pPdoExt->ulPosition = ulBlock;
    pPdoExt->fPositionValid = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessSMP(PBUS_POST_CONTEXT pCtx)
{
    UCHAR aucMedia[sizeof(TAPE_GET_MEDIA_PARAMETERS)];
    if (NT_SUCCESS(pCtx->iStatus) && pCtx->fScsiFailed && !BusPostWillFailover(pCtx)) {
        /* The drive answered the application's MODE SELECT with another status than GOOD (a field
           of the list it does not take, a reservation conflict, a notice) and changed none of its
           mode parameters, although it may count the whole list as transferred. The size the
           application had before is the one later paths get. An answer that fails the path over
           says nothing of what the drive did: the size is in doubt then, as after a lost
           completion. */
        DBG("BusPdoPostProcessSMP: refused by the drive. Block size kept\n");
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(pCtx->iStatus) || pCtx->fScsiFailed) {
        if (pCtx->pPdoExt->fSMP) {
            /* The settings restore's own request: the size it carries is still the application's
               (see BusPdoSetBlockSize). */
            DBG("BusPdoPostProcessSMP: restore failed. Block size kept, settings restored again\n");
            pCtx->pPdoExt->fSettingsLost = TRUE;
            return STATUS_SUCCESS;
        }
        DBG("BusPdoPostProcessSMP: failed. fBlockSizeValid set to FALSE\n");
        pCtx->pPdoExt->fBlockSizeValid = FALSE;
        /* Whether the drive took the new size is not known (a lost completion ran it, or the path
           failed the command after its data went out): the drive's own answer tells, as long as
           it does not forget it first. */
        pCtx->pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_DOUBTFUL;
        return STATUS_SUCCESS;
    }
    /* The drive took the size the request carries. It is not read back: a read that met a path
       failure would be answered by another path, which has the size the application had before. */
    ULONG ulLength = 0;
    if (BusKindIsIoctl(&pCtx->Kind, IOCTL_TAPE_SET_MEDIA_PARAMS) &&
        pCtx->Kind.ulBuffer >= sizeof(TAPE_SET_MEDIA_PARAMETERS)) {
        ulLength = ((PTAPE_SET_MEDIA_PARAMETERS)pCtx->Kind.pBuffer)->BlockSize;
    } else if (!BusKindModeSelectBlockLength(&pCtx->Kind, &ulLength)) {
        *pCtx->pfDidIo = TRUE;
        return BusPdoGetBlockSize(pCtx->pDeviceObject, aucMedia, sizeof(aucMedia));
    }
    pCtx->pPdoExt->ulBlockSize = ulLength;
    pCtx->pPdoExt->fBlockSizeValid = TRUE;
    pCtx->pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_ON_DRIVE;
    DBG("BusPdoPostProcessSMP: block size 0x%08x\n", ulLength);
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessGetMedia(PBUS_POST_CONTEXT pCtx)
{
    if (pCtx->Kind.ulBuffer >= sizeof(TAPE_GET_MEDIA_PARAMETERS)) {
        /* The size the application now knows the drive to use is the one a later path gets. */
        pCtx->pPdoExt->ulBlockSize = ((PTAPE_GET_MEDIA_PARAMETERS)pCtx->Kind.pBuffer)->BlockSize;
        pCtx->pPdoExt->fBlockSizeValid = TRUE;
        pCtx->pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_ON_DRIVE;
    }
    return STATUS_SUCCESS;
}

/* A failed write: how much of it is on tape decides what the engine sends next. */
static NTSTATUS BusPdoPostProcessFailedWrite(PBUS_POST_CONTEXT pCtx, ULONG L, ULONG B, ULONGLONG P)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    PFOOW_STATE pFoow = pCtx->pFoow;
    ULONGLONG ulBlocks = B != 0 ? L / B : 1;
    NTSTATUS status = BusPostReadPos(pCtx);
    if (!NT_SUCCESS(status)) {
        pPdoExt->fDoNotFailover = TRUE;
        return status;
    }
    ULONGLONG P2 = pPdoExt->ulPosition;
    if (P2 < P || P2 - P > ulBlocks) {
        /* Not where this write could have left the drive: finishing it could overwrite good data. */
        DBG("BusPdoPostProcessReadWrite: position 0x%08x outside the write from 0x%08x\n", (ULONG)P2, (ULONG)P);
        pPdoExt->fDoNotFailover = TRUE;
        pPdoExt->fPositionValid = FALSE;
        if (P2 < P && pPdoExt->iUnitAttention == 0) {
            /* The drive stands before where the write began: writes it had acknowledged are not
               on the tape (its buffer lost them, and only the path that wrote them was to hear of
               it). The application is told of the loss, not of this path's failure. */
            InterlockedExchange(&pPdoExt->iUnitAttention, (LONG)STATUS_DEVICE_DATA_ERROR);
        }
        return STATUS_SUCCESS;
    }
    if (P2 - P == ulBlocks) {
        DBG("BusPdoPostProcessReadWrite: Exit and SUCCESS WRITE\n");
        pPdoExt->fDoNotFailover = TRUE;
        pFoow->fFOOWDone = TRUE;
        if (pCtx->Kind.fPassThru) {
            RtlCopyMemory(pCtx->Kind.pBuffer + BUS_PT_TRANSFER_LENGTH, &pPdoExt->ulPassThruLength, sizeof(ULONG));
            BusPostAnswerGood(pCtx);
        } else {
            pFoow->bFOOW = TRUE;
            pFoow->ulFOOWTotal += L;
        }
        return STATUS_SUCCESS;
    }
    if (B == 0 || P2 == P) {
        /* Nothing of it is on tape: the whole write again, from where it started. */
        DBG("BusPdoPostProcessReadWrite: no ulblocksize \n");
        status = BusPostSetPos(pCtx, P);
        if (!NT_SUCCESS(status)) {
            pPdoExt->fDoNotFailover = TRUE;
        }
        return status;
    }
    ULONG ulWritten = (ULONG)(P2 - P) * B;
    DBG("BusPdoPostProcessReadWrite: ulblocksize 0x%08x writen 0x%08x \n", B, ulWritten);
    if (pCtx->Kind.fPassThru) {
        /* The application's CDB is not shortened: it learns how much was written and fails. */
        ULONG ulDone = (pPdoExt->ulPassThruLength - L) + ulWritten;
        RtlCopyMemory(pCtx->Kind.pBuffer + BUS_PT_TRANSFER_LENGTH, &ulDone, sizeof(ULONG));
        pPdoExt->fDoNotFailover = TRUE;
        return STATUS_SUCCESS;
    }
    pFoow->bFOOW = TRUE;
    pFoow->ulFOOWTotal += ulWritten;
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessReadWrite(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    PFOOW_STATE pFoow = pCtx->pFoow;
    PSCSI_STATUS pScsi = pCtx->pScsiStatus;
    BOOLEAN fWrite = BusKindIsWrite(&pCtx->Kind);
    BOOLEAN fFinishing = fWrite && pFoow->bFOOW && pCtx->Kind.ucMajor == IRP_MJ_WRITE;
    LONGLONG llDirection = BusKindIsOp(&pCtx->Kind, SCSIOP_READ_REVERSE6) ? -1 : 1;
    ULONG B = pPdoExt->ulBlockSize;
    ULONGLONG P = pPdoExt->ulPosition;
    ULONG L;
    ULONG R;

    if (pCtx->Kind.fPassThru) {
        ULONG ulDone;
        RtlCopyMemory(&ulDone, pCtx->Kind.pBuffer + BUS_PT_TRANSFER_LENGTH, sizeof(ULONG));
        L = pPdoExt->ulPassThruLength;
        R = ulDone <= L ? L - ulDone : 0;
    } else {
        L = fFinishing ? pFoow->ulFOOWRemaining : pPdoExt->SavedIrpStack.Parameters.Write.Length;
        R = pScsi->ulInformation <= L ? pScsi->ulInformation : L;
    }
    if (B == BUS_BLOCK_SIZE_UNKNOWN) {
        B = 0;
    }
    pPdoExt->fDoNotFailover = TRUE;
    DBG("BusPdoPostProcessReadWrite: position 0x%08x, bFOOW: %d\n", (ULONG)P, (int)pFoow->bFOOW);

    if ((pScsi->ucFlags & (BUS_FLAG_FILEMARK | BUS_FLAG_END_OF_MEDIUM)) != 0 ||
        (pScsi->fSenseValid && pScsi->ucSenseKey == 0x08)) {
        pPdoExt->fPositionValid = FALSE;
        if (fFinishing) {
            pFoow->ulFOOWTotal += L - R;   /* what this last attempt wrote counts too */
        }
        return STATUS_SUCCESS;
    }
    if (!BusPostFailed(pCtx)) {
        if (fFinishing) {
            pFoow->ulFOOWTotal += L - R;
            DBG("BusPdoPostProcessReadWrite: Success from FOOW x%08x \n", pFoow->ulFOOWTotal);
        }
        if (B != 0) {
            pPdoExt->ulPosition = P + (ULONGLONG)(llDirection * (LONGLONG)((L - R) / B));
        } else if (R != L) {
            pPdoExt->ulPosition = P + (ULONGLONG)llDirection;
        }
        return STATUS_SUCCESS;
    }
    if (pCtx->iStatus == STATUS_MEDIA_WRITE_PROTECTED || (pScsi->fSenseValid && pScsi->ucAsc == 0xEF)) {
        DBG("BusPdoPostProcessReadWrite: Drive has requested contact with the encryption proxy.\n");
        pPdoExt->fDoNotFailover = FALSE;
        return STATUS_SUCCESS;
    }
    if (!pPdoExt->fPositionValid) {
        return STATUS_SUCCESS;
    }
    if (!BusPostWillFailover(pCtx)) {
        /* A tape condition (a long block, for one): the drive may have moved where the model cannot
           follow. */
        pPdoExt->fPositionValid = FALSE;
        return STATUS_SUCCESS;
    }
    pPdoExt->fDoNotFailover = FALSE;
    if (fWrite) {
        return BusPdoPostProcessFailedWrite(pCtx, L, B, P);
    }
    DBG("BusPdoPostProcessReadWrite: no write \n");
    NTSTATUS status = BusPostSetPos(pCtx, P);
    if (!NT_SUCCESS(status)) {
        pPdoExt->fDoNotFailover = TRUE;
    }
    return status;
}

/* A failed erase: the drive may have erased from its start to anywhere before it stopped, and an
   erase sent from there would leave data the application meant to erase, or erase past where it
   asked. It is begun again from where it started, or not at all. */
static NTSTATUS BusPdoPostProcessErase(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    if (!BusPostFailed(pCtx) || !BusPostWillFailover(pCtx)) {
        return STATUS_SUCCESS;
    }
    if (!pPdoExt->fEraseStartValid) {
        pPdoExt->fDoNotFailover = TRUE;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = BusPostSetPos(pCtx, pPdoExt->ulEraseStart);
    if (!NT_SUCCESS(status)) {
        pPdoExt->fDoNotFailover = TRUE;
    }
    return status;
}

static NTSTATUS BusPdoPostProcessSetLBP(PBUS_POST_CONTEXT pCtx)
{
    PUCHAR p = pCtx->Kind.pBuffer;
    if (NT_SUCCESS(pCtx->iStatus) && pCtx->Kind.ulBuffer >= 6) {
        PBUS_LBP_SETTINGS pLbp = &pCtx->pPdoExt->LbpSettings;
        pLbp->ucSet = p[1] != 0;
        pLbp->ucCapable = p[0];
        pLbp->ucMethod = p[1];
        pLbp->ucLength = p[2];
        pLbp->ucWrite = p[3];
        pLbp->ucRead = p[4];
        pLbp->ucRDBP = p[5];
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessVerify(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    UCHAR ucFlags = pCtx->Kind.fPassThru ? pCtx->Kind.pCdb[1] : (pCtx->Kind.ulBuffer >= 1 ? pCtx->Kind.pBuffer[0] : 0);
    ULONGLONG P = pPdoExt->ulPosition;
    NTSTATUS status;

    if (NT_SUCCESS(pCtx->iStatus)) {
        if (ucFlags & BUS_VERIFY_VTE) {
            pPdoExt->fPositionValid = FALSE;
            return STATUS_SUCCESS;
        }
        return BusPostReadPos(pCtx);
    }
    pPdoExt->fDoNotFailover = FALSE;
    if (ucFlags & BUS_VERIFY_VTE) {
        UCHAR aucSense[96];   /* fixed-format sense from byte 4: ASC at byte 16, ASCQ at byte 17 */
        for (ULONG i = 0; i < BUS_VERIFY_SENSE_TRIES; i++) {
            *pCtx->pfDidIo = TRUE;
            if (NT_SUCCESS(BusPdoRequestSense(pCtx->pDeviceObject, aucSense, sizeof(aucSense))) && aucSense[7] == 0 &&
                aucSense[16] == 0 && aucSense[17] == 0x1C) {
                DBG("BusPdoPostProcessVerify: Verify In progress.\n");
                pPdoExt->fDoNotFailover = TRUE;
                pPdoExt->fPositionValid = FALSE;
                break;
            }
        }
        return STATUS_SUCCESS;
    }
    status = BusPostReadPos(pCtx);
    if (!NT_SUCCESS(status)) {
        pPdoExt->fDoNotFailover = TRUE;
        pPdoExt->fPositionValid = FALSE;
        return status;
    }
    ULONGLONG P2 = pPdoExt->ulPosition;
    if (ucFlags & BUS_VERIFY_IMMED) {
        if (P2 != P) {
            status = BusPostSetPos(pCtx, P2 - 1);
        } else if (ucFlags & BUS_VERIFY_VLBPM) {
            status = BusPostSetPos(pCtx, P2);
        }
    } else {
        status = BusPostSetPos(pCtx, P2);
    }
    if (!NT_SUCCESS(status)) {
        DBG("BusPdoPostProcessVerify: SetPos failed \n");
        pPdoExt->fDoNotFailover = TRUE;
    }
    return status;
}

/* The medium lock, set with PREPARE or with the application's own PREVENT ALLOW MEDIUM REMOVAL. A
   lock follows the application to every new path; an unlock is also sent to the paths the drive
   was reached through before, which may still hold a lock taken there. */
static NTSTATUS BusPdoPostProcessPAMR(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    BOOLEAN fLock;
    if (BusPostFailed(pCtx) || pPdoExt->fSMP) {
        return STATUS_SUCCESS;
    }
    if (BusKindIsPrepare(&pCtx->Kind, TAPE_LOCK)) {
        fLock = TRUE;
    } else if (BusKindIsPrepare(&pCtx->Kind, TAPE_UNLOCK)) {
        fLock = FALSE;
    } else if (pCtx->Kind.fPassThru) {
        fLock = (pCtx->Kind.pCdb[4] & 0x03) != 0;
    } else {
        return STATUS_SUCCESS;
    }
    pPdoExt->fPAMR = fLock;
    pPdoExt->fUnlockOthers = !fLock;
    if (fLock) {
        pPdoExt->fUnlockPending = FALSE;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessAMU(PBUS_POST_CONTEXT pCtx)
{
    if (NT_SUCCESS(pCtx->iStatus) && pCtx->Kind.ulBuffer >= 1) {
        pCtx->pPdoExt->ucAMU = pCtx->Kind.pBuffer[0];
    } else {
        pCtx->pPdoExt->ucAMU = BUS_AMU_UNKNOWN;
    }
    return STATUS_SUCCESS;
}

/* The application read the position itself: the drive's answer is the truth the model takes, so
   that a model gone wrong by a move it could not follow is right again from here on. */
static NTSTATUS BusPdoPostProcessPosQuery(PBUS_POST_CONTEXT pCtx)
{
    PPDO_EXT pPdoExt = pCtx->pPdoExt;
    PBUS_REQUEST_KIND k = &pCtx->Kind;
    if (!k->fPassThru) {
        PTAPE_GET_POSITION pPos = (PTAPE_GET_POSITION)k->pBuffer;
        if (k->ulBuffer >= sizeof(TAPE_GET_POSITION) && pPos->Type == TAPE_LOGICAL_POSITION && pPos->Offset.QuadPart >= 0) {
            pPdoExt->ulPosition = (ULONGLONG)pPos->Offset.QuadPart;
            pPdoExt->fPositionValid = TRUE;
        }
        return STATUS_SUCCESS;
    }
    PUCHAR pData;
    ULONG ulData;
    if (BusKindData(k, &pData, &ulData) && ulData >= 8 && (pData[0] & BUS_READPOS_BPU) == 0) {
        pPdoExt->ulPosition = ((ULONG)pData[4] << 24) | ((ULONG)pData[5] << 16) | ((ULONG)pData[6] << 8) | pData[7];
        pPdoExt->fPositionValid = TRUE;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoPostProcessUnseenMove(PBUS_POST_CONTEXT pCtx)
{
    DBG("BusPdoPostProcessPos: the request moved the tape where the model cannot follow\n");
    pCtx->pPdoExt->fPositionValid = FALSE;
    return STATUS_SUCCESS;
}

/* The DCE bit of a data compression page in a MODE SELECT parameter list, when the list that
   reached the drive holds one. */
static BOOLEAN BusKindModeSelectCompression(PBUS_REQUEST_KIND pKind, PBOOLEAN pfOn)
{
    PUCHAR pData;
    ULONG ulData;
    ULONG ulHeader;
    ULONG ulDescriptors;
    if (!BusKindModeList(pKind, &pData, &ulData, &ulHeader, &ulDescriptors)) {
        return FALSE;
    }
    ULONG ulPage = ulHeader + ulDescriptors;
    while (ulPage < ulData && ulData - ulPage >= 2) {
        UCHAR ucCode = pData[ulPage] & 0x3F;
        ULONG ulLength;
        ULONG ulHeader;
        if (pData[ulPage] & 0x40) {   /* sub-page format: two-byte length */
            if (ulData - ulPage < 4) {
                return FALSE;
            }
            ulHeader = 4;
            ulLength = ((ULONG)pData[ulPage + 2] << 8) | pData[ulPage + 3];
        } else {
            ulHeader = 2;
            ulLength = pData[ulPage + 1];
        }
        if (ucCode == BUS_PAGE_COMPRESSION && ulHeader == 2) {
            if (ulLength < 1 || ulData - ulPage < 3) {
                return FALSE;
            }
            *pfOn = (pData[ulPage + 2] & BUS_PAGE_COMPRESSION_DCE) != 0;
            return TRUE;
        }
        ulPage += ulHeader + ulLength;
    }
    return FALSE;
}

/* Settings the application sets on the drive that a new path must get too. */
static VOID BusPostTakeSettings(PBUS_POST_CONTEXT pCtx)
{
    PBUS_REQUEST_KIND k = &pCtx->Kind;
    BOOLEAN fOn = FALSE;
    if (BusPostFailed(pCtx) || pCtx->pPdoExt->fSMP) {
        return;
    }
    if (BusKindIsIoctl(k, IOCTL_TAPE_SET_DRIVE_PARAMS) && k->ulBuffer >= sizeof(TAPE_SET_DRIVE_PARAMETERS)) {
        RtlCopyMemory(&pCtx->pPdoExt->DriveParams, k->pBuffer, sizeof(TAPE_SET_DRIVE_PARAMETERS));
        pCtx->pPdoExt->fDriveParamsSet = TRUE;
        fOn = pCtx->pPdoExt->DriveParams.Compression ? TRUE : FALSE;
    } else if (!(BusKindIsOp(k, SCSIOP_MODE_SELECT6) || BusKindIsOp(k, SCSIOP_MODE_SELECT10)) ||
               !BusKindModeSelectCompression(k, &fOn)) {
        return;
    }
    pCtx->pPdoExt->ucCompression = fOn ? BUS_COMPRESSION_ON : BUS_COMPRESSION_OFF;
    DBG("BusPdoPostProcessPos: compression %d carried to new paths\n", (int)fOn);
}

/* Matches of the post-processing rows that need the device's state or the outcome. */
static BOOLEAN BusPostIsSpace(PBUS_POST_CONTEXT c) { return BusKindIsSpace(&c->Kind); }
static BOOLEAN BusPostIsWFM(PBUS_POST_CONTEXT c) { return BusKindIsWriteMarks(&c->Kind); }
static BOOLEAN BusPostIsRewind(PBUS_POST_CONTEXT c) { return BusKindIsRewind(&c->Kind); }
static BOOLEAN BusPostIsLocate(PBUS_POST_CONTEXT c) { return BusKindIsLocate(&c->Kind); }
static BOOLEAN BusPostIsSMP(PBUS_POST_CONTEXT c) { return BusKindIsSetMedia(&c->Kind, c->pPdoExt); }
static BOOLEAN BusPostIsGetMedia(PBUS_POST_CONTEXT c)
{
    return BusKindIsIoctl(&c->Kind, IOCTL_TAPE_GET_MEDIA_PARAMS) && NT_SUCCESS(c->iStatus) &&
           (c->pPdoExt->ulBlockSize == BUS_BLOCK_SIZE_UNKNOWN || !c->pPdoExt->fBlockSizeValid);
}
static BOOLEAN BusPostIsReadWrite(PBUS_POST_CONTEXT c) { return BusKindIsReadWrite(&c->Kind); }
static BOOLEAN BusPostIsErase(PBUS_POST_CONTEXT c) { return BusPreIsErase(&c->Kind); }
static BOOLEAN BusPostIsSetLBP(PBUS_POST_CONTEXT c)
{
    return BusKindIsIoctl(&c->Kind, BUS_IOCTL_SET_LBP) || BusKindIsIoctl(&c->Kind, BUS_IOCTL_SET_LBP_APP);
}
static BOOLEAN BusPostIsVerify(PBUS_POST_CONTEXT c)
{
    return BusKindIsIoctl(&c->Kind, BUS_IOCTL_VERIFY) || BusKindIsOp(&c->Kind, SCSIOP_VERIFY6);
}
static BOOLEAN BusPostIsPAMR(PBUS_POST_CONTEXT c)
{
    return BusKindIsIoctl(&c->Kind, IOCTL_TAPE_PREPARE) || BusKindIsOp(&c->Kind, SCSIOP_PAMR);
}
static BOOLEAN BusPostIsAMU(PBUS_POST_CONTEXT c)
{
    return BusKindIsIoctl(&c->Kind, BUS_IOCTL_SET_AMU) || BusKindIsIoctl(&c->Kind, BUS_IOCTL_QUERY_AMU);
}
static BOOLEAN BusPostIsUnseenMove(PBUS_POST_CONTEXT c) { return BusKindMovesUnseen(&c->Kind); }
static BOOLEAN BusPostIsPosQuery(PBUS_POST_CONTEXT c)
{
    /* READ POSITION in its short form (the block the drive stands at), answered GOOD. */
    return !BusPostFailed(c) && (BusKindIsIoctl(&c->Kind, IOCTL_TAPE_GET_POSITION) ||
                                 (BusKindIsOp(&c->Kind, SCSIOP_READ_POSITION) && (c->Kind.pCdb[1] & 0x1F) == 0));
}

/* The first matching row decides. */
static const struct {
    BOOLEAN (*Matches)(PBUS_POST_CONTEXT pCtx);
    PBUS_POST_HANDLER Handler;
} s_PostProcessRows[] = {
    /* request                                                   handler */
    {BusPostIsSpace,      /* SET_POSITION space methods; SPACE(6) */ BusPdoPostProcessSpace},
    {BusPostIsWFM,        /* WRITE_MARKS; WRITE FILEMARKS(6) */      BusPdoPostProcessWFM},
    {BusPostIsRewind,     /* SET_POSITION rewind; REWIND */          BusPdoPostProcessRewind},
    {BusPostIsLocate,     /* block methods; LOCATE(10/16); private */ BusPdoPostProcessLocate},
    {BusPostIsSMP,        /* SET_MEDIA_PARAMS; MODE SELECT new size */ BusPdoPostProcessSMP},
    {BusPostIsGetMedia,   /* GET_MEDIA_PARAMS, size not known */    BusPdoPostProcessGetMedia},
    {BusPostIsReadWrite,  /* READ, WRITE; READ/WRITE(6/10), READ REVERSE */ BusPdoPostProcessReadWrite},
    {BusPostIsErase,      /* ERASE; ERASE(6) */                      BusPdoPostProcessErase},
    {BusPostIsSetLBP,     /* private set LBP */                      BusPdoPostProcessSetLBP},
    {BusPostIsVerify,     /* private verify; VERIFY(6) */            BusPdoPostProcessVerify},
    {BusPostIsPAMR,       /* PREPARE; PREVENT ALLOW MEDIUM REMOVAL */ BusPdoPostProcessPAMR},
    {BusPostIsAMU,        /* private set/query AMU */                BusPdoPostProcessAMU},
    {BusPostIsUnseenMove, /* other SET_POSITION; 16-byte moves */    BusPdoPostProcessUnseenMove},
    {BusPostIsPosQuery,   /* GET_POSITION; READ POSITION */          BusPdoPostProcessPosQuery},
};

NTSTATUS BusPdoPostProcessPos(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PUCHAR pBuffer, ULONG ulBuffer,
                              PSCSI_STATUS pScsiStatus, PBOOLEAN pfDidIo, PFOOW_STATE pFoow)
{
    ENT("BusPdoPostProcessPos: pDeviceObject 0x%08x, iStatus 0x%08x\n", DBG_PTR(pDeviceObject), (ULONG)iStatus);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    BUS_POST_CONTEXT ctx;
    NTSTATUS status = STATUS_SUCCESS;

    *pfDidIo = FALSE;
    if (BusPdoIsGone(pPdoExt)) {
        status = STATUS_DELETE_PENDING;
        goto done;
    }
    RtlZeroMemory(&ctx, sizeof(ctx));
    ctx.pDeviceObject = pDeviceObject;
    ctx.pPdoExt = pPdoExt;
    ctx.iStatus = iStatus;
    ctx.pScsiStatus = pScsiStatus;
    ctx.pfDidIo = pfDidIo;
    ctx.pFoow = pFoow;
    BusPdoRequestKind(pPdoExt, pBuffer, ulBuffer, &ctx.Kind);
    ctx.fScsiFailed = ctx.Kind.fPassThru && ctx.Kind.pBuffer[BUS_PT_STATUS] != BUS_SCSISTAT_GOOD;
    for (ULONG i = 0; i < RTL_NUMBER_OF(s_PostProcessRows); i++) {
        if (s_PostProcessRows[i].Matches(&ctx)) {
            status = s_PostProcessRows[i].Handler(&ctx);
            if (!NT_SUCCESS(status)) {
                pPdoExt->fPositionValid = FALSE;
            }
            break;
        }
    }
    BusPostTakeSettings(&ctx);
done:
    EXT("BusPdoPostProcessPos: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Unit attentions ---- */

NTSTATUS BusPdoAdjustPosOnSense(PDEVICE_OBJECT pDeviceObject, PSCSI_STATUS pScsiStatus)
{
    ENT("BusPdoAdjustPosOnSense: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    if (pScsiStatus->ucSenseKey == 0x06 && pScsiStatus->ucAsc == 0x5A && pScsiStatus->ucAscq == 0x01) {
        pPdoExt->fPositionValid = FALSE;
        if (pPdoExt->fRewound) {
            status = STATUS_IO_DEVICE_ERROR;
        }
    } else if (pScsiStatus->ucSenseKey == 0x06 && (pScsiStatus->ucAsc == 0x28 || pScsiStatus->ucAsc == 0x29)) {
        /* Medium change, power on, reset, or a lost connection: where the tape stands is not known,
           and the drive is back at its default block size, protection, lock and AMU. */
        pPdoExt->fRewound = FALSE;
        pPdoExt->fPositionValid = FALSE;
        pPdoExt->fSettingsLost = TRUE;
        if (!(pScsiStatus->ucAsc == 0x29 && pScsiStatus->ucAscq == 0x07)) {
            /* A reset or medium change drops the drive's buffer and tells every path so: the
               application hears of it as that, not as lost writes. A lost connection leaves the
               buffer as it was. */
            pPdoExt->fUnflushedWrites = FALSE;
        }
        if (!pPdoExt->fBlockSizeValid && pPdoExt->ucBlockSizeDoubt == BUS_BLOCK_SIZE_DOUBTFUL) {
            /* The drive's default is all a block-size read would find now. */
            pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_FORGOTTEN;
        }
    } else {
        DBG("BusPdoAdjustPosOnSense: No adjustment required\n");
    }
    EXT("BusPdoAdjustPosOnSense: status 0x%08x\n", (ULONG)status);
    return status;
}
