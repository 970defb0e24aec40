// A simulated SCSI tape drive (a subset of SSC with SPC reservations).
//
// The drive serialises commands under one mutex, as a real drive does. Commands
// arrive through paths (see path.h); each path is an initiator (I_T nexus) with
// its own medium-removal prevention, AMU setting, unit attentions and
// reservation state, while the medium and its position belong to the drive.
//
// The mode parameters (block length, data compression, buffered mode, logical
// block protection) follow DriveConfig::modePages. Shared (as most drives do):
// the drive has one set, and a MODE SELECT that changes any of them gives every
// other initiator one 06/2A/01 MODE PARAMETERS CHANGED. Per login: each
// initiator has its own, and nobody else hears of a change. VPD page 0x87 tells
// which.
//
// A reset (Reset fault, task management through a path, or reset()) rewinds the
// medium when DriveConfig::rewindOnReset is set (the default, as most drives
// do), clears RESERVE(6) reservations, prevention of medium removal and every
// the mode parameters and every initiator's AMU setting back to their defaults, keeps
// persistent reservations and registrations, and gives every initiator one
// 06/29/<DriveConfig::resetAscq> unit attention. A power cycle (powerCycle())
// also drops persistent reservations and registrations, discards the buffer,
// rewinds and unloads the cartridge, and reports 06/29/01.
//
// Losing a path's login (see Path: at the link failure, at the link's return,
// or never) is an I_T nexus loss for that initiator only: its RESERVE(6)
// reservation, its prevention of medium removal, its AMU setting and (with
// per-login mode pages) its mode parameters go back to their defaults (shared
// mode parameters are the drive's and stay), its next command sees
// 06/29/<DriveConfig::loginAscq> (or nothing), and its registration and any
// persistent reservation survive.
//
// A drive with a write buffer (DriveConfig::buffered) acknowledges writes of an
// initiator in buffered mode when they are in the buffer; they reach the medium
// when a command needs the medium, when the buffer is full, on WRITE FILEMARKS
// without IMMED, or by flushBuffer(). The buffer belongs to the drive: a lost
// path never loses it; a reset may (DriveConfig::resetKeepsBuffer).
//
// With a motion model (DriveConfig::motion) LOCATE, SPACE, REWIND and long
// ERASE take time on the drive's clock. With IMMED the command returns at once
// and other medium commands see 02/04/07 until the motion ends; without IMMED
// the caller waits. LOAD and UNLOAD (and a cartridge inserted by a library or the
// operator) take MotionModel::load and ::unload the same way, IMMED included;
// while a cartridge loads, TEST UNIT READY and medium commands see 02/04/01, and
// an inserted cartridge then gives every initiator 06/28/00. A reset, a preempt of the moving initiator's registration,
// or the loss of the waiting initiator's path stops the motion and leaves the
// position unknown until the tape is repositioned (REWIND, LOCATE, SPACE to
// end-of-data, LOAD).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/hw/fault.h"
#include "sim/hw/medium.h"
#include "sim/hw/scsi.h"
#include "sim/hw/target.h"

