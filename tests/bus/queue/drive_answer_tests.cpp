// What the drive answered, not what the request asked: pass-through commands the drive ended with
// CHECK CONDITION (a space stopped by a filemark, a locate past the end of data, a write cut short,
// a path failure reported after the command ran), the position the application reads itself, a
// flush that never reached the drive, and compression the application chose, across a failover.
// Each time the tape holds what the application was told, once and in order.
#include "failover_fixture.h"

namespace {

using namespace failover_test;

constexpr std::uint8_t kSpace6 = 0x11;
constexpr std::uint8_t kWriteFilemarks6 = 0x10;
constexpr std::uint8_t kCheckCondition = 0x02;

class DriveAnswers : public Failover {
protected:
    Reply Send(PassThrough& pt) { return app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)); }
    // A write of 8 blocks of 512 bytes of which 3 reach the tape before path A is pulled: the bus
    // finishes it on path B, from where the drive says the first 3 ended.
    Reply WriteCutOffAfterThree(const std::vector<std::uint8_t>& data) {
        pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kDeviceNotConnected, .opcode = kWrite6, .k = 3});
        pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
        return app_->Write(data);
    }
    static std::vector<std::uint8_t> FirstBlocks(const std::vector<std::uint8_t>& data, size_t blocks) {
        return {data.begin(), data.begin() + static_cast<std::ptrdiff_t>(blocks * 512)};
    }
    // Another host on the SAN sends a command to the drive, which the bus never sees.
    void AnotherHostSends(std::vector<std::uint8_t> cdb) {
        const auto other = drive_->attachInitiator("another host");
        sim::hw::CommandResult result;
        for (int attempt = 0; attempt < 3; ++attempt) {   // past the new nexus's unit attention
            result = drive_->execute(other, sim::hw::Command{cdb, {}, 0});
            if (result.scsiStatus == sim::hw::kScsiGood) break;
        }
        ASSERT_EQ(result.scsiStatus, sim::hw::kScsiGood);
    }
};

// The application spaces back six blocks; the drive stops at the filemark after three and says so.
// The application writes over the mark, and the write is cut off: it is finished from block 5,
// where the drive stands, not from block 3, where six blocks back would have been.
TEST_P(DriveAnswers, ASpaceStoppedByAFilemarkLeavesNoWrongPositionForTheNextWrite) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto first = LeadIn(5);
    TAPE_WRITE_MARKS mark{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &mark).status, STATUS_SUCCESS);
    ASSERT_EQ(app_->Write(Pattern(3 * 512, 2)).status, STATUS_SUCCESS);
    PassThrough space = MakePassThrough({kSpace6, 0x00, 0xFF, 0xFF, 0xFA, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    ASSERT_EQ(Send(space).status, STATUS_SUCCESS);
    EXPECT_EQ(space.spt.ScsiStatus, kCheckCondition);
    ASSERT_EQ(GroundPosition(), 5u);

    const auto data = Pattern(8 * 512, 9);
    EXPECT_EQ(WriteCutOffAfterThree(data).status, STATUS_SUCCESS);
    ExpectMedium(first, data);
}

// A LOCATE to block 100 of a tape whose data ends at block 10 stops there (blank check).
TEST_P(DriveAnswers, ALocatePastTheEndOfDataLeavesNoWrongPositionForTheNextWrite) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto first = LeadIn(10);
    PassThrough locate = MakePassThrough({0x2B, 0, 0, 0, 0, 0, 100, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    ASSERT_EQ(Send(locate).status, STATUS_SUCCESS);
    EXPECT_EQ(locate.spt.ScsiStatus, kCheckCondition);
    ASSERT_EQ(GroundPosition(), 10u);

    const auto data = Pattern(8 * 512, 4);
    EXPECT_EQ(WriteCutOffAfterThree(data).status, STATUS_SUCCESS);
    ExpectMedium(first, data);
}

// A write through pass-through of which 3 of 8 blocks reach the tape before a medium error: the
// whole data phase went over the link, but the drive stands after block 3. A later write cut off
// on its path is finished from there.
TEST_P(DriveAnswers, APassThroughWriteCutShortByTheDriveLeavesNoWrongPositionForTheNextWrite) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    PassThrough pt = MakePassThrough({kWrite6, 0x01, 0, 0, 8, 0}, SCSI_IOCTL_DATA_OUT, 4096);
    const auto mine = Pattern(4096, 8);
    std::memcpy(pt.data, mine.data(), mine.size());
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x03, .asc = 0x0C, .opcode = kWrite6, .k = 3});
    ASSERT_EQ(Send(pt).status, STATUS_SUCCESS);
    EXPECT_EQ(pt.spt.ScsiStatus, kCheckCondition) << "the application hears of the medium error";
    ASSERT_EQ(GroundPosition(), 3u);

    const auto data = Pattern(8 * 512, 5);
    EXPECT_EQ(WriteCutOffAfterThree(data).status, STATUS_SUCCESS);
    ExpectMedium(FirstBlocks(mine, 3), data);
}

