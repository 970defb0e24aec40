// vorkatape: the base tape class driver of the simulated machine. One device
// object \Device\Tape<n> per path, on top of the path's physical device object of
// the SCSI adapter (vorkasan); the tape path filter sits above it.
//
// It turns tape requests (read, write, IOCTL_TAPE_*, SCSI pass-through,
// IOCTL_STORAGE_* reservations, the private requests of the path filter and the
// tape bus) into SCSI commands on its path, maps their outcome to NT statuses as
// a tape class driver does, and fills the status record of every request that the
// tape bus forwarded (found in the bus's status table).
#pragma once

// The C++ library comes first: the kernel headers define __try for structured
// exception handling, which the library's own headers must not see.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>

#include "vorkatape/srb.h"
#include "vorkatape/tape_query.h"

#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddtape.h>

#include "defines.h"


namespace vorka::tape {

// ---- SCSI commands and their outcome -------------------------------------------------------

// The fields of fixed-format sense data a tape driver acts on.
struct Sense {
    bool valid = false;  // at least the first 14 bytes of fixed-format sense (0x70/0x71)
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
    NTSTATUS transport = STATUS_SUCCESS;  // transport failure, or success when the drive answered
    std::uint8_t scsiStatus = 0;
    std::array<std::uint8_t, san::kMaxSense> senseData{};
    std::uint32_t senseLength = 0;
    Sense sense;
    std::uint32_t transferred = 0;  // data bytes moved
    std::uint32_t residual = 0;     // data bytes of the buffer not moved

    bool delivered() const { return transport == STATUS_SUCCESS; }
    bool good() const { return delivered() && scsiStatus == 0x00; }
    bool reservationConflict() const { return delivered() && scsiStatus == 0x18; }
};

// The NT status a tape class driver reports for a command's outcome (reads and
// writes refine it for their transfer-length rules).
NTSTATUS StatusFromResult(const ScsiResult& result);

// ---- What the handling of one request leaves behind ----------------------------------------

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::uint32_t residual = 0;      // bytes of the request's data not transferred
    bool commandSent = false;
    ScsiResult last;                 // the command whose sense describes the outcome
    bool holderKnown = false;        // a reservation conflict told who holds the drive
    std::uint8_t holderKey[8] = {};
    std::uint64_t holderPortName = 0;
};

// ---- Driver-wide state -----------------------------------------------------------------------

class Driver {
public:
    explicit Driver(PUNICODE_STRING registryPath);
    static Driver& Of(PDRIVER_OBJECT driverObject);

    // Whether the next request is answered later from a worker thread.
    bool ChoosePending();
    std::uint32_t SetExtInBaseDelayMs() const { return setExtInBaseDelayMs_; }

private:
    std::uint32_t forcePending_ = 0;
    std::uint32_t setExtInBaseDelayMs_ = 0;
    std::mutex rngMutex_;
    std::minstd_rand rng_;
};

// ---- One path device ---------------------------------------------------------------------------

enum class PathPnp : std::uint8_t { NotStarted, Started, Stopped, SurpriseRemoved, Removed };

// Device extension of \Device\Tape<n>; constructed in place by AddDevice and
// destroyed just before IoDeleteDevice.
class TapePath {
public:
    TapePath(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, ULONG number);

    static TapePath& Of(PDEVICE_OBJECT device) { return *static_cast<TapePath*>(device->DeviceExtension); }

    PDEVICE_OBJECT Self() const { return self_; }
    PDEVICE_OBJECT Lower() const { return lower_; }
    ULONG Number() const { return number_; }

    // Requests in progress: Enter fails once the path is stopped or removed;
    // Drain waits until none is left.
    NTSTATUS Enter(UCHAR majorFunction);
    void Leave();
    void Drain();
    void SetPnp(PathPnp state);
    PathPnp Pnp() const { return pnp_.load(); }

