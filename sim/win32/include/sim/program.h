// Running a program written for Windows on the simulated machine: a module built by
// scripts/build-windows-program.sh is loaded afresh (its own globals, as a new process image),
// and its main runs in a new simulated process on a thread of its own. The program's stack, heap
// and globals are that process's user memory; what it writes to stdout and stderr is captured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/process.h"

namespace sim {
class Machine;
}

namespace sim::win32 {

struct ProgramOptions {
    std::vector<std::string> args;  // argv[1...]
    bool is32Bit = false;           // a 32-bit process: its stack and heap lie below 4 GB
    Account account = Account::Administrator;  // who runs it
};

struct ProgramResult {
    // main's return value, exit()'s argument, or the exception code of a crash (0xC0000005 for
    // an access violation), as Windows reports a process's exit code.
    std::uint32_t exitCode = 0;
    std::string out;
    std::string err;
    bool crashed = false;
    // Why the module could not be run (not found, not a program module); empty when it ran.
    std::string failure;
};

// Runs the program's main on the current machine and waits for it to end. The process ends
// with it: its handles are closed and its memory released.
ProgramResult RunProgram(Machine& machine, const std::filesystem::path& module, const ProgramOptions& options);

}  // namespace sim::win32
