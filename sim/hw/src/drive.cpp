// TapeDrive: command entry, unit attentions, faults, reset, operator actions and
// the ground-truth accessors. The command handlers live in drive_data.cpp
// (medium access), drive_mode.cpp (identification and mode parameters) and
// drive_reserve.cpp (reservations).
#include <algorithm>
#include <cstdio>

#include "drive_impl.h"
#include "sim/hw/nt_status.h"

namespace sim::hw {
namespace {

constexpr std::size_t kLogLimit = 4096;

// INQUIRY and REQUEST SENSE neither report nor clear a unit attention (REQUEST
// SENSE returns it as data). Every other command hears it first; the
// vendor-unique ones (C0h-FFh) only when the drive is configured so.
bool reportsUnitAttention(uint8_t op, bool vendorToo) {
  return op != opcode::kInquiry && op != opcode::kRequestSense && (vendorToo || op < 0xC0);
}

// Commands before which the drive writes its buffer to the medium: they read
// or move the tape.
bool needsFlush(uint8_t op) {
  switch (op) {
    case opcode::kRewind:
    case opcode::kRead6:
    case opcode::kReadReverse6:
    case opcode::kSpace6:
    case opcode::kVerify6:
    case opcode::kErase6:
    case opcode::kLoadUnload:
    case opcode::kLocate10:
    case opcode::kLocate16:
      return true;
    default:
      return false;
  }
}

}  // namespace

TapeDrive::Impl::Impl(DriveConfig config) : cfg(std::move(config)) {
  wwnn = cfg.identity.wwnn ? cfg.identity.wwnn : deriveWwnn(cfg.identity.serial);
  sharedMode = defaultMode();
  if (cfg.medium) {
    medium = std::make_unique<Medium>(*cfg.medium);
    state = MediumState::Loaded;
  }
}

ModeParameters TapeDrive::Impl::defaultMode() const {
  ModeParameters m;
  m.blockLength = cfg.defaultBlockLength;
  m.bufferedMode = cfg.buffered ? 1 : 0;
  return m;
}

// What the initiator holds through its nexus; shared mode parameters are the drive's and stay.
void TapeDrive::Impl::defaultSettings(Initiator& ini) const {
  ini.ownMode = defaultMode();
  ini.preventRemoval = false;
  ini.amu = cfg.defaultAmu;
}

void TapeDrive::Impl::postUnitAttention(InitiatorId id, SenseCode code) { initiators[id].unitAttentions.post(code); }

void TapeDrive::Impl::postUnitAttentionToAll(SenseCode code, std::optional<InitiatorId> except) {
  for (InitiatorId id = 0; id < initiators.size(); ++id)
    if (!except || *except != id) postUnitAttention(id, code);
}

void TapeDrive::Impl::doReset() {
  abortMotion(std::nullopt, true);
  if (cfg.resetKeepsBuffer) {
    flush();
  } else {
    discardBuffer(LossCause::Reset);
    stream.clear();  // nothing left to drain
  }
  if (cfg.rewindOnReset) {
    pos = 0;
    positionKnown = true;
  }
  reserve6Holder.reset();
  sharedMode = defaultMode();
  for (InitiatorId id = 0; id < initiators.size(); ++id) {
    defaultSettings(initiators[id]);
    postUnitAttention(id, SenseCode{0x6, 0x29, cfg.resetAscq});
  }
}

// Power off and on: nothing of any initiator survives, persistent reservations included; the
// buffer never reached the medium, and the cartridge is rewound and left unloaded in the drive.
void TapeDrive::Impl::doPowerCycle() {
  abortMotion(std::nullopt, true);
  loading.reset();  // a half-threaded cartridge is left in the drive, unloaded
  drainFrom.reset();
  discardBuffer(LossCause::Reset);
  stream.clear();
  pos = 0;
  positionKnown = true;
  if (state == MediumState::Loaded) state = MediumState::Unloaded;
  reserve6Holder.reset();
  persistent.reset();
  ++prGeneration;
  sharedMode = defaultMode();
  for (InitiatorId id = 0; id < initiators.size(); ++id) {
    defaultSettings(initiators[id]);
    initiators[id].prKey.reset();
    postUnitAttention(id, kUaPowerOn);
  }
}

// What an initiator holds only through its nexus goes with it; registrations
// and persistent reservations stay, and so does the buffer (it is the drive's).
// A command of that initiator still waiting for a motion is aborted with it.
void TapeDrive::Impl::loseNexus(InitiatorId id) {
  if (id >= initiators.size()) return;
  abortMotion(id, false);
  if (reserve6Holder == id) reserve6Holder.reset();
  Initiator& ini = initiators[id];
  defaultSettings(ini);
  std::optional<SenseCode> login;
  if (cfg.loginAscq) login = SenseCode{0x6, 0x29, *cfg.loginAscq};
  ini.unitAttentions.newNexus(login);
  // A deferred error no longer has its initiator: whoever comes next hears it.
  for (Deferred& d : deferred)
    if (d.owner == id) d.owner.reset();
  startDrain();
}

void TapeDrive::Impl::check(Exchange& x, const Sense& s) {
  x.res.scsiStatus = kScsiCheckCondition;
  x.res.sense = encodeSense(s);
}

void TapeDrive::Impl::sendData(Exchange& x, std::vector<uint8_t> data, std::size_t allocationLength) {
  const std::size_t n = std::min({data.size(), allocationLength, std::size_t{x.cmd.dataInLength}});
  data.resize(n);
  x.res.dataIn = std::move(data);
}

void TapeDrive::Impl::failInjected(Exchange& x, const Fault& f, std::optional<int32_t> information) {
  x.res.dataIn.clear();
  x.res.sense.clear();
  if (std::optional<CommandResult> answer = f.statusAnswer()) {
    // What went over the wire before the answer was lost stays counted.
    answer->dataOutTransferred = answer->delivered() ? x.res.dataOutTransferred : 0;
    x.res = std::move(*answer);
    return;
  }
  Sense s = (f.senseKey | f.asc | f.ascq) ? makeSense(f.senseKey, f.asc, f.ascq)
                                          : makeSense(sense_key::kAbortedCommand, 0, 0);
  s.information = information;
  check(x, s);
}

bool TapeDrive::Impl::loaded(Exchange& x) {
  if (state == MediumState::Loaded) return true;
  if (loading && loading->load)
    check(x, makeSense(sense_key::kNotReady, 0x04, 0x01));  // becoming ready
  else
    check(x, makeSense(sense_key::kNotReady, 0x3A, 0x00));
  return false;
}

TapePosition TapeDrive::Impl::positionInfo() const {
  TapePosition p;
  const uint64_t at = std::min(pos, logicalEndOfData());
  p.object = pos;
  p.file = logicalFilemarksBefore(at);
  p.endOfData = logicalEndOfData();
  p.beginningOfMedium = pos == 0;
  p.beyondEarlyWarning = logicalBytesBefore(at) >= medium->earlyWarningAt();
  p.known = positionKnown;
  p.bufferedObjects = buffer.size();
  p.bufferedBytes = bufferBytes;
  return p;
}

void TapeDrive::Impl::record(const Exchange& x) {
  CommandLogEntry e;
  e.initiator = x.id;
  e.opcode = x.cdb.empty() ? 0 : x.cdb[0];
  e.scsiStatus = x.res.scsiStatus;
  const SenseInfo s = decodeSense(x.res.sense);
  if (s.present) {
    e.senseKey = s.key;
    e.asc = s.asc;
    e.ascq = s.ascq;
  }
  log.push_back(e);
  if (log.size() > kLogLimit) log.pop_front();
  answered.notify_all();
}

CommandResult TapeDrive::Impl::run(std::unique_lock<std::mutex>& lock, InitiatorId id, const Command& cmd,
                                   const Fault* pathFault) {
  CommandResult res;
  if (unreachable) {
    res.transportStatus = unreachableStatus;
    return res;
  }
  if (id >= initiators.size()) {
    res.transportStatus = kStatusNoSuchDevice;
    return res;
  }
  Initiator& ini = initiators[id];
  Exchange x{id, ini, cmd.cdb, cmd, res, nullptr};
  if (cmd.cdb.empty()) {
    check(x, makeSense(sense_key::kIllegalRequest, 0x20, 0x00));
    return res;
  }
  const uint8_t op = cmd.cdb[0];
  const uint8_t sa = cmd.cdb.size() > 1 ? cmd.cdb[1] & 0x1F : 0;

  // A fault matched by the path wins; otherwise the first matching drive fault.
  std::optional<Fault> fault;
  if (pathFault) {
    fault = *pathFault;
  } else {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (!it->matches(op, sa)) continue;
      fault = *it;
      if (it->count != Fault::kForever && --it->count == 0) faults.erase(it);
      break;
    }
  }

