// What the simulated class drivers (vorkatape for tape paths, vorkachgr for
// changer control paths) share: SCSI commands through the SAN adapter's path
// device and their sense data, buffered device-control buffers, the count of
// requests in progress on a path device with its Plug and Play state, and SCSI
// pass-through (buffered and direct, 64- and 32-bit layouts).
//
// Host C++ compiled into each driver image (a static library), so every image
// keeps its own copy and no symbol crosses between images.
#pragma once

// The C++ library comes first: the kernel headers define __try for structured
// exception handling, which the library's own headers must not see.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>

#include "vorkatape/srb.h"

#include <ntddk.h>
#include <ntddscsi.h>

namespace vorka::scsiclass {

// The fields of fixed-format sense data a class driver acts on.
struct Sense {
    bool valid = false;  // at least the first 14 bytes of fixed-format sense (0x70/0x71)
    bool deferred = false;  // 0x71: the failure of an earlier command, reported on this one
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    bool filemark = false;
    bool eom = false;
    bool ili = false;
    bool infoValid = false;
    std::int32_t information = 0;
};
Sense DecodeSense(const std::uint8_t* data, std::uint32_t length);

struct ScsiResult {
    NTSTATUS transport = STATUS_SUCCESS;  // transport failure, or success when the device answered
    std::uint8_t scsiStatus = 0;
    std::array<std::uint8_t, san::kMaxSense> senseData{};
    std::uint32_t senseLength = 0;
    Sense sense;
    std::uint32_t transferred = 0;  // data bytes moved
    std::uint32_t residual = 0;     // data bytes of the buffer not moved
    san::SrbStatus srbStatus = san::SrbStatus::Pending;  // as the port driver reported it

    bool delivered() const { return transport == STATUS_SUCCESS; }
    bool good() const { return delivered() && scsiStatus == 0x00; }
    bool reservationConflict() const { return delivered() && scsiStatus == 0x18; }
    bool unitAttention() const { return delivered() && scsiStatus == 0x02 && sense.valid && sense.key == 0x6; }
};

// A command's outcome as far as it does not depend on the sense key: transport
// failures, good status, reservation conflicts, busy and task set full (STATUS_DEVICE_BUSY, as the
// storage class drivers report them: the device is there and working but serves
// another initiator), other statuses and check conditions without usable sense
// (STATUS_IO_DEVICE_ERROR). False when the sense key decides.
bool StatusWithoutSense(const ScsiResult& r, NTSTATUS* status);

// The NT status a class driver makes of a port's SRB status for a command that did not reach the
// device or never came back (selection time-out: STATUS_DEVICE_NOT_CONNECTED; no device, invalid
// target or LUN: STATUS_NO_SUCH_DEVICE; time-outs: STATUS_IO_TIMEOUT; aborted, bus reset, phase
// failure: STATUS_IO_DEVICE_ERROR). False for a status it does not map.
bool StatusOfSrb(san::SrbStatus srbStatus, NTSTATUS* status);

// How often, and after how long, a command the device refused as busy (BUSY, TASK SET FULL) is
// sent again; how often a command the port lost on the way is, when it is safe to repeat.
inline constexpr std::uint32_t kBusyRetries = 10;
inline constexpr std::uint32_t kBusyRetryDelayMs = 20;
inline constexpr std::uint32_t kLostRetries = 3;

// One SCSI command through the adapter's path device `lower` (IRP_MJ_SCSI with
// the adapter's request block), waited for, with the class driver's retries.
ScsiResult SendSrb(PDEVICE_OBJECT lower, const std::uint8_t* cdb, std::uint8_t cdbLength,
                   san::DataDirection direction, void* data, std::uint32_t length);
// A buffered device-control request to the adapter's path device, waited for.
NTSTATUS AdapterControl(PDEVICE_OBJECT lower, ULONG code, void* output, ULONG outputLength);

// ---- Handing requests to the adapter's path device -----------------------------------------------

// Sends the request on to `lower` and waits for its answer; the caller completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);
// Hands the request on to `lower`, which completes it.
NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp);
// Hands a power request on to `lower`.
NTSTATUS PassPower(PDEVICE_OBJECT lower, PIRP irp);

