// A backup writing through \\.\Tape<n> while the drive's paths are pulled and plugged back
// one after the other: the bus unlinks and frees a path's record while the engine may be
// sending an attempt to that path on the device's worker. Every write the application was
// told succeeded is on the tape once and in order, and the kernel's verifier (and, in the
// thread-sanitizer build, TSan) finds nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/hw/fault.h"
#include "tape_rig.h"

namespace {

using tapetest::App;
using tapetest::Pattern;
using tapetest::Reply;
using tapetest::Rig;
using tapetest::RigOptions;

class PathRemovalRace : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-R-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        paths_[0] = &rig_->San().connect(0, 0, 5, 0, *drive_, 0);
        paths_[1] = &rig_->San().connect(1, 0, 5, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*paths_[0]);
        ASSERT_TRUE(a.has_value());
        name_ = u"\\\\.\\Tape";
        for (char c : std::to_string(rig_->Query(*a).virtualTapeNumber)) name_ += static_cast<char16_t>(c);
    }
    void TearDown() override { rig_.reset(); }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* paths_[2] = {};
    std::u16string name_;
};

TEST_P(PathRemovalRace, WritesGoOnWhilePathsArePulledAndPluggedBack) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(name_), STATUS_SUCCESS);
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_EQ(app.Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);

    constexpr int kWrites = 400;
    constexpr std::size_t kBytes = 2048;
    std::atomic<bool> done{false};
    std::vector<std::vector<std::uint8_t>> written;
    std::vector<NTSTATUS> failures;
    std::thread writer([&] {
        for (int i = 0; i < kWrites; ++i) {
            auto data = Pattern(kBytes, static_cast<std::uint8_t>(i));
            Reply r = app.Write(data);
            if (NT_SUCCESS(r.status)) {
                EXPECT_EQ(r.information, kBytes);
                written.push_back(std::move(data));
            } else {
                failures.push_back(r.status);
            }
        }
        done = true;
    });
    // One path at a time goes away and comes back, so the drive always has one.
    for (int round = 0; round < 6 && !done; ++round) {
        sim::hw::Path& path = *paths_[round % 2];
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        path.setPresent(false);
        rig_->Settle();
        path.setPresent(true);
        rig_->Settle();
    }
    writer.join();

    EXPECT_TRUE(failures.empty()) << failures.size() << " writes failed, the first with 0x" << std::hex
                                  << (failures.empty() ? 0 : static_cast<ULONG>(failures[0]));
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), written.size() * (kBytes / 512)) << "every acknowledged block once";
    for (std::size_t w = 0; w < written.size(); ++w) {
        for (std::size_t b = 0; b < kBytes / 512; ++b) {
            const auto& expected = written[w];
            ASSERT_EQ(records[w * 4 + b].data,
                      std::vector<std::uint8_t>(expected.begin() + b * 512, expected.begin() + (b + 1) * 512))
                << "write " << w << " block " << b;
        }
    }
    EXPECT_EQ(app.Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Pending, PathRemovalRace, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ForcedPending" : "AnsweredAtOnce";
                         });

}  // namespace
