// The status record of a request that the tape bus forwarded: found through the
// bus's status table and filled just before the request completes.
#include <cstdio>
#include <cstring>

#include "tape.h"

namespace vorka::tape {

void FillStatusRecord(TapePath& path, PIRP irp, const Outcome& out) {
    // The lookup walks the table under its spin lock (the bus may unlink and free a
    // chained block at any time). The record itself lies in the request's own buffer
    // and stays valid until the request completes.
    PSCSI_STATUS record = STATUS_STRUCT_ALLOCATED(path.StatusTable(), irp);
    if (record == nullptr) return;

    record->iStatus = out.status;
    // Bytes NOT transferred: the bus's position model advances by the length minus
    // this count, so a full transfer must report 0.
    record->ulInformation = out.residual;

    const ScsiResult& last = out.last;
    const Sense& s = last.sense;
    const bool senseValid = out.commandSent && last.delivered() && last.scsiStatus == 0x02 && s.valid;
    record->fSenseValid = senseValid ? 1 : 0;
    record->ucSenseKey = senseValid ? s.key : 0;
    record->ucAsc = senseValid ? s.asc : 0;
    record->ucAscq = senseValid ? s.ascq : 0;
    record->ucFlags = static_cast<UCHAR>((senseValid && s.filemark ? SCSI_STATUS_FLAG_FILEMARK : 0) |
                                         (senseValid && s.eom ? SCSI_STATUS_FLAG_END_OF_MEDIUM : 0) |
                                         (senseValid && s.deferred ? SCSI_STATUS_FLAG_DEFERRED : 0));

    // Bit 1: the drive's encryption state is reported; bit 0: encryption is on.
    record->ucSME = path.DpfFlagsKnown()
                        ? static_cast<UCHAR>(0x02 | ((path.DpfFlags() & DPF_FLAG_ENCRYPTION) != 0 ? 0x01 : 0))
                        : 0;

    std::memset(record->szHostKey, 0, sizeof record->szHostKey);
    std::memset(record->szWwpn, 0, sizeof record->szWwpn);
    if (out.holderKnown) {
        char text[17];
        for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", out.holderKey[i]);
        std::memcpy(record->szHostKey, text, 16);
        std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(out.holderPortName));
        std::memcpy(record->szWwpn, text, 16);
    }
}

}  // namespace vorka::tape
