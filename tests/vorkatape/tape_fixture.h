// One drive reached over two paths on two host adapters, under the fake tape bus;
// every test runs twice: with requests answered at once and with vorkatape
// answering them later from a worker thread (forced pending I/O).
#pragma once

#include "tape_rig.h"

#include "sim/hw/fault.h"

namespace tapetest {

class OneDriveTwoPaths : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam()});
        drive_ = &rig_->AddDrive("VORKA0000000042", [this](sim::hw::DriveConfig& config) { Configure(config); });
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 3, 0, *drive_, 0);
        pathB_ = &rig_->San().connect(1, 0, 3, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        auto b = rig_->StackOf(*pathB_);
        ASSERT_TRUE(a && b) << "both paths have a started tape stack";
        a_ = *a;
        b_ = *b;
    }
    void TearDown() override { rig_.reset(); }
    // The drive's configuration before it joins the SAN.
    virtual void Configure(sim::hw::DriveConfig&) {}

    PIRPS_WITH_STATUS Table() { return rig_->Bus().table; }

    // Kernel-mode tape request through the top of a path's stack.
    template <typename T>
    Reply Tape(const PathStack& stack, ULONG code, T* inOut) {
        return KernelControl(stack.filter, code, inOut, sizeof(T), inOut, sizeof(T));
    }
    Reply Rewind(const PathStack& stack) {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_REWIND;
        return Tape(stack, IOCTL_TAPE_SET_POSITION, &position);
    }
    std::uint64_t Position(const PathStack& stack) {
        TAPE_GET_POSITION position{};
        position.Type = TAPE_LOGICAL_POSITION;
        Reply r = Tape(stack, IOCTL_TAPE_GET_POSITION, &position);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "get position";
        return static_cast<std::uint64_t>(position.Offset.QuadPart);
    }
    Reply SetBlockSize(const PathStack& stack, ULONG blockSize) {
        TAPE_SET_MEDIA_PARAMETERS media{blockSize};
        return Tape(stack, IOCTL_TAPE_SET_MEDIA_PARAMS, &media);
    }
    Reply WriteFilemarks(const PathStack& stack, ULONG count) {
        TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, count, FALSE};
        return Tape(stack, IOCTL_TAPE_WRITE_MARKS, &marks);
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    PathStack a_;
    PathStack b_;
};

inline std::string PendingName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "ForcedPending" : "AnsweredAtOnce";
}

}  // namespace tapetest
