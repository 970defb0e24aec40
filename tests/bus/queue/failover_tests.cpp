// Backup applications writing and reading through \\.\Tape<n> while a path fails: the real tape
// bus, the real path filter, the base driver vorkatape and a simulated drive reached over two
// paths, with faults injected on a path. After every fault the medium (the drive's ground truth)
// holds each block the application was told it wrote, once and in order.
#include <gtest/gtest.h>

#include <cstring>

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

constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint32_t kDeviceNotConnected = 0xC000009D;

class Failover : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-F-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 5, 0, *drive_, 0);
        pathB_ = &rig_->San().connect(1, 0, 5, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        ASSERT_TRUE(a.has_value());
        const auto state = rig_->Query(*a);
        name_ = u"\\\\.\\Tape";
        for (char c : std::to_string(state.virtualTapeNumber)) name_ += static_cast<char16_t>(c);
        app_ = std::make_unique<App>(rig_->Machine());
        ASSERT_EQ(app_->Open(name_), STATUS_SUCCESS);
    }
    void TearDown() override {
        app_.reset();
        rig_.reset();
    }

    NTSTATUS SetBlockSize(ULONG size) {
        TAPE_SET_MEDIA_PARAMETERS media{size};
        return app_->Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status;
    }
    NTSTATUS Rewind() {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_REWIND;
        return app_->Control(IOCTL_TAPE_SET_POSITION, &position).status;
    }
    NTSTATUS Prepare(ULONG operation) {
        TAPE_PREPARE prepare{operation, FALSE};
        return app_->Control(IOCTL_TAPE_PREPARE, &prepare).status;
    }
    std::uint64_t GroundPosition() const { return drive_->position()->object; }
    // Commands with this operation code that reached the drive through a path.
    int Commands(const sim::hw::Path& path, std::uint8_t opcode) const {
        int n = 0;
        for (const auto& e : drive_->commandLog())
            if (e.initiator == path.initiator() && e.opcode == opcode) ++n;
        return n;
    }
    // Fixed blocks of `blockSize` from a pattern, for comparing with the medium.
    static std::vector<std::uint8_t> Block(const std::vector<std::uint8_t>& data, size_t index, size_t blockSize) {
        return {data.begin() + index * blockSize, data.begin() + (index + 1) * blockSize};
    }
    // Writes `blocks` fixed blocks of 512 bytes as lead-in, so that the tape stands at that block.
    std::vector<std::uint8_t> LeadIn(size_t blocks) {
        auto data = Pattern(blocks * 512, 7);
        EXPECT_EQ(app_->Write(data).status, STATUS_SUCCESS);
        return data;
    }
    // The medium holds lead-in then the written data, in 512-byte blocks, each once.
    void ExpectMedium(const std::vector<std::uint8_t>& leadIn, const std::vector<std::uint8_t>& written) {
        const auto records = drive_->records();
        const size_t lead = leadIn.size() / 512;
        const size_t total = lead + written.size() / 512;
        ASSERT_EQ(records.size(), total) << "every block once";
        for (size_t i = 0; i < lead; ++i) EXPECT_EQ(records[i].data, Block(leadIn, i, 512)) << "block " << i;
        for (size_t i = lead; i < total; ++i)
            EXPECT_EQ(records[i].data, Block(written, i - lead, 512)) << "block " << i;
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    std::u16string name_;
    std::unique_ptr<App> app_;
};

// ---- Writes that fail part way ----

TEST_P(Failover, AWriteThatReachedPartOfTheTapeIsFinishedWithExactlyTheRest) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // 60 of the 128 blocks reach the tape, then the drive reports an aborted command.
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x0B, .opcode = kWrite6, .k = 60});
    const auto data = Pattern(65536, 9);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u) << "the application is told the whole write";
    ExpectMedium(leadIn, data);
    EXPECT_EQ(GroundPosition(), 228u);
}

TEST_P(Failover, AWriteCutOffWithItsPathIsFinishedOnTheOtherPath) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // 60 blocks reach the tape, then the cable is pulled.
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kDeviceNotConnected, .opcode = kWrite6, .k = 60});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    const auto data = Pattern(65536, 9);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u);
    ExpectMedium(leadIn, data);
    EXPECT_EQ(drive_->initiatorSettings(pathB_->initiator()).blockLength, 512u)
        << "the block size is set on the new path before the rest is written";

    // Later writes go to the new primary path and keep landing in order.
    const auto more = Pattern(4096, 3);
    ASSERT_EQ(app_->Write(more).status, STATUS_SUCCESS);
    auto all = data;
    all.insert(all.end(), more.begin(), more.end());
    ExpectMedium(leadIn, all);
}

