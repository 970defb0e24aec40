// Opens and closes, reads and writes, the standard tape requests and the
// routing of device-control requests.
#include <algorithm>
#include <cstring>

#include "tape.h"

namespace vorka::tape {
namespace {

using san::DataDirection;

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRewind = 0x01;
constexpr std::uint8_t kReadBlockLimits = 0x05;
constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::uint8_t kWriteFilemarks6 = 0x10;
constexpr std::uint8_t kSpace6 = 0x11;
constexpr std::uint8_t kModeSelect6 = 0x15;
constexpr std::uint8_t kErase6 = 0x19;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kLoadUnload = 0x1B;
constexpr std::uint8_t kPreventAllow = 0x1E;
constexpr std::uint8_t kLocate10 = 0x2B;
constexpr std::uint8_t kReadPosition = 0x34;
constexpr std::uint8_t kLocate16 = 0x92;

constexpr std::uint8_t kPageCompression = 0x0F;

// A command without data whose outcome is the request's outcome.
void Simple(TapePath& path, const std::uint8_t* cdb, std::uint8_t length, Outcome& out) {
    ScsiResult r = path.Send(cdb, length, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

// MODE SENSE(6) of the compression page with the block descriptor.
struct ModeData {
    std::uint32_t blockLength = 0;
    bool writeProtected = false;
    bool compression = false;
};

NTSTATUS SenseMode(TapePath& path, ModeData* mode, Outcome& out) {
    std::uint8_t data[64] = {};
    const std::uint8_t cdb[6] = {kModeSense6, 0, kPageCompression, 0, sizeof data, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::In, data, sizeof data, &out);
    NTSTATUS status = StatusFromResult(r);
    if (!NT_SUCCESS(status)) {
        if (r.reservationConflict()) LearnReservationHolder(path, out);
        return status;
    }
    if (r.transferred < 4) return STATUS_IO_DEVICE_ERROR;
    const std::uint32_t descriptorLength = data[3];
    mode->writeProtected = (data[2] & 0x80) != 0;
    if (descriptorLength >= 8 && r.transferred >= 12) mode->blockLength = Be24(data + 9);
    const std::uint32_t page = 4 + descriptorLength;
    if (r.transferred >= page + 3 && (data[page] & 0x3F) == kPageCompression) {
        mode->compression = (data[page + 2] & 0x80) != 0;
    }
    path.SetKnownBlockSize(mode->blockLength);
    return STATUS_SUCCESS;
}

bool EnoughInput(PIRP irp, ULONG size, Outcome& out) {
    if (BufferedOf(irp).inputLength >= size && BufferedOf(irp).buffer != nullptr) return true;
    out.status = STATUS_INFO_LENGTH_MISMATCH;
    return false;
}

bool EnoughOutput(PIRP irp, ULONG size, Outcome& out) {
    if (BufferedOf(irp).outputLength >= size && BufferedOf(irp).buffer != nullptr) return true;
    out.status = STATUS_INFO_LENGTH_MISMATCH;
    return false;
}

// ---- IOCTL_TAPE_* ---------------------------------------------------------------------------

void GetPosition(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughOutput(irp, sizeof(TAPE_GET_POSITION), out)) return;
    const auto& request = BufferedOf(irp);
    if (request.inputLength >= sizeof(DWORD)) {
        // A position type the class driver does not know is refused before the drive is asked.
        const DWORD type = reinterpret_cast<PTAPE_GET_POSITION>(request.buffer)->Type;
        if (type != TAPE_ABSOLUTE_POSITION && type != TAPE_LOGICAL_POSITION && type != TAPE_PSEUDO_LOGICAL_POSITION) {
            out.status = STATUS_INVALID_PARAMETER;
            return;
        }
    }
    std::uint8_t data[20] = {};
    const std::uint8_t cdb[10] = {kReadPosition, 0x00};
    ScsiResult r = path.Send(cdb, 10, DataDirection::In, data, sizeof data, &out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) {
        if (r.reservationConflict()) LearnReservationHolder(path, out);
        return;
    }
    if (r.transferred < 12 || (data[0] & 0x04) != 0) {  // block position unknown
        out.status = STATUS_DEVICE_DATA_ERROR;
        return;
    }
    auto* position = reinterpret_cast<PTAPE_GET_POSITION>(BufferedOf(irp).buffer);
    const DWORD type = BufferedOf(irp).inputLength >= sizeof(DWORD) ? position->Type : TAPE_ABSOLUTE_POSITION;
    position->Type = type;
    position->Partition = 0;
    position->Offset.QuadPart = Be32(data + 4);
    out.information = sizeof(TAPE_GET_POSITION);
}

void SetPosition(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_SET_POSITION), out)) return;
    const auto* request = reinterpret_cast<const TAPE_SET_POSITION*>(BufferedOf(irp).buffer);
    const std::uint8_t immediate = request->Immediate ? 0x01 : 0x00;
    const LONGLONG offset = request->Offset.QuadPart;
    std::uint8_t cdb[16] = {};
    std::uint8_t length = 6;
    auto space = [&](std::uint8_t code) {
        if (offset < -0x800000 || offset > 0x7FFFFF) return false;
        cdb[0] = kSpace6;
        cdb[1] = code;
        PutBe24(cdb + 2, static_cast<std::uint32_t>(offset) & 0xFFFFFF);
        return true;
    };
    switch (request->Method) {
        case TAPE_REWIND:
            cdb[0] = kRewind;
            cdb[1] = immediate;
            break;
        case TAPE_ABSOLUTE_BLOCK:
        case TAPE_LOGICAL_BLOCK:
        case TAPE_PSEUDO_LOGICAL_BLOCK:
            if (offset < 0) {
                out.status = STATUS_INVALID_PARAMETER;
                return;
            }
            if (offset <= 0xFFFFFFFF) {
                cdb[0] = kLocate10;
                cdb[1] = immediate;
                PutBe32(cdb + 3, static_cast<std::uint32_t>(offset));
                length = 10;
            } else {
                cdb[0] = kLocate16;
                cdb[1] = immediate;
                PutBe64(cdb + 4, static_cast<std::uint64_t>(offset));
                length = 16;
            }
            break;
        case TAPE_SPACE_END_OF_DATA:
            cdb[0] = kSpace6;
            cdb[1] = 0x03;
            break;
        case TAPE_SPACE_RELATIVE_BLOCKS:
        case TAPE_SPACE_FILEMARKS:
        case TAPE_SPACE_SEQUENTIAL_FMKS:
        case TAPE_SPACE_SETMARKS:
        case TAPE_SPACE_SEQUENTIAL_SMKS: {
            static const std::uint8_t codes[] = {0x00, 0x01, 0x02, 0x04, 0x05};
            if (!space(codes[request->Method - TAPE_SPACE_RELATIVE_BLOCKS])) {
                out.status = STATUS_INVALID_PARAMETER;
                return;
            }
            break;
        }
        default:
            out.status = STATUS_INVALID_PARAMETER;
            return;
    }
    Simple(path, cdb, length, out);
}