// The drive ran the command, then answered ABORTED COMMAND, a path failure: the command moves to
// path B, and what it did on path A counts. A space moves the tape once, filemarks are written
// once, and a write that is all on tape is reported done, in the record's status too, so that the
// application does not send it again.
TEST_P(DriveAnswers, ACommandThatRanBeforeItsPathFailedTakesEffectOnce) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto mine = Pattern(4096, 6);
    PassThrough write = MakePassThrough({kWrite6, 0x01, 0, 0, 8, 0}, SCSI_IOCTL_DATA_OUT, 4096);
    std::memcpy(write.data, mine.data(), mine.size());
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = kWrite6, .executed = true});
    ASSERT_EQ(Send(write).status, STATUS_SUCCESS);
    EXPECT_EQ(write.spt.ScsiStatus, sim::hw::kScsiGood) << "all 8 blocks are on tape";
    EXPECT_EQ(write.spt.DataTransferLength, 4096u);
    ExpectMedium({}, mine);

    PassThrough marks = MakePassThrough({kWriteFilemarks6, 0, 0, 0, 2, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = kWriteFilemarks6, .executed = true});
    ASSERT_EQ(Send(marks).status, STATUS_SUCCESS);
    EXPECT_EQ(marks.spt.ScsiStatus, sim::hw::kScsiGood);
    EXPECT_EQ(drive_->records().size(), 10u) << "8 blocks and 2 filemarks, each once";

    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    PassThrough space = MakePassThrough({kSpace6, 0, 0, 0, 5, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = kSpace6, .executed = true});
    ASSERT_EQ(Send(space).status, STATUS_SUCCESS);
    EXPECT_EQ(space.spt.ScsiStatus, sim::hw::kScsiGood);
    EXPECT_EQ(GroundPosition(), 5u) << "spaced five blocks, not ten";
}

// Another host moves the tape behind the bus's back; the application reads the position (through
// the tape API, or READ POSITION of its own) and then writes. The write is cut off on its path and
// finished from where the drive said it was.
TEST_P(DriveAnswers, ThePositionTheApplicationReadsIsWhereAFailedWriteIsFinishedFrom) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto first = LeadIn(10);
    AnotherHostSends({0x2B, 0, 0, 0, 0, 0, 4, 0, 0, 0});
    TAPE_GET_POSITION where{};
    where.Type = TAPE_LOGICAL_POSITION;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &where).status, STATUS_SUCCESS);
    ASSERT_EQ(where.Offset.QuadPart, 4);

    const auto data = Pattern(8 * 512, 5);
    EXPECT_EQ(WriteCutOffAfterThree(data).status, STATUS_SUCCESS);
    ExpectMedium(FirstBlocks(first, 4), data);
}

TEST_P(DriveAnswers, ThePositionTheApplicationReadsThroughPassThroughIsWhereAFailedWriteIsFinishedFrom) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto first = LeadIn(10);
    AnotherHostSends({0x2B, 0, 0, 0, 0, 0, 6, 0, 0, 0});
    PassThrough where = MakePassThrough({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 20);
    ASSERT_EQ(Send(where).status, STATUS_SUCCESS);
    ASSERT_EQ(where.spt.ScsiStatus, sim::hw::kScsiGood);
    ASSERT_EQ(where.data[7], 6);

    const auto data = Pattern(8 * 512, 5);
    EXPECT_EQ(WriteCutOffAfterThree(data).status, STATUS_SUCCESS);
    ExpectMedium(FirstBlocks(first, 6), data);
}

