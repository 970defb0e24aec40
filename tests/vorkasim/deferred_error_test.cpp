// Backup jobs on a buffered drive that acknowledges a write and then cannot put it on the
// medium (a deferred write error): the drive says so on a later command, which it does not run.
// No path can bring the data back, so the application must hear of it, whichever request the
// drive's word lands on: its own, or one the tape bus sends for it (a position read, the
// settings restore on another path). A request that hears of it is never tried again on another
// path, which would turn the error into a success.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "one_drive_job.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusDeviceDataError;

class DeferredWriteError : public vorkasim::testing::OneDriveJob {
protected:
    void boot(int paths) { bootDrive(kDrive, "5abcdef000000051", true, paths); }
    // Boots, opens the tape as "h" and sets 512-byte blocks.
    void bootInBlocksOf512(int paths)
    {
        boot(paths);
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
        ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    }

    // Eight 512-byte blocks in one request; the drive writes the first of them and loses the rest.
    void writeThatTheDriveLoses()
    {
        run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 1}});
        const auto write = run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}});
        ASSERT_EQ(write.status, 0u) << "the drive acknowledged the blocks into its buffer";
    }
    json records()
    {
        run({{"op", "flush"}, {"drive", kDrive}});
        return runner_->media().at(0).at("records");
    }

    static constexpr const char* kDrive = "VRK0000000000051";
};

// The command that hears of the loss need not move the tape: an unlock of the medium-removal
// lock fails too, on its first path, and the blocks count as lost and reported.
TEST_F(DeferredWriteError, AnUnlockAfterAWriteTheDriveLostFailsInsteadOfMovingToTheOtherPath)
{
    boot(2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 8192}}).status, 0u)
        << "the drive acknowledges the write into its buffer";
    run({{"op", "clear-faults"}, {"drive", kDrive}});

    EXPECT_NE(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u) << "the loss must reach the application";
    run({{"op", "close"}, {"handle", "h"}});
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("lost"), 0u);
    EXPECT_GE(result.at("reportedLoss"), 1u);
}

// The application unlocked the medium while one path was away; when the path is back, the tape bus
// sends the unlock it missed to every path right after the next write, the writing path included.
// The drive lost that write from its buffer and says so in place of that unlock: the bus must not
// take it for a refused unlock alone. The application hears of the loss on its next request.
TEST_F(DeferredWriteError, ALossTheDriveReportsToTheBussOwnUnlockReachesTheApplication)
{
    boot(2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    run({{"op", "surprise-remove"}, {"drive", kDrive}, {"path", 1u}});
    ASSERT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    run({{"op", "add"}, {"drive", kDrive}, {"path", 1u}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 8192}}).status, 0u)
        << "the drive acknowledges the write into its buffer";
    run({{"op", "clear-faults"}, {"drive", kDrive}});

    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).status, kStatusDeviceDataError)
        << "the loss must reach the application";
    run({{"op", "close"}, {"handle", "h"}});
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("lost"), 0u);
    EXPECT_EQ(result.at("reportedLoss"), 1u);
}

// The rewind after the write is the command that hears of the failure. It must end with the
// drive's error: sending it again (on the same path or another) would find the drive quiet and
// report success, and the application would believe its seven lost blocks are on tape.
TEST_F(DeferredWriteError, TheNextRequestFailsAndIsNotRetriedOnAnotherPath)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 2048}}).status, 0u);
    writeThatTheDriveLoses();

    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, kStatusDeviceDataError);
    // Told, the application finds where the data ends and writes on from there.
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    const auto at = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(at.status, 0u);
    EXPECT_EQ(at.data.at("position"), 9) << "the data ends after the one block the drive wrote";
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 1024}}).status, 0u);

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("lost"), 0);
    EXPECT_EQ(v.at("reportedLoss"), 7);
    EXPECT_EQ(records().size(), 11u);
    run({{"op", "close"}, {"handle", "h"}});
}

