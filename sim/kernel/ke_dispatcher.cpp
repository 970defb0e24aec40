// Dispatcher objects and waits. Events, semaphores, mutexes, timers and thread
// objects live in the caller's memory with their Windows layout; one global
// dispatcher lock guards their state, and a waiting thread links one wait block
// per object into the object's WaitListHead and sleeps on its own condition
// semaphore until a signaller satisfies it.

#include <cerrno>
#include <chrono>
#include <ctime>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {

std::mutex& DispatcherLock() {
    // Immortal: threads that outlive a machine (reported leaks) may still wait.
    static std::mutex* lock = new std::mutex;
    return *lock;
}

void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG signalState) {
    header->Lock = 0;
    header->Type = type;
    header->Size = size;
    header->SignalState = signalState;
    InitializeListHead(&header->WaitListHead);
}

WaitContext::WaitContext() { sem_init(&wake, 0, 0); }
WaitContext::~WaitContext() { sem_destroy(&wake); }

void WaitContext::post() noexcept { sem_post(&wake); }

void WaitContext::take() noexcept {
    while (sem_wait(&wake) != 0 && errno == EINTR) {
    }
}

bool WaitContext::takeUntil(std::chrono::steady_clock::time_point deadline) noexcept {
    // steady_clock is CLOCK_MONOTONIC on Linux.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    for (;;) {
        if (sem_clockwait(&wake, CLOCK_MONOTONIC, &until) == 0) return true;
        if (errno != EINTR) return false;
    }
}

namespace {

bool Signalled(DISPATCHER_HEADER* object, _KTHREAD* thread) {
    if (object->Type == MutantObject) {
        auto* mutant = reinterpret_cast<KMUTANT*>(object);
        return object->SignalState > 0 || mutant->OwnerThread == thread;
    }
    return object->SignalState > 0;
}

void Acquire(DISPATCHER_HEADER* object, _KTHREAD* thread) {
    switch (object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject: object->SignalState = 0; break;
    case SemaphoreObject: --object->SignalState; break;
    case MutantObject:
        --object->SignalState;
        reinterpret_cast<KMUTANT*>(object)->OwnerThread = thread;
        break;
    default: break;
    }
}

void Satisfy(WaitContext* context, NTSTATUS result, DispatcherGuard& held) {
    for (ULONG i = 0; i < context->count; ++i) RemoveEntryList(&context->blocks[i].link);
    context->satisfied = true;
    context->result.store(result, std::memory_order_release);
    held.wakeLater(context);
}

// A dispatcher object that was never initialised has a null wait list.
bool CheckInitialised(DISPATCHER_HEADER* object, const char* routine) {
    if (object->WaitListHead.Flink && object->WaitListHead.Blink) return true;
    ReportViolation(std::string(routine) + ": dispatcher object " + Describe(object) +
                    " was never initialised");
    InitializeListHead(&object->WaitListHead);
    return false;
}

}  // namespace

DispatcherGuard::~DispatcherGuard() {
    lock_.unlock();
    for (WaitContext* context : woken_) context->post();
}

void WakeWaitersLocked(DISPATCHER_HEADER* object, DispatcherGuard& held) {
    LIST_ENTRY* head = &object->WaitListHead;
    if (!head->Flink) return;
    bool progress = true;
    while (progress && object->SignalState > 0) {
        progress = false;
        for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
            auto* block = CONTAINING_RECORD(entry, WaitBlockK, link);
            WaitContext* context = block->context;
            if (context->type == WaitAny) {
                if (!Signalled(object, context->thread)) continue;
                Acquire(object, context->thread);
                Satisfy(context, STATUS_WAIT_0 + static_cast<NTSTATUS>(block->index), held);
            } else {
                bool all = true;
                for (ULONG i = 0; i < context->count && all; ++i)
                    all = Signalled(context->blocks[i].object, context->thread);
                if (!all) continue;
                for (ULONG i = 0; i < context->count; ++i) Acquire(context->blocks[i].object, context->thread);
                Satisfy(context, STATUS_WAIT_0, held);
            }
            // The list changed under the iteration: start over.
            progress = true;
            break;
        }
    }
}

