/*
 * Control codes, records and constants shared by the path filters, the bus drivers and the base
 * drivers below the filters. Every record that crosses a driver boundary has a fixed little-endian
 * x64 layout, pinned below by static_assert so that a change of a field shows at compile time.
 *
 * Tape and changer drivers use the same names for their own codes and records (IOC_REGISTER,
 * REG_DVC, ...). A changer driver defines VORKA_CHANGER_DRIVER before including this header; the
 * explicitly named forms (IOC_TAPE_*, IOC_CHGR_*, TAPE_REG_DVC, CHGR_REG_DVC, ...) are always there.
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include "compat.h"
#include "scsipt.h"

/* ---- Driver image export ---- */

/* The simulated kernel finds a driver's entry point by its exported name; a Windows image is entered
   through its PE entry point, so the marker expands to nothing there. */
#ifndef VK_DRIVER_EXPORT
#define VK_DRIVER_EXPORT
#endif

/* ---- Control codes ---- */

#define VORKA_TAPE_DEVICE_TYPE 0x84CA
#define VORKA_CHGR_DEVICE_TYPE 0x84C9

#define VORKA_CTL_CODE(type, function) \
    ((ULONG)(((ULONG)(type) << 16) | ((ULONG)(FILE_READ_ACCESS | FILE_WRITE_ACCESS) << 14) | \
             ((ULONG)(function) << 2) | (ULONG)METHOD_BUFFERED))

/* Control device of the tape bus. */
#define IOC_TAPE_REGISTER                VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 0)   /* 0x84CAC000 */
#define IOC_TAPE_NOTIFY                  VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 4)   /* 0x84CAC010 */
#define IOC_TAPE_QUERY_DEVICES           VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 7)   /* 0x84CAC01C */
/* Private requests of the tape filter and the tape bus to the base tape driver. */
#define IOC_TAPE_GET_SERIAL_NUMBER       VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 2)   /* 0x84CAC008 */
#define IOC_TAPE_GET_SCSI_ADDRESS        VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 3)   /* 0x84CAC00C */
#define IOC_TAPE_SET_EXT_IN_BASE         VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 5)   /* 0x84CAC014 */
#define IOC_TAPE_GET_DEVICE_ID_PAGE      VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 6)   /* 0x84CAC018 */
#define IOC_TAPE_PREEMPT_RESERVATION     VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 8)   /* 0x84CAC020 */
#define IOC_TAPE_GET_DPF_FLAGS           VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 9)   /* 0x84CAC024 */
#define IOC_TAPE_GET_STANDARD_INQUIRY    VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 10)  /* 0x84CAC028 */
#define IOC_TAPE_SET_RESERVATION_KEY     VORKA_CTL_CODE(VORKA_TAPE_DEVICE_TYPE, 13)  /* 0x84CAC034 */

/* Control device of the changer bus and the private requests to the base changer driver. */
#define IOC_CHGR_REGISTER                VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 0)   /* 0x84C9C000 */
#define IOC_CHGR_NOTIFY                  VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 4)   /* 0x84C9C010 */
#define IOC_CHGR_QUERY_DEVICES           VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 7)   /* 0x84C9C01C */
#define IOC_CHGR_GET_SERIAL_NUMBER       VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 2)   /* 0x84C9C008 */
#define IOC_CHGR_GET_SCSI_ADDRESS        VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 3)   /* 0x84C9C00C */
#define IOC_CHGR_SET_EXT_IN_BASE         VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 5)   /* 0x84C9C014 */
/* Identification beyond the serial number, answered by the base changer driver like its tape
   counterpart (same function numbers). */
#define IOC_CHGR_GET_DEVICE_ID_PAGE      VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 6)   /* 0x84C9C018 */
#define IOC_CHGR_GET_STANDARD_INQUIRY    VORKA_CTL_CODE(VORKA_CHGR_DEVICE_TYPE, 10)  /* 0x84C9C028 */

