// Executive synchronisation: fast (and guarded) mutexes built on a
// synchronization event as in Windows, executive resources (shared /
// exclusive, recursive per thread), and the interlocked list helpers.

#include <condition_variable>
#include <cstring>

#include "kinternal.h"

using sim::ReportViolation;
using namespace sim::k;

// ---- Fast mutexes ---------------------------------------------------------------------------

static void AcquireFast(PFAST_MUTEX mutex, const char* routine, bool raise) {
    auto& state = Current();
    _KTHREAD* me = CurrentThreadObject();
    if (raise && state.irql > APC_LEVEL)
        ReportViolation(std::string(routine) + " called at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 1)");
    if (__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) == me) {
        ReportViolation(std::string(routine) + ": fast mutex " + Describe(mutex) +
                        " acquired again by the thread that owns it (deadlock)");
        return;
    }
    KIRQL old = raise ? KfRaiseIrql(APC_LEVEL) : state.irql;
    if (InterlockedDecrement(&mutex->Count) != 0) {
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&mutex->Contention));
        KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    __atomic_store_n(&mutex->Owner, static_cast<PVOID>(me), __ATOMIC_RELAXED);
    mutex->OldIrql = old;
}

static void ReleaseFast(PFAST_MUTEX mutex, const char* routine, bool lower) {
    if (__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) != CurrentThreadObject()) {
        ReportViolation(std::string(routine) + ": fast mutex " + Describe(mutex) +
                        " released by a thread that does not own it");
        return;
    }
    KIRQL old = static_cast<KIRQL>(mutex->OldIrql);
    __atomic_store_n(&mutex->Owner, static_cast<PVOID>(nullptr), __ATOMIC_RELAXED);
    if (InterlockedIncrement(&mutex->Count) != 1) KeSetEvent(&mutex->Event, IO_NO_INCREMENT, FALSE);
    if (lower) KeLowerIrql(old);
}

extern "C" {

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) { AcquireFast(FastMutex, "ExAcquireFastMutex", true); }

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) { ReleaseFast(FastMutex, "ExReleaseFastMutex", true); }

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    sim::CheckIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(CurrentThreadObject()), __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
    return TRUE;
}

VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    auto& state = Current();
    if (state.irql != APC_LEVEL && state.criticalRegion == 0 && state.guardedRegion == 0)
        ReportViolation("ExAcquireFastMutexUnsafe called with kernel APCs enabled");
    AcquireFast(FastMutex, "ExAcquireFastMutexUnsafe", false);
}

VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { ReleaseFast(FastMutex, "ExReleaseFastMutexUnsafe", false); }

VOID KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex) { ExInitializeFastMutex(Mutex); }

VOID KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) {
    KeEnterGuardedRegion();
    AcquireFast(Mutex, "KeAcquireGuardedMutex", false);
}

VOID KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex) {
    ReleaseFast(Mutex, "KeReleaseGuardedMutex", false);
    KeLeaveGuardedRegion();
}

}  // extern "C"

// ---- Executive resources ------------------------------------------------------------------------
// The ERESOURCE memory only identifies the resource; its state is kept here
// between ExInitializeResourceLite and ExDeleteResourceLite.

namespace {

struct ResourceState {
    std::uint32_t generation = 0;  // machine that initialised it
    std::map<_KTHREAD*, int> shared;
    _KTHREAD* exclusiveOwner = nullptr;
    int exclusiveCount = 0;
    int exclusiveWaiters = 0;

    // A resource just initialised by the machine of `generation`: no owner, no waiters.
    static ResourceState Fresh(std::uint32_t generation) {
        ResourceState state;
        state.generation = generation;
        return state;
    }
};

struct ResourceTable {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<const ERESOURCE*, ResourceState> resources;
};

ResourceTable& Resources() {
    static ResourceTable* table = new ResourceTable;  // immortal, like the dispatcher lock
    return *table;
}

bool CheckAcquireContext(const char* routine) {
    auto& state = Current();
    if (state.irql > APC_LEVEL) {
        ReportViolation(std::string(routine) + " called at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 1)");
        return false;
    }
    if (state.irql < APC_LEVEL && state.criticalRegion == 0 && state.guardedRegion == 0)
        ReportViolation(std::string(routine) +
                        " called with normal kernel APCs enabled (KeEnterCriticalRegion first)");
    return true;
}

ResourceState* Find(ResourceTable& table, PERESOURCE resource, const char* routine) {
    auto it = table.resources.find(resource);
    if (it != table.resources.end()) return &it->second;
    return nullptr;
}

}  // namespace

