// Reservations.
//
// Every path reserves with persistent reservations, so that another path of the
// same host can take a reservation over (PREEMPT) when the tape bus moves a drive
// to it:
// - IOCTL_STORAGE_RESERVE: PERSISTENT RESERVE OUT REGISTER AND IGNORE EXISTING KEY
//   with the path's key, then RESERVE with type "exclusive access".
// - IOCTL_STORAGE_RELEASE: RELEASE of that reservation; when this path holds none
//   (the drive answers RESERVATION CONFLICT) there is nothing to release.
// - The path's key is the one IOC_SET_RESERVATION_KEY set, or the key of the last
//   successful PERSISTENT RESERVE OUT REGISTER through this path; before either, the
//   address of the filter device above the path (see ReservationKey). A base driver may
//   default to anything, an address included: the tape bus hands each path a key of its
//   own before the path's first reservation, and no address must reach the drive.
// - IOC_PREEMPT_RESERVATION with key K: register this path with K; when the drive's
//   reservation is held under K (by another path of this host), PREEMPT it so that
//   this path holds it with the same type. A reservation under another key belongs
//   to someone else and is not taken: STATUS_ACCESS_DENIED, as for a drive that
//   refuses the preempt. With no reservation there is nothing to move.
// - After a RESERVATION CONFLICT the status record names the holder: its key from
//   PERSISTENT RESERVE IN READ RESERVATION (all zero for a RESERVE(6) holder) and
//   the name of the drive port it reaches, which the adapter knows from the fabric.
#include <cstring>

#include "tape.h"