namespace sim::hw {

struct DriveIdentity {
  std::string vendor = "VORKA";        // INQUIRY bytes 8..15, space padded
  std::string product = "VIRTUAL TAPE";  // bytes 16..31
  std::string revision = "0100";      // bytes 32..35
  std::string serial;                  // up to 32 ASCII characters (VPD 0x80)
  uint64_t wwnn = 0;                   // NAA logical-unit name (VPD 0x83), 0: derived from the serial
  uint32_t ports = 2;                  // target ports; each has its own port name
};

struct BlockLimits {
  uint32_t maximum = 0x00800000;  // bytes
  uint16_t minimum = 1;
  uint8_t granularity = 0;
};

// Optional transfer-time model: each delivered command takes `perCommand` plus
// its data bytes at `bytesPerSecond`. Zero (the default) means no delay. The
// delay is a sleep of the calling thread outside every lock.
struct TimingModel {
  uint64_t bytesPerSecond = 0;
  std::chrono::microseconds perCommand{0};
};

// Optional time model of tape motion. Zero durations (the default) make every
// positioning command instantaneous.
struct MotionModel {
  std::chrono::microseconds perCommand{0};  // start and settle of every LOCATE, SPACE, REWIND, long ERASE
  std::chrono::microseconds perObject{0};   // travel past one logical object
  std::chrono::microseconds longErase{0};   // ERASE with LONG set, on top of perCommand
  // Threading and loading a cartridge (LOAD, or one a library or the operator puts in), and
  // rewinding and unthreading it (UNLOAD). A real drive takes 10 to 20 seconds for either.
  std::chrono::microseconds load{0};
  std::chrono::microseconds unload{0};
  bool operator==(const MotionModel&) const = default;
};

// Who owns the mode parameters: the drive (every initiator sees one set; policy
// 00b in VPD page 0x87) or each I_T nexus (policy 11b).
enum class ModePagePolicy : uint8_t { Shared, PerLogin };

struct DriveConfig {
  DriveIdentity identity;
  BlockLimits limits;
  uint32_t defaultBlockLength = 0;  // 0: variable-length blocks
  uint8_t densityCode = 0x58;
  uint8_t defaultAmu = 0;
  uint32_t dpfFlags = 0x1;          // bit 0 exclusive access, bit 1 persistent naming, bit 2 encryption
  bool rewindOnReset = true;
  // Every initiator gets 06/29/00 once after power-on (its first command).
  bool powerOnAttention = true;
  // A cartridge loaded at power-on; none when nullopt.
  std::optional<MediumConfig> medium = MediumConfig{};
  TimingModel timing;
  // The drive has a write buffer and initiators start in buffered mode 1.
  // Without one, MODE SENSE reports buffered mode 0 and MODE SELECT's buffered
  // mode is ignored (the field is not changeable).
  bool buffered = false;
  uint64_t bufferCapacity = 8ull << 20;  // data bytes the buffer holds
  // A reset writes the buffer to the medium first instead of discarding it.
  bool resetKeepsBuffer = false;
  // The unit attention a reset gives every initiator: 06/29/<resetAscq> (00 power on or reset,
  // 01 power on, 02 bus reset, 03 bus device reset function; a logical unit reset is often 03).
  uint8_t resetAscq = 0x00;
  // What an initiator whose nexus was lost reports at its next command through the new nexus:
  // 06/29/<loginAscq> (07, I_T nexus loss, by default; many drives report 00, 02 or 03 instead),
  // or nothing when unset (a drive that recovers a login quietly).
  std::optional<uint8_t> loginAscq = uint8_t{0x07};
  MotionModel motion;
  ModePagePolicy modePages = ModePagePolicy::Shared;
  // What the drive does with its write buffer once a path's link drops: unset, the buffer waits for
  // the next command that needs the medium (or a reset that discards it); set, the drive keeps
  // writing what it acknowledged, taking this long per 10^6 bytes (zero: it is on the medium at once).
  std::optional<std::chrono::microseconds> drainPerMB;
  // The vendor-unique commands (C0h-FFh) report and clear a pending unit attention as every other
  // command does, as real drives do; unset, they pass it by (the AMU and DPF-flag requests of the
  // base driver then never take a notice meant for the application's next command).
  bool vendorCommandsHearAttentions = false;
};

// Logical block protection settings (control data protection mode page).
struct LbpSettings {
  uint8_t method = 0;  // 0 none, 2 CRC32C
  uint8_t length = 0;  // protection information bytes per block (4 for CRC32C)
  bool write = false;  // LBP_W: blocks sent to the drive carry protection information
  bool read = false;   // LBP_R: blocks read from the drive carry it
  bool rbdp = false;   // recover buffered data protected
  bool operator==(const LbpSettings&) const = default;
};

// Settings as one initiator sees them (the mode parameters are the drive's when they are shared).
struct InitiatorSettings {
  std::string name;
  uint32_t targetPort = 0;  // drive port this initiator reaches (see TapeDrive::portName)
  uint32_t blockLength = 0;
  bool compression = true;
  LbpSettings lbp;
  bool preventRemoval = false;
  uint8_t amu = 0;
  uint8_t bufferedMode = 0;  // mode parameter header: 0 unbuffered, 1 buffered
  std::optional<uint64_t> registrationKey;  // persistent reservation registration
  std::vector<std::string> pendingUnitAttentions;  // "29/00", oldest first
};

struct ReservationState {
  std::optional<InitiatorId> reserve6Holder;  // RESERVE(6)
  std::optional<InitiatorId> persistentHolder;  // for all-registrants types: the reserving initiator
  uint8_t persistentType = 0;                   // 0: no persistent reservation
  uint32_t generation = 0;
  std::vector<std::pair<InitiatorId, uint64_t>> registrations;
};

enum class MediumState : uint8_t {
  Absent,    // no cartridge
  Unloaded,  // cartridge in the drive, not loaded (LOAD brings it back)
  Loaded,
};

// The position as an initiator sees it: objects in the write buffer count as
// written (they are before the position), though they are not on the medium yet.
struct TapePosition {
  uint64_t object = 0;  // logical object number (blocks and filemarks before)
  uint64_t file = 0;    // filemarks before
  uint64_t endOfData = 0;
  bool beginningOfMedium = false;
  bool beyondEarlyWarning = false;
  bool known = true;             // false after an interrupted motion, until repositioned
  uint64_t bufferedObjects = 0;  // in the write buffer, not yet on the medium
  uint64_t bufferedBytes = 0;
};

// Objects the drive acknowledged to an initiator and then lost before they
// reached the medium.
enum class LossCause : uint8_t { Reset, DeferredError };

struct BufferLoss {
  LossCause cause = LossCause::Reset;
  uint64_t object = 0;          // logical object number where the first lost object belonged
  std::vector<Record> records;  // in order
  bool reported = false;        // a deferred error told an initiator (a reset's attention always does)
};

struct CommandLogEntry {
  InitiatorId initiator = 0;
  uint8_t opcode = 0;
  uint8_t scsiStatus = 0;
  uint8_t senseKey = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
};

class TapeDrive : public ScsiTarget {
 public:
  explicit TapeDrive(DriveConfig config);
  ~TapeDrive() override;
  TapeDrive(const TapeDrive&) = delete;
  TapeDrive& operator=(const TapeDrive&) = delete;

