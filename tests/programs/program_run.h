// Runs vorkasim on a scenario document (and optional further arguments) and returns its JSON
// report and exit status, as an administrator's script would run it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace programs {

struct Run {
    nlohmann::json report;
    int status = -1;
};

inline std::string Program(const std::string& name) { return std::string(VORKA_PROGRAM_DIR) + "/" + name + ".so"; }

inline Run RunVorkasim(const nlohmann::json& scenario, const std::string& extra = "")
{
    static int counter = 0;
    const auto dir = std::filesystem::temp_directory_path() / ("vorka-programs-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / ("scenario" + std::to_string(++counter) + ".json");
    std::ofstream(file) << scenario.dump();
    std::string output;
    FILE* pipe =
        popen((std::string(VORKASIM_PATH) + " " + file.string() + " --json " + extra + " 2>/dev/null").c_str(), "r");
    Run run;
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    std::filesystem::remove(file);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.report = nlohmann::json::parse(output, nullptr, false);
    return run;
}

// A step of a program run: {"op": "exec", "program": ..., "args": [...]}.
inline nlohmann::json Exec(const std::string& program, nlohmann::json args, bool process32 = false)
{
    nlohmann::json step = {{"op", "exec"}, {"program", Program(program)}, {"args", std::move(args)}};
    if (process32) {
        step["process32"] = true;
    }
    return step;
}

// Drives of two paths each: SER0001, SER0002, ... at targets 1, 2, ... on ports 0 and 1.
// `exclusive`: one handle at a time per drive (the default of the drives). Programs that open a
// drive one after the other use shared drives: the bus releases an exclusive drive only when the
// close request of the last handle has run, which may be just after the program ended.
inline nlohmann::json Drives(int count, bool exclusive = true)
{
    nlohmann::json drives = nlohmann::json::array();
    for (int i = 1; i <= count; ++i) {
        drives.push_back({{"serial", "SER000" + std::to_string(i)},
                          {"dpfFlags", exclusive ? 1 : 0},
                          {"paths", {{{"port", 0}, {"target", i}}, {{"port", 1}, {"target", i}}}}});
    }
    return drives;
}

}  // namespace programs