void SignalThreadObject(_KTHREAD* thread) {
    DispatcherGuard lock;
    thread->Header.SignalState = 1;
    WakeWaitersLocked(&thread->Header, lock);
}

namespace {

NTSTATUS WaitForObjectsUnlocked(ULONG count, void* const* objects, WAIT_TYPE type, const LARGE_INTEGER* timeout,
                                 const char* routine);

// A thread that takes a KMUTEX (not recursively) has normal kernel APCs disabled until it
// releases it, as with KeEnterCriticalRegion.
void NoteMutexAcquired(void* object) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    if (header->Type != MutantObject) return;
    bool first;
    {
        std::lock_guard lock(DispatcherLock());
        first = header->SignalState == 0;
    }
    if (!first) return;
    ++Current().criticalRegion;
    ++Current().mutexesHeld;
}

NTSTATUS WaitForObjects(ULONG count, void* const* objects, WAIT_TYPE type, const LARGE_INTEGER* timeout,
                        const char* routine) {
    NTSTATUS status = WaitForObjectsUnlocked(count, objects, type, timeout, routine);
    if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(count)) {
        if (type == WaitAny) NoteMutexAcquired(objects[status - STATUS_WAIT_0]);
        else
            for (ULONG i = 0; i < count; ++i) NoteMutexAcquired(objects[i]);
    }
    return status;
}

NTSTATUS WaitForObjectsUnlocked(ULONG count, void* const* objects, WAIT_TYPE type, const LARGE_INTEGER* timeout,
                                 const char* routine) {
    auto& state = Current();
    const bool zeroTimeout = timeout && timeout->QuadPart == 0;
    if (state.irql > DISPATCH_LEVEL)
        ReportViolation(std::string(routine) + " called at IRQL " + std::to_string(state.irql));
    else if (state.irql > APC_LEVEL && !zeroTimeout)
        ReportViolation(std::string(routine) + " waits at IRQL " + std::to_string(state.irql) +
                        " (only a zero timeout is allowed above APC_LEVEL)");
    if (state.spinLocksHeld > 0 && !zeroTimeout)
        ReportViolation(std::string(routine) + " waits while the thread holds " +
                        std::to_string(state.spinLocksHeld) + " spin lock(s)");
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        ReportViolation(std::string(routine) + ": " + std::to_string(count) + " objects");
        return STATUS_INVALID_PARAMETER;
    }

    _KTHREAD* me = CurrentThreadObject();
    WaitContext& wait = state.wait;
    std::unique_lock lock(DispatcherLock());
    for (ULONG i = 0; i < count; ++i) {
        if (!objects[i]) {
            lock.unlock();
            ReportViolation(std::string(routine) + ": NULL object");
            return STATUS_INVALID_PARAMETER;
        }
        CheckInitialised(static_cast<DISPATCHER_HEADER*>(objects[i]), routine);
    }

    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            auto* object = static_cast<DISPATCHER_HEADER*>(objects[i]);
            if (Signalled(object, me)) {
                Acquire(object, me);
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count && all; ++i) all = Signalled(static_cast<DISPATCHER_HEADER*>(objects[i]), me);
        if (all) {
            for (ULONG i = 0; i < count; ++i) Acquire(static_cast<DISPATCHER_HEADER*>(objects[i]), me);
            return STATUS_WAIT_0;
        }
    }
    if (zeroTimeout) return STATUS_TIMEOUT;

    wait.count = count;
    wait.type = type;
    wait.satisfied = false;
    wait.result.store(STATUS_TIMEOUT, std::memory_order_relaxed);
    wait.thread = me;
    for (ULONG i = 0; i < count; ++i) {
        auto* object = static_cast<DISPATCHER_HEADER*>(objects[i]);
        wait.blocks[i].context = &wait;
        wait.blocks[i].object = object;
        wait.blocks[i].index = i;
        InsertTailList(&object->WaitListHead, &wait.blocks[i].link);
    }

    if (!timeout) {
        lock.unlock();
        wait.take();
        return wait.result.load(std::memory_order_acquire);
    }
    using namespace std::chrono;
    steady_clock::time_point deadline;
    if (timeout->QuadPart < 0) {
        deadline = steady_clock::now() + nanoseconds(-timeout->QuadPart * 100);
    } else {
        LONGLONG relative = timeout->QuadPart - SystemTimeNow();
        deadline = steady_clock::now() + nanoseconds(relative > 0 ? relative * 100 : 0);
    }
    lock.unlock();
    if (wait.takeUntil(deadline)) return wait.result.load(std::memory_order_acquire);
    lock.lock();
    if (!wait.satisfied) {
        for (ULONG i = 0; i < count; ++i) RemoveEntryList(&wait.blocks[i].link);
        return STATUS_TIMEOUT;
    }
    // Satisfied as the time ran out: the signaller posts as soon as it releases the lock (it
    // has, or this thread would not hold it); take that post, so the next wait does not find it.
    lock.unlock();
    wait.take();
    return wait.result.load(std::memory_order_acquire);
}

}  // namespace