#ifdef VORKA_CHANGER_DRIVER
#define IOC_REGISTER                     IOC_CHGR_REGISTER
#define IOC_NOTIFY                       IOC_CHGR_NOTIFY
#define IOC_QUERY_DEVICES                IOC_CHGR_QUERY_DEVICES
#define IOC_GET_SERIAL_NUMBER            IOC_CHGR_GET_SERIAL_NUMBER
#define IOC_GET_SCSI_ADDRESS             IOC_CHGR_GET_SCSI_ADDRESS
#define IOC_SET_EXT_IN_BASE              IOC_CHGR_SET_EXT_IN_BASE
#else
#define IOC_REGISTER                     IOC_TAPE_REGISTER
#define IOC_NOTIFY                       IOC_TAPE_NOTIFY
#define IOC_QUERY_DEVICES                IOC_TAPE_QUERY_DEVICES
#define IOC_GET_SERIAL_NUMBER            IOC_TAPE_GET_SERIAL_NUMBER
#define IOC_GET_SCSI_ADDRESS             IOC_TAPE_GET_SCSI_ADDRESS
#define IOC_SET_EXT_IN_BASE              IOC_TAPE_SET_EXT_IN_BASE
#define IOC_GET_DEVICE_ID_PAGE           IOC_TAPE_GET_DEVICE_ID_PAGE
#define IOC_PREEMPT_RESERVATION          IOC_TAPE_PREEMPT_RESERVATION
#define IOC_GET_DPF_FLAGS                IOC_TAPE_GET_DPF_FLAGS
#define IOC_GET_STANDARD_INQUIRY         IOC_TAPE_GET_STANDARD_INQUIRY
#define IOC_SET_RESERVATION_KEY          IOC_TAPE_SET_RESERVATION_KEY
#endif

/* Buffer sizes of the private requests. */
#define SERIAL_NUMBER_LENGTH             32
#define DEVICE_ID_PAGE_LENGTH            560
#define STANDARD_INQUIRY_LENGTH          136
#define DPF_FLAGS_LENGTH                 4
#define RESERVATION_KEY_LENGTH           8

/* Bits of the IOC_GET_DPF_FLAGS answer. */
#define DPF_FLAG_EXCLUSIVE               0x00000001
#define DPF_FLAG_PERSISTENT_NAMING       0x00000002
#define DPF_FLAG_ENCRYPTION              0x00000004

/* Control devices and their links. */
#define TAPE_BUS_DEVICE_NAME             L"\\Device\\VorkaTBusDvc"
#define TAPE_BUS_LINK_NAME               L"\\??\\VorkaTBusDvcLnk"
#define CHGR_BUS_DEVICE_NAME             L"\\Device\\VorkaCBusDvc"
#define CHGR_BUS_LINK_NAME               L"\\??\\VorkaCBusDvcLnk"

/* Callback objects through which each bus tells its path filters that its control device is there
   (Argument1 BUS_STATE_ARRIVED, at every start of the control device) or goes (BUS_STATE_LEAVING, at
   its removal, once nothing is in flight and before the device is deleted). Either driver may load
   first; whichever does creates the object. */
#define TAPE_BUS_CALLBACK_NAME           L"\\Callback\\VorkaTBusState"
#define CHGR_BUS_CALLBACK_NAME           L"\\Callback\\VorkaCBusState"
#define BUS_STATE_ARRIVED                1
#define BUS_STATE_LEAVING                2

/* Identifiers of the driver-object extension that holds each bus driver's status table. */
#define TAPE_BUS_DRVEXT_ID               0x44504600UL
#define CHGR_BUS_DRVEXT_ID               0x43504600UL

/* ---- Plug and Play state and notification kinds ---- */

typedef enum _PNP_STATE {
    PNP_ABSENT = 0,
    PNP_NOT_STARTED = 1,
    PNP_STARTED = 2,
    PNP_REMOVE_PENDING = 3,
    PNP_SURPRISE_REMOVE = 4,
    PNP_STOP_PENDING = 5,
    PNP_STOPPED = 6
} PNP_STATE, *PPNP_STATE;
#define PNP_STATE_COUNT 7

/* NFY_DVC notify types (tape). */
#define NFY_TYPE_PNP                     0
#define NFY_TYPE_IO                      1

/* Kinds of IO notification: an open or a close made directly on a path device. */
#define IO_OPEN_REQ                      0
#define IO_CLOSE_REQ                     1

/* ---- Registration and notification records ---- */

