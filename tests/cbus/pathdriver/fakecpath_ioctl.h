/*
 * Requests of the test driver vorkafakecpath, shared with the changer bus tests.
 *
 * vorkafakecpath plays the changer path filters and the base changer driver below them: it owns
 * one device object per simulated control path (the filter device object the bus knows the path
 * by), registers and notifies exactly as a filter does (kernel-mode IOC_REGISTER / IOC_NOTIFY to
 * \Device\VorkaCBusDvc), and answers the requests the bus forwards to a path as scripted, filling
 * their status record the way the base driver does. The tests drive it through its control
 * device; only fixed-width types cross.
 */
#pragma once

#include <stdint.h>

#define FAKECPATH_SERVICE_NAME "vorkafakecpath"
#define FAKECPATH_CONTROL_NAME u"\\Device\\VorkaFakeCPathCtl"
#define FAKECPATH_MAX_PATHS 16

#define FAKECPATH_CODE(function) ((uint32_t)((0x8000u << 16) | ((0xB00u + (function)) << 2)))

/* Creates path device objects [first, first + count), or deletes them (after PNP_ABSENT). */
#define FAKECPATH_IOCTL_CREATE FAKECPATH_CODE(0)
#define FAKECPATH_IOCTL_DELETE FAKECPATH_CODE(1)
typedef struct FAKECPATH_RANGE {
    uint32_t first;
    uint32_t count;
} FAKECPATH_RANGE;

/* IOC_REGISTER for path `path` (80-byte record). */
#define FAKECPATH_IOCTL_REGISTER FAKECPATH_CODE(2)
typedef struct FAKECPATH_REGISTER {
    uint32_t path;
    uint8_t failover;
    uint8_t port, pathId, target, lun;
    uint8_t reserved[3];
    char serial[36];         /* up to 32 characters, zero-padded */
    uint32_t pnpState;
    int32_t status;          /* out */
    uint32_t changerNumber;  /* out */
    uint64_t baseDriverExt;  /* out */
    uint64_t deviceObject;   /* out */
} FAKECPATH_REGISTER;

/* IOC_NOTIFY for path `path` with a PnP state. */
#define FAKECPATH_IOCTL_NOTIFY FAKECPATH_CODE(3)
typedef struct FAKECPATH_NOTIFY {
    uint32_t path;
    uint32_t state;
    int32_t status;          /* out */
    uint32_t reserved;
} FAKECPATH_NOTIFY;

/* How path `path` answers forwarded requests from now on (set), and what reached it. */
#define FAKECPATH_IOCTL_PATH FAKECPATH_CODE(4)
typedef struct FAKECPATH_PATH {
    uint32_t path;
    uint8_t set;
    /* Answer: the final status, the sense that the base driver reports in the status record
       (senseValid), and for a buffered pass-through the SCSI status byte and fixed-format sense it
       writes into the record (ptSenseLength bytes at the record's sense offset). */
    uint8_t senseValid;
    uint8_t senseKey, asc, ascq;
    uint8_t ptScsiStatus;
    uint8_t ptSenseLength;
    uint8_t lastHadFileObject;    /* out: the last request carried a file object (one this path never opened) */
    int32_t answerStatus;
    uint32_t answerInformation;   /* Information the path reports (the bus must bound it) */
    uint32_t delayMicroseconds;   /* time the library takes to answer */
    /* What reached the path (out). */
    uint32_t requests;            /* forwarded requests with their status record */
    uint32_t successes;           /* of them, answered with success */
    uint32_t maxConcurrent;       /* most forwarded requests in progress at once */
    uint32_t lastIoctl;
    uint32_t lastInputLength;
    uint32_t lastOutputLength;
    uint64_t deviceObject;
} FAKECPATH_PATH;

/* Creates a named device of this driver (a base changer driver's \Device\Changer<n>, say), or with
   `remove` deletes all of them. At most four. */
#define FAKECPATH_IOCTL_OCCUPY FAKECPATH_CODE(5)
typedef struct FAKECPATH_OCCUPY {
    char16_t name[32];
    uint8_t remove;
    uint8_t reserved[3];
    int32_t status;          /* out */
} FAKECPATH_OCCUPY;
