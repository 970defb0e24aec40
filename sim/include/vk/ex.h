/*
 * Executive services of the simulated kernel: pool, fast mutexes, executive
 * resources, interlocked operations and interlocked lists.
 *
 * Pool is tracked per allocation (tag, type, owning driver image); the
 * verifier reports wrong tags, double frees, paged allocations at
 * DISPATCH_LEVEL and pool left behind by an unloading driver. Fresh blocks
 * from ExAllocatePoolWithTag are filled with a non-zero pattern, so code that
 * forgets to zero a record shows up; ExAllocatePool2 zeroes unless asked not to.
 */
#pragma once

#include "vk/basetypes.h"
#include "vk/ke.h"

VK_BEGIN_C

/* ---- Pool ------------------------------------------------------------------ */

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolBaseMustSucceed = 2,
    NonPagedPoolBaseCacheAligned = 4,
    NonPagedPoolBaseCacheAlignedMustS = 6,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolMustSucceedSession = 34,
    DontUseThisTypeSession = 35,
    NonPagedPoolCacheAlignedSession = 36,
    PagedPoolCacheAlignedSession = 37,
    NonPagedPoolCacheAlignedMustSSession = 38,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544
} POOL_TYPE;

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RESERVED1 0x0000000000000010ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_REQUIRED_END 0x0000000080000000ULL

#define PROTECTED_POOL 0x80000000

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                   ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

/* ---- Fast mutexes (raise to APC_LEVEL) ---------------------------------------- */

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex);
NTKERNELAPI VOID FASTCALL KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex);
NTKERNELAPI VOID FASTCALL KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex);

/* ---- Executive resources (shared / exclusive) ------------------------------------ */

typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

/* Opaque; its state is kept by the kernel between ExInitializeResourceLite and
   ExDeleteResourceLite. Callers hold it with normal kernel APCs disabled
   (KeEnterCriticalRegion) at or below APC_LEVEL. */
typedef struct _ERESOURCE {
    LIST_ENTRY SystemResourcesList;
    PVOID OwnerTable;
    SHORT ActiveCount;
    USHORT Flag;
    ULONG Reserved0;
    PVOID SharedWaiters;
    PVOID ExclusiveWaiters;
    ULONG_PTR OwnerEntry[2];
    ULONG ActiveEntries;
    ULONG ContentionCount;
    ULONG NumberOfSharedWaiters;
    ULONG NumberOfExclusiveWaiters;
    PVOID Reserved2;
    PVOID Address;
    KSPIN_LOCK SpinLock;
} ERESOURCE, *PERESOURCE;

NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource,
                                                      ERESOURCE_THREAD ResourceThreadId);
NTKERNELAPI VOID NTAPI ExConvertExclusiveToSharedLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
NTKERNELAPI ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID);
#define ExReleaseResource(R) ExReleaseResourceLite(R)

/* ---- Interlocked operations (real atomics, full barriers) --------------------------- */

#include "vk/interlocked.h"
FORCEINLINE BOOLEAN InterlockedBitTestAndSet(volatile LONG *Base, LONG Bit) {
    LONG mask = (LONG)(1UL << (Bit & 31));
    return (BOOLEAN)((__atomic_fetch_or(Base + (Bit >> 5), mask, __ATOMIC_SEQ_CST) & mask) != 0);
}
FORCEINLINE BOOLEAN InterlockedBitTestAndReset(volatile LONG *Base, LONG Bit) {
    LONG mask = (LONG)(1UL << (Bit & 31));
    return (BOOLEAN)((__atomic_fetch_and(Base + (Bit >> 5), ~mask, __ATOMIC_SEQ_CST) & mask) != 0);
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define ReadAcquire(p) __atomic_load_n((volatile LONG *)(p), __ATOMIC_ACQUIRE)
#define WriteRelease(p, v) __atomic_store_n((volatile LONG *)(p), (LONG)(v), __ATOMIC_RELEASE)
#define ReadNoFence(p) __atomic_load_n((volatile LONG *)(p), __ATOMIC_RELAXED)
#define WriteNoFence(p, v) __atomic_store_n((volatile LONG *)(p), (LONG)(v), __ATOMIC_RELAXED)

/* ---- Interlocked lists (guarded by a caller's spin lock) ---------------------------- */

NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                PSINGLE_LIST_ENTRY ListEntry,
                                                                PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                               PKSPIN_LOCK Lock);

/* ---- Callback objects (\Callback\<name>) ----------------------------------------------- */

typedef struct _CALLBACK_OBJECT *PCALLBACK_OBJECT;
typedef VOID(NTAPI CALLBACK_FUNCTION)(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION *PCALLBACK_FUNCTION;

NTKERNELAPI NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT *CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                            BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);
NTKERNELAPI PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                           PVOID CallbackContext);
NTKERNELAPI VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration);
NTKERNELAPI VOID NTAPI ExNotifyCallback(PCALLBACK_OBJECT CallbackObject, PVOID Argument1, PVOID Argument2);

/* ---- Misc ----------------------------------------------------------------------------- */

NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID);
NTKERNELAPI VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
NTKERNELAPI VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

VK_END_C
