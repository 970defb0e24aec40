#include "scenario.h"

#include <cstdio>

#include <stdexcept>

namespace vorkasim {
namespace {

std::uint8_t ByteField(const nlohmann::json& object, const char* name, const std::string& where)
{
    if (!object.contains(name)) {
        return 0;
    }
    const auto& value = object.at(name);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 255) {
        throw std::runtime_error(where + ": \"" + name + "\" must be a number from 0 to 255");
    }
    return static_cast<std::uint8_t>(value.get<std::uint64_t>());
}

std::string StringField(const nlohmann::json& object, const char* name, const std::string& fallback,
                        const std::string& where)
{
    if (!object.contains(name)) {
        return fallback;
    }
    if (!object.at(name).is_string()) {
        throw std::runtime_error(where + ": \"" + name + "\" must be a string");
    }
    return object.at(name).get<std::string>();
}

// A SCSI address names one logical unit behind one host adapter: two paths cannot have it,
// whether one drive lists a path twice or two drives claim the same address.
void RejectSharedAddresses(const std::vector<DriveSpec>& drives)
{
    struct Owner {
        std::size_t drive;
        std::size_t path;
    };
    std::map<std::uint32_t, Owner> owners;
    for (std::size_t d = 0; d < drives.size(); ++d) {
        for (std::size_t p = 0; p < drives[d].paths.size(); ++p) {
            const PathSpec& path = drives[d].paths[p];
            const std::uint32_t key = (std::uint32_t{path.port} << 24) | (std::uint32_t{path.bus} << 16) |
                                      (std::uint32_t{path.target} << 8) | path.lun;
            auto [it, inserted] = owners.emplace(key, Owner{d, p});
            if (inserted) {
                continue;
            }
            const std::string address = "port " + std::to_string(path.port) + " bus " + std::to_string(path.bus) +
                                        " target " + std::to_string(path.target) + " lun " +
                                        std::to_string(path.lun);
            const Owner& first = it->second;
            const std::string firstWhere =
                "drives[" + std::to_string(first.drive) + "].paths[" + std::to_string(first.path) + "]";
            throw ScenarioError("drives[" + std::to_string(d) + "].paths[" + std::to_string(p) + "]: drive " +
                                drives[d].serial + " uses SCSI address " + address + ", which " +
                                (first.drive == d ? std::string("it already uses at ") + firstWhere
                                                  : "drive " + drives[first.drive].serial + " already uses at " +
                                                        firstWhere));
        }
    }
}

// "29/xx" with xx up to `highest`, as a drive reports a reset or a new login.
std::uint8_t ResetSense(const nlohmann::json& value, std::uint8_t highest, const std::string& where)
{
    unsigned asc = 0, ascq = 0;
    char end = 0;
    if (!value.is_string() || std::sscanf(value.get<std::string>().c_str(), "%2x/%2x%c", &asc, &ascq, &end) != 2 ||
        asc != 0x29 || ascq > highest) {
        char text[8];
        std::snprintf(text, sizeof text, "29/%02X", highest);
        throw std::runtime_error(where + " must be \"29/00\" to \"" + text + "\"");
    }
    return static_cast<std::uint8_t>(ascq);
}

// A drive's "modePages": whether its mode parameters are one set for every login or each login's own.
bool ParseModePages(const nlohmann::json& drive, const std::string& where)
{
    if (!drive.contains("modePages")) {
        return true;
    }
    const auto& value = drive.at("modePages");
    if (value == "shared" || value == "perLogin") {
        return value == "shared";
    }
    throw std::runtime_error(where + ": \"modePages\" must be \"shared\" or \"perLogin\"");
}

// A drive's "reset" object and "loginSense".
void ParseResetBehaviour(const nlohmann::json& drive, const std::string& where, DriveSpec* spec)
{
    if (drive.contains("reset")) {
        const auto& reset = drive.at("reset");
        if (!reset.is_object()) {
            throw std::runtime_error(where + ": \"reset\" must be an object");
        }
        const std::pair<const char*, bool*> flags[] = {{"rewind", &spec->resetRewinds},
                                                       {"keepBuffer", &spec->resetKeepsBuffer}};
        for (const auto& [name, flag] : flags) {
            if (!reset.contains(name)) {
                continue;
            }
            if (!reset.at(name).is_boolean()) {
                throw std::runtime_error(where + ".reset: \"" + name + "\" must be true or false");
            }
            *flag = reset.at(name).get<bool>();
        }
        if (reset.contains("sense")) {
            spec->resetAscq = ResetSense(reset.at("sense"), 0x03, where + ".reset: \"sense\"");
        }
    }
    if (drive.contains("loginSense")) {
        const auto& login = drive.at("loginSense");
        spec->loginAscq = login.is_string() && login.get<std::string>() == "none"
                              ? -1
                              : ResetSense(login, 0x07, where + ": \"loginSense\" (or \"none\")");
    }
}

}  // namespace

