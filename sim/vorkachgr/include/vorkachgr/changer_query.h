// What the base changer driver (vorkachgr) offers beyond the changer requests and
// the base-driver contract: its configuration values and a kernel-mode query of
// one path device's state, used by tests and diagnostics.
#pragma once

#include <cstdint>

namespace vorka::changer {

// Values under \Registry\Machine\System\CurrentControlSet\Services\vorkachgr\Parameters,
// read once at DriverEntry (REG_DWORD; missing means 0).
//
// "ForcePendingIo": 0: every request is answered in the caller's thread. 1: about half
//   of them (at random) are marked pending and answered from a worker thread. 2: all.
// "ForcePendingSeed": seed of that random choice (0: a fixed default seed).
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkachgr\\Parameters";
inline constexpr char16_t kForcePendingValue[] = u"ForcePendingIo";
inline constexpr char16_t kForcePendingSeedValue[] = u"ForcePendingSeed";
// The pause, in milliseconds, before a command that found the library becoming ready or busy is
// sent again (1000 when the value is absent or 0).
inline constexpr char16_t kNotReadyRetryMsValue[] = u"NotReadyRetryMs";

// Kernel-mode query of a path device \Device\Changer<n> (IRP_MJ_DEVICE_CONTROL,
// buffered, output ChangerPathState). User-mode callers get STATUS_ACCESS_DENIED:
// the answer carries kernel addresses.
// CTL_CODE(FILE_DEVICE_CHANGER, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr std::uint32_t kIoctlQueryChangerPathState = (0x30u << 16) | (0xA00u << 2);

struct ChangerPathState {
    std::uint32_t deviceNumber = 0;           // n of this path's \Device\Changer<n>
    std::uint32_t started = 0;                // 1 between a successful start and stop/removal
    std::uint32_t setExtInBaseCount = 0;      // IOC_SET_EXT_IN_BASE requests taken
    std::uint32_t virtualChangerRecorded = 0; // 1 when the last handshake named a virtual changer
    std::uint32_t virtualChangerNumber = 0;   // n of the virtual \Device\Changer<n> (slot 0)
    std::uint32_t requestsInProgress = 0;
    std::uint64_t statusTable = 0;            // address of the bus's status table, 0 when none
    std::uint8_t portNumber = 0;              // SCSI address of the path
    std::uint8_t pathId = 0;
    std::uint8_t targetId = 0;
    std::uint8_t lun = 0;
    std::uint32_t recordsFilled = 0;          // status records of forwarded requests filled
};

}  // namespace vorka::changer