// Compression the application turned off, with the tape API or with its own MODE SELECT of the
// data compression page, is off on the path the drive is reached through after a failover.
TEST_P(DriveAnswers, CompressionTheApplicationTurnedOffStaysOffOnTheNewPath) {
    TAPE_SET_DRIVE_PARAMETERS params{};
    params.Compression = FALSE;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_SET_DRIVE_PARAMS, &params).status, STATUS_SUCCESS);
    ASSERT_FALSE(drive_->initiatorSettings(pathA_->initiator()).compression);
    pathA_->setDown();
    ASSERT_EQ(app_->Write(Pattern(1024, 2)).status, STATUS_SUCCESS);
    EXPECT_FALSE(drive_->initiatorSettings(pathB_->initiator()).compression);
}

TEST_P(DriveAnswers, CompressionTurnedOffByModeSelectStaysOffOnTheNewPath) {
    // MODE SELECT(6), page format, no block descriptor, the data compression page with DCE clear.
    PassThrough select = MakePassThrough({0x15, 0x10, 0, 0, 20, 0}, SCSI_IOCTL_DATA_OUT, 20);
    const std::uint8_t list[20] = {0, 0, 0x10, 0, 0x0F, 0x0E, 0x00, 0x80, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(select.data, list, sizeof(list));
    ASSERT_EQ(Send(select).status, STATUS_SUCCESS);
    ASSERT_EQ(select.spt.ScsiStatus, sim::hw::kScsiGood);
    ASSERT_FALSE(drive_->initiatorSettings(pathA_->initiator()).compression);
    pathA_->setDown();
    ASSERT_EQ(app_->Write(Pattern(1024, 2)).status, STATUS_SUCCESS);
    EXPECT_FALSE(drive_->initiatorSettings(pathB_->initiator()).compression);
}

// The application locks the medium through path A; path A then fails a write and the position
// read after it in the adapter (the drive keeps path A's lock), and the backup goes on through
// path B, which gets the lock too. The application unlocks and ejects: the eject
// must not meet path A's old lock.
TEST_P(DriveAnswers, AnUnlockReachesThePathTheLockWasTakenOn) {
    ASSERT_EQ(Prepare(TAPE_LOCK), STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWrite6});
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = 0x34});
    ASSERT_EQ(app_->Write(Pattern(1024, 2)).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval) << "the lock moved along";

    ASSERT_EQ(Prepare(TAPE_UNLOCK), STATUS_SUCCESS);
    EXPECT_FALSE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    EXPECT_FALSE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval);
    EXPECT_EQ(Prepare(TAPE_UNLOAD), STATUS_SUCCESS) << "the eject at the end of the backup";
}

// The same with the application's own PREVENT ALLOW MEDIUM REMOVAL, and path A still failing when
// the application unlocks: it gets the unlock once it answers again, before the eject.
TEST_P(DriveAnswers, AnUnlockAPathMissedReachesItBeforeTheEject) {
    PassThrough prevent = MakePassThrough({0x1E, 0, 0, 0, 1, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    ASSERT_EQ(Send(prevent).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = Fault::kForever, .status = kDeviceNotConnected});
    ASSERT_EQ(app_->Write(Pattern(1024, 2)).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval) << "the lock moved along";

    PassThrough allow = MakePassThrough({0x1E, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    ASSERT_EQ(Send(allow).status, STATUS_SUCCESS);
    EXPECT_FALSE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval);
    pathA_->clearFaults();
    EXPECT_EQ(Prepare(TAPE_UNLOAD), STATUS_SUCCESS) << "the eject at the end of the backup";
    EXPECT_FALSE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
}

class BufferedDrive : public DriveAnswers {
protected:
    void ConfigureDrive(sim::hw::DriveConfig& config) override { config.buffered = true; }
};

// Filemarks with a count of 0, the sync point a backup program sets: the command fails before it
// reaches the drive, which still holds the written block in its buffer. Success may only come back
// once the block is on the medium.
TEST_P(BufferedDrive, AFlushThatNeverReachedTheDriveIsSentOnTheOtherPath) {
    ASSERT_EQ(app_->Write(Pattern(4096, 3)).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->records().empty()) << "acknowledged from the drive's buffer";
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWriteFilemarks6});
    TAPE_WRITE_MARKS flush{TAPE_FILEMARKS, 0, FALSE};
    EXPECT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &flush).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 1u) << "the block is on the medium";
}

INSTANTIATE_TEST_SUITE_P(Pending, DriveAnswers, ::testing::Bool(), PendingName);
INSTANTIATE_TEST_SUITE_P(Pending, BufferedDrive, ::testing::Bool(), PendingName);

}  // namespace