TEST_P(Failover, AWriteWhoseCompletionWasLostIsNotWrittenAgain) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // The drive wrote all 128 blocks (block 228), the completion is lost on the way back.
    pathA_->injectFault(
        Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = kWrite6, .executed = true});
    const auto data = Pattern(65536, 5);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u);
    ExpectMedium(leadIn, data);
    EXPECT_EQ(Commands(*pathA_, kWrite6) + Commands(*pathB_, kWrite6), 2) << "lead-in and the one write";
}

TEST_P(Failover, VariableBlocksAreWrittenOnceWhetherOrNotTheFailedWriteReachedTheTape) {
    ASSERT_EQ(SetBlockSize(0), STATUS_SUCCESS);
    const auto first = Pattern(3000, 1);
    ASSERT_EQ(app_->Write(first).status, STATUS_SUCCESS);
    // Not on tape: the transport lost it before the drive.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWrite6});
    const auto second = Pattern(5000, 2);
    Reply r = app_->Write(second);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, second.size());
    // On tape, completion lost.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWrite6,
                              .executed = true});
    const auto third = Pattern(700, 3);
    r = app_->Write(third);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, third.size());

    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].data, first);
    EXPECT_EQ(records[1].data, second);
    EXPECT_EQ(records[2].data, third);
}

// ---- Reads ----

TEST_P(Failover, AReadThatFailsMidStreamResumesAtTheRightBlock) {
    ASSERT_EQ(SetBlockSize(0), STATUS_SUCCESS);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(Pattern(1000 + i, static_cast<std::uint8_t>(i + 1)));
        ASSERT_EQ(app_->Write(blocks.back()).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(app_->Read(&data, 4096).status, STATUS_SUCCESS);
    // The drive reads block 3 and moves past it, but the answer never arrives; then the path goes.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kRead6,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    for (int i = 3; i < 8; ++i) {
        Reply r = app_->Read(&data, 4096);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(data, blocks[i]) << "block " << i;
    }
}

// ---- Settings on the new path ----

TEST_P(Failover, TheLockAndBlockSizeAreOnTheNewPathBeforeTheRetry) {
    ASSERT_EQ(SetBlockSize(1024), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(TAPE_LOCK), STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    ASSERT_FALSE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval);
    pathA_->setDown();
    const auto data = Pattern(8192, 4);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const auto b = drive_->initiatorSettings(pathB_->initiator());
    EXPECT_TRUE(b.preventRemoval);
    EXPECT_EQ(b.blockLength, 1024u);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 8u) << "8 blocks of the restored size, not one variable block";
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(records[i].data, Block(data, i, 1024));
}

// ---- When not to fail over ----

TEST_P(Failover, AccessDeniedNeverFailsOver) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = static_cast<std::uint32_t>(STATUS_ACCESS_DENIED), .opcode = kWrite6});
    Reply r = app_->Write(Pattern(512, 1));
    EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Commands(*pathB_, kWrite6), 0);
    EXPECT_TRUE(drive_->records().empty());
}

TEST_P(Failover, AFailingPathIsRetriedTwiceAndNoMore) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // Every write through A is aborted without touching the tape; A itself still answers.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = Fault::kForever, .senseKey = 0x0B,
                              .asc = 0x47, .opcode = kWrite6});
    Reply r = app_->Write(Pattern(4096, 1));
    EXPECT_NE(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathA_, kWrite6), 3) << "the attempt and two retries on the same path";
    EXPECT_TRUE(drive_->records().empty());
}

TEST_P(Failover, ARequestThatIsNotAReadOrWriteMovesToTheOtherPathOnAnAbortedCommand) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .asc = 0x47, .opcode = 0x34});
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathB_, 0x34), 1);
    // B is the primary now: the next request goes there first.
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathB_, 0x34), 2);
}

// ---- Unit attentions ----

TEST_P(Failover, AnOperatorUnloadRequestAfterARewindFailsTheRequest) {
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x06, .asc = 0x5A, .ascq = 0x01});
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_IO_DEVICE_ERROR);
}

TEST_P(Failover, AResetMakesThePositionUnknownSoAFailedWriteIsRelocatedFromTheDrive) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    // A reset reaches the drive (position kept by the medium, but the model must not trust itself).
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x06, .asc = 0x29, .opcode = kWrite6});
    Reply r = app_->Write(Pattern(1024, 2));
    // The write itself was refused by the unit attention; whatever the outcome, nothing is doubled.
    const auto records = drive_->records();
    const size_t expected = NT_SUCCESS(r.status) ? 12u : 10u;
    EXPECT_EQ(records.size(), expected);
    // The next write first reads the position from the drive and lands right after.
    const auto data = Pattern(2048, 6);
    ASSERT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), expected + 4);
    EXPECT_EQ(drive_->records().back().data, Block(data, 3, 512));
}

INSTANTIATE_TEST_SUITE_P(Pending, Failover, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ForcedPending" : "AnsweredAtOnce";
                         });

}  // namespace
