// Runs the vorkasim command on a scenario document written to a file of its own, as a user does,
// and returns what it printed and its exit status.
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

inline Outcome RunWithScenario(const std::string& name, const std::string& document,
                               const std::string& options = "")
{
    auto dir = std::filesystem::temp_directory_path() / ("vorkasim-scenario-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / name;
    std::ofstream(file) << document;
    Outcome outcome;
    FILE* pipe = popen((std::string(VORKASIM_PATH) + " " + file.string() + " " + options + " 2>&1").c_str(), "r");
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
    std::filesystem::remove_all(dir);
    return outcome;
}

}  // namespace vorkasim_test
