// The two-path machine the failover tests share: the real tape bus, the real path filter, the base
// driver vorkatape and one simulated drive reached over paths A and B, with an application that
// holds the virtual tape device open; and the pass-through record the tests send.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "sim/eventlog.h"
#include "sim/pool.h"
#include "sim/hw/fault.h"
#include "tape_rig.h"

#include <ntddscsi.h>
#include <ntddstor.h>

namespace failover_test {

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
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true, .busEvents = true});
        drive_ = &rig_->AddDrive("VORKA-F-0001", [this](sim::hw::DriveConfig& config) { ConfigureDrive(config); });
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
    // A drive of another kind than the plain one for the tests of a derived fixture.
    virtual void ConfigureDrive(sim::hw::DriveConfig&) {}

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

// A buffered 64-bit pass-through record with 32 sense bytes and the data after them.
struct PassThrough {
    SCSI_PASS_THROUGH spt{};
    std::uint8_t sense[32] = {};
    std::uint8_t data[4096] = {};
};
inline PassThrough MakePassThrough(std::vector<std::uint8_t> cdb, std::uint8_t direction, ULONG length) {
    PassThrough pt;
    pt.spt.Length = sizeof(SCSI_PASS_THROUGH);
    pt.spt.CdbLength = static_cast<UCHAR>(cdb.size());
    pt.spt.SenseInfoLength = sizeof(pt.sense);
    pt.spt.DataIn = direction;
    pt.spt.DataTransferLength = length;
    pt.spt.TimeOutValue = 10;
    pt.spt.SenseInfoOffset = offsetof(PassThrough, sense);
    pt.spt.DataBufferOffset = offsetof(PassThrough, data);
    std::memcpy(pt.spt.Cdb, cdb.data(), cdb.size());
    return pt;
}

inline std::string PendingName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "ForcedPending" : "AnsweredAtOnce";
}

}  // namespace failover_test
