// The request block that the base tape driver hands to a path's physical device
// object of the simulated SCSI adapter (vorkasan), and the adapter's private
// control codes.
//
// A class driver talks to its port driver with SCSI request blocks carried by
// IRP_MJ_SCSI requests. This record is the small, fixed subset of that block the
// simulation needs: one CDB, one data buffer with its direction, a sense buffer,
// and what came back. It travels in IO_STACK_LOCATION.Parameters.Scsi.Srb; the
// caller owns it and the buffers it points to until the request completes.
//
// Host C++ on both sides (the adapter and the base driver are simulator images),
// so only fixed-width types cross.
#pragma once

#include <cstdint>

#include <srb.h>

namespace vorka::san {

enum class DataDirection : std::uint8_t {
    None = 0,
    In = 1,   // device to host (READ, INQUIRY, MODE SENSE, ...)
    Out = 2,  // host to device (WRITE, MODE SELECT, PERSISTENT RESERVE OUT, ...)
};

// Outcome of the transport, as a port driver reports it in SrbStatus (the SRB_STATUS_* values).
enum class SrbStatus : std::uint8_t {
    Pending = SRB_STATUS_PENDING,
    Success = SRB_STATUS_SUCCESS,            // the command reached the device and ended with GOOD
    Aborted = SRB_STATUS_ABORTED,            // the port aborted it (after a time-out, or a reset)
    Error = SRB_STATUS_ERROR,                // it reached the device and ended with another status byte
    InvalidRequest = SRB_STATUS_INVALID_REQUEST,  // the block itself is malformed
    InvalidPathId = SRB_STATUS_INVALID_PATH_ID,
    NoDevice = SRB_STATUS_NO_DEVICE,         // the path's device is gone
    Timeout = SRB_STATUS_TIMEOUT,
    SelectionTimeout = SRB_STATUS_SELECTION_TIMEOUT,  // the device did not answer its selection
    CommandTimeout = SRB_STATUS_COMMAND_TIMEOUT,      // the command's time ran out at the device
    BusReset = SRB_STATUS_BUS_RESET,         // a bus or device reset ended it
    NoHba = SRB_STATUS_NO_HBA,
    PhaseSequenceFailure = SRB_STATUS_PHASE_SEQUENCE_FAILURE,
    InvalidLun = SRB_STATUS_INVALID_LUN,
    InvalidTargetId = SRB_STATUS_INVALID_TARGET_ID,
};

inline constexpr std::uint32_t kScsiRequestVersion = 1;
inline constexpr std::uint32_t kMaxSense = 96;

struct ScsiRequest {
    std::uint32_t version = kScsiRequestVersion;
    std::uint8_t cdb[16] = {};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;

    // In: size of the data buffer. Out: bytes actually moved.
    void* dataBuffer = nullptr;
    std::uint32_t dataTransferLength = 0;

    // In: size of the sense buffer. Out: bytes of sense data returned.
    std::uint8_t* senseBuffer = nullptr;
    std::uint32_t senseInfoLength = 0;

    // Out.
    SrbStatus srbStatus = SrbStatus::Pending;
    std::uint8_t scsiStatus = 0;
    std::uint32_t residual = 0;          // bytes of the data buffer not transferred
    // NT status of a transport failure the adapter names itself, 0 otherwise: then srbStatus alone
    // tells the class driver what failed.
    std::int32_t transportStatus = 0;
};

// ---- Configuration of the adapter ------------------------------------------------------------

// Values under \Registry\Machine\System\CurrentControlSet\Services\vorkasan\Parameters, read
// once at DriverEntry (REG_DWORD; missing means 0).
//
// "CompleteFromDpc": how the path devices answer SCSI requests and device controls. 0: in the
//   caller's thread. 1: at random, about half of them are marked pending and executed and
//   completed later by a DPC, on the DPC thread at DISPATCH_LEVEL, as a port driver completes
//   requests from its interrupt's DPC. 2: all of them are.
// "CompleteFromDpcSeed": seed of that random choice (0: a fixed default seed).
inline constexpr char16_t kSanParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkasan\\Parameters";
inline constexpr char16_t kCompleteFromDpcValue[] = u"CompleteFromDpc";
inline constexpr char16_t kCompleteFromDpcSeedValue[] = u"CompleteFromDpcSeed";

// ---- Private control codes of the adapter's path devices (IRP_MJ_DEVICE_CONTROL) ----

// Device type of the adapter's devices: FILE_DEVICE_CONTROLLER.
inline constexpr std::uint32_t kControllerDeviceType = 0x00000004;

constexpr std::uint32_t AdapterCode(std::uint32_t function) {
    // CTL_CODE(FILE_DEVICE_CONTROLLER, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
    return (kControllerDeviceType << 16) | (function << 2);
}

// Who holds the reservation of the drive behind the path, as the fabric knows it
// (on a real fabric: PERSISTENT RESERVE IN READ FULL STATUS gives the holder's
// transport identifier). Output: HolderInfo. Kernel-mode callers only.
inline constexpr std::uint32_t kIoctlQueryReservationHolder = AdapterCode(0xA01);

// Task management LOGICAL UNIT RESET of the device behind the path (what a class driver asks its port
// driver for with SRB_FUNCTION_RESET_LOGICAL_UNIT). No input or output. Kernel-mode callers only.
inline constexpr std::uint32_t kIoctlResetLogicalUnit = AdapterCode(0xA02);

struct HolderInfo {
    std::uint32_t found = 0;             // 1 when a reservation is held
    std::uint32_t persistent = 0;        // 1: persistent reservation, 0: RESERVE(6)
    std::uint64_t registrationKey = 0;   // the holder's key as sent on the wire (big-endian value)
    std::uint64_t targetPortName = 0;    // name of the drive port the holder reaches
};

}  // namespace vorka::san
