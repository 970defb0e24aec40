// TapeLibrary: command entry, unit attentions, faults, reset, operator actions
// and the ground truth. The SMC command handlers live in library_smc.cpp.
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "library_impl.h"
#include "sim/hw/nt_status.h"

namespace sim::hw {
namespace {

constexpr std::array<std::pair<ElementType, std::string_view>, 4> kTypeNames{{
    {ElementType::Transport, "transport"},
    {ElementType::ImportExport, "ie"},
    {ElementType::DataTransfer, "drive"},
    {ElementType::Storage, "slot"},
}};

// INQUIRY and REQUEST SENSE neither report nor clear a unit attention.
bool reportsUnitAttention(uint8_t op) { return op != opcode::kInquiry && op != opcode::kRequestSense; }

// Commands that a RESERVE(6) of another initiator does not block.
bool allowedWhileReserved(uint8_t op) {
  return op == opcode::kInquiry || op == opcode::kRequestSense || op == opcode::kRelease6;
}

}  // namespace

std::string elementName(ElementType type, uint32_t index) {
  for (const auto& [t, name] : kTypeNames)
    if (t == type) return std::string(name) + ":" + std::to_string(index);
  return "unknown:" + std::to_string(index);
}

std::optional<std::pair<ElementType, uint32_t>> parseElementName(std::string_view name) {
  const auto colon = name.find(':');
  if (colon == std::string_view::npos || colon + 1 >= name.size()) return std::nullopt;
  const std::string_view type = name.substr(0, colon);
  uint32_t index = 0;
  for (char c : name.substr(colon + 1)) {
    if (c < '0' || c > '9' || index > 100000) return std::nullopt;
    index = index * 10 + static_cast<uint32_t>(c - '0');
  }
  for (const auto& [t, n] : kTypeNames)
    if (n == type) return std::make_pair(t, index);
  return std::nullopt;
}

TapeLibrary::Impl::Impl(LibraryConfig config) : cfg(std::move(config)) {
  wwnn = cfg.identity.wwnn ? cfg.identity.wwnn : deriveWwnn(cfg.identity.serial);
  const ElementAddressing& a = cfg.addressing;
  auto add = [&](ElementType type, uint32_t count, uint16_t first) {
    for (uint32_t i = 0; i < count; ++i) {
      Element e;
      e.type = type;
      e.index = i;
      e.address = static_cast<uint16_t>(first + i);
      elements.push_back(std::move(e));
    }
  };
  if (cfg.ieSlots > static_cast<uint32_t>(a.firstDataTransfer - a.firstImportExport) ||
      cfg.drives.size() > static_cast<std::size_t>(a.firstStorage - a.firstDataTransfer) ||
      cfg.slots > 0xFFFFu - static_cast<uint32_t>(a.firstStorage))
    throw std::invalid_argument("library elements overlap their address ranges");
  if (cfg.volumes.size() > cfg.slots) throw std::invalid_argument("more volumes than storage slots");
  add(ElementType::Transport, 1, a.firstTransport);
  add(ElementType::ImportExport, cfg.ieSlots, a.firstImportExport);
  add(ElementType::DataTransfer, static_cast<uint32_t>(cfg.drives.size()), a.firstDataTransfer);
  add(ElementType::Storage, cfg.slots, a.firstStorage);
  for (Element& e : elements)
    if (e.type == ElementType::DataTransfer) e.drive = cfg.drives.at(e.index);
  uint32_t slot = 0;
  for (Element& e : elements) {
    if (e.type != ElementType::Storage || slot >= cfg.volumes.size()) continue;
    MediumConfig medium;
    medium.label = cfg.volumes[slot++];
    e.medium = std::make_unique<Medium>(medium);
  }
}

void TapeLibrary::Impl::postUnitAttentionToAll(SenseCode code) {
  for (LibraryInitiator& ini : initiators) ini.unitAttentions.post(code);
}

void TapeLibrary::Impl::doReset() {
  reserveHolder.reset();
  for (LibraryInitiator& ini : initiators) {
    ini.preventRemoval = false;
    // A reset supersedes every condition established before it.
    ini.unitAttentions.replaceWith(kUaPowerOnReset);
  }
}

Element* TapeLibrary::Impl::find(uint16_t address) {
  for (Element& e : elements)
    if (e.address == address) return &e;
  return nullptr;
}

bool TapeLibrary::Impl::full(const Element& e) const {
  if (e.drive == nullptr) return e.medium != nullptr;
  return e.drive->mediumState() != MediumState::Absent;
}

std::string TapeLibrary::Impl::volumeOf(const Element& e) const {
  if (e.drive == nullptr) return e.medium ? e.medium->label() : std::string{};
  std::string label;
  e.drive->withMedium([&](const Medium* m) {
    if (m != nullptr) label = m->label();
  });
  return label;
}

ElementState TapeLibrary::Impl::stateOf(const Element& e) const {
  ElementState s;
  s.type = e.type;
  s.index = e.index;
  s.address = e.address;
  s.volume = volumeOf(e);
  s.full = full(e);
  s.source = s.full ? e.source : std::nullopt;
  s.exception = e.exception;
  return s;
}

void TapeLibrary::Impl::check(LibraryExchange& x, const Sense& s) {
  x.res.scsiStatus = kScsiCheckCondition;
  x.res.sense = encodeSense(s);
}

void TapeLibrary::Impl::sendData(LibraryExchange& x, std::vector<uint8_t> data, std::size_t allocationLength) {
  const std::size_t n = std::min({data.size(), allocationLength, std::size_t{x.cmd.dataInLength}});
  data.resize(n);
  x.res.dataIn = std::move(data);
}

CommandResult TapeLibrary::Impl::run(std::unique_lock<std::mutex>& lock, InitiatorId id, const Command& cmd,
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
  LibraryExchange x{id, initiators[id], cmd.cdb, cmd, res, lock};
  x.pathFaulted = pathFault != nullptr;
  if (cmd.cdb.empty()) {
    check(x, makeSense(sense_key::kIllegalRequest, 0x20, 0x00));
    return res;
  }
  const uint8_t op = cmd.cdb[0];
  const uint8_t sa = cmd.cdb.size() > 1 ? cmd.cdb[1] & 0x1F : 0;

  // A fault matched by the path wins; otherwise the first matching library fault.
  std::optional<Fault> fault;
  if (pathFault) {
    fault = *pathFault;
  } else {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      // A dropped cartridge waits for a move that reaches the robot (takePickerFault).
      if (it->kind == FaultKind::DropInPicker || !it->matches(op, sa)) continue;
      fault = *it;
      if (it->count != Fault::kForever && --it->count == 0) faults.erase(it);
      break;
    }
  }
  auto failInjected = [&](const Fault& f) {
    res.dataIn.clear();
    res.sense.clear();
    if (std::optional<CommandResult> answer = f.statusAnswer()) {
      res = std::move(*answer);
      return;
    }
    res.scsiStatus = kScsiGood;
    check(x, (f.senseKey | f.asc | f.ascq) ? makeSense(f.senseKey, f.asc, f.ascq)
                                           : makeSense(sense_key::kAbortedCommand, 0, 0));
  };
  if (fault) {
    switch (fault->kind) {
      case FaultKind::Reset:
        doReset();
        break;
      case FaultKind::FailCommands:
      case FaultKind::PathDown:
        if (!fault->executed || fault->failsBeforeDevice()) {
          failInjected(*fault);
          return res;
        }
        break;
      case FaultKind::DropInPicker:
        x.picker = &*fault;
        break;
      default:
        break;  // tape-only faults: nothing to act out on a changer
    }
  }

