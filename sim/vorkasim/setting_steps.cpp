// Settings steps: the drive settings and reservations a backup application sets on an open
// \\.\TapeN handle before it writes, which the tape bus must carry to a new path when it
// fails over: logical block protection, the AMU setting, RESERVE/RELEASE and persistent
// reservations under a key of the application's choosing.
#include <cstring>
#include <set>

#include <sim/process.h>

#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddtape.h>

#include "app_io.h"
#include "runner.h"
#include "scenario.h"

namespace vorkasim {
namespace {

// Private tape codes of the base driver as an application sends them.
constexpr ULONG kSetLbp = 0x1FE0C4;    // bytes 0 to 5: Capable, Method, Length, Write, Read, RDBP
constexpr ULONG kQueryAmu = 0x1FE0E0;  // byte 0 out
constexpr ULONG kSetAmu = 0x1FE0E4;    // byte 0 in

constexpr std::uint8_t kReserve6 = 0x16;
constexpr std::uint8_t kRelease6 = 0x17;
constexpr std::uint8_t kPrRegister = 0x00;
constexpr std::uint8_t kPrReserve = 0x01;
constexpr std::uint8_t kExclusiveAccess = 0x03;
constexpr ULONG kPrParameterList = 24;

bool Flag(const nlohmann::json& step, const char* name, bool fallback)
{
    if (!step.contains(name)) {
        return fallback;
    }
    if (!step.at(name).is_boolean()) {
        throw ScenarioError("step \"" + step.at("op").get<std::string>() + "\": \"" + name + "\" must be true or false");
    }
    return step.at(name).get<bool>();
}

std::uint64_t Small(const nlohmann::json& step, const char* name, std::uint64_t maximum, std::uint64_t fallback)
{
    if (!step.contains(name)) {
        return fallback;
    }
    const auto& value = step.at(name);
    if (!value.is_number_integer() || value.get<std::int64_t>() < 0 || value.get<std::uint64_t>() > maximum) {
        throw ScenarioError("step \"" + step.at("op").get<std::string>() + "\": \"" + name +
                            "\" must be a number from 0 to " + std::to_string(maximum));
    }
    return value.get<std::uint64_t>();
}

// A reservation key written as up to 16 hexadecimal digits, most significant first, as it
// goes on the wire: "abcd001122334455".
std::uint64_t Key(const nlohmann::json& step, const char* name)
{
    const std::string op = step.at("op").get<std::string>();
    if (!step.contains(name) || !step.at(name).is_string()) {
        throw ScenarioError("step \"" + op + "\" needs a key \"" + name + "\" of 1 to 16 hexadecimal digits");
    }
    const std::string text = step.at(name).get<std::string>();
    if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ScenarioError("step \"" + op + "\": \"" + name + "\" must be 1 to 16 hexadecimal digits");
    }
    return std::stoull(text, nullptr, 16);
}

void PutKey(std::uint8_t* at, std::uint64_t key)
{
    for (int i = 7; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(key);
        key >>= 8;
    }
}

std::string KeyText(std::uint64_t key)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(key));
    return text;
}

// IOCTL_STORAGE_PERSISTENT_RESERVE_OUT: service action at byte 8, scope and type at byte 9,
// the 24-byte parameter list (reservation key, service-action key, ...) from byte 10.
NTSTATUS PersistentReserveOut(sim::Process& process, void* handle, std::uint8_t action, std::uint8_t type,
                              std::uint64_t key, std::uint64_t serviceKey, ULONG_PTR* information)
{
    std::uint8_t in[10 + kPrParameterList] = {};
    const ULONG size = sizeof in;
    std::memcpy(in + 4, &size, sizeof size);
    in[8] = action;
    in[9] = type;
    PutKey(in + 10, key);
    PutKey(in + 18, serviceKey);
    return Control(process, handle, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, in, sizeof in, nullptr, 0, information);
}

// One six-byte command without data through IOCTL_SCSI_PASS_THROUGH; `scsiStatus` gets the
// drive's answer (0x18: the unit is reserved by another initiator).
NTSTATUS SixByteCommand(sim::Process& process, void* handle, std::uint8_t opcode, std::uint8_t* scsiStatus,
                        ULONG_PTR* information)
{
    struct {
        SCSI_PASS_THROUGH spt;
        std::uint8_t sense[32];
    } request{};
    request.spt.Length = sizeof(SCSI_PASS_THROUGH);
    request.spt.CdbLength = 6;
    request.spt.SenseInfoLength = sizeof request.sense;
    request.spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    request.spt.TimeOutValue = 60;
    request.spt.SenseInfoOffset = offsetof(decltype(request), sense);
    request.spt.Cdb[0] = opcode;
    auto reply = request;
    const NTSTATUS status = Control(process, handle, IOCTL_SCSI_PASS_THROUGH, &request, sizeof request, &reply,
                                    sizeof reply, information);
    *scsiStatus = reply.spt.ScsiStatus;
    return status;
}

}  // namespace

