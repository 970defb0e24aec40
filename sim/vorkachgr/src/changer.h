// vorkachgr: the base changer class driver of the simulated machine. One device
// object \Device\Changer<n> per library control path, on top of the path's
// physical device object of the SCSI adapter (vorkasan); the changer path
// filter sits above it.
//
// It turns the changer requests (IOCTL_CHANGER_*, SCSI pass-through, the private
// requests of the changer filter and bus) into SMC commands on its path, maps
// their outcome to NT statuses as a changer class driver does, and fills the
// status record of every request that the changer bus forwarded (found in the
// bus's status table). Element addresses in the requests are zero-based within
// their element type, as Windows gives them; the driver translates them with the
// library's element address assignment.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "scsi_class.h"
#include "vorkachgr/changer_query.h"

#include <ntddk.h>
#include <ntddchgr.h>
#include <ntddscsi.h>

#define VORKA_CHANGER_DRIVER
#include "defines.h"

namespace vorka::changer {

using scsiclass::Be16;
using scsiclass::Be24;
using scsiclass::Buffered;
using scsiclass::BufferedOf;
using scsiclass::PathPnp;
using scsiclass::PutBe16;
using scsiclass::PutBe24;
using scsiclass::ScsiResult;

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What the handling of one request leaves behind.
struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool commandSent = false;
    ScsiResult last;  // the command whose sense describes the outcome
};

// The NT status a changer class driver reports for a command's outcome.
NTSTATUS StatusFromResult(const ScsiResult& result);

// The element address assignment mode page: first address and count per type.
struct Addressing {
    std::uint16_t first[ChangerMaxElement] = {};
    std::uint16_t count[ChangerMaxElement] = {};
};

class Driver {
public:
    explicit Driver(PUNICODE_STRING registryPath);
    static Driver& Of(PDRIVER_OBJECT driverObject);
    bool ChoosePending();
    // The pause before a command that found the library becoming ready or busy is sent again.
    ULONG NotReadyRetryMs() const { return notReadyRetryMs_; }

private:
    scsiclass::PendingChoice pending_;
    ULONG notReadyRetryMs_ = 1000;
};

// Device extension of \Device\Changer<n>; constructed in place by AddDevice.
class ChangerPath {
public:
    ChangerPath(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, ULONG number);
    static ChangerPath& Of(PDEVICE_OBJECT device) { return *static_cast<ChangerPath*>(device->DeviceExtension); }

    PDEVICE_OBJECT Self() const { return self_; }
    PDEVICE_OBJECT Lower() const { return lower_; }
    ULONG Number() const { return number_; }
    scsiclass::RequestGate& Gate() { return gate_; }

    NTSTATUS StartPath();
    const SCSI_ADDRESS& Address() const { return address_; }

    // One SCSI command through the adapter; noted in `outcome` as its last command.
    ScsiResult Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction, void* data,
                    std::uint32_t length, Outcome* outcome = nullptr);
    // The same, sent again (up to three times) while the library answers with a
    // unit attention: the condition is reported once and the command was not done;
    // and up to four times after a pause while it is becoming ready or busy.
    ScsiResult SendRetryingAttention(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction,
                                     void* data, std::uint32_t length, Outcome* outcome);
    NTSTATUS AdapterControl(ULONG code, void* output, ULONG outputLength);

    // The library's element address assignment, read once from the library.
    NTSTATUS GetAddressing(Addressing* addressing, Outcome& out);

    PIRPS_WITH_STATUS StatusTable() const { return table_.load(); }
    NTSTATUS TakeStatusTable(PIRPS_WITH_STATUS table);
    void CountRecordFilled() { recordsFilled_.fetch_add(1); }

    ChangerPathState Query() const;

private:
    PDEVICE_OBJECT self_;
    PDEVICE_OBJECT lower_;
    const ULONG number_;
    SCSI_ADDRESS address_{};
    scsiclass::RequestGate gate_;

    std::mutex addressingMutex_;
    bool addressingKnown_ = false;
    Addressing addressing_;

    std::atomic<PIRPS_WITH_STATUS> table_{nullptr};
    std::atomic<std::uint32_t> recordsFilled_{0};
    mutable std::mutex stateMutex_;  // guards the handshake fields below
    std::uint32_t setExtInBaseCount_ = 0;
    bool virtualRecorded_ = false;
    std::uint32_t virtualNumber_ = 0;
};

// Request handlers: each fills the outcome; the caller completes the request.
void HandleDeviceControl(ChangerPath& path, PIRP irp, Outcome& out);
bool HandleChangerRequest(ChangerPath& path, PIRP irp, ULONG code, Outcome& out);   // requests.cpp
bool HandlePrivateRequest(ChangerPath& path, PIRP irp, ULONG code, Outcome& out);   // private.cpp

}  // namespace vorka::changer