// Forced pending: marks the request pending and has `process` answer it from a
// worker thread (or at once when no work item is left), so that a caller which
// does not wait for STATUS_PENDING reads the outcome too early and shows it.
using ProcessRoutine = void (*)(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS AnswerLater(PDEVICE_OBJECT device, PIRP irp, ProcessRoutine process);

// ---- Answers of the private requests -------------------------------------------------------------

// The device's SCSI address from the adapter's path device `lower`, as the
// SCSI_ADDRESS record a caller reads.
NTSTATUS GetScsiAddress(PDEVICE_OBJECT lower, SCSI_ADDRESS* address);
// The serial number of a unit serial number page (0x80) of `transferred` bytes,
// zero-padded into `serial` (SERIAL_NUMBER_LENGTH bytes); a device error when the
// page is short or another page.
NTSTATUS CopySerialNumber(const std::uint8_t* page, std::uint32_t transferred, std::uint8_t* serial);

// ---- Requests in progress on a path device ----------------------------------------------------

enum class PathPnp : std::uint8_t { NotStarted, Started, Stopped, SurpriseRemoved, Removed };

// Enter fails once the path is stopped or removed (closes always get in); Drain
// waits until no request is left.
class RequestGate {
public:
    NTSTATUS Enter(UCHAR majorFunction);
    void Leave();
    void Drain();
    void SetPnp(PathPnp state);
    PathPnp Pnp() const { return pnp_.load(); }
    std::uint32_t InProgress() const;

private:
    std::atomic<PathPnp> pnp_{PathPnp::NotStarted};
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::uint32_t inProgress_ = 0;
};

// ---- Names and configuration --------------------------------------------------------------------

std::u16string Widen(const char* text);
std::u16string Format16(const char* format, unsigned value);
UNICODE_STRING View(const std::u16string& text);  // borrows the text
// A REG_DWORD value of an absolute registry key; 0 when it is missing or not a DWORD.
ULONG ReadDword(const std::u16string& key, const char16_t* name);

// ---- Forced pending I/O -------------------------------------------------------------------------

// Whether a request is answered later from a worker thread, like the verifier's
// forced pending I/O: mode 0 never, 1 at random (about half), 2 always.
class PendingChoice {
public:
    void Configure(std::uint32_t mode, std::uint32_t seed);
    bool Next();

private:
    std::uint32_t mode_ = 0;
    std::mutex mutex_;
    std::minstd_rand rng_;
};

// ---- Buffers -------------------------------------------------------------------------------------

// The three buffers of a METHOD_BUFFERED device-control request.
struct Buffered {
    std::uint8_t* buffer;
    ULONG inputLength;
    ULONG outputLength;
};
inline Buffered BufferedOf(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return Buffered{static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                    stack->Parameters.DeviceIoControl.InputBufferLength,
                    stack->Parameters.DeviceIoControl.OutputBufferLength};
}

inline std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
inline std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | Be16(p + 1); }
inline std::uint32_t Be32(const std::uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }
inline std::uint64_t Be64(const std::uint8_t* p) { return (std::uint64_t{Be32(p)} << 32) | Be32(p + 4); }
inline void PutBe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v >> 8); p[1] = std::uint8_t(v); }
inline void PutBe24(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v >> 16); PutBe16(p + 1, v); }
inline void PutBe32(std::uint8_t* p, std::uint32_t v) { PutBe16(p, v >> 16); PutBe16(p + 2, v); }
inline void PutBe64(std::uint8_t* p, std::uint64_t v) { PutBe32(p, std::uint32_t(v >> 32)); PutBe32(p + 4, std::uint32_t(v)); }

// ---- SCSI pass-through ---------------------------------------------------------------------------

// In the caller's context, before the request may be answered from another
// thread: probes and locks the data buffer of a direct pass-through from user
// mode (kept with the request until RunPassThrough).
NTSTATUS PreparePassThroughDirect(PIRP irp);

struct PassThroughOutcome {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::uint32_t residual = 0;  // bytes of the data transfer not moved
    bool commandSent = false;
    ScsiResult result;           // the command's outcome, when it was sent
};

// Checks the caller's record (every offset and length inside the buffers),
// sends its command with `send` and writes the outcome back into the record.
using SendFunction = std::function<ScsiResult(const std::uint8_t* cdb, std::uint8_t cdbLength,
                                              san::DataDirection direction, void* data, std::uint32_t length)>;
PassThroughOutcome RunPassThrough(PIRP irp, bool direct, const SendFunction& send);

}  // namespace vorka::scsiclass