bool IsSettingStep(const std::string& op)
{
    static const std::set<std::string> steps = {"lbp", "amu", "reserve", "release", "pr-register", "pr-reserve"};
    return steps.count(op) != 0;
}

NTSTATUS RunSettingStep(const std::string& op, const nlohmann::json& step, sim::Process& process, void* handle,
                        std::uint64_t* registeredKey, ULONG_PTR* information, StepResult& result)
{
    if (op == "lbp") {
        // Protection on with a method (2: CRC32C, what the drives know) and the protection
        // information's length; off is method 0. Checking on write and read ("write", "read")
        // is off unless asked for: the data steps' blocks carry no protection information.
        const bool on = Flag(step, "on", true);
        const std::uint8_t method = on ? static_cast<std::uint8_t>(Small(step, "method", 0xFF, 2)) : 0;
        std::uint8_t settings[32] = {};
        settings[0] = 1;  // Capable
        settings[1] = method;
        settings[2] = on ? static_cast<std::uint8_t>(Small(step, "length", 0x3F, 4)) : 0;
        settings[3] = on && Flag(step, "write", false) ? 1 : 0;
        settings[4] = on && Flag(step, "read", false) ? 1 : 0;
        settings[5] = on && Flag(step, "rbdp", false) ? 1 : 0;
        result.detail = method != 0 ? "logical block protection on, method " + std::to_string(method)
                                    : "logical block protection off";
        return Control(process, handle, kSetLbp, settings, sizeof settings, settings, sizeof settings, information);
    }
    if (op == "amu") {
        std::uint8_t value[8] = {};
        if (step.contains("value")) {
            value[0] = static_cast<std::uint8_t>(Small(step, "value", 0xFE, 0));
            result.detail = "AMU set to " + std::to_string(value[0]);
            return Control(process, handle, kSetAmu, value, sizeof value, value, sizeof value, information);
        }
        const NTSTATUS status = Control(process, handle, kQueryAmu, value, sizeof value, value, sizeof value, information);
        if (NT_SUCCESS(status)) {
            result.data["amu"] = value[0];
            result.detail = "AMU is " + std::to_string(value[0]);
        }
        return status;
    }
    if (op == "reserve" || op == "release") {
        const bool reserve = op == "reserve";
        if (Flag(step, "unit6", false)) {
            // RESERVE(6) / RELEASE(6) as the application's own commands.
            std::uint8_t scsiStatus = 0;
            const NTSTATUS status =
                SixByteCommand(process, handle, reserve ? kReserve6 : kRelease6, &scsiStatus, information);
            if (NT_SUCCESS(status)) {
                result.data["scsiStatus"] = scsiStatus;
            }
            result.detail = reserve ? "RESERVE(6)" : "RELEASE(6)";
            return status;
        }
        result.detail = reserve ? "unit reserved" : "unit released";
        return Control(process, handle, reserve ? IOCTL_STORAGE_RESERVE : IOCTL_STORAGE_RELEASE, nullptr, 0, nullptr,
                       0, information);
    }
    if (op == "pr-register") {
        // REGISTER: the handle's earlier key (none at first) is replaced by the new one.
        const std::uint64_t key = Key(step, "key");
        const NTSTATUS status =
            PersistentReserveOut(process, handle, kPrRegister, 0, *registeredKey, key, information);
        if (NT_SUCCESS(status)) {
            *registeredKey = key;
        }
        result.detail = "registered key " + KeyText(key);
        return status;
    }
    // "pr-reserve": RESERVE under the handle's registered key (or "key"), exclusive access
    // unless "type" says otherwise.
    const std::uint64_t key = step.contains("key") ? Key(step, "key") : *registeredKey;
    const auto type = static_cast<std::uint8_t>(Small(step, "type", 0x0F, kExclusiveAccess));
    result.detail = "reserved under key " + KeyText(key) + ", type " + std::to_string(type);
    return PersistentReserveOut(process, handle, kPrReserve, type, key, 0, information);
}

}  // namespace vorkasim
