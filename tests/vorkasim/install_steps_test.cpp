// A server that has never had the package: the scenario boots it with the base drivers only,
// installs the package with the installer library, backs up through the virtual drive while
// its primary path goes down, uninstalls, restarts and finds nothing of the package left.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"

namespace {

using nlohmann::json;

// Runs the scenario as a user does and returns its --json document.
json RunInstallScenario(const std::string& document)
{
    return json::parse(vorkasim_test::RunWithScenario("install.json", document, "--json", false).output, nullptr, false);
}

const json& StepAt(const json& report, std::size_t index)
{
    return report.at("steps").at(index);
}

TEST(InstallScenario, EmptyMachineInstallsBacksUpWithFailoverUninstallsAndRestartsClean)
{
    const json report = RunInstallScenario(R"({
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

// Drives and a library, no package: a full installation presents a virtual drive and a virtual
// changer that come back after a restart (the buses start before the path stacks), a move
// completes while one control path is down, the virtual drive writes and reads back while one
// of its paths is down; after uninstalling and restarting nothing of the package is left.
TEST(InstallScenario, FullInstallationWithALibrarySurvivesARestartFailsOverAndUninstallsClean)
{
    const json report = RunInstallScenario(R"({
      "preinstalled": false,
      "drives": [{"serial": "VRKINST0002", "wwnn": "5abcdef000000031",
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "libraries": [{"serial": "VRKLIBINST01", "wwnn": "5abcdef000000130", "slots": 4, "ieSlots": 1,
                     "drives": ["VRKINST0002"], "volumes": ["VOL101L9", "VOL102L9"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}],
      "steps": [{"op": "list"},
                {"op": "install", "args": ["-s"], "exclusive": true},
                {"op": "list"},
                {"op": "reboot"},
                {"op": "list"},
                {"op": "open", "device": "Changer1", "handle": "c"},
                {"op": "fault", "drive": "VRKLIBINST01", "path": 0, "kind": "down"},
                {"op": "move", "handle": "c", "from": "slot:0", "to": "drive:0"},
                {"op": "close", "handle": "c"},
                {"op": "open", "device": "Tape1", "handle": "t"},
                {"op": "rewind", "handle": "t"},
                {"op": "fault", "drive": "VRKINST0002", "path": 0, "kind": "down"},
                {"op": "write", "handle": "t", "requests": 20, "bytes": 65536},
                {"op": "rewind", "handle": "t"},
                {"op": "read", "handle": "t", "requests": 20, "bytes": 65536},
                {"op": "close", "handle": "t"},
                {"op": "clear-faults", "drive": "VRKINST0002"},
                {"op": "clear-faults", "drive": "VRKLIBINST01"},
                {"op": "uninstall", "args": ["-s"]},
                {"op": "reboot"},
                {"op": "list"}]
    })");
    ASSERT_TRUE(report.is_object());
    EXPECT_TRUE(StepAt(report, 0).at("changers").empty());
    EXPECT_EQ(StepAt(report, 1).at("result"), 0);
    // Before and after the restart: one virtual drive and one virtual changer, each with both
    // paths. The path devices keep the first numbers; after the restart the buses number their
    // devices before the paths' second devices exist.
    for (std::size_t list : {2u, 4u}) {
        const json& step = StepAt(report, list);
        ASSERT_EQ(step.at("devices").size(), 1u) << step.dump();
        ASSERT_EQ(step.at("changers").size(), 1u) << step.dump();
        EXPECT_EQ(step.at("devices")[0].at("paths").size(), 2u);
        EXPECT_EQ(step.at("changers")[0].at("paths").size(), 2u);
        EXPECT_EQ(step.at("changers")[0].at("serial"), "VRKLIBINST01");
    }
    EXPECT_EQ(StepAt(report, 4).at("devices")[0].at("name"), "Tape1");
    EXPECT_EQ(StepAt(report, 4).at("changers")[0].at("name"), "Changer1");
    for (std::size_t i : {5u, 7u, 8u, 9u, 12u, 13u, 14u, 15u}) {
        EXPECT_EQ(StepAt(report, i).at("status"), "0x00000000") << StepAt(report, i).dump();
    }
    // The cartridge moved once, into the drive.
    for (const auto& element : report.at("libraries").at(0).at("elements")) {
        if (element.at("element") == "drive:0") EXPECT_EQ(element.at("volume"), "VOL101L9");
        if (element.at("element") == "slot:0") EXPECT_EQ(element.at("full"), false);
    }
    EXPECT_EQ(StepAt(report, 18).at("result"), 0);
    EXPECT_NE(StepAt(report, 20).at("status"), "0x00000000");
    EXPECT_TRUE(StepAt(report, 20).at("devices").empty());
    EXPECT_TRUE(StepAt(report, 20).at("changers").empty());
    EXPECT_TRUE(report.at("violations").empty());
    EXPECT_TRUE(report.at("verify").at("clean").get<bool>()) << report.at("verify").dump();
}

// Changers only (-c): the virtual changer fails over, and the tape drives, which this run
// neither removes nor binds, keep working through their own path devices.
TEST(InstallScenario, ChangerOnlyInstallationLeavesTheTapeDrivesWorking)
{
    const json report = RunInstallScenario(R"({
      "preinstalled": false,
      "drives": [{"serial": "VRKINST0004", "wwnn": "5abcdef000000051",
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "libraries": [{"serial": "VRKLIBINST02", "wwnn": "5abcdef000000140", "slots": 4, "ieSlots": 1,
                     "drives": ["VRKINST0004"], "volumes": ["VOL201L9"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}],
      "steps": [{"op": "install", "args": ["-s", "-c"], "exclusive": true},
                {"op": "list"},
                {"op": "open", "device": "Changer2", "handle": "c"},
                {"op": "fault", "drive": "VRKLIBINST02", "path": 0, "kind": "down"},
                {"op": "move", "handle": "c", "from": "slot:0", "to": "drive:0"},
                {"op": "close", "handle": "c"},
                {"op": "clear-faults", "drive": "VRKLIBINST02"},
                {"op": "open", "device": "Tape0", "handle": "t"},
                {"op": "close", "handle": "t"},
                {"op": "reboot"},
                {"op": "list"}]
    })");
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(StepAt(report, 0).at("result"), 0);
    EXPECT_TRUE(StepAt(report, 1).at("devices").empty()) << "no tape bus with -c";
    ASSERT_EQ(StepAt(report, 1).at("changers").size(), 1u);
    EXPECT_EQ(StepAt(report, 1).at("changers")[0].at("name"), "Changer2");
    for (std::size_t i : {2u, 4u, 7u, 8u}) {
        EXPECT_EQ(StepAt(report, i).at("status"), "0x00000000") << StepAt(report, i).dump();
    }
    ASSERT_EQ(StepAt(report, 10).at("changers").size(), 1u) << "back after the restart";
    EXPECT_TRUE(report.at("violations").empty());
}

// A second tape-only run over the running package: the path filters register with the bus
// installed again, so the virtual drive is still there and its paths open.
TEST(InstallScenario, TapeOnlyInstallationRunTwiceKeepsTheVirtualDrive)
{
    const json report = RunInstallScenario(R"({
      "preinstalled": false,
      "drives": [{"serial": "VRKINST0003", "wwnn": "5abcdef000000041",
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "steps": [{"op": "install", "args": ["-s", "-t"], "exclusive": true},
                {"op": "install", "args": ["-s", "-t"], "exclusive": true},
                {"op": "list"},
                {"op": "open", "device": "Tape0", "handle": "p"},
                {"op": "close", "handle": "p"},
                {"op": "open", "device": "Tape1", "handle": "v"},
                {"op": "rewind", "handle": "v"},
                {"op": "write", "handle": "v", "requests": 10, "bytes": 65536},
                {"op": "close", "handle": "v"}]
    })");
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(StepAt(report, 1).at("result"), 0);
    const json& devices = StepAt(report, 2).at("devices");
    ASSERT_EQ(devices.size(), 1u);
    // The paths' devices came back one after the other; the first path registered in between.
    EXPECT_EQ(devices[0].at("name"), "Tape1");
    EXPECT_EQ(devices[0].at("paths").size(), 2u);
    for (std::size_t i = 3; i <= 8; ++i) {
        EXPECT_EQ(StepAt(report, i).at("status"), "0x00000000") << StepAt(report, i).dump();
    }
    EXPECT_TRUE(report.at("violations").empty());
}

}  // namespace
