// Reading and writing through a path: what an application writes lands on the
// medium exactly (compared with the drive's ground truth), reads give it back,
// and the tape conditions (short and long blocks, filemarks, end of data) come
// back with the statuses and the status-record fields the tape bus relies on.
#include "tape_fixture.h"

namespace tapetest {
namespace {

using Data = OneDriveTwoPaths;

std::vector<std::uint8_t> Bytes(const sim::hw::Record& record) { return record.data; }

TEST_P(Data, VariableBlocksLandOnTheMediumAsWrittenAndReadBack) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    const std::vector<std::vector<std::uint8_t>> blocks = {Pattern(100, 1), Pattern(4000, 2), Pattern(65536, 3)};
    for (const auto& block : blocks) {
        Reply r = app.Write(block);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, block.size());
    }

    const auto records = drive_->records();
    ASSERT_EQ(records.size(), blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_FALSE(records[i].isFilemark());
        EXPECT_EQ(Bytes(records[i]), blocks[i]) << "record " << i;
    }
    EXPECT_EQ(Position(a_), 3u);

    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);
    for (const auto& block : blocks) {
        std::vector<std::uint8_t> data;
        Reply r = app.Read(&data, 70000);  // longer than every block: each read returns one block
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, block.size());
        EXPECT_EQ(data, block);
    }
}

TEST_P(Data, FixedBlocksSplitTheTransferIntoBlocksOfTheSetSize) {
    ASSERT_EQ(SetBlockSize(a_, 512).status, STATUS_SUCCESS);
    TAPE_GET_MEDIA_PARAMETERS media{};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_GET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
    EXPECT_EQ(media.BlockSize, 512u);

    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    const auto written = Pattern(8192, 9);
    Reply w = app.Write(written);
    ASSERT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, 8192u);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 16u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(Bytes(records[i]), std::vector<std::uint8_t>(written.begin() + 512 * i, written.begin() + 512 * (i + 1)));
    }

    // A length that is not a multiple of the block size is refused before the drive moves.
    EXPECT_EQ(app.Write(Pattern(1000, 1)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(drive_->records().size(), 16u);

    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> data;
    Reply r = app.Read(&data, 4096);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<std::uint8_t>(written.begin(), written.begin() + 4096));
    EXPECT_EQ(Position(a_), 8u);
}

TEST_P(Data, StatusRecordCarriesTheBytesNotTransferred) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(100, 4)).status, STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(300, 5)).status, STATUS_SUCCESS);
    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);

    // A short block: its data and length; the record counts the 412 bytes not read.
    Forwarded shortRead = ForwardRead(Table(), a_.filter, 512);
    EXPECT_EQ(shortRead.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(shortRead.reply.information, 100u);
    EXPECT_EQ(shortRead.data, Pattern(100, 4));
    EXPECT_EQ(shortRead.record.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(shortRead.record.ulInformation, 412u);

    // A full transfer leaves nothing untransferred: the residual is 0, not the length.
    Forwarded fullRead = ForwardRead(Table(), a_.filter, 300);
    EXPECT_EQ(fullRead.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(fullRead.reply.information, 300u);
    EXPECT_EQ(fullRead.record.ulInformation, 0u);

    Forwarded write = ForwardWrite(Table(), a_.filter, Pattern(2048, 6));
    EXPECT_EQ(write.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(write.record.ulInformation, 0u);
    EXPECT_EQ(write.record.fSenseValid, 0);
    EXPECT_EQ(drive_->records().size(), 3u);
}

TEST_P(Data, FilemarkStopsTheReadAndIsFlaggedInTheRecord) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(64, 1)).status, STATUS_SUCCESS);
    ASSERT_EQ(WriteFilemarks(a_, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(80, 2)).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->records()[1].isFilemark());
    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);

    std::vector<std::uint8_t> data;
    ASSERT_EQ(app.Read(&data, 1024).status, STATUS_SUCCESS);
    Forwarded mark = ForwardRead(Table(), a_.filter, 1024);
    EXPECT_EQ(mark.reply.status, STATUS_FILEMARK_DETECTED);
    EXPECT_EQ(mark.reply.information, 0u);
    EXPECT_EQ(mark.record.iStatus, STATUS_FILEMARK_DETECTED);
    EXPECT_EQ(mark.record.fSenseValid, 1);
    EXPECT_EQ(mark.record.ucFlags & 0x80, 0x80) << "filemark flag";
    EXPECT_EQ(mark.record.ucFlags & 0x40, 0) << "no end-of-medium flag";
    EXPECT_EQ(mark.record.ucFlags & SCSI_STATUS_FLAG_DEFERRED, 0) << "the read's own condition";
    EXPECT_EQ(mark.record.ulInformation, 1024u);

    // The read after the filemark gets the next file's block.
    Reply next = app.Read(&data, 1024);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(data, Pattern(80, 2));
}

TEST_P(Data, EndOfDataAndOverlongBlocksHaveTheirOwnStatuses) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(1000, 7)).status, STATUS_SUCCESS);
    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);

    // A block longer than the buffer: what fits, with a warning.
    std::vector<std::uint8_t> data;
    Reply longBlock = app.Read(&data, 600);
    EXPECT_EQ(longBlock.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(longBlock.information, 600u);
    const auto written = Pattern(1000, 7);
    EXPECT_EQ(data, std::vector<std::uint8_t>(written.begin(), written.begin() + 600));

    // Nothing after the last block: blank check.
    Forwarded end = ForwardRead(Table(), a_.filter, 512);
    EXPECT_EQ(end.reply.status, STATUS_NO_DATA_DETECTED);
    EXPECT_EQ(end.record.fSenseValid, 1);
    EXPECT_EQ(end.record.ucSenseKey, 0x08);
}