// A write filemarks that waits for the buffer is the command that hears of the failure of the
// blocks before it. It ends with the error, and its marks are not written again elsewhere.
TEST_F(DeferredWriteError, AFilemarkWaitingForTheBufferFailsOnceAndIsNotWrittenAgain)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 1}});
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 2}}).status, kStatusDeviceDataError);

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    const json media = records();
    ASSERT_EQ(media.size(), 9u) << "eight blocks and the one filemark the drive wrote";
    EXPECT_EQ(media.at(8).at("type"), "filemark");
    run({{"op", "close"}, {"handle", "h"}});
}

// A reset rewinds the tape and the application's question where it stands then fails: it writes
// on all the same, and its blocks go to the start of the tape, where the drive then fails to
// write them. What it wrote there replaced the old file, which is its own doing, not a loss; the
// blocks the drive lost are the ones it is told of.
TEST_F(DeferredWriteError, BlocksWrittenWhereTheApplicationDidNotKnowAreJudgedWhereTheyWent)
{
    bootInBlocksOf512(1);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 2048}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    run({{"op", "reset"}, {"drive", kDrive}});
    EXPECT_NE(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u) << "the application hears of the reset";
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x34},
         {"status", 0xC000009Du}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    EXPECT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 2048}}).status, 0u);
    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, kStatusDeviceDataError);

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("lost"), 0);
    EXPECT_EQ(v.at("reportedLoss"), 4);
    EXPECT_TRUE(records().empty()) << "the failed write at the start of the tape ended the data there";
    run({{"op", "close"}, {"handle", "h"}});
}

// The same, but the drive gets the first block of the request onto the tape before it fails: the
// loss it records begins with the second block, one place after the start of the tape. The first
// block replaced the old file at the start (the application's own doing); the old blocks are not
// lost, and the block the drive wrote is where the application sent it.
TEST_F(DeferredWriteError, AWriteTheDriveLostAfterItsFirstBlockIsJudgedFromTheStartOfTheTape)
{
    bootInBlocksOf512(1);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 2048}}).status, 0u);
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "blocks"}, {"count", -5}}).status, 0u);
    run({{"op", "reset"}, {"drive", kDrive}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 1}});
    const auto write = run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 1536}});
    EXPECT_EQ(write.status, kStatusDeviceDataError) << "the second request hears of the loss";
    EXPECT_EQ(write.data.at("blocks"), 3) << "the first request was acknowledged whole";

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("lost"), 0);
    EXPECT_EQ(v.at("reportedLoss"), 2);
    EXPECT_EQ(v.at("blocks"), 1);
    const json media = records();
    ASSERT_EQ(media.size(), 1u) << "the drive's failure ended the data after the block it wrote";
    EXPECT_EQ(media.at(0).at("len"), 512);
    run({{"op", "close"}, {"handle", "h"}});
}

// Without a write buffer the failure strikes the write filemarks itself after its first mark, and
// the position read that should tell how many marks are on tape fails on every path. The request
// fails: sending it again on another path would write the mark a second time.
TEST_F(DeferredWriteError, AFailedFilemarkWhosePositionCannotBeReadIsNotWrittenAgain)
{
    bootDrive(kDrive, "5abcdef000000051", false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 1}});
    for (unsigned path = 0; path < 2; ++path) {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "fail"}, {"opcode", 0x34},
             {"status", 0xC000009Du}});
    }
    EXPECT_NE(run({{"op", "writefm"}, {"handle", "h"}, {"count", 2}}).status, 0u);

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    const json media = records();
    ASSERT_EQ(media.size(), 9u) << "eight blocks and the one filemark written before the failure";
    EXPECT_EQ(media.at(8).at("type"), "filemark");
    run({{"op", "close"}, {"handle", "h"}});
}

