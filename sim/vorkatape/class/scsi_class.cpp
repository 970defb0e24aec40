// SCSI commands through the adapter's path device, sense decoding, and the
// request gate of a path device.
#include "scsi_class.h"

#include <ntddchgr.h>  // SERIAL_NUMBER_LENGTH

#include <algorithm>
#include <cstdio>
#include <cstring>

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
        case 0x18:  // RESERVATION CONFLICT
        case 0x08:  // BUSY
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

ScsiResult SendSrb(PDEVICE_OBJECT lower, const std::uint8_t* cdb, std::uint8_t cdbLength,
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

    if (request.srbStatus == san::SrbStatus::Success || request.srbStatus == san::SrbStatus::Error) {
        result.transport = STATUS_SUCCESS;
        result.scsiStatus = request.scsiStatus;
        result.transferred = request.dataTransferLength;
        result.residual = request.residual;
        result.senseLength = request.senseInfoLength;
        result.sense = DecodeSense(result.senseData.data(), result.senseLength);
    } else {
        result.transport = request.transportStatus != 0 ? request.transportStatus
                           : NT_SUCCESS(status)          ? STATUS_IO_DEVICE_ERROR
                                                         : status;
        result.residual = length;
    }
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
