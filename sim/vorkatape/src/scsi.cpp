// SCSI commands of a tape path and the NT status of a command's outcome.
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

// A tape class driver's reading of a command's outcome.
NTSTATUS StatusFromResult(const ScsiResult& r) {
    NTSTATUS status;
    if (scsiclass::StatusWithoutSense(r, &status)) return status;
    const Sense& s = r.sense;
    switch (s.key) {
        case 0x0:  // NO SENSE: the flags tell what happened
            if (s.filemark) return STATUS_FILEMARK_DETECTED;
            if (s.eom) return (s.asc == 0x00 && s.ascq == 0x04) ? STATUS_BEGINNING_OF_MEDIA : STATUS_END_OF_MEDIA;
            return STATUS_SUCCESS;
        case 0x1:  // RECOVERED ERROR
            return STATUS_SUCCESS;
        case 0x2:  // NOT READY; no medium is STATUS_NO_MEDIA for a tape (ERROR_NO_MEDIA_IN_DRIVE
                   // to a program), where a disk's class driver says STATUS_NO_MEDIA_IN_DEVICE
            return s.asc == 0x3A ? STATUS_NO_MEDIA : STATUS_DEVICE_NOT_READY;
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

ScsiResult TapePath::Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction,
                          void* data, std::uint32_t length, Outcome* outcome) {
    std::optional<ScsiResult> kept;
    {
        std::lock_guard lock(stateMutex_);
        kept.swap(keptAttention_);
    }
    ScsiResult result;
    if (kept) {
        // The drive reported this to the command the driver sent for this request: it is the
        // request's first command that hears of it, and nothing of the command ran.
        result = *kept;
        result.transferred = 0;
        result.residual = length;
        Trace("Tape%u: the kept unit attention %02X/%02X/%02X answers command 0x%02X\n", number_,
              result.sense.key, result.sense.asc, result.sense.ascq, cdb[0]);
    } else {
        result = scsiclass::SendSrb(lower_, cdb, cdbLength, direction, data, length);
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

void TapePath::KeepAttention(const ScsiResult& attention) {
    std::lock_guard lock(stateMutex_);
    // A reset or medium change outranks the loss of this path's connection: it moved the tape.
    const auto moved = [](const ScsiResult& r) { return r.sense.asc == 0x28 || (r.sense.asc == 0x29 && r.sense.ascq <= 0x06); };
    if (!keptAttention_ || moved(attention) || !moved(*keptAttention_)) keptAttention_ = attention;
}

NTSTATUS TapePath::AdapterControl(ULONG code, void* output, ULONG outputLength) {
    return scsiclass::AdapterControl(lower_, code, output, outputLength);
}

}  // namespace vorka::tape
