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

// The document of a scenario that must run cleanly (exit status 0); an empty object otherwise.
json RunCleanly(const std::string& document)
{
    auto [output, code] = RunLifecycle(document);
    EXPECT_EQ(code, 0) << output;
    return code == 0 ? json::parse(output) : json::object();
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
    EXPECT_EQ(unloads, 2) << "the bus driver unloads with its removal (no filter keeps it) and at the end";
}

// What every lifecycle scenario ends with: the verifier saw nothing, and the unload left no driver
// loaded, no device object and no pool behind.
void ExpectNothingLeftBehind(const json& document)
{
    EXPECT_TRUE(document.at("violations").empty()) << document.at("violations").dump(2);
    const json* unload = Step(document.at("steps"), "unload");
    ASSERT_NE(unload, nullptr);
    EXPECT_EQ(unload->at("status"), "0x00000000") << unload->dump(2);
}

// Two exclusive drives of two paths each, persistent names on. An application writes to the first
// drive; another holds the second drive's path device open. The administrator disables the tape bus
// device and enables it again: no path has any event of its own, yet both drives come back under
// their names with the same primary paths, the path handle still keeps the second drive exclusive,
// and the data written before and after is on the tape once.
TEST(BusLifecycleScenario, ATapeBusDisabledAndEnabledAgainBringsEveryDriveBackWithoutAnyPathEvent)
{
    const json document = RunCleanly(R"({
      "registry": {"vorkatbus": {"FailoverEventsEnabled": 1, "PersistentNaming": 1}},
      "drives": [{"serial": "VRKLIFE0011", "wwnn": "5abcdef000000021", "dpfFlags": 1,
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]},
                 {"serial": "VRKLIFE0012", "wwnn": "5abcdef000000022", "dpfFlags": 1,
                  "paths": [{"port": 0, "target": 2}, {"port": 1, "target": 2}]}],
      "steps": [{"op": "list"},
                {"op": "open", "device": "Tape5655361", "handle": "app"},
                {"op": "write", "handle": "app", "requests": 4, "bytes": 4096},
                {"op": "open", "device": "Tape2", "handle": "raw"},
                {"op": "bus-remove"},
                {"op": "write", "handle": "app", "requests": 1, "bytes": 4096},
                {"op": "close", "handle": "app"},
                {"op": "bus-add"}, {"op": "list"},
                {"op": "open", "device": "Tape5655362", "handle": "second"},
                {"op": "close", "handle": "raw"},
                {"op": "open", "device": "Tape5655362", "handle": "third"}, {"op": "close", "handle": "third"},
                {"op": "open", "device": "Tape5655361", "handle": "again"},
                {"op": "write", "handle": "again", "requests": 2, "bytes": 4096}, {"op": "close", "handle": "again"},
                {"op": "verify"}, {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    const json& steps = document.at("steps");

    const json& before = Step(steps, "list", 0)->at("devices");
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].at("name"), "Tape5655361");
    EXPECT_EQ(Step(steps, "list", 1)->at("devices"), before)
        << "the same names, serials, paths and primary paths after the bus came back";

    EXPECT_EQ(Step(steps, "write", 1)->at("status"), "0xc0000056") << "the open handle's drive went with the bus";
    EXPECT_EQ(Step(steps, "open", 2)->at("status"), "0xc0000022")
        << "the path device's own handle still counts against the exclusive drive";
    EXPECT_EQ(Step(steps, "open", 3)->at("status"), "0x00000000") << "and no longer once it is closed";
    EXPECT_EQ(Step(steps, "open", 4)->at("status"), "0x00000000");
    EXPECT_EQ(Step(steps, "write", 2)->at("status"), "0x00000000");
    EXPECT_TRUE(Step(steps, "verify")->at("verify").at("clean").get<bool>()) << Step(steps, "verify")->dump(2);
    ExpectNothingLeftBehind(document);
}

