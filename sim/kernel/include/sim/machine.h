// One simulated Windows machine: object namespace, registry, pool, event log,
// trace sink, PnP tree, loaded drivers, processes and system threads.
//
// Only one machine exists at a time; the exported NT routines reach it through
// Machine::Current(). A simulated reboot is: save the registry (registry().toJson()),
// destroy the machine (devices removed, drivers unloaded), construct a new one
// with the saved registry (MachineConfig::registryJson).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::hw {
class San;
}

namespace sim {

class Registry;
class EventLog;
class TraceLog;
class Verifier;
class Pool;
class PnpManager;
class DriverManager;
class ProcessManager;
class ObjectNamespace;

struct MachineConfig {
    // Where driver images are found: service "x" is <driverDirectory>/x.so.
    std::filesystem::path driverDirectory;
    // Registry to start with: a file written by Registry::save, or a JSON
    // document from Registry::toJson. Neither: the empty standard skeleton.
    std::optional<std::filesystem::path> registryFile;
    std::optional<std::string> registryJson;
    // Copy every DbgPrint line to stderr.
    bool traceEcho = false;
    // Receives each verifier violation. Empty: print and abort.
    std::function<void(const std::string&)> violationHandler;
    // Start the root-enumerated devices recorded under Enum\Root at construction,
    // as a booting Windows does.
    bool bootDevices = true;
    // The simulated SAN the machine's SCSI adapters reach (the vorkasan adapter
    // enumerates its paths). Owned by the caller; it outlives machine reboots.
    sim::hw::San* san = nullptr;
    // Low resources: the machine's n-th pool allocation fails (0: none), and every allocation
    // with one of these tags, as Driver Verifier's fault injection makes them fail.
    std::size_t failNthAllocation = 0;
    std::vector<std::uint32_t> failTags;
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that exists now; aborts when there is none.
    static Machine& Current();
    static Machine* CurrentOrNull();

    const MachineConfig& config() const;
    // The SAN of the machine's hardware, or nullptr.
    sim::hw::San* san() const { return config().san; }

    Registry& registry();
    EventLog& eventLog();
    TraceLog& trace();
    Verifier& verifier();
    Pool& pool();
    PnpManager& pnp();
    DriverManager& drivers();
    ProcessManager& processes();
    ObjectNamespace& objects();

    // System threads (PsCreateSystemThread) that have not ended yet.
    std::size_t runningSystemThreads() const;

    // Orderly shutdown, as the destructor does it: every devnode is removed (remove
    // IRPs), shutdown notifications are sent, every driver is unloaded, and what is
    // still left over (system threads, IRPs, pool, open handles) is reported to the
    // verifier. Idempotent.
    void shutdown();
    bool shuttingDown() const;

    // Kernel-internal state (defined by the kernel's own sources).
    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
