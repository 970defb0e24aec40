// A server's whole life with the tape bus, run through the simulator command: boot, paths register,
// an application uses the drive, the administrator stops, cancels and restarts the bus, removes it
// while a handle is open, installs it again, the paths come back and the drive is used again, and
// finally everything is unloaded. Nothing may be left behind and the verifier may report nothing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"

namespace {

using nlohmann::json;

// Runs the scenario as a user does and returns its --json document and exit status.
vorkasim_test::Outcome RunLifecycle(const std::string& document)
{
    return vorkasim_test::RunWithScenario("lifecycle.json", document, "--json", false);
}

const json* Step(const json& steps, const std::string& op, int occurrence = 0)
{
    for (const auto& step : steps) {
        if (step.at("op") == op && occurrence-- == 0) {
            return &step;
        }
    }
    return nullptr;
}

TEST(BusLifecycleScenario, ReinstalledBusServesTheDriveAgainAndUnloadLeavesNothingBehind)
{
    auto [output, code] = RunLifecycle(R"({
      "registry": {"vorkatbus": {"FailoverEventsEnabled": 1}},
      "drives": [{"serial": "VRKLIFE0001", "wwnn": "5abcdef000000011",
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "steps": [{"op": "list"},
                {"op": "open", "device": "Tape1", "handle": "h1"}, {"op": "close", "handle": "h1"},
                {"op": "bus-stop", "cancel": true}, {"op": "bus-stop"}, {"op": "bus-start"},
                {"op": "bus-remove", "cancel": true}, {"op": "list"},
                {"op": "open", "device": "Tape1", "handle": "h2"},
                {"op": "bus-remove"}, {"op": "list"},
                {"op": "close", "handle": "h2"},
                {"op": "bus-add"},
                {"op": "surprise-remove", "drive": "VRKLIFE0001", "path": 0},
                {"op": "surprise-remove", "drive": "VRKLIFE0001", "path": 1},
                {"op": "add", "drive": "VRKLIFE0001", "path": 0}, {"op": "add", "drive": "VRKLIFE0001", "path": 1},
                {"op": "list"},
                {"op": "open", "device": "Tape1", "handle": "h3"}, {"op": "close", "handle": "h3"},
                {"op": "unload"}]})");
    ASSERT_EQ(code, 0) << output;
    const json document = json::parse(output);
    EXPECT_TRUE(document.at("violations").empty()) << document.at("violations").dump(2);
    const json& steps = document.at("steps");

    for (const char* op : {"bus-stop", "bus-start", "bus-add"}) {
        ASSERT_NE(Step(steps, op), nullptr) << op;
        EXPECT_EQ(Step(steps, op)->at("status"), "0x00000000") << op;
    }
    EXPECT_EQ(Step(steps, "bus-stop", 1)->at("status"), "0x00000000");
    EXPECT_EQ(Step(steps, "list", 1)->at("devices").size(), 1u) << "a cancelled removal keeps the drive";

    // Removed with h2 open: the bus and its virtual device go; the handle still closes.
    EXPECT_EQ(Step(steps, "bus-remove", 1)->at("status"), "0x00000000");
    EXPECT_EQ(Step(steps, "list", 2)->at("status"), "0xc0000034") << "no control device link after removal";
    EXPECT_EQ(Step(steps, "close", 1)->at("status"), "0x00000000");

    // The reinstalled bus: the paths register again and the drive is used again.
    const json& again = Step(steps, "list", 3)->at("devices");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].at("serial"), "VRKLIFE0001");
    EXPECT_EQ(again[0].at("paths").size(), 2u);
    EXPECT_EQ(Step(steps, "open", 2)->at("status"), "0x00000000");

    const json* unload = Step(steps, "unload");
    ASSERT_NE(unload, nullptr);
    EXPECT_EQ(unload->at("status"), "0x00000000") << unload->dump(2);
    bool busReported = false;
    for (const auto& driver : unload->at("leftBehind")) {
        busReported = busReported || driver.at("driver") == "vorkatbus";
        EXPECT_EQ(driver.at("loaded"), false) << driver.dump();
        EXPECT_EQ(driver.at("deviceObjects"), 0) << driver.dump();
        EXPECT_EQ(driver.at("poolBlocks"), 0) << driver.dump();
        EXPECT_EQ(driver.at("poolBytes"), 0) << driver.dump();
    }
    EXPECT_TRUE(busReported);

    int starts = 0, unloads = 0;
    for (const auto& event : document.at("events")) {
        // The tape bus's own; the changer bus, installed with it, starts and unloads once.
        if (event.at("source") != "\\Driver\\vorkatbus") continue;
        starts += event.at("code") == "0x40000001";
        unloads += event.at("code") == "0x40000007";
    }
    EXPECT_EQ(starts, 2) << "the bus started at boot and again after its reinstallation";
    EXPECT_EQ(unloads, 1);
}

TEST(BusLifecycleScenario, BusStepsWithoutABusReportNoSuchDevice)
{
    auto [output, code] = RunLifecycle(R"({"drives": [{"serial": "VRKLIFE0002", "paths": [{"port": 0, "target": 2}]}],
      "steps": [{"op": "bus-remove"}, {"op": "bus-stop"}, {"op": "bus-start"}, {"op": "unload"}]})");
    const json document = json::parse(output);
    const json& steps = document.at("steps");
    EXPECT_EQ(steps[0].at("status"), "0x00000000");
    EXPECT_EQ(steps[1].at("status"), "0xc000000e") << "STATUS_NO_SUCH_DEVICE";
    EXPECT_EQ(steps[2].at("status"), "0xc000000e");
    EXPECT_TRUE(document.at("violations").empty()) << document.at("violations").dump(2);
    (void)code;
}

}  // namespace
