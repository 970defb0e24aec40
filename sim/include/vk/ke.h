/*
 * Kernel core of the simulated kernel: IRQL, spin locks, dispatcher objects
 * (events, semaphores, mutexes), waits, time, system threads and bug checks.
 *
 * Dispatcher objects live in the caller's memory with their Windows x64
 * layout and need no destroy call. A KSPIN_LOCK is a real 8-byte lock word in
 * the caller's memory, so a lock embedded in a shared record at a fixed offset
 * works across drivers.
 */
#pragma once

#include "vk/basetypes.h"
#include "ntstatus.h"

VK_BEGIN_C

struct _KTHREAD;
struct _ETHREAD;
struct _KPROCESS;
struct _EPROCESS;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
typedef struct _EPROCESS *PEPROCESS;

/* ---- IRQL --------------------------------------------------------------- */

#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15

NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);
NTHALAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))

/* ---- Spin locks ----------------------------------------------------------- */

FORCEINLINE VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI BOOLEAN FASTCALL KeTestSpinLock(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE *volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                         PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                                   PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

/* ---- Dispatcher objects -------------------------------------------------- */

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9
} KOBJECTS;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD *OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    MaximumWaitReason
} KWAIT_REASON;

typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    UCHAR WaitType;
    volatile UCHAR BlockState;
    USHORT WaitKey;
    LONG SpareLong;
    PVOID Thread;
    PVOID Object;
    PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1
#define IO_DISK_INCREMENT 1
#define IO_TAPE_INCREMENT 1

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

NTKERNELAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
/* Raises STATUS_SEMAPHORE_LIMIT_EXCEEDED when the count would pass the limit. */
NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment,
                                          LONG Adjustment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

/* Timeout: NULL waits forever; negative is relative, positive an absolute system time,
   both in 100 ns units. */
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                    KWAIT_REASON WaitReason,
                                                    KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                    PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);
NTKERNELAPI BOOLEAN NTAPI KeAreApcsDisabled(VOID);
NTKERNELAPI VOID NTAPI KeEnterGuardedRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveGuardedRegion(VOID);

/* ---- Time ------------------------------------------------------------------- */

/* System time: 100 ns units since 1601-01-01 UTC. */
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTKERNELAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
NTHALAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumber(VOID);
NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCount(KAFFINITY *ActiveProcessors);

/* ---- Bug checks ------------------------------------------------------------------- */

#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1
#define BAD_POOL_CALLER 0x000000C2

/* Stops the machine: reports the bug check to the verifier and never returns. */
NTKERNELAPI __attribute__((noreturn)) VOID NTAPI KeBugCheckEx(ULONG BugCheckCode,
                                                               ULONG_PTR BugCheckParameter1,
                                                               ULONG_PTR BugCheckParameter2,
                                                               ULONG_PTR BugCheckParameter3,
                                                               ULONG_PTR BugCheckParameter4);
NTKERNELAPI __attribute__((noreturn)) VOID NTAPI KeBugCheck(ULONG BugCheckCode);

/* ---- Threads -------------------------------------------------------------------- */

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);
NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes,
                                                HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                PKSTART_ROUTINE StartRoutine, PVOID StartContext);
/* Ends the calling system thread; never returns. */
NTKERNELAPI __attribute__((noreturn)) NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)

VK_END_C
