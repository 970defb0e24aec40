// A rewind issued at once after the primary path's cable is pulled: the application must not see
// the pulled path's failure while the drive is still reached through its other path.
#include <gtest/gtest.h>

#include "sim/hw/fault.h"
#include "tape_rig.h"

namespace {

using tapetest::App;
using tapetest::Pattern;
using tapetest::Rig;
using tapetest::RigOptions;

class RewindAfterPull : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-W-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        primary_ = &rig_->San().connect(0, 0, 5, 0, *drive_, 0);
        second_ = &rig_->San().connect(1, 0, 5, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*primary_);
        ASSERT_TRUE(a.has_value());
        name_ = u"\\\\.\\Tape";
        for (char c : std::to_string(rig_->Query(*a).virtualTapeNumber)) name_ += static_cast<char16_t>(c);
        app_ = std::make_unique<App>(rig_->Machine());
        ASSERT_EQ(app_->Open(name_), STATUS_SUCCESS);
        TAPE_SET_MEDIA_PARAMETERS media{512};
        ASSERT_EQ(app_->Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
        ASSERT_EQ(app_->Write(Pattern(8 * 512, 3)).status, STATUS_SUCCESS);
    }
    void TearDown() override {
        app_.reset();
        rig_.reset();
    }
    NTSTATUS Rewind() {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_REWIND;
        return app_->Control(IOCTL_TAPE_SET_POSITION, &position).status;
    }
    int Commands(const sim::hw::Path& path, std::uint8_t opcode) const {
        int n = 0;
        for (const auto& e : drive_->commandLog())
            if (e.initiator == path.initiator() && e.opcode == opcode) ++n;
        return n;
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* primary_ = nullptr;
    sim::hw::Path* second_ = nullptr;
    std::u16string name_;
    std::unique_ptr<App> app_;
};

constexpr std::uint8_t kRewind = 0x01;
constexpr std::uint32_t kNotConnected = 0xC000009D;

// The cable is out, the path is still there: every command on it fails as not connected.
TEST_P(RewindAfterPull, ARewindJustAfterThePrimaryCableIsPulledCompletesOnTheSecondPath) {
    primary_->setDown();
    EXPECT_EQ(Rewind(), STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 0u);
    EXPECT_EQ(Commands(*second_, kRewind), 1);
    // The tape is where the application was told it is: a read finds the first block.
    const auto written = Pattern(8 * 512, 3);
    std::vector<std::uint8_t> block;
    EXPECT_EQ(app_->Read(&block, 512).status, STATUS_SUCCESS);
    EXPECT_EQ(block, std::vector<std::uint8_t>(written.begin(), written.begin() + 512));
}

// The cable is pulled, plugged back and pulled again while the rewind is tried: the primary
// path first reports its lost connection (06/29/07) on two tries, which the bus retries on that
// path, and then fails as not connected. That failure is a path failure like any other: the rewind
// goes to the second path, not back to the application.
TEST_P(RewindAfterPull, ARewindWhosePathDropsAfterItsSamePathRetriesCompletesOnTheSecondPath) {
    using sim::hw::Fault;
    using sim::hw::FaultKind;
    primary_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = 2, .senseKey = 0x06, .asc = 0x29,
                                .ascq = 0x07, .opcode = kRewind});
    primary_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = 1, .status = kNotConnected,
                                .opcode = kRewind});
    EXPECT_EQ(Rewind(), STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 0u);
    EXPECT_EQ(Commands(*second_, kRewind), 1);
}

INSTANTIATE_TEST_SUITE_P(Completion, RewindAfterPull, ::testing::Bool());

}  // namespace
