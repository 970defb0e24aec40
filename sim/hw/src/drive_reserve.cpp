// Reservations: RESERVE(6)/RELEASE(6) and persistent reservations (registrations
// with keys, RESERVE, RELEASE, CLEAR, PREEMPT), and which commands of other
// initiators conflict with them.
#include <algorithm>

#include "drive_impl.h"

namespace sim::hw {
namespace {

bool allRegistrantsType(uint8_t type) {
  return type == pr::kTypeWriteExclusiveAllRegistrants || type == pr::kTypeExclusiveAccessAllRegistrants;
}

bool registrantsType(uint8_t type) {
  return type == pr::kTypeWriteExclusiveRegistrantsOnly || type == pr::kTypeExclusiveAccessRegistrantsOnly ||
         allRegistrantsType(type);
}

bool exclusiveAccessType(uint8_t type) {
  return type == pr::kTypeExclusiveAccess || type == pr::kTypeExclusiveAccessRegistrantsOnly ||
         type == pr::kTypeExclusiveAccessAllRegistrants;
}

bool validType(uint8_t type) {
  return type == pr::kTypeWriteExclusive || type == pr::kTypeExclusiveAccess || registrantsType(type);
}

// Commands that change the medium or the drive's state for everyone.
bool writesOrControls(const std::span<const uint8_t> cdb) {
  switch (cdb[0]) {
    case opcode::kWrite6:
    case opcode::kWriteFilemarks6:
    case opcode::kErase6:
    case opcode::kModeSelect6:
    case opcode::kModeSelect10:
    case opcode::kLoadUnload:
    case opcode::kReserve6:
    case opcode::kVendorSetAmu:
    case opcode::kVendorSetDpfFlags:
      return true;
    case opcode::kPreventAllowMediumRemoval:
      return (cdb[4] & 0x03) != 0;
    default:
      return false;
  }
}

}  // namespace

bool TapeDrive::Impl::isHolder(InitiatorId id) const {
  if (!persistent) return false;
  if (allRegistrantsType(persistent->type)) return initiators[id].prKey.has_value();
  return persistent->holder == id;
}

bool TapeDrive::Impl::conflicts(const Exchange& x) const {
  const uint8_t op = x.cdb[0];
  // The vendor-unique commands conflict as the standard ones do: their queries as reads,
  // their settings as controls.
  if (op == opcode::kInquiry || op == opcode::kRequestSense) return false;
  const bool allowRemoval = op == opcode::kPreventAllowMediumRemoval && (x.cdb[4] & 0x03) == 0;

  if (reserve6Holder && *reserve6Holder != x.id) {
    // Another initiator's RESERVE(6) leaves only RELEASE(6) (without effect)
    // and allowing medium removal to this one.
    return !(op == opcode::kRelease6 || allowRemoval);
  }
  if (!persistent) return false;
  if (op == opcode::kReserve6) return true;  // the two kinds of reservation do not mix
  if (op == opcode::kRelease6 || op == opcode::kPersistentReserveIn || op == opcode::kPersistentReserveOut)
    return false;  // PR OUT checks the requester's registration itself
  if (isHolder(x.id)) return false;
  if (registrantsType(persistent->type) && x.ini.prKey) return false;
  if (op == opcode::kTestUnitReady || allowRemoval) return false;
  if (exclusiveAccessType(persistent->type)) return true;
  return writesOrControls(x.cdb);  // write exclusive: others may read and position
}

void TapeDrive::Impl::reserve6(Exchange& x) {
  if (x.cdb[1] & 0x10) return check(x, invalidCdbField(1, 4));  // third-party reservations
  reserve6Holder = x.id;
}

void TapeDrive::Impl::release6(Exchange& x) {
  if (reserve6Holder == x.id) reserve6Holder.reset();
}

void TapeDrive::Impl::persistentReserveIn(Exchange& x) {
  const uint8_t action = x.cdb[1] & 0x1F;
  const std::size_t allocation = be16(&x.cdb[7]);
  std::vector<uint8_t> d(8, 0);
  putBe32(&d[0], prGeneration);
  if (action == pr::kReadKeys) {
    for (const Initiator& ini : initiators) {
      if (!ini.prKey) continue;
      const std::size_t at = d.size();
      d.resize(at + 8);
      putBe64(&d[at], *ini.prKey);
    }
  } else if (action == pr::kReadReservation) {
    if (persistent) {
      d.resize(24, 0);
      const uint64_t key =
          allRegistrantsType(persistent->type) ? 0 : initiators[persistent->holder].prKey.value_or(0);
      putBe64(&d[8], key);
      d[21] = persistent->type & 0x0F;  // scope: logical unit
    }
  } else {
    return check(x, invalidCdbField(1, 4));
  }
  putBe32(&d[4], static_cast<uint32_t>(d.size() - 8));
  sendData(x, std::move(d), allocation);
}

void TapeDrive::Impl::releasePersistent(InitiatorId by) {
  const uint8_t type = persistent->type;
  persistent.reset();
  if (!registrantsType(type)) return;
  for (InitiatorId id = 0; id < initiators.size(); ++id)
    if (id != by && initiators[id].prKey) postUnitAttention(id, kUaReservationsReleased);
}

void TapeDrive::Impl::unregister(InitiatorId id) {
  initiators[id].prKey.reset();
  if (!persistent) return;
  if (allRegistrantsType(persistent->type)) {
    const bool anyLeft = std::any_of(initiators.begin(), initiators.end(),
                                     [](const Initiator& i) { return i.prKey.has_value(); });
    if (!anyLeft) persistent.reset();
  } else if (persistent->holder == id) {
    releasePersistent(id);
  }
}

void TapeDrive::Impl::persistentReserveOut(Exchange& x) {
  const uint8_t action = x.cdb[1] & 0x1F;
  const uint8_t scope = x.cdb[2] >> 4;
  const uint8_t type = x.cdb[2] & 0x0F;
  const uint32_t listLength = be32(&x.cdb[5]);
  if (action > pr::kRegisterAndIgnore) return check(x, invalidCdbField(1, 4));
  if (listLength != 24 || x.cmd.dataOut.size() < 24)
    return check(x, makeSense(sense_key::kIllegalRequest, 0x1A, 0x00));
  const uint8_t* p = x.cmd.dataOut.data();
  const uint64_t key = be64(p);
  const uint64_t serviceKey = be64(p + 8);
  if (p[20] & 0x0C) return check(x, invalidParameterField(20));  // SPEC_I_PT, ALL_TG_PT
  x.res.dataOutTransferred = 24;

  auto conflict = [&] { x.res.scsiStatus = kScsiReservationConflict; };
  const std::optional<uint64_t> mine = x.ini.prKey;

  if (action == pr::kRegister || action == pr::kRegisterAndIgnore) {
    if (action == pr::kRegister && (mine ? key != *mine : key != 0)) return conflict();
    if (serviceKey == 0) {
      if (mine) {
        unregister(x.id);
        ++prGeneration;
      }
      return;
    }
    x.ini.prKey = serviceKey;
    ++prGeneration;
    return;
  }

  // Every other action needs a registration with the matching key.
  if (!mine || *mine != key) return conflict();
  const bool usesType = action == pr::kReserve || action == pr::kRelease || action == pr::kPreempt ||
                        action == pr::kPreemptAndAbort;
  if (usesType && scope != 0) return check(x, invalidCdbField(2, 7));
  if (usesType && !validType(type)) return check(x, invalidCdbField(2, 3));

  switch (action) {
    case pr::kReserve:
      if (persistent) {
        if (!(isHolder(x.id) && persistent->type == type)) return conflict();
        return;
      }
      persistent = Persistent{x.id, type};
      return;
    case pr::kRelease:
      if (!persistent || !isHolder(x.id)) return;
      if (persistent->type != type) return check(x, makeSense(sense_key::kIllegalRequest, 0x26, 0x04));
      return releasePersistent(x.id);
    case pr::kClear:
      for (InitiatorId id = 0; id < initiators.size(); ++id) {
        if (id != x.id && initiators[id].prKey) postUnitAttention(id, kUaReservationsPreempted);
        initiators[id].prKey.reset();
      }
      persistent.reset();
      ++prGeneration;
      return;
    default:
      break;
  }

  // PREEMPT / PREEMPT AND ABORT (no tasks are queued, so both act alike).
  auto removeRegistrations = [&](bool everyone) {
    bool any = false;
    for (InitiatorId id = 0; id < initiators.size(); ++id) {
      Initiator& other = initiators[id];
      if (id == x.id || !other.prKey || (!everyone && *other.prKey != serviceKey)) continue;
      other.prKey.reset();
      postUnitAttention(id, kUaRegistrationsPreempted);
      abortMotion(id, true);  // the preempted initiator no longer moves the tape
      any = true;
    }
    return any;
  };
  const bool holderTargeted =
      persistent && !allRegistrantsType(persistent->type) && initiators[persistent->holder].prKey == serviceKey;
  if (persistent && allRegistrantsType(persistent->type) && serviceKey == 0) {
    removeRegistrations(true);
    persistent = Persistent{x.id, type};
  } else if (holderTargeted) {
    removeRegistrations(false);
    persistent = Persistent{x.id, type};
  } else {
    if (serviceKey == 0) return check(x, invalidParameterField(8));
    if (!removeRegistrations(false)) return conflict();
  }
  ++prGeneration;
}

}  // namespace sim::hw
