// SCSI commands through the adapter's path device, sense decoding, and the
// request gate of a path device.
#include "scsi_class.h"

#include <ntddchgr.h>  // SERIAL_NUMBER_LENGTH

#include <scsi.h>
#include <srb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vorka::scsiclass {

Sense DecodeSense(const std::uint8_t* data, std::uint32_t length) {
    Sense s;
    if (data == nullptr || length < 14) return s;
    const std::uint8_t code = data[0] & 0x7F;
    if (code != 0x70 && code != 0x71) return s;
    s.valid = true;
    s.deferred = code == 0x71;
    s.key = data[2] & 0x0F;
    s.filemark = (data[2] & 0x80) != 0;
    s.eom = (data[2] & 0x40) != 0;
    s.ili = (data[2] & 0x20) != 0;
    s.infoValid = (data[0] & 0x80) != 0;
    s.information = static_cast<std::int32_t>(Be32(data + 3));
    s.asc = data[12];
    s.ascq = data[13];
    return s;
}

bool StatusWithoutSense(const ScsiResult& r, NTSTATUS* status) {
    if (!r.delivered()) {
        *status = r.transport;
        return true;
    }
    switch (r.scsiStatus) {
        case 0x00:
            *status = STATUS_SUCCESS;
            return true;
        case SCSISTAT_RESERVATION_CONFLICT:
        case SCSISTAT_BUSY:
        case SCSISTAT_QUEUE_FULL:  // TASK SET FULL
            *status = STATUS_DEVICE_BUSY;
            return true;
        case 0x02:  // CHECK CONDITION
            if (r.sense.valid) return false;
            *status = STATUS_IO_DEVICE_ERROR;
            return true;
        default:
            *status = STATUS_IO_DEVICE_ERROR;
            return true;
    }
}

namespace {

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours: freed by the sender
}

struct PendingWork {
    PIO_WORKITEM item;
    PIRP irp;
    ProcessRoutine process;
};