/* IOC_REGISTER record of the tape bus: sent by the tape filter, two fields answered by the bus. */
typedef struct _TAPE_REG_DVC {
    UCHAR fFailover;                  /* nonzero: group with the other paths of the same drive */
    CHAR szSN[33];                    /* serial number, NUL-terminated */
    CHAR szWwnn[17];                  /* world-wide node name, 16 hex characters, NUL-terminated */
    UCHAR ucReserved1;
    SCSI_ADDRESS scScsiAddr;          /* address of this path */
    ULONG ulReserved2;
    PDEVICE_OBJECT pDvcObj;           /* the filter's device object on this path */
    ULONG ePnp;                       /* PNP_STATE of the path */
    UCHAR fExclusive;
    UCHAR fPersistentNaming;
    UCHAR fSME;
    UCHAR ucReserved3;
    PVOID pBaseDriverExt;             /* out: the bus driver's IRPS_WITH_STATUS table */
    ULONG ulTapeNumber;               /* out: n of \Device\Tape<n> */
    ULONG ulReserved4;
} TAPE_REG_DVC, *PTAPE_REG_DVC;

/* IOC_NOTIFY record of the tape bus. */
typedef struct _TAPE_NFY_DVC {
    ULONG ulType;                     /* NFY_TYPE_PNP or NFY_TYPE_IO */
    ULONG ulReserved1;
    PDEVICE_OBJECT pDvcObj;           /* the filter's device object, as registered */
    ULONG ePnp;                       /* NFY_TYPE_PNP: new PNP_STATE; NFY_TYPE_IO: IO_OPEN_REQ/IO_CLOSE_REQ */
    ULONG ulReserved2;
} TAPE_NFY_DVC, *PTAPE_NFY_DVC;

/* IOC_REGISTER record of the changer bus. */
typedef struct _CHGR_REG_DVC {
    UCHAR fFailover;
    CHAR szSN[35];                    /* only bytes 1 to 32 of the record are used */
    SCSI_ADDRESS scScsiAddr;
    ULONG ulReserved1;
    PDEVICE_OBJECT pDvcObj;
    ULONG ePnp;
    ULONG ulReserved2;
    PVOID pBaseDriverExt;             /* out */
    ULONG ulChangerNumber;            /* out */
    ULONG ulReserved3;
} CHGR_REG_DVC, *PCHGR_REG_DVC;

/* IOC_NOTIFY record of the changer bus: always a PnP state change. */
typedef struct _CHGR_NFY_DVC {
    PDEVICE_OBJECT pDvcObj;
    ULONG ePnp;
    ULONG ulReserved;
} CHGR_NFY_DVC, *PCHGR_NFY_DVC;

#ifdef VORKA_CHANGER_DRIVER
typedef CHGR_REG_DVC REG_DVC, *PREG_DVC;
typedef CHGR_NFY_DVC NFY_DVC, *PNFY_DVC;
#else
typedef TAPE_REG_DVC REG_DVC, *PREG_DVC;
typedef TAPE_NFY_DVC NFY_DVC, *PNFY_DVC;
#endif

/* One entry of the IOC_QUERY_DEVICES answer: one per path of every virtual device. */
typedef struct _DEVICE_DESCRIPTOR {
    CHAR szName[64];                  /* "Tape<n>" or "Changer<n>" */
    CHAR szSN[64];
    UCHAR fFailover;
    UCHAR ucReserved1[3];
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;
    UCHAR fPrimary;
    UCHAR ucReserved2[2];
} DEVICE_DESCRIPTOR, *PDEVICE_DESCRIPTOR;

/* IOC_QUERY_DEVICES answer: the size the full answer needs, then whole descriptors. */
typedef struct _QUERY_DEVICES_OUTPUT {
    ULONG ulRequiredSize;
    DEVICE_DESCRIPTOR Descriptors[1];
} QUERY_DEVICES_OUTPUT, *PQUERY_DEVICES_OUTPUT;
#define QUERY_DEVICES_HEADER_SIZE        4
#define QUERY_DEVICES_MIN_OUTPUT         (QUERY_DEVICES_HEADER_SIZE + sizeof(DEVICE_DESCRIPTOR))

/* ---- Status record of a forwarded request ---- */

/* The last 96 bytes of the system buffer of every request that a bus forwards to a path; the base
   driver fills it for requests that it finds in the IRPS_WITH_STATUS table. */
