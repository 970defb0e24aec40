// Inside of TapeDrive: the state a real drive keeps and one handler per command.
// Everything here runs under Impl::mutex.
#pragma once

#include <deque>
#include <mutex>
#include <span>

#include "identity.h"
#include "sense.h"
#include "sim/hw/tape_drive.h"

namespace sim::hw {

struct SenseCode {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool operator==(const SenseCode&) const = default;
};

inline constexpr SenseCode kUaPowerOnReset{0x6, 0x29, 0x00};
inline constexpr SenseCode kUaMediumChanged{0x6, 0x28, 0x00};
inline constexpr SenseCode kUaOperatorRemovalRequest{0x6, 0x5A, 0x01};
inline constexpr SenseCode kUaReservationsPreempted{0x6, 0x2A, 0x03};
inline constexpr SenseCode kUaReservationsReleased{0x6, 0x2A, 0x04};
inline constexpr SenseCode kUaRegistrationsPreempted{0x6, 0x2A, 0x05};

// State of one I_T nexus.
struct Initiator {
  std::string name;
  uint32_t targetPort = 0;
  uint32_t blockLength = 0;
  bool compression = true;
  LbpSettings lbp;
  bool preventRemoval = false;
  uint8_t amu = 0;
  std::deque<SenseCode> unitAttentions;
  std::optional<uint64_t> prKey;
};

// One command in flight.
struct Exchange {
  InitiatorId id;
  Initiator& ini;
  std::span<const uint8_t> cdb;  // at least cdbLength(opcode) bytes
  const Command& cmd;
  CommandResult& res;
  const Fault* injected;  // PartialWrite directive, or nullptr

  bool failed() const { return res.scsiStatus != kScsiGood || res.transportStatus != 0; }
};

struct TapeDrive::Impl {
  explicit Impl(DriveConfig config);

  mutable std::mutex mutex;
  DriveConfig cfg;
  uint64_t wwnn = 0;
  std::vector<Initiator> initiators;

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

  std::vector<Fault> faults;
  bool unreachable = false;
  uint32_t unreachableStatus = 0;
  std::deque<CommandLogEntry> log;

  // drive.cpp
  CommandResult run(InitiatorId id, const Command& cmd, const Fault* pathFault);
  void dispatch(Exchange& x);
  void doReset();
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
  void locate10(Exchange& x);
  void locate16(Exchange& x);
  void locateTo(Exchange& x, uint64_t object);
  void readPosition(Exchange& x);
  void erase(Exchange& x);
  void verify(Exchange& x);
  void loadUnload(Exchange& x);
  void preventAllow(Exchange& x);
  uint32_t protectionBytes(const Initiator& ini, bool forWrite) const;

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
