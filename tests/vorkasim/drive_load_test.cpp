// Backup jobs on drives that take a quarter of a minute to load a cartridge, as real ones do: the
// drive answers "becoming ready" meanwhile, on every path alike. None of that is a path's failure,
// and a load or unload the application asks for survives the loss of the path it went down.
#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class LoadingDrive : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRKLOAD000000001";
    static json driveFields(const json& extra = json::object())
    {
        json drive = {{"serial", kDrive}, {"wwnn", "5abcdef000000081"},
                      {"motion", {{"loadUs", 15'000'000u}, {"unloadUs", 10'000'000u}}},
                      {"paths", json::array({{{"port", 0u}, {"target", 1u}}, {{"port", 1u}, {"target", 1u}}})}};
        drive.update(extra);
        return drive;
    }
    void bootAlone()
    {
        bootScenario(json{{"registry", {{"vorkatbus", {{"FailoverEventsEnabled", 1u}}}}},
                          {"drives", json::array({driveFields()})}});
        drive().useManualClock();
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }
    int primary()
    {
        const auto listed = run({{"op", "list"}});
        for (const auto& device : listed.devices) {
            for (std::size_t p = 0; p < device.paths.size(); ++p) {
                if (device.serial == kDrive && device.paths[p].primary) {
                    return static_cast<int>(p);
                }
            }
        }
        return -1;
    }
    void down(unsigned path) { run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}}); }
    // The application polls GetTapeStatus until the drive is ready (at most `limit` polls).
    int pollsUntilReady(int limit)
    {
        int polls = 0;
        while (polls < limit && run({{"op", "getstatus"}, {"handle", "h"}}).status != 0) {
            ++polls;
        }
        return polls;
    }
};

// A library puts a cartridge into the drive; the application polls the drive while it loads. Every
// poll hears 02/04/01 and no path moves; once loaded, the new medium is heard of and the job runs.
TEST_F(LoadingDrive, PollingWhileALibraryMountLoadsMovesNoPathAndTheJobThenRuns)
{
    bootScenario(json{{"registry", {{"vorkatbus", {{"FailoverEventsEnabled", 1u}}}}},
                      {"drives", json::array({driveFields()})},
                      {"libraries", json::array({{{"serial", "VRKLOADLIB000001"}, {"wwnn", "5abcdef000000180"},
                                                  {"slots", 2u}, {"drives", json::array({kDrive})},
                                                  {"volumes", json::array({"VOL001L9"})},
                                                  {"paths", json::array({{{"port", 0u}, {"target", 7u}}})}}})}});
    drive().useManualClock();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Changer1"}, {"handle", "c"}}).status, 0u);
    const int before = primary();
    ASSERT_GE(before, 0);
    ASSERT_EQ(run({{"op", "move"}, {"handle", "c"}, {"from", "slot:0"}, {"to", "drive:0"}}).status, 0u);
    EXPECT_EQ(pollsUntilReady(5), 5) << "still loading";
    EXPECT_EQ(primary(), before);
    drive().advanceClock(15s);
    EXPECT_LE(pollsUntilReady(5), 1) << "the new medium's notice, then ready";
    EXPECT_EQ(primary(), before);
    ASSERT_EQ(write(4, 4096).status, 0u);
    run({{"op", "close"}, {"handle", "c"}});
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// The application unloads and then loads with IMMED, and the primary path fails under the load: the
// load goes to the other path and returns at once; the application polls until the cartridge is in
// and writes its backup from the beginning of the tape.
TEST_F(LoadingDrive, AnImmediateLoadDuringAFailoverReturnsAtOnceAndTheDriveBecomesReady)
{
    bootAlone();
    ASSERT_EQ(write(2, 4096).status, 0u);
    ASSERT_EQ(run({{"op", "eject"}, {"handle", "h"}, {"immediate", true}}).status, 0u);
    drive().advanceClock(10s);
    ASSERT_EQ(drive().mediumState(), sim::hw::MediumState::Unloaded);
    const int before = primary();
    down(static_cast<unsigned>(before));
    EXPECT_EQ(run({{"op", "load"}, {"handle", "h"}, {"immediate", true}}).status, 0u);
    EXPECT_NE(primary(), before) << "the load went to the other path";
    EXPECT_EQ(pollsUntilReady(3), 3);
    drive().advanceClock(15s);
    EXPECT_EQ(pollsUntilReady(3), 0) << "the path that loaded it hears no notice of its own load";
    EXPECT_EQ(drive().mediumState(), sim::hw::MediumState::Loaded);
    ASSERT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 0u);
    ASSERT_EQ(write(4, 4096).status, 0u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// The application's unload and then its load wait for a drive that takes 200 ms for either, and the
// path each went down is lost while the drive is still at it (its answer is lost with it). On the
// other path the drive says it is still busy with the cartridge, and after the load that a cartridge
// came in: the bus waits for the drive and takes the notice of the load it asked for, never a locate
// to a tape the unload already took out. The application hears that the cartridge is out, then in,
// and reads its first block.
TEST_F(LoadingDrive, AnUnloadAndALoadThatLoseTheirPathWhileWaitingStillFinish)
{
    bootScenario(json{{"drives", json::array({driveFields({{"motion", {{"loadUs", 200'000u}, {"unloadUs", 200'000u}}}})})}});
    drive().useManualClock();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(2, 4096).status, 0u);
    const struct {
        const char* op;
        std::uint8_t ascq;  // what the drive says meanwhile: 02/04/07 unloading, 02/04/01 loading
        sim::hw::MediumState after;
    } steps[] = {{"eject", 0x07, sim::hw::MediumState::Unloaded}, {"load", 0x01, sim::hw::MediumState::Loaded}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.op);
        const int before = primary();
        ASSERT_GE(before, 0);
        auto prepared = std::async(std::launch::async, [&] { return run({{"op", step.op}, {"handle", "h"}}); });
        ASSERT_TRUE(drive().awaitMotion(20s));
        down(static_cast<unsigned>(before));
        ASSERT_TRUE(drive().awaitAnswer(
            [&](const sim::hw::CommandLogEntry& e) { return e.senseKey == 0x02 && e.asc == 0x04 && e.ascq == step.ascq; },
            20s))
            << "the other path finds the drive still busy with the cartridge";
        drive().advanceClock(200ms);
        EXPECT_EQ(prepared.get().status, 0u);
        EXPECT_EQ(drive().mediumState(), step.after);
        EXPECT_NE(primary(), before);
        run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", static_cast<unsigned>(before)}});
    }
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}});
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.data.at("blocks"), 1u);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>()) << "the first block written";
    ASSERT_TRUE(drive().position().has_value());
    EXPECT_EQ(drive().position()->object, 1u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// A buffered drive that goes on writing after a link drop: the link of the job's only working path
// drops, the drive keeps writing what it acknowledged, and the host's later reset loses nothing.
TEST_F(LoadingDrive, ABufferThatDrainsAfterALinkDropSurvivesALaterReset)
{
    const json fields = {{"buffered", true}, {"drain", "at-once"}};
    bootScenario(json{{"drives", json::array({driveFields(fields)})}});
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(8, 65536).status, 0u);
    down(static_cast<unsigned>(primary()));
    run({{"op", "reset"}, {"drive", kDrive}});
    EXPECT_TRUE(drive().bufferLosses().empty());
    EXPECT_EQ(drive().records().size(), 8u) << "every acknowledged block reached the tape";
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

}  // namespace
