// A backup job on a drive of one path whose connection was lost and which is then stopped and
// started again (a resource rebalance). The drive forgot that connection's settings when the
// connection went; the notice it keeps for that may be taken by the path's own start-up
// commands, before the bus sees a request of the application's. The bus must still bring the
// drive back to the application's block size before the next write.
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

class RestartedPathJob : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRK0000000000009";
    static constexpr const char* kBuffered = "VRK000000000000B";
    void boot() { bootDrive(kDrive, "5abcdef000000009", false, 1); }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }

    // A buffered drive of one path: two blocks and a filemark on the tape, four blocks acknowledged
    // into the buffer, then the path is stopped and a reset armed for the drive's next command.
    void stopTheOnlyPathWithBlocksBufferedAndAResetArmed()
    {
        bootDrive(kBuffered, "5abcdef00000000b", true, 1);
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
        ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
        ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
        ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u)
            << "acknowledged into the drive's buffer";
        ASSERT_EQ(run({{"op", "stop"}, {"drive", kBuffered}, {"path", 0u}}).status, 0u);
        run({{"op", "fault"}, {"drive", kBuffered}, {"kind", "reset"}});
    }
    // The application closes; the four buffered blocks the reset dropped count as told of, none lost.
    void expectTheLostBlocksReported()
    {
        run({{"op", "close"}, {"handle", "h"}});
        const json result = verify();
        EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
        EXPECT_EQ(result.at("lost"), 0u);
        EXPECT_EQ(result.at("reportedLoss"), 4u);
    }
};

TEST_F(RestartedPathJob, WritesAfterTheOnlyPathWasDownAndRestartedKeepTheApplicationsBlockSize)
{
    boot();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 4096}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});
    EXPECT_NE(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, 0u);
    run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", 0u}});
    ASSERT_EQ(run({{"op", "stop"}, {"drive", kDrive}, {"path", 0u}}).status, 0u);
    ASSERT_EQ(run({{"op", "start"}, {"drive", kDrive}, {"path", 0u}}).status, 0u);

    run({{"op", "getpos"}, {"handle", "h"}});
    const auto written = run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 4096}});
    ASSERT_EQ(written.status, 0u);
    EXPECT_EQ(written.data.at("blocks"), 24);
    run({{"op", "close"}, {"handle", "h"}});

    drive().flushBuffer();
    for (const auto& record : drive().records()) {
        if (!record.isFilemark()) {
            EXPECT_EQ(record.data.size(), 512u) << "a write went out in another block size";
        }
    }
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// A buffered drive of one path: the path is stopped with blocks still in the drive's buffer, a
// reset is armed meanwhile, and it goes off on the first command that reaches the drive again,
// one of the path's own start-up commands, which takes its notice. The blocks are gone; the
// application's next request must say so, or it would believe its backup is on the tape.
TEST_F(RestartedPathJob, AResetWhileTheOnlyPathWasStoppedReachesTheApplication)
{
    ASSERT_NO_FATAL_FAILURE(stopTheOnlyPathWithBlocksBufferedAndAResetArmed());
    ASSERT_EQ(run({{"op", "start"}, {"drive", kBuffered}, {"path", 0u}}).status, 0u);
    run({{"op", "clear-faults"}, {"drive", kBuffered}});

    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, kStatusBusReset)
        << "the reset's notice went to the path's start-up commands";
    // Told, the application finds where its data ends and writes the lost part again.
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u) << "one notice, one failure";
    expectTheLostBlocksReported();
}

// The same reset while the only path was stopped, and the bus's first look at where the drive
// stands after the start fails: the settings restore before it meets a failed MODE SELECT. The
// application's request must not run then (a locate or rewind would move the tape and hide the
// reset); it fails, and the next one still compares the drive's place with the application's and
// tells of the reset.
TEST_F(RestartedPathJob, AResetIsStillToldWhenTheFirstLookAtThePositionFails)
{
    ASSERT_NO_FATAL_FAILURE(stopTheOnlyPathWithBlocksBufferedAndAResetArmed());
    run({{"op", "fault"}, {"drive", kBuffered}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x15},
         {"sense", "04/44/00"}, {"executed", true}});
    ASSERT_EQ(run({{"op", "start"}, {"drive", kBuffered}, {"path", 0u}}).status, 0u);

    EXPECT_NE(run({{"op", "locate"}, {"handle", "h"}, {"block", 5}}).status, 0u)
        << "the drive's place after the start is not known yet";
    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).status, kStatusBusReset)
        << "the reset's notice went to the path's start-up commands";
    run({{"op", "clear-faults"}, {"drive", kBuffered}, {"path", 0u}});
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u);
    expectTheLostBlocksReported();
}

// A path that comes back while the drive kept its state changes nothing the application sees.
TEST_F(RestartedPathJob, APathThatComesBackWithoutAResetIsNotTakenForOne)
{
    bootDrive(kBuffered, "5abcdef00000000b", true, 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "stop"}, {"drive", kBuffered}, {"path", 0u}}).status, 0u);
    ASSERT_EQ(run({{"op", "start"}, {"drive", kBuffered}, {"path", 0u}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    const auto at = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(at.status, 0u);
    EXPECT_EQ(at.data.at("position"), 5u);
    run({{"op", "close"}, {"handle", "h"}});
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

}  // namespace
