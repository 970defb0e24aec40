/*
 * Requests of the test driver vorkacmntest, shared by the driver (built like every driver) and the
 * host tests. Only fixed-width types and char16_t cross: the driver sees WCHAR as a 16-bit wchar_t,
 * the tests see it as char16_t.
 *
 * The driver owns two devices: \Device\VorkaCmnTest on top of \Device\VorkaCmnLower. Every request
 * reaches the upper device (an open resolves to the top of the stack); CMNTEST_IOCTL_FORWARD is sent
 * on from there to the lower device with CmnSendIrpSync, and the lower device answers it as the
 * request tells it to.
 */
#pragma once

#include <stdint.h>

#define CMNTEST_SERVICE_NAME "vorkacmntest"
#define CMNTEST_TRACE_PREFIX "VorkaCmnTst"

/* Buffered device-control codes of device type 0x8000 (customer range), any access. */
#define CMNTEST_CODE(function) ((uint32_t)((0x8000u << 16) | ((0x800u + (function)) << 2)))

/* Enters `levels` nested traced routines (ENT/EXT pairs), each named "CmnTestNest". */
#define CMNTEST_IOCTL_NEST            CMNTEST_CODE(0)
typedef struct CMNTEST_NEST {
    uint32_t levels;
} CMNTEST_NEST;

/* Emits one DBG line with the given text as its message ("%s"), from the caller's thread or, with
   atDispatch set, under a spin lock (DISPATCH_LEVEL). */
#define CMNTEST_IOCTL_TRACE           CMNTEST_CODE(1)
typedef struct CMNTEST_TRACE {
    uint32_t atDispatch;
    char text[600];
} CMNTEST_TRACE;

/* Looks a code up in a name table; the output is the NUL-terminated name. */
#define CMNTEST_IOCTL_NAME            CMNTEST_CODE(3)
#define CMNTEST_TABLE_MAJOR           0
#define CMNTEST_TABLE_PNP_MINOR       1
#define CMNTEST_TABLE_POWER_MINOR     2
#define CMNTEST_TABLE_PNP_STATE       3
#define CMNTEST_TABLE_IO_KIND         4
#define CMNTEST_TABLE_RELATION        5
typedef struct CMNTEST_NAME {
    uint32_t table;
    uint32_t index;
    char name[64];   /* out */
} CMNTEST_NAME;

/* Passed to the lower device with CmnSendIrpSync. The lower device completes it with
   `completeStatus`, by `mode`:
     CMNTEST_FORWARD_AT_ONCE: completes it and returns `returnStatus`;
     CMNTEST_FORWARD_PENDED:  marks it pending, completes it and returns STATUS_PENDING;
     CMNTEST_FORWARD_HELD:    marks it pending, keeps it and returns STATUS_PENDING; it completes
                              when CMNTEST_IOCTL_RELEASE comes (from another thread). */
#define CMNTEST_IOCTL_FORWARD         CMNTEST_CODE(4)
#define CMNTEST_FORWARD_AT_ONCE       0
#define CMNTEST_FORWARD_PENDED        1
#define CMNTEST_FORWARD_HELD          2
typedef struct CMNTEST_FORWARD {
    int32_t completeStatus;
    int32_t returnStatus;
    uint32_t mode;
} CMNTEST_FORWARD;

/* Completes the held forwarded request; fails with STATUS_NOT_FOUND (0xC0000225) when none is held. */
#define CMNTEST_IOCTL_RELEASE         CMNTEST_CODE(11)

/* What happened to the last forwarded request. */
#define CMNTEST_IOCTL_FORWARD_RESULT  CMNTEST_CODE(5)
typedef struct CMNTEST_FORWARD_RESULT {
    int32_t sendIrpSyncStatus;   /* what CmnSendIrpSync returned */
    uint32_t lowerCalls;         /* requests the lower device received */
    uint32_t lowerCompletions;   /* requests the lower device completed */
} CMNTEST_FORWARD_RESULT;

/* CmnLookupRegistryValue of `name` (below `subkey` when it is not empty) as REG_DWORD or REG_SZ.
   The DWORD storage starts as `initialValue`; a guard word after it must stay untouched. */
#define CMNTEST_IOCTL_LOOKUP          CMNTEST_CODE(6)
typedef struct CMNTEST_LOOKUP {
    char16_t name[64];
    char16_t subkey[200];
    uint32_t type;               /* REG_DWORD (4) or REG_SZ (1) */
    uint32_t initialValue;
    int32_t status;              /* out */
    uint32_t value;              /* out: the DWORD storage after the call */
    uint32_t guard;              /* out: the word after the DWORD storage (initially 0xA5A5A5A5) */
    uint32_t stringChars;        /* out: REG_SZ length in characters */
    char16_t string[128];        /* out: REG_SZ text, NUL-terminated */
} CMNTEST_LOOKUP;

/* CmnCreateRegistryKey of `key`; the handle is closed again. */
#define CMNTEST_IOCTL_CREATE_KEY      CMNTEST_CODE(7)
typedef struct CMNTEST_CREATE_KEY {
    char16_t key[200];
    int32_t status;              /* out */
} CMNTEST_CREATE_KEY;

/* CmnPadWithZeros of `text` (buffer zero beyond the string) to `width`. */
#define CMNTEST_IOCTL_PAD             CMNTEST_CODE(8)
typedef struct CMNTEST_PAD {
    uint32_t width;
    char text[64];               /* in and out */
} CMNTEST_PAD;

/* BusTwoParmEvent of the tape bus's event writer, reported for the driver object. */
#define CMNTEST_IOCTL_EVENT           CMNTEST_CODE(9)
typedef struct CMNTEST_EVENT {
    int32_t eventCode;
    uint32_t hasParm1;
    uint32_t hasParm2;
    char16_t parm1[160];
    char16_t parm2[160];
    int32_t status;              /* out */
} CMNTEST_EVENT;

/* BusWriteEvent of a raw 240-byte event information record (code, then the string area). */
#define CMNTEST_IOCTL_WRITE_EVENT     CMNTEST_CODE(10)
typedef struct CMNTEST_WRITE_EVENT {
    uint8_t record[240];
    int32_t status;              /* out */
} CMNTEST_WRITE_EVENT;
