// A write-filemarks request whose mark reached the tape although the application was told it
// failed: the drive wrote the mark, its completion was lost, and the position read that would have
// told the drivers so failed too. No driver can know; the check must hold the tape to what the
// application could know, no less.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "ledger.h"
#include "one_drive_job.h"
#include "runner.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusDeviceNotConnected;

constexpr std::uint32_t kTimeout = 0xC00000B5u;

class FailedFilemark : public vorkasim::testing::OneDriveJob {
protected:
    void SetUp() override
    {
        bootDrive(kDrive, "5abcdef0000000f1", false, 1);
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    }
    vorkasim::StepResult writefm(int count) { return run({{"op", "writefm"}, {"handle", "h"}, {"count", count}}); }
    // The next WRITE FILEMARKS (or the command `opcode`) reaches the tape but its completion is
    // lost, and the drive then drops the connection for the position read after the failure (the
    // settings the bus restores after a lost connection go through).
    void loseTheNextMarksCompletion(int opcode = 0x10)
    {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", opcode},
             {"executed", true}, {"status", kTimeout}});
        dropTheConnectionOnce();
    }
    // The drive drops the connection for the next position read (the application's question, or
    // the bus's after a failure); the settings the bus restores after it go through.
    void dropTheConnectionOnce()
    {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x34}, {"count", 1u},
             {"status", kStatusDeviceNotConnected}});
    }
    vorkasim::StepResult spaceBlocks(int count)
    {
        return run({{"op", "space"}, {"handle", "h"}, {"kind", "blocks"}, {"count", count}});
    }
    std::uint64_t position() { return run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"); }
    std::vector<std::size_t> recordLengths() { return recordLengthsOf(kDrive); }

    static constexpr const char* kDrive = "VRKFMK0000000001";
};

// The application goes back into its data and writes a filemark there; the mark ends the data,
// but the application is told the request failed. It asks where the tape is (after the mark),
// writes another mark and a new file. The blocks the mark replaced were the application's own
// doing, the mark is not a duplicate, and the new file is in the right place.
TEST_F(FailedFilemark, AMarkThatReachedTheTapeEndsTheDataTheApplicationWroteItOver)
{
    ASSERT_EQ(write(6, 4096).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 4u}}).status, 0u);
    loseTheNextMarksCompletion();
    EXPECT_EQ(writefm(1).status, kTimeout);
    EXPECT_EQ(position(), 5u);
    ASSERT_EQ(writefm(1).status, 0u);
    ASSERT_EQ(write(2, 2048).status, 0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 4096, 4096, 0, 0, 2048, 2048}));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("filemarks"), 1);
}

// The same failure at the end of the data, and a file written straight after the unconfirmed mark:
// its blocks are one file later than the application knows of, which no driver could prevent.
TEST_F(FailedFilemark, AFileWrittenAfterTheUnconfirmedMarkIsNotMisplaced)
{
    ASSERT_EQ(write(3, 4096).status, 0u);
    loseTheNextMarksCompletion();
    EXPECT_EQ(writefm(1).status, kTimeout);
    ASSERT_EQ(write(2, 2048).status, 0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 4096, 0, 2048, 2048}));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("misplaced"), 0);
}

// The application spaces back over its last block, so it asks where the tape is, and the question
// fails (the connection drops). The mark it sends anyway lands over that block and ends the data
// there, and it is told the request failed. It learns the position after the mark and writes a new
// file: the replaced block, the mark and the file are all what it could know of.
TEST_F(FailedFilemark, AMarkSentWhereTheApplicationCouldNotLearnThePositionEndsTheDataThere)
{
    ASSERT_EQ(write(3, 4096).status, 0u);
    ASSERT_EQ(spaceBlocks(-1).status, 0u);
    dropTheConnectionOnce();
    loseTheNextMarksCompletion();
    EXPECT_EQ(writefm(1).status, kTimeout);
    EXPECT_EQ(position(), 3u);
    ASSERT_EQ(write(2, 2048).status, 0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 0, 2048, 2048}));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
}

// The same with a block (WRITE(6)) sent three blocks back: it ends the data where it landed, and
// the two blocks after it are gone with the application knowing the write failed.
TEST_F(FailedFilemark, ABlockSentWhereTheApplicationCouldNotLearnThePositionEndsTheDataThere)
{
    ASSERT_EQ(write(6, 4096).status, 0u);
    ASSERT_EQ(spaceBlocks(-3).status, 0u);
    dropTheConnectionOnce();
    loseTheNextMarksCompletion(0x0A);
    EXPECT_EQ(write(1, 4096).status, kTimeout);
    EXPECT_EQ(position(), 4u);
    ASSERT_EQ(write(2, 2048).status, 0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 4096, 4096, 2048, 2048}));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
}

// A failed request's marks are allowed once: a second mark there, written behind the
// application's back, is a duplicate all the same, and blocks before the mark still count.
TEST_F(FailedFilemark, AMarkBeyondWhatTheFailedRequestAskedForIsDuplicated)
{
    ASSERT_EQ(write(3, 4096).status, 0u);
    loseTheNextMarksCompletion();
    EXPECT_EQ(writefm(1).status, kTimeout);
    EXPECT_EQ(position(), 4u);
    markFromAnotherHost(kDrive);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 4096, 0, 0}));
    const json verdict = closeAndVerify();
    EXPECT_FALSE(verdict.at("clean").get<bool>());
    EXPECT_EQ(verdict.at("duplicated"), 1);
    EXPECT_EQ(verdict.at("lost"), 0);
}

}  // namespace