// A hardware error of the drive is a path failure for any current command, but the same sense
// reported as deferred is the drive's word on the lost blocks. The application's own TEST UNIT
// READY hears of it in its sense data; on another path it would have found the drive quiet.
TEST_F(DeferredWriteError, APassThroughGetsTheDeferredSenseItself)
{
    bootInBlocksOf512(2);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 1}, {"sense", "04/44/00"}});
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, 0u);

    const auto ready = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "000000000000"}});
    ASSERT_EQ(ready.status, 0u);
    EXPECT_EQ(ready.data.at("scsiStatus"), 2) << "CHECK CONDITION";
    const std::string sense = ready.data.at("sense").get<std::string>();
    ASSERT_GE(sense.size(), 2u);
    EXPECT_EQ(std::stoi(sense.substr(0, 2), nullptr, 16) & 0x7F, 0x71) << "deferred sense " << sense;

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("reportedLoss"), 7);
    run({{"op", "close"}, {"handle", "h"}});
}

// The drive keeps its word on the lost blocks for the path that wrote them, and the next command
// on that path fails in the adapter before it reaches the drive. The application's request, a
// locate that moves to the other path, must still fail: there the drive is quiet, and a success
// would leave the application believing its last blocks are on tape.
TEST_F(DeferredWriteError, BlocksLostWhileTheirPathFailsAreReportedOnTheOtherPath)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 2048}}).status, 0u);
    writeThatTheDriveLoses();
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"count", 3}, {"status", 0xC000009Du}});

    EXPECT_NE(run({{"op", "locate"}, {"handle", "h"}, {"block", 2}}).status, 0u)
        << "the loss must reach the application";
    run({{"op", "close"}, {"handle", "h"}});
    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("reportedLoss"), 7);
}

// The same with the application's own REWIND, which the path aborts (CHECK CONDITION, 0B/00/00)
// before it reaches the drive: the pass-through itself succeeds, but the drive wrote nothing out
// and still keeps its word on the lost blocks for that path. The rewind moves to the other path and
// must not succeed there in silence.
TEST_F(DeferredWriteError, BlocksLostUnderAPassThroughItsPathAbortedAreReportedOnTheOtherPath)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 2048}}).status, 0u);
    writeThatTheDriveLoses();
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x01}, {"sense", "0B/00/00"}});

    const auto rewind = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "010000000000"}});
    EXPECT_TRUE(rewind.status != 0u || rewind.data.at("scsiStatus") != 0) << "the loss must reach the application";
    run({{"op", "close"}, {"handle", "h"}});
    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("reportedLoss"), 7);
}

// The same path loss with nothing lost: the locate moves to the other path and succeeds, and the
// tape stands where the application asked.
TEST_F(DeferredWriteError, BufferedBlocksThatReachedTheTapeLetTheLocateOnTheOtherPathSucceed)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 2048}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});

    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 2}}).status, 0u);
    const auto at = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(at.status, 0u);
    EXPECT_EQ(at.data.at("position"), 2);
    const json v = closeAndVerify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("blocks"), 12);
}

// The application has lost track of where the tape stands (its position query failed) and writes
// a filemark, which fails: the drive lost it and everything after it. Written at the start of
// the tape, that mark was to end the data there anyway; the application was told it failed, so
// nothing it wrote earlier counts as silently lost.
TEST_F(DeferredWriteError, AFailedFilemarkWrittenWhereTheApplicationDidNotKnowItStoodIsNoSilentLoss)
{
    bootInBlocksOf512(2);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 2048}}).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    // A space backwards from the start fails: where the tape stands is for the drive to say.
    EXPECT_NE(run({{"op", "space"}, {"handle", "h"}, {"kind", "filemarks"}, {"count", -1}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"opcode", 0x34}, {"kind", "fail"}, {"count", 2},
         {"status", 0xC000009Du}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});

    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, kStatusDeviceDataError);
    run({{"op", "clear-faults"}, {"drive", kDrive}});
    const json v = closeAndVerify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("lost"), 0);
}

}  // namespace