  if (cmd.cdb.size() < cdbLength(op))
    check(x, invalidCdbField(static_cast<unsigned>(cmd.cdb.size())));
  else
    dispatch(x);

  // A lost completion: the library did the work, the initiator never hears of it.
  if (fault && fault->kind == FaultKind::FailCommands && fault->executed) failInjected(*fault);
  if (!res.delivered()) return res;
  if (!cmd.dataOut.empty())
    res.residual = static_cast<uint32_t>(cmd.dataOut.size() - res.dataOutTransferred);
  else
    res.residual = static_cast<uint32_t>(cmd.dataInLength - res.dataIn.size());
  return res;
}

std::optional<Fault> TapeLibrary::Impl::takePickerFault(LibraryExchange& x) {
  if (x.picker != nullptr) return *x.picker;
  if (x.pathFaulted) return std::nullopt;  // one fault per command: the path's came first
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->kind != FaultKind::DropInPicker || !it->matches(x.cdb[0], 0)) continue;
    Fault f = *it;
    if (it->count != Fault::kForever && --it->count == 0) faults.erase(it);
    return f;
  }
  return std::nullopt;
}

void TapeLibrary::Impl::runRobot(std::unique_lock<std::mutex>& lock, std::chrono::microseconds duration) {
  if (duration.count() <= 0) return;
  const Clock::time_point until = now() + duration;
  robotUntil = until;
  robotChanged.notify_all();  // for awaitRobotBusy
  // The mutex is released while the robot works: other initiators are answered meanwhile.
  while (now() < until) {
    if (manualClock)
      robotChanged.wait(lock);
    else
      robotChanged.wait_until(lock, until);
  }
  robotChanged.notify_all();  // for awaitRobotIdle
}

