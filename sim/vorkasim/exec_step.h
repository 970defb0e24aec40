// Running a Windows program module on the simulated machine: the "exec" step and --exec.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/program.h"
#include "world.h"

namespace vorkasim {

// Runs `program` with `args` in a new process (32-bit when `process32`) under `account`; a module
// that cannot be run is a mistake in the scenario (ScenarioError).
sim::win32::ProgramResult RunExec(World& world, const std::string& program, const std::vector<std::string>& args,
                                  bool process32, sim::Account account = sim::Account::Administrator);

// "exit code 3", or "crashed with exception 0xC0000005".
std::string ExitText(const sim::win32::ProgramResult& result);

// "exitCode", "stdout" and "stderr" of a run.
nlohmann::json ProgramResultToJson(const sim::win32::ProgramResult& result);

}  // namespace vorkasim
