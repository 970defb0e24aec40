// Backup jobs on drives that fail in ways no path can mend (a block the drive took and then
// could not write, a path whose settings could not be brought back), each checked against the
// drive's ground truth: whatever the application is told, nothing may land twice or out of place.
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "one_drive_job.h"
#include "runner.h"
#include "scenario.h"
#include "world.h"

namespace {

using nlohmann::json;

class DriveFaultJobs : public vorkasim::testing::OneDriveJob {
protected:
    void boot(bool buffered, int paths) { bootDrive(kDrive, "5abcdef000000041", buffered, paths); }
    // The medium's records once the drive has written its buffer.
    json records()
    {
        run({{"op", "flush"}, {"drive", kDrive}});
        return runner_->media().at(0).at("records");
    }

    // The job wrote sixteen 4096-byte blocks: the medium holds them as such, not as variable records.
    void expectSixteen4096ByteBlocks()
    {
        const json media = records();
        ASSERT_EQ(media.size(), 16u) << "sixteen 4096-byte blocks, not variable records";
        for (const json& r : media) EXPECT_EQ(r.at("len"), 4096);
    }
    // They read back from the start with their own stamps, and the check finds the media clean.
    void expectSixteenBlocksReadBackAndClean()
    {
        ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
        const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 4}, {"bytes", 16384}});
        EXPECT_EQ(read.status, 0u);
        EXPECT_EQ(read.data.at("blocks"), 16);
        EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
        const json v = verify();
        EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
        run({{"op", "close"}, {"handle", "h"}});
    }

    static constexpr const char* kDrive = "VRK0000000000041";
};

// The application closes its first file with a filemark, goes back over it and writes on. The
// drive takes the block into its buffer, acknowledges it and then fails to write it. The old
// filemark is gone with the failed write: the next file written after the error follows the
// first one directly, and nothing the application overwrote turns up again.
TEST_F(DriveFaultJobs, AFailedBufferedWriteOverAFilemarkDoesNotBringTheFilemarkBack)
{
    boot(true, 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 4}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    const auto failing = run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 8192}});
    EXPECT_NE(failing.status, 0u) << "the application hears of the failed write";
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    const auto at = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(at.status, 0u);
    EXPECT_EQ(at.data.at("position"), 4) << "end of data is where the drive failed";
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);

    const json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("duplicated"), 0);
    EXPECT_EQ(v.at("misplaced"), 0);
    const json media = records();
    ASSERT_EQ(media.size(), 7u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(media.at(i).at("type"), "data") << "record " << i;
    EXPECT_EQ(media.at(6).at("type"), "filemark");
    run({{"op", "close"}, {"handle", "h"}});
}

// The application writes 4096-byte blocks; its path goes down and the block size cannot be set
// on the other path at the first try, so that request fails. The next writes must still go out
// as 4096-byte blocks: one variable record per request would be data the application cannot
// read back as it wrote it.
TEST_F(DriveFaultJobs, ABlockSizeThatCouldNotBeRestoredIsRestoredBeforeTheNextWrite)
{
    boot(false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);
    // MODE SELECT fails on path 1 for a while, then path 0 goes down.
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 1u}, {"kind", "fail"}, {"opcode", 0x15}, {"count", 8},
         {"status", 0xC00000B5u}});
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});
    EXPECT_NE(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 16384}}).status, 0u)
        << "no path with the application's block size";
    run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", 1u}});
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 8}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);

    expectSixteen4096ByteBlocks();
    expectSixteenBlocksReadBackAndClean();
}

