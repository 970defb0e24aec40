// Backup jobs as an application runs them on \\.\TapeN: stamped blocks written, read back and
// checked against the drive's ground truth; the verify's counts when the medium does not hold what
// the application was told it wrote; two drives written at once; mistakes in data steps.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "ledger.h"
#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"
#include "run_scenario_file.h"

namespace {

using nlohmann::json;

using vorkasim_test::TestWorldOptions;

// One or two drives of two paths each; the first drive's virtual device is Tape1, the second's Tape4.
vorkasim::Scenario Drives(const std::string& extra = "")
{
    return vorkasim::ParseScenario(json::parse(R"({"drives": [
        {"serial": "VRK0000000000001", "wwnn": "5abcdef000000001", )" + extra + R"(
         "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]},
        {"serial": "VRK0000000000002", "wwnn": "5abcdef000000002",
         "paths": [{"port": 0, "target": 2}, {"port": 1, "target": 2}]}]})"));
}

// The bytes of a stamped block as a "passthrough" dataOut: a copy of one the application wrote.
std::string StampedHex(std::uint32_t step, std::uint32_t block, std::size_t length)
{
    std::vector<std::uint8_t> bytes(length);
    vorkasim::StampBlock(bytes, vorkasim::Stamp{step, block});
    std::string hex;
    for (auto byte : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

class DataSteps : public ::testing::Test {
protected:
    void SetUp() override { boot(Drives()); }
    void boot(const vorkasim::Scenario& scenario)
    {
        scenario_ = scenario;
        world_ = std::make_unique<vorkasim::World>(scenario_, TestWorldOptions());
        world_->boot();
        runner_ = std::make_unique<vorkasim::Runner>(*world_, scenario_);
    }
    vorkasim::StepResult run(const json& step) { return runner_->run(step); }
    json verify() { return run({{"op", "verify"}}).data.at("verify"); }

    vorkasim::Scenario scenario_;
    std::unique_ptr<vorkasim::World> world_;
    std::unique_ptr<vorkasim::Runner> runner_;
};

TEST_F(DataSteps, ABackupWrittenAndReadBackVerifiesClean)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    // Variable blocks, a filemark, then 512-byte fixed blocks and a filemark.
    auto write = run({{"op", "write"}, {"handle", "h"}, {"requests", 20}, {"bytes", 65536}});
    EXPECT_EQ(write.status, 0u);
    EXPECT_EQ(write.data.at("information"), 20 * 65536);
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).data.at("information"), 1);
    EXPECT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    EXPECT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 4096}}).data.at("blocks"), 80);
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 102);

    // Read back file by file: every block is the drive's record at that place.
    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 0}}).status, 0u);
    auto first = run({{"op", "read"}, {"handle", "h"}, {"requests", 25}, {"bytes", 65536}});
    EXPECT_EQ(first.status, static_cast<std::uint32_t>(0x8000001B)) << "the file ends at its filemark";
    EXPECT_EQ(first.data.at("blocks"), 20);
    EXPECT_TRUE(first.data.at("stampsOk").get<bool>());
    EXPECT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    auto second = run({{"op", "read"}, {"handle", "h"}, {"requests", 10}, {"bytes", 4096}});
    EXPECT_EQ(second.status, 0u);
    EXPECT_TRUE(second.data.at("stampsOk").get<bool>());
    EXPECT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 102);

    const json counts = verify();
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    EXPECT_EQ(counts.at("blocks"), 100);
    EXPECT_EQ(counts.at("filemarks"), 2);
    const json media = runner_->media();
    ASSERT_EQ(media.size(), 2u);
    const json& records = media[0].at("records");
    ASSERT_EQ(records.size(), 102u);
    EXPECT_EQ(records[0], json({{"type", "data"}, {"len", 65536}, {"stamp", "2.0"}}));
    EXPECT_EQ(records[20].at("type"), "filemark");
    EXPECT_EQ(records[21], json({{"type", "data"}, {"len", 512}, {"stamp", "5.0"}}));
    EXPECT_EQ(records[101].at("type"), "filemark");
}

TEST_F(DataSteps, ABlockOverwrittenBehindTheApplicationsBackIsLost)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 64}}).status, 0u);
    // A command of the application's own making writes over the last block: it is gone.
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 9}}).status, 0u);
    auto overwrite = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0000004000"},
                          {"dataOut", std::string(128, '0')}});
    ASSERT_EQ(overwrite.status, 0u);
    EXPECT_EQ(overwrite.data.at("scsiStatus"), 0);
    const json counts = verify();
    EXPECT_EQ(counts.at("lost"), 1);
    EXPECT_EQ(counts.at("duplicated"), 0);
    EXPECT_FALSE(counts.at("clean").get<bool>());
}

