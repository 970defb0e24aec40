// Runs a scenario's steps against the simulated world and collects what a report needs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
    std::vector<DeviceView> devices;      // "list": the devices at that moment
    std::vector<ChangerPathView> changerPaths;  // "list": the changer path devices at that moment
    std::vector<ElementView> elements;    // "elements": what the changer reported
    std::string detail;                   // what happened, for people
    // "unload": per driver that was loaded, what it left behind (empty for every other step).
    nlohmann::json leftBehind;
};

class Runner {
public:
    Runner(World& world, const Scenario& scenario) : world_(world), scenario_(scenario) {}

    StepResult run(const nlohmann::json& step);

private:
    StepResult open(const nlohmann::json& step);
    StepResult close(const nlohmann::json& step);
    StepResult pathEvent(const std::string& op, const nlohmann::json& step);
    StepResult fault(const std::string& op, const nlohmann::json& step);
    // "move", "exchange", "inventory" and "elements" on an open changer handle (changer_steps.cpp).
    StepResult changer(const std::string& op, const nlohmann::json& step);
    // "fault", "clear-faults" and "reset" naming a library's serial as "drive" (changer_steps.cpp).
    StepResult libraryFault(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library);
    // The control path of a library that a step's "path" index names (nullptr without one).
    sim::hw::Path* libraryPath(const std::string& op, const nlohmann::json& step, sim::hw::TapeLibrary& library,
                               bool pathRequired);
    // Plug and Play of the tape bus's own root device: "bus-stop", "bus-start", "bus-remove", "bus-add".
    StepResult busEvent(const std::string& op, const nlohmann::json& step);
    // "unload": every root device is removed, so that the drivers unload; reports what each left.
    StepResult unload(const nlohmann::json& step);
    // The drive a step names by serial number, and the SAN path of its "path" index when given.
    std::pair<sim::hw::TapeDrive*, sim::hw::Path*> target(const std::string& op, const nlohmann::json& step,
                                                           bool pathRequired);

    World& world_;
    const Scenario& scenario_;
    // Each named handle belongs to an application process of its own; a reboot ends them.
    struct AppHandle {
        sim::Process* process = nullptr;
        void* handle = nullptr;
    };
    std::map<std::string, AppHandle> handles_;
};

nlohmann::json DevicesToJson(const std::vector<DeviceView>& devices);

// A string field that a step must have; throws naming the step otherwise.
std::string RequiredString(const nlohmann::json& step, const char* name);

// The fault a "fault" step describes (kind, count, status, sense, opcode, k, executed).
sim::hw::Fault FaultFromStep(const nlohmann::json& step);

}  // namespace vorkasim