Scenario DefaultScenario()
{
    Scenario scenario;
    for (int drive = 0; drive < 2; ++drive) {
        DriveSpec spec;
        spec.serial = drive == 0 ? "VRK0000000000001" : "VRK0000000000002";
        spec.wwnn = drive == 0 ? "5abcdef000000001" : "5abcdef000000002";
        for (std::uint8_t adapter = 0; adapter < 2; ++adapter) {
            spec.paths.push_back(PathSpec{adapter, 0, static_cast<std::uint8_t>(drive + 1), 0});
        }
        scenario.drives.push_back(spec);
    }
    // A backup job on the first drive: the primary path's cable is pulled between two runs of
    // writes, the job goes on over the other path, and the tape is read back and verified.
    scenario.registry["vorkatbus"]["FailoverEventsEnabled"] = 1;
    const char* kSerial = "VRK0000000000001";
    const nlohmann::json steps = nlohmann::json::parse(R"([
        {"op": "list"},
        {"op": "open", "device": "Tape1", "handle": "backup"},
        {"op": "rewind", "handle": "backup"},
        {"op": "write", "handle": "backup", "requests": 1000, "bytes": 65536},
        {"op": "writefm", "handle": "backup", "count": 1},
        {"op": "fault", "drive": "SERIAL", "path": 0, "kind": "down"},
        {"op": "write", "handle": "backup", "requests": 1000, "bytes": 65536},
        {"op": "writefm", "handle": "backup", "count": 1},
        {"op": "list"},
        {"op": "rewind", "handle": "backup"},
        {"op": "read", "handle": "backup", "requests": 1000, "bytes": 65536},
        {"op": "space", "handle": "backup", "kind": "filemarks", "count": 1},
        {"op": "read", "handle": "backup", "requests": 1000, "bytes": 65536},
        {"op": "close", "handle": "backup"},
        {"op": "verify"}
    ])");
    for (nlohmann::json step : steps) {
        if (step.contains("drive")) {
            step["drive"] = kSerial;
        }
        scenario.steps.push_back(std::move(step));
    }

    // A tape library with two control paths, whose robot serves the second drive. Its primary
    // control path reports a hardware error on the next MOVE MEDIUM (the command never reaches the
    // robot); the changer bus sends the move again over the other control path, and the ground
    // truth shows the cartridge moved once, into the drive. Its virtual changer takes the lowest
    // free name after the base driver's path devices Changer0 and Changer2: Changer1.
    LibrarySpec library;
    library.serial = "VRKLIB0000000001";
    library.wwnn = "5abcdef000000100";
    library.slots = 4;
    library.ieSlots = 1;
    library.drives = {"VRK0000000000002"};
    library.volumes = {"VOL001L9", "VOL002L9"};
    library.paths = {PathSpec{0, 0, 7, 0}, PathSpec{1, 0, 7, 0}};
    scenario.libraries.push_back(library);
    scenario.registry["vorkacbus"]["FailoverEventsEnabled"] = 1;
    const nlohmann::json robotSteps = nlohmann::json::parse(R"([
        {"op": "open", "device": "Changer1", "handle": "robot"},
        {"op": "fault", "drive": "VRKLIB0000000001", "path": 0, "kind": "fail", "opcode": 165, "sense": "04/15/01"},
        {"op": "move", "handle": "robot", "from": "slot:0", "to": "drive:0"},
        {"op": "list"},
        {"op": "close", "handle": "robot"}
    ])");
    // Before the final verify.
    const auto verifyStep = scenario.steps.end() - 1;
    scenario.steps.insert(verifyStep, robotSteps.begin(), robotSteps.end());
    return scenario;
}

