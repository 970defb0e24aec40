#include "world.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <sim/pool.h>
#include <sim/eventlog.h>
#include <sim/objects.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/process.h>
#include <sim/registry.h>
#include <sim/hw/san.h>

#include "defines.h"
#include "vorkatape/install.h"
#include "text.h"

namespace vorkasim {
namespace {

constexpr char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::uint64_t ParseWwnn(const std::string& text)
{
    return text.empty() ? 0 : std::stoull(text, nullptr, 16);
}

}  // namespace

World::World(const Scenario& scenario, WorldOptions options)
    : scenario_(scenario), options_(std::move(options)), san_(std::make_unique<sim::hw::San>())
{
    // Host adapters are numbered as the scenario names them; each drive is reached
    // through its own target port on every path, as a dual-ported drive is.
    for (const auto& drive : scenario_.drives) {
        for (const auto& path : drive.paths) {
            ensureAdapter(path.port);
        }
    }
    for (const auto& drive : scenario_.drives) {
        sim::hw::DriveConfig config;
        config.identity.serial = drive.serial;
        config.identity.vendor = drive.vendor;
        config.identity.product = drive.product;
        config.identity.wwnn = ParseWwnn(drive.wwnn);
        config.identity.ports = static_cast<std::uint32_t>(drive.paths.empty() ? 1 : drive.paths.size());
        config.dpfFlags = drive.dpfFlags;
        config.buffered = drive.buffered;
        config.motion.perCommand = std::chrono::microseconds(drive.perCommandUs);
        config.motion.perObject = std::chrono::microseconds(drive.perObjectUs);
        config.motion.longErase = std::chrono::microseconds(drive.longEraseUs);
        config.motion.load = std::chrono::microseconds(drive.loadUs);
        config.motion.unload = std::chrono::microseconds(drive.unloadUs);
        if (drive.drainUsPerMB >= 0) {
            config.drainPerMB = std::chrono::microseconds(drive.drainUsPerMB);
        }
        config.timing.bytesPerSecond = std::uint64_t{drive.mbps} * 1'000'000;
        config.defaultBlockLength = drive.blockSize;
        config.rewindOnReset = drive.resetRewinds;
        config.resetKeepsBuffer = drive.resetKeepsBuffer;
        config.resetAscq = drive.resetAscq;
        config.modePages = drive.modePagesShared ? sim::hw::ModePagePolicy::Shared : sim::hw::ModePagePolicy::PerLogin;
        config.loginAscq.reset();
        if (drive.loginAscq >= 0) {
            config.loginAscq = static_cast<std::uint8_t>(drive.loginAscq);
        }
        if (drive.capacity != 0 && config.medium) {
            config.medium->capacityBytes = drive.capacity;
            // Without a zone given, the last eighth of a small cartridge warns of its end.
            config.medium->earlyWarningBytes = drive.earlyWarning != 0 ? drive.earlyWarning : drive.capacity / 8;
        }
        if (inLibrary(drive.serial)) {
            config.medium.reset();  // its cartridges come from the library's slots
        }
        auto& tapeDrive = san_->addDrive(config);
        for (std::size_t i = 0; i < drive.paths.size(); ++i) {
            const auto& path = drive.paths[i];
            san_->connect(path.port, path.bus, path.target, path.lun, tapeDrive, static_cast<std::uint32_t>(i));
        }
    }
    addLibraries();
}

World::~World()
{
    shutdown();
}

sim::Machine& World::machine()
{
    if (!machine_) {
        throw std::logic_error("the machine is not running");
    }
    return *machine_;
}

sim::hw::San& World::san()
{
    return *san_;
}

void World::boot()
{
    // The registry the machine boots with: the previous boot's, else the file, else a new
    // one; the scenario's Parameters values are written into it before anything starts.
    sim::Registry registry;
    std::string error;
    if (savedRegistry_) {
        registry.fromJson(*savedRegistry_, &error);
    } else if (options_.registryFile && std::filesystem::exists(*options_.registryFile)) {
        if (!registry.load(*options_.registryFile, &error)) {
            throw std::runtime_error("cannot load the registry file: " + error);
        }
    }
    if (options_.sanCompletesFromDpc) {
        const std::u16string key = std::u16string(kServicesKey) + u"vorkasan\\Parameters";
        registry.createKeyPath(key);
        registry.setDword(key, u"CompleteFromDpc", 1);
    }
    for (const auto& [service, values] : scenario_.registry) {
        const std::u16string key = kServicesKey + Utf16(service) + u"\\Parameters";
        registry.createKeyPath(key);
        for (const auto& [name, value] : values) {
            registry.setDword(key, Utf16(name), value);
        }
    }

    sim::MachineConfig config;
    config.driverDirectory = options_.driverDirectory;
    config.registryJson = registry.toJson();
    config.traceEcho = options_.traceEcho;
    config.san = san_.get();
    if (!booted_) {
        config.failNthAllocation = options_.failNthAllocation;
        config.failTags = options_.failTags;
    }
    booted_ = true;
    config.violationHandler = [this](const std::string& message) {
        std::fprintf(stderr, "vorkasim: verifier: %s\n", message.c_str());
        violations_.push_back(message);
    };
    machine_ = std::make_unique<sim::Machine>(std::move(config));
    installDrivers();
    machine_->pnp().processPendingEnumerations();
}

bool World::changerBusAvailable() const
{
    std::error_code error;
    return std::filesystem::exists(options_.driverDirectory / "vorkacbus.so", error);
}

void World::installDrivers()
{
    // What the installer does once: the tape bus's root device, the tape path stack
    // (vorkatape with the vorkatflt upper filter), the changer path stack (vorkachgr)
    // and the SAN adapter, whose enumeration
    // then builds every path's stack. A later boot finds all of it in the registry and
    // starts it by itself.
    auto& pnp = machine_->pnp();
    bool installed = false;
    for (const auto& device : pnp.devices()) {
        for (const auto& id : device.hardwareIds) {
            installed = installed || EqualsIgnoreCase(id, vorka::install::kSanAdapterHardwareId);
        }
    }
    if (!installed && !scenario_.preinstalled) {
        // The machine before the package: the maker's base drivers on the paths, no bus, no
        // filter; an edition the installer accepts.
        vorka::install::InstallTapeStack(*machine_, {.withFilter = false});
        vorka::install::InstallChangerStack(*machine_, {.withFilter = false});
        vorka::install::InstallSanAdapter(*machine_);
        auto& registry = machine_->registry();
        const std::u16string version = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
        registry.createKeyPath(version);
        registry.setString(version, u"ProductName", u"Windows Server 2022 Datacenter");
        registry.setString(version, u"CurrentVersion", u"6.3");
        return;
    }
    if (!installed) {
        vorka::install::InstallTapeBus(*machine_);
        vorka::install::InstallTapeStack(*machine_);
        // The changer filter loads only while the changer bus's control device exists, and a
        // filter that cannot load takes its path's whole stack with it; so, as the installer does,
        // vorkacflt is bound above vorkachgr exactly when the changer bus is installed, and the
        // bus comes first.
        const bool changerBus = changerBusAvailable();
        if (changerBus) {
            vorka::install::InstallChangerBus(*machine_);
        }
        vorka::install::InstallChangerStack(*machine_, {.withFilter = changerBus});
        vorka::install::InstallSanAdapter(*machine_);
    }
}

void World::reboot()
{
    savedRegistry_ = machine().registry().toJson();
    machine_->shutdown();
    keepEvents();
    keepPoolCounts();
    machine_.reset();
    boot();
}

void World::shutdown()
{
    if (!machine_) {
        return;
    }
    machine_->shutdown();
    keepEvents();
    keepPoolCounts();
    if (options_.registryFile) {
        std::string error;
        if (!machine_->registry().save(*options_.registryFile, &error)) {
            std::fprintf(stderr, "vorkasim: cannot save the registry: %s\n", error.c_str());
        }
    }
    machine_.reset();
}

std::u16string World::pathInstance(const sim::hw::Path& path)
{
    // The SAN adapter names each path's device instance by its address in hexadecimal.
    const auto& a = path.address();
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), "\\%X&%X&%X&%X", a.portNumber, a.pathId, a.targetId, a.lun);
    const std::u16string wanted = Utf16(suffix);
    for (const auto& device : machine().pnp().devices()) {
        const auto& name = device.instancePath;
        if (name.size() >= wanted.size() &&
            EqualsIgnoreCase(std::u16string_view(name).substr(name.size() - wanted.size()), wanted) &&
            device.state != sim::DevNodeState::Deleted) {
            return name;
        }
    }
    return {};
}

