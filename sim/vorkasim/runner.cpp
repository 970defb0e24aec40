#include "runner.h"

#include <chrono>
#include <thread>
#include <algorithm>

#include <cstdio>
#include <stdexcept>

#include <sim/drivers.h>
#include <sim/machine.h>
#include <sim/objects.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/process.h>
#include <sim/hw/fault.h>
#include <sim/hw/library.h>
#include <sim/hw/san.h>

#include "defines.h"
#include "scenario.h"
#include "text.h"
#include "vorkatape/install.h"

namespace vorkasim {
std::string RequiredString(const nlohmann::json& step, const char* name)
{
    if (!step.contains(name) || !step.at(name).is_string()) {
        throw std::runtime_error("step \"" + step.at("op").get<std::string>() + "\" needs a string \"" + name + "\"");
    }
    return step.at(name).get<std::string>();
}

sim::Account StepAccount(const nlohmann::json& step)
{
    if (!step.contains("account")) {
        return sim::Account::Administrator;
    }
    const auto& name = step.at("account");
    const auto account = name.is_string() ? sim::AccountNamed(name.get<std::string>()) : std::nullopt;
    if (!account) {
        throw ScenarioError("step \"" + step.at("op").get<std::string>() +
                            "\": \"account\" is \"administrator\", \"backup operator\", \"user\" or \"system\"");
    }
    return *account;
}

nlohmann::json DevicesToJson(const std::vector<DeviceView>& devices)
{
    // The same document vorkactl list --json prints.
    return nlohmann::json::parse(vorka::DevicesJson(devices));
}

StepResult Runner::run(const nlohmann::json& step, std::uint32_t number)
{
    const std::string op = step.at("op").get<std::string>();
    if (IsDataStep(op)) {
        return data(op, step, number);
    }
    if (op == "parallel") {
        return parallel(step);
    }
    if (op == "verify") {
        return verify(step);
    }
    if (op == "list") {
        StepResult result{step};
        result.status = world_.queryDevices(&result.devices);
        result.changerPaths = world_.changerPaths();
        const std::uint32_t changerStatus = world_.queryChangers(&result.changers);
        result.status = result.status != 0 ? result.status : changerStatus;
        return result;
    }
    if (op == "reboot") {
        StepResult result{step};
        handles_.clear();  // the applications that held them ended with the machine
        blockSizes_.clear();
        world_.reboot();
        result.detail = "machine restarted, registry kept";
        return result;
    }
    if (op == "open") {
        return open(step);
    }
    if (op == "close") {
        return close(step);
    }
    if (op == "stop" || op == "start" || op == "surprise-remove" || op == "remove" || op == "add") {
        return pathEvent(op, step);
    }
    if (op == "fault" || op == "clear-faults" || op == "reset" || op == "power-cycle" || op == "door-open" ||
        op == "door-close" || op == "robot-hold" || op == "robot-release") {
        return fault(op, step);
    }
    if (op == "move" || op == "exchange" || op == "inventory" || op == "elements") {
        return changer(op, step);
    }
    if (op == "bus-stop" || op == "bus-start" || op == "bus-remove" || op == "bus-add") {
        return busEvent(op, step);
    }
    if (op == "unload") {
        return unload(step);
    }
    if (op == "wait") {
        return wait(step);
    }
    if (op == "install" || op == "uninstall") {
        return installer(op, step);
    }
    if (op == "exec") {
        return exec(step);
    }
    if (op == "medium") {
        // The ground truth: what is on the drive's tape, record by record, and what
        // the drive acknowledged but holds in its write buffer.
        StepResult result{step};
        sim::hw::TapeDrive* drive = target(op, step, false).first;
        result.detail = drive->dumpMedium();
        if (const auto buffered = drive->bufferedRecords().size(); buffered != 0) {
            result.detail += std::to_string(buffered) + " objects in the write buffer\n";
        }
        return result;
    }
    if (op == "flush") {
        // The drive writes its buffer to the tape in its own time; this is that time.
        StepResult result{step};
        target(op, step, false).first->flushBuffer();
        result.detail = "drive " + RequiredString(step, "drive") + " wrote its buffer";
        return result;
    }
    throw std::runtime_error("unknown step \"" + op + "\"");
}

StepResult Runner::open(const nlohmann::json& step)
{
    StepResult result{step};
    const std::string device = RequiredString(step, "device");
    const std::string name = RequiredString(step, "handle");
    if (handles_.count(name) != 0) {
        // A second open under the name would lose the first handle: it could never be closed.
        throw ScenarioError("step \"open\": handle " + name + " is still open; close it first or use another name");
    }
    auto& process = world_.machine().processes().create("vorkasim-app " + name, false, StepAccount(step));
    sim::ProcessScope scope(process);
    HANDLE handle = nullptr;
    result.status = static_cast<std::uint32_t>(
        process.createFile(&handle, Utf16("\\\\.\\" + device), GENERIC_READ | GENERIC_WRITE));
    if (NT_SUCCESS(static_cast<NTSTATUS>(result.status))) {
        handles_[name] = AppHandle{&process, handle, device};
        // The drive a virtual device's handle reaches is known from now on, also when the device
        // goes before the handle's first data step (the bus removed while it writes).
        handles_[name].serial = virtualSerial(device);
        if (blockSizes_.count(device) == 0) {
            const bool fixedDefaults = std::any_of(scenario_.drives.begin(), scenario_.drives.end(),
                                                   [](const DriveSpec& drive) { return drive.blockSize != 0; });
            blockSizes_[device].known = !fixedDefaults;
        }
        result.detail = "\\\\.\\" + device + " open as " + name;
    } else {
        world_.machine().processes().exit(process);
        result.detail = "\\\\.\\" + device + " not opened";
    }
    return result;
}

std::string Runner::virtualSerial(const std::string& device)
{
    std::vector<DeviceView> devices;
    world_.queryDevices(&devices);
    for (const auto& view : devices) {
        if (view.name == device) {
            return view.serial;
        }
    }
    return {};
}

StepResult Runner::close(const nlohmann::json& step)
{
    StepResult result{step};
    const std::string name = RequiredString(step, "handle");
    auto it = handles_.find(name);
    if (it == handles_.end()) {
        result.status = static_cast<std::uint32_t>(STATUS_INVALID_HANDLE);
        result.detail = "no open handle " + name;
        return result;
    }
    sim::Process* process = it->second.process;
    {
        sim::ProcessScope scope(*process);
        result.status = static_cast<std::uint32_t>(process->close(it->second.handle));
    }
    world_.machine().processes().exit(*process);
    handles_.erase(it);
    result.detail = name + " closed";
    return result;
}

std::pair<sim::hw::TapeDrive*, sim::hw::Path*> Runner::target(const std::string& op, const nlohmann::json& step,
                                                               bool pathRequired)
{
    const std::string serial = RequiredString(step, "drive");
    const DriveSpec* drive = nullptr;
    for (const auto& candidate : scenario_.drives) {
        drive = candidate.serial == serial ? &candidate : drive;
    }
    sim::hw::TapeDrive* tapeDrive = world_.san().findDrive(serial);
    if (drive == nullptr || tapeDrive == nullptr) {
        throw std::runtime_error("step \"" + op + "\": no drive " + serial);
    }
    if (!step.contains("path")) {
        if (pathRequired) {
            throw std::runtime_error("step \"" + op + "\" needs a number \"path\"");
        }
        return {tapeDrive, nullptr};
    }
    if (!step.at("path").is_number_unsigned() || step.at("path").get<std::size_t>() >= drive->paths.size()) {
        throw std::runtime_error("step \"" + op + "\": drive " + serial + " has no such path");
    }
    const PathSpec& spec = drive->paths[step.at("path").get<std::size_t>()];
    sim::hw::Path* path = world_.san().findPath(sim::hw::ScsiAddress{spec.port, spec.bus, spec.target, spec.lun});
    if (path == nullptr) {
        throw std::runtime_error("step \"" + op + "\": the SAN has no such path");
    }
    return {tapeDrive, path};
}

// Faults of the hardware: {"op":"fault","drive":serial[,"path":i],"kind":"fail"|"down"|"partial_write"|
// "reset"|"refuse_preempt"|"verify_in_progress"|"deferred_error"|"partial_transfer"[,"count":n][,"status":n]
// [,"sense":"0B/47/00"][,"opcode":n]
// [,"k":n][,"executed":true][,"holdMs":n][,"login":"failure"|"return"|"never"][,"resetAfter":true]
// [,"srbStatus":"selection-timeout"|"no-device"|"command-timeout"|"aborted"|"bus-reset"|"error-no-sense"]
// [,"scsiStatus":"busy"|"task-set-full"][,"runningMs":n]} arms one
// on a path, or on the drive for every path; "clear-faults" clears them (and brings paths back up); "reset"
// resets the drive at once, "power-cycle" turns it off and on.
sim::hw::Fault FaultFromStep(const nlohmann::json& step)
{
    sim::hw::Fault fault;
    const auto kind = sim::hw::faultKindFromString(RequiredString(step, "kind"));
    if (!kind) {
        throw std::runtime_error("step \"fault\": unknown kind \"" + step.at("kind").get<std::string>() + "\"");
    }
    fault.kind = *kind;
    fault.count = step.value("count", fault.count);
    fault.status = step.value("status", fault.status);
    fault.opcode = step.value("opcode", fault.opcode);
    fault.k = step.value("k", fault.k);
    fault.executed = step.value("executed", fault.executed);
    fault.holdMs = step.value("holdMs", fault.holdMs);
    if (fault.holdMs > 600'000) {
        throw std::runtime_error("step \"fault\": \"holdMs\" must be at most 600000 (ten minutes)");
    }
    fault.resetAfter = step.value("resetAfter", fault.resetAfter);
    if (step.contains("srbStatus")) {
        const auto srb = sim::hw::srbStatusFromString(RequiredString(step, "srbStatus"));
        if (!srb) {
            throw std::runtime_error("step \"fault\": \"srbStatus\" is \"selection-timeout\", \"no-device\", "
                                     "\"command-timeout\", \"aborted\", \"bus-reset\" or \"error-no-sense\"");
        }
        fault.srbStatus = *srb;
    }
    if (step.contains("scsiStatus")) {
        const auto scsi = sim::hw::scsiStatusFromString(RequiredString(step, "scsiStatus"));
        if (!scsi) {
            throw std::runtime_error("step \"fault\": \"scsiStatus\" is \"busy\" or \"task-set-full\"");
        }
        if (fault.executed) {
            throw std::runtime_error("step \"fault\": a busy device runs nothing: \"scsiStatus\" takes no \"executed\"");
        }
        fault.scsiStatus = *scsi;
    }
    if ((fault.srbStatus != 0 || fault.scsiStatus != 0) && fault.kind != sim::hw::FaultKind::FailCommands &&
        !(fault.srbStatus != 0 && (fault.kind == sim::hw::FaultKind::PartialWrite ||
                                   fault.kind == sim::hw::FaultKind::PartialTransfer))) {
        throw std::runtime_error("step \"fault\": \"srbStatus\" is for \"fail\", \"partial_write\" and "
                                 "\"partial_transfer\", \"scsiStatus\" for \"fail\"");
    }
    fault.runningMs = step.value("runningMs", fault.runningMs);
    if (fault.runningMs > 600'000) {
        throw std::runtime_error("step \"fault\": \"runningMs\" must be at most 600000 (ten minutes)");
    }
    if (fault.runningMs != 0 && fault.kind != sim::hw::FaultKind::PathDown) {
        throw std::runtime_error("step \"fault\": \"runningMs\" is for \"down\"");
    }
    if (step.contains("login")) {
        const auto login = sim::hw::loginLossFromString(RequiredString(step, "login"));
        if (!login) {
            throw std::runtime_error("step \"fault\": \"login\" is \"failure\", \"return\" or \"never\"");
        }
        fault.login = *login;
    }
    if (step.contains("sense")) {
        unsigned key = 0, asc = 0, ascq = 0;
        if (std::sscanf(RequiredString(step, "sense").c_str(), "%x/%x/%x", &key, &asc, &ascq) != 3) {
            throw std::runtime_error("step \"fault\": \"sense\" is written KEY/ASC/ASCQ in hexadecimal");
        }
        fault.senseKey = static_cast<std::uint8_t>(key);
        fault.asc = static_cast<std::uint8_t>(asc);
        fault.ascq = static_cast<std::uint8_t>(ascq);
    }
    return fault;
}

StepResult Runner::fault(const std::string& op, const nlohmann::json& step)
{
    if (sim::hw::TapeLibrary* library = world_.san().findLibrary(RequiredString(step, "drive"))) {
        return libraryFault(op, step, *library);
    }
    if (op.rfind("door-", 0) == 0 || op.rfind("robot-", 0) == 0) {
        throw ScenarioError("step \"" + op + "\": " + RequiredString(step, "drive") + " is not a library");
    }
    StepResult result{step};
    auto [drive, path] = target(op, step, false);
    if (op == "reset") {
        drive->reset();
        result.detail = "drive " + RequiredString(step, "drive") + " reset";
        return result;
    }
    if (op == "power-cycle") {
        drive->powerCycle();
        result.detail = "drive " + RequiredString(step, "drive") + " switched off and on";
        return result;
    }
    if (op == "clear-faults") {
        if (path != nullptr) {
            path->clearFaults();
        } else {
            drive->clearFaults();
        }
        result.detail = "faults cleared";
        return result;
    }
    const sim::hw::Fault fault = FaultFromStep(step);
    if (path != nullptr) {
        path->injectFault(fault);
    } else {
        drive->injectFault(fault);
    }
    result.detail = (path != nullptr ? path->address().toString() : "drive " + drive->identity().serial) + ": " +
                    fault.describe();
    return result;
}

// Plug and Play events of one path's device (a drive's path, or a library's control path named by the
// library's serial as "drive"), as the hardware or an administrator causes them:
// "stop" and "start" (resource rebalancing), "surprise-remove" (the path vanishes from the SAN),
// "remove" (an orderly removal) and "add" (the path comes back and is started again).
StepResult Runner::pathEvent(const std::string& op, const nlohmann::json& step)
{
    StepResult result{step};
    sim::hw::TapeLibrary* library = world_.san().findLibrary(RequiredString(step, "drive"));
    sim::hw::Path* path = library != nullptr ? libraryPath(op, step, *library, true) : target(op, step, true).second;
    auto& pnp = world_.machine().pnp();
    const std::string address = path->address().toString();
    if (op == "surprise-remove") {
        path->setPresent(false);
        pnp.processPendingEnumerations();
        result.detail = address + " vanished from the SAN";
        return result;
    }
    if (op == "add" && !path->present()) {
        path->setPresent(true);
        pnp.processPendingEnumerations();
        result.detail = address + " is back on the SAN";
        return result;
    }
    const std::u16string instance = world_.pathInstance(*path);
    if (instance.empty()) {
        result.status = static_cast<std::uint32_t>(STATUS_NO_SUCH_DEVICE);
        result.detail = address + " has no device";
        return result;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (op == "stop") {
        status = pnp.stopDevice(instance);
    } else if (op == "remove") {
        status = pnp.removeDevice(instance);
    } else {
        status = pnp.startDevice(instance);
    }
    pnp.processPendingEnumerations();
    result.status = static_cast<std::uint32_t>(status);
    result.detail = op + " " + address + " (" + Utf8(instance) + ")";
    return result;
}

}  // namespace vorkasim

namespace vorkasim {
namespace {

// The root devnode of the bus driver `service` that is still in the tree, or empty.
std::u16string BusInstance(sim::PnpManager& pnp, std::u16string_view service)
{
    for (const auto& node : pnp.devices()) {
        if (node.service == service && node.parent.empty() && node.state != sim::DevNodeState::Deleted) {
            return node.instancePath;
        }
    }
    return {};
}

}  // namespace

// A bus's own device as an administrator handles it: "bus-stop" and "bus-remove" (with
// "cancel": true only the query and its cancel are sent, and the bus stays as it was), "bus-start",
// and "bus-add" (the bus is installed again when it was removed, as a reinstall does; otherwise
// started). "bus": "changer" names the changer bus; the tape bus otherwise.
StepResult Runner::busEvent(const std::string& op, const nlohmann::json& step)
{
    StepResult result{step};
    auto& pnp = world_.machine().pnp();
    const std::string bus = step.value("bus", std::string("tape"));
    if (bus != "tape" && bus != "changer") {
        result.status = static_cast<std::uint32_t>(STATUS_INVALID_PARAMETER);
        result.detail = "\"bus\" is \"tape\" or \"changer\", not \"" + bus + "\"";
        return result;
    }
    const bool changer = bus == "changer";
    const std::string what = changer ? "changer bus" : "tape bus";
    const std::u16string instance = BusInstance(pnp, changer ? u"vorkacbus" : u"vorkatbus");
    const bool cancel = step.value("cancel", false);
    if (op == "bus-add" && instance.empty()) {
        const std::u16string added = changer ? vorka::install::InstallChangerBus(world_.machine())
                                             : vorka::install::InstallTapeBus(world_.machine());
        pnp.processPendingEnumerations();
        const auto node = pnp.find(added);
        result.status = static_cast<std::uint32_t>(node && node->state == sim::DevNodeState::Started
                                                       ? STATUS_SUCCESS
                                                       : (node && node->problem ? node->problem : STATUS_UNSUCCESSFUL));
        result.detail = what + " installed again (" + Utf8(added) + ")";
        return result;
    }
    if (instance.empty()) {
        result.status = static_cast<std::uint32_t>(STATUS_NO_SUCH_DEVICE);
        result.detail = "the " + what + " has no device";
        return result;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (cancel && (op == "bus-stop" || op == "bus-remove")) {
        const bool stop = op == "bus-stop";
        status = pnp.sendPnpIrp(instance, stop ? IRP_MN_QUERY_STOP_DEVICE : IRP_MN_QUERY_REMOVE_DEVICE);
        const NTSTATUS cancelled = pnp.sendPnpIrp(instance, stop ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE);
        status = NT_SUCCESS(status) ? cancelled : status;
        result.detail = std::string(stop ? "stop" : "remove") + " of the " + what + " queried and cancelled";
    } else if (op == "bus-stop") {
        status = pnp.stopDevice(instance);
        result.detail = what + " stopped";
    } else if (op == "bus-start" || op == "bus-add") {
        status = pnp.startDevice(instance);
        result.detail = what + " started";
    } else {
        status = pnp.uninstallDevice(instance);
        result.detail = what + " removed";
    }
    pnp.processPendingEnumerations();
    result.status = static_cast<std::uint32_t>(status);
    result.detail += " (" + Utf8(instance) + ")";
    return result;
}

// Drivers do some things in their own time (a path identified again after its device did not
// answer). "wait" polls until what it names is there, STATUS_SUCCESS, or until "ms" (10000 by
// default) have passed, STATUS_TIMEOUT: "device" (\\.\<device> exists), "changer" (the virtual
// changer of that name has an active control path) or "event" (an event of that code,
// "0x80000001", is in the system event log). With none of them it waits "ms".
StepResult Runner::wait(const nlohmann::json& step)
{
    StepResult result{step};
    const auto ms = step.value("ms", std::uint32_t{10000});
    const std::string device = step.value("device", std::string());
    const std::string event = step.value("event", std::string());
    const std::string changer = step.value("changer", std::string());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (step.contains("library")) {
        // Until the library's robot is done with what it does (a move, an inventory).
        sim::hw::TapeLibrary* library = world_.san().findLibrary(RequiredString(step, "library"));
        if (library == nullptr) {
            throw ScenarioError("step \"wait\": no library " + RequiredString(step, "library"));
        }
        const bool idle = library->awaitRobotIdle(std::chrono::milliseconds(ms));
        result.status = static_cast<std::uint32_t>(idle ? STATUS_SUCCESS : STATUS_TIMEOUT);
        result.detail = "library robot " + std::string(idle ? "idle" : "still busy after " + std::to_string(ms) + " ms");
        return result;
    }
    if (device.empty() && event.empty() && changer.empty()) {
        std::this_thread::sleep_until(deadline);
        result.detail = "waited " + std::to_string(ms) + " ms";
        return result;
    }
    NTSTATUS code = 0;
    if (!event.empty()) {
        std::size_t used = 0;
        try {
            code = static_cast<NTSTATUS>(std::stoul(event, &used, 16));
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != event.size()) {
            throw ScenarioError("step \"wait\": \"event\" is an event code such as \"0x80000001\", not \"" + event +
                                "\"");
        }
    }
    const std::u16string name = Utf16("\\??\\" + device);
    auto& log = world_.machine().eventLog();
    auto serving = [&] {
        std::vector<DeviceView> changers;
        world_.queryChangers(&changers);
        return std::any_of(changers.begin(), changers.end(), [&](const DeviceView& view) {
            return view.name == changer &&
                   std::any_of(view.paths.begin(), view.paths.end(), [](const auto& path) { return path.active; });
        });
    };
    auto there = [&] {
        return (device.empty() || sim::FindDevice(name) != nullptr) &&
               (event.empty() || !log.entriesWithCode(code).empty()) && (changer.empty() || serving());
    };
    while (!there() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool present = there();
    const std::string what = !device.empty() ? device : !changer.empty() ? changer + " serving" : "event " + event;
    result.status = static_cast<std::uint32_t>(present ? STATUS_SUCCESS : STATUS_TIMEOUT);
    result.detail = what + (present ? " is there" : " did not appear in " + std::to_string(ms) + " ms");
    return result;
}

// Removes every root-enumerated device (the SAN adapter with every path under it, and the tape bus),
// after which each Plug and Play driver unloads; then reports per driver that was loaded whether it
// still is, its device objects and the pool it still holds. Status STATUS_UNSUCCESSFUL when any
// driver left something behind.
StepResult Runner::unload(const nlohmann::json& step)
{
    StepResult result{step};
    auto& machine = world_.machine();
    auto& pnp = machine.pnp();
    const std::vector<std::u16string> before = machine.drivers().loaded();
    // The paths go before the buses, as their filters tell the buses that they leave.
    std::vector<std::u16string> roots;
    for (const auto& node : pnp.devices()) {
        if (node.parent.empty() && node.state != sim::DevNodeState::Deleted &&
            node.state != sim::DevNodeState::Removed && !node.service.empty()) {
            const bool bus = node.service == u"vorkatbus" || node.service == u"vorkacbus";
            roots.insert(bus ? roots.end() : roots.begin(), node.instancePath);
        }
    }
    for (const auto& instance : roots) {
        const NTSTATUS status = pnp.removeDevice(instance);
        pnp.processPendingEnumerations();
        if (!NT_SUCCESS(status)) {
            result.detail += "removal of " + Utf8(instance) + " refused with " +
                             StatusText(static_cast<std::uint32_t>(status)) + "; ";
        }
    }

    bool clean = true;
    result.leftBehind = nlohmann::json::array();
    for (const auto& service : before) {
        const bool loaded = machine.drivers().isLoaded(service);
        std::size_t devices = 0;
        if (PDRIVER_OBJECT driver = loaded ? machine.drivers().find(service) : nullptr) {
            for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
                ++devices;
            }
        }
        std::size_t blocks = 0, bytes = 0;
        for (const auto& block : machine.pool().liveBlocksOf(Utf8(service))) {
            ++blocks;
            bytes += block.size;
        }
        clean = clean && !loaded && devices == 0 && blocks == 0;
        result.leftBehind.push_back({{"driver", Utf8(service)}, {"loaded", loaded}, {"deviceObjects", devices},
                                     {"poolBlocks", blocks}, {"poolBytes", bytes}});
        result.detail += (result.detail.empty() || result.detail.back() == ' ' ? "" : "; ") + Utf8(service) + (loaded ? " still loaded" : " unloaded") +
                         ", " + std::to_string(devices) + " device object(s), " + std::to_string(blocks) +
                         " pool block(s) left";
    }
    result.status = static_cast<std::uint32_t>(clean ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    return result;
}

}  // namespace vorkasim
