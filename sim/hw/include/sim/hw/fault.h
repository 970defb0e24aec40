// Fault injection: one plain record per fault, so that tests can build faults in
// C++ and scenario files can describe them with the same fields.
//
// A fault is armed on a path (affects only commands sent through that path) or
// on a drive or library (affects commands from every path). Faults are consumed
// in the order they were armed; a command is affected by at most one fault, and a
// matching path fault wins over the device's (which then stays armed). A library
// acts out FailCommands, PathDown and Reset; the tape-only kinds pass it by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/hw/scsi.h"

namespace sim::hw {

enum class FaultKind : uint8_t {
  // The next `count` matching commands fail: with transport status `status`
  // when it is not 0 (the drive never sees the command), with the port's SRB
  // status `srbStatus` (the same, but the class driver makes the NT status of
  // it; srb::kError: CHECK CONDITION whose sense was lost), with the SCSI
  // status `scsiStatus` (BUSY, TASK SET FULL: the device refuses the command
  // without running it), else with CHECK CONDITION and the sense
  // `senseKey/asc/ascq`. With `executed` the drive runs the command first and
  // only its outcome is replaced (a lost completion; never with `scsiStatus`).
  FailCommands,
  // The path is down: every command fails with transport status `status`
  // (STATUS_DEVICE_NOT_CONNECTED when 0) until the path is restored. Armed on a
  // drive, the drive itself is unreachable from every path until faults are cleared.
  // With `runningMs` the command the path had at the device when the link failed
  // stays open there that long: the device answers BUSY to other paths meanwhile.
  PathDown,
  // The next matching WRITE(6) or WRITE FILEMARKS(6) puts its first `k` blocks
  // or filemarks on the medium and then fails (transport `status`, or the sense;
  // 0B/00/00 when neither is given). The position stands after those k objects.
  PartialWrite,
  // Before the next matching command the drive is reset (power-on/reset unit
  // attention for every initiator); that command then sees the attention.
  Reset,
  // The next `count` PERSISTENT RESERVE OUT PREEMPT (and PREEMPT AND ABORT)
  // commands fail with RESERVATION CONFLICT and change nothing.
  RefusePreempt,
  // The next `count` REQUEST SENSE commands report 00/00/1C (verify operation
  // in progress), as after an immediate VERIFY that has not finished.
  VerifyInProgress,
  // The next matching WRITE(6) or WRITE FILEMARKS(6) of an initiator in
  // buffered mode is acknowledged into the write buffer, but the drive's
  // writing of it to the medium fails after its first `k` objects: they and
  // everything buffered before them reach the medium, the rest is lost, and
  // the next command of that initiator reports CHECK CONDITION with deferred
  // sense (response code 0x71; the sense given, 03/0C/00 when none) whose
  // INFORMATION is the number of objects lost. Without buffering the command
  // itself fails after k objects with that sense, as a current error.
  DeferredError,
  // The next matching READ(6), READ REVERSE(6), WRITE(6) or WRITE FILEMARKS(6)
  // moves its first `k` blocks (or filemarks) and then fails, with transport
  // `status` or the sense (0B/00/00 when neither is given): the initiator's
  // buffer holds those k blocks, the position stands after them.
  PartialTransfer,
  // A library's next matching MOVE MEDIUM picks the cartridge from its source and drops it on the
  // way: the cartridge stays in the transport element, which reports an exception with the sense's
  // ASC/ASCQ, and the command fails with that sense (04/15/01 when none is given).
  DropInPicker,
};

// When the target learns that a path's login is gone after the link fails (PathDown): at the
// failure (the fabric logs the initiator out at once), when the link returns (the new login is
// the first the target hears of it), or never (the link came back before anyone noticed).
enum class LoginLoss : uint8_t { AtFailure, AtReturn, Never };

struct Fault {
  static constexpr uint32_t kForever = 0xFFFFFFFF;

  FaultKind kind = FaultKind::FailCommands;
  uint32_t count = 1;  // commands affected; kForever: until cleared
  uint32_t status = 0; // transport NT status, 0 for none
  uint8_t srbStatus = 0;   // FailCommands: the port's SRB status (srb::*), 0 for none
  uint8_t scsiStatus = 0;  // FailCommands: kScsiBusy or kScsiTaskSetFull, 0 for none
  uint8_t senseKey = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  int opcode = -1;     // -1: any command; otherwise only this operation code
  uint32_t k = 0;      // PartialWrite, PartialTransfer, DeferredError: objects moved before the failure
  bool executed = false;
  // PathDown: a command sent within `holdMs` of the failure is held that long (the fabric waits for
  // the link to return) and runs if the link is back by then, else fails. FailCommands: the command
  // takes this long before it fails (a time-out).
  uint32_t holdMs = 0;
  LoginLoss login = LoginLoss::AtFailure;  // PathDown
  // FailCommands: after the failure the host resets the logical unit through the path, as Windows
  // does after a command timed out.
  bool resetAfter = false;
  // PathDown: how long the device goes on with the command it had from the path when the link
  // failed (other paths meet BUSY meanwhile; a logical unit reset ends it at once).
  uint32_t runningMs = 0;

  // True when this fault applies to a command with this CDB.
  bool matches(uint8_t op, uint8_t serviceAction) const;
  // A FailCommands fault whose failure comes before the device runs anything: a transport or SRB
  // status without `executed`, or a BUSY or TASK SET FULL.
  bool failsBeforeDevice() const;
  // The answer that replaces the command's when the fault names a status (transport, SRB or SCSI)
  // rather than sense; nullopt when the sense decides.
  std::optional<CommandResult> statusAnswer() const;
  std::string describe() const;
};

std::string_view toString(FaultKind kind);
std::optional<FaultKind> faultKindFromString(std::string_view name);
std::string_view toString(LoginLoss loss);
std::optional<LoginLoss> loginLossFromString(std::string_view name);
// Scenario names of the SRB statuses a fault may name ("selection-timeout", "no-device",
// "command-timeout", "aborted", "bus-reset", "error-no-sense") and of its SCSI statuses ("busy",
// "task-set-full"); "" or nullopt for others.
std::string_view srbStatusName(uint8_t srbStatus);
std::optional<uint8_t> srbStatusFromString(std::string_view name);
std::string_view scsiStatusName(uint8_t scsiStatus);
std::optional<uint8_t> scsiStatusFromString(std::string_view name);

}  // namespace sim::hw