void World::keepPoolCounts()
{
    pastAllocations_ += machine_->pool().allocationCount();
    pastInjectedFailures_ += machine_->pool().injectedFailures();
    if (auto refused = machine_->pool().lastInjectedFailure()) pastLastInjected_ = std::move(refused);
}

std::optional<sim::PoolRequest> World::lastInjectedPoolFailure() const
{
    if (machine_) {
        if (auto refused = machine_->pool().lastInjectedFailure()) return refused;
    }
    return pastLastInjected_;
}

std::uint64_t World::poolAllocations() const
{
    return pastAllocations_ + (machine_ ? machine_->pool().allocationCount() : 0);
}

std::uint64_t World::injectedPoolFailures() const
{
    return pastInjectedFailures_ + (machine_ ? machine_->pool().injectedFailures() : 0);
}

void World::keepEvents()
{
    for (auto& entry : machine_->eventLog().entries()) {
        pastEvents_.push_back(std::move(entry));
    }
}

std::vector<sim::EventLogEntry> World::events() const
{
    std::vector<sim::EventLogEntry> all = pastEvents_;
    if (machine_) {
        for (auto& entry : machine_->eventLog().entries()) {
            all.push_back(std::move(entry));
        }
    }
    return all;
}

std::uint32_t World::queryChangers(std::vector<DeviceView>* changers)
{
    changers->clear();
    if (sim::FindDevice(u"\\Device\\VorkaCBusDvc") == nullptr) {
        return 0;
    }
    const std::uint32_t status = queryDevices(changers, u"\\\\.\\VorkaCBusDvcLnk", IOC_CHGR_QUERY_DEVICES);
    // The bus answers STATUS_INVALID_PARAMETER while it has no virtual changer at all.
    return status == static_cast<std::uint32_t>(STATUS_INVALID_PARAMETER) ? 0 : status;
}

