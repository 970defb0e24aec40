// One library with two drives, reached over two control paths on two host
// adapters; vorkachgr on each control path, and the status table of a changer bus
// that the tests play (the handshake and forwarded requests). Every test runs
// twice: with requests answered at once and with vorkachgr answering them later
// from a worker thread (forced pending I/O).
#pragma once

#include <ntddchgr.h>

#include "tape_rig.h"

#include "sim/hw/fault.h"
#include "sim/hw/library.h"
#include "vorkachgr/changer_query.h"

namespace chgrtest {

using tapetest::App;
using tapetest::DirectRead32;
using tapetest::Forwarded;
using tapetest::ForwardControl;
using tapetest::KernelControl;
using tapetest::Reply;

struct ChangerStack {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT base = nullptr;  // \Device\Changer<n>
    ULONG number = 0;
    sim::hw::Path* path = nullptr;
    std::u16string Win32Name() const {
        const std::string text = "\\\\.\\Changer" + std::to_string(number);
        return std::u16string(text.begin(), text.end());
    }
};

class OneLibraryTwoPaths : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<tapetest::Rig>(tapetest::RigOptions{.forcePending = GetParam(), .changers = true});
        auto& san = rig_->San();
        san.addAdapter();
        san.addAdapter();
        for (int i = 0; i < 2; ++i) {
            drives_.push_back(&rig_->AddDrive("DRV00" + std::to_string(i),
                                              [](sim::hw::DriveConfig& c) { c.medium.reset(); }));
            san.connect(0, 0, static_cast<std::uint8_t>(3 + i), 0, *drives_.back(), 0);
        }
        sim::hw::LibraryConfig config;
        config.identity.serial = "LIB0000000001";
        config.slots = 6;
        config.ieSlots = 1;
        config.drives = drives_;
        config.volumes = {"VOL001L9", "VOL002L9"};
        library_ = &san.addLibrary(config);
        pathA_ = &san.connect(0, 0, 7, 0, *library_, 0);
        pathB_ = &san.connect(1, 0, 7, 0, *library_, 1);
        rig_->Boot();
        for (const auto& nodes : rig_->ChangerStacks()) {
            ASSERT_EQ(nodes.size(), 2u) << "adapter PDO and vorkachgr";
            ChangerStack stack{nodes[0], nodes[1]};
            const vorka::changer::ChangerPathState state = Query(stack);
            stack.number = state.deviceNumber;
            stack.path = san.findPath(sim::hw::ScsiAddress{state.portNumber, state.pathId, state.targetId, state.lun});
            (stack.path == pathA_ ? a_ : b_) = stack;
        }
        ASSERT_TRUE(a_.base != nullptr && b_.base != nullptr) << "both control paths have a started changer stack";

        // The table stands for the changer bus's, which lives as long as the bus driver: the base
        // drivers keep its address from the handshake and look requests up in it until their paths
        // go, which is at the machine's shutdown. So it outlives the machine here too.
        tableStorage_ = std::make_unique<IRPS_WITH_STATUS>();
        table_ = tableStorage_.get();
        std::memset(table_, 0, sizeof *table_);
        KeInitializeSpinLock(&table_->slLock);
    }
    void TearDown() override {
        rig_.reset();
        table_ = nullptr;
        tableStorage_.reset();
    }

    vorka::changer::ChangerPathState Query(const ChangerStack& stack) {
        vorka::changer::ChangerPathState state;
        Reply r = KernelControl(stack.base, vorka::changer::kIoctlQueryChangerPathState, nullptr, 0, &state, sizeof state);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "path state query";
        return state;
    }

    // The changer filter's handshake: slot 0 names the virtual changer's number
    // while IOC_SET_EXT_IN_BASE travels down.
    NTSTATUS Handshake(const ChangerStack& stack, ULONG virtualNumber) {
        ULONG number = virtualNumber;
        KIRQL irql;
        KeAcquireSpinLock(&table_->slLock, &irql);
        table_->Slots[0].pScsiStatus = reinterpret_cast<PSCSI_STATUS>(&number);
        table_->ullBitmap |= 1;
        KeReleaseSpinLock(&table_->slLock, irql);
        PIRPS_WITH_STATUS address = table_;
        Reply r = KernelControl(stack.base, IOC_CHGR_SET_EXT_IN_BASE, &address, sizeof address, nullptr, 0);
        KeAcquireSpinLock(&table_->slLock, &irql);
        table_->Slots[0].pScsiStatus = nullptr;
        table_->ullBitmap &= ~1ull;
        KeReleaseSpinLock(&table_->slLock, irql);
        return r.status;
    }

    template <typename T>
    static std::vector<std::uint8_t> Bytes(const T& record) {
        std::vector<std::uint8_t> v(sizeof record);
        std::memcpy(v.data(), &record, sizeof record);
        return v;
    }

    static CHANGER_MOVE_MEDIUM Move(ELEMENT_TYPE fromType, ULONG from, ELEMENT_TYPE toType, ULONG to) {
        CHANGER_MOVE_MEDIUM m{};
        m.Transport = {ChangerTransport, 0};
        m.Source = {fromType, from};
        m.Destination = {toType, to};
        return m;
    }

    std::string Where(const std::string& volume) {
        auto e = library_->findVolume(volume);
        return e ? sim::hw::elementName(e->type, e->index) : "nowhere";
    }

    std::unique_ptr<tapetest::Rig> rig_;
    std::vector<sim::hw::TapeDrive*> drives_;
    sim::hw::TapeLibrary* library_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    ChangerStack a_;
    ChangerStack b_;
    std::unique_ptr<IRPS_WITH_STATUS> tableStorage_;
    PIRPS_WITH_STATUS table_ = nullptr;
};

inline std::string PendingName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "ForcedPending" : "AnsweredAtOnce";
}

}  // namespace chgrtest
