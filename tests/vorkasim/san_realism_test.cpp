// Backup jobs on SANs that fail the way real ones do: a drive that reports a new login as a reset, a
// fabric that keeps the old login (with its lock) after the link failed, a command that times out and
// is followed by the host's reset of the drive. The application's stream survives what a path can do
// to it, and hears of what the drive itself lost.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "one_drive_job.h"
#include "test_world.h"

namespace {

using nlohmann::json;

class RealSan : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRKSAN0000000001";
    // One drive on two paths with the given drive fields on top.
    void boot(const json& fields)
    {
        json drive = {{"serial", kDrive}, {"wwnn", "5abcdef000000071"},
                      {"paths", json::array({{{"port", 0u}, {"target", 1u}}, {{"port", 1u}, {"target", 1u}}})}};
        drive.update(fields);
        bootScenario(json{{"drives", json::array({drive})}});
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    }
    std::uint32_t write(int requests) { return run({{"op", "write"}, {"handle", "h"}, {"requests", requests}, {"bytes", 4096}}).status; }
    void down(unsigned path, const json& profile = json::object())
    {
        json step = {{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}};
        step.update(profile);
        run(step);
    }
    void back(unsigned path) { run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", path}}); }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }
};

// The drive reports every new login as a reset (06/29/00). The first path's link fails and comes
// back; later the second path's link fails and the job moves back to the first, whose new login says
// "reset". The drive kept its position, so the job goes on: nothing failed, every block once.
TEST_F(RealSan, APathFlapOnADriveThatReportsANewLoginAsAResetDoesNotFailTheJob)
{
    boot({{"loginSense", "29/00"}});
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0);
    EXPECT_EQ(write(4), 0u);
    back(0);
    EXPECT_EQ(write(4), 0u);
    down(1);
    EXPECT_EQ(write(4), 0u) << "the new login's 29/00 is not a reset of the tape";
    EXPECT_EQ(write(4), 0u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), 20 * 8);
}

// At the beginning of the tape the application's own SPACE (a pass-through) moves to a path whose new
// login the drive reports as a bus device reset (06/29/03). Nothing can have been lost there, and the
// command runs on that path.
TEST_F(RealSan, AnApplicationsOwnCommandAtTheStartMeetingANewLoginsResetNoticeStillRuns)
{
    boot({{"loginSense", "29/03"}});
    ASSERT_EQ(write(4), 0u);
    down(1);
    back(1);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    down(0);
    const auto space = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "110000000100"}});
    EXPECT_EQ(space.status, 0u);
    EXPECT_EQ(space.data.at("scsiStatus"), 0) << "spaced one block forward on the second path";
    const auto where = run({{"op", "getpos"}, {"handle", "h"}});
    EXPECT_EQ(where.data.at("position"), 1u);
}

// A library has just placed a cartridge and the drive is loading it: every path answers NOT READY,
// becoming ready (02/04/01), until it is done. The application polls the drive's status meanwhile.
// That is the drive's state, not a path's failure: the primary path stays where it was.
TEST_F(RealSan, PollingADriveThatIsBecomingReadyMovesNoPath)
{
    bootScenario(json{{"registry", {{"vorkatbus", {{"FailoverEventsEnabled", 1u}}}}},
                      {"drives", json::array({{{"serial", kDrive}, {"wwnn", "5abcdef000000071"},
                                               {"paths", json::array({{{"port", 0u}, {"target", 1u}},
                                                                      {{"port", 1u}, {"target", 1u}}})}}})}});
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    const auto primary = [&] {
        const auto listed = run({{"op", "list"}});
        for (std::size_t p = 0; p < listed.devices.at(0).paths.size(); ++p) {
            if (listed.devices.at(0).paths[p].primary) {
                return static_cast<int>(p);
            }
        }
        return -1;
    };
    const int before = primary();
    ASSERT_GE(before, 0);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"count", 3}, {"opcode", 0}, {"sense", "02/04/01"}});
    int polls = 0;
    while (polls < 10 && run({{"op", "getstatus"}, {"handle", "h"}}).status != 0) {
        ++polls;
    }
    EXPECT_EQ(polls, 3) << "each poll heard the drive's own answer once";
    EXPECT_EQ(primary(), before);
    EXPECT_EQ(write(2), 0u);
}