void GetMediaParameters(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughOutput(irp, sizeof(TAPE_GET_MEDIA_PARAMETERS), out)) return;
    // The medium must be there (and a pending unit attention reported) before its
    // parameters mean anything.
    const std::uint8_t ready[6] = {kTestUnitReady};
    Simple(path, ready, 6, out);
    if (!NT_SUCCESS(out.status)) return;
    ModeData mode;
    out.status = SenseMode(path, &mode, out);
    if (!NT_SUCCESS(out.status)) return;
    auto* media = reinterpret_cast<PTAPE_GET_MEDIA_PARAMETERS>(BufferedOf(irp).buffer);
    std::memset(media, 0, sizeof *media);
    media->BlockSize = mode.blockLength;
    media->PartitionCount = 1;
    media->WriteProtected = mode.writeProtected ? TRUE : FALSE;
    out.information = sizeof(TAPE_GET_MEDIA_PARAMETERS);
}

void SetMediaParameters(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_SET_MEDIA_PARAMETERS), out)) return;
    const ULONG blockSize = reinterpret_cast<const TAPE_SET_MEDIA_PARAMETERS*>(BufferedOf(irp).buffer)->BlockSize;
    if (blockSize > 0xFFFFFF) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    std::uint8_t list[12] = {0, 0, 0x10, 8};  // header (buffered mode 1), one block descriptor
    PutBe24(list + 9, blockSize);
    const std::uint8_t cdb[6] = {kModeSelect6, 0x10, 0, 0, sizeof list, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::Out, list, sizeof list, &out);
    out.status = StatusFromResult(r);
    if (NT_SUCCESS(out.status)) {
        path.SetKnownBlockSize(blockSize);
    } else {
        path.ForgetBlockSize();
        if (r.reservationConflict()) LearnReservationHolder(path, out);
    }
}