  if (fault) {
    switch (fault->kind) {
      case FaultKind::Reset:
        doReset();
        break;
      case FaultKind::FailCommands:
      case FaultKind::PathDown:
        if (!fault->executed || fault->failsBeforeDevice()) {
          Fault f = *fault;
          if (f.kind == FaultKind::PathDown && f.status == 0) f.status = kStatusDeviceNotConnected;
          failInjected(x, f, std::nullopt);
          if (res.delivered()) record(x);
          return res;
        }
        break;
      case FaultKind::PartialWrite:
      case FaultKind::PartialTransfer:
      case FaultKind::DeferredError:
        x.injected = &*fault;
        break;
      case FaultKind::RefusePreempt:
        res.scsiStatus = kScsiReservationConflict;
        record(x);
        return res;
      case FaultKind::VerifyInProgress:
        sendData(x, encodeSense(progressSense(0x00, 0x1C, 0x8000)),
                 cmd.cdb.size() > 4 ? cmd.cdb[4] : kSenseLength);
        record(x);
        return res;
      case FaultKind::DropInPicker:
        break;  // a library's robot: nothing to act out on a drive
    }
  }

  if (cmd.cdb.size() < cdbLength(op))
    check(x, invalidCdbField(static_cast<unsigned>(cmd.cdb.size())));
  else
    dispatch(x);
  if (x.awaitMotion) awaitMotion(lock, x, *x.awaitMotion);