std::uint32_t World::queryDevices(std::vector<DeviceView>* devices, std::u16string_view controlLink,
                                  std::uint32_t queryCode)
{
    devices->clear();
    auto& process = machine().processes().create("vorkasim");
    sim::ProcessScope scope(process);
    HANDLE handle = nullptr;
    NTSTATUS status = process.createFile(&handle, controlLink, GENERIC_READ | GENERIC_WRITE);
    if (NT_SUCCESS(status)) {
        // The first answer tells the size of the whole list; the second one carries it.
        ULONG length = QUERY_DEVICES_MIN_OUTPUT;
        for (int attempt = 0; attempt < 2 && NT_SUCCESS(status); ++attempt) {
            auto* buffer = static_cast<std::uint8_t*>(process.alloc(length));
            ULONG_PTR information = 0;
            status = process.deviceIoControl(handle, queryCode, nullptr, 0, buffer, length, &information);
            if (NT_SUCCESS(status)) {
                ULONG required = 0;
                std::memcpy(&required, buffer, sizeof(required));
                if (required > length && attempt == 0) {
                    length = required;
                } else {
                    *devices = vorka::ParseQueryDevices(buffer, information);
                    attempt = 2;
                }
            }
            process.free(buffer);
        }
        process.close(handle);
    }
    machine().processes().exit(process);
    return static_cast<std::uint32_t>(status);
}

}  // namespace vorkasim