void GetDriveParameters(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughOutput(irp, sizeof(TAPE_GET_DRIVE_PARAMETERS), out)) return;
    std::uint8_t limits[6] = {};
    const std::uint8_t cdb[6] = {kReadBlockLimits};
    ScsiResult r = path.Send(cdb, 6, DataDirection::In, limits, sizeof limits, &out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) return;
    ModeData mode;
    out.status = SenseMode(path, &mode, out);
    if (!NT_SUCCESS(out.status)) return;

    auto* drive = reinterpret_cast<PTAPE_GET_DRIVE_PARAMETERS>(BufferedOf(irp).buffer);
    std::memset(drive, 0, sizeof *drive);
    drive->Compression = mode.compression ? TRUE : FALSE;
    drive->MaximumBlockSize = Be24(limits + 1);
    drive->MinimumBlockSize = Be16(limits + 4);
    drive->DefaultBlockSize = std::min<DWORD>(0x10000, drive->MaximumBlockSize);
    drive->FeaturesLow = TAPE_DRIVE_FIXED_BLOCK | TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_WRITE_PROTECT |
                         TAPE_DRIVE_ERASE_SHORT | TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_ERASE_IMMEDIATE |
                         TAPE_DRIVE_COMPRESSION | TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK;
    const DWORD high = TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_TENSION | TAPE_DRIVE_LOCK_UNLOCK |
                       TAPE_DRIVE_REWIND_IMMEDIATE | TAPE_DRIVE_SET_BLOCK_SIZE | TAPE_DRIVE_SET_COMPRESSION |
                       TAPE_DRIVE_ABSOLUTE_BLK | TAPE_DRIVE_LOGICAL_BLK | TAPE_DRIVE_END_OF_DATA |
                       TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS | TAPE_DRIVE_SEQUENTIAL_FMKS |
                       TAPE_DRIVE_REVERSE_POSITION | TAPE_DRIVE_WRITE_FILEMARKS;
    drive->FeaturesHigh = high & ~TAPE_DRIVE_HIGH_FEATURES;
    out.information = sizeof(TAPE_GET_DRIVE_PARAMETERS);
}

void SetDriveParameters(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_SET_DRIVE_PARAMETERS), out)) return;
    const auto* drive = reinterpret_cast<const TAPE_SET_DRIVE_PARAMETERS*>(BufferedOf(irp).buffer);
    std::uint8_t list[4 + 16] = {0, 0, 0x10, 0};  // header without block descriptor, compression page
    std::uint8_t* page = list + 4;
    page[0] = kPageCompression;
    page[1] = 0x0E;
    page[2] = drive->Compression ? 0x80 : 0x00;
    page[3] = 0x80;
    PutBe32(page + 4, 1);
    PutBe32(page + 8, 1);
    const std::uint8_t cdb[6] = {kModeSelect6, 0x10, 0, 0, sizeof list, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::Out, list, sizeof list, &out);
    out.status = StatusFromResult(r);
}

void WriteMarks(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_WRITE_MARKS), out)) return;
    const auto* marks = reinterpret_cast<const TAPE_WRITE_MARKS*>(BufferedOf(irp).buffer);
    if (marks->Count > 0xFFFFFF || marks->Type > TAPE_LONG_FILEMARKS) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    std::uint8_t cdb[6] = {kWriteFilemarks6};
    cdb[1] = static_cast<std::uint8_t>((marks->Immediate ? 0x01 : 0) | (marks->Type == TAPE_SETMARKS ? 0x02 : 0));
    PutBe24(cdb + 2, marks->Count);
    Simple(path, cdb, 6, out);
}

