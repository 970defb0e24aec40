// One path from a host adapter to a drive: an initiator (I_T nexus) of that drive
// with its own transport state and faults.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/hw/fault.h"
#include "sim/hw/nt_status.h"
#include "sim/hw/scsi.h"
#include "sim/hw/tape_drive.h"
#include "sim/hw/target.h"

namespace sim::hw {

class San;
class TapeLibrary;

// Result of a private (vendor-unique) request of the base driver.
struct PrivateResult {
  uint32_t transportStatus = 0;
  uint8_t scsiStatus = kScsiGood;
  std::vector<uint8_t> sense;
  uint32_t value = 0;
  bool ok() const noexcept { return transportStatus == 0 && scsiStatus == kScsiGood; }
};

// A command a device still runs for a path whose link failed with it open: until it ends (or a
// logical unit reset aborts it) the device answers every other command with BUSY. One per device,
// shared by its paths.
class OpenCommand {
 public:
  void open(std::chrono::steady_clock::time_point until);
  void abort();
  bool running() const;

 private:
  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point until_{};
};

struct PathCounters {
  uint64_t commands = 0;           // every command handed to the path
  uint64_t delivered = 0;          // reached the drive
  uint64_t transportFailures = 0;  // failed in the transport
};

class Path {
 public:
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;

  const ScsiAddress& address() const noexcept { return address_; }
  // What the path reaches: a tape drive or a library's medium changer.
  ScsiTarget& target() const noexcept { return target_; }
  bool isChanger() const noexcept { return library_ != nullptr; }
  // The tape drive of a tape path (a changer path has none: std::logic_error).
  TapeDrive& drive() const;
  // The library of a changer path, nullptr on a tape path.
  TapeLibrary* library() const noexcept { return library_; }
  InitiatorId initiator() const noexcept { return initiator_; }
  uint32_t targetPort() const noexcept { return targetPort_; }
  // World-wide name of the drive port this path reaches.
  uint64_t targetPortName() const noexcept { return target_.portName(targetPort_); }

  // Thread-safe; commands of several paths of a target are serialised by the target.
  CommandResult execute(const Command& command);

  // The base driver's private requests, carried as vendor-unique commands so
  // that path faults and outages apply to them as to any other command.
  PrivateResult queryAmu();
  PrivateResult setAmu(uint8_t value);
  PrivateResult queryDpfFlags();
  PrivateResult setDpfFlags(uint32_t flags);

  // Task management LOGICAL UNIT RESET through this path. Returns the transport
  // status (0 when the drive was reset).
  uint32_t logicalUnitReset();

  void injectFault(const Fault& fault);  // PathDown sets the path down (with its hold and login loss)
  void clearFaults();                    // also brings the path back up
  // The path's link goes down: a command in progress on it never completes, and later commands fail
  // with `status` (after being held up to `hold` from the failure, in case the link returns). The
  // drive loses this initiator's nexus (see TapeDrive) when `login` says.
  // With `running` the command the path had at the device stays open there that long (OpenCommand).
  void setDown(uint32_t status = kStatusDeviceNotConnected, std::chrono::milliseconds hold = {},
               LoginLoss login = LoginLoss::AtFailure, std::chrono::milliseconds running = {});
  void restore();
  bool isDown() const;
  // Commands the fabric has held for a failed link so far (each counts once, when its hold begins),
  // and a wait (at most `limit`) until that many have been.
  uint64_t commandsHeld() const;
  bool awaitCommandsHeld(uint64_t count, std::chrono::milliseconds limit) const;

  // Presence as the simulated adapter's enumeration sees it. An absent path
  // fails every command with STATUS_DEVICE_NOT_CONNECTED; disappearing loses
  // the nexus as going down does.
  bool present() const noexcept { return present_.load(); }
  void setPresent(bool present);

  PathCounters counters() const;

 private:
  friend class San;
  Path(San& san, ScsiAddress address, ScsiTarget& target, TapeDrive* drive, TapeLibrary* library,
       uint32_t targetPort, OpenCommand& openCommand);

  // What the path decides before the command reaches the drive.
  struct Gate {
    uint32_t transportStatus = 0;
    std::optional<CommandResult> answer;  // the answer in place of the drive's (the drive never sees it)
    bool hasFault = false;
    Fault fault;
    bool matched = false;  // `fault` is the fault this command met (with or without reaching the drive)
  };
  Gate admit(uint8_t op, uint8_t serviceAction);
  void countResult(const CommandResult& result);
  void loseNexus();

  San& san_;
  const ScsiAddress address_;
  ScsiTarget& target_;
  TapeDrive* const drive_;
  TapeLibrary* const library_;
  const uint32_t targetPort_;
  const InitiatorId initiator_;
  OpenCommand& openCommand_;
  std::atomic<bool> present_{true};
  std::atomic<uint64_t> drops_{0};  // counts link failures and nexus losses

  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable linkChanged_;  // the link came back or the path vanished
  mutable std::condition_variable heldChanged_;  // a command began to be held
  uint64_t held_ = 0;
  bool down_ = false;
  uint32_t downStatus_ = kStatusDeviceNotConnected;
  std::chrono::steady_clock::time_point downSince_;
  std::chrono::milliseconds hold_{0};
  LoginLoss login_ = LoginLoss::AtFailure;  // of the link failure in force while down_
  std::vector<Fault> faults_;
  PathCounters counters_;
};

}  // namespace sim::hw
