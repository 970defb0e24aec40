// The path filter with the real tape bus above it (not its fake): one drive reached over two
// host adapters, its two path stacks of vorkatape and vorkatflt registered with vorkatbus. What
// happens to a path's stack (stopped, started, gone from the SAN, back) reaches the bus through
// the filter, and the bus's list of the virtual device's paths follows.
#include "filter_fixture.h"

#include <algorithm>
#include <cstring>

#include "sim/objects.h"

namespace tapetest {
namespace {

struct PathEntry {
    std::uint8_t port = 0;
    bool active = false;
    bool primary = false;
};

// The paths the bus lists for its virtual devices (IOC_QUERY_DEVICES from kernel mode).
std::vector<PathEntry> BusPaths() {
    PDEVICE_OBJECT control = sim::FindDevice(u"\\Device\\VorkaTBusDvc");
    EXPECT_NE(control, nullptr);
    if (control == nullptr) return {};
    std::vector<std::uint8_t> answer(QUERY_DEVICES_HEADER_SIZE + 8 * sizeof(DEVICE_DESCRIPTOR), 0);
    Reply query = KernelControl(control, IOC_TAPE_QUERY_DEVICES, nullptr, 0, answer.data(),
                                static_cast<ULONG>(answer.size()));
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    std::vector<PathEntry> paths;
    for (std::size_t offset = QUERY_DEVICES_HEADER_SIZE; offset + sizeof(DEVICE_DESCRIPTOR) <= query.information;
         offset += sizeof(DEVICE_DESCRIPTOR)) {
        DEVICE_DESCRIPTOR d;
        std::memcpy(&d, answer.data() + offset, sizeof d);
        paths.push_back({d.scScsiAddr.PortNumber, d.fActive != 0, d.fPrimary != 0});
    }
    std::sort(paths.begin(), paths.end(), [](const PathEntry& a, const PathEntry& b) { return a.port < b.port; });
    return paths;
}

int PrimaryPort(const std::vector<PathEntry>& paths) {
    for (const PathEntry& path : paths)
        if (path.primary) return path.port;
    return -1;
}

class RealBus : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-REALBUS-01");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 4, 0, *drive_, 0);
        pathB_ = &rig_->San().connect(1, 0, 4, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        ASSERT_TRUE(a.has_value());
        a_ = *a;
    }
    void TearDown() override { rig_.reset(); }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    PathStack a_;
};

TEST_P(RealBus, BothPathsOfTheDriveAreListedUnderOneVirtualDevice) {
    auto paths = BusPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].active && paths[1].active);
    EXPECT_EQ(PrimaryPort(paths), 0) << "the first path that started";
}

TEST_P(RealBus, AStoppedPathHandsThePrimaryRoleToTheOtherAndTakesPartAgainWhenStarted) {
    sim::PnpManager& pnp = rig_->Machine().pnp();
    ASSERT_EQ(pnp.stopDevice(a_.instance), STATUS_SUCCESS);
    auto paths = BusPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_FALSE(paths[0].active);
    EXPECT_EQ(PrimaryPort(paths), 1);

    ASSERT_EQ(pnp.startDevice(a_.instance), STATUS_SUCCESS);
    paths = BusPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].active);
    EXPECT_NE(PrimaryPort(paths), -1);
}

TEST_P(RealBus, APathThatLeavesTheSanIsDroppedAndComesBackWhenItReturns) {
    pathA_->setPresent(false);
    rig_->Settle();
    auto paths = BusPaths();
    ASSERT_EQ(paths.size(), 1u) << "the removed stack's path is gone from the virtual device";
    EXPECT_EQ(paths[0].port, 1);
    EXPECT_TRUE(paths[0].primary);

    pathA_->setPresent(true);
    rig_->Settle();
    paths = BusPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].active && paths[1].active);
    EXPECT_EQ(PrimaryPort(paths), 1) << "the path that stayed keeps the primary role";
}

INSTANTIATE_TEST_SUITE_P(Filter, RealBus, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });

}  // namespace
}  // namespace tapetest
