/*
 * Control codes of vorkaqharness, the test driver that runs the tape bus's request queue
 * (pdoqueue.cpp) on a device of its own with a scripted processing routine.
 */
#pragma once

#include <ntddk.h>

#define QH_DEVICE_NAME L"\\Device\\VorkaQueueHarness"
#define QH_LINK_NAME   L"\\DosDevices\\VorkaQueueHarness"
#define QH_TYPE 0x8123
#define QH_CODE(f) ((ULONG)((QH_TYPE << 16) | ((FILE_READ_ACCESS | FILE_WRITE_ACCESS) << 14) | ((f) << 2) | METHOD_BUFFERED))

/* Queued: processed by the scripted routine (QH_OP in, QH_OP_RESULT out). */
#define QH_IOCTL_OP      QH_CODE(1)
/* Answered at once. */
#define QH_IOCTL_GATE    QH_CODE(2)   /* in: ULONG gate index; opens the gate */
#define QH_IOCTL_LOG     QH_CODE(3)   /* out: QH_LOG */
#define QH_IOCTL_KILL    QH_CODE(4)   /* stops the queue as removal does */
#define QH_IOCTL_TABLE   QH_CODE(5)   /* in/out: QH_TABLE */
#define QH_IOCTL_STATE   QH_CODE(6)   /* out: QH_STATE */

#define QH_GATES 8
#define QH_LOG_ENTRIES 512
#define QH_CREATE_ID 0xC0C0

typedef struct _QH_OP {
    ULONG ulId;          /* logged when processing starts */
    ULONG ulNest;        /* send this many levels of nested requests, one inside the other */
    ULONG ulGate;        /* 1 + index of the gate to wait at before finishing, 0 for none */
} QH_OP, *PQH_OP;

typedef struct _QH_OP_RESULT {
    LONG iNestedStatus;  /* status of the nested request (0 when none was sent) */
    ULONG ulDepth;       /* nested requests in progress while this one ran */
} QH_OP_RESULT, *PQH_OP_RESULT;

typedef struct _QH_LOG_ENTRY {
    ULONG ulId;
    ULONG ulThread;      /* 1 + order in which the harness first saw the processing thread */
    ULONG ulDepth;       /* nested requests in progress when it started */
    ULONG ulPhase;       /* 0: started, 1: finished */
} QH_LOG_ENTRY;

typedef struct _QH_LOG {
    ULONG ulCount;
    QH_LOG_ENTRY Entries[QH_LOG_ENTRIES];
} QH_LOG, *PQH_LOG;

typedef struct _QH_TABLE {
    ULONG ulOp;          /* 1: enter ulCount requests; 2: remove the last entered one; 3: remove all */
    ULONG ulCount;
    LONG iStatus;        /* out */
    ULONG ulBlocks;      /* out: blocks in the chain */
    ULONG ulLastIndex;   /* out: slot of the last entered request */
    ULONG ulLastBlock;   /* out: 0-based block of the last entered request */
    ULONG ulEntered;     /* out: requests in the table */
} QH_TABLE, *PQH_TABLE;

typedef struct _QH_STATE {
    LONG ulCurrentThread;
    ULONG fHighPriorityFree;
    ULONG ulQueued;
    ULONG ulWorkersRunning;
} QH_STATE, *PQH_STATE;
