// A backup application whose block-size change failed, on a drive that then forgot its settings
// (a reset): which block size the drive would write in now is one the application never chose, so
// reads and writes through \\.\Tape<n> are refused until the application sets a block size again
// or asks for the one in force. The real tape bus, path filter, base driver and a simulated drive
// reached over two paths; the medium is the drive's ground truth.
#include <gtest/gtest.h>

#include "sim/hw/fault.h"
#include "tape_rig.h"

namespace {

using sim::hw::Fault;
using sim::hw::FaultKind;
using tapetest::App;
using tapetest::Pattern;
using tapetest::Reply;
using tapetest::Rig;
using tapetest::RigOptions;

constexpr std::uint8_t kModeSelect6 = 0x15;

class BlockSizeDoubt : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        // The drive starts, and comes back from a reset, in variable-block mode.
        drive_ = &rig_->AddDrive("VORKA-B-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        auto& first = rig_->San().connect(0, 0, 5, 0, *drive_, 0);
        rig_->San().connect(1, 0, 5, 0, *drive_, 1);
        rig_->Boot();
        auto stack = rig_->StackOf(first);
        ASSERT_TRUE(stack.has_value());
        std::u16string name = u"\\\\.\\Tape";
        for (char c : std::to_string(rig_->Query(*stack).virtualTapeNumber)) name += static_cast<char16_t>(c);
        app_ = std::make_unique<App>(rig_->Machine());
        ASSERT_EQ(app_->Open(name), STATUS_SUCCESS);

        // Four blocks of 512 bytes, then a change to 1024 that the drive carried out but whose
        // answer the application never got (it was told the change failed).
        ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
        leadIn_ = Pattern(4 * 512, 1);
        ASSERT_EQ(app_->Write(leadIn_).status, STATUS_SUCCESS);
        drive_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x05, .asc = 0x26,
                                  .opcode = kModeSelect6, .executed = true});
        ASSERT_NE(SetBlockSize(1024), STATUS_SUCCESS);
    }
    void TearDown() override {
        app_.reset();
        rig_.reset();
    }

    // The drive resets, which rewinds the tape; the application hears of it once, from a position
    // query, and goes back to the end of its data.
    void ResetAndComeBack() {
        drive_->reset();
        TAPE_GET_POSITION where{};
        where.Type = TAPE_LOGICAL_POSITION;
        ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &where).status, STATUS_BUS_RESET);
        ASSERT_EQ(Locate(4), STATUS_SUCCESS);
    }

    NTSTATUS SetBlockSize(ULONG size) {
        TAPE_SET_MEDIA_PARAMETERS media{size};
        return app_->Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status;
    }
    NTSTATUS Locate(LONGLONG block) {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_LOGICAL_BLOCK;
        position.Offset.QuadPart = block;
        return app_->Control(IOCTL_TAPE_SET_POSITION, &position).status;
    }
    // The lengths of the records on the medium, in order.
    std::vector<std::size_t> RecordLengths() const {
        std::vector<std::size_t> lengths;
        for (const auto& record : drive_->records()) lengths.push_back(record.data.size());
        return lengths;
    }
    // The medium still holds just the four 512-byte blocks written before the failed change.
    void ExpectOnlyTheLeadIn() const {
        EXPECT_EQ(RecordLengths(), (std::vector<std::size_t>{512, 512, 512, 512}));
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    std::unique_ptr<App> app_;
    std::vector<std::uint8_t> leadIn_;
};

TEST_P(BlockSizeDoubt, WritesAndReadsAreRefusedUntilTheApplicationSetsTheBlockSizeAgain) {
    ResetAndComeBack();
    // In the drive's default (variable) mode this write would become one 2048-byte record.
    const auto data = Pattern(2048, 2);
    EXPECT_EQ(app_->Write(data).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(app_->Write(data).status, STATUS_IO_DEVICE_ERROR) << "refused for as long as nobody sets a size";
    ASSERT_EQ(Locate(0), STATUS_SUCCESS);
    std::vector<std::uint8_t> block;
    EXPECT_EQ(app_->Read(&block, 512).status, STATUS_IO_DEVICE_ERROR) << "reads too";
    ExpectOnlyTheLeadIn();

    // The application sets the size it wants: its data goes to tape in that size, after the lead-in.
    ASSERT_EQ(SetBlockSize(1024), STATUS_SUCCESS);
    ASSERT_EQ(Locate(4), STATUS_SUCCESS);
    Reply written = app_->Write(data);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, data.size());
    EXPECT_EQ(RecordLengths(), (std::vector<std::size_t>{512, 512, 512, 512, 1024, 1024}));
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[4].data, std::vector<std::uint8_t>(data.begin(), data.begin() + 1024));
    EXPECT_EQ(records[5].data, std::vector<std::uint8_t>(data.begin() + 1024, data.end()));
}

TEST_P(BlockSizeDoubt, AskingForTheMediaParametersEndsTheDoubtWithTheSizeTheDriveUses) {
    ResetAndComeBack();
    const auto data = Pattern(2048, 3);
    ASSERT_EQ(app_->Write(data).status, STATUS_IO_DEVICE_ERROR);
    TAPE_GET_MEDIA_PARAMETERS media{};
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
    EXPECT_EQ(media.BlockSize, 0u) << "the drive is back in its default, variable-block mode";

    // The application now knows the size in force and writes in it: one record of its own length.
    Reply written = app_->Write(data);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, data.size());
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[4].data, data);
}

TEST_P(BlockSizeDoubt, AWriteThatMeetsTheResetItselfIsFailedAndTheNextOneRefused) {
    drive_->reset();
    const auto data = Pattern(2048, 4);
    EXPECT_EQ(app_->Write(data).status, STATUS_BUS_RESET) << "the application hears of the reset";
    ExpectOnlyTheLeadIn();
    ASSERT_EQ(Locate(4), STATUS_SUCCESS);
    EXPECT_EQ(app_->Write(data).status, STATUS_IO_DEVICE_ERROR);
    ExpectOnlyTheLeadIn();
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    ASSERT_EQ(Locate(4), STATUS_SUCCESS);
    EXPECT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(RecordLengths(), std::vector<std::size_t>(8, 512));
}

INSTANTIATE_TEST_SUITE_P(Pending, BlockSizeDoubt, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ForcedPending" : "AnsweredAtOnce";
                         });

}  // namespace