NTSTATUS WaitOne(void* object, const LARGE_INTEGER* timeout) {
    void* objects[1] = {object};
    return WaitForObjects(1, objects, WaitAny, timeout, "KeWaitForSingleObject");
}

}  // namespace sim::k

using namespace sim::k;

extern "C" {

// ---- Events ---------------------------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeDispatcherHeader(&Event->Header,
                               Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                               sizeof(KEVENT) / 4, State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    DispatcherGuard lock;
    LONG old = Event->Header.SignalState;
    if (old == 0) {
        Event->Header.SignalState = 1;
        WakeWaitersLocked(&Event->Header, lock);
    }
    return old;
}

LONG KeResetEvent(PRKEVENT Event) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard lock(DispatcherLock());
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard lock(DispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard lock(DispatcherLock());
    return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    DispatcherGuard lock;
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaitersLocked(&Event->Header, lock);
    Event->Header.SignalState = 0;
    return old;
}

// ---- Semaphores -------------------------------------------------------------------------------

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    InitializeDispatcherHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / 4, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    LONG old;
    bool exceeded;
    {
        DispatcherGuard lock;
        old = Semaphore->Header.SignalState;
        exceeded = Adjustment <= 0 || old > Semaphore->Limit - Adjustment;
        if (!exceeded) {
            Semaphore->Header.SignalState = old + Adjustment;
            if (old == 0) WakeWaitersLocked(&Semaphore->Header, lock);
        }
    }
    // The count never passes the limit: Windows raises, and so does this kernel.
    if (exceeded) ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard lock(DispatcherLock());
    return Semaphore->Header.SignalState;
}

// ---- Mutexes -------------------------------------------------------------------------------------

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    InitializeDispatcherHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX) / 4, 1);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    _KTHREAD* me = CurrentThreadObject();
    bool notOwner = false;
    bool released = false;
    LONG old;
    {
        DispatcherGuard lock;
        old = Mutex->Header.SignalState;
        if (Mutex->OwnerThread != me || old > 0) {
            notOwner = true;
        } else {
            ++Mutex->Header.SignalState;
            if (Mutex->Header.SignalState == 1) {
                Mutex->OwnerThread = nullptr;
                WakeWaitersLocked(&Mutex->Header, lock);
                released = true;
            }
        }
    }
    if (released) {
        auto& state = Current();
        if (state.mutexesHeld > 0) {
            --state.mutexesHeld;
            --state.criticalRegion;
        }
    }
    if (notOwner) ReportViolation("KeReleaseMutex of mutex " + Describe(Mutex) + " by a thread that does not own it");
    return old;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard lock(DispatcherLock());
    return Mutex->Header.SignalState;
}

// ---- Waits ----------------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    void* objects[1] = {Object};
    return WaitForObjects(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
        ReportViolation("KeWaitForMultipleObjects: more than THREAD_WAIT_OBJECTS objects and no wait block array");
    return WaitForObjects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    auto& state = Current();
    if (state.irql > APC_LEVEL)
        ReportViolation("KeDelayExecutionThread called at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 1)");
    if (state.spinLocksHeld > 0) ReportViolation("KeDelayExecutionThread while the thread holds a spin lock");
    using namespace std::chrono;
    if (!Interval) return STATUS_INVALID_PARAMETER;
    LONGLONG relative = Interval->QuadPart < 0 ? -Interval->QuadPart : Interval->QuadPart - SystemTimeNow();
    if (relative <= 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(nanoseconds(relative * 100));
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