// The bus goes while a drive is writing: the writes stop with a clear status, what the application
// was told it wrote is on the tape, and nothing is left behind.
TEST(BusLifecycleScenario, ATapeBusRemovedDuringTrafficLosesNothingTheApplicationWasToldWasWritten)
{
    const json document = RunCleanly(R"({
      "drives": [{"serial": "VRKLIFE0031", "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]},
                 {"serial": "VRKLIFE0032", "paths": [{"port": 0, "target": 2}, {"port": 1, "target": 2}]}],
      "steps": [{"op": "open", "device": "Tape4", "handle": "busy"},
                {"op": "parallel", "steps": [{"op": "write", "handle": "busy", "requests": 400, "bytes": 4096},
                                             {"op": "bus-remove"}]},
                {"op": "close", "handle": "busy"},
                {"op": "verify"}, {"op": "bus-add"}, {"op": "list"}, {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    const json& steps = document.at("steps");
    ASSERT_EQ(Step(steps, "open")->at("status"), "0x00000000") << Step(steps, "open")->dump();
    const json* parallel = Step(steps, "parallel");
    ASSERT_NE(parallel, nullptr);
    const json* write = Step(parallel->at("results"), "write");
    ASSERT_NE(write, nullptr) << parallel->dump(2);
    const std::string written = write->at("status");
    // The write in progress ends, one still queued is cancelled, a later one finds the device going.
    EXPECT_TRUE(written == "0x00000000" || written == "0xc0000120" || written == "0xc0000056") << written;
    EXPECT_TRUE(Step(steps, "verify")->at("verify").at("clean").get<bool>()) << Step(steps, "verify")->dump(2);
    EXPECT_EQ(Step(steps, "list")->at("devices").size(), 2u);
    ExpectNothingLeftBehind(document);
}

// A path that vanishes while the bus is away is not brought back with the others; added again, it
// joins its drive as any returning path does.
TEST(BusLifecycleScenario, APathThatVanishedWhileTheBusWasAwayJoinsWhenItIsAddedAgain)
{
    const json document = RunCleanly(R"({
      "drives": [{"serial": "VRKLIFE0041", "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "steps": [{"op": "bus-remove"}, {"op": "surprise-remove", "drive": "VRKLIFE0041", "path": 1},
                {"op": "bus-add"}, {"op": "list"},
                {"op": "add", "drive": "VRKLIFE0041", "path": 1}, {"op": "list"}, {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    const json& steps = document.at("steps");
    const json& alone = Step(steps, "list", 0)->at("devices");
    ASSERT_EQ(alone.size(), 1u);
    ASSERT_EQ(alone[0].at("paths").size(), 1u);
    EXPECT_EQ(alone[0].at("paths")[0].at("port"), 0);
    const json& both = Step(steps, "list", 1)->at("devices");
    ASSERT_EQ(both.size(), 1u);
    EXPECT_EQ(both[0].at("paths").size(), 2u);
    ExpectNothingLeftBehind(document);
}

// Both buses stopped and started twenty times, and removed and added five times, with paths
// stopped and started between: every drive and library is still there once, and the unload finds
// nothing that any of it leaked.
TEST(BusLifecycleScenario, BusesCycledManyTimesWithRegistrationsBetweenLeakNothing)
{
    json steps = json::array();
    for (int round = 0; round < 20; ++round) {
        const char* bus = round % 2 == 0 ? "tape" : "changer";
        steps.push_back({{"op", "bus-stop"}, {"bus", bus}});
        steps.push_back({{"op", "bus-start"}, {"bus", bus}});
        steps.push_back({{"op", "stop"}, {"drive", "VRKLIFE0051"}, {"path", round % 2}});
        steps.push_back({{"op", "start"}, {"drive", "VRKLIFE0051"}, {"path", round % 2}});
        steps.push_back({{"op", "stop"}, {"drive", "VRKLIB0051"}, {"path", round % 2}});
        steps.push_back({{"op", "start"}, {"drive", "VRKLIB0051"}, {"path", round % 2}});
        if (round % 4 == 3) {
            steps.push_back({{"op", "bus-remove"}, {"bus", bus}});
            steps.push_back({{"op", "bus-add"}, {"bus", bus}});
        }
    }
    steps.push_back({{"op", "list"}});
    steps.push_back({{"op", "unload"}});
    json scenario = json::parse(R"({
      "drives": [{"serial": "VRKLIFE0051", "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
      "libraries": [{"serial": "VRKLIB0051", "slots": 2, "drives": ["VRKLIFE0051"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}]})");
    scenario["steps"] = steps;
    const json document = RunCleanly(scenario.dump());
    ASSERT_FALSE(document.empty());
    for (const auto& step : document.at("steps")) {
        EXPECT_EQ(step.at("status"), "0x00000000") << step.dump();
    }
    const json* list = Step(document.at("steps"), "list");
    ASSERT_EQ(list->at("devices").size(), 1u);
    EXPECT_EQ(list->at("devices")[0].at("paths").size(), 2u);
    ASSERT_EQ(list->at("changers").size(), 1u);
    EXPECT_EQ(list->at("changers")[0].at("paths").size(), 2u);
    ExpectNothingLeftBehind(document);
}

// The changer bus disabled while a backup application holds the library's changer open: the
// removal is refused (the virtual changer is no Plug and Play child, so only the bus can see the
// handle) and the application's moves go on. Once the handle is closed the bus goes and comes back,
// and the library's virtual changer returns with both control paths.
TEST(BusLifecycleScenario, AChangerBusIsNotRemovedUnderAnOpenChangerAndComesBackWithTheLibrary)
{
    const json document = RunCleanly(R"({
      "drives": [{"serial": "VRKLIFE0061", "paths": [{"port": 0, "target": 1}]}],
      "libraries": [{"serial": "VRKLIB0061", "slots": 4, "ieSlots": 1, "drives": ["VRKLIFE0061"],
                     "volumes": ["VOL061L9"], "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}],
      "steps": [{"op": "list"},
                {"op": "open", "device": "Changer1", "handle": "c"},
                {"op": "move", "handle": "c", "from": "slot:0", "to": "ie:0"},
                {"op": "bus-remove", "bus": "changer"},
                {"op": "move", "handle": "c", "from": "ie:0", "to": "slot:1"},
                {"op": "close", "handle": "c"},
                {"op": "bus-remove", "bus": "changer"}, {"op": "list"},
                {"op": "bus-add", "bus": "changer"}, {"op": "list"},
                {"op": "open", "device": "Changer1", "handle": "c2"},
                {"op": "move", "handle": "c2", "from": "slot:1", "to": "slot:2"}, {"op": "close", "handle": "c2"},
                {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    const json& steps = document.at("steps");
    const json& before = Step(steps, "list", 0)->at("changers");
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(Step(steps, "bus-remove", 0)->at("status"), "0x80000011") << "refused: the changer is open";
    EXPECT_EQ(Step(steps, "move", 1)->at("status"), "0x00000000") << "the application's changer still works";
    EXPECT_EQ(Step(steps, "bus-remove", 1)->at("status"), "0x00000000");
    EXPECT_TRUE(Step(steps, "list", 1)->at("changers").empty());
    EXPECT_EQ(Step(steps, "list", 2)->at("changers"), before);
    EXPECT_EQ(Step(steps, "move", 2)->at("status"), "0x00000000");
    bool moved = false;
    for (const auto& element : document.at("libraries")[0].at("elements")) {
        moved = moved || (element.at("element") == "slot:2" && element.value("volume", "") == "VOL061L9");
    }
    EXPECT_TRUE(moved) << document.at("libraries").dump(2);
    ExpectNothingLeftBehind(document);
}

// A library's only control path starts again while the library does not answer: its
// identification fails, yet the path stays in the library's \\.\Changer1 (inactive) instead of
// becoming a changer of its own. Once the library answers, the path is identified again on its own
// and the changer serves moves again.
TEST(BusLifecycleScenario, AControlPathStartedWhileTheLibraryWasSilentIsIdentifiedOnceItAnswers)
{
    const json document = RunCleanly(R"({
      "drives": [{"serial": "VRKLIFE0071", "paths": [{"port": 0, "target": 1}]}],
      "libraries": [{"serial": "VRKLIB0071", "slots": 4, "ieSlots": 1, "drives": ["VRKLIFE0071"],
                     "volumes": ["VOL071L9"], "paths": [{"port": 0, "target": 7}]}],
      "steps": [{"op": "list"},
                {"op": "fault", "drive": "VRKLIB0071", "path": 0, "kind": "down"},
                {"op": "stop", "drive": "VRKLIB0071", "path": 0}, {"op": "start", "drive": "VRKLIB0071", "path": 0},
                {"op": "list"},
                {"op": "clear-faults", "drive": "VRKLIB0071"},
                {"op": "wait", "changer": "Changer1", "ms": 30000}, {"op": "list"},
                {"op": "open", "device": "Changer1", "handle": "c"},
                {"op": "move", "handle": "c", "from": "slot:0", "to": "ie:0"}, {"op": "close", "handle": "c"},
                {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    const json& steps = document.at("steps");
    const json& before = Step(steps, "list", 0)->at("changers");
    ASSERT_EQ(before.size(), 1u);
    const json& silent = Step(steps, "list", 1)->at("changers");
    ASSERT_EQ(silent.size(), 1u) << "no second changer for the same robot";
    EXPECT_EQ(silent[0].at("name"), "Changer1");
    EXPECT_TRUE(silent[0].at("failover").get<bool>());
    EXPECT_FALSE(silent[0].at("paths")[0].at("active").get<bool>()) << "the silent path is not used";
    EXPECT_EQ(Step(steps, "wait")->at("status"), "0x00000000");
    EXPECT_EQ(Step(steps, "list", 2)->at("changers"), before);
    EXPECT_EQ(Step(steps, "move")->at("status"), "0x00000000");
    ExpectNothingLeftBehind(document);
}

// A path whose device never answers is not retried without end: after the configured retries an
// event names it, and it stays as it registered. A path whose retry is still armed is removed
// cleanly.
TEST(BusLifecycleScenario, AControlPathWhoseLibraryNeverAnswersIsGivenUpWithAnEvent)
{
    const json document = RunCleanly(R"({
      "registry": {"vorkacflt": {"IdentifyRetries": 2}},
      "drives": [{"serial": "VRKLIFE0081", "paths": [{"port": 0, "target": 1}]}],
      "libraries": [{"serial": "VRKLIB0081", "slots": 2, "drives": ["VRKLIFE0081"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}],
      "steps": [{"op": "fault", "drive": "VRKLIB0081", "kind": "down"},
                {"op": "stop", "drive": "VRKLIB0081", "path": 0}, {"op": "start", "drive": "VRKLIB0081", "path": 0},
                {"op": "wait", "event": "0x80000001", "ms": 30000},
                {"op": "stop", "drive": "VRKLIB0081", "path": 1}, {"op": "start", "drive": "VRKLIB0081", "path": 1},
                {"op": "unload"}]})");
    ASSERT_FALSE(document.empty());
    EXPECT_EQ(Step(document.at("steps"), "wait")->at("status"), "0x00000000");
    int given = 0;
    for (const auto& event : document.at("events")) {
        if (event.at("code") != "0x80000001") continue;
        ++given;
        EXPECT_EQ(event.at("source"), "\\Driver\\vorkacflt");
        EXPECT_EQ(event.at("strings"), json::array({"port 0 bus 0 target 7 lun 0", "3"})) << event.dump();
    }
    EXPECT_EQ(given, 1) << "one event for the path given up; the other was still waiting at the unload";
    ExpectNothingLeftBehind(document);
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
