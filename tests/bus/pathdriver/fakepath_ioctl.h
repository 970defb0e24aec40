/*
 * Requests of the test driver vorkafakepath, shared with the registration and naming tests.
 *
 * vorkafakepath plays the tape path filters: it owns one device object per simulated path (the
 * "filter device object" that the bus knows the path by), registers paths with the tape bus and
 * notifies it exactly as a filter does (kernel-mode IOC_REGISTER / IOC_NOTIFY to
 * \Device\VorkaTBusDvc), and records the opens and closes that the bus forwards to each path.
 * The tests drive it through its control device; only fixed-width types cross.
 */
#pragma once

#include <stdint.h>

#define FAKEPATH_SERVICE_NAME "vorkafakepath"
#define FAKEPATH_CONTROL_NAME u"\\Device\\VorkaFakePathCtl"
#define FAKEPATH_MAX_PATHS 1200

#define FAKEPATH_CODE(function) ((uint32_t)((0x8000u << 16) | ((0xA00u + (function)) << 2)))

/* Creates path device objects [first, first + count); ids start at 0. */
#define FAKEPATH_IOCTL_CREATE FAKEPATH_CODE(0)
/* Deletes the path device object `path` (after the bus was told PNP_ABSENT, as a filter does). */
#define FAKEPATH_IOCTL_DELETE FAKEPATH_CODE(1)
typedef struct FAKEPATH_RANGE {
    uint32_t first;
    uint32_t count;
    int32_t status;          /* out */
} FAKEPATH_RANGE;

/* IOC_REGISTER for path `path`; the record is built from the fields, pDvcObj is the path's device
   object. */
#define FAKEPATH_IOCTL_REGISTER FAKEPATH_CODE(2)
typedef struct FAKEPATH_REGISTER {
    uint32_t path;
    uint8_t failover;
    uint8_t exclusive;
    uint8_t persistentNaming;
    uint8_t sme;
    char serial[33];
    char wwnn[17];
    uint8_t port;
    uint8_t pathId;
    uint8_t target;
    uint8_t lun;
    uint8_t reserved[2];
    uint32_t pnpState;
    int32_t status;          /* out: the request's status */
    uint32_t tapeNumber;     /* out */
    uint64_t baseDriverExt;  /* out: the bus's status table */
    uint64_t deviceObject;   /* out: the path's device object */
} FAKEPATH_REGISTER;

/* IOC_NOTIFY for path `path`: type 0 with a PnP state, type 1 with IO_OPEN_REQ (0) / IO_CLOSE_REQ (1). */
#define FAKEPATH_IOCTL_NOTIFY FAKEPATH_CODE(3)
typedef struct FAKEPATH_NOTIFY {
    uint32_t path;
    uint32_t type;
    uint32_t value;
    int32_t status;          /* out */
} FAKEPATH_NOTIFY;

/* Creates (or, with `remove`, deletes) a named device of this driver, such as another driver's
   \Device\Tape0. At most four at a time. */
#define FAKEPATH_IOCTL_OCCUPY FAKEPATH_CODE(5)
typedef struct FAKEPATH_OCCUPY {
    char16_t name[64];
    uint8_t remove;
    uint8_t reserved[3];
    int32_t status;          /* out */
} FAKEPATH_OCCUPY;

/* Sets how path `path` answers opens, and reads what reached it. */
#define FAKEPATH_IOCTL_PATH FAKEPATH_CODE(4)
#define FAKEPATH_ANSWER_AT_ONCE 0    /* complete in the dispatch routine */
#define FAKEPATH_ANSWER_PENDED 1     /* mark pending, complete, return STATUS_PENDING */
#define FAKEPATH_ANSWER_FROM_DPC 2   /* mark pending, return STATUS_PENDING, complete later from a DPC */
typedef struct FAKEPATH_PATH {
    uint32_t path;
    uint8_t set;             /* in: take createStatus and answerMode */
    uint8_t reserved[3];
    int32_t createStatus;    /* status that opens complete with */
    uint32_t answerMode;
    uint32_t creates;        /* out: IRP_MJ_CREATE received */
    uint32_t closes;         /* out: IRP_MJ_CLOSE received */
    uint32_t busRequests;    /* out: of those, found in the bus's status table with a 96-byte record */
    uint32_t lastCloses;     /* out: closes whose record said "last handle" */
    uint32_t stackLocationsLeft; /* out: spare stack locations of the last request (CurrentLocation - 1) */
    uint64_t deviceObject;   /* out */
} FAKEPATH_PATH;
