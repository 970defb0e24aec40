// What the base tape driver (vorkatape) offers beyond the standard tape requests
// and the base-driver contract: its configuration values and a kernel-mode
// query of one path device's state, used by tests and diagnostics.
#pragma once

#include <cstdint>

namespace vorka::tape {

// Values under \Registry\Machine\System\CurrentControlSet\Services\vorkatape\Parameters,
// read once at DriverEntry (REG_DWORD; missing means 0).
//
// "ForcePendingIo": like the verifier's forced pending I/O. 0: every request is
//   answered in the caller's thread. 1: at random, about half of the requests are
//   marked pending and answered later from a worker thread. 2: all of them are.
// "ForcePendingSeed": seed of that random choice (0: a fixed default seed).
// "SetExtInBaseDelayMs": milliseconds IOC_SET_EXT_IN_BASE waits before it reads
//   the handshake slots of the status table (widens the window in which two paths
//   handing over the table at once could disturb each other).
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatape\\Parameters";
inline constexpr char16_t kForcePendingValue[] = u"ForcePendingIo";
inline constexpr char16_t kForcePendingSeedValue[] = u"ForcePendingSeed";
inline constexpr char16_t kSetExtInBaseDelayValue[] = u"SetExtInBaseDelayMs";

// Kernel-mode query of a path device \Device\Tape<n> (IRP_MJ_DEVICE_CONTROL, buffered,
// output PathState). A user-mode caller is refused with STATUS_ACCESS_DENIED because
// the answer carries kernel addresses.
// CTL_CODE(FILE_DEVICE_TAPE, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr std::uint32_t kIoctlQueryPathState = (0x1Fu << 16) | (0xA00u << 2);

struct PathState {
    std::uint32_t deviceNumber = 0;          // n of this path's \Device\Tape<n>
    std::uint32_t started = 0;               // 1 between a successful start and stop/removal
    std::uint32_t setExtInBaseCount = 0;     // IOC_SET_EXT_IN_BASE requests taken
    std::uint32_t virtualTapeRecorded = 0;   // 1 when the last handshake named this path's virtual device
    std::uint32_t virtualTapeNumber = 0;     // n of the virtual \Device\Tape<n> (slot 0 of the handshake)
    std::uint32_t reservationKeySet = 0;     // 1 after IOC_SET_RESERVATION_KEY
    std::uint64_t statusTable = 0;           // address of the bus's status table, 0 when none
    std::uint64_t filterDevice = 0;          // the filter device object named by slot 1
    std::uint8_t reservationKey[8] = {};     // key this path reserves with, as sent on the wire
    std::uint8_t portNumber = 0;             // SCSI address of the path
    std::uint8_t pathId = 0;
    std::uint8_t targetId = 0;
    std::uint8_t lun = 0;
    std::uint32_t requestsInProgress = 0;
};

}  // namespace vorka::tape