VOID RunPendingWork(PDEVICE_OBJECT device, PVOID context) {
    auto* work = static_cast<PendingWork*>(context);
    PIO_WORKITEM item = work->item;
    PIRP irp = work->irp;
    ProcessRoutine process = work->process;
    delete work;
    // Freed before the request completes: once it has, the path may be removed and
    // the driver unloaded (the routine itself is still covered by the I/O manager's
    // reference on the device until it returns).
    IoFreeWorkItem(item);
    process(device, irp);
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS GetScsiAddress(PDEVICE_OBJECT lower, SCSI_ADDRESS* address) {
    *address = SCSI_ADDRESS{};
    NTSTATUS status = AdapterControl(lower, IOCTL_SCSI_GET_ADDRESS, address, sizeof *address);
    if (NT_SUCCESS(status)) address->Length = sizeof(SCSI_ADDRESS);
    return status;
}

NTSTATUS CopySerialNumber(const std::uint8_t* page, std::uint32_t transferred, std::uint8_t* serial) {
    if (transferred < 4 || page[1] != 0x80) return STATUS_IO_DEVICE_ERROR;
    const std::uint32_t serialLength = std::min<std::uint32_t>(page[3], transferred - 4);
    std::memset(serial, 0, SERIAL_NUMBER_LENGTH);
    std::memcpy(serial, page + 4, std::min<std::uint32_t>(serialLength, SERIAL_NUMBER_LENGTH));
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS PassPower(PDEVICE_OBJECT lower, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

NTSTATUS AnswerLater(PDEVICE_OBJECT device, PIRP irp, ProcessRoutine process) {
    IoMarkIrpPending(irp);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (item == nullptr) {
        process(device, irp);
        return STATUS_PENDING;
    }
    IoQueueWorkItem(item, RunPendingWork, DelayedWorkQueue, new PendingWork{item, irp, process});
    return STATUS_PENDING;
}

namespace {

// One command through the adapter, as the port driver answers it.
ScsiResult SendOnce(PDEVICE_OBJECT lower, const std::uint8_t* cdb, std::uint8_t cdbLength,
                    san::DataDirection direction, void* data, std::uint32_t length) {
    ScsiResult result;
    san::ScsiRequest request;
    std::memcpy(request.cdb, cdb, cdbLength > 16 ? 16 : cdbLength);
    request.cdbLength = cdbLength > 16 ? 16 : cdbLength;
    request.direction = length == 0 ? san::DataDirection::None : direction;
    request.dataBuffer = data;
    request.dataTransferLength = length;
    request.senseBuffer = result.senseData.data();
    request.senseInfoLength = static_cast<std::uint32_t>(result.senseData.size());

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) {
        result.transport = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = reinterpret_cast<struct _SCSI_REQUEST_BLOCK*>(&request);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);

    result.srbStatus = request.srbStatus;
    if (request.srbStatus == san::SrbStatus::Success || request.srbStatus == san::SrbStatus::Error) {
        result.transport = STATUS_SUCCESS;
        result.scsiStatus = request.scsiStatus;
        result.transferred = request.dataTransferLength;
        result.residual = request.residual;
        result.senseLength = request.senseInfoLength;
        result.sense = DecodeSense(result.senseData.data(), result.senseLength);
    } else {
        NTSTATUS fromSrb = STATUS_SUCCESS;
        result.transport = request.transportStatus != 0       ? request.transportStatus
                           : StatusOfSrb(request.srbStatus, &fromSrb) ? fromSrb
                           : NT_SUCCESS(status)                 ? STATUS_IO_DEVICE_ERROR
                                                                : status;
        result.residual = length;
    }
    return result;
}

// Commands that leave the device as they found it (queries), or in the same state when sent twice
// (a setting, a lock): sending one again after an answer that was lost costs nothing. A data
// transfer, a motion or an erase sent twice moves the tape twice; REQUEST SENSE sent twice loses
// the sense the first one took.
bool SafeToRepeat(std::uint8_t opcode) {
    switch (opcode) {
        case SCSIOP_TEST_UNIT_READY:
        case SCSIOP_READ_BLOCK_LIMITS:
        case SCSIOP_INQUIRY:
        case SCSIOP_MODE_SELECT:
        case SCSIOP_MODE_SENSE:
        case SCSIOP_MEDIUM_REMOVAL:
        case SCSIOP_READ_POSITION:
        case SCSIOP_LOG_SENSE:
        case SCSIOP_MODE_SELECT10:
        case SCSIOP_MODE_SENSE10:
        case SCSIOP_PERSISTENT_RESERVE_IN:
        case SCSIOP_REPORT_LUNS:
        case SCSIOP_READ_ELEMENT_STATUS:
        case 0xC0:  // the adapter's vendor-unique queries of the AMU setting and the DPF flags
        case 0xC2:
            return true;
        default:
            return false;
    }
}

// The device refused the command as busy (it did not run it).
bool RefusedBusy(const ScsiResult& r) {
    return r.delivered() && (r.scsiStatus == SCSISTAT_BUSY || r.scsiStatus == SCSISTAT_QUEUE_FULL);
}

// The port lost the command on the way or at the device (a time-out, an abort, a reset, a broken
// phase, or CHECK CONDITION whose sense never came): the device may have run it.
bool LostOnTheWay(const ScsiResult& r) {
    if (r.delivered()) return r.scsiStatus == SCSISTAT_CHECK_CONDITION && !r.sense.valid;
    switch (r.srbStatus) {
        case san::SrbStatus::Timeout:
        case san::SrbStatus::CommandTimeout:
        case san::SrbStatus::Aborted:
        case san::SrbStatus::BusReset:
        case san::SrbStatus::PhaseSequenceFailure:
            return true;
        default:
            return false;
    }
}

void Pause(std::uint32_t milliseconds) {
    LARGE_INTEGER delay;
    delay.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

}  // namespace

bool StatusOfSrb(san::SrbStatus srbStatus, NTSTATUS* status) {
    switch (srbStatus) {
        case san::SrbStatus::SelectionTimeout:
            *status = STATUS_DEVICE_NOT_CONNECTED;
            return true;
        case san::SrbStatus::NoDevice:
        case san::SrbStatus::InvalidLun:
        case san::SrbStatus::InvalidTargetId:
        case san::SrbStatus::InvalidPathId:
        case san::SrbStatus::NoHba:
            *status = STATUS_NO_SUCH_DEVICE;
            return true;
        case san::SrbStatus::CommandTimeout:
        case san::SrbStatus::Timeout:
            *status = STATUS_IO_TIMEOUT;
            return true;
        case san::SrbStatus::Aborted:
        case san::SrbStatus::BusReset:
        case san::SrbStatus::PhaseSequenceFailure:
            *status = STATUS_IO_DEVICE_ERROR;
            return true;
        default:
            return false;
    }
}

ScsiResult SendSrb(PDEVICE_OBJECT lower, const std::uint8_t* cdb, std::uint8_t cdbLength,
                   san::DataDirection direction, void* data, std::uint32_t length) {
    ScsiResult result = SendOnce(lower, cdb, cdbLength, direction, data, length);
    // As the storage class drivers do: a device that is busy or whose task set is full did not
    // run the command, and gets it again after a pause, a bounded number of times; a command the
    // port lost on the way is sent again only when sending it twice is harmless. A selection
    // time-out or a missing device is final, and so is a transport failure the adapter named.
    std::optional<ScsiResult> lost;
    std::uint32_t busyRetries = 0;
    std::uint32_t lostRetries = 0;
    for (;;) {
        if (RefusedBusy(result) && busyRetries < kBusyRetries) {
            ++busyRetries;
            Pause(kBusyRetryDelayMs);
        } else if (LostOnTheWay(result) && SafeToRepeat(cdb[0]) && lostRetries < kLostRetries) {
            ++lostRetries;
            lost = result;
        } else {
            break;
        }
        result = SendOnce(lower, cdb, cdbLength, direction, data, length);
    }
    // A retry that met a busy device says nothing of the attempt before it, which may have run:
    // the caller hears of that one.
    if (lost && RefusedBusy(result)) return *lost;
    return result;
}

NTSTATUS AdapterControl(PDEVICE_OBJECT lower, ULONG code, void* output, ULONG outputLength) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, output, outputLength, FALSE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS RequestGate::Enter(UCHAR majorFunction) {
    std::lock_guard lock(mutex_);
    const PathPnp state = pnp_.load();
    const bool closing = majorFunction == IRP_MJ_CLOSE || majorFunction == IRP_MJ_CLEANUP;
    if (!closing) {
        if (state == PathPnp::SurpriseRemoved || state == PathPnp::Removed) return STATUS_DEVICE_DOES_NOT_EXIST;
        if (state != PathPnp::Started) return STATUS_DEVICE_NOT_READY;
    }
    ++inProgress_;
    return STATUS_SUCCESS;
}

void RequestGate::Leave() {
    std::lock_guard lock(mutex_);
    if (--inProgress_ == 0) idle_.notify_all();
}

void RequestGate::Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return inProgress_ == 0; });
}

void RequestGate::SetPnp(PathPnp state) {
    std::lock_guard lock(mutex_);
    pnp_.store(state);
}

std::uint32_t RequestGate::InProgress() const {
    std::lock_guard lock(mutex_);
    return inProgress_;
}

std::u16string Widen(const char* text) {
    std::u16string out;
    for (; *text != '\0'; ++text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

std::u16string Format16(const char* format, unsigned value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    return Widen(text);
}

UNICODE_STRING View(const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text.c_str());
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    return s;
}

ULONG ReadDword(const std::u16string& key, const char16_t* name) {
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = &value;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr);
    return NT_SUCCESS(status) ? value : 0;
}

void PendingChoice::Configure(std::uint32_t mode, std::uint32_t seed) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    rng_.seed(seed != 0 ? seed : 0x5EED);
}

bool PendingChoice::Next() {
    std::lock_guard lock(mutex_);
    if (mode_ == 0) return false;
    if (mode_ >= 2) return true;
    return (rng_() & 1) != 0;
}

}  // namespace vorka::scsiclass
