#include "sim/hw/path.h"

#include <sys/prctl.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "sim/hw/san.h"

namespace sim::hw {
namespace {

// Waits until the drive is done with a command. Linux lets a sleeping thread's timer fire up to
// the thread's timer slack late (50 µs by default), which is a third of the time a 64 KiB block
// takes at 400 MB/s, and no part of the drive's: a real drive's completion comes as an interrupt
// when it is done. The thread that waits for a drive asks once for exact wake-ups; the wait is
// never shorter than the drive's time.
void WaitForDrive(std::chrono::steady_clock::time_point until) {
  thread_local const bool exact = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)exact;
  std::this_thread::sleep_until(until);
}

}  // namespace

void OpenCommand::open(std::chrono::steady_clock::time_point until) {
  std::lock_guard lock(mutex_);
  until_ = std::max(until_, until);
}

void OpenCommand::abort() {
  std::lock_guard lock(mutex_);
  until_ = {};
}

bool OpenCommand::running() const {
  std::lock_guard lock(mutex_);
  return std::chrono::steady_clock::now() < until_;
}

Path::Path(San& san, ScsiAddress address, ScsiTarget& target, TapeDrive* drive, TapeLibrary* library,
           uint32_t targetPort, OpenCommand& openCommand)
    : san_(san),
      address_(address),
      target_(target),
      drive_(drive),
      library_(library),
      targetPort_(targetPort),
      initiator_(target.attachInitiator(address.toString(), targetPort)),
      openCommand_(openCommand) {}

TapeDrive& Path::drive() const {
  if (drive_ == nullptr) throw std::logic_error("a changer path reaches no tape drive: " + address_.toString());
  return *drive_;
}

Path::Gate Path::admit(uint8_t op, uint8_t serviceAction) {
  std::unique_lock lock(mutex_);
  ++counters_.commands;
  Gate gate;
  // While the fabric holds I/O for a failed link, a command waits for the link's return or the end
  // of the hold, whichever comes first.
  if (down_ && hold_.count() != 0 && present_.load() && std::chrono::steady_clock::now() < downSince_ + hold_) {
    ++held_;
    heldChanged_.notify_all();
    linkChanged_.wait_until(lock, downSince_ + hold_, [this] { return !down_ || !present_.load(); });
  }
  if (!present_.load()) {
    gate.transportStatus = kStatusDeviceNotConnected;
    return gate;
  }
  if (down_) {
    gate.transportStatus = downStatus_;
    return gate;
  }
  // A command another path left open at the device keeps it busy for everyone else; the path's
  // own faults wait for a command the device takes.
  if (openCommand_.running()) {
    gate.answer = CommandResult{};
    gate.answer->scsiStatus = kScsiBusy;
    return gate;
  }
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->matches(op, serviceAction)) continue;
    gate.fault = *it;
    gate.matched = true;
    if (it->count != Fault::kForever && --it->count == 0) faults_.erase(it);
    // A failure before execution (in the transport, or a device that refuses the command as busy)
    // never reaches the drive; everything else is acted out by the drive under its lock.
    if (gate.fault.failsBeforeDevice())
      gate.answer = gate.fault.statusAnswer();
    else
      gate.hasFault = true;
    break;
  }
  return gate;
}

void Path::countResult(const CommandResult& result) {
  std::lock_guard lock(mutex_);
  if (result.delivered())
    ++counters_.delivered;
  else
    ++counters_.transportFailures;
}

CommandResult Path::execute(const Command& command) {
  const uint8_t op = command.cdb.empty() ? 0 : command.cdb[0];
  const uint8_t serviceAction = command.cdb.size() > 1 ? command.cdb[1] & 0x1F : 0;
  const uint64_t drops = drops_.load();
  const Gate gate = admit(op, serviceAction);
  CommandResult result;
  if (gate.transportStatus != 0) {
    result.transportStatus = gate.transportStatus;
  } else if (gate.answer) {
    result = *gate.answer;
    if (result.delivered()) result.residual = command.dataOut.empty() ? command.dataInLength
                                                                      : static_cast<uint32_t>(command.dataOut.size());
  } else {
    result = target_.execute(initiator_, command, gate.hasFault ? &gate.fault : nullptr);
    // The link failed while the drive worked on the command: its
    // completion never comes back (whatever the drive did stays done).
    if (drops_.load() != drops) {
      std::lock_guard lock(mutex_);
      result = CommandResult{};
      result.transportStatus = present_.load() ? downStatus_ : kStatusDeviceNotConnected;
    }
  }
  if (gate.matched && gate.fault.kind == FaultKind::FailCommands) {
    // A command that timed out took its time before the host gave up on it; then the host may
    // reset the logical unit to get rid of it.
    if (gate.fault.holdMs != 0)
      WaitForDrive(std::chrono::steady_clock::now() + std::chrono::milliseconds(gate.fault.holdMs));
    if (gate.fault.resetAfter) target_.reset();
  }
  countResult(result);
  if (result.delivered()) {
    // The transfer-time model sleeps here, with no lock held, so that other
    // paths keep the target busy meanwhile. A streaming drive names the moment
    // itself (its buffers let the host run ahead of the medium).
    const TimingModel t = target_.timing();
    if (result.readyAt) {
      if (*result.readyAt > std::chrono::steady_clock::now()) WaitForDrive(*result.readyAt);
    } else if (t.bytesPerSecond != 0 || t.perCommand.count() != 0) {
      const uint64_t bytes = result.dataIn.size() + result.dataOutTransferred;
      auto delay = t.perCommand;
      if (t.bytesPerSecond != 0)
        delay += std::chrono::microseconds(bytes * 1'000'000ull / t.bytesPerSecond);
      WaitForDrive(std::chrono::steady_clock::now() + delay);
    }
  }
  return result;
}

