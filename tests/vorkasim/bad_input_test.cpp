// Scenarios a new user gets wrong: two paths at one SCSI address, and an "open" that reuses the name
// of a handle still open. The command names the mistake and exits with status 2 instead of aborting.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "run_scenario_file.h"
#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::Outcome;
using vorkasim_test::RunWithScenario;

TEST(BadScenario, ADriveListingOnePathTwiceNamesTheDriveAndTheAddress)
{
    const Outcome run = RunWithScenario("twice.json", R"({"drives": [{"serial": "TWICE001", "paths": [
        {"port": 0, "bus": 0, "target": 4, "lun": 0}, {"port": 0, "bus": 0, "target": 4, "lun": 0}]}]})");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("TWICE001"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("port 0 bus 0 target 4 lun 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("drives[0].paths[1]"), std::string::npos) << run.output;
}

TEST(BadScenario, TwoDrivesOnOneAddressNameBothDrives)
{
    try {
        vorkasim::ParseScenario(json::parse(R"({"drives": [
            {"serial": "FIRST001", "paths": [{"port": 1, "bus": 0, "target": 2, "lun": 0}]},
            {"serial": "SECOND01", "paths": [{"port": 0, "bus": 0, "target": 2, "lun": 0},
                                             {"port": 1, "bus": 0, "target": 2, "lun": 0}]}]})"));
        FAIL() << "two drives at one address were accepted";
    } catch (const vorkasim::ScenarioError& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find("SECOND01"), std::string::npos) << text;
        EXPECT_NE(text.find("FIRST001"), std::string::npos) << text;
        EXPECT_NE(text.find("port 1 bus 0 target 2 lun 0"), std::string::npos) << text;
    }
    const Outcome run = RunWithScenario("shared.json", R"({"drives": [
        {"serial": "FIRST001", "paths": [{"port": 1, "bus": 0, "target": 2, "lun": 0}]},
        {"serial": "SECOND01", "paths": [{"port": 1, "bus": 0, "target": 2, "lun": 0}]}]})");
    EXPECT_EQ(run.exitCode, 2) << run.output;
}

TEST(BadScenario, TheSameAddressOnAnotherLogicalUnitOrAdapterIsFine)
{
    EXPECT_NO_THROW(vorkasim::ParseScenario(json::parse(R"({"drives": [
        {"serial": "LUN00001", "paths": [{"port": 0, "target": 2, "lun": 0}, {"port": 1, "target": 2, "lun": 0}]},
        {"serial": "LUN00002", "paths": [{"port": 0, "target": 2, "lun": 1}]}]})")));
}

TEST(BadScenario, ReusingTheNameOfAnOpenHandleIsAScenarioError)
{
    const std::string steps = R"({"drives": [{"serial": "REUSE001", "dpfFlags": 0,
        "paths": [{"port": 0, "target": 1}]}],
        "steps": [{"op": "open", "device": "Tape0", "handle": "h"},
                  {"op": "open", "device": "Tape0", "handle": "h"}]})";
    const Outcome run = RunWithScenario("reuse.json", steps);
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("handle h is still open"), std::string::npos) << run.output;

    // Closed first, the name is free again.
    const auto scenario = vorkasim::ParseScenario(json::parse(steps));
    vorkasim::World world(scenario, vorkasim_test::TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", "Tape0"}, {"handle", "h"}}).status, 0u);
    EXPECT_THROW(runner.run({{"op", "open"}, {"device", "Tape0"}, {"handle", "h"}}), vorkasim::ScenarioError);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", "Tape0"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "h"}}).status, 0u);
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

}  // namespace
