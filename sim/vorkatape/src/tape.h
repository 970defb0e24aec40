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
#include <optional>
#include <random>

#include "scsi_class.h"
#include "vorkatape/srb.h"
#include "vorkatape/tape_query.h"

#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddtape.h>

#include "defines.h"


namespace vorka::tape {

// ---- SCSI commands and their outcome -------------------------------------------------------

using scsiclass::Buffered;
using scsiclass::BufferedOf;
using scsiclass::DecodeSense;
using scsiclass::PathPnp;
using scsiclass::ScsiResult;
using scsiclass::Sense;
using scsiclass::Be16;
using scsiclass::Be24;
using scsiclass::Be32;
using scsiclass::Be64;
using scsiclass::PutBe16;
using scsiclass::PutBe24;
using scsiclass::PutBe32;
using scsiclass::PutBe64;

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
    scsiclass::PendingChoice pending_;
    std::uint32_t setExtInBaseDelayMs_ = 0;
};

// ---- One path device ---------------------------------------------------------------------------

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
    PathPnp Pnp() const { return gate_.Pnp(); }
    scsiclass::RequestGate& Gate() { return gate_; }

    // One SCSI command through the adapter's path device; the result is also noted
    // in `outcome` as its last command.
    ScsiResult Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction,
                    void* data, std::uint32_t length, Outcome* outcome = nullptr);
    // A buffered device-control request to the adapter's path device.
    NTSTATUS AdapterControl(ULONG code, void* output, ULONG outputLength);
    // A unit attention that one of the driver's own commands took from the drive on behalf of
    // the request that follows (see PreemptReservation): the next command through this path is
    // answered with it, as the drive would have answered it, and is not sent.
    void KeepAttention(const ScsiResult& attention);

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

    scsiclass::RequestGate gate_;

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
    std::optional<ScsiResult> keptAttention_;
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
using scsiclass::PreparePassThroughDirect;

// Fills the status record of a request the bus forwarded (record.cpp).
void FillStatusRecord(TapePath& path, PIRP irp, const Outcome& out);

// ---- Small helpers -------------------------------------------------------------------------------

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vorka::tape