// The first path's host adapter takes transfers up to 1 MiB, the second's any length. A 2 MiB variable
// block the first refuses is an honest error or is written on the second, never a block lost or
// written twice, and the job goes on.
TEST_F(RealSan, ABlockLongerThanOneAdapterTakesIsAnHonestErrorNotALostBlock)
{
    json drive = {{"serial", kDrive}, {"wwnn", "5abcdef000000071"},
                  {"paths", json::array({{{"port", 0u}, {"target", 1u}}, {{"port", 1u}, {"target", 1u}}})}};
    bootScenario(json{{"adapters", json::array({{{"port", 0u}, {"maxTransfer", 1u << 20}}})},
                      {"drives", json::array({drive})}});
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(2), 0u);
    down(1);
    const auto big = run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 2u << 20}});
    EXPECT_EQ(big.status, 0xC000000Du) << "STATUS_INVALID_PARAMETER: the adapter cannot carry it";
    back(1);
    EXPECT_EQ(write(2), 0u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), 4);
}

// The application locks the cartridge in. The first path's link fails, but the drive keeps that
// login, and the lock it holds, until the path comes back. The job finishes on the second path, the
// application unlocks and ejects: the cartridge comes out.
TEST_F(RealSan, ACartridgeLockedThroughALoginTheDriveKeptIsStillEjectedAfterTheUnlock)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0, {{"login", "return"}});
    EXPECT_EQ(write(4), 0u);
    EXPECT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(run({{"op", "eject"}, {"handle", "h"}}).status, 0u);
    EXPECT_NE(drive().mediumState(), sim::hw::MediumState::Loaded);
}

// The application holds the drive with RESERVE(6) through the first path. That path's link fails, but
// the drive keeps its login, and the reservation with it, until the path comes back: the second path
// cannot take the drive over meanwhile. The job's write fails with a clear status and nothing is lost
// or written twice; once the first path is back (and its old login gone), the job goes on.
TEST_F(RealSan, AReservationHeldByALoginTheDriveKeptFailsCleanlyUntilThePathReturns)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "reserve"}, {"handle", "h"}, {"unit6", true}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0, {{"login", "return"}});
    const std::uint32_t during = write(4);
    EXPECT_NE(during, 0u) << "the other path cannot break a reservation the drive still holds";
    back(0);
    std::uint32_t after = write(4);
    if (after != 0) {
        after = write(4);
    }
    EXPECT_EQ(after, 0u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// A buffered drive acknowledged writes through the first path; its link fails with the login kept, and
// the drive then fails to write them. It would tell that login, which nobody hears. The job moves to the
// second path and must still learn of the loss before it writes on.
TEST_F(RealSan, ALossTheDriveKeepsForALoginThatIsGoneStillReachesTheApplication)
{
    boot({{"buffered", true}});
    ASSERT_EQ(write(4), 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    ASSERT_EQ(write(1), 0u) << "acknowledged into the buffer";
    down(0, {{"login", "return"}});
    run({{"op", "flush"}, {"drive", kDrive}});
    std::uint32_t status = 0;
    for (int i = 0; i < 3 && status == 0; ++i) {
        status = write(1);
    }
    EXPECT_EQ(status, vorkasim_test::kStatusDeviceDataError);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("lost"), 0);
}

// A write times out on the primary path after the drive took it, and the host resets the drive,
// which rewinds. Whatever the application is told, the tape holds what it was told was written and
// nothing was written over the beginning of the tape.
TEST_F(RealSan, AWriteThatTimesOutAndIsFollowedByAResetThatRewindsNeverWritesOverTheBeginning)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"status", vorkasim_test::kStatusIoTimeout},
         {"executed", true}, {"resetAfter", true}, {"holdMs", 5}, {"opcode", 10}});
    const std::uint32_t status = write(4);
    if (status == 0) {
        EXPECT_EQ(write(4), 0u);
    }
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_GE(result.at("blocks").get<int>(), 32) << "the blocks before the time-out are still the tape's first";
}

// Each way a port driver reports a write that failed on the primary path: the path's link broke at
// selection, the device is gone, the command timed out or was aborted or ended by a bus reset (the
// drive may have run it), or its CHECK CONDITION lost its sense. The backup goes on over the other
// path, and the tape holds each block once.
TEST_F(RealSan, ABackupSurvivesEveryPortStatusOfAFailedWrite)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(2), 0u);
    int requests = 2;
    for (const char* srb : {"selection-timeout", "no-device", "command-timeout", "aborted", "bus-reset", "error-no-sense"}) {
        for (const bool executed : {false, true}) {
            SCOPED_TRACE(std::string(srb) + (executed ? ", after the drive ran it" : ""));
            json fault = {{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"srbStatus", srb},
                          {"opcode", 10}, {"executed", executed}};
            run(fault);
            EXPECT_EQ(write(3), 0u);
            requests += 3;
            back(0);
            EXPECT_EQ(write(1), 0u) << "the path works again";
            requests += 1;
        }
    }
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), requests * 8);
}

