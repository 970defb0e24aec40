// The backup jobs that matter most (a stream that fails over and back, a reserved drive, a locked
// cartridge, a loss the drive reports late, a write that times out and is followed by a reset), each
// run on every kind of SAN the simulator can play: logins dropped at the failure, kept until the link
// returns or never noticed, a fabric that holds commands, drives that report a new login as a reset or
// not at all, and drives whose reset keeps the tape where it was. Whatever the SAN does, the tape holds
// what the application was told, once and in order, and what it was told is true.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "one_drive_job.h"
#include "test_world.h"

namespace {

using nlohmann::json;

struct SanKind {
    const char* name;
    json drive;  // fields on top of the drive's
    json down;   // fields on top of every "down" fault
};

const SanKind kSanKinds[] = {
    {"LoginDroppedAtTheFailure", json::object(), json::object()},
    {"LoginKeptUntilTheLinkReturns", json::object(), {{"login", "return"}}},
    {"LoginLossNeverNoticed", json::object(), {{"login", "never"}}},
    {"FabricHoldsCommandsBeforeFailing", json::object(), {{"login", "return"}, {"holdMs", 20}}},
    {"NewLoginReportedAsAReset", {{"loginSense", "29/00"}}, json::object()},
    {"NewLoginReportedQuietly", {{"loginSense", "none"}}, {{"login", "return"}}},
    {"ResetKeepsTapeAndBuffer", {{"reset", {{"rewind", false}, {"keepBuffer", true}, {"sense", "29/03"}}}},
     json::object()},
    {"ResetRewindsAndDiscards", {{"reset", {{"rewind", true}, {"keepBuffer", false}, {"sense", "29/01"}}}},
     {{"login", "return"}}},
};

class SanMatrix : public vorkasim::testing::OneDriveJob, public ::testing::WithParamInterface<SanKind> {
protected:
    static constexpr const char* kDrive = "VRKMTX0000000001";
    void boot(const json& fields = json::object())
    {
        json drive = {{"serial", kDrive}, {"wwnn", "5abcdef000000072"},
                      {"paths", json::array({{{"port", 0u}, {"target", 1u}}, {{"port", 1u}, {"target", 1u}}})}};
        drive.update(GetParam().drive);
        drive.update(fields);
        bootScenario(json{{"drives", json::array({drive})}});
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    }
    std::uint32_t write(int requests)
    {
        return run({{"op", "write"}, {"handle", "h"}, {"requests", requests}, {"bytes", 4096}}).status;
    }
    void down(unsigned path)
    {
        json step = {{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}};
        step.update(GetParam().down);
        run(step);
    }
    void back(unsigned path) { run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", path}}); }
    // Writes until one succeeds (a write may fail cleanly while the drive still belongs to a gone login).
    std::uint32_t writeUntilAccepted(int tries)
    {
        std::uint32_t status = write(1);
        while (status != 0 && --tries > 0) {
            status = write(1);
        }
        return status;
    }
    void expectClean(int blocksAtLeast)
    {
        const json result = closeAndVerify();
        EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
        EXPECT_GE(result.at("blocks").get<int>(), blocksAtLeast);
    }
};

// A buffered stream loses its first path, fails over, gets it back, and loses the second: the job
// moves back to the first path and goes on. No write fails, every block is on the tape once.
TEST_P(SanMatrix, AStreamThatFailsOverAndBackLosesNothing)
{
    boot({{"buffered", true}});
    ASSERT_EQ(write(4), 0u);
    down(0);
    EXPECT_EQ(write(4), 0u);
    back(0);
    EXPECT_EQ(write(4), 0u);
    down(1);
    EXPECT_EQ(write(4), 0u);
    back(1);
    EXPECT_EQ(write(4), 0u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), 20);
}

// The application holds the drive with RESERVE(6). Its path fails: the reservation follows the job to
// the other path, or, while the drive still keeps it for the gone login, the write fails cleanly. Once
// the path is back the job goes on, and nothing is lost or written twice.
TEST_P(SanMatrix, AReservedDriveEitherFollowsTheJobOrFailsCleanly)
{
    boot();
    ASSERT_EQ(run({{"op", "reserve"}, {"handle", "h"}, {"unit6", true}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0);
    (void)write(4);
    back(0);
    EXPECT_EQ(writeUntilAccepted(3), 0u);
    expectClean(5);
}

// The cartridge is locked in, the locking path fails and the job finishes on the other; the
// application unlocks and ejects, and the cartridge comes out.
TEST_P(SanMatrix, ALockedCartridgeIsEjectedAfterTheUnlock)
{
    boot();
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(4), 0u);
    down(0);
    EXPECT_EQ(write(4), 0u);
    EXPECT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(run({{"op", "eject"}, {"handle", "h"}}).status, 0u);
    EXPECT_NE(driveNamed(kDrive).mediumState(), sim::hw::MediumState::Loaded);
}

// The drive acknowledged a write into its buffer and fails to put it on the tape after the path that
// sent it failed. The application hears of the loss on the other path before it writes on.
TEST_P(SanMatrix, ALossTheDriveReportsLateReachesTheApplication)
{
    boot({{"buffered", true}});
    ASSERT_EQ(write(4), 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    ASSERT_EQ(write(1), 0u) << "acknowledged into the buffer";
    down(0);
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

// A write times out on the primary path after the drive took it and the host resets the drive. The
// tape holds what the application was told was written, and the first blocks are still the first.
TEST_P(SanMatrix, AWriteThatTimesOutBeforeAResetKeepsTheTapeTrue)
{
    boot();
    ASSERT_EQ(write(8), 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"status", vorkasim_test::kStatusIoTimeout},
         {"executed", true}, {"resetAfter", true}, {"holdMs", 5}, {"opcode", 10}});
    if (write(4) == 0) {
        EXPECT_EQ(write(4), 0u);
    }
    expectClean(8);
}

INSTANTIATE_TEST_SUITE_P(EverySan, SanMatrix, ::testing::ValuesIn(kSanKinds),
                         [](const ::testing::TestParamInfo<SanKind>& info) { return std::string(info.param.name); });

}  // namespace
