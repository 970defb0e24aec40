// Transport-level outcomes of simulated SCSI commands, as NT status values.
//
// Kept as plain constants (not the Windows macros) so that this header can be
// included next to the simulated Windows headers without clashing with them.
#pragma once

#include <cstdint>

namespace sim::hw {

inline constexpr uint32_t kStatusSuccess = 0x00000000;
inline constexpr uint32_t kStatusIoTimeout = 0xC00000B5;           // STATUS_IO_TIMEOUT
inline constexpr uint32_t kStatusDeviceNotConnected = 0xC000009D;  // STATUS_DEVICE_NOT_CONNECTED
inline constexpr uint32_t kStatusIoDeviceError = 0xC0000185;       // STATUS_IO_DEVICE_ERROR
inline constexpr uint32_t kStatusDeviceDataError = 0xC000009C;     // STATUS_DEVICE_DATA_ERROR
inline constexpr uint32_t kStatusDeviceNotReady = 0xC00000A3;      // STATUS_DEVICE_NOT_READY
inline constexpr uint32_t kStatusDeviceBusy = 0x80000011;          // STATUS_DEVICE_BUSY
inline constexpr uint32_t kStatusRequestAborted = 0xC0000240;      // STATUS_REQUEST_ABORTED
inline constexpr uint32_t kStatusNoSuchDevice = 0xC000000E;        // STATUS_NO_SUCH_DEVICE

}  // namespace sim::hw
