// Tape motion in simulated time: LOCATE, SPACE, REWIND and long ERASE move the
// tape for a while, LOAD and UNLOAD thread and unthread the cartridge, and after a
// link drop the write buffer drains to the medium. The command's effect on the position is computed when it
// starts; the motion only decides when that position is reached, and whether it
// is reached at all.
#include <algorithm>

#include "drive_impl.h"
#include "sim/hw/nt_status.h"

namespace sim::hw {
namespace {

bool immediateBit(std::span<const uint8_t> cdb) {
  switch (cdb[0]) {
    case opcode::kRewind:
    case opcode::kLocate10:
    case opcode::kLocate16:
      return cdb[1] & 0x01;
    case opcode::kErase6:
      return cdb[1] & 0x02;
    default:  // SPACE(6) has no IMMED bit
      return false;
  }
}

// Commands that need the tape to stand still.
bool needsStillTape(uint8_t op) {
  switch (op) {
    case opcode::kTestUnitReady:
    case opcode::kRewind:
    case opcode::kRead6:
    case opcode::kReadReverse6:
    case opcode::kWrite6:
    case opcode::kWriteFilemarks6:
    case opcode::kSpace6:
    case opcode::kVerify6:
    case opcode::kErase6:
    case opcode::kLoadUnload:
    case opcode::kLocate10:
    case opcode::kLocate16:
    case opcode::kReadPosition:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::chrono::microseconds TapeDrive::Impl::travelTime(uint64_t from, uint64_t to) const {
  const uint64_t distance = from > to ? from - to : to - from;
  return cfg.motion.perCommand + cfg.motion.perObject * static_cast<int64_t>(distance);
}

bool TapeDrive::Impl::startMotion(Exchange& x, uint64_t from, std::chrono::microseconds duration) {
  if (duration.count() <= 0) return false;
  Motion m;
  m.serial = ++motionSerial;
  m.initiator = x.id;
  m.opcode = x.cdb[0];
  m.immediate = immediateBit(x.cdb);
  m.start = now();
  m.end = m.start + duration;
  m.from = from;
  m.to = pos;
  if (x.res.scsiStatus == kScsiCheckCondition) {
    const SenseInfo info = decodeSense(x.res.sense);
    Sense s = makeSense(info.key, info.asc, info.ascq);
    s.filemark = info.filemark;
    s.eom = info.eom;
    if (info.infoValid) s.information = info.information;
    m.outcome = s;
  }
  if (m.immediate) {
    // Status goes back once the command is validated; what the motion finds
    // (end of data, a filemark) comes later as a deferred error.
    x.res.scsiStatus = kScsiGood;
    x.res.sense.clear();
  } else {
    x.awaitMotion = m.serial;
  }
  motion = std::move(m);
  motionChanged.notify_all();  // for awaitMotion
  return true;
}

void TapeDrive::Impl::settleMotion() {
  if (loading && now() >= loading->end) finishLoad();
  settleDrain();
  if (!motion || now() < motion->end) return;
  if (motion->immediate) {
    if (motion->outcome) {
      Sense s = *motion->outcome;
      s.deferred = true;
      deferred.push_back(Deferred{motion->initiator, s, std::nullopt});
    }
  } else {
    motionEnded[motion->serial] = false;
  }
  motion.reset();
  motionChanged.notify_all();
}

std::optional<TapeDrive::Impl::Clock::time_point> TapeDrive::Impl::nextEvent() const {
  std::optional<Clock::time_point> next;
  if (motion) next = motion->end;
  if (loading && (!next || loading->end < *next)) next = loading->end;
  return next;
}

// A LOAD threads the cartridge and finds beginning of tape; an UNLOAD (the position
// already rewound, the buffer written) unthreads it. An inserted cartridge loads
// by itself.
void TapeDrive::Impl::startLoad(std::optional<InitiatorId> by, bool load, bool waited, bool inserted) {
  Loading l;
  l.serial = ++motionSerial;
  l.load = load;
  l.waited = waited;
  l.inserted = inserted;
  l.initiator = by;
  l.start = now();
  l.end = l.start + (load ? cfg.motion.load : cfg.motion.unload);
  loading = l;
  motionChanged.notify_all();
  if (l.end <= l.start) finishLoad();
}

void TapeDrive::Impl::finishLoad() {
  const Loading l = *loading;
  loading.reset();
  pos = 0;
  positionKnown = true;
  if (l.load) {
    state = MediumState::Loaded;
    // A cartridge that someone else put in is news to every initiator; one that an
    // initiator loaded is news to the others.
    if (l.inserted || !l.initiator)
      postUnitAttentionToAll(kUaMediumChanged);
    else
      postUnitAttentionToAll(kUaMediumChanged, *l.initiator);
  } else {
    state = MediumState::Unloaded;
  }
  if (l.waited) motionEnded[l.serial] = false;
  motionChanged.notify_all();
}

bool TapeDrive::Impl::blockedByLoad(Exchange& x) {
  if (!loading || !needsStillTape(x.cdb[0])) return false;
  if (loading->load)
    check(x, makeSense(sense_key::kNotReady, 0x04, 0x01));  // becoming ready
  else
    check(x, makeSense(sense_key::kNotReady, 0x04, 0x07));  // operation in progress
  return true;
}

// The drive writes its buffer at its own pace after a link dropped, whether or not
// anyone is there to hear of it: only what is still in the buffer when a reset or a
// power cycle comes is lost.
void TapeDrive::Impl::startDrain() {
  if (!cfg.drainPerMB || buffer.empty() || state != MediumState::Loaded) return;
  if (cfg.drainPerMB->count() <= 0) {
    flush();
    return;
  }
  if (drainFrom) return;  // already writing
  drainFrom = now();
  drainedBytes = 0;
}

void TapeDrive::Impl::settleDrain() {
  if (!drainFrom) return;
  if (buffer.empty() || state != MediumState::Loaded || !cfg.drainPerMB || cfg.drainPerMB->count() <= 0) {
    drainFrom.reset();
    return;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now() - *drainFrom).count();
  if (elapsed <= 0) return;
  const auto allowed = static_cast<uint64_t>(static_cast<long double>(elapsed) * 1'000'000.0L /
                                             static_cast<long double>(cfg.drainPerMB->count()));
  while (!buffer.empty() && drainedBytes + buffer.front().data.size() <= allowed) {
    drainedBytes += buffer.front().data.size();
    drainObjects(1);
  }
  if (buffer.empty()) drainFrom.reset();
}

void TapeDrive::Impl::abortMotion(std::optional<InitiatorId> only, bool immediateToo) {
  settleMotion();
  // A cartridge goes on loading or unloading; only the command that waited for it is
  // aborted (its initiator's timer expires).
  if (loading && loading->waited && (!only || loading->initiator == only)) {
    motionEnded[loading->serial] = true;
    loading->waited = false;
    motionChanged.notify_all();
  }
  if (!motion) return;
  if (only && motion->initiator != *only) return;
  if (motion->immediate && !immediateToo) return;
  // The tape stops somewhere between the two positions; the drive no longer
  // knows which object it stands at.
  const auto total = (motion->end - motion->start).count();
  const auto elapsed = std::clamp<decltype(total)>((now() - motion->start).count(), 0, total);
  const uint64_t span = motion->to > motion->from ? motion->to - motion->from : motion->from - motion->to;
  const uint64_t moved = total > 0 ? static_cast<uint64_t>(static_cast<long double>(span) * elapsed / total) : 0;
  pos = motion->to > motion->from ? motion->from + moved : motion->from - moved;
  positionKnown = false;
  if (!motion->immediate) motionEnded[motion->serial] = true;
  motion.reset();
  motionChanged.notify_all();
}

bool TapeDrive::Impl::blockedByMotion(Exchange& x) {
  settleMotion();
  if (!motion || !needsStillTape(x.cdb[0])) return false;
  check(x, makeSense(sense_key::kNotReady, 0x04, 0x07));  // operation in progress
  return true;
}

void TapeDrive::Impl::awaitMotion(std::unique_lock<std::mutex>& lock, Exchange& x, uint64_t serial) {
  for (;;) {
    settleMotion();
    const auto ended = motionEnded.find(serial);
    if (ended != motionEnded.end()) {
      const bool interrupted = ended->second;
      motionEnded.erase(ended);
      if (interrupted) {
        // The task was aborted without status; the initiator's timer expires.
        x.res = CommandResult{};
        x.res.transportStatus = kStatusIoTimeout;
      }
      return;
    }
    const auto next = nextEvent();
    if (manualClock || !next)
      motionChanged.wait(lock);
    else
      motionChanged.wait_until(lock, *next);
  }
}

bool TapeDrive::Impl::positionLost(Exchange& x) {
  if (positionKnown) return false;
  check(x, makeSense(sense_key::kMediumError, 0x3B, 0x00));  // sequential positioning error
  return true;
}

}  // namespace sim::hw