void Erase(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_ERASE), out)) return;
    const auto* erase = reinterpret_cast<const TAPE_ERASE*>(BufferedOf(irp).buffer);
    std::uint8_t cdb[6] = {kErase6};
    cdb[1] = static_cast<std::uint8_t>((erase->Type == TAPE_ERASE_LONG ? 0x01 : 0) | (erase->Immediate ? 0x02 : 0));
    Simple(path, cdb, 6, out);
}

void Prepare(TapePath& path, PIRP irp, Outcome& out) {
    if (!EnoughInput(irp, sizeof(TAPE_PREPARE), out)) return;
    const auto* prepare = reinterpret_cast<const TAPE_PREPARE*>(BufferedOf(irp).buffer);
    const std::uint8_t immediate = prepare->Immediate ? 0x01 : 0x00;
    std::uint8_t cdb[6] = {};
    switch (prepare->Operation) {
        case TAPE_LOAD:
            cdb[0] = kLoadUnload, cdb[1] = immediate, cdb[4] = 0x01;
            break;
        case TAPE_UNLOAD:
            cdb[0] = kLoadUnload, cdb[1] = immediate, cdb[4] = 0x00;
            break;
        case TAPE_TENSION:
            cdb[0] = kLoadUnload, cdb[1] = immediate, cdb[4] = 0x03;  // retension and load
            break;
        case TAPE_LOCK:
            cdb[0] = kPreventAllow, cdb[4] = 0x01;
            break;
        case TAPE_UNLOCK:
            cdb[0] = kPreventAllow, cdb[4] = 0x00;
            break;
        default:  // TAPE_FORMAT and anything else: not a sequential-access operation
            out.status = STATUS_INVALID_DEVICE_REQUEST;
            return;
    }
    Simple(path, cdb, 6, out);
}

}  // namespace

NTSTATUS TapePath::CurrentBlockSize(std::uint32_t* blockSize, Outcome& outcome) {
    if (KnownBlockSize(blockSize)) return STATUS_SUCCESS;
    ModeData mode;
    NTSTATUS status = SenseMode(*this, &mode, outcome);
    if (NT_SUCCESS(status)) *blockSize = mode.blockLength;
    return status;
}

bool HandleTapeRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out) {
    switch (code) {
        case IOCTL_TAPE_GET_POSITION:
            GetPosition(path, irp, out);
            return true;
        case IOCTL_TAPE_SET_POSITION:
            SetPosition(path, irp, out);
            return true;
        case IOCTL_TAPE_GET_MEDIA_PARAMS:
            GetMediaParameters(path, irp, out);
            return true;
        case IOCTL_TAPE_SET_MEDIA_PARAMS:
            SetMediaParameters(path, irp, out);
            return true;
        case IOCTL_TAPE_GET_DRIVE_PARAMS:
            GetDriveParameters(path, irp, out);
            return true;
        case IOCTL_TAPE_SET_DRIVE_PARAMS:
            SetDriveParameters(path, irp, out);
            return true;
        case IOCTL_TAPE_WRITE_MARKS:
            WriteMarks(path, irp, out);
            return true;
        case IOCTL_TAPE_ERASE:
            Erase(path, irp, out);
            return true;
        case IOCTL_TAPE_PREPARE:
            Prepare(path, irp, out);
            return true;
        case IOCTL_TAPE_GET_STATUS:
        case IOCTL_TAPE_CHECK_VERIFY:
        case IOCTL_STORAGE_CHECK_VERIFY:
        case IOCTL_STORAGE_CHECK_VERIFY2: {
            const std::uint8_t cdb[6] = {kTestUnitReady};
            Simple(path, cdb, 6, out);
            return true;
        }
        default:
            return false;
    }
}

// ---- Opens, closes, reads and writes ------------------------------------------------------------

void HandleCreateClose(TapePath&, PIRP, Outcome& out) {
    out.status = STATUS_SUCCESS;
}

