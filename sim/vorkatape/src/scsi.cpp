// SCSI commands through the adapter's path device, sense decoding, and the NT
// status of a command's outcome.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tape.h"

namespace vorka::tape {

void Trace(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    DbgPrint("VorkaTape: %s", line);
}

Sense DecodeSense(const std::uint8_t* data, std::uint32_t length) {
    Sense s;
    if (data == nullptr || length < 14) return s;
    const std::uint8_t code = data[0] & 0x7F;
    if (code != 0x70 && code != 0x71) return s;
    s.valid = true;
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

// A tape class driver's reading of a command's outcome. Reservation conflicts
// become STATUS_DEVICE_BUSY, as the storage class drivers report them: the drive
// is there and working but serves another initiator.
NTSTATUS StatusFromResult(const ScsiResult& r) {
    if (!r.delivered()) return r.transport;
    switch (r.scsiStatus) {
        case 0x00:
            return STATUS_SUCCESS;
        case 0x18:  // RESERVATION CONFLICT
        case 0x08:  // BUSY
            return STATUS_DEVICE_BUSY;
        case 0x02:  // CHECK CONDITION
            break;
        default:
            return STATUS_IO_DEVICE_ERROR;
    }
    const Sense& s = r.sense;
    if (!s.valid) return STATUS_IO_DEVICE_ERROR;
    switch (s.key) {
        case 0x0:  // NO SENSE: the flags tell what happened
            if (s.filemark) return STATUS_FILEMARK_DETECTED;
            if (s.eom) return (s.asc == 0x00 && s.ascq == 0x04) ? STATUS_BEGINNING_OF_MEDIA : STATUS_END_OF_MEDIA;
            return STATUS_SUCCESS;
        case 0x1:  // RECOVERED ERROR
            return STATUS_SUCCESS;
        case 0x2:  // NOT READY
            return s.asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
        case 0x3:  // MEDIUM ERROR
            return STATUS_DEVICE_DATA_ERROR;
        case 0x4:  // HARDWARE ERROR
            return STATUS_IO_DEVICE_ERROR;
        case 0x5:  // ILLEGAL REQUEST
            return STATUS_INVALID_DEVICE_REQUEST;
        case 0x6:  // UNIT ATTENTION
            if (s.asc == 0x28) return STATUS_MEDIA_CHANGED;
            if (s.asc == 0x29) return STATUS_BUS_RESET;
            return STATUS_IO_DEVICE_ERROR;
        case 0x7:  // DATA PROTECT
            return STATUS_MEDIA_WRITE_PROTECTED;
        case 0x8:  // BLANK CHECK: end of data
            return STATUS_NO_DATA_DETECTED;
        case 0xB:  // ABORTED COMMAND
            return STATUS_IO_DEVICE_ERROR;
        case 0xD:  // VOLUME OVERFLOW
            return STATUS_EOM_OVERFLOW;
        default:
            return STATUS_IO_DEVICE_ERROR;
    }
}

namespace {

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours: freed by the sender
}

}  // namespace

ScsiResult TapePath::Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction,
                          void* data, std::uint32_t length, Outcome* outcome) {
    ScsiResult result;
    san::ScsiRequest request;
    std::memcpy(request.cdb, cdb, cdbLength > 16 ? 16 : cdbLength);
    request.cdbLength = cdbLength > 16 ? 16 : cdbLength;
    request.direction = length == 0 ? san::DataDirection::None : direction;
    request.dataBuffer = data;
    request.dataTransferLength = length;
    request.senseBuffer = result.senseData.data();
    request.senseInfoLength = static_cast<std::uint32_t>(result.senseData.size());

    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr) {
        result.transport = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_SCSI;
        next->Parameters.Scsi.Srb = reinterpret_cast<struct _SCSI_REQUEST_BLOCK*>(&request);
        IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower_, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
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
    }

    // A reset or a mode change may have changed this initiator's block size.
    if ((result.delivered() && result.sense.valid && result.sense.key == 0x6) || cdb[0] == 0x15 || cdb[0] == 0x55) {
        ForgetBlockSize();
    }
    if (outcome != nullptr) {
        outcome->commandSent = true;
        outcome->last = result;
    }
    return result;
}

NTSTATUS TapePath::AdapterControl(ULONG code, void* output, ULONG outputLength) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower_, nullptr, 0, output, outputLength, FALSE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace vorka::tape
