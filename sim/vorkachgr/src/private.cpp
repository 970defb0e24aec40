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

// The identity a changer filter reads when its path starts decides which virtual changer the path
// joins: a path whose serial number cannot be read runs without failover, as a changer of its own
// under another name, and the application's \\.\Changer<n> of the library is gone. So a command
// the transport or the library dropped in passing (a fabric event, an aborted command) is sent
// again a few times, as class drivers retry such commands; a refusal (ILLEGAL REQUEST, a unit
// attention that INQUIRY never reports) or a buffer mistake is answered at once.
constexpr int kIdentificationAttempts = 4;

bool WorthAnotherTry(NTSTATUS status) {
    return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_IO_TIMEOUT || status == STATUS_IO_DEVICE_ERROR ||
           status == STATUS_DEVICE_NOT_READY || status == STATUS_DEVICE_BUSY;
}

template <typename Answer>
void Identify(Outcome& out, Answer answer) {
    for (int attempt = 0; attempt < kIdentificationAttempts; ++attempt) {
        out = Outcome{};
        answer();
        if (NT_SUCCESS(out.status) || !WorthAnotherTry(out.status)) {
            return;
        }
        Trace("identification failed with 0x%08x, attempt %d\n", static_cast<unsigned>(out.status), attempt + 1);
    }
}

}  // namespace

bool HandlePrivateRequest(ChangerPath& path, PIRP irp, ULONG code, Outcome& out) {
    const Buffered b = BufferedOf(irp);
    switch (code) {
        case IOC_CHGR_GET_SERIAL_NUMBER:
            Identify(out, [&] { scsiclass::AnswerSerialNumber(path, b, out, StatusFromResult); });
            return true;
        case IOC_CHGR_GET_SCSI_ADDRESS: scsiclass::AnswerScsiAddress(path.Lower(), b, out); return true;
        case IOC_CHGR_SET_EXT_IN_BASE: SetExtInBase(path, irp, b, out); return true;
        case IOC_CHGR_GET_DEVICE_ID_PAGE:
            Identify(out, [&] { scsiclass::AnswerInquiryData(path, b, true, out, StatusFromResult); });
            return true;
        case IOC_CHGR_GET_STANDARD_INQUIRY:
            Identify(out, [&] { scsiclass::AnswerInquiryData(path, b, false, out, StatusFromResult); });
            return true;
        default: return false;
    }
}

}  // namespace vorka::changer
