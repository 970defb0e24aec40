#include "runner.h"

#include <stdexcept>

#include <sim/machine.h>
#include <sim/process.h>

#include "defines.h"
#include "text.h"

namespace vorkasim {
namespace {

std::string RequiredString(const nlohmann::json& step, const char* name)
{
    if (!step.contains(name) || !step.at(name).is_string()) {
        throw std::runtime_error("step \"" + step.at("op").get<std::string>() + "\" needs a string \"" + name + "\"");
    }
    return step.at(name).get<std::string>();
}

}  // namespace

nlohmann::json DevicesToJson(const std::vector<DeviceView>& devices)
{
    nlohmann::json out = nlohmann::json::array();
    for (const auto& device : devices) {
        nlohmann::json paths = nlohmann::json::array();
        for (const auto& path : device.paths) {
            paths.push_back({{"port", path.port}, {"bus", path.bus}, {"target", path.target}, {"lun", path.lun},
                             {"active", path.active}, {"primary", path.primary}});
        }
        out.push_back({{"name", device.name}, {"serial", device.serial}, {"failover", device.failover},
                       {"paths", paths}});
    }
    return out;
}

StepResult Runner::run(const nlohmann::json& step)
{
    const std::string op = step.at("op").get<std::string>();
    if (op == "list") {
        StepResult result{step};
        result.status = world_.queryDevices(&result.devices);
        return result;
    }
    if (op == "reboot") {
        StepResult result{step};
        handles_.clear();  // the applications that held them ended with the machine
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
    throw std::runtime_error("unknown step \"" + op + "\"");
}

StepResult Runner::open(const nlohmann::json& step)
{
    StepResult result{step};
    const std::string device = RequiredString(step, "device");
    const std::string name = RequiredString(step, "handle");
    auto& process = world_.machine().processes().create("vorkasim-app " + name);
    sim::ProcessScope scope(process);
    HANDLE handle = nullptr;
    result.status = static_cast<std::uint32_t>(
        process.createFile(&handle, Utf16("\\\\.\\" + device), GENERIC_READ | GENERIC_WRITE));
    if (NT_SUCCESS(static_cast<NTSTATUS>(result.status))) {
        handles_[name] = AppHandle{&process, handle};
        result.detail = "\\\\.\\" + device + " open as " + name;
    } else {
        world_.machine().processes().exit(process);
        result.detail = "\\\\.\\" + device + " not opened";
    }
    return result;
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

}  // namespace vorkasim
