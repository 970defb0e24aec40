// SCSI vocabulary shared by the simulated drives and their initiators: operation
// codes, status bytes, sense keys, the command and its result.
//
// Names are CamelCase constants on purpose: the Windows headers define the
// upper-case SCSI names as macros, and both may be seen by one translation unit.
#pragma once

#include <compare>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::hw {

// SCSI status byte.
inline constexpr uint8_t kScsiGood = 0x00;
inline constexpr uint8_t kScsiCheckCondition = 0x02;
inline constexpr uint8_t kScsiBusy = 0x08;
inline constexpr uint8_t kScsiReservationConflict = 0x18;
inline constexpr uint8_t kScsiTaskSetFull = 0x28;  // the device's command queue is full

// The SCSI request block status a port driver reports for a command (SrbStatus), where a fault
// names one: the simulated adapter hands it to the class driver as a port driver does.
namespace srb {
inline constexpr uint8_t kError = 0x04;  // with CHECK CONDITION and no sense: the sense was lost
inline constexpr uint8_t kAborted = 0x02;
inline constexpr uint8_t kNoDevice = 0x08;
inline constexpr uint8_t kSelectionTimeout = 0x0A;
inline constexpr uint8_t kCommandTimeout = 0x0B;
inline constexpr uint8_t kBusReset = 0x0E;
}  // namespace srb

namespace sense_key {
inline constexpr uint8_t kNoSense = 0x0;
inline constexpr uint8_t kRecoveredError = 0x1;
inline constexpr uint8_t kNotReady = 0x2;
inline constexpr uint8_t kMediumError = 0x3;
inline constexpr uint8_t kHardwareError = 0x4;
inline constexpr uint8_t kIllegalRequest = 0x5;
inline constexpr uint8_t kUnitAttention = 0x6;
inline constexpr uint8_t kDataProtect = 0x7;
inline constexpr uint8_t kBlankCheck = 0x8;
inline constexpr uint8_t kAbortedCommand = 0xB;
inline constexpr uint8_t kVolumeOverflow = 0xD;
}  // namespace sense_key

namespace opcode {
inline constexpr uint8_t kTestUnitReady = 0x00;
inline constexpr uint8_t kRewind = 0x01;
inline constexpr uint8_t kRequestSense = 0x03;
inline constexpr uint8_t kReadBlockLimits = 0x05;
inline constexpr uint8_t kRead6 = 0x08;
inline constexpr uint8_t kWrite6 = 0x0A;
inline constexpr uint8_t kReadReverse6 = 0x0F;
inline constexpr uint8_t kWriteFilemarks6 = 0x10;
inline constexpr uint8_t kSpace6 = 0x11;
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kVerify6 = 0x13;
inline constexpr uint8_t kModeSelect6 = 0x15;
inline constexpr uint8_t kReserve6 = 0x16;
inline constexpr uint8_t kRelease6 = 0x17;
inline constexpr uint8_t kErase6 = 0x19;
inline constexpr uint8_t kModeSense6 = 0x1A;
inline constexpr uint8_t kLoadUnload = 0x1B;
inline constexpr uint8_t kPreventAllowMediumRemoval = 0x1E;
inline constexpr uint8_t kLocate10 = 0x2B;
inline constexpr uint8_t kReadPosition = 0x34;
inline constexpr uint8_t kModeSelect10 = 0x55;
inline constexpr uint8_t kModeSense10 = 0x5A;
inline constexpr uint8_t kPersistentReserveIn = 0x5E;
inline constexpr uint8_t kPersistentReserveOut = 0x5F;
inline constexpr uint8_t kWriteFilemarks16 = 0x80;
inline constexpr uint8_t kRead16 = 0x88;
inline constexpr uint8_t kWrite16 = 0x8A;
inline constexpr uint8_t kSpace16 = 0x91;
inline constexpr uint8_t kLocate16 = 0x92;
// Vendor-unique commands that carry the base driver's private requests (the AMU
// setting of the initiator and the drive's DPF flags word). They never report a
// unit attention and never conflict with a reservation: they are configuration
// queries, not medium access.
inline constexpr uint8_t kVendorQueryAmu = 0xC0;       // data-in: 1 byte
inline constexpr uint8_t kVendorSetAmu = 0xC1;         // CDB byte 2: the value
inline constexpr uint8_t kVendorQueryDpfFlags = 0xC2;  // data-in: 4 bytes, big-endian
inline constexpr uint8_t kVendorSetDpfFlags = 0xC3;    // CDB bytes 2..5: the word, big-endian
}  // namespace opcode