void TapeLibrary::Impl::startInventory() {
  if (cfg.robot.inventory.count() <= 0) return;
  const Clock::time_point until = now() + cfg.robot.inventory;
  if (!robotUntil || *robotUntil < until) robotUntil = until;
  robotChanged.notify_all();
}

bool TapeLibrary::Impl::robotUnavailable(LibraryExchange& x, bool beforeAttention) {
  const uint8_t op = x.cdb[0];
  if (op == opcode::kInquiry || op == opcode::kRequestSense) return false;
  const bool busy = robotAtWork();
  if (beforeAttention) {
    // BUSY status: the library takes no command at all, so an attention stays pending.
    if (!busy || cfg.robot.busyAnswer != RobotBusyAnswer::Busy) return false;
    x.res.scsiStatus = kScsiBusy;
    return true;
  }
  if (busy) {
    check(x, makeSense(sense_key::kNotReady, 0x04, 0x01));
    return true;
  }
  const bool needsRobot = op == opcode::kMoveMedium || op == opcode::kExchangeMedium ||
                          op == opcode::kPositionToElement || op == opcode::kInitializeElementStatus;
  if (needsRobot && mainDoorOpen) {
    check(x, makeSense(sense_key::kNotReady, 0x04, 0x03));  // manual intervention required
    return true;
  }
  return false;
}

void TapeLibrary::Impl::dispatch(LibraryExchange& x) {
  const uint8_t op = x.cdb[0];
  if (robotUnavailable(x, true)) return;
  if (reportsUnitAttention(op)) {
    if (auto ua = x.ini.unitAttentions.take()) return check(x, ua->sense());
  }
  if (reserveHolder && *reserveHolder != x.id && !allowedWhileReserved(op)) {
    x.res.scsiStatus = kScsiReservationConflict;
    return;
  }
  if (robotUnavailable(x, false)) return;
  switch (op) {
    case opcode::kTestUnitReady: return;
    case opcode::kRequestSense: return requestSense(x);
    case opcode::kInquiry: return inquiry(x);
    case opcode::kModeSense6: return modeSense(x, false);
    case opcode::kModeSense10: return modeSense(x, true);
    case opcode::kReserve6: return reserve(x);
    case opcode::kRelease6: return release(x);
    case opcode::kPreventAllowMediumRemoval: return preventAllow(x);
    case opcode::kInitializeElementStatus: return initializeElementStatus(x);
    case opcode::kPositionToElement: return positionToElement(x);
    case opcode::kMoveMedium: return moveMedium(x);
    case opcode::kReadElementStatus: return readElementStatus(x);
    default:
      // EXCHANGE MEDIUM among them: this library has a single picker.
      check(x, makeSense(sense_key::kIllegalRequest, 0x20, 0x00));
  }
}

// ---------------------------------------------------------------------------

TapeLibrary::TapeLibrary(LibraryConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
TapeLibrary::~TapeLibrary() = default;

const DriveIdentity& TapeLibrary::identity() const noexcept { return impl_->cfg.identity; }
uint64_t TapeLibrary::wwnn() const noexcept { return impl_->wwnn; }
uint64_t TapeLibrary::portName(uint32_t port) const noexcept { return portNameOf(impl_->wwnn, port); }

TimingModel TapeLibrary::timing() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->cfg.timing;
}