extern "C" {

static std::uint32_t MachineGeneration() {
    auto* impl = CurrentImpl();
    return impl ? impl->generation : 0;
}

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
    std::memset(Resource, 0, sizeof(ERESOURCE));
    auto& table = Resources();
    const std::uint32_t generation = MachineGeneration();
    bool live = false;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.resources.find(Resource);
        // A resource of an earlier machine was in memory that machine took with it.
        live = it != table.resources.end() && it->second.generation == generation;
        table.resources[Resource] = ResourceState::Fresh(generation);
    }
    // Windows links every resource into the system resource list: initialising a live one
    // again corrupts that list.
    if (live)
        ReportViolation("ExInitializeResourceLite: resource " + Describe(Resource) +
                        " is initialised again without ExDeleteResourceLite");
    return STATUS_SUCCESS;
}

NTSTATUS ExReinitializeResourceLite(PERESOURCE Resource) {
    auto& table = Resources();
    bool known;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.resources.find(Resource);
        known = it != table.resources.end();
        if (known) it->second = ResourceState::Fresh(it->second.generation);
    }
    if (!known) ReportViolation("ExReinitializeResourceLite: resource " + Describe(Resource) + " is not initialised");
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
    auto& table = Resources();
    bool held = false, known = false;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.resources.find(Resource);
        if (it != table.resources.end()) {
            known = true;
            held = it->second.exclusiveOwner || !it->second.shared.empty();
            table.resources.erase(it);
        }
    }
    if (!known) ReportViolation("ExDeleteResourceLite: resource " + Describe(Resource) + " is not initialised");
    if (held) ReportViolation("ExDeleteResourceLite: resource " + Describe(Resource) + " deleted while it is held");
    return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    if (!CheckAcquireContext("ExAcquireResourceExclusiveLite")) return FALSE;
    _KTHREAD* me = CurrentThreadObject();
    auto& table = Resources();
    std::unique_lock lock(table.mutex);
    ResourceState* state = Find(table, Resource, "ExAcquireResourceExclusiveLite");
    if (!state) {
        lock.unlock();
        ReportViolation("ExAcquireResourceExclusiveLite: resource " + Describe(Resource) + " is not initialised");
        return FALSE;
    }
    if (state->exclusiveOwner == me) {
        ++state->exclusiveCount;
        return TRUE;
    }
    if (state->shared.count(me)) {
        lock.unlock();
        ReportViolation("ExAcquireResourceExclusiveLite: resource " + Describe(Resource) +
                        " is held shared by the same thread (deadlock)");
        return FALSE;
    }
    auto free = [&] { return !state->exclusiveOwner && state->shared.empty(); };
    if (!free()) {
        if (!Wait) return FALSE;
        ++state->exclusiveWaiters;
        table.changed.wait(lock, free);
        --state->exclusiveWaiters;
    }
    state->exclusiveOwner = me;
    state->exclusiveCount = 1;
    return TRUE;
}

static BOOLEAN AcquireShared(PERESOURCE Resource, BOOLEAN Wait, bool starveExclusive, const char* routine) {
    if (!CheckAcquireContext(routine)) return FALSE;
    _KTHREAD* me = CurrentThreadObject();
    auto& table = Resources();
    std::unique_lock lock(table.mutex);
    ResourceState* state = Find(table, Resource, routine);
    if (!state) {
        lock.unlock();
        ReportViolation(std::string(routine) + ": resource " + Describe(Resource) + " is not initialised");
        return FALSE;
    }
    if (state->exclusiveOwner == me) {
        ++state->exclusiveCount;  // the exclusive owner may also take it shared
        return TRUE;
    }
    auto it = state->shared.find(me);
    if (it != state->shared.end()) {
        ++it->second;
        return TRUE;
    }
    auto free = [&] { return !state->exclusiveOwner && (starveExclusive || state->exclusiveWaiters == 0); };
    if (!free()) {
        if (!Wait) return FALSE;
        table.changed.wait(lock, free);
    }
    state->shared[me] = 1;
    return TRUE;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared(Resource, Wait, false, "ExAcquireResourceSharedLite");
}

BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return AcquireShared(Resource, Wait, true, "ExAcquireSharedStarveExclusive");
}

static void ReleaseFor(PERESOURCE Resource, _KTHREAD* owner, const char* routine) {
    auto& table = Resources();
    bool notify = false;
    std::string problem;
    {
        std::lock_guard lock(table.mutex);
        ResourceState* state = Find(table, Resource, routine);
        if (!state) {
            problem = std::string(routine) + ": resource " + Describe(Resource) + " is not initialised";
        } else if (state->exclusiveOwner == owner) {
            if (--state->exclusiveCount == 0) {
                state->exclusiveOwner = nullptr;
                notify = true;
            }
        } else if (auto it = state->shared.find(owner); it != state->shared.end()) {
            if (--it->second == 0) {
                state->shared.erase(it);
                notify = state->shared.empty();
            }
        } else {
            problem = std::string(routine) + ": resource " + Describe(Resource) +
                      " released by a thread that does not hold it";
        }
    }
    if (notify) table.changed.notify_all();
    if (!problem.empty()) ReportViolation(problem);
}

VOID ExReleaseResourceLite(PERESOURCE Resource) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "ExReleaseResourceLite");
    ReleaseFor(Resource, CurrentThreadObject(), "ExReleaseResourceLite");
}

VOID ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
    ReleaseFor(Resource, reinterpret_cast<_KTHREAD*>(ResourceThreadId), "ExReleaseResourceForThreadLite");
}

VOID ExConvertExclusiveToSharedLite(PERESOURCE Resource) {
    _KTHREAD* me = CurrentThreadObject();
    auto& table = Resources();
    bool ok = false;
    {
        std::lock_guard lock(table.mutex);
        ResourceState* state = Find(table, Resource, "ExConvertExclusiveToSharedLite");
        if (state && state->exclusiveOwner == me) {
            state->shared[me] = state->exclusiveCount;
            state->exclusiveOwner = nullptr;
            state->exclusiveCount = 0;
            ok = true;
        }
    }
    if (ok) Resources().changed.notify_all();
    else ReportViolation("ExConvertExclusiveToSharedLite: resource " + Describe(Resource) + " is not held exclusive");
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    _KTHREAD* me = CurrentThreadObject();
    auto& table = Resources();
    std::lock_guard lock(table.mutex);
    ResourceState* state = Find(table, Resource, "ExIsResourceAcquiredExclusiveLite");
    return state && state->exclusiveOwner == me;
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    _KTHREAD* me = CurrentThreadObject();
    auto& table = Resources();
    std::lock_guard lock(table.mutex);
    ResourceState* state = Find(table, Resource, "ExIsResourceAcquiredSharedLite");
    if (!state) return 0;
    if (state->exclusiveOwner == me) return static_cast<ULONG>(state->exclusiveCount);
    auto it = state->shared.find(me);
    return it == state->shared.end() ? 0 : static_cast<ULONG>(it->second);
}

ERESOURCE_THREAD ExGetCurrentResourceThread(VOID) {
    return reinterpret_cast<ERESOURCE_THREAD>(CurrentThreadObject());
}

// ---- Interlocked lists ----------------------------------------------------------------------------

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, irql);
    return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, irql);
    return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, irql);
    return entry;
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, irql);
    return first;
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Lock);
    PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, irql);
    return entry;
}

KPROCESSOR_MODE ExGetPreviousMode(VOID) {
    ProcessState* process = CurrentProcess();
    return process && !process->isSystem ? UserMode : KernelMode;
}

}  // extern "C"

namespace sim::k {

std::vector<std::string> TakeResourcesIn(const void* begin, std::size_t size) {
    auto& table = Resources();
    const auto low = reinterpret_cast<std::uintptr_t>(begin);
    std::vector<std::string> found;
    std::lock_guard lock(table.mutex);
    for (auto it = table.resources.begin(); it != table.resources.end();) {
        const auto address = reinterpret_cast<std::uintptr_t>(it->first);
        if (address >= low && address < low + size) {
            found.push_back("ERESOURCE " + Describe(it->first) + " (never deleted with ExDeleteResourceLite)");
            it = table.resources.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

}  // namespace sim::k