    // One SCSI command through the adapter's path device; the result is also noted
    // in `outcome` as its last command.
    ScsiResult Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction,
                    void* data, std::uint32_t length, Outcome* outcome = nullptr);
    // A buffered device-control request to the adapter's path device.
    NTSTATUS AdapterControl(ULONG code, void* output, ULONG outputLength);

    // What the start learns.
    NTSTATUS StartPath();
    const SCSI_ADDRESS& Address() const { return address_; }

    // Block size of this initiator as the drive last told it (0: variable blocks).
    bool KnownBlockSize(std::uint32_t* blockSize) const;
    void SetKnownBlockSize(std::uint32_t blockSize);
    void ForgetBlockSize();
    // Reads the block size from the drive when it is not known.
    NTSTATUS CurrentBlockSize(std::uint32_t* blockSize, Outcome& outcome);

    std::uint32_t DpfFlags() const { return dpfFlags_.load(); }
    bool DpfFlagsKnown() const { return dpfFlagsKnown_.load(); }
    void SetDpfFlags(std::uint32_t flags);

    // The bus's status table, from IOC_SET_EXT_IN_BASE.
    PIRPS_WITH_STATUS StatusTable() const { return table_.load(); }
    NTSTATUS TakeStatusTable(PIRPS_WITH_STATUS table, std::uint32_t delayMs);

    // Reservation key this path reserves with (8 bytes as sent on the wire). Until
    // the bus sets one it is the address of the filter device above the path, the
    // key the bus itself assumes for a path that reserved.
    void ReservationKey(std::uint8_t key[8]) const;
    void SetReservationKey(const std::uint8_t key[8]);

    PathState Query() const;

private:
    PDEVICE_OBJECT self_;
    PDEVICE_OBJECT lower_;
    PDEVICE_OBJECT pdo_;
    const ULONG number_;
    SCSI_ADDRESS address_{};

    std::atomic<PathPnp> pnp_{PathPnp::NotStarted};
    mutable std::mutex ioMutex_;
    std::condition_variable ioIdle_;
    std::uint32_t inProgress_ = 0;

    std::atomic<std::int64_t> blockSize_{-1};  // -1: unknown
    std::atomic<std::uint32_t> dpfFlags_{0};
    std::atomic<bool> dpfFlagsKnown_{false};

    std::atomic<PIRPS_WITH_STATUS> table_{nullptr};
    mutable std::mutex stateMutex_;  // guards the fields below
    std::uint32_t setExtInBaseCount_ = 0;
    bool virtualTapeRecorded_ = false;
    std::uint32_t virtualTapeNumber_ = 0;
    PDEVICE_OBJECT filterDevice_ = nullptr;
    bool keySet_ = false;
    std::array<std::uint8_t, 8> key_{};
};

// ---- Request handlers (each fills the outcome; the caller completes the request) ----------

void HandleCreateClose(TapePath& path, PIRP irp, Outcome& out);
void HandleReadWrite(TapePath& path, PIRP irp, Outcome& out);
void HandleDeviceControl(TapePath& path, PIRP irp, Outcome& out);

// Tape requests (requests.cpp).
bool HandleTapeRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out);
// Requests of the base-driver contract and the private tape codes (private.cpp).
bool HandlePrivateRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out);
// IOCTL_STORAGE_* reservations and IOC_PREEMPT_RESERVATION (reserve.cpp).
bool HandleReservationRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out);
NTSTATUS PreemptReservation(TapePath& path, const std::uint8_t key[8], Outcome& out);
// After a RESERVATION CONFLICT: who holds the drive.
void LearnReservationHolder(TapePath& path, Outcome& out);
// SCSI pass-through, buffered and direct, 64- and 32-bit layouts (passthrough.cpp).
void HandlePassThrough(TapePath& path, PIRP irp, bool direct, Outcome& out);
// In the caller's context, before the request may be answered from another thread:
// probes and locks the data buffer of a direct pass-through from user mode.
NTSTATUS PreparePassThroughDirect(PIRP irp);

// Fills the status record of a request the bus forwarded (record.cpp).
void FillStatusRecord(TapePath& path, PIRP irp, const Outcome& out);

// ---- Small helpers -------------------------------------------------------------------------------

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
inline std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | Be16(p + 1); }
inline std::uint32_t Be32(const std::uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }
inline std::uint64_t Be64(const std::uint8_t* p) { return (std::uint64_t{Be32(p)} << 32) | Be32(p + 4); }
inline void PutBe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v >> 8); p[1] = std::uint8_t(v); }
inline void PutBe24(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v >> 16); PutBe16(p + 1, v); }
inline void PutBe32(std::uint8_t* p, std::uint32_t v) { PutBe16(p, v >> 16); PutBe16(p + 2, v); }
inline void PutBe64(std::uint8_t* p, std::uint64_t v) { PutBe32(p, std::uint32_t(v >> 32)); PutBe32(p + 4, std::uint32_t(v)); }

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

}  // namespace vorka::tape
