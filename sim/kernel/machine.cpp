// The simulated machine: owns every part of the kernel, sets itself as the
// current machine for the exported NT routines, and shuts down in order.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "kinternal.h"
#include "sim/eventlog.h"
#include "sim/registry.h"
#include "sim/trace.h"

namespace sim {

namespace {
std::atomic<Machine::Impl*> currentMachine{nullptr};
std::atomic<std::uint32_t> generations{0};
}  // namespace

namespace k {

sim::Machine::Impl* CurrentImpl() { return currentMachine.load(std::memory_order_acquire); }

sim::Machine::Impl& Kernel() {
    auto* impl = CurrentImpl();
    if (!impl) {
        std::fprintf(stderr, "vkernel: a kernel routine was called while no simulated machine exists\n");
        std::abort();
    }
    return *impl;
}

}  // namespace k

Machine::Impl::Impl(const MachineConfig& machineConfig)
    : config(machineConfig), generation(++generations), verifier(machineConfig.violationHandler) {
    registry = std::make_unique<Registry>();
    trace = std::make_unique<TraceLog>(TraceLog::kDefaultCapacity, machineConfig.traceEcho);
    eventLog = std::make_unique<EventLog>();
}

Machine::Impl::~Impl() {
    pnpFacade.reset();
    pnp.reset();
    driversFacade.reset();
    drivers.reset();
    processesFacade.reset();
    if (processes && processes->system) {
        processes->system->object->state = nullptr;
        k::Dereference(processes->system->object);
        processes->system.reset();
    }
    processes.reset();
    worker.reset();
    dpc.reset();
    k::ReleaseCallbackObjects(*this);
}

Machine::Machine(MachineConfig config) {
    if (currentMachine.load()) {
        std::fprintf(stderr, "vkernel: only one simulated machine may exist at a time\n");
        std::abort();
    }
    impl_ = std::make_unique<Impl>(config);
    impl_->owner = this;
    currentMachine.store(impl_.get(), std::memory_order_release);
    Impl& impl = *impl_;

    std::string error;
    if (config.registryFile && !impl.registry->load(*config.registryFile, &error))
        ReportViolation("the registry file " + config.registryFile->string() + " cannot be loaded: " + error);
    if (config.registryJson && !impl.registry->fromJson(*config.registryJson, &error))
        ReportViolation("the registry document cannot be loaded: " + error);

    if (config.failNthAllocation != 0) impl.pool.failNthAllocation(config.failNthAllocation);
    for (std::uint32_t tag : config.failTags) impl.pool.failTag(tag);

    impl.worker = std::make_unique<k::KernelWorker>("system worker", 4);
    k::StartDpcAndTimers(impl);
    impl.processes = std::make_unique<ProcessManager::Impl>(&impl);
    impl.processesFacade = std::make_unique<ProcessManager>(impl.processes.get());
    impl.drivers = std::make_unique<DriverManager::Impl>(&impl);
    impl.driversFacade = std::make_unique<DriverManager>(impl.drivers.get());
    impl.pnp = std::make_unique<PnpManager::Impl>(&impl);
    impl.pnpFacade = std::make_unique<PnpManager>(impl.pnp.get());
    impl.pnp->rootBus = k::CreateRootBus();
    if (config.bootDevices) impl.pnpFacade->reenumerate();
}

Machine::~Machine() {
    shutdown();
    impl_.reset();
    currentMachine.store(nullptr, std::memory_order_release);
}

Machine& Machine::Current() { return *k::Kernel().owner; }

Machine* Machine::CurrentOrNull() {
    auto* impl = k::CurrentImpl();
    return impl ? impl->owner : nullptr;
}

const MachineConfig& Machine::config() const { return impl_->config; }
Registry& Machine::registry() { return *impl_->registry; }
EventLog& Machine::eventLog() { return *impl_->eventLog; }
TraceLog& Machine::trace() { return *impl_->trace; }
Verifier& Machine::verifier() { return impl_->verifier; }
Pool& Machine::pool() { return impl_->pool; }
PnpManager& Machine::pnp() { return *impl_->pnpFacade; }
DriverManager& Machine::drivers() { return *impl_->driversFacade; }
ProcessManager& Machine::processes() { return *impl_->processesFacade; }
ObjectNamespace& Machine::objects() {
    static ObjectNamespace facade;  // stateless: it reaches the current machine
    return facade;
}
bool Machine::shuttingDown() const { return impl_->shuttingDown.load(); }

std::size_t Machine::runningSystemThreads() const {
    std::lock_guard lock(impl_->threadsMutex);
    std::size_t running = 0;
    for (auto& thread : impl_->threads) running += !thread->finished.load();
    return running;
}

void Machine::shutdown() {
    Impl& impl = *impl_;
    if (impl.shutDown) return;
    impl.shuttingDown.store(true);
    auto& caller = k::Current();
    if (caller.irql != PASSIVE_LEVEL || caller.spinLocksHeld) {
        ReportViolation("the machine is shut down by a thread at IRQL " + std::to_string(caller.irql) + " holding " +
                        std::to_string(caller.spinLocksHeld) + " spin lock(s)");
        caller.irql = PASSIVE_LEVEL;
        caller.spinLocksHeld = 0;
    }

    // Applications end first: their handles close, so drivers see cleanup and close.
    k::ExitAllProcesses(impl);

    // Devices that asked for it hear about the shutdown.
    std::vector<DEVICE_OBJECT*> notify;
    {
        std::lock_guard lock(impl.shutdownMutex);
        notify.swap(impl.shutdownNotifications);
    }
    for (DEVICE_OBJECT* device : notify) {
        k::SendSync(device, k::SyncRequest{IRP_MJ_SHUTDOWN, 0, nullptr, KernelMode, STATUS_SUCCESS, 0, {}});
        k::ExtraOf(device)->shutdownRegistered = false;
        k::Dereference(device);
    }

    // Every devnode is removed, then every driver unloads.
    k::PnpShutdown(impl);
    std::vector<const k::DriverImage*> inUse;
    k::RunOnPnpWorker([&] { inUse = k::UnloadAllDrivers(); });
    auto stillInUse = [&](const k::DriverImage* image) {
        return image && std::find(inUse.begin(), inUse.end(), image) != inUse.end();
    };
    for (int round = 0; round < 3; ++round) {
        impl.pnp->worker.drain();
        impl.worker->drain();
    }
    k::StopDpcAndTimers(impl);

    if (std::size_t open = impl.kernelHandles.size())
        ReportViolation(std::to_string(open) + " kernel handle(s) still open at shutdown");
    impl.kernelHandles.closeAll();

    // System threads get a moment to end; the ones still running are reported (unless their
    // driver stays loaded) and left alone (their images stay mapped).
    auto endingThreads = [&] {
        std::lock_guard lock(impl.threadsMutex);
        std::size_t count = 0;
        for (auto& thread : impl.threads) count += !thread->finished.load() && !stillInUse(thread->image.get());
        return count;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (endingThreads() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
        std::lock_guard lock(impl.threadsMutex);
        for (auto& thread : impl.threads) {
            if (thread->finished.load()) {
                if (thread->thread.joinable()) thread->thread.join();
                k::Dereference(thread->object);
            } else {
                if (!stillInUse(thread->image.get()))
                    ReportViolation("system thread " + k::Describe(reinterpret_cast<void*>(thread->routine)) +
                                " started by " + k::OwnerNameOf(thread->image.get()) + " still runs at shutdown");
                thread->thread.detach();
                k::Abandon(thread.release());  // it may still touch its record
            }
        }
        impl.threads.clear();
    }

    auto irps = k::TakeLiveIrps(nullptr, impl.generation, true);
    irps.erase(std::remove_if(irps.begin(), irps.end(),
                              [&](k::IrpHeader* irp) { return stillInUse(irp->owner); }),
               irps.end());
    for (std::size_t i = 0; i < irps.size() && i < 8; ++i)
        ReportViolation("IRP " + k::Describe(irps[i]->irp()) + " allocated by " + irps[i]->ownerName +
                        " was never freed");
    if (irps.size() > 8) ReportViolation(std::to_string(irps.size() - 8) + " more IRP(s) were never freed");
    for (auto& leak : k::TakeAllPoolLeaks(inUse)) ReportViolation(leak);

    impl.worker->stop();
    impl.pnp->stopped = true;
    impl.pnp->worker.stop();
    impl.shutDown = true;
}

}  // namespace sim
