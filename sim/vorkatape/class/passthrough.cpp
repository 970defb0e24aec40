// SCSI pass-through of the class drivers: IOCTL_SCSI_PASS_THROUGH (data inside the system buffer) and
// IOCTL_SCSI_PASS_THROUGH_DIRECT (data in the caller's own buffer), each in the
// 64-bit layout (Length 56) and the layout a 32-bit process sends (Length 44).
//
// Every offset and length in the caller's structure is checked against the
// buffers before anything is read or written: the sense area and the buffered
// data area must lie inside the system buffer after the structure, and a direct
// data buffer from user mode is probed and locked as the caller's memory.
#include <algorithm>
#include <cstring>

#include "scsi_class.h"

namespace vorka::scsiclass {
namespace {

struct Layout {
    ULONG size;            // value of the Length field
    ULONG dataField;       // offset of DataBufferOffset / DataBuffer
    ULONG dataFieldSize;   // 4 or 8 bytes
    ULONG senseOffsetField;
    ULONG cdbField;
};

constexpr Layout k64{56, 24, 8, 32, 36};
constexpr Layout k32{44, 20, 4, 24, 28};

// MmProbeAndLockPages raises for a range that is not the caller's memory. This is
// what __try/__except expands to, written out because the C++ library defines its
// own __try in host code.
NTSTATUS ProbeAndLock(PMDL mdl, LOCK_OPERATION operation) {
    VkSehScope scope;
    if (setjmp(scope.Frame.Buffer) == 0) {
        MmProbeAndLockPages(mdl, UserMode, operation);
        return STATUS_SUCCESS;
    }
    if (VkSehFilter(&scope.Frame, EXCEPTION_EXECUTE_HANDLER)) return scope.Frame.Code;
    return STATUS_UNSUCCESSFUL;
}

}  // namespace

namespace {

// The caller's structure, checked: every offset and length lies inside the buffers.
struct Parsed {
    const Layout* layout = nullptr;
    std::uint8_t cdbLength = 0;
    std::uint8_t senseInfoLength = 0;
    std::uint8_t dataIn = 0;
    ULONG dataTransferLength = 0;
    ULONG senseInfoOffset = 0;
    std::uint64_t dataField = 0;  // buffered: offset in the system buffer; direct: the caller's address
};

NTSTATUS Parse(PIRP irp, bool direct, Parsed* p) {
    const Buffered b = BufferedOf(irp);
    if (b.buffer == nullptr || b.inputLength < sizeof(USHORT)) return STATUS_INVALID_PARAMETER;
    USHORT lengthField = 0;
    std::memcpy(&lengthField, b.buffer, sizeof lengthField);
    if (lengthField != k64.size && lengthField != k32.size) return STATUS_INVALID_PARAMETER;
    p->layout = lengthField == k64.size ? &k64 : &k32;
    if (b.inputLength < p->layout->size || b.outputLength < p->layout->size) return STATUS_INVALID_PARAMETER;
    const ULONG bufferSize = std::max(b.inputLength, b.outputLength);

    const std::uint8_t* spt = b.buffer;
    p->cdbLength = spt[6];
    p->senseInfoLength = spt[7];
    p->dataIn = spt[8];
    std::memcpy(&p->dataTransferLength, spt + 12, sizeof p->dataTransferLength);
    std::memcpy(&p->senseInfoOffset, spt + p->layout->senseOffsetField, sizeof p->senseInfoOffset);
    p->dataField = 0;
    std::memcpy(&p->dataField, spt + p->layout->dataField, p->layout->dataFieldSize);

    if (p->cdbLength == 0 || p->cdbLength > 16) return STATUS_INVALID_PARAMETER;
    if (p->dataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return STATUS_INVALID_PARAMETER;
    if (p->dataIn == SCSI_IOCTL_DATA_UNSPECIFIED && p->dataTransferLength != 0) return STATUS_INVALID_PARAMETER;
    if (p->senseInfoLength != 0 && (p->senseInfoOffset < p->layout->size || p->senseInfoOffset > bufferSize ||
                                    p->senseInfoLength > bufferSize - p->senseInfoOffset)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!direct && p->dataTransferLength != 0 &&
        (p->dataField < p->layout->size || p->dataField > bufferSize || p->dataTransferLength > bufferSize - p->dataField)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (direct && p->dataTransferLength != 0 && p->dataField == 0) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The locked MDL of a direct request from user mode travels in the request's
// driver context from the dispatch routine to the handling.
PMDL& LockedMdl(PIRP irp) { return reinterpret_cast<PMDL&>(irp->Tail.Overlay.DriverContext[0]); }

}  // namespace

NTSTATUS PreparePassThroughDirect(PIRP irp) {
    LockedMdl(irp) = nullptr;
    if (irp->RequestorMode != UserMode) return STATUS_SUCCESS;
    Parsed p;
    NTSTATUS status = Parse(irp, true, &p);
    if (!NT_SUCCESS(status) || p.dataTransferLength == 0) return status;
    // A user buffer is probed and locked in the caller's own context, before the
    // request may be answered from another thread.
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(p.dataField), p.dataTransferLength, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = ProbeAndLock(mdl, p.dataIn == SCSI_IOCTL_DATA_IN ? IoWriteAccess : IoReadAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    LockedMdl(irp) = mdl;
    return STATUS_SUCCESS;
}

PassThroughOutcome RunPassThrough(PIRP irp, bool direct, const SendFunction& send) {
    PassThroughOutcome out;
    PMDL mdl = direct ? LockedMdl(irp) : nullptr;
    if (direct) LockedMdl(irp) = nullptr;
    struct Unlock {
        PMDL mdl;
        ~Unlock() {
            if (mdl != nullptr) {
                MmUnlockPages(mdl);
                IoFreeMdl(mdl);
            }
        }
    } unlock{mdl};

    Parsed p;
    out.status = Parse(irp, direct, &p);
    if (!NT_SUCCESS(out.status)) return out;
    const Buffered b = BufferedOf(irp);
    std::uint8_t* spt = b.buffer;

    std::uint8_t* data = nullptr;
    if (p.dataTransferLength != 0) {
        if (!direct) {
            data = b.buffer + p.dataField;
        } else if (irp->RequestorMode == UserMode) {
            data = mdl != nullptr ? static_cast<std::uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority))
                                  : nullptr;
            if (data == nullptr) {
                out.status = STATUS_INSUFFICIENT_RESOURCES;
                return out;
            }
        } else {
            // A kernel-mode sender (a bus) hands a system address it has locked.
            data = reinterpret_cast<std::uint8_t*>(p.dataField);
        }
    }

    std::uint8_t cdb[16];
    std::memcpy(cdb, spt + p.layout->cdbField, sizeof cdb);
    const san::DataDirection direction = p.dataTransferLength == 0         ? san::DataDirection::None
                                         : p.dataIn == SCSI_IOCTL_DATA_IN ? san::DataDirection::In
                                                                          : san::DataDirection::Out;
    out.result = send(cdb, p.cdbLength, direction, data, p.dataTransferLength);
    out.commandSent = true;
    const ScsiResult& r = out.result;
    if (!r.delivered()) {
        out.status = r.transport;
        out.residual = p.dataTransferLength;
        return out;
    }

    // The outcome goes back in the caller's structure; the request itself succeeds
    // whenever the command reached the drive.
    const ULONG transferred = std::min<ULONG>(r.transferred, p.dataTransferLength);
    spt[2] = r.scsiStatus;
    std::memcpy(spt + 12, &transferred, sizeof transferred);
    const ULONG senseReturned = r.scsiStatus == 0x02 ? std::min<ULONG>(r.senseLength, p.senseInfoLength) : 0;
    spt[7] = static_cast<std::uint8_t>(senseReturned);
    if (senseReturned != 0) std::memcpy(b.buffer + p.senseInfoOffset, r.senseData.data(), senseReturned);

    ULONG information = p.layout->size;
    if (senseReturned != 0) information = std::max<ULONG>(information, p.senseInfoOffset + senseReturned);
    if (!direct && direction == san::DataDirection::In) {
        information = std::max<ULONG>(information, static_cast<ULONG>(p.dataField) + transferred);
    }
    out.information = std::min(information, b.outputLength);
    out.residual = p.dataTransferLength - transferred;
    out.status = STATUS_SUCCESS;
    return out;
}

}  // namespace vorka::scsiclass