  if (fault && fault->kind == FaultKind::FailCommands && fault->executed) failInjected(x, *fault, std::nullopt);

  if (!res.delivered()) {
    res.dataIn.clear();
    res.sense.clear();
    res.dataOutTransferred = 0;
    res.residual = 0;
    // The drive did the work even though the initiator never hears of it.
    return res;
  }
  if (!cmd.dataOut.empty())
    res.residual = static_cast<uint32_t>(cmd.dataOut.size() - res.dataOutTransferred);
  else
    res.residual = static_cast<uint32_t>(cmd.dataInLength - res.dataIn.size());
  record(x);
  return res;
}

void TapeDrive::Impl::dispatch(Exchange& x) {
  if (isSixteenByteData(x.cdb[0])) return sixteen(x);
  if (!admit(x)) return;
  perform(x);
}

bool TapeDrive::Impl::admit(Exchange& x) {
  const uint8_t op = x.cdb[0];
  settleMotion();
  if (reportsUnitAttention(op, cfg.vendorCommandsHearAttentions)) {
    if (auto ua = x.ini.unitAttentions.take()) {
      check(x, ua->sense());
      return false;
    }
  }
  // A deferred error is reported in place of the next command, which does not run.
  if (reportsUnitAttention(op, cfg.vendorCommandsHearAttentions) && reportDeferred(x)) return false;
  if (conflicts(x)) {
    x.res.scsiStatus = kScsiReservationConflict;
    return false;
  }
  if (blockedByLoad(x) || blockedByMotion(x)) return false;
  if (state == MediumState::Loaded && needsFlush(op)) flush();
  return true;
}

void TapeDrive::Impl::perform(Exchange& x) {
  const uint8_t op = x.cdb[0];
  switch (op) {
    case opcode::kTestUnitReady: return testUnitReady(x);
    case opcode::kRewind: return rewind(x);
    case opcode::kRequestSense: return requestSense(x);
    case opcode::kReadBlockLimits: return readBlockLimits(x);
    case opcode::kRead6: return read(x, false);
    case opcode::kReadReverse6: return read(x, true);
    case opcode::kWrite6: return write(x);
    case opcode::kWriteFilemarks6: return writeFilemarks(x);
    case opcode::kSpace6: return space(x);
    case opcode::kInquiry: return inquiry(x);
    case opcode::kVerify6: return verify(x);
    case opcode::kModeSelect6: return modeSelect(x, false);
    case opcode::kModeSelect10: return modeSelect(x, true);
    case opcode::kModeSense6: return modeSense(x, false);
    case opcode::kModeSense10: return modeSense(x, true);
    case opcode::kReserve6: return reserve6(x);
    case opcode::kRelease6: return release6(x);
    case opcode::kErase6: return erase(x);
    case opcode::kLoadUnload: return loadUnload(x);
    case opcode::kPreventAllowMediumRemoval: return preventAllow(x);
    case opcode::kLocate10: return locate10(x);
    case opcode::kLocate16: return locate16(x);
    case opcode::kReadPosition: return readPosition(x);
    case opcode::kPersistentReserveIn: return persistentReserveIn(x);
    case opcode::kPersistentReserveOut: return persistentReserveOut(x);
    case opcode::kVendorQueryAmu:
    case opcode::kVendorSetAmu:
    case opcode::kVendorQueryDpfFlags:
    case opcode::kVendorSetDpfFlags:
      return vendor(x);
    default:
      check(x, makeSense(sense_key::kIllegalRequest, 0x20, 0x00));
  }
}