void TapeLibrary::setTiming(TimingModel timing) {
  std::lock_guard lock(impl_->mutex);
  impl_->cfg.timing = timing;
}

InitiatorId TapeLibrary::attachInitiator(std::string name, uint32_t targetPort) {
  std::lock_guard lock(impl_->mutex);
  LibraryInitiator ini;
  ini.name = std::move(name);
  ini.targetPort = targetPort;
  if (impl_->cfg.powerOnAttention) ini.unitAttentions.post(kUaPowerOnReset);
  impl_->initiators.push_back(std::move(ini));
  return static_cast<InitiatorId>(impl_->initiators.size() - 1);
}

CommandResult TapeLibrary::execute(InitiatorId initiator, const Command& command, const Fault* injected) {
  std::unique_lock lock(impl_->mutex);
  return impl_->run(lock, initiator, command, injected);
}

void TapeLibrary::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->doReset();
}

void TapeLibrary::nexusLost(InitiatorId initiator) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->cfg.nexusLossReleases || initiator >= impl_->initiators.size()) return;
  LibraryInitiator& ini = impl_->initiators[initiator];
  if (impl_->reserveHolder == initiator) impl_->reserveHolder.reset();
  ini.preventRemoval = false;
  ini.unitAttentions.newNexus(kUaNexusLoss);
}

void TapeLibrary::injectFault(const Fault& fault) {
  std::lock_guard lock(impl_->mutex);
  if (fault.kind == FaultKind::PathDown) {
    impl_->unreachable = true;
    impl_->unreachableStatus = fault.status ? fault.status : kStatusDeviceNotConnected;
    return;
  }
  if (fault.count != 0) impl_->faults.push_back(fault);
}

void TapeLibrary::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
  impl_->unreachable = false;
}

const ElementAddressing& TapeLibrary::addressing() const noexcept { return impl_->cfg.addressing; }

uint32_t TapeLibrary::count(ElementType type) const noexcept {
  switch (type) {
    case ElementType::Transport: return 1;
    case ElementType::ImportExport: return impl_->cfg.ieSlots;
    case ElementType::DataTransfer: return static_cast<uint32_t>(impl_->cfg.drives.size());
    case ElementType::Storage: return impl_->cfg.slots;
  }
  return 0;
}

std::optional<uint16_t> TapeLibrary::addressOf(ElementType type, uint32_t index) const noexcept {
  if (index >= count(type)) return std::nullopt;
  const ElementAddressing& a = impl_->cfg.addressing;
  switch (type) {
    case ElementType::Transport: return static_cast<uint16_t>(a.firstTransport + index);
    case ElementType::ImportExport: return static_cast<uint16_t>(a.firstImportExport + index);
    case ElementType::DataTransfer: return static_cast<uint16_t>(a.firstDataTransfer + index);
    case ElementType::Storage: return static_cast<uint16_t>(a.firstStorage + index);
  }
  return std::nullopt;
}

TapeDrive* TapeLibrary::drive(uint32_t index) const noexcept {
  return index < impl_->cfg.drives.size() ? impl_->cfg.drives[index] : nullptr;
}

bool TapeLibrary::operatorImport(uint32_t ieIndex, std::unique_ptr<Medium> medium) {
  std::lock_guard lock(impl_->mutex);
  const auto address = addressOf(ElementType::ImportExport, ieIndex);
  Element* e = address ? impl_->find(*address) : nullptr;
  const bool locked = std::any_of(impl_->initiators.begin(), impl_->initiators.end(),
                                  [](const LibraryInitiator& i) { return i.preventRemoval; });
  if (e == nullptr || e->medium || !medium || locked) return false;
  e->medium = std::move(medium);
  e->source.reset();
  impl_->postUnitAttentionToAll(kUaImportExportAccessed);
  return true;
}