typedef struct _SCSI_STATUS {
    ULONGLONG scPreempt;              /* bus: key to preempt with, or 0; base: failed preempt status */
    ULONG ulBlockSize;                /* bus, when preempting */
    ULONG ulReserved1;
    LONG iStatus;                     /* NT status of the request */
    ULONG ulInformation;              /* residual: bytes of the request's data not transferred; the bus sets 1 on the last close */
    UCHAR fSenseValid;
    UCHAR ucSME;                      /* bit 1: encryption reported, bit 0: encryption on */
    UCHAR ucSenseKey;
    UCHAR ucAsc;
    UCHAR ucAscq;
    UCHAR ucFlags;                    /* SCSI_STATUS_FLAG_*: bits of the sense */
    CHAR szHostKey[32];               /* reserving key, 16 ASCII characters; empty if none */
    CHAR szWwpn[32];                  /* world-wide port name, 16 ASCII characters */
    UCHAR fExplicitlySetPRKey;
    UCHAR ucReserved2;
} SCSI_STATUS, *PSCSI_STATUS;

/* ucFlags: bits 7 and 6 are those of sense byte 2 (filemark, end of medium); bit 0 marks deferred
   sense (response code 0x71), the failure of a command the drive had already reported done. */
#define SCSI_STATUS_FLAG_FILEMARK        0x80
#define SCSI_STATUS_FLAG_END_OF_MEDIUM   0x40
#define SCSI_STATUS_FLAG_DEFERRED        0x01

/* ---- IRPS_WITH_STATUS: forwarded requests paired with their status records ---- */

#define IRPS_WITH_STATUS_SLOTS           63
#define IRPS_WITH_STATUS_FIRST_BUS_SLOT  2   /* slots 0 and 1 of the head block serve registration */

typedef struct _IRP_STATUS_SLOT {
    PIRP pIrp;                        /* the forwarded request */
    PSCSI_STATUS pScsiStatus;         /* its status record */
} IRP_STATUS_SLOT, *PIRP_STATUS_SLOT;

/* One 1040-byte block; the head block is the bus driver's driver-object extension and its spin lock
   guards the whole chain. */
typedef struct _IRPS_WITH_STATUS {
    IRP_STATUS_SLOT Slots[IRPS_WITH_STATUS_SLOTS];
    ULONGLONG ullBitmap;              /* bit i set: slot i in use */
    ULONGLONG ullReserved;
    KSPIN_LOCK slLock;                /* used in the head block only */
    struct _IRPS_WITH_STATUS *pNext;  /* next block or NULL */
} IRPS_WITH_STATUS, *PIRPS_WITH_STATUS;

/* The lookup shared by the filters and base drivers: the status record of pIrp, or NULL when the
   request was not forwarded by the bus. Walks the chain under the head block's lock; callable at
   IRQL <= DISPATCH_LEVEL. */
