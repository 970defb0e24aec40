#include "sim/hw/fault.h"

#include <array>
#include <cstdio>

#include "sim/hw/scsi.h"

namespace sim::hw {
namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 8> kNames{{
    {FaultKind::FailCommands, "fail"},
    {FaultKind::PathDown, "down"},
    {FaultKind::PartialWrite, "partial_write"},
    {FaultKind::Reset, "reset"},
    {FaultKind::RefusePreempt, "refuse_preempt"},
    {FaultKind::VerifyInProgress, "verify_in_progress"},
    {FaultKind::DeferredError, "deferred_error"},
    {FaultKind::PartialTransfer, "partial_transfer"},
}};

}  // namespace

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
  }
  return false;
}

std::string Fault::describe() const {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s count=%u status=0x%08x sense=%02X/%02X/%02X opcode=%d k=%u%s",
                std::string(toString(kind)).c_str(), count, status, senseKey, asc, ascq, opcode, k,
                executed ? " executed" : "");
  return buf;
}

}  // namespace sim::hw