TEST_F(DataSteps, ABlockWrittenTwiceIsDuplicatedAndBlocksOutOfOrderAreMisplaced)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 64}}).status, 0u);
    // Blocks 8 and 9 again, swapped, where block 8 stood: 9 is now before 8.
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 8}}).status, 0u);
    for (std::uint32_t block : {9u, 8u, 8u}) {
        ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0000004000"},
                       {"dataOut", StampedHex(2, block, 64)}}).status, 0u);
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("lost"), 0);
    EXPECT_EQ(counts.at("duplicated"), 1);
    EXPECT_EQ(counts.at("misplaced"), 1);
}

TEST_F(DataSteps, BlocksADriveResetDropsFromItsBufferAreLostUntilTheApplicationIsTold)
{
    boot(Drives(R"("buffered": true,)"));
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "reset"}, {"drive", "VRK0000000000001"}}).status, 0u);
    json counts = verify();
    EXPECT_EQ(counts.at("lost"), 10) << "acknowledged, gone, and nobody told the application";
    // The next request fails: from now on the application knows.
    EXPECT_NE(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, 0u);
    counts = verify();
    EXPECT_EQ(counts.at("lost"), 0);
    EXPECT_EQ(counts.at("reportedLoss"), 10);
}

// The verdict itself, on a loss nobody was told of: the drive dropped its buffer in a reset, the
// first request after it succeeded (a driver that swallowed the reset's notice), and a later
// request failed for a reason of its own. That failure tells the application nothing of the blocks.
TEST_F(DataSteps, ALossTheFirstRequestAfterItDidNotReportStaysLostWhateverFailsLater)
{
    boot(Drives(R"("buffered": true,)"));
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "reset"}, {"drive", "VRK0000000000001"}}).status, 0u);
    const sim::hw::TapeDrive& drive = *world_->san().findDrive("VRK0000000000001");
    for (bool toldAtOnce : {false, true}) {
        vorkasim::Ledger ledger;
        std::vector<std::pair<vorkasim::Stamp, std::uint32_t>> written;
        for (std::uint32_t b = 0; b < 10; ++b) {
            written.push_back({vorkasim::Stamp{2, b}, 4096});
        }
        ledger.wrote("VRK0000000000001", written);
        const std::size_t losses = drive.bufferLossCount();
        ASSERT_EQ(losses, 1u);
        if (toldAtOnce) {
            ledger.failed("VRK0000000000001", &drive, losses);
        } else {
            ledger.succeeded("VRK0000000000001", &drive, losses);
            ledger.failed("VRK0000000000001", &drive, losses);
        }
        const vorkasim::VerifyCounts counts = ledger.verify("VRK0000000000001", drive);
        EXPECT_EQ(counts.lost, toldAtOnce ? 0u : 10u);
        EXPECT_EQ(counts.reportedLoss, toldAtOnce ? 10u : 0u);
        EXPECT_EQ(counts.clean(), toldAtOnce);
    }
}

// A block on the medium once, with its stamp and pattern intact, but as a record of half its
// length: the other half is gone.
TEST_F(DataSteps, ABlockOnTheMediumAsAShorterRecordIsNotClean)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 64}}).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 9}}).status, 0u);
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0000002000"},
                   {"dataOut", StampedHex(2, 9, 64).substr(0, 64)}}).status, 0u);
    const json counts = verify();
    EXPECT_EQ(counts.at("wrongLength"), 1);
    EXPECT_EQ(counts.at("lost"), 0);
    EXPECT_FALSE(counts.at("clean").get<bool>());
}

// Another host moves the tape behind the application's back, and its read returns block 5 where
// it asked for block 0, with success: the run's verdict fails, not only the step's stamp check.
TEST_F(DataSteps, AReadThatReturnsAnotherBlockWithSuccessIsNotClean)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 10}, {"bytes", 64}}).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    sim::hw::TapeDrive& drive = *world_->san().findDrive("VRK0000000000001");
    const auto other = drive.attachInitiator("another host");
    const std::uint8_t locate[10] = {0x2B, 0, 0, 0, 0, 0, 5, 0, 0, 0};
    for (int attempt = 0; attempt < 3; ++attempt) {   // past the new nexus's unit attention
        if (drive.execute(other, sim::hw::Command{locate, {}, 0}).good()) {
            break;
        }
    }
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 1}, {"bytes", 64}});
    ASSERT_EQ(read.status, 0u);
    EXPECT_FALSE(read.data.at("stampsOk").get<bool>());
    const json counts = verify();
    EXPECT_EQ(counts.at("misread"), 1);
    EXPECT_FALSE(counts.at("clean").get<bool>());
}