namespace {
PrivateResult toPrivate(CommandResult&& r) {
  PrivateResult p;
  p.transportStatus = r.transportStatus;
  p.scsiStatus = r.scsiStatus;
  p.sense = std::move(r.sense);
  for (uint8_t b : r.dataIn) p.value = (p.value << 8) | b;
  return p;
}
}  // namespace

PrivateResult Path::queryAmu() {
  const uint8_t cdb[6] = {opcode::kVendorQueryAmu, 0, 0, 0, 1, 0};
  return toPrivate(execute(Command{cdb, {}, 1}));
}

PrivateResult Path::setAmu(uint8_t value) {
  const uint8_t cdb[6] = {opcode::kVendorSetAmu, 0, value, 0, 0, 0};
  return toPrivate(execute(Command{cdb, {}, 0}));
}

PrivateResult Path::queryDpfFlags() {
  const uint8_t cdb[6] = {opcode::kVendorQueryDpfFlags, 0, 0, 0, 4, 0};
  return toPrivate(execute(Command{cdb, {}, 4}));
}

PrivateResult Path::setDpfFlags(uint32_t flags) {
  const uint8_t cdb[6] = {opcode::kVendorSetDpfFlags, 0, static_cast<uint8_t>(flags >> 24),
                          static_cast<uint8_t>(flags >> 16), static_cast<uint8_t>(flags >> 8),
                          static_cast<uint8_t>(flags)};
  return toPrivate(execute(Command{cdb, {}, 0}));
}

uint32_t Path::logicalUnitReset() {
  {
    std::lock_guard lock(mutex_);
    if (!present_.load()) return kStatusDeviceNotConnected;
    if (down_) return downStatus_;
  }
  openCommand_.abort();
  target_.reset();
  return 0;
}

void Path::injectFault(const Fault& fault) {
  if (fault.kind == FaultKind::PathDown)
    return setDown(fault.status ? fault.status : kStatusDeviceNotConnected, std::chrono::milliseconds(fault.holdMs),
                   fault.login, std::chrono::milliseconds(fault.runningMs));
  if (fault.count == 0) return;
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void Path::clearFaults() {
  {
    std::lock_guard lock(mutex_);
    faults_.clear();
  }
  restore();
}

void Path::setDown(uint32_t status, std::chrono::milliseconds hold, LoginLoss login, std::chrono::milliseconds running) {
  bool wasUp = false;
  {
    std::lock_guard lock(mutex_);
    wasUp = !down_;
    down_ = true;
    downStatus_ = status ? status : kStatusDeviceNotConnected;
    if (wasUp) {
      downSince_ = std::chrono::steady_clock::now();
      hold_ = hold;
      login_ = login;
      ++drops_;
    }
  }
  if (wasUp && running.count() != 0) openCommand_.open(std::chrono::steady_clock::now() + running);
  if (wasUp && present_.load() && login == LoginLoss::AtFailure) loseNexus();
}

void Path::loseNexus() {
  ++drops_;
  target_.nexusLost(initiator_);
}

void Path::restore() {
  bool loseNow = false;
  {
    std::lock_guard lock(mutex_);
    loseNow = down_ && login_ == LoginLoss::AtReturn;
    down_ = false;
    login_ = LoginLoss::AtFailure;
  }
  linkChanged_.notify_all();
  // The new login is the first the drive hears of the old one's loss.
  if (loseNow && present_.load()) target_.nexusLost(initiator_);
}

uint64_t Path::commandsHeld() const {
  std::lock_guard lock(mutex_);
  return held_;
}

bool Path::awaitCommandsHeld(uint64_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return heldChanged_.wait_for(lock, limit, [&] { return held_ >= count; });
}

bool Path::isDown() const {
  std::lock_guard lock(mutex_);
  return down_;
}

void Path::setPresent(bool present) {
  if (present_.exchange(present) == present) return;
  if (!present) {
    bool loginKept = true;
    {
      std::lock_guard lock(mutex_);
      // A path that vanishes logs out for good, even where its link failure had left the login standing.
      loginKept = !down_ || login_ != LoginLoss::AtFailure;
      login_ = LoginLoss::AtFailure;
    }
    linkChanged_.notify_all();
    if (loginKept) loseNexus();
  }
  san_.notifyPresence(*this, present);
}

PathCounters Path::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

}  // namespace sim::hw