namespace vorka::tape {
namespace {

using san::DataDirection;

constexpr std::uint8_t kPersistentReserveIn = 0x5E;
constexpr std::uint8_t kPersistentReserveOut = 0x5F;
constexpr std::uint8_t kReadReservation = 0x01;
constexpr std::uint8_t kRegister = 0x00;
constexpr std::uint8_t kReserve = 0x01;
constexpr std::uint8_t kRelease = 0x02;
constexpr std::uint8_t kPreempt = 0x04;
constexpr std::uint8_t kRegisterAndIgnore = 0x06;
constexpr std::uint8_t kExclusiveAccess = 0x03;
constexpr ULONG kParameterListLength = 24;

// PERSISTENT RESERVE OUT with a 24-byte parameter list; keys are 8 bytes as sent.
ScsiResult ReserveOut(TapePath& path, std::uint8_t action, std::uint8_t type, const std::uint8_t* key,
                      const std::uint8_t* serviceKey, Outcome* out) {
    std::uint8_t list[kParameterListLength] = {};
    if (key != nullptr) std::memcpy(list, key, 8);
    if (serviceKey != nullptr) std::memcpy(list + 8, serviceKey, 8);
    std::uint8_t cdb[10] = {kPersistentReserveOut, action, type};
    PutBe32(cdb + 5, kParameterListLength);
    return path.Send(cdb, 10, DataDirection::Out, list, sizeof list, out);
}

struct Reservation {
    bool held = false;
    std::uint8_t key[8] = {};
    std::uint8_t type = 0;
};

ScsiResult ReadReservation(TapePath& path, Reservation* reservation, Outcome* out) {
    std::uint8_t data[24] = {};
    std::uint8_t cdb[10] = {kPersistentReserveIn, kReadReservation};
    PutBe16(cdb + 7, sizeof data);
    ScsiResult r = path.Send(cdb, 10, DataDirection::In, data, sizeof data, out);
    if (r.good() && r.transferred >= 8 && Be32(data + 4) >= 16 && r.transferred >= 24) {
        reservation->held = true;
        std::memcpy(reservation->key, data + 8, 8);
        reservation->type = data[21] & 0x0F;
    }
    return r;
}

void StorageReserve(TapePath& path, Outcome& out) {
    std::uint8_t key[8];
    path.ReservationKey(key);
    ScsiResult r = ReserveOut(path, kRegisterAndIgnore, 0, nullptr, key, &out);
    if (r.good()) r = ReserveOut(path, kReserve, kExclusiveAccess, key, nullptr, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

void StorageRelease(TapePath& path, Outcome& out) {
    std::uint8_t key[8];
    path.ReservationKey(key);
    ScsiResult r = ReserveOut(path, kRelease, kExclusiveAccess, key, nullptr, &out);
    out.status = r.reservationConflict() ? STATUS_SUCCESS : StatusFromResult(r);
}

// IOCTL_STORAGE_PERSISTENT_RESERVE_IN: input PERSISTENT_RESERVE_COMMAND (service action
// at byte 8, allocation length at byte 10); output the parameter data.
void PersistentReserveIn(TapePath& path, const Buffered& b, Outcome& out) {
    if (b.buffer == nullptr || b.inputLength < 12) {
        out.status = STATUS_INFO_LENGTH_MISMATCH;
        return;
    }
    const std::uint8_t action = b.buffer[8] & 0x1F;
    USHORT allocation = 0;
    std::memcpy(&allocation, b.buffer + 10, sizeof allocation);
    const ULONG length = allocation < b.outputLength ? allocation : b.outputLength;
    std::uint8_t cdb[10] = {kPersistentReserveIn, action};
    PutBe16(cdb + 7, length);
    ScsiResult r = path.Send(cdb, 10, DataDirection::In, b.buffer, length, &out);
    out.status = StatusFromResult(r);
    out.information = NT_SUCCESS(out.status) ? r.transferred : 0;
    out.residual = length - (r.transferred < length ? r.transferred : length);
}

// IOCTL_STORAGE_PERSISTENT_RESERVE_OUT: service action at byte 8, type and scope at
// byte 9, the 24-byte parameter list at byte 10.
void PersistentReserveOut(TapePath& path, const Buffered& b, Outcome& out) {
    if (b.buffer == nullptr || b.inputLength < 10 + kParameterListLength) {
        out.status = STATUS_INFO_LENGTH_MISMATCH;
        return;
    }
    const std::uint8_t action = b.buffer[8] & 0x1F;
    const std::uint8_t typeAndScope = b.buffer[9];  // type in bits 0-3, scope in bits 4-7, as in the CDB
    std::uint8_t list[kParameterListLength];
    std::memcpy(list, b.buffer + 10, sizeof list);
    std::uint8_t cdb[10] = {kPersistentReserveOut, action, typeAndScope};
    PutBe32(cdb + 5, kParameterListLength);
    ScsiResult r = path.Send(cdb, 10, DataDirection::Out, list, sizeof list, &out);
    out.status = StatusFromResult(r);
    if (r.good() && (action == kRegister || action == kRegisterAndIgnore)) {
        static const std::uint8_t kNone[8] = {};
        if (std::memcmp(list + 8, kNone, 8) != 0) path.SetReservationKey(list + 8);
    }
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

NTSTATUS PreemptOnce(TapePath& path, const std::uint8_t key[8], Outcome& out) {
    ScsiResult r = ReserveOut(path, kRegisterAndIgnore, 0, nullptr, key, &out);
    if (r.reservationConflict()) {
        LearnReservationHolder(path, out);
        return STATUS_ACCESS_DENIED;
    }
    if (!r.good()) return StatusFromResult(r);

    Reservation reservation;
    r = ReadReservation(path, &reservation, &out);
    if (!r.good()) return StatusFromResult(r);
    if (!reservation.held) {
        path.SetReservationKey(key);
        Trace("Tape%u: no reservation to take over\n", path.Number());
        return STATUS_SUCCESS;
    }
    if (std::memcmp(reservation.key, key, 8) != 0) {
        Trace("Tape%u: the reservation is held under another key; not preempted\n", path.Number());
        LearnReservationHolder(path, out);
        return STATUS_ACCESS_DENIED;
    }
    r = ReserveOut(path, kPreempt, reservation.type, key, key, &out);
    if (r.reservationConflict()) {
        Trace("Tape%u: the drive refused the preempt\n", path.Number());
        LearnReservationHolder(path, out);
        return STATUS_ACCESS_DENIED;
    }
    if (!r.good()) return StatusFromResult(r);
    path.SetReservationKey(key);
    Trace("Tape%u: reservation taken over\n", path.Number());
    return STATUS_SUCCESS;
}

}  // namespace

// The preempt runs for a request the bus forwarded to this path. A unit attention the drive holds
// for this path (its connection was lost and is back, or the drive was reset) answers one of the
// preempt's commands instead of running it, and is gone once reported. That is no refusal and no
// failure of the path: the preempt is sent again, and the attention is kept for the request's own
// first command, which hears of it as it would have without the preempt; its sense tells the bus
// whether the tape moved (06/29/00-06, 06/28) or only this path's connection was lost (06/29/07).
NTSTATUS PreemptReservation(TapePath& path, const std::uint8_t key[8], Outcome& out) {
    constexpr int kTries = 3;
    std::array<ScsiResult, kTries> attentions;
    int met = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (int tried = 0; tried < kTries; ++tried) {
        out.commandSent = false;
        status = PreemptOnce(path, key, out);
        if (!out.commandSent || !out.last.unitAttention()) break;
        Trace("Tape%u: the preempt met unit attention %02X/%02X/%02X; sent again\n", path.Number(),
              out.last.sense.key, out.last.sense.asc, out.last.sense.ascq);
        // A notice about reservations (2A/03 to 2A/05: preempted or released) is settled by the
        // preempt itself, which takes the reservation over: it is not kept for the request, whose
        // command would otherwise fail with it after a successful takeover. Another login's change
        // of the mode parameters (2A/01) is not the preempt's business: the request hears of it.
        const bool reservationNotice = out.last.sense.asc == 0x2A && out.last.sense.ascq >= 0x03 &&
                                       out.last.sense.ascq <= 0x05;
        if (!reservationNotice) attentions[met++] = out.last;
    }
    for (int i = 0; i < met; ++i) path.KeepAttention(attentions[i]);
    return status;
}

void LearnReservationHolder(TapePath& path, Outcome& out) {
    Reservation reservation;
    ReadReservation(path, &reservation, nullptr);
    san::HolderInfo holder;
    NTSTATUS status = path.AdapterControl(san::kIoctlQueryReservationHolder, &holder, sizeof holder);
    if (!NT_SUCCESS(status) || holder.found == 0) {
        if (!reservation.held) return;
        holder = san::HolderInfo{};
    }
    out.holderKnown = true;
    std::memcpy(out.holderKey, reservation.key, 8);
    out.holderPortName = holder.targetPortName;
}

bool HandleReservationRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out) {
    switch (code) {
        case IOCTL_STORAGE_RESERVE:
            StorageReserve(path, out);
            return true;
        case IOCTL_STORAGE_RELEASE:
            StorageRelease(path, out);
            return true;
        case IOCTL_STORAGE_PERSISTENT_RESERVE_IN:
            PersistentReserveIn(path, BufferedOf(irp), out);
            return true;
        case IOCTL_STORAGE_PERSISTENT_RESERVE_OUT:
            PersistentReserveOut(path, BufferedOf(irp), out);
            return true;
        default:
            return false;
    }
}

}  // namespace vorka::tape