// Path 0 fails a position query and the settings go over to path 1. There the block size cannot
// be set at the first try and is set on path 0 after all; then the medium lock fails on path 0 and
// is set on path 1. The restore ends on path 1, the path it began on, but the block size went to
// path 0: path 1 must get it too before a write runs there, or the blocks go out in the drive's
// default block size, one variable record per request.
TEST_F(DriveFaultJobs, ABlockSizeSetOnTheOldPathDuringTheRestoreIsSetOnTheNewPathToo)
{
    boot(false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);
    // READ POSITION and PREVENT ALLOW MEDIUM REMOVAL fail once on path 0, MODE SELECT once on path 1.
    for (const auto& [path, opcode] : {std::pair{0u, 0x34}, std::pair{0u, 0x1E}, std::pair{1u, 0x15}}) {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "fail"}, {"opcode", opcode},
             {"status", 0xC0000185u}});
    }
    const auto at = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(at.status, 0u);
    EXPECT_EQ(at.data.at("position"), 8);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);

    expectSixteen4096ByteBlocks();
    ASSERT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    expectSixteenBlocksReadBackAndClean();
}

// The application sets 512-byte blocks with its own MODE SELECT while path 0 answers with a
// transport's sense and path 1 is down: the command runs on neither path, and the drive keeps its
// 4096-byte blocks. Told its MODE SELECT was good, the application would write 512-byte blocks the
// drive takes as 4096-byte ones. It must hear the failure, so that it asks the size in effect.
TEST_F(DriveFaultJobs, AModeSelectThatRanOnNoPathIsNotToldGood)
{
    boot(false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"count", 2}, {"sense", "0B/47/00"}});
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 1u}, {"kind", "down"}});
    const auto select = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "151000000c00"},
                             {"dataOut", "000000080000000000000200"}});
    EXPECT_FALSE(select.status == 0u && select.data.at("scsiStatus") == 0)
        << "the MODE SELECT reached no drive, yet the application was told it was good";
    run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", 0u}});
    run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", 1u}});
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);

    expectSixteen4096ByteBlocks();
    expectSixteenBlocksReadBackAndClean();
}

// A space fails and so does the position query the application makes after it: it does not know
// where the tape stands and reads on. What it reads cannot be expected to be a particular block,
// but it must be one of the drive's own records, intact.
TEST_F(DriveFaultJobs, AReadWithoutAKnownPositionStillGetsOnlyTheDrivesOwnRecords)
{
    boot(false, 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 1}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x11}, {"count", 3},
         {"status", 0xC000009Du}});
    EXPECT_NE(run({{"op", "space"}, {"handle", "h"}, {"kind", "blocks"}, {"count", 1}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "fail"}, {"opcode", 0x34}, {"count", 3},
         {"status", 0xC000009Du}});
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 2}, {"bytes", 65536}});
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.data.at("blocks"), 2);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());

    run({{"op", "close"}, {"handle", "h"}});
}

// The application rewinds to write a new backup over an old one. Its first record reaches the tape
// but the command's completion is lost, and the drive resets before the engine can ask where the
// tape stands: the write fails with the reset and the application is told nothing was written.
// It cannot know whether the record is on the tape, nor whether the old backup after it is still
// there; neither is lost or unexpected data. The record may be there once, at the start.
TEST_F(DriveFaultJobs, AWriteThatFailsWithAResetMayHaveEndedTheOldDataWhereItStarted)
{
    boot(false, 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 6}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "partial_transfer"}, {"k", 1}});
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "reset"}});
    const auto failed = run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}});
    EXPECT_NE(failed.status, 0u);
    EXPECT_EQ(failed.data.at("information"), 0);

    const json media = records();
    ASSERT_EQ(media.size(), 1u) << "the record reached the tape and ended the data there";
    json v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);

    // Writing on from where the drive says the tape is: the new file follows the record.
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 8192}}).status, 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    v = verify();
    EXPECT_TRUE(v.at("clean").get<bool>()) << vorkasim::VerifyVerdict(v);
    EXPECT_EQ(v.at("lost"), 0);
    EXPECT_EQ(v.at("unexpected"), 0);
    EXPECT_EQ(records().size(), 5u) << "the record, three blocks and a filemark";
    run({{"op", "close"}, {"handle", "h"}});
}

}  // namespace
