// The simulated world of one vorkasim run: the storage network, which outlives
// reboots, and the machine that boots on it with its registry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sim/eventlog.h>
#include <sim/pool.h>

#include "device_listing.h"
#include "scenario.h"

namespace sim {
class Machine;
class Process;
namespace hw {
class San;
class Path;
}
}  // namespace sim

namespace vorkasim {

// A virtual device and its paths as IOC_QUERY_DEVICES reports them (shared with vorkactl).
using PathView = vorka::PathView;
using DeviceView = vorka::DeviceView;

// The path device of one library control path (the base changer driver's \Device\Changer<n>).
struct ChangerPathView {
    std::string name;  // "Changer0"; empty while the path has no started device
    std::string serial;  // the library's
    std::uint8_t port = 0, bus = 0, target = 0, lun = 0;
};

// One element of a library as the library itself knows it (the ground truth).
struct ElementView {
    std::string element;  // "slot:0", "drive:1", "ie:0", "transport:0"
    bool full = false;
    std::string volume;
};

struct LibraryView {
    std::string serial;
    std::vector<ElementView> elements;
    std::optional<std::size_t> reservedBy;  // the control path whose login holds RESERVE(6)
    bool removalPrevented = false;          // some login holds a medium-removal lock
};

nlohmann::json ChangerPathsToJson(const std::vector<ChangerPathView>& paths);
nlohmann::json ElementsToJson(const std::vector<ElementView>& elements);
nlohmann::json LibrariesToJson(const std::vector<LibraryView>& libraries);

struct WorldOptions {
    std::filesystem::path driverDirectory;
    std::optional<std::filesystem::path> registryFile;  // loaded at boot when it exists, saved at the end
    bool traceEcho = false;
    // The SAN adapter completes about half of the requests from a DPC at DISPATCH_LEVEL, as port
    // drivers do (vorkasan's "CompleteFromDpc" 1); a scenario's own registry value wins.
    bool sanCompletesFromDpc = false;
    // Low resources in the first boot's machine: its n-th pool allocation fails (0: none), and
    // every allocation with one of these tags.
    std::size_t failNthAllocation = 0;
    std::vector<std::uint32_t> failTags;
};

class World {
public:
    World(const Scenario& scenario, WorldOptions options);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Boots the machine: the registry from the file or the previous boot, the scenario's
    // Parameters values, then the root-enumerated tape bus and its drives' paths.
    void boot();
    // Saves the registry, shuts the machine down and boots it again.
    void reboot();
    // Shuts the machine down and saves the registry to the registry file, if any.
    void shutdown();

    sim::Machine& machine();
    sim::hw::San& san();

    // Instance path of the devnode of a SAN path, or empty when it has none.
    std::u16string pathInstance(const sim::hw::Path& path);

    // IOC_QUERY_DEVICES on the tape bus's control device, as an application asks it.
    // Returns the NT status of the request.
    std::uint32_t queryDevices(std::vector<DeviceView>* devices,
                               std::u16string_view controlLink = u"\\\\.\\VorkaTBusDvcLnk",
                               std::uint32_t queryCode = 0x84CAC01C /* the tape bus's IOC_QUERY_DEVICES */);
    // The changer bus's virtual changers with their control paths (IOC_QUERY_DEVICES on its
    // control device); none without the changer bus or while no library registered a path.
    std::uint32_t queryChangers(std::vector<DeviceView>* changers);

    // Every library control path with its base changer device.
    std::vector<ChangerPathView> changerPaths();
    // Where every cartridge of every library is.
    std::vector<LibraryView> libraries() const;

    // The system event log of every boot so far, oldest first (it survives reboots, as the
    // event log file does).
    std::vector<sim::EventLogEntry> events() const;

    // Verifier violations reported so far (the run goes on and reports them).
    const std::vector<std::string>& violations() const { return violations_; }
    // Pool allocations the run's machines were asked for, and how many of them failed on purpose.
    std::uint64_t poolAllocations() const;
    std::uint64_t injectedPoolFailures() const;
    std::optional<sim::PoolRequest> lastInjectedPoolFailure() const;

private:
    void installDrivers();
    // The changer bus driver's image is there to be installed.
    bool changerBusAvailable() const;
    void addLibraries();
    bool inLibrary(const std::string& driveSerial) const;
    void ensureAdapter(std::uint8_t port);
    void keepEvents();
    void keepPoolCounts();

    Scenario scenario_;
    WorldOptions options_;
    std::unique_ptr<sim::hw::San> san_;
    std::unique_ptr<sim::Machine> machine_;
    std::optional<std::string> savedRegistry_;
    std::vector<std::string> violations_;
    std::vector<sim::EventLogEntry> pastEvents_;
    std::uint64_t pastAllocations_ = 0;      // of the machines shut down so far
    std::uint64_t pastInjectedFailures_ = 0;
    std::optional<sim::PoolRequest> pastLastInjected_;
    bool booted_ = false;
};

}  // namespace vorkasim