Scenario ParseScenario(const nlohmann::json& document)
{
    if (!document.is_object()) {
        throw std::runtime_error("the scenario must be a JSON object");
    }
    Scenario scenario;
    if (document.contains("preinstalled")) {
        if (!document.at("preinstalled").is_boolean()) {
            throw std::runtime_error("\"preinstalled\" must be true or false");
        }
        scenario.preinstalled = document.at("preinstalled").get<bool>();
    }
    if (document.contains("registry")) {
        const auto& registry = document.at("registry");
        if (!registry.is_object()) {
            throw std::runtime_error("\"registry\" must be an object of services");
        }
        for (const auto& [service, values] : registry.items()) {
            if (!values.is_object()) {
                throw std::runtime_error("registry." + service + " must be an object of DWORD values");
            }
            for (const auto& [name, value] : values.items()) {
                if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFull) {
                    throw std::runtime_error("registry." + service + "." + name + " must be a DWORD");
                }
                scenario.registry[service][name] = static_cast<std::uint32_t>(value.get<std::uint64_t>());
            }
        }
    }
    if (document.contains("drives")) {
        const auto& drives = document.at("drives");
        if (!drives.is_array()) {
            throw std::runtime_error("\"drives\" must be an array");
        }
        for (std::size_t i = 0; i < drives.size(); ++i) {
            const auto& drive = drives[i];
            const std::string where = "drives[" + std::to_string(i) + "]";
            if (!drive.is_object()) {
                throw std::runtime_error(where + " must be an object");
            }
            DriveSpec spec;
            spec.serial = StringField(drive, "serial", "", where);
            if (spec.serial.empty() || spec.serial.size() > 32) {
                throw std::runtime_error(where + ": \"serial\" must have 1 to 32 characters");
            }
            spec.wwnn = StringField(drive, "wwnn", "", where);
            if (!spec.wwnn.empty() &&
                (spec.wwnn.size() != 16 || spec.wwnn.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
                throw std::runtime_error(where + ": \"wwnn\" must be 16 hexadecimal characters");
            }
            spec.vendor = StringField(drive, "vendor", spec.vendor, where);
            spec.product = StringField(drive, "product", spec.product, where);
            if (drive.contains("dpfFlags")) {
                if (!drive.at("dpfFlags").is_number_unsigned()) {
                    throw std::runtime_error(where + ": \"dpfFlags\" must be a number");
                }
                spec.dpfFlags = drive.at("dpfFlags").get<std::uint32_t>();
            }
            if (drive.contains("buffered")) {
                if (!drive.at("buffered").is_boolean()) {
                    throw std::runtime_error(where + ": \"buffered\" must be true or false");
                }
                spec.buffered = drive.at("buffered").get<bool>();
            }
            if (drive.contains("mbps")) {
                if (!drive.at("mbps").is_number_unsigned() || drive.at("mbps").get<std::uint64_t>() > 100'000) {
                    throw std::runtime_error(where + ": \"mbps\" must be a number of megabytes per second up to 100000");
                }
                spec.mbps = drive.at("mbps").get<std::uint32_t>();
            }
            const std::pair<const char*, std::uint64_t> limits[] = {
                {"blockSize", 0x00FFFFFF}, {"capacity", 1ull << 40}, {"earlyWarning", 1ull << 40}};
            for (const auto& [name, limit] : limits) {
                if (!drive.contains(name)) {
                    continue;
                }
                if (!drive.at(name).is_number_unsigned() || drive.at(name).get<std::uint64_t>() > limit) {
                    throw std::runtime_error(where + ": \"" + name + "\" must be a number of bytes up to " +
                                             std::to_string(limit));
                }
            }
            spec.blockSize = drive.value("blockSize", std::uint32_t{0});
            spec.capacity = drive.value("capacity", std::uint64_t{0});
            spec.earlyWarning = drive.value("earlyWarning", std::uint64_t{0});
            if (spec.capacity != 0 && spec.earlyWarning >= spec.capacity) {
                throw std::runtime_error(where + ": \"earlyWarning\" must be smaller than \"capacity\"");
            }
            if (spec.capacity == 0 && spec.earlyWarning != 0) {
                throw std::runtime_error(where + ": \"earlyWarning\" needs a \"capacity\"");
            }
            ParseResetBehaviour(drive, where, &spec);
            spec.modePagesShared = ParseModePages(drive, where);
            if (drive.contains("motion")) {
                const auto& motion = drive.at("motion");
                if (!motion.is_object()) {
                    throw std::runtime_error(where + ": \"motion\" must be an object");
                }
                const std::pair<const char*, std::uint32_t*> fields[] = {
                    {"perCommandUs", &spec.perCommandUs}, {"perObjectUs", &spec.perObjectUs},
                    {"longEraseUs", &spec.longEraseUs}, {"loadUs", &spec.loadUs}, {"unloadUs", &spec.unloadUs}};
                for (const auto& [name, field] : fields) {
                    if (!motion.contains(name)) {
                        continue;
                    }
                    if (!motion.at(name).is_number_unsigned() || motion.at(name).get<std::uint64_t>() > 60'000'000) {
                        throw std::runtime_error(where + ".motion: \"" + name +
                                                 "\" must be a number of microseconds up to 60000000");
                    }
                    *field = motion.at(name).get<std::uint32_t>();
                }
            }
            if (drive.contains("drain")) {
                const auto& drain = drive.at("drain");
                if (drain.is_string() && drain.get<std::string>() == "none") {
                    spec.drainUsPerMB = -1;
                } else if (drain.is_string() && drain.get<std::string>() == "at-once") {
                    spec.drainUsPerMB = 0;
                } else if (drain.is_number_unsigned() && drain.get<std::uint64_t>() <= 60'000'000) {
                    spec.drainUsPerMB = static_cast<std::int64_t>(drain.get<std::uint64_t>());
                } else {
                    throw std::runtime_error(where + ": \"drain\" must be \"none\", \"at-once\" or a number of "
                                             "microseconds per megabyte up to 60000000");
                }
            }
            if (drive.contains("paths")) {
                if (!drive.at("paths").is_array()) {
                    throw std::runtime_error(where + ": \"paths\" must be an array");
                }
                for (std::size_t p = 0; p < drive.at("paths").size(); ++p) {
                    const auto& path = drive.at("paths")[p];
                    const std::string pathWhere = where + ".paths[" + std::to_string(p) + "]";
                    if (!path.is_object()) {
                        throw std::runtime_error(pathWhere + " must be an object");
                    }
                    spec.paths.push_back(PathSpec{ByteField(path, "port", pathWhere), ByteField(path, "bus", pathWhere),
                                                  ByteField(path, "target", pathWhere),
                                                  ByteField(path, "lun", pathWhere)});
                }
            }
            scenario.drives.push_back(std::move(spec));
        }
        RejectSharedAddresses(scenario.drives);
    }
    if (document.contains("libraries")) {
        ParseLibraries(document.at("libraries"), &scenario);
    }
    if (document.contains("adapters")) {
        const auto& adapters = document.at("adapters");
        if (!adapters.is_array()) {
            throw std::runtime_error("\"adapters\" must be an array");
        }
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            const std::string where = "adapters[" + std::to_string(i) + "]";
            if (!adapters[i].is_object()) {
                throw std::runtime_error(where + " must be an object");
            }
            const std::uint8_t port = ByteField(adapters[i], "port", where);
            const auto& limit = adapters[i].contains("maxTransfer") ? adapters[i].at("maxTransfer") : nlohmann::json(0);
            if (!limit.is_number_unsigned() || limit.get<std::uint64_t>() > 0xFFFFFFFFull) {
                throw std::runtime_error(where + ": \"maxTransfer\" must be a number of bytes");
            }
            scenario.maxTransfer[port] = limit.get<std::uint32_t>();
        }
    }
    if (document.contains("steps")) {
        const auto& steps = document.at("steps");
        if (!steps.is_array()) {
            throw std::runtime_error("\"steps\" must be an array");
        }
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (!steps[i].is_object() || !steps[i].contains("op") || !steps[i].at("op").is_string()) {
                throw std::runtime_error("steps[" + std::to_string(i) + "] must be an object with a string \"op\"");
            }
            scenario.steps.push_back(steps[i]);
        }
    }
    return scenario;
}

}  // namespace vorkasim
