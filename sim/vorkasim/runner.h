// Runs a scenario's steps against the simulated world and collects what a report needs.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sim/process.h>

#include "defines.h"
#include "ledger.h"
#include "world.h"

namespace sim {
class Process;
namespace hw {
class TapeDrive;
class TapeLibrary;
class Path;
struct Fault;
}  // namespace hw
}  // namespace sim

namespace vorkasim {

struct StepResult {
    nlohmann::json step;                  // the step as given
    std::uint32_t status = 0;             // NT status of the operation
    // Further result fields of the step ("information", "stampsOk", "position", "verify"...),
    // added to the step's entry in the JSON report.
    nlohmann::json data = nlohmann::json::object();
    std::vector<DeviceView> devices;      // "list": the devices at that moment
    std::vector<ChangerPathView> changerPaths;  // "list": the changer path devices at that moment
    std::vector<DeviceView> changers;     // "list": the virtual changers at that moment
    std::vector<ElementView> elements;    // "elements": what the changer reported
    std::string detail;                   // what happened, for people
    // "unload": per driver that was loaded, what it left behind (empty for every other step).
    nlohmann::json leftBehind;
};

class Runner {
public:
    Runner(World& world, const Scenario& scenario) : world_(world), scenario_(scenario) {}

    StepResult run(const nlohmann::json& step) { return run(step, ++stepNumber_); }

    // Every drive's medium and the check of it against what the application was told it
    // wrote (data_steps.cpp): the report's "media" and "verify".
    nlohmann::json media() const;
    nlohmann::json verifyAll() const;

private:
    // `number` is the step's number in the order steps run (the first part of its blocks' stamps).
    StepResult run(const nlohmann::json& step, std::uint32_t number);
    StepResult open(const nlohmann::json& step);
    StepResult close(const nlohmann::json& step);
    StepResult pathEvent(const std::string& op, const nlohmann::json& step);
    StepResult fault(const std::string& op, const nlohmann::json& step);
    // Data steps on an open tape handle (data_steps.cpp): "write", "read", "writefm", "rewind",
    // "space", "locate", "getpos", "setblocksize", "lock", "unlock", "passthrough".
    StepResult data(const std::string& op, const nlohmann::json& step, std::uint32_t number);
    // "parallel": its steps at the same time, one thread each (data_steps.cpp).
    StepResult parallel(const nlohmann::json& step);
    // "verify": each drive's medium against what the application was told it wrote.
    StepResult verify(const nlohmann::json& step);
    // "move", "exchange", "inventory" and "elements" on an open changer handle (changer_steps.cpp).
    StepResult changer(const std::string& op, const nlohmann::json& step);
    // "fault", "clear-faults" and "reset" naming a library's serial as "drive" (changer_steps.cpp).
    StepResult libraryFault(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library);
    // The control path of a library that a step's "path" index names (nullptr without one).
    sim::hw::Path* libraryPath(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library,
                               bool pathRequired);
    // Plug and Play of a bus's own root device: "bus-stop", "bus-start", "bus-remove", "bus-add"
    // ("bus": "tape" or "changer").
    StepResult busEvent(const std::string& op, const nlohmann::json& step);
    // "wait": until a device, a serving changer or an event is there (at most "ms"), or "ms".
    StepResult wait(const nlohmann::json& step);
    // The serial number of the drive behind the virtual tape device `device`; empty for any other.
    std::string virtualSerial(const std::string& device);
    // "exec": a Windows program module's main in a new process (exec_step.cpp).
    StepResult exec(const nlohmann::json& step);
    // "unload": every root device is removed, so that the drivers unload; reports what each left.
    StepResult unload(const nlohmann::json& step);
    // "install" and "uninstall": the installer library's exports in a simulated process
    // (install_steps.cpp).
    StepResult installer(const std::string& op, const nlohmann::json& step);
    // The drive a step names by serial number, and the SAN path of its "path" index when given.
    std::pair<sim::hw::TapeDrive*, sim::hw::Path*> target(const std::string& op, const nlohmann::json& step,
                                                           bool pathRequired);

    World& world_;
    const Scenario& scenario_;
    // Each named handle belongs to an application process of its own; a reboot ends them.
    struct AppHandle {
        sim::Process* process = nullptr;
        void* handle = nullptr;
        std::string device;          // "Tape0"
        std::string serial;          // of its drive, found at its first data step
        std::uint64_t prKey = 0;     // the persistent reservation key it registered ("pr-register")
    };
    std::map<std::string, AppHandle> handles_;
    // The block size the applications know a device to use: the drive's setting, so every handle
    // of the device sees a change made through any of them, and it outlives a close.
    struct BlockSizeView {
        std::uint32_t size = 0;  // as the application set it (0: variable)
        // After a block-size change failed the application cannot know which size the drive
        // uses: it reads it back (and again before its next read or write while that fails). A
        // device first opened on a machine with drives that start in fixed-block mode is read too.
        bool known = true;
        bool readBack = false;  // size is the drive's answer, not the scenario's
    };
    std::map<std::string, BlockSizeView> blockSizes_;  // by device name, under handlesMutex_
    // What the application was told it wrote; steps numbered in the order they run, steps
    // inside "parallel" included, so that every block's stamp is unique.
    Ledger ledger_;
    std::atomic<std::uint32_t> stepNumber_{0};
    std::mutex handlesMutex_;  // data steps of "parallel" resolve their handles at once
    // Drives whose medium a program of an "exec" step changed: the ledger does not know what it
    // wrote, so the verify leaves them out and says so.
    std::set<std::string> programWrittenDrives_;
    mutable std::mutex programWrittenMutex_;
};

// "write", "read", "writefm", ... : the steps that Runner::data runs.
bool IsDataStep(const std::string& op);

// "lbp", "amu", "reserve", "release", "pr-register", "pr-reserve" (setting_steps.cpp): run by
// Runner::data on the step's handle; `registeredKey` is the handle's persistent reservation key.
bool IsSettingStep(const std::string& op);
NTSTATUS RunSettingStep(const std::string& op, const nlohmann::json& step, sim::Process& process, void* handle,
                        std::uint64_t* registeredKey, ULONG_PTR* information, StepResult& result);

// One line for people: the verdict of a "verify" report.
std::string VerifyVerdict(const nlohmann::json& verify);

nlohmann::json DevicesToJson(const std::vector<DeviceView>& devices);

// A string field that a step must have; throws naming the step otherwise.
std::string RequiredString(const nlohmann::json& step, const char* name);

// The account a step's process runs under: its "account" ("administrator" when there is none,
// "backup operator", "user" or "system"); another name is a mistake in the scenario.
sim::Account StepAccount(const nlohmann::json& step);

// The fault a "fault" step describes (kind, count, status, sense, opcode, k, executed).
sim::hw::Fault FaultFromStep(const nlohmann::json& step);

}  // namespace vorkasim
