// The "exec" step: a Windows program module (scripts/build-windows-program.sh) runs its main in
// a new simulated process at this point of the scenario, as an administrator or a backup
// application would run it on the server.
#include "exec_step.h"

#include <cstdio>
#include <map>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "runner.h"
#include "scenario.h"
#include "sim/program.h"

namespace vorkasim {

nlohmann::json ProgramResultToJson(const sim::win32::ProgramResult& result)
{
    return {{"exitCode", result.exitCode}, {"stdout", result.out}, {"stderr", result.err}};
}

std::string ExitText(const sim::win32::ProgramResult& result)
{
    if (result.crashed) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", result.exitCode);
        return std::string("crashed with exception ") + code;
    }
    return "exit code " + std::to_string(result.exitCode);
}

sim::win32::ProgramResult RunExec(World& world, const std::string& program, const std::vector<std::string>& args,
                                  bool process32, sim::Account account)
{
    sim::win32::ProgramOptions options;
    options.args = args;
    options.is32Bit = process32;
    options.account = account;
    auto result = sim::win32::RunProgram(world.machine(), program, options);
    if (!result.failure.empty()) {
        throw ScenarioError("step \"exec\": " + result.failure);
    }
    return result;
}

StepResult Runner::exec(const nlohmann::json& step)
{
    StepResult result{step};
    const std::string program = RequiredString(step, "program");
    std::vector<std::string> args;
    if (step.contains("args")) {
        if (!step.at("args").is_array()) {
            throw ScenarioError("step \"exec\": \"args\" must be a list of strings");
        }
        for (const auto& arg : step.at("args")) {
            if (!arg.is_string()) {
                throw ScenarioError("step \"exec\": \"args\" must be a list of strings");
            }
            args.push_back(arg.get<std::string>());
        }
    }
    bool process32 = false;
    if (step.contains("process32")) {
        if (!step.at("process32").is_boolean()) {
            throw ScenarioError("step \"exec\": \"process32\" must be true or false");
        }
        process32 = step.at("process32").get<bool>();
    }
    // What every drive holds before, to see which media the program changed.
    std::map<std::string, std::string> before;
    for (const auto& spec : scenario_.drives) {
        if (const auto* drive = world_.san().findDrive(spec.serial)) {
            before[spec.serial] = drive->dumpMedium();
        }
    }
    const sim::Account account = StepAccount(step);
    const auto ran = RunExec(world_, program, args, process32, account);
    for (const auto& [serial, medium] : before) {
        const auto* drive = world_.san().findDrive(serial);
        if (drive != nullptr && drive->dumpMedium() != medium) {
            std::lock_guard lock(programWrittenMutex_);
            programWrittenDrives_.insert(serial);
        }
    }
    result.data = ProgramResultToJson(ran);
    // A crash ends the program with its exception code; that is the step's failure.
    if (ran.crashed) {
        result.status = ran.exitCode;
    }
    result.detail = program + ": " + ExitText(ran);
    return result;
}

}  // namespace vorkasim