void HandleReadWrite(TapePath& path, PIRP irp, Outcome& out) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool write = stack->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
    out.residual = length;
    if (length == 0) {
        out.status = STATUS_SUCCESS;
        return;
    }
    if (irp->MdlAddress == nullptr) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    auto* data = static_cast<std::uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    if (data == nullptr) {
        out.status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    std::uint32_t blockSize = 0;
    out.status = path.CurrentBlockSize(&blockSize, out);
    if (!NT_SUCCESS(out.status)) return;

    // Fixed-block mode moves whole blocks (the length must be a multiple of the block
    // size); variable mode moves one block of up to `length` bytes.
    const bool fixed = blockSize != 0;
    if (fixed && length % blockSize != 0) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const ULONG count = fixed ? length / blockSize : length;
    if (count > 0xFFFFFF) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    std::uint8_t cdb[6] = {write ? kWrite6 : kRead6, static_cast<std::uint8_t>(fixed ? 0x01 : 0x00)};
    PutBe24(cdb + 2, count);
    ScsiResult r = path.Send(cdb, 6, write ? DataDirection::Out : DataDirection::In, data, length, &out);
    if (!r.delivered()) {
        out.status = r.transport;
        return;
    }
    const ULONG transferred = std::min<ULONG>(r.transferred, length);
    out.residual = length - transferred;
    out.information = transferred;
    if (r.good()) {
        out.status = STATUS_SUCCESS;
        return;
    }
    if (r.reservationConflict()) {
        out.status = STATUS_DEVICE_BUSY;
        LearnReservationHolder(path, out);
        return;
    }
    const Sense& s = r.sense;
    if (!write && s.valid && s.key == 0x0 && s.ili && !s.filemark && !s.eom) {
        if (fixed) {
            out.status = STATUS_INVALID_BLOCK_LENGTH;  // a block of another size than the fixed one
        } else if (s.infoValid && s.information > 0) {
            out.status = STATUS_SUCCESS;  // a shorter block: its data, with its length
        } else {
            out.status = STATUS_BUFFER_OVERFLOW;  // a longer block: the part that fits
        }
        return;
    }
    out.status = StatusFromResult(r);
}

void HandleDeviceControl(TapePath& path, PIRP irp, Outcome& out) {
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (HandlePrivateRequest(path, irp, code, out)) return;
    if (HandleReservationRequest(path, irp, code, out)) return;
    if (HandleTapeRequest(path, irp, code, out)) return;
    Buffered b = BufferedOf(irp);
    switch (code) {
        case IOCTL_SCSI_PASS_THROUGH:
            HandlePassThrough(path, irp, false, out);
            return;
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            HandlePassThrough(path, irp, true, out);
            return;
        case IOCTL_SCSI_GET_ADDRESS: {
            if (b.outputLength < sizeof(SCSI_ADDRESS) || b.buffer == nullptr) {
                out.status = STATUS_BUFFER_TOO_SMALL;
                return;
            }
            SCSI_ADDRESS address;
            out.status = scsiclass::GetScsiAddress(path.Lower(), &address);
            if (NT_SUCCESS(out.status)) {
                std::memcpy(b.buffer, &address, sizeof address);
                out.information = sizeof address;
            }
            return;
        }
        case IOCTL_STORAGE_BREAK_RESERVATION:
            // As the class driver does: the logical unit is reset, which ends every reservation
            // and prevention of medium removal of every login.
            out.status = path.AdapterControl(san::kIoctlResetLogicalUnit, nullptr, 0);
            return;
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            if (b.outputLength < sizeof(STORAGE_DEVICE_NUMBER) || b.buffer == nullptr) {
                out.status = STATUS_BUFFER_TOO_SMALL;
                return;
            }
            // A tape has no partitions: -1, as the class driver answers for a device that is not partitioned.
            STORAGE_DEVICE_NUMBER number{FILE_DEVICE_TAPE, path.Number(), static_cast<ULONG>(-1)};
            std::memcpy(b.buffer, &number, sizeof number);
            out.information = sizeof number;
            out.status = STATUS_SUCCESS;
            return;
        }
        default:
            out.status = STATUS_INVALID_DEVICE_REQUEST;
            return;
    }
}

}  // namespace vorka::tape
