// The tape libraries of a scenario: reading "libraries", building them on the SAN,
// and the ground truth of where their cartridges are.
#include <cstdio>
#include <set>
#include <stdexcept>
#include <tuple>

#include <sim/machine.h>
#include <sim/objects.h>
#include <sim/pnp.h>
#include <sim/registry.h>
#include <sim/hw/library.h>
#include <sim/hw/san.h>

#include "text.h"

#include "scenario.h"
#include "world.h"

namespace vorkasim {
namespace {

std::string Text(const nlohmann::json& object, const char* name, const std::string& fallback, const std::string& where)
{
    if (!object.contains(name)) {
        return fallback;
    }
    if (!object.at(name).is_string()) {
        throw std::runtime_error(where + ": \"" + name + "\" must be a string");
    }
    return object.at(name).get<std::string>();
}

std::uint32_t Count(const nlohmann::json& object, const char* name, std::uint32_t fallback, std::uint32_t most,
                    const std::string& where)
{
    if (!object.contains(name)) {
        return fallback;
    }
    const auto& value = object.at(name);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > most) {
        throw std::runtime_error(where + ": \"" + name + "\" must be a number from 0 to " + std::to_string(most));
    }
    return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

std::vector<std::string> Strings(const nlohmann::json& object, const char* name, const std::string& where)
{
    std::vector<std::string> out;
    if (!object.contains(name)) {
        return out;
    }
    if (!object.at(name).is_array()) {
        throw std::runtime_error(where + ": \"" + name + "\" must be an array of strings");
    }
    for (const auto& item : object.at(name)) {
        if (!item.is_string() || item.get<std::string>().empty() || item.get<std::string>().size() > 32) {
            throw std::runtime_error(where + ": \"" + name + "\" must hold strings of 1 to 32 characters");
        }
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::uint8_t Byte(const nlohmann::json& object, const char* name, const std::string& where)
{
    return static_cast<std::uint8_t>(Count(object, name, 0, 255, where));
}

}  // namespace

void ParseLibraries(const nlohmann::json& libraries, Scenario* scenario)
{
    if (!libraries.is_array()) {
        throw std::runtime_error("\"libraries\" must be an array");
    }
    std::set<std::string> serials;
    std::set<std::string> drivesInLibraries;
    std::set<std::tuple<int, int, int, int>> addresses;  // every path's address is unique on the SAN
    for (const auto& drive : scenario->drives) {
        serials.insert(drive.serial);
        for (const auto& path : drive.paths) {
            addresses.insert({path.port, path.bus, path.target, path.lun});
        }
    }
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        const auto& library = libraries[i];
        const std::string where = "libraries[" + std::to_string(i) + "]";
        if (!library.is_object()) {
            throw std::runtime_error(where + " must be an object");
        }
        LibrarySpec spec;
        spec.serial = Text(library, "serial", "", where);
        if (spec.serial.empty() || spec.serial.size() > 32) {
            throw std::runtime_error(where + ": \"serial\" must have 1 to 32 characters");
        }
        if (!serials.insert(spec.serial).second) {
            throw std::runtime_error(where + ": serial " + spec.serial + " is already taken");
        }
        spec.wwnn = Text(library, "wwnn", "", where);
        if (!spec.wwnn.empty() &&
            (spec.wwnn.size() != 16 || spec.wwnn.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
            throw std::runtime_error(where + ": \"wwnn\" must be 16 hexadecimal characters");
        }
        spec.vendor = Text(library, "vendor", spec.vendor, where);
        spec.product = Text(library, "product", spec.product, where);
        spec.slots = Count(library, "slots", spec.slots, 4096, where);
        spec.ieSlots = Count(library, "ieSlots", spec.ieSlots, 240, where);
        spec.drives = Strings(library, "drives", where);
        for (const auto& drive : spec.drives) {
            bool known = false;
            for (const auto& candidate : scenario->drives) {
                known = known || candidate.serial == drive;
            }
            if (!known) {
                throw std::runtime_error(where + ": drive " + drive + " is not in \"drives\"");
            }
            if (!drivesInLibraries.insert(drive).second) {
                throw std::runtime_error(where + ": drive " + drive + " already belongs to a library");
            }
        }
        spec.volumes = Strings(library, "volumes", where);
        if (spec.volumes.size() > spec.slots) {
            throw std::runtime_error(where + ": more \"volumes\" than \"slots\"");
        }
        if (library.contains("lostLogin")) {
            const auto& lost = library.at("lostLogin");
            if (!lost.is_string() || (lost.get<std::string>() != "release" && lost.get<std::string>() != "keep")) {
                throw std::runtime_error(where + ": \"lostLogin\" must be \"release\" or \"keep\"");
            }
            spec.lostLoginReleases = lost.get<std::string>() == "release";
        }
        if (library.contains("robot")) {
            const auto& robot = library.at("robot");
            const std::string robotWhere = where + ".robot";
            if (!robot.is_object()) {
                throw std::runtime_error(robotWhere + " must be an object");
            }
            // A mid-sized library's robot: a move of some seconds, a full inventory of half a minute.
            spec.moveMs = Count(robot, "moveMs", 6000, 600000, robotWhere);
            spec.positionMs = Count(robot, "positionMs", 2000, 600000, robotWhere);
            spec.inventoryMs = Count(robot, "inventoryMs", 20000, 600000, robotWhere);
            const std::string busy = Text(robot, "busy", "not-ready", robotWhere);
            if (busy != "not-ready" && busy != "busy") {
                throw std::runtime_error(robotWhere + ": \"busy\" must be \"not-ready\" or \"busy\"");
            }
            spec.busyStatus = busy == "busy";
        }
        if (library.contains("paths")) {
            if (!library.at("paths").is_array()) {
                throw std::runtime_error(where + ": \"paths\" must be an array");
            }
            for (std::size_t p = 0; p < library.at("paths").size(); ++p) {
                const auto& path = library.at("paths")[p];
                const std::string pathWhere = where + ".paths[" + std::to_string(p) + "]";
                if (!path.is_object()) {
                    throw std::runtime_error(pathWhere + " must be an object");
                }
                spec.paths.push_back(PathSpec{Byte(path, "port", pathWhere), Byte(path, "bus", pathWhere),
                                              Byte(path, "target", pathWhere), Byte(path, "lun", pathWhere)});
                const PathSpec& added = spec.paths.back();
                if (!addresses.insert({added.port, added.bus, added.target, added.lun}).second) {
                    throw std::runtime_error(pathWhere + ": another path already has this address");
                }
            }
        }
        scenario->libraries.push_back(std::move(spec));
    }
}

void World::addLibraries()
{
    for (const auto& library : scenario_.libraries) {
        sim::hw::LibraryConfig config;
        config.identity.serial = library.serial;
        config.identity.vendor = library.vendor;
        config.identity.product = library.product;
        config.identity.wwnn = library.wwnn.empty() ? 0 : std::stoull(library.wwnn, nullptr, 16);
        config.identity.ports = static_cast<std::uint32_t>(library.paths.empty() ? 1 : library.paths.size());
        config.slots = library.slots;
        config.ieSlots = library.ieSlots;
        config.volumes = library.volumes;
        config.nexusLossReleases = library.lostLoginReleases;
        config.robot.move = std::chrono::milliseconds(library.moveMs);
        config.robot.position = std::chrono::milliseconds(library.positionMs);
        config.robot.inventory = std::chrono::milliseconds(library.inventoryMs);
        config.robot.busyAnswer =
            library.busyStatus ? sim::hw::RobotBusyAnswer::Busy : sim::hw::RobotBusyAnswer::NotReady;
        for (const auto& serial : library.drives) {
            config.drives.push_back(san_->findDrive(serial));
        }
        auto& added = san_->addLibrary(config);
        for (std::size_t i = 0; i < library.paths.size(); ++i) {
            const auto& path = library.paths[i];
            ensureAdapter(path.port);
            san_->connect(path.port, path.bus, path.target, path.lun, added, static_cast<std::uint32_t>(i));
        }
    }
}

bool World::inLibrary(const std::string& driveSerial) const
{
    for (const auto& library : scenario_.libraries) {
        for (const auto& serial : library.drives) {
            if (serial == driveSerial) {
                return true;
            }
        }
    }
    return false;
}

void World::ensureAdapter(std::uint8_t port)
{
    for (const auto& adapter : san_->adapters()) {
        if (adapter.portNumber == port) {
            return;
        }
    }
    san_->addAdapter(port, "HBA" + std::to_string(port));
    if (const auto limit = scenario_.maxTransfer.find(port); limit != scenario_.maxTransfer.end()) {
        san_->setMaxTransfer(port, limit->second);
    }
}

std::vector<ChangerPathView> World::changerPaths()
{
    std::vector<ChangerPathView> out;
    for (const auto* library : san_->libraries()) {
        for (const auto* path : san_->pathsTo(*library)) {
            const auto& a = path->address();
            ChangerPathView view{"", library->identity().serial, a.portNumber, a.pathId, a.targetId, a.lun};
            const std::u16string instance = pathInstance(*path);
            const auto node = instance.empty() ? std::nullopt : machine().pnp().find(instance);
            if (node && node->service == u"vorkachgr" && node->state == sim::DevNodeState::Started) {
                // The base changer driver's own device of the path. The device map cannot tell it
                // once the changer bus has written its virtual changer's name under every path.
                static const std::u16string kPrefix = u"\\Device\\";
                for (const auto* device : node->stack) {
                    const std::u16string name = sim::IoObjectName(device);
                    if (name.rfind(kPrefix + u"Changer", 0) == 0) {
                        view.name = Utf8(name.substr(kPrefix.size()));
                    }
                }
            }
            out.push_back(std::move(view));
        }
    }
    return out;
}

nlohmann::json ChangerPathsToJson(const std::vector<ChangerPathView>& paths)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& path : paths) {
        out.push_back({{"name", path.name}, {"serial", path.serial}, {"port", path.port}, {"bus", path.bus},
                       {"target", path.target}, {"lun", path.lun}});
    }
    return out;
}

std::vector<LibraryView> World::libraries() const
{
    std::vector<LibraryView> out;
    for (const auto* library : san_->libraries()) {
        LibraryView view;
        view.serial = library->identity().serial;
        for (const auto& element : library->elements()) {
            view.elements.push_back(ElementView{sim::hw::elementName(element.type, element.index), element.full,
                                                element.volume});
        }
        const auto holder = library->reservationHolder();
        const auto paths = san_->pathsTo(*library);
        for (std::size_t i = 0; holder && i < paths.size(); ++i) {
            if (paths[i]->initiator() == *holder) view.reservedBy = i;
        }
        view.removalPrevented = library->removalPrevented();
        out.push_back(std::move(view));
    }
    return out;
}

nlohmann::json LibrariesToJson(const std::vector<LibraryView>& libraries)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& library : libraries) {
        nlohmann::json reservedBy = nullptr;
        if (library.reservedBy) reservedBy = *library.reservedBy;
        out.push_back({{"serial", library.serial},
                       {"elements", ElementsToJson(library.elements)},
                       {"reservedBy", reservedBy},
                       {"removalPrevented", library.removalPrevented}});
    }
    return out;
}

nlohmann::json ElementsToJson(const std::vector<ElementView>& elements)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& element : elements) {
        out.push_back({{"element", element.element}, {"full", element.full}, {"volume", element.volume}});
    }
    return out;
}

}  // namespace vorkasim