// Blocks an application writes with its own WRITE(6) carry stamps too, and are held to the same
// check: each once and in order, a copy of one of them a duplicate.
TEST_F(DataSteps, StampedPassThroughWritesAreJudgedLikeWrites)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    for (int i = 0; i < 3; ++i) {
        const auto pt = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0000004000"}, {"stamp", true}});
        ASSERT_EQ(pt.status, 0u);
        ASSERT_EQ(pt.data.at("scsiStatus"), 0);
    }
    json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 3);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    // Fixed blocks: two of 512 bytes in one command, then a copy of the first (step 7, block 0).
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0100000200"}, {"stamp", true}}).status, 0u);
    counts = verify();
    EXPECT_EQ(counts.at("blocks"), 5);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0100000100"},
                   {"dataOut", StampedHex(7, 0, 512)}}).status, 0u);
    EXPECT_EQ(verify().at("duplicated"), 1);
    EXPECT_THROW(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "080100000100"}, {"stamp", true}}),
                 vorkasim::ScenarioError)
        << "only a WRITE(6) carries stamps";
}

TEST_F(DataSteps, TwoDrivesWrittenAtOnceAtTheirSpeedBothVerifyClean)
{
    boot(Drives(R"("mbps": 400,)"));
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "a"}}).status, 0u);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape4"}, {"handle", "b"}}).status, 0u);
    const auto start = std::chrono::steady_clock::now();
    auto both = run({{"op", "parallel"},
                     {"steps", {{{"op", "write"}, {"handle", "a"}, {"requests", 20}, {"bytes", 262144}},
                                {{"op", "write"}, {"handle", "b"}, {"requests", 20}, {"bytes", 262144}}}}});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(both.status, 0u);
    ASSERT_EQ(both.data.at("results").size(), 2u);
    EXPECT_EQ(both.data.at("results")[1].at("information"), 20 * 262144);
    // 5 MiB at 400 MB/s takes at least 13 ms on the first drive.
    EXPECT_GE(elapsed, std::chrono::milliseconds(13));
    const json counts = verify();
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    EXPECT_EQ(counts.at("blocks"), 40);
    // Steps are numbered in the order given: open, open, parallel, then its two steps.
    EXPECT_EQ(runner_->media()[1].at("records")[0].at("stamp"), "5.0");
}

TEST_F(DataSteps, MistakesInDataStepsAreScenarioErrors)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    EXPECT_THROW(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}}), vorkasim::ScenarioError);
    EXPECT_THROW(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 8}}), vorkasim::ScenarioError)
        << "too short for a stamp";
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    EXPECT_THROW(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 1000}}), vorkasim::ScenarioError);
    EXPECT_THROW(run({{"op", "space"}, {"handle", "h"}, {"kind", "sideways"}, {"count", 1}}),
                 vorkasim::ScenarioError);
    EXPECT_THROW(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "zz0000000000"}}), vorkasim::ScenarioError);
    EXPECT_THROW(run({{"op", "parallel"}, {"steps", {{{"op", "close"}, {"handle", "h"}}}}}),
                 vorkasim::ScenarioError);
    // A handle that is not open is the application's mistake, reported as Windows does.
    EXPECT_EQ(run({{"op", "read"}, {"handle", "nope"}, {"requests", 1}, {"bytes", 512}}).status, 0xC0000008u);
}

TEST(DataStepsCommand, AWriteWithoutItsByteCountStopsTheRunWithStatus2)
{
    const vorkasim_test::Outcome run = vorkasim_test::RunWithScenario("nobytes.json",
        R"({"drives": [{"serial": "VRK0000000000001", "paths": [{"port": 0, "target": 1}]}],
        "steps": [{"op": "open", "device": "Tape1", "handle": "h"}, {"op": "write", "handle": "h", "requests": 2}]})");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("\"bytes\""), std::string::npos) << run.output;
}

}  // namespace

namespace {

// The main job: the built-in backup loses its primary path half-way, finishes over the other
// path, reads every block back with its stamp, and the tape holds each block once, in order.
TEST(DefaultBackupJob, SurvivesThePulledCableAndVerifiesClean)
{
    const vorkasim::Scenario scenario = vorkasim::DefaultScenario();
    vorkasim::World world(scenario, TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    bool pathPulled = false;
    for (const json& step : scenario.steps) {
        const vorkasim::StepResult result = runner.run(step);
        EXPECT_EQ(result.status, 0u) << step.dump();
        pathPulled = pathPulled || step.at("op") == "fault";
        if (step.at("op") == "read") {
            EXPECT_TRUE(result.data.at("stampsOk").get<bool>()) << step.dump();
        }
        if (step.at("op") == "verify") {
            const json& counts = result.data.at("verify");
            EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
            EXPECT_EQ(counts.at("blocks"), 2000);
            EXPECT_EQ(counts.at("filemarks"), 2);
        }
    }
    EXPECT_TRUE(pathPulled);
    std::vector<vorkasim::DeviceView> devices;
    ASSERT_EQ(world.queryDevices(&devices), 0u);
    ASSERT_FALSE(devices.empty());
    EXPECT_TRUE(devices[0].paths[1].primary) << "the job finished on the second path";
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

}  // namespace
