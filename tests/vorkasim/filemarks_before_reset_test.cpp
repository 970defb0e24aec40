// A backup job whose filemark request fails after the drive wrote the marks: the command ran, its
// completion never came back, and the drive reset before the bus could learn where the tape
// stands. The application is told of the reset; the marks it asked for may be on the tape, and,
// written in the middle of the data, they end the data there.
// Neither is the drivers' fault, and the check must say so; but blocks the application was told
// it wrote before that place are still held to being there.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"
#include "runner.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusBusReset;
using vorkasim_test::kStatusDeviceNotConnected;

constexpr std::uint32_t kWriteFilemarks = 0x10;

class FailedFilemarksJob : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRK0000000000008";
    void boot() { bootDrive(kDrive, "5abcdef000000008", false, 1); }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }
    // The drive runs the next WRITE FILEMARKS, its completion is lost on the way back, and the
    // drive resets before the command after it.
    void loseTheNextFilemarksCompletionAndReset()
    {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", kWriteFilemarks},
             {"executed", true}, {"status", kStatusDeviceNotConnected}});
        run({{"op", "fault"}, {"drive", kDrive}, {"kind", "reset"}});
    }
    std::size_t filemarksOnTape()
    {
        std::size_t marks = 0;
        for (const auto& record : drive().records()) {
            marks += record.isFilemark() ? 1 : 0;
        }
        return marks;
    }
};

// The application rewinds to start a new backup and writes a filemark there; the request fails,
// but the mark is on the tape and the old backup behind it is gone, as the application asked.
TEST_F(FailedFilemarksJob, AFailedFilemarkAtTheStartMayHaveEndedTheOldBackupThere)
{
    boot();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    loseTheNextFilemarksCompletionAndReset();
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, kStatusBusReset);
    ASSERT_EQ(filemarksOnTape(), 1u);
    ASSERT_EQ(drive().records().size(), 1u) << "the mark ended the data at the start";
    const json told = verify();
    EXPECT_TRUE(told.at("clean").get<bool>()) << vorkasim::VerifyVerdict(told);

    // It goes to the end of the data, finds itself behind the mark, and writes its new backup there.
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    const auto where = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(where.status, 0u);
    EXPECT_EQ(where.data.at("position"), 1u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    run({{"op", "close"}, {"handle", "h"}});
    const json after = verify();
    EXPECT_TRUE(after.at("clean").get<bool>()) << vorkasim::VerifyVerdict(after);
    EXPECT_EQ(drive().records().size(), 4u) << "the mark, the new backup and its mark";
}

// The same failure after the backup: the blocks before the place of the failed mark were told
// written and stay held to being there, once; only a mark the application asked for may be extra.
TEST_F(FailedFilemarksJob, BlocksBeforeAFailedFilemarkAreStillHeldToTheTape)
{
    boot();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 8192}}).status, 0u);
    loseTheNextFilemarksCompletionAndReset();
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, kStatusBusReset);
    ASSERT_EQ(filemarksOnTape(), 1u);
    const json told = verify();
    EXPECT_TRUE(told.at("clean").get<bool>()) << vorkasim::VerifyVerdict(told);
    EXPECT_EQ(told.at("blocks"), 3u);

    // A block of the backup that goes missing before that place is lost, failed mark or not (here
    // another host's mark ends it).
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 2}}).status, 0u);
    markFromAnotherHost(kDrive);
    run({{"op", "close"}, {"handle", "h"}});
    const json after = verify();
    EXPECT_EQ(after.at("lost"), 1u) << vorkasim::VerifyVerdict(after);
}

}  // namespace