  const DriveIdentity& identity() const noexcept override;
  uint8_t peripheralType() const noexcept override { return kPeripheralSequentialAccess; }
  uint64_t wwnn() const noexcept;
  uint64_t portName(uint32_t port) const noexcept override;  // NAA name of a target port
  TimingModel timing() const override;
  void setTiming(TimingModel timing);
  MotionModel motion() const;
  void setMotion(MotionModel motion);  // applies to motions that start later

  // A new I_T nexus through target port `targetPort` (done by the SAN when a
  // path is connected).
  InitiatorId attachInitiator(std::string name, uint32_t targetPort = 0) override;

  // Runs one command from an initiator. `injected` is a fault matched by the
  // path that the drive has to act out (partial write, lost completion, reset).
  CommandResult execute(InitiatorId initiator, const Command& command,
                        const Fault* injected = nullptr) override;

  // Task management: logical unit reset, and the operator's or environment's
  // view of a reset.
  void reset() override;

  // The initiator's I_T nexus was lost (its path went down or vanished).
  void nexusLost(InitiatorId initiator) override;
  // Every initiator's nexus was lost (the drive left the fabric).
  void allNexusesLost();
  // The drive's power goes off and on again.
  void powerCycle();

  // The drive writes everything in its write buffer to the medium now.
  void flushBuffer();

  // The drive's clock runs with real time until useManualClock(); from then
  // on only advanceClock() moves it, which lets tests step through motions,
  // and the time a command's data takes (the timing model) moves it to the
  // command's completion before the command returns: no initiator waits in
  // real time, and what the stream took can be read off the clock.
  void useManualClock();
  void advanceClock(std::chrono::microseconds by);
  std::chrono::steady_clock::time_point clockNow() const;
  // A LOCATE, SPACE, REWIND or ERASE is moving the tape, or a cartridge is loading or unloading.
  bool motionInProgress() const;
  // Waits until a motion is in progress (woken when one starts), at most `limit` in real time.
  bool awaitMotion(std::chrono::milliseconds limit) const;

  // Operator or library: insert a cartridge. It loads (at once without a load time), and then every
  // initiator gets 06/28/00.
  // Returns the cartridge back when the drive already holds one.
  std::unique_ptr<Medium> insertCartridge(std::unique_ptr<Medium> medium);
  // Operator presses unload: with removal prevented every initiator gets
  // 06/5A/01 and nothing moves; otherwise the medium is rewound and unloaded.
  void operatorUnload();
  // Operator takes an unloaded cartridge out (nullptr when there is none or it
  // is still loaded, loading or unloading).
  std::unique_ptr<Medium> takeCartridge();

  void injectFault(const Fault& fault);
  void clearFaults();
  void setDpfFlags(uint32_t flags);

  // Ground truth, read under the drive's lock.
  MediumState mediumState() const;
  std::optional<TapePosition> position() const;
  std::vector<Record> records() const;          // on the medium, in order
  std::vector<Record> bufferedRecords() const;  // acknowledged, not yet on the medium, in order
  // The tape as it reads once the buffer is written: the medium up to where the buffered objects
  // go (they replace whatever the medium holds from there on), then the buffered objects.
  std::vector<Record> logicalRecords() const;
  std::vector<BufferLoss> bufferLosses() const; // acknowledged and lost, oldest first
  std::size_t bufferLossCount() const;          // bufferLosses().size(), without copying them
  std::string dumpMedium() const;
  void withMedium(const std::function<void(const Medium*)>& reader) const;
  InitiatorSettings initiatorSettings(InitiatorId initiator) const;
  ReservationState reservations() const;
  std::vector<CommandLogEntry> commandLog() const;  // the most recent commands, oldest first
  // Waits until the drive has answered a command that `matches` (the recent commands of
  // commandLog() included; woken by each answer), at most `limit` in real time.
  bool awaitAnswer(const std::function<bool(const CommandLogEntry&)>& matches,
                   std::chrono::milliseconds limit) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim::hw