// The drive answers BUSY or TASK SET FULL, first a few times (the class driver waits them out), then
// longer than the class driver waits on one path. A busy drive ran nothing: the backup goes on, and
// no block is missing or written twice.
TEST_F(RealSan, ABackupSurvivesABusyDriveAndAFullTaskSet)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(2), 0u);
    int requests = 2;
    for (const char* status : {"busy", "task-set-full"}) {
        for (const unsigned count : {3u, 14u}) {
            SCOPED_TRACE(std::string(status) + " " + std::to_string(count));
            run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"scsiStatus", status}, {"count", count}, {"opcode", 10}});
            EXPECT_EQ(write(3), 0u);
            requests += 3;
            run({{"op", "clear-faults"}, {"drive", kDrive}});
        }
    }
    // Busy to every command for a while, the position reads of a failover included.
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"scsiStatus", "busy"}, {"count", 14}});
    EXPECT_EQ(write(3), 0u);
    requests += 3;
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), requests * 8);
}

// The primary path's link fails while the drive still works on its command, which stays open there:
// the other path meets BUSY until it ends. Briefly, and the backup goes on; for longer than the
// class driver waits, and the application may hear of it, but the tape still holds each block once.
TEST_F(RealSan, ACommandLeftOpenAtTheDriveByAFailedLinkIsWaitedForAndNothingIsWrittenTwice)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0, {{"runningMs", 60}});
    EXPECT_EQ(write(4), 0u);
    back(0);
    EXPECT_EQ(write(4), 0u);
    down(1, {{"runningMs", 60}});
    EXPECT_EQ(write(4), 0u);
    back(1);
    down(0, {{"runningMs", 400}});
    const std::uint32_t status = write(4);
    back(0);
    if (status == 0) {
        EXPECT_EQ(write(4), 0u);
    }
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_GE(result.at("blocks").get<int>(), 16 * 8);
}

// The drive keeps one block size for every login. The first path's link fails and the drive never
// notices; the job goes on over the second path, where the application changes to 1024-byte blocks,
// so the first path's login now holds MODE PARAMETERS CHANGED (06/2A/01). Then the second path fails
// too and the job falls back to the first: its first command meets that notice, which is no failure
// of the path. The write goes on there, nothing fails, and the tape holds every block once, in the
// block size the application chose at the time.
TEST_F(RealSan, FallingBackToAPathThatHoldsTheModeChangeNoticeIsNoFailure)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0, {{"login", "never"}});
    ASSERT_EQ(write(4), 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 1024}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    back(0);
    down(1);
    EXPECT_EQ(write(4), 0u) << "the notice of the application's own change is not a path failure";
    EXPECT_EQ(write(4), 0u);
    const auto log = drive().commandLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const sim::hw::CommandLogEntry& e) {
        return e.senseKey == 0x06 && e.asc == 0x2A && e.ascq == 0x01;
    })) << "the first path met the notice";
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    std::vector<std::size_t> expected(64, 512);
    expected.insert(expected.end(), 48, 1024);
    EXPECT_EQ(recordLengthsOf(kDrive), expected);
}

// Another host changes the shared block size to 1024 in the middle of the backup. The job's next write
// meets MODE PARAMETERS CHANGED; the bus sends the application's 512-byte block size again before it
// sends the write, so not one block of the backup goes out in the other host's size.
TEST_F(RealSan, AnotherHostsBlockSizeNeverReachesTheBackup)
{
    boot(json::object());
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    const auto other = drive().attachInitiator("another host");
    const std::vector<std::uint8_t> list = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0x00, 0x04, 0x00};
    const std::vector<std::uint8_t> select = {0x15, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0};
    bool changed = false;
    for (int attempt = 0; attempt < 3 && !changed; ++attempt) {  // past the new login's notice
        changed = drive().execute(other, sim::hw::Command{select, list, 0}).good();
    }
    ASSERT_TRUE(changed);
    EXPECT_EQ(write(4), 0u);
    EXPECT_EQ(drive().initiatorSettings(other).blockLength, 512u) << "the application's block size is back";
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(recordLengthsOf(kDrive), std::vector<std::size_t>(64, 512));
}

}  // namespace
