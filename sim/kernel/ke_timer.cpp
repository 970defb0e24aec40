// Kernel timers and DPCs: one service thread per machine fires due timers
// (signalling them as dispatcher objects) and runs queued DPCs at
// DISPATCH_LEVEL, one at a time.

#include <algorithm>
#include <chrono>
#include <cstring>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {



void DpcTimerService::loop() {
    auto& state = Current();
    state.systemThread = true;
    std::unique_lock lock(mutex);
    while (!stopping) {
        auto now = Clock::now();
        // Fire every due timer.
        std::vector<KTIMER*> due;
        for (auto& [timer, armed] : timers)
            if (armed.due <= now) due.push_back(timer);
        for (KTIMER* timer : due) {
            Armed armed = timers[timer];
            if (armed.period > 0) timers[timer].due = now + std::chrono::milliseconds(armed.period);
            else timers.erase(timer);
            {
                DispatcherGuard dispatcher;
                timer->Header.SignalState = 1;
                WakeWaitersLocked(&timer->Header, dispatcher);
            }
            if (armed.dpc) queueDpcLocked(armed.dpc, nullptr, nullptr);
        }
        if (!dpcs.empty()) {
            KDPC* dpc = dpcs.front();
            dpcs.pop_front();
            dpc->DpcData = nullptr;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext, argument1 = dpc->SystemArgument1, argument2 = dpc->SystemArgument2;
            lock.unlock();
            state.irql = DISPATCH_LEVEL;
            routine(dpc, context, argument1, argument2);
            if (state.irql != DISPATCH_LEVEL || state.spinLocksHeld)
                ReportViolation("DPC routine " + Describe(reinterpret_cast<void*>(routine)) + " returned at IRQL " +
                                std::to_string(state.irql) + " with " + std::to_string(state.spinLocksHeld) +
                                " spin lock(s)");
            state.irql = PASSIVE_LEVEL;
            state.spinLocksHeld = 0;
            lock.lock();
            continue;
        }
        if (timers.empty()) {
            changed.wait(lock);
        } else {
            auto next = Clock::time_point::max();
            for (auto& [timer, armed] : timers) next = std::min(next, armed.due);
            changed.wait_until(lock, next);
        }
    }
}

void StartDpcAndTimers(sim::Machine::Impl& impl) {
    impl.dpc = std::make_unique<DpcTimerService>();
    DpcTimerService* service = impl.dpc.get();
    service->thread = std::thread([service] { service->loop(); });
}

void StopDpcAndTimers(sim::Machine::Impl& impl) {
    if (!impl.dpc) return;
    {
        std::lock_guard lock(impl.dpc->mutex);
        impl.dpc->stopping = true;
        impl.dpc->timers.clear();
        impl.dpc->dpcs.clear();
    }
    impl.dpc->changed.notify_all();
    if (impl.dpc->thread.joinable()) impl.dpc->thread.join();
}

void CancelTimersOfRange(std::uintptr_t begin, std::uintptr_t end) {
    auto* impl = CurrentImpl();
    if (!impl || !impl->dpc) return;
    auto inRange = [&](KDPC* dpc) {
        auto routine = reinterpret_cast<std::uintptr_t>(dpc->DeferredRoutine);
        return routine >= begin && routine < end;
    };
    std::vector<std::string> problems;
    {
        std::lock_guard lock(impl->dpc->mutex);
        for (auto it = impl->dpc->timers.begin(); it != impl->dpc->timers.end();) {
            if (it->second.dpc && inRange(it->second.dpc)) {
                problems.push_back("timer " + Describe(it->first) + " with a DPC of the unloading driver is still set");
                it = impl->dpc->timers.erase(it);
            } else {
                ++it;
            }
        }
        auto& dpcs = impl->dpc->dpcs;
        for (auto it = dpcs.begin(); it != dpcs.end();) {
            if (inRange(*it)) {
                problems.push_back("DPC " + Describe(*it) + " of the unloading driver is still queued");
                (*it)->DpcData = nullptr;
                it = dpcs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& problem : problems) ReportViolation(problem);
}

std::vector<std::string> TakeTimersAndDpcsIn(const void* begin, std::size_t size) {
    auto* impl = CurrentImpl();
    if (!impl || !impl->dpc || size == 0) return {};
    const auto low = reinterpret_cast<std::uintptr_t>(begin);
    auto inside = [&](const void* object) {
        const auto address = reinterpret_cast<std::uintptr_t>(object);
        return address >= low && address < low + size;
    };
    std::vector<std::string> found;
    std::lock_guard lock(impl->dpc->mutex);
    for (auto it = impl->dpc->timers.begin(); it != impl->dpc->timers.end();) {
        if (inside(it->first)) {
            found.push_back("KTIMER " + Describe(it->first) + " (still set: KeCancelTimer first)");
            it = impl->dpc->timers.erase(it);
        } else {
            ++it;
        }
    }
    auto& dpcs = impl->dpc->dpcs;
    for (auto it = dpcs.begin(); it != dpcs.end();) {
        if (inside(*it)) {
            found.push_back("KDPC " + Describe(*it) + " (still queued)");
            (*it)->DpcData = nullptr;
            it = dpcs.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

std::vector<std::string> TakeLiveObjectsIn(const void* begin, std::size_t size) {
    std::vector<std::string> found = TakeResourcesIn(begin, size);
    for (auto& object : TakeTimersAndDpcsIn(begin, size)) found.push_back(std::move(object));
    return found;
}

namespace {
DpcTimerService& Service() { return *Kernel().dpc; }

Clock::time_point DueTimeOf(LARGE_INTEGER dueTime) {
    if (dueTime.QuadPart < 0) return Clock::now() + std::chrono::nanoseconds(-dueTime.QuadPart * 100);
    LONGLONG relative = dueTime.QuadPart - SystemTimeNow();
    return Clock::now() + std::chrono::nanoseconds(relative > 0 ? relative * 100 : 0);
}
}  // namespace

}  // namespace sim::k

using namespace sim::k;

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::memset(Dpc, 0, sizeof(KDPC));
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    auto& service = Service();
    {
        std::lock_guard lock(service.mutex);
        if (Dpc->DpcData) return FALSE;
        service.queueDpcLocked(Dpc, SystemArgument1, SystemArgument2);
    }
    service.changed.notify_all();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    auto& service = Service();
    std::lock_guard lock(service.mutex);
    if (!Dpc->DpcData) return FALSE;
    service.dpcs.erase(std::remove(service.dpcs.begin(), service.dpcs.end(), Dpc), service.dpcs.end());
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    std::memset(Timer, 0, sizeof(KTIMER));
    InitializeDispatcherHeader(&Timer->Header,
                               Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject,
                               sizeof(KTIMER) / 4, 0);
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    auto& service = Service();
    bool wasSet;
    {
        std::lock_guard lock(service.mutex);
        wasSet = service.timers.erase(Timer) != 0;
        {
            std::lock_guard dispatcher(DispatcherLock());
            Timer->Header.SignalState = 0;
        }
        Timer->Dpc = Dpc;
        Timer->Period = static_cast<ULONG>(Period);
        service.timers[Timer] = DpcTimerService::Armed{DueTimeOf(DueTime), Period, Dpc};
    }
    service.changed.notify_all();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    auto& service = Service();
    std::lock_guard lock(service.mutex);
    return service.timers.erase(Timer) != 0 ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard lock(DispatcherLock());
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

}  // extern "C"
