// Inside of TapeDrive: the state a real drive keeps and one handler per command.
// Everything here runs under Impl::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <span>

#include "drive_stream.h"
#include "identity.h"
#include "sense.h"
#include "sim/hw/tape_drive.h"
#include "unit_attention.h"

namespace sim::hw {

// What MODE SELECT sets: the block descriptor's block length (0: variable-length blocks), the data
// compression page, the control data protection page and the header's buffered mode.
struct ModeParameters {
  uint32_t blockLength = 0;
  bool compression = true;
  LbpSettings lbp;
  uint8_t bufferedMode = 0;  // 0 unbuffered, 1 buffered
  bool operator==(const ModeParameters&) const = default;
};
// READ POSITION data of service action `form` (00h/01h short, 06h long, 08h extended).
std::vector<uint8_t> readPositionData(uint8_t form, const TapePosition& position, bool endOfPartition);

// State of one I_T nexus.
struct Initiator {
  std::string name;
  uint32_t targetPort = 0;
  ModeParameters ownMode;  // used only with per-login mode pages
  bool preventRemoval = false;
  uint8_t amu = 0;
  UnitAttentions unitAttentions;
  std::optional<uint64_t> prKey;
};

// One command in flight.
struct Exchange {
  InitiatorId id;
  Initiator& ini;
  std::span<const uint8_t> cdb;  // at least cdbLength(opcode) bytes
  const Command& cmd;
  CommandResult& res;
  const Fault* injected;  // PartialWrite, PartialTransfer or DeferredError directive, or nullptr
  // Set by a positioning command that started a motion the caller waits for.
  std::optional<uint64_t> awaitMotion = std::nullopt;

  bool failed() const { return res.scsiStatus != kScsiGood || res.transportStatus != 0; }
};

struct TapeDrive::Impl {
  explicit Impl(DriveConfig config);

  mutable std::mutex mutex;
  DriveConfig cfg;
  uint64_t wwnn = 0;
  std::vector<Initiator> initiators;
  ModeParameters sharedMode;  // used only with shared mode pages

  // The mode parameters the initiator's commands run with.
  ModeParameters& mode(Initiator& ini) { return cfg.modePages == ModePagePolicy::Shared ? sharedMode : ini.ownMode; }
  const ModeParameters& mode(const Initiator& ini) const {
    return cfg.modePages == ModePagePolicy::Shared ? sharedMode : ini.ownMode;
  }
  ModeParameters defaultMode() const;

  std::unique_ptr<Medium> medium;
  MediumState state = MediumState::Absent;
  uint64_t pos = 0;

  std::optional<InitiatorId> reserve6Holder;
  struct Persistent {
    InitiatorId holder;
    uint8_t type;
  };
  std::optional<Persistent> persistent;
  uint32_t prGeneration = 0;

  // Write buffer: objects acknowledged but not on the medium. They belong at
  // medium objects bufferBase, bufferBase + 1, ...; while it holds anything the
  // position is bufferBase + buffer.size().
  std::deque<Record> buffer;
  uint64_t bufferBase = 0;
  uint64_t bufferBytes = 0;
  struct Deferred {
    std::optional<InitiatorId> owner;  // reported to this initiator; to anyone once its nexus is lost
    Sense sense;
    std::optional<std::size_t> loss;   // index into losses
  };
  std::deque<Deferred> deferred;
  std::vector<BufferLoss> losses;

  // Position known: false after an interrupted motion until repositioned.
  bool positionKnown = true;

  // Tape motion in simulated time.
  using Clock = std::chrono::steady_clock;
  bool manualClock = false;
  Clock::time_point manualNow{};
  struct Motion {
    uint64_t serial = 0;
    InitiatorId initiator = 0;
    uint8_t opcode = 0;
    bool immediate = false;
    Clock::time_point start, end;
    uint64_t from = 0, to = 0;
    std::optional<Sense> outcome;  // what the command reports when the motion ends
  };
  std::optional<Motion> motion;
  // A cartridge threading (load) or unthreading (unload). The medium's state changes when it ends.
  struct Loading {
    uint64_t serial = 0;
    bool load = true;
    bool waited = false;    // a LOAD or UNLOAD without IMMED waits for it
    bool inserted = false;  // put in by a library or the operator: every initiator hears 06/28/00
    std::optional<InitiatorId> initiator;  // the one that asked (it hears no 06/28/00 of its own load)
    Clock::time_point start, end;
  };
  std::optional<Loading> loading;
  // Writing the buffer after a link dropped: the bytes written since `drainFrom`.
  std::optional<Clock::time_point> drainFrom;
  uint64_t drainedBytes = 0;
  uint64_t motionSerial = 0;
  std::map<uint64_t, bool> motionEnded;  // waited-for motions that ended: serial -> interrupted
  std::condition_variable motionChanged;

  std::vector<Fault> faults;
  bool unreachable = false;
  uint32_t unreachableStatus = 0;
  std::deque<CommandLogEntry> log;
  std::condition_variable answered;  // for awaitAnswer