// Persistent reservation service actions and types.
namespace pr {
inline constexpr uint8_t kReadKeys = 0x00;
inline constexpr uint8_t kReadReservation = 0x01;
inline constexpr uint8_t kRegister = 0x00;
inline constexpr uint8_t kReserve = 0x01;
inline constexpr uint8_t kRelease = 0x02;
inline constexpr uint8_t kClear = 0x03;
inline constexpr uint8_t kPreempt = 0x04;
inline constexpr uint8_t kPreemptAndAbort = 0x05;
inline constexpr uint8_t kRegisterAndIgnore = 0x06;
inline constexpr uint8_t kTypeWriteExclusive = 0x1;
inline constexpr uint8_t kTypeExclusiveAccess = 0x3;
inline constexpr uint8_t kTypeWriteExclusiveRegistrantsOnly = 0x5;
inline constexpr uint8_t kTypeExclusiveAccessRegistrantsOnly = 0x6;
inline constexpr uint8_t kTypeWriteExclusiveAllRegistrants = 0x7;
inline constexpr uint8_t kTypeExclusiveAccessAllRegistrants = 0x8;
}  // namespace pr

// Address of a path as the host sees it (the fields of SCSI_ADDRESS).
struct ScsiAddress {
  uint8_t portNumber = 0;  // host adapter
  uint8_t pathId = 0;      // bus on the adapter
  uint8_t targetId = 0;
  uint8_t lun = 0;
  auto operator<=>(const ScsiAddress&) const = default;
  std::string toString() const;  // "port 2 bus 0 target 3 lun 0"
};

// One SCSI command as an initiator sends it. The spans must stay valid for the
// duration of the (synchronous) execution.
struct Command {
  std::span<const uint8_t> cdb;
  std::span<const uint8_t> dataOut;  // bytes sent to the device (WRITE, MODE SELECT, PR OUT, ...)
  uint32_t dataInLength = 0;         // size of the initiator's data-in buffer
};

// What the initiator gets back.
struct CommandResult {
  // 0 when the command reached the drive and came back; otherwise the NT status
  // of the transport failure, and nothing below carries information.
  uint32_t transportStatus = 0;
  // A transport failure the port driver reports by this SRB status (srb::*) rather than with a
  // ready NT status: the class driver makes the NT status of it. 0: none named.
  uint8_t srbStatus = 0;
  uint8_t scsiStatus = kScsiGood;
  std::vector<uint8_t> sense;   // fixed-format sense data (CHECK CONDITION only)
  std::vector<uint8_t> dataIn;  // bytes actually transferred to the initiator
  uint32_t dataOutTransferred = 0;
  // Bytes of the initiator's buffer that were not transferred: data-in buffer
  // length minus dataIn.size(), or data-out length minus dataOutTransferred.
  uint32_t residual = 0;
  // When the initiator hears the answer, for a target that keeps its own
  // account of time (a streaming drive); otherwise the path's transfer-time
  // model applies.
  std::optional<std::chrono::steady_clock::time_point> readyAt;

  bool delivered() const noexcept { return transportStatus == 0; }
  bool good() const noexcept { return delivered() && scsiStatus == kScsiGood; }
};

// Fields of fixed-format sense data (response code 0x70/0x71).
struct SenseInfo {
  bool present = false;  // at least 14 bytes of fixed-format sense
  uint8_t responseCode = 0;
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  bool infoValid = false;
  int32_t information = 0;  // signed: an overlength read reports a negative residual
};

SenseInfo decodeSense(std::span<const uint8_t> sense);

// Length of a CDB by its operation code group (6, 10, 12 or 16; vendor codes: 6).
std::size_t cdbLength(uint8_t opcode);

}  // namespace sim::hw