std::unique_ptr<Medium> TapeLibrary::operatorExport(uint32_t ieIndex) {
  std::lock_guard lock(impl_->mutex);
  const auto address = addressOf(ElementType::ImportExport, ieIndex);
  Element* e = address ? impl_->find(*address) : nullptr;
  const bool locked = std::any_of(impl_->initiators.begin(), impl_->initiators.end(),
                                  [](const LibraryInitiator& i) { return i.preventRemoval; });
  if (e == nullptr || !e->medium || locked) return nullptr;
  impl_->postUnitAttentionToAll(kUaImportExportAccessed);
  return std::move(e->medium);
}

bool TapeLibrary::openDoor(LibraryDoor door) {
  std::lock_guard lock(impl_->mutex);
  if (door == LibraryDoor::Main) {
    impl_->mainDoorOpen = true;
    return true;
  }
  const bool locked = std::any_of(impl_->initiators.begin(), impl_->initiators.end(),
                                  [](const LibraryInitiator& i) { return i.preventRemoval; });
  if (locked) return false;
  impl_->ieDoorOpen = true;
  return true;
}

void TapeLibrary::closeDoor(LibraryDoor door) {
  std::lock_guard lock(impl_->mutex);
  bool& open = door == LibraryDoor::Main ? impl_->mainDoorOpen : impl_->ieDoorOpen;
  if (!open) return;
  open = false;
  // Someone had a hand inside: the library no longer trusts what it knew, tells every initiator
  // and takes a new inventory.
  impl_->postUnitAttentionToAll(door == LibraryDoor::Main ? kUaMediumChanged : kUaImportExportAccessed);
  impl_->startInventory();
}

bool TapeLibrary::doorOpen(LibraryDoor door) const {
  std::lock_guard lock(impl_->mutex);
  return door == LibraryDoor::Main ? impl_->mainDoorOpen : impl_->ieDoorOpen;
}

void TapeLibrary::holdRobot() {
  std::lock_guard lock(impl_->mutex);
  impl_->robotHeld = true;
  impl_->robotChanged.notify_all();
}

void TapeLibrary::releaseRobot() {
  std::lock_guard lock(impl_->mutex);
  impl_->robotHeld = false;
  impl_->robotChanged.notify_all();
}

void TapeLibrary::useManualClock() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->manualClock) return;
  impl_->manualNow = Impl::Clock::now();
  impl_->manualClock = true;
}

void TapeLibrary::advanceClock(std::chrono::microseconds by) {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->manualClock) return;
  impl_->manualNow += by;
  impl_->robotChanged.notify_all();
}

bool TapeLibrary::robotBusy() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->robotAtWork();
}

bool TapeLibrary::awaitRobotBusy(std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->robotChanged.wait_for(lock, limit, [&] { return impl_->robotAtWork(); });
}

bool TapeLibrary::awaitRobotIdle(std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mutex);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (impl_->robotAtWork()) {
    auto wake = deadline;
    // On the real clock nobody announces the end of an inventory nobody waits for.
    if (!impl_->manualClock && impl_->robotUntil && !impl_->robotHeld) wake = std::min(wake, *impl_->robotUntil);
    if (impl_->robotChanged.wait_until(lock, wake) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline)
      return !impl_->robotAtWork();
  }
  return true;
}

std::vector<ElementState> TapeLibrary::elements() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<ElementState> out;
  for (const Element& e : impl_->elements) out.push_back(impl_->stateOf(e));
  return out;
}

std::optional<ElementState> TapeLibrary::findVolume(std::string_view volume) const {
  for (const ElementState& e : elements())
    if (e.full && e.volume == volume) return e;
  return std::nullopt;
}

std::vector<MoveRecord> TapeLibrary::moves() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->moves;
}

std::vector<std::string> TapeLibrary::pendingUnitAttentions(InitiatorId initiator) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->initiators.at(initiator).unitAttentions.codes();
}

bool TapeLibrary::removalPrevented() const {
  std::lock_guard lock(impl_->mutex);
  return std::any_of(impl_->initiators.begin(), impl_->initiators.end(),
                     [](const LibraryInitiator& i) { return i.preventRemoval; });
}

std::optional<InitiatorId> TapeLibrary::reservationHolder() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->reserveHolder;
}

}  // namespace sim::hw
