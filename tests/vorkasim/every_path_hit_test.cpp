// Backup jobs on a drive that loses every path at once, or whose only path fails requests: the
// requests may fail, but what the application was told it wrote is on the tape, once, in order,
// in the block size it set.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "ledger.h"
#include "one_drive_job.h"
#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusDeviceNotConnected;

class EveryPathHit : public vorkasim::testing::OneDriveJob {
protected:
    void boot(int paths, const nlohmann::json& fields = nlohmann::json::object())
    {
        bootDrive(kDrive, "5abcdef0000000e1", false, paths, fields);
    }
    void pathDown(unsigned path) { run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}}); }
    void pathBack(unsigned path) { run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", path}}); }
    std::vector<std::size_t> recordLengths() { return recordLengthsOf(kDrive); }

    static constexpr const char* kDrive = "VRKHIT0000000001";
};

// Both paths drop while the application writes 512-byte blocks: the write fails, and bringing the
// application's block size to the second path fails with it. The paths come back with the drive's
// default (variable) size. The next writes must still be 512-byte blocks: the size the restore
// could not send is still the application's, not forgotten in favour of what a fresh path reports.
TEST_F(EveryPathHit, BlockSizeTheRestoreCouldNotSendIsStillTheApplicationsWhenThePathsReturn)
{
    boot(2, {{"modePages", "perLogin"}});  // each path's login forgets its own settings
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(2, 4096).status, 0u);
    pathDown(0);
    pathDown(1);
    EXPECT_EQ(write(1, 4096).status, kStatusDeviceNotConnected);
    pathBack(0);
    pathBack(1);
    ASSERT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 16);
    const auto second = write(2, 4096);
    ASSERT_EQ(second.status, 0u);
    EXPECT_EQ(second.data.at("blocks"), 16);

    EXPECT_EQ(recordLengths(), std::vector<std::size_t>(32, 512));
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 4}, {"bytes", 4096}});
    EXPECT_EQ(read.data.at("blocks"), 32);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("blocks"), 32);
}

// The application's change to variable blocks fails with both paths down, and the paths come back
// at the drive's default (its mode pages are each login's own). A failed change may or may not have
// reached the drive, so the application asks which size is in effect and writes in that: each
// request is one record, and everything it was told it wrote is on the tape.
TEST_F(EveryPathHit, AfterAFailedBlockSizeChangeTheApplicationWritesInTheSizeTheDriveReports)
{
    boot(2, {{"modePages", "perLogin"}});
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(write(2, 4096).status, 0u);
    pathDown(0);
    pathDown(1);
    EXPECT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 0}}).status, kStatusDeviceNotConnected);
    pathBack(0);
    pathBack(1);
    const auto after = write(2, 4096);
    ASSERT_EQ(after.status, 0u);
    EXPECT_EQ(after.data.at("blocks"), 2);  // two variable records of 4096 bytes

    std::vector<std::size_t> expected(16, 512);
    expected.push_back(4096);
    expected.push_back(4096);
    EXPECT_EQ(recordLengths(), expected);
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("lost"), 0);
    EXPECT_EQ(verdict.at("blocks"), 18);
}

// On the only path a write puts its record on the tape and then fails, and the position read that
// would tell the drivers so fails too: the application hears of a failure. It asks where the tape
// is (one record further than it knows of), writes a filemark and data there, then goes back to
// just after the filemark and writes again. The record of the failed write is not one the
// application was told of, yet no driver could have kept it off the tape: it is counted apart,
// and what the application wrote after it is judged where the application put it.
TEST_F(EveryPathHit, ARecordOfAFailedWriteOnTheTapeIsNeitherExpectedNorHeldAgainstTheDrive)
{
    boot(1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(1, 20000).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "partial_write"}, {"k", 3u}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"count", 1u}, {"status", kStatusDeviceNotConnected}});
    const auto failed = write(1, 16384);
    EXPECT_NE(failed.status, 0u);
    EXPECT_EQ(failed.data.at("blocks"), 0);
    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 2);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(write(2, 8192).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 3}}).status, 0u);
    ASSERT_EQ(write(1, 4096).status, 0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{20000, 16384, 0, 4096}));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("unconfirmed"), 1);
    EXPECT_EQ(verdict.at("unexpected"), 0);
    EXPECT_EQ(verdict.at("blocks"), 2);
    EXPECT_EQ(verdict.at("filemarks"), 1);
}

// The same record, but written again after the failure: a failed write is never repeated on the
// tape, so a second copy of it counts as duplicated.
TEST_F(EveryPathHit, ARecordOfAFailedWriteFoundTwiceIsDuplicated)
{
    boot(1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);  // step 1
    ASSERT_EQ(write(1, 20000).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "partial_write"}, {"k", 3u}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"count", 1u}, {"status", kStatusDeviceNotConnected}});
    EXPECT_NE(write(1, 16384).status, 0u);  // step 5: its record is 5.0
    // What a faulty retry would leave: the failed request's record once more, after the first.
    std::vector<std::uint8_t> block(16384);
    vorkasim::StampBlock(block, vorkasim::Stamp{5, 0});
    std::string hex;
    for (std::uint8_t byte : block) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    ASSERT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 2);
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "0a0000400000"}, {"dataOut", hex}}).status,
              0u);

    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{20000, 16384, 16384}));
    const json verdict = closeAndVerify();
    EXPECT_FALSE(verdict.at("clean").get<bool>());
    EXPECT_EQ(verdict.at("duplicated"), 1);
    EXPECT_EQ(verdict.at("unconfirmed"), 1);
}

// The only path fails the application's locate and then its position query: the application
// reads on without knowing where it is. What it reads comes from where the drive stands, and is
// judged there: every block is the drive's record at that place.
TEST_F(EveryPathHit, BlocksReadWhereTheApplicationCouldNotLearnThePositionAreJudgedWhereTheDriveStands)
{
    boot(1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(6, 8192).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 2u}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"count", 2u},
         {"status", kStatusDeviceNotConnected}});
    EXPECT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 4u}}).status, kStatusDeviceNotConnected);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 6}, {"bytes", 65536}});
    EXPECT_EQ(read.status, 0x80000022u);  // the end of the data after the rest of the blocks
    EXPECT_EQ(read.data.at("blocks"), 4);  // from block 2, where the drive still stood
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
}

// A variable-block read shorter than the record gets the record's start and
// STATUS_BUFFER_OVERFLOW: the bytes are the drive's, and the read is judged so.
TEST_F(EveryPathHit, AReadShorterThanTheRecordGetsTheRecordsStart)
{
    boot(1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write(2, 16384).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}});
    EXPECT_EQ(read.status, 0x80000005u);
    EXPECT_EQ(read.data.at("information"), 4096);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
}

}  // namespace