// ---------------------------------------------------------------------------

TapeDrive::TapeDrive(DriveConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
TapeDrive::~TapeDrive() = default;

const DriveIdentity& TapeDrive::identity() const noexcept { return impl_->cfg.identity; }
uint64_t TapeDrive::wwnn() const noexcept { return impl_->wwnn; }

uint64_t TapeDrive::portName(uint32_t port) const noexcept { return portNameOf(impl_->wwnn, port); }

TimingModel TapeDrive::timing() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cfg.timing;
}

void TapeDrive::setTiming(TimingModel timing) {
  std::lock_guard lock(impl_->mutex);
  impl_->cfg.timing = timing;
  impl_->stream.clear();
}

MotionModel TapeDrive::motion() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cfg.motion;
}

void TapeDrive::setMotion(MotionModel motion) {
  std::lock_guard lock(impl_->mutex);
  impl_->cfg.motion = motion;
}

InitiatorId TapeDrive::attachInitiator(std::string name, uint32_t targetPort) {
  std::lock_guard lock(impl_->mutex);
  Initiator ini;
  ini.name = std::move(name);
  ini.targetPort = targetPort;
  impl_->defaultSettings(ini);
  if (impl_->cfg.powerOnAttention) ini.unitAttentions.post(kUaPowerOnReset);
  impl_->initiators.push_back(std::move(ini));
  return static_cast<InitiatorId>(impl_->initiators.size() - 1);
}

CommandResult TapeDrive::execute(InitiatorId initiator, const Command& command, const Fault* injected) {
  std::unique_lock lock(impl_->mutex);
  CommandResult result = impl_->run(lock, initiator, command, injected);
  if (!result.delivered()) return result;
  result.readyAt = impl_->pace(initiator, command, result);
  if (impl_->manualClock) {
    // On the manual clock the command's time passes on that clock alone: its initiator has
    // waited for the completion when the command returns, and nothing waits in real time.
    if (*result.readyAt > impl_->manualNow) {
      impl_->manualNow = *result.readyAt;
      impl_->settleMotion();
      impl_->motionChanged.notify_all();
    }
    result.readyAt.reset();
  }
  return result;
}

void TapeDrive::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->doReset();
}

void TapeDrive::nexusLost(InitiatorId initiator) {
  std::lock_guard lock(impl_->mutex);
  impl_->loseNexus(initiator);
}

void TapeDrive::powerCycle() {
  std::lock_guard lock(impl_->mutex);
  impl_->doPowerCycle();
}

void TapeDrive::allNexusesLost() {
  std::lock_guard lock(impl_->mutex);
  for (InitiatorId id = 0; id < impl_->initiators.size(); ++id) impl_->loseNexus(id);
}

void TapeDrive::flushBuffer() {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  if (impl_->state == MediumState::Loaded) impl_->flush();
}

void TapeDrive::useManualClock() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->manualClock) return;
  impl_->manualNow = Impl::Clock::now();
  impl_->manualClock = true;
}

std::chrono::steady_clock::time_point TapeDrive::clockNow() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->now();
}

void TapeDrive::advanceClock(std::chrono::microseconds by) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->manualClock) return;
  impl_->manualNow += by;
  impl_->settleMotion();
  impl_->motionChanged.notify_all();
}

bool TapeDrive::motionInProgress() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  return impl_->motion.has_value() || impl_->loading.has_value();
}

bool TapeDrive::awaitMotion(std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->motionChanged.wait_for(lock, limit, [&] {
    impl_->settleMotion();
    return impl_->motion.has_value() || impl_->loading.has_value();
  });
}

bool TapeDrive::awaitAnswer(const std::function<bool(const CommandLogEntry&)>& matches,
                            std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->answered.wait_for(lock, limit,
                                  [&] { return std::any_of(impl_->log.begin(), impl_->log.end(), matches); });
}

std::unique_ptr<Medium> TapeDrive::insertCartridge(std::unique_ptr<Medium> medium) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->medium || !medium) return medium;
  impl_->medium = std::move(medium);
  impl_->state = MediumState::Unloaded;
  impl_->startLoad(std::nullopt, true, false, true);
  return nullptr;
}