  // drive.cpp
  CommandResult run(std::unique_lock<std::mutex>& lock, InitiatorId id, const Command& cmd, const Fault* pathFault);
  void dispatch(Exchange& x);
  bool admit(Exchange& x);    // unit attention, deferred error, reservation, motion; then flush
  void perform(Exchange& x);  // the command itself
  void doReset();
  void doPowerCycle();
  void loseNexus(InitiatorId id);
  void postUnitAttention(InitiatorId id, SenseCode code);
  void postUnitAttentionToAll(SenseCode code, std::optional<InitiatorId> except = std::nullopt);
  void defaultSettings(Initiator& ini) const;
  void record(const Exchange& x);
  static void check(Exchange& x, const Sense& s);
  static void sendData(Exchange& x, std::vector<uint8_t> data, std::size_t allocationLength);
  static void failInjected(Exchange& x, const Fault& f, std::optional<int32_t> information);
  bool loaded(Exchange& x);  // NOT READY unless a medium is loaded
  TapePosition positionInfo() const;

  // drive_data.cpp: medium access
  void testUnitReady(Exchange& x);
  void rewind(Exchange& x);
  void readBlocks(Exchange& x, bool reverse, bool fixed, bool sili, uint32_t count, bool deliver);
  void read(Exchange& x, bool reverse);
  void write(Exchange& x);
  void writeFilemarks(Exchange& x);
  void space(Exchange& x);
  void spaceBy(Exchange& x, uint8_t code);
  void locate10(Exchange& x);
  void locate16(Exchange& x);
  void locateTo(Exchange& x, uint64_t object);
  void readPosition(Exchange& x);
  void erase(Exchange& x);
  void verify(Exchange& x);
  void loadUnload(Exchange& x);
  void preventAllow(Exchange& x);
  uint32_t protectionBytes(const Initiator& ini, bool forWrite) const;

  // drive_buffer.cpp: write buffer and deferred errors
  bool buffering(const Initiator& ini) const { return cfg.buffered && mode(ini).bufferedMode != 0; }
  void flush();                                   // everything in the buffer to the medium
  void drainObjects(std::size_t n);               // the oldest n buffered objects to the medium
  void drainFor(uint64_t incomingBytes);          // room for incoming bytes
  void bufferObject(Record record);
  uint64_t logicalEndOfData() const;
  uint64_t logicalBytesBefore(uint64_t object) const;  // object <= logical end of data
  uint64_t logicalFilemarksBefore(uint64_t object) const;
  void failBufferedWrite(Exchange& x, const Fault& f, uint32_t total, uint32_t k);
  void discardBuffer(LossCause cause);
  bool reportDeferred(Exchange& x);
  std::optional<Sense> takeDeferred(InitiatorId id);

  // drive_stream.cpp: the time a command takes at the drive's data rate
  StreamClock stream;
  StreamClock::Clock::time_point pace(InitiatorId id, const Command& cmd, const CommandResult& res);

  // drive_sixteen.cpp: READ(16), WRITE(16), WRITE FILEMARKS(16), SPACE(16)
  static bool isSixteenByteData(uint8_t op);
  void sixteen(Exchange& x);

  // drive_motion.cpp: tape motion in simulated time
  Clock::time_point now() const { return manualClock ? manualNow : Clock::now(); }
  // Starts the motion of a positioning command that moved the position from
  // `from` to `pos`; instantaneous (returns false) without a motion model.
  bool startMotion(Exchange& x, uint64_t from, std::chrono::microseconds duration);
  std::chrono::microseconds travelTime(uint64_t from, uint64_t to) const;
  void settleMotion();                           // ends a motion, a load or a drain step whose time is up
  void startLoad(std::optional<InitiatorId> by, bool load, bool waited, bool inserted);
  void finishLoad();
  void settleDrain();
  void startDrain();                             // a link dropped: the drive writes what it holds
  bool blockedByLoad(Exchange& x);               // 02/04/01 while a cartridge loads, 02/04/07 while it unloads
  std::optional<Clock::time_point> nextEvent() const;
  bool blockedByMotion(Exchange& x);             // 02/04/07 while the tape moves
  void abortMotion(std::optional<InitiatorId> only, bool immediateToo);
  void awaitMotion(std::unique_lock<std::mutex>& lock, Exchange& x, uint64_t serial);
  bool positionLost(Exchange& x);                // 03/3B/00 while the position is unknown

  // drive_mode.cpp: identification, sense, mode parameters, private settings
  void inquiry(Exchange& x);
  void requestSense(Exchange& x);
  void readBlockLimits(Exchange& x);
  void modeSense(Exchange& x, bool ten);
  void modeSelect(Exchange& x, bool ten);
  void vendor(Exchange& x);

  // drive_reserve.cpp: reservations
  bool conflicts(const Exchange& x) const;
  bool isHolder(InitiatorId id) const;
  void reserve6(Exchange& x);
  void release6(Exchange& x);
  void persistentReserveIn(Exchange& x);
  void persistentReserveOut(Exchange& x);
  void unregister(InitiatorId id);
  void releasePersistent(InitiatorId by);
};

}  // namespace sim::hw
