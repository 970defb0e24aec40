#include "sim/hw/fault.h"

#include <array>
#include <cstdio>

#include "sim/hw/nt_status.h"
#include "sim/hw/scsi.h"

namespace sim::hw {
namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 9> kNames{{
    {FaultKind::FailCommands, "fail"},
    {FaultKind::PathDown, "down"},
    {FaultKind::PartialWrite, "partial_write"},
    {FaultKind::Reset, "reset"},
    {FaultKind::RefusePreempt, "refuse_preempt"},
    {FaultKind::VerifyInProgress, "verify_in_progress"},
    {FaultKind::DeferredError, "deferred_error"},
    {FaultKind::PartialTransfer, "partial_transfer"},
    {FaultKind::DropInPicker, "picker"},
}};

constexpr std::array<std::pair<LoginLoss, std::string_view>, 3> kLoginNames{{
    {LoginLoss::AtFailure, "failure"},
    {LoginLoss::AtReturn, "return"},
    {LoginLoss::Never, "never"},
}};

constexpr std::array<std::pair<uint8_t, std::string_view>, 6> kSrbNames{{
    {srb::kSelectionTimeout, "selection-timeout"},
    {srb::kNoDevice, "no-device"},
    {srb::kCommandTimeout, "command-timeout"},
    {srb::kAborted, "aborted"},
    {srb::kBusReset, "bus-reset"},
    {srb::kError, "error-no-sense"},
}};

constexpr std::array<std::pair<uint8_t, std::string_view>, 2> kScsiStatusNames{{
    {kScsiBusy, "busy"},
    {kScsiTaskSetFull, "task-set-full"},
}};

template <std::size_t N>
std::string_view NameOf(const std::array<std::pair<uint8_t, std::string_view>, N>& names, uint8_t value) {
  for (const auto& [v, name] : names)
    if (v == value) return name;
  return "";
}

template <std::size_t N>
std::optional<uint8_t> ValueOf(const std::array<std::pair<uint8_t, std::string_view>, N>& names,
                               std::string_view name) {
  for (const auto& [v, n] : names)
    if (n == name) return v;
  return std::nullopt;
}

}  // namespace

std::string_view srbStatusName(uint8_t srbStatus) { return NameOf(kSrbNames, srbStatus); }
std::optional<uint8_t> srbStatusFromString(std::string_view name) { return ValueOf(kSrbNames, name); }
std::string_view scsiStatusName(uint8_t scsiStatus) { return NameOf(kScsiStatusNames, scsiStatus); }
std::optional<uint8_t> scsiStatusFromString(std::string_view name) { return ValueOf(kScsiStatusNames, name); }

bool Fault::failsBeforeDevice() const {
  if (kind != FaultKind::FailCommands) return false;
  // BUSY and TASK SET FULL mean the device did not run the command: they never come after it.
  if (scsiStatus != 0) return true;
  return (status != 0 || srbStatus != 0) && !executed;
}

std::optional<CommandResult> Fault::statusAnswer() const {
  CommandResult r;
  if (kind == FaultKind::FailCommands && scsiStatus != 0) {
    r.scsiStatus = scsiStatus;
    return r;
  }
  if (srbStatus == srb::kError) {
    // The device ended the command with CHECK CONDITION, and its sense never reached the host.
    r.scsiStatus = kScsiCheckCondition;
    return r;
  }
  if (srbStatus != 0) {
    // The port names the failure; the NT status is only what marks the command undelivered here.
    r.transportStatus = status != 0 ? status : kStatusIoDeviceError;
    r.srbStatus = srbStatus;
    return r;
  }
  if (status != 0 || kind == FaultKind::PathDown) {
    r.transportStatus = status != 0 ? status : kStatusDeviceNotConnected;
    return r;
  }
  return std::nullopt;
}

std::string_view toString(LoginLoss loss) {
  for (const auto& [l, name] : kLoginNames)
    if (l == loss) return name;
  return "unknown";
}

std::optional<LoginLoss> loginLossFromString(std::string_view name) {
  for (const auto& [l, n] : kLoginNames)
    if (n == name) return l;
  return std::nullopt;
}

std::string_view toString(FaultKind kind) {
  for (const auto& [k, name] : kNames)
    if (k == kind) return name;
  return "unknown";
}

std::optional<FaultKind> faultKindFromString(std::string_view name) {
  for (const auto& [k, n] : kNames)
    if (n == name) return k;
  return std::nullopt;
}

bool Fault::matches(uint8_t op, uint8_t serviceAction) const {
  if (opcode >= 0 && opcode != op) return false;
  switch (kind) {
    case FaultKind::FailCommands:
    case FaultKind::PathDown:
    case FaultKind::Reset:
      return true;
    case FaultKind::PartialWrite:
    case FaultKind::DeferredError:
      return op == opcode::kWrite6 || op == opcode::kWriteFilemarks6;
    case FaultKind::PartialTransfer:
      return op == opcode::kWrite6 || op == opcode::kWriteFilemarks6 || op == opcode::kRead6 ||
             op == opcode::kReadReverse6;
    case FaultKind::RefusePreempt:
      return op == opcode::kPersistentReserveOut &&
             (serviceAction == pr::kPreempt || serviceAction == pr::kPreemptAndAbort);
    case FaultKind::VerifyInProgress:
      return op == opcode::kRequestSense;
    case FaultKind::DropInPicker:
      return op == 0xA5;  // MOVE MEDIUM
  }
  return false;
}

std::string Fault::describe() const {
  char buf[288];
  int n = std::snprintf(buf, sizeof buf, "%s count=%u status=0x%08x sense=%02X/%02X/%02X opcode=%d k=%u%s",
                        std::string(toString(kind)).c_str(), count, status, senseKey, asc, ascq, opcode, k,
                        executed ? " executed" : "");
  if (holdMs != 0 && n > 0 && static_cast<size_t>(n) < sizeof buf)
    n += std::snprintf(buf + n, sizeof buf - n, " hold=%ums", holdMs);
  if (kind == FaultKind::PathDown && login != LoginLoss::AtFailure && n > 0 && static_cast<size_t>(n) < sizeof buf)
    n += std::snprintf(buf + n, sizeof buf - n, " login-lost-at=%s", std::string(toString(login)).c_str());
  if (srbStatus != 0 && n > 0 && static_cast<size_t>(n) < sizeof buf)
    n += std::snprintf(buf + n, sizeof buf - n, " srb=%s", std::string(srbStatusName(srbStatus)).c_str());
  if (scsiStatus != 0 && n > 0 && static_cast<size_t>(n) < sizeof buf)
    n += std::snprintf(buf + n, sizeof buf - n, " scsi=%s", std::string(scsiStatusName(scsiStatus)).c_str());
  if (runningMs != 0 && n > 0 && static_cast<size_t>(n) < sizeof buf)
    n += std::snprintf(buf + n, sizeof buf - n, " running=%ums", runningMs);
  if (resetAfter && n > 0 && static_cast<size_t>(n) < sizeof buf) std::snprintf(buf + n, sizeof buf - n, " reset-after");
  return buf;
}

}  // namespace sim::hw
