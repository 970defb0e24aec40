// Runs the vorkasim command as a user does, on its own or on a scenario document written to a file
// of its own, and returns what it printed and its exit status.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace vorkasim_test {

struct Outcome {
    std::string output;   // standard output and standard error
    int exitCode = -1;
};

// Runs the vorkasim command with `arguments`; its standard error goes into the output with
// `withErrors`, else nowhere (a --json document stays parseable).
inline Outcome RunVorkasim(const std::string& arguments, bool withErrors = false)
{
    Outcome outcome;
    std::string command = VORKASIM_PATH;
    command.append(" ").append(arguments).append(withErrors ? " 2>&1" : " 2>/dev/null");
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        outcome.output.append(buffer, n);
    }
    int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// The same with a scenario document in a file `name` of its own, named first; `options` follow it.
inline Outcome RunWithScenario(const std::string& name, const std::string& document,
                               const std::string& options = "", bool withErrors = true)
{
    auto dir = std::filesystem::temp_directory_path() / ("vorkasim-scenario-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / name;
    std::ofstream(file) << document;
    Outcome outcome = RunVorkasim(file.string() + " " + options, withErrors);
    std::filesystem::remove_all(dir);
    return outcome;
}

}  // namespace vorkasim_test