TEST_P(Data, TransportFailureOfAPathIsItsStatusAndLeavesTheOtherPathWorking) {
    pathA_->setDown(sim::hw::kStatusDeviceNotConnected);
    Forwarded failed = ForwardRead(Table(), a_.filter, 512);
    EXPECT_EQ(failed.reply.status, static_cast<NTSTATUS>(sim::hw::kStatusDeviceNotConnected));
    EXPECT_EQ(failed.record.iStatus, static_cast<NTSTATUS>(sim::hw::kStatusDeviceNotConnected));
    EXPECT_EQ(failed.record.fSenseValid, 0);
    EXPECT_EQ(failed.record.ulInformation, 512u);

    Forwarded written = ForwardWrite(Table(), b_.filter, Pattern(256, 3));
    EXPECT_EQ(written.reply.status, STATUS_SUCCESS);
    ASSERT_EQ(drive_->records().size(), 1u);
    pathA_->restore();
    // The outage lost path A's nexus: its next request hears of it, once.
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    std::vector<std::uint8_t> input(sizeof position);
    std::memcpy(input.data(), &position, sizeof position);
    Forwarded lost = ForwardControl(Table(), a_.filter, IOCTL_TAPE_GET_POSITION, input, sizeof position);
    EXPECT_EQ(lost.reply.status, STATUS_BUS_RESET);
    EXPECT_EQ(lost.record.fSenseValid, 1);
    EXPECT_EQ(lost.record.ucSenseKey, 0x06);
    EXPECT_EQ(lost.record.ucAsc, 0x29);
    EXPECT_EQ(lost.record.ucAscq, 0x07);
    EXPECT_EQ(Position(a_), 1u) << "the position belongs to the drive, seen from every path";
}

TEST_P(Data, UnitAttentionsReachTheCallerOnceWithTheirSense) {
    drive_->reset();
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    std::vector<std::uint8_t> input(sizeof position);
    std::memcpy(input.data(), &position, sizeof position);
    Forwarded reset = ForwardControl(Table(), a_.filter, IOCTL_TAPE_GET_POSITION, input, sizeof position);
    EXPECT_EQ(reset.reply.status, STATUS_BUS_RESET);
    EXPECT_EQ(reset.record.fSenseValid, 1);
    EXPECT_EQ(reset.record.ucSenseKey, 0x06);
    EXPECT_EQ(reset.record.ucAsc, 0x29);
    EXPECT_EQ(Position(a_), 0u) << "reported once; the next request works";

    // Operator changes the cartridge: every path hears of it.
    drive_->operatorUnload();
    auto cartridge = drive_->takeCartridge();
    ASSERT_NE(cartridge, nullptr);
    TAPE_GET_POSITION noMedium{};
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_GET_POSITION, &noMedium).status, STATUS_NO_MEDIA);
    ASSERT_EQ(drive_->insertCartridge(std::move(cartridge)), nullptr);
    TAPE_GET_POSITION changed{};
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_GET_POSITION, &changed).status, STATUS_MEDIA_CHANGED);
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_GET_POSITION, &changed).status, STATUS_SUCCESS);
}

TEST_P(Data, TapeRequestsMoveTheDriveAsAsked) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    for (std::uint8_t i = 0; i < 5; ++i) ASSERT_EQ(app.Write(Pattern(128, i)).status, STATUS_SUCCESS);
    ASSERT_EQ(WriteFilemarks(a_, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(128, 9)).status, STATUS_SUCCESS);

    TAPE_SET_POSITION locate{};
    locate.Method = TAPE_LOGICAL_BLOCK;
    locate.Offset.QuadPart = 2;
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_SET_POSITION, &locate).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 2u);

    TAPE_SET_POSITION back{};
    back.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    back.Offset.QuadPart = -1;
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_SET_POSITION, &back).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 1u);

    TAPE_SET_POSITION file{};
    file.Method = TAPE_SPACE_FILEMARKS;
    file.Offset.QuadPart = 1;
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_SET_POSITION, &file).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 6u);

    TAPE_SET_POSITION end{};
    end.Method = TAPE_SPACE_END_OF_DATA;
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_SET_POSITION, &end).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 7u);

    locate.Offset.QuadPart = 3;
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_SET_POSITION, &locate).status, STATUS_SUCCESS);
    TAPE_ERASE erase{TAPE_ERASE_SHORT, FALSE};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_ERASE, &erase).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 3u) << "erase drops everything from the position on";

    TAPE_PREPARE lock{TAPE_LOCK, FALSE};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_PREPARE, &lock).status, STATUS_SUCCESS);
    EXPECT_TRUE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    TAPE_PREPARE unload{TAPE_UNLOAD, FALSE};
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_PREPARE, &unload).status, STATUS_INVALID_DEVICE_REQUEST)
        << "medium removal is prevented";
    TAPE_PREPARE unlock{TAPE_UNLOCK, FALSE};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_PREPARE, &unlock).status, STATUS_SUCCESS);
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_PREPARE, &unload).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->mediumState(), sim::hw::MediumState::Unloaded);
    TAPE_PREPARE load{TAPE_LOAD, FALSE};
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_PREPARE, &load).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->mediumState(), sim::hw::MediumState::Loaded);

    TAPE_GET_DRIVE_PARAMETERS drive{};
    ASSERT_EQ(Tape(a_, IOCTL_TAPE_GET_DRIVE_PARAMS, &drive).status, STATUS_SUCCESS);
    EXPECT_EQ(drive.MaximumBlockSize, 0x00800000u);
    EXPECT_EQ(drive.MinimumBlockSize, 1u);
}

INSTANTIATE_TEST_SUITE_P(Tape, Data, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
