// SCSI pass-through on a tape path: the shared handling, plus what a reservation
// conflict tells about the drive's holder.
#include "tape.h"

namespace vorka::tape {

void HandlePassThrough(TapePath& path, PIRP irp, bool direct, Outcome& out) {
    scsiclass::PassThroughOutcome pt = scsiclass::RunPassThrough(
        irp, direct, [&](const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction, void* data,
                         std::uint32_t length) { return path.Send(cdb, cdbLength, direction, data, length, &out); });
    out.status = pt.status;
    out.information = pt.information;
    out.residual = pt.residual;
    if (NT_SUCCESS(pt.status) && pt.result.reservationConflict()) LearnReservationHolder(path, out);
}

}  // namespace vorka::tape
