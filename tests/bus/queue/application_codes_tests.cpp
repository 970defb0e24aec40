// What an application may send through \\.\TapeN: the tape, storage and SCSI requests of backup
// programs go down; the base driver's private and kernel-only requests, a port driver's dump
// pointers, the forms that carry a raw buffer pointer and the extended pass-through records are
// refused at the bus, which would otherwise send them down as its own, trusted, requests. A
// pass-through record's CDB length and direction are checked there too.
#include <array>

#include "failover_fixture.h"

#include <vorkatape/tape_query.h>

namespace {

using namespace failover_test;

constexpr NTSTATUS kInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

// The machine of the failover tests: what the application sends, whatever the paths do.
class ApplicationCodes : public Failover {};

// CTL_CODE(IOCTL_SCSI_BASE, function, METHOD_BUFFERED, access)
constexpr ULONG ScsiCode(ULONG function, ULONG access) { return (0x4u << 16) | (access << 14) | (function << 2); }

TEST_P(ApplicationCodes, CodesThatWouldReachThePathStackAsTrustedAreRefused) {
    struct Refused {
        const char* what;
        ULONG code;
    };
    const std::array<Refused, 7> refused{{
        {"the base driver's path query, answered with kernel addresses", vorka::tape::kIoctlQueryPathState},
        {"a private request of the base driver", (0x84CAu << 16) | (0x801u << 2)},
        {"the dump pointers a port driver keeps for the kernel", ScsiCode(0x408, 0)},
        {"the extended pass-through record", ScsiCode(0x411, 3)},
        {"MPIO pass-through by path", ScsiCode(0x413, 3)},
        {"MPIO pass-through by path, direct: a raw buffer pointer inside the record", ScsiCode(0x414, 3)},
        {"MPIO pass-through by path, direct, extended", ScsiCode(0x41A, 3)},
    }};
    for (const auto& r : refused) {
        std::vector<std::uint8_t> buffer(512, 0);
        const Reply reply = app_->Control(r.code, &buffer);
        EXPECT_EQ(reply.status, kInvalidDeviceRequest) << r.what;
        EXPECT_EQ(reply.information, 0u) << r.what;
        EXPECT_EQ(buffer, std::vector<std::uint8_t>(512, 0)) << r.what << ": nothing came back";
    }
    // What backup programs send still goes down.
    TAPE_GET_POSITION position{TAPE_LOGICAL_POSITION};
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    SCSI_ADDRESS address{};
    EXPECT_EQ(app_->Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address).status, STATUS_SUCCESS);
    PassThrough readPosition = MakePassThrough({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 20);
    EXPECT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &readPosition, sizeof readPosition, &readPosition,
                            sizeof readPosition).status, STATUS_SUCCESS);
    EXPECT_EQ(readPosition.spt.ScsiStatus, sim::hw::kScsiGood);
}

TEST_P(ApplicationCodes, APassThroughWithAnImpossibleCdbLengthOrDirectionIsRefusedAtTheBus) {
    const int before = Commands(*pathA_, 0x34) + Commands(*pathB_, 0x34);
    for (const auto& [cdbLength, direction] : {std::pair<UCHAR, UCHAR>{0, SCSI_IOCTL_DATA_IN}, {17, SCSI_IOCTL_DATA_IN},
                                               {255, SCSI_IOCTL_DATA_IN}, {10, 3}, {10, 0x80}}) {
        PassThrough pt = MakePassThrough({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, direction, 20);
        pt.spt.CdbLength = cdbLength;
        EXPECT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof pt, &pt, sizeof pt).status, kInvalidParameter)
            << "CdbLength " << int(cdbLength) << ", DataIn " << int(direction);
    }
    EXPECT_EQ(Commands(*pathA_, 0x34) + Commands(*pathB_, 0x34), before) << "none reached the drive";
}

INSTANTIATE_TEST_SUITE_P(Pending, ApplicationCodes, ::testing::Bool(), PendingName);

}  // namespace
