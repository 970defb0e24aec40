// The private requests of the base-driver contract for changers: identification
// (serial number, SCSI address, device identification page, standard INQUIRY)
// and the changer bus's status table.
#include <algorithm>
#include <cstring>

#include "changer.h"

namespace vorka::changer {
namespace {

using san::DataDirection;

bool Output(const Buffered& b, ULONG size, Outcome& out) {
    if (b.buffer != nullptr && b.outputLength >= size) return true;
    out.status = STATUS_BUFFER_TOO_SMALL;
    return false;
}

ScsiResult Inquiry(ChangerPath& path, std::uint8_t page, bool evpd, std::uint8_t* data, ULONG length, Outcome& out) {
    std::uint8_t cdb[6] = {0x12, static_cast<std::uint8_t>(evpd ? 0x01 : 0x00), page};
    PutBe16(cdb + 3, std::min<ULONG>(length, 0xFFFF));
    return path.Send(cdb, 6, DataDirection::In, data, length, &out);
}

void GetSerialNumber(ChangerPath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, SERIAL_NUMBER_LENGTH, out)) return;
    std::uint8_t page[4 + 255] = {};
    ScsiResult r = Inquiry(path, 0x80, true, page, sizeof page, out);
    out.status = StatusFromResult(r);
    if (NT_SUCCESS(out.status)) out.status = scsiclass::CopySerialNumber(page, r.transferred, b.buffer);
    if (NT_SUCCESS(out.status)) out.information = SERIAL_NUMBER_LENGTH;
}

void GetScsiAddress(ChangerPath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, sizeof(SCSI_ADDRESS), out)) return;
    SCSI_ADDRESS address;
    out.status = scsiclass::GetScsiAddress(path.Lower(), &address);
    if (!NT_SUCCESS(out.status)) return;
    std::memcpy(b.buffer, &address, sizeof address);
    out.information = sizeof address;
}

void GetInquiryData(ChangerPath& path, const Buffered& b, bool devicePage, Outcome& out) {
    const ULONG length = devicePage ? DEVICE_ID_PAGE_LENGTH : STANDARD_INQUIRY_LENGTH;
    if (!Output(b, length, out)) return;
    std::uint8_t data[DEVICE_ID_PAGE_LENGTH] = {};
    ScsiResult r = Inquiry(path, devicePage ? 0x83 : 0, devicePage, data, length, out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) return;
    std::memcpy(b.buffer, data, length);
    out.information = length;
}

void SetExtInBase(ChangerPath& path, PIRP irp, const Buffered& b, Outcome& out) {
    // The table address is written through later: only a kernel-mode caller (the
    // changer filter) may hand one over.
    if (irp->RequestorMode == UserMode) {
        out.status = STATUS_INVALID_DEVICE_REQUEST;
        Trace("IOC_SET_EXT_IN_BASE from user mode refused\n");
        return;
    }
    if (b.buffer == nullptr || b.inputLength < sizeof(PVOID)) {
        out.status = STATUS_INFO_LENGTH_MISMATCH;
        return;
    }
    PIRPS_WITH_STATUS table = nullptr;
    std::memcpy(&table, b.buffer, sizeof table);
    out.status = path.TakeStatusTable(table);
}

}  // namespace

bool HandlePrivateRequest(ChangerPath& path, PIRP irp, ULONG code, Outcome& out) {
    const Buffered b = BufferedOf(irp);
    switch (code) {
        case IOC_CHGR_GET_SERIAL_NUMBER: GetSerialNumber(path, b, out); return true;
        case IOC_CHGR_GET_SCSI_ADDRESS: GetScsiAddress(path, b, out); return true;
        case IOC_CHGR_SET_EXT_IN_BASE: SetExtInBase(path, irp, b, out); return true;
        case IOC_CHGR_GET_DEVICE_ID_PAGE: GetInquiryData(path, b, true, out); return true;
        case IOC_CHGR_GET_STANDARD_INQUIRY: GetInquiryData(path, b, false, out); return true;
        default: return false;
    }
}

}  // namespace vorka::changer