void TapeDrive::operatorUnload() {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  if (impl_->state != MediumState::Loaded || impl_->loading) return;
  const bool prevented = std::any_of(impl_->initiators.begin(), impl_->initiators.end(),
                                     [](const Initiator& i) { return i.preventRemoval; });
  if (prevented) {
    impl_->postUnitAttentionToAll(kUaOperatorRemovalRequest);
    return;
  }
  impl_->abortMotion(std::nullopt, true);
  impl_->flush();
  impl_->pos = 0;
  impl_->positionKnown = true;
  impl_->state = MediumState::Unloaded;
}

std::unique_ptr<Medium> TapeDrive::takeCartridge() {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  if (impl_->state != MediumState::Unloaded || impl_->loading) return nullptr;
  impl_->state = MediumState::Absent;
  impl_->pos = 0;
  return std::move(impl_->medium);
}

void TapeDrive::injectFault(const Fault& fault) {
  std::lock_guard lock(impl_->mutex);
  if (fault.kind == FaultKind::PathDown) {
    // The drive leaves the fabric: every initiator's nexus is lost.
    if (!impl_->unreachable)
      for (InitiatorId id = 0; id < impl_->initiators.size(); ++id) impl_->loseNexus(id);
    impl_->unreachable = true;
    impl_->unreachableStatus = fault.status ? fault.status : kStatusDeviceNotConnected;
    return;
  }
  if (fault.count == 0) return;
  impl_->faults.push_back(fault);
}

void TapeDrive::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
  impl_->unreachable = false;
}

void TapeDrive::setDpfFlags(uint32_t flags) {
  std::lock_guard lock(impl_->mutex);
  impl_->cfg.dpfFlags = flags;
}

MediumState TapeDrive::mediumState() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  return impl_->state;
}

std::optional<TapePosition> TapeDrive::position() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  if (impl_->state != MediumState::Loaded) return std::nullopt;
  return impl_->positionInfo();
}

std::vector<Record> TapeDrive::records() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  return impl_->medium ? impl_->medium->records() : std::vector<Record>{};
}

std::vector<Record> TapeDrive::bufferedRecords() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  return {impl_->buffer.begin(), impl_->buffer.end()};
}

std::vector<Record> TapeDrive::logicalRecords() const {
  std::lock_guard lock(impl_->mutex);
  impl_->settleMotion();
  std::vector<Record> records = impl_->medium ? impl_->medium->records() : std::vector<Record>{};
  if (!impl_->buffer.empty()) {
    records.resize(std::min<std::size_t>(records.size(), impl_->bufferBase));
    records.insert(records.end(), impl_->buffer.begin(), impl_->buffer.end());
  }
  return records;
}

std::vector<BufferLoss> TapeDrive::bufferLosses() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->losses;
}

std::size_t TapeDrive::bufferLossCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->losses.size();
}

std::string TapeDrive::dumpMedium() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->medium ? impl_->medium->dump() : std::string{};
}

void TapeDrive::withMedium(const std::function<void(const Medium*)>& reader) const {
  std::lock_guard lock(impl_->mutex);
  reader(impl_->medium.get());
}

InitiatorSettings TapeDrive::initiatorSettings(InitiatorId initiator) const {
  std::lock_guard lock(impl_->mutex);
  const Initiator& ini = impl_->initiators.at(initiator);
  InitiatorSettings s;
  s.name = ini.name;
  s.targetPort = ini.targetPort;
  const ModeParameters& mode = impl_->mode(ini);
  s.blockLength = mode.blockLength;
  s.compression = mode.compression;
  s.lbp = mode.lbp;
  s.preventRemoval = ini.preventRemoval;
  s.amu = ini.amu;
  s.bufferedMode = mode.bufferedMode;
  s.registrationKey = ini.prKey;
  s.pendingUnitAttentions = ini.unitAttentions.codes();
  return s;
}

ReservationState TapeDrive::reservations() const {
  std::lock_guard lock(impl_->mutex);
  ReservationState r;
  r.reserve6Holder = impl_->reserve6Holder;
  if (impl_->persistent) {
    r.persistentHolder = impl_->persistent->holder;
    r.persistentType = impl_->persistent->type;
  }
  r.generation = impl_->prGeneration;
  for (InitiatorId id = 0; id < impl_->initiators.size(); ++id)
    if (impl_->initiators[id].prKey) r.registrations.emplace_back(id, *impl_->initiators[id].prKey);
  return r;
}

std::vector<CommandLogEntry> TapeDrive::commandLog() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->log.begin(), impl_->log.end()};
}

}  // namespace sim::hw
