// Steps on tape libraries: the changer requests an application sends on an open
// \\.\Changer<n> handle ("move", "exchange", "inventory", "elements"), and faults
// of a library's control paths ("fault", "clear-faults", "reset" with the
// library's serial as "drive"), and the operator's and other hosts' hands on
// it ("door-open", "door-close", "robot-hold", "robot-release").
#include <cstring>
#include <stdexcept>

#include <sim/machine.h>
#include <sim/process.h>
#include <sim/hw/fault.h>
#include <sim/hw/library.h>
#include <sim/hw/san.h>

#include <ntddchgr.h>

#include "app_io.h"
#include "runner.h"
#include "text.h"

namespace vorkasim {
namespace {

CHANGER_ELEMENT Element(const nlohmann::json& step, const char* name)
{
    const std::string text = RequiredString(step, name);
    const auto parsed = sim::hw::parseElementName(text);
    if (!parsed) {
        throw std::runtime_error("step \"" + step.at("op").get<std::string>() + "\": \"" + name +
                                 "\" names no element (\"slot:0\", \"drive:0\", \"ie:0\", \"transport:0\")");
    }
    CHANGER_ELEMENT element{};
    switch (parsed->first) {
        case sim::hw::ElementType::Transport: element.ElementType = ChangerTransport; break;
        case sim::hw::ElementType::Storage: element.ElementType = ChangerSlot; break;
        case sim::hw::ElementType::ImportExport: element.ElementType = ChangerIEPort; break;
        case sim::hw::ElementType::DataTransfer: element.ElementType = ChangerDrive; break;
    }
    element.ElementAddress = parsed->second;
    return element;
}

std::string ElementText(const CHANGER_ELEMENT& element)
{
    switch (element.ElementType) {
        case ChangerTransport: return sim::hw::elementName(sim::hw::ElementType::Transport, element.ElementAddress);
        case ChangerSlot: return sim::hw::elementName(sim::hw::ElementType::Storage, element.ElementAddress);
        case ChangerIEPort: return sim::hw::elementName(sim::hw::ElementType::ImportExport, element.ElementAddress);
        case ChangerDrive: return sim::hw::elementName(sim::hw::ElementType::DataTransfer, element.ElementAddress);
        default: return "unknown:" + std::to_string(element.ElementAddress);
    }
}

}  // namespace

StepResult Runner::changer(const std::string& op, const nlohmann::json& step)
{
    StepResult result{step};
    const std::string name = RequiredString(step, "handle");
    auto it = handles_.find(name);
    if (it == handles_.end()) {
        result.status = static_cast<std::uint32_t>(STATUS_INVALID_HANDLE);
        result.detail = "no open handle " + name;
        return result;
    }
    sim::Process& process = *it->second.process;
    void* handle = it->second.handle;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (op == "move") {
        CHANGER_MOVE_MEDIUM move{};
        move.Transport = {ChangerTransport, 0};
        move.Source = Element(step, "from");
        move.Destination = Element(step, "to");
        status = Control(process, handle, IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0, &information);
        result.detail = "move " + ElementText(move.Source) + " -> " + ElementText(move.Destination);
    } else if (op == "exchange") {
        CHANGER_EXCHANGE_MEDIUM exchange{};
        exchange.Transport = {ChangerTransport, 0};
        exchange.Source = Element(step, "source");
        exchange.Destination1 = Element(step, "first");
        exchange.Destination2 = Element(step, "second");
        status = Control(process, handle, IOCTL_CHANGER_EXCHANGE_MEDIUM, &exchange, sizeof exchange, nullptr, 0,
                         &information);
        result.detail = "exchange " + ElementText(exchange.Source) + " -> " + ElementText(exchange.Destination1) +
                        " -> " + ElementText(exchange.Destination2);
    } else if (op == "inventory") {
        CHANGER_INITIALIZE_ELEMENT_STATUS inventory{};
        inventory.ElementList.Element.ElementType = AllElements;
        status = Control(process, handle, IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, &inventory, sizeof inventory,
                         nullptr, 0, &information);
        result.detail = "inventory";
    } else {
        GET_CHANGER_PARAMETERS parameters{};
        status = Control(process, handle, IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, &parameters, sizeof parameters,
                         &information);
        if (NT_SUCCESS(status)) {
            CHANGER_READ_ELEMENT_STATUS read{};
            read.ElementList.Element.ElementType = AllElements;
            read.ElementList.NumberOfElements = parameters.NumberTransportElements + parameters.NumberStorageElements +
                                                parameters.NumberIEElements + parameters.NumberDataTransferElements;
            read.VolumeTagInfo = TRUE;
            std::vector<CHANGER_ELEMENT_STATUS> records(read.ElementList.NumberOfElements);
            status = Control(process, handle, IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, records.data(),
                             static_cast<ULONG>(records.size() * sizeof(CHANGER_ELEMENT_STATUS)), &information);
            if (NT_SUCCESS(status)) {
                records.resize(std::min<std::size_t>(records.size(), information / sizeof(CHANGER_ELEMENT_STATUS)));
                for (const auto& record : records) {
                    std::string volume;
                    if ((record.Flags & ELEMENT_STATUS_PVOLTAG) != 0) {
                        volume.assign(reinterpret_cast<const char*>(record.PrimaryVolumeID), 32);
                        volume.erase(volume.find_last_not_of(std::string(" \0", 2)) + 1);
                    }
                    result.elements.push_back(
                        ElementView{ElementText(record.Element), (record.Flags & ELEMENT_STATUS_FULL) != 0, volume});
                }
            }
        }
        result.detail = std::to_string(result.elements.size()) + " elements";
    }
    result.status = static_cast<std::uint32_t>(status);
    return result;
}

sim::hw::Path* Runner::libraryPath(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library,
                                   bool pathRequired)
{
    if (!step.contains("path")) {
        if (pathRequired) {
            throw std::runtime_error("step \"" + op + "\" needs a number \"path\"");
        }
        return nullptr;
    }
    const auto paths = world_.san().pathsTo(library);
    if (!step.at("path").is_number_unsigned() || step.at("path").get<std::size_t>() >= paths.size()) {
        throw std::runtime_error("step \"" + op + "\": library " + library.identity().serial + " has no such path");
    }
    return paths[step.at("path").get<std::size_t>()];
}

StepResult Runner::libraryFault(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library)
{
    StepResult result{step};
    const std::string serial = library.identity().serial;
    sim::hw::Path* path = libraryPath(op, step, library, false);
    if (op == "door-open" || op == "door-close") {
        const std::string which = step.value("door", std::string("main"));
        if (which != "main" && which != "ie") {
            throw ScenarioError("step \"" + op + "\": \"door\" is \"main\" or \"ie\"");
        }
        const auto door = which == "main" ? sim::hw::LibraryDoor::Main : sim::hw::LibraryDoor::ImportExport;
        if (op == "door-open") {
            if (!library.openDoor(door)) {
                result.status = static_cast<std::uint32_t>(STATUS_DEVICE_BUSY);
                result.detail = "library " + serial + ": the " + which + " door is locked";
                return result;
            }
            result.detail = "library " + serial + ": " + which + " door open";
        } else {
            library.closeDoor(door);
            result.detail = "library " + serial + ": " + which + " door closed, inventory started";
        }
        return result;
    }
    if (op == "robot-hold" || op == "robot-release") {
        if (op == "robot-hold") {
            library.holdRobot();
        } else {
            library.releaseRobot();
        }
        result.detail = "library " + serial + ": robot " + (op == "robot-hold" ? "held by another host" : "released");
        return result;
    }
    if (op == "reset" || op == "power-cycle") {
        library.reset();
        result.detail = "library " + serial + " reset";
        return result;
    }
    if (op == "clear-faults") {
        if (path != nullptr) {
            path->clearFaults();
        } else {
            // Without a path: the library's own faults and those of all its control paths.
            library.clearFaults();
            for (sim::hw::Path* each : world_.san().pathsTo(library)) {
                each->clearFaults();
            }
        }
        result.detail = "faults cleared";
        return result;
    }
    const sim::hw::Fault fault = FaultFromStep(step);
    if (path != nullptr) {
        path->injectFault(fault);
    } else {
        library.injectFault(fault);
    }
    result.detail = (path != nullptr ? path->address().toString() : "library " + serial) + ": " + fault.describe();
    return result;
}

}  // namespace vorkasim
