// A server that has never had the package: the scenario boots it with the base drivers only,
// installs the package with the installer library, backs up through the virtual drive while
// its primary path goes down, uninstalls, restarts and finds nothing of the package left.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

json RunScenario(const std::string& document)
{
    const auto dir = std::filesystem::temp_directory_path() / ("vorkasim-install-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "install.json";
    std::ofstream(file) << document;
    std::string output;
    FILE* pipe = popen((std::string(VORKASIM_PATH) + " " + file.string() + " --json 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        output.append(buffer, n);
    }
    pclose(pipe);
    std::filesystem::remove_all(dir);
    return json::parse(output, nullptr, false);
}

const json& StepAt(const json& report, std::size_t index)
{
    return report.at("steps").at(index);
}

TEST(InstallScenario, EmptyMachineInstallsBacksUpWithFailoverUninstallsAndRestartsClean)
{
    const json report = RunScenario(R"({
      "preinstalled": false,
      "drives": [{"serial": "VRKINST0001", "wwnn": "5abcdef000000021",
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "steps": [{"op": "list"},
                {"op": "install", "args": ["-s", "-t"], "exclusive": true},
                {"op": "list"},
                {"op": "open", "device": "Tape2", "handle": "backup"},
                {"op": "rewind", "handle": "backup"},
                {"op": "write", "handle": "backup", "requests": 50, "bytes": 65536},
                {"op": "fault", "drive": "VRKINST0001", "path": 0, "kind": "down"},
                {"op": "write", "handle": "backup", "requests": 50, "bytes": 65536},
                {"op": "rewind", "handle": "backup"},
                {"op": "read", "handle": "backup", "requests": 100, "bytes": 65536},
                {"op": "close", "handle": "backup"},
                {"op": "clear-faults", "drive": "VRKINST0001"},
                {"op": "uninstall", "args": ["-s"]},
                {"op": "reboot"},
                {"op": "list"},
                {"op": "install", "args": ["-c", "-t"]}]
    })");
    ASSERT_TRUE(report.is_object());
    // Before: no tape bus, no virtual drive.
    EXPECT_NE(StepAt(report, 0).at("status"), "0x00000000");
    const json& install = StepAt(report, 1);
    EXPECT_EQ(install.at("result"), 0);
    EXPECT_FALSE(install.contains("exitCode"));
    EXPECT_TRUE(install.at("messageBoxes").empty()) << "silent";
    EXPECT_NE(install.at("log").get<std::string>().find("Successfully installed Tape Bus Enumerator"),
              std::string::npos);
    const json& devices = StepAt(report, 2).at("devices");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].at("name"), "Tape2");
    EXPECT_EQ(devices[0].at("paths").size(), 2u);
    for (std::size_t i = 3; i <= 10; ++i) {
        EXPECT_EQ(StepAt(report, i).at("status"), "0x00000000") << StepAt(report, i).dump();
    }
    const json& uninstall = StepAt(report, 12);
    EXPECT_EQ(uninstall.at("result"), 0);
    EXPECT_NE(uninstall.at("log").get<std::string>().find("Uninstall successful."), std::string::npos);
    // After the restart: no bus, no virtual drive.
    EXPECT_NE(StepAt(report, 14).at("status"), "0x00000000");
    EXPECT_TRUE(StepAt(report, 14).at("devices").empty());
    // Conflicting options end the installer's process with exit code 1, and it tells why.
    const json& conflict = StepAt(report, 15);
    EXPECT_EQ(conflict.at("exitCode"), 1);
    EXPECT_FALSE(conflict.contains("result"));
    EXPECT_NE(conflict.at("log").get<std::string>().find("Can't set both Changer Only and Tape Only"),
              std::string::npos);
    EXPECT_TRUE(report.at("violations").empty());
    EXPECT_TRUE(report.at("verify").at("clean").get<bool>()) << report.at("verify").dump();
    EXPECT_EQ(report.at("verify").at("blocks"), 100);
}

}  // namespace