static inline PSCSI_STATUS STATUS_STRUCT_ALLOCATED(PIRPS_WITH_STATUS pHead, PIRP pIrp)
{
    PSCSI_STATUS pFound = NULL;
    KIRQL irql;
    if (pHead == NULL || pIrp == NULL) {
        return NULL;
    }
    KeAcquireSpinLock(&pHead->slLock, &irql);
    for (PIRPS_WITH_STATUS pBlock = pHead; pBlock != NULL && pFound == NULL; pBlock = pBlock->pNext) {
        for (ULONG i = 0; i < IRPS_WITH_STATUS_SLOTS; i++) {
            if ((pBlock->ullBitmap & (1ULL << i)) != 0 && pBlock->Slots[i].pIrp == pIrp) {
                pFound = pBlock->Slots[i].pScsiStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pHead->slLock, irql);
    return pFound;
}

/* ---- Layouts ---- */

#define VORKA_LAYOUT(type, field, offset) \
    static_assert(__builtin_offsetof(type, field) == (offset), #type "." #field " is at byte " #offset)

static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS is 8 bytes");

static_assert(sizeof(TAPE_REG_DVC) == 96, "REG_DVC of the tape bus is 96 bytes");
VORKA_LAYOUT(TAPE_REG_DVC, fFailover, 0);
VORKA_LAYOUT(TAPE_REG_DVC, szSN, 1);
VORKA_LAYOUT(TAPE_REG_DVC, szWwnn, 34);
VORKA_LAYOUT(TAPE_REG_DVC, scScsiAddr, 52);
VORKA_LAYOUT(TAPE_REG_DVC, pDvcObj, 64);
VORKA_LAYOUT(TAPE_REG_DVC, ePnp, 72);
VORKA_LAYOUT(TAPE_REG_DVC, fExclusive, 76);
VORKA_LAYOUT(TAPE_REG_DVC, fPersistentNaming, 77);
VORKA_LAYOUT(TAPE_REG_DVC, fSME, 78);
VORKA_LAYOUT(TAPE_REG_DVC, pBaseDriverExt, 80);
VORKA_LAYOUT(TAPE_REG_DVC, ulTapeNumber, 88);

static_assert(sizeof(TAPE_NFY_DVC) == 24, "NFY_DVC of the tape bus is 24 bytes");
VORKA_LAYOUT(TAPE_NFY_DVC, ulType, 0);
VORKA_LAYOUT(TAPE_NFY_DVC, pDvcObj, 8);
VORKA_LAYOUT(TAPE_NFY_DVC, ePnp, 16);

static_assert(sizeof(CHGR_REG_DVC) == 80, "REG_DVC of the changer bus is 80 bytes");
VORKA_LAYOUT(CHGR_REG_DVC, szSN, 1);
VORKA_LAYOUT(CHGR_REG_DVC, scScsiAddr, 36);
VORKA_LAYOUT(CHGR_REG_DVC, pDvcObj, 48);
VORKA_LAYOUT(CHGR_REG_DVC, ePnp, 56);
VORKA_LAYOUT(CHGR_REG_DVC, pBaseDriverExt, 64);
VORKA_LAYOUT(CHGR_REG_DVC, ulChangerNumber, 72);

static_assert(sizeof(CHGR_NFY_DVC) == 16, "NFY_DVC of the changer bus is 16 bytes");
VORKA_LAYOUT(CHGR_NFY_DVC, ePnp, 8);

static_assert(sizeof(DEVICE_DESCRIPTOR) == 144, "DEVICE_DESCRIPTOR is 144 bytes");
VORKA_LAYOUT(DEVICE_DESCRIPTOR, szSN, 64);
VORKA_LAYOUT(DEVICE_DESCRIPTOR, fFailover, 128);
VORKA_LAYOUT(DEVICE_DESCRIPTOR, scScsiAddr, 132);
VORKA_LAYOUT(DEVICE_DESCRIPTOR, fActive, 140);
VORKA_LAYOUT(DEVICE_DESCRIPTOR, fPrimary, 141);
VORKA_LAYOUT(QUERY_DEVICES_OUTPUT, Descriptors, QUERY_DEVICES_HEADER_SIZE);
static_assert(QUERY_DEVICES_MIN_OUTPUT == 148, "IOC_QUERY_DEVICES needs room for one descriptor");

static_assert(sizeof(SCSI_STATUS) == 96, "SCSI_STATUS is 96 bytes");
VORKA_LAYOUT(SCSI_STATUS, ulBlockSize, 8);
VORKA_LAYOUT(SCSI_STATUS, iStatus, 16);
VORKA_LAYOUT(SCSI_STATUS, ulInformation, 20);
VORKA_LAYOUT(SCSI_STATUS, fSenseValid, 24);
VORKA_LAYOUT(SCSI_STATUS, ucSME, 25);
VORKA_LAYOUT(SCSI_STATUS, ucSenseKey, 26);
VORKA_LAYOUT(SCSI_STATUS, ucFlags, 29);
VORKA_LAYOUT(SCSI_STATUS, szHostKey, 30);
VORKA_LAYOUT(SCSI_STATUS, szWwpn, 62);
VORKA_LAYOUT(SCSI_STATUS, fExplicitlySetPRKey, 94);

static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK is 8 bytes");
static_assert(sizeof(IRPS_WITH_STATUS) == 1040, "an IRPS_WITH_STATUS block is 1040 bytes");
VORKA_LAYOUT(IRPS_WITH_STATUS, ullBitmap, 1008);
VORKA_LAYOUT(IRPS_WITH_STATUS, ullReserved, 1016);
VORKA_LAYOUT(IRPS_WITH_STATUS, slLock, 1024);
VORKA_LAYOUT(IRPS_WITH_STATUS, pNext, 1032);

#undef VORKA_LAYOUT
