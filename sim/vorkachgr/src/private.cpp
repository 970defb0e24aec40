// The private requests of the base-driver contract for changers: identification
// (serial number, SCSI address, device identification page, standard INQUIRY)
// and the changer bus's status table.
#include <algorithm>
#include <cstring>

#include "changer.h"
#include "identification.h"

namespace vorka::changer {
namespace {

using san::DataDirection;

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
        case IOC_CHGR_GET_SERIAL_NUMBER: scsiclass::AnswerSerialNumber(path, b, out, StatusFromResult); return true;
        case IOC_CHGR_GET_SCSI_ADDRESS: scsiclass::AnswerScsiAddress(path.Lower(), b, out); return true;
        case IOC_CHGR_SET_EXT_IN_BASE: SetExtInBase(path, irp, b, out); return true;
        case IOC_CHGR_GET_DEVICE_ID_PAGE: scsiclass::AnswerInquiryData(path, b, true, out, StatusFromResult); return true;
        case IOC_CHGR_GET_STANDARD_INQUIRY: scsiclass::AnswerInquiryData(path, b, false, out, StatusFromResult); return true;
        default: return false;
    }
}

}  // namespace vorka::changer
