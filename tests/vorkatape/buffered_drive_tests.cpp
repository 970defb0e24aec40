// A drive with a write buffer below the base driver: acknowledged writes count in
// the position before they are on the medium, and a write the drive fails to put
// on tape later reaches the next forwarded request's status record.
#include <cstring>

#include "tape_fixture.h"

namespace tapetest {
namespace {

class BufferedDrive : public OneDriveTwoPaths {
protected:
    void Configure(sim::hw::DriveConfig& config) override { config.buffered = true; }
};

TEST_P(BufferedDrive, ThePositionCountsBufferedBlocksAndWriteMarksWithoutImmediateFlushes) {
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(100, 1)).reply.status, STATUS_SUCCESS);
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(200, 2)).reply.status, STATUS_SUCCESS);
    EXPECT_TRUE(drive_->records().empty());
    EXPECT_EQ(Position(b_), 2u) << "another path finds the position after the acknowledged blocks";

    TAPE_WRITE_MARKS flush{TAPE_FILEMARKS, 0, FALSE};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_WRITE_MARKS, &flush).status, STATUS_SUCCESS);
    ASSERT_EQ(drive_->records().size(), 2u);
    EXPECT_EQ(drive_->records()[1].data, Pattern(200, 2));
}

TEST_P(BufferedDrive, AFailedBufferedWriteReachesTheNextRequestsStatusRecord) {
    pathA_->injectFault(sim::hw::Fault{.kind = sim::hw::FaultKind::DeferredError, .k = 0});
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(64, 1)).reply.status, STATUS_SUCCESS) << "acknowledged";

    Forwarded next = ForwardWrite(Table(), a_.filter, Pattern(64, 2));
    EXPECT_EQ(next.reply.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(next.record.iStatus, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(next.record.fSenseValid, 1);
    EXPECT_EQ(next.record.ucSenseKey, 0x03);
    EXPECT_EQ(next.record.ucAsc, 0x0C);
    EXPECT_EQ(next.record.ucFlags & SCSI_STATUS_FLAG_DEFERRED, SCSI_STATUS_FLAG_DEFERRED)
        << "the error is an earlier command's: the bus must not send this one again elsewhere";
    EXPECT_EQ(next.record.ulInformation, 64u) << "this write did not run";
    EXPECT_TRUE(drive_->records().empty()) << "neither block is on the tape";
    ASSERT_EQ(drive_->bufferLosses().size(), 1u);
    EXPECT_TRUE(drive_->bufferLosses()[0].reported);
    EXPECT_EQ(Position(a_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tape, BufferedDrive, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
