// Inside of TapeLibrary: elements, initiators and one handler per command.
// Everything here runs under Impl::mutex.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>

#include "identity.h"
#include "unit_attention.h"
#include "sense.h"
#include "sim/hw/library.h"

namespace sim::hw {

struct LibraryInitiator {
  std::string name;
  uint32_t targetPort = 0;
  bool preventRemoval = false;
  UnitAttentions unitAttentions;
};

// A storage, import/export or transport element holds its cartridge itself; a
// data-transfer element's cartridge is inside its drive.
struct Element {
  ElementType type = ElementType::Storage;
  uint32_t index = 0;
  uint16_t address = 0;
  std::unique_ptr<Medium> medium;
  TapeDrive* drive = nullptr;
  std::optional<uint16_t> source;
  std::optional<std::pair<uint8_t, uint8_t>> exception;  // EXCEPT with this ASC/ASCQ
};

struct LibraryExchange {
  InitiatorId id;
  LibraryInitiator& ini;
  std::span<const uint8_t> cdb;
  const Command& cmd;
  CommandResult& res;
  std::unique_lock<std::mutex>& lock;
  const Fault* picker = nullptr;  // a DropInPicker fault of the path this command acts out
  bool pathFaulted = false;       // a fault of the path matched the command
};

struct TapeLibrary::Impl {
  explicit Impl(LibraryConfig config);

  mutable std::mutex mutex;
  LibraryConfig cfg;
  uint64_t wwnn = 0;
  std::deque<LibraryInitiator> initiators;  // a deque: a waiting mover keeps its reference
  std::vector<Element> elements;  // transport, import/export, data transfer, storage
  std::optional<InitiatorId> reserveHolder;
  std::vector<Fault> faults;
  bool unreachable = false;
  uint32_t unreachableStatus = 0;
  std::vector<MoveRecord> moves;

  // The robot's work: until `robotUntil` on the library's clock, or while another host holds it.
  using Clock = std::chrono::steady_clock;
  bool manualClock = false;
  Clock::time_point manualNow{};
  std::optional<Clock::time_point> robotUntil;
  bool robotHeld = false;
  mutable std::condition_variable robotChanged;
  bool mainDoorOpen = false;
  bool ieDoorOpen = false;

  Clock::time_point now() const { return manualClock ? manualNow : Clock::now(); }
  bool robotAtWork() const { return robotHeld || (robotUntil && now() < *robotUntil); }
  // Starts the robot for `duration` and waits, with the mutex released, until it is done.
  void runRobot(std::unique_lock<std::mutex>& lock, std::chrono::microseconds duration);
  // Starts an inventory that nobody waits for (after a door closed).
  void startInventory();
  // The DropInPicker fault a move that reaches the robot acts out, consumed; none when none matches.
  std::optional<Fault> takePickerFault(LibraryExchange& x);
  // True when the command was answered with the robot's busy answer or a door's 02/04/03.
  bool robotUnavailable(LibraryExchange& x, bool beforeAttention);

  // library.cpp
  CommandResult run(std::unique_lock<std::mutex>& lock, InitiatorId id, const Command& cmd, const Fault* pathFault);
  void dispatch(LibraryExchange& x);
  void doReset();
  void postUnitAttentionToAll(SenseCode code);
  Element* find(uint16_t address);
  bool full(const Element& e) const;
  std::string volumeOf(const Element& e) const;
  ElementState stateOf(const Element& e) const;
  static void check(LibraryExchange& x, const Sense& s);
  static void sendData(LibraryExchange& x, std::vector<uint8_t> data, std::size_t allocationLength);

  // library_smc.cpp
  void inquiry(LibraryExchange& x);
  void requestSense(LibraryExchange& x);
  void modeSense(LibraryExchange& x, bool ten);
  void readElementStatus(LibraryExchange& x);
  void moveMedium(LibraryExchange& x);
  bool doorBlocksMove(const Element& source, const Element& destination) const;
  void initializeElementStatus(LibraryExchange& x);
  void positionToElement(LibraryExchange& x);
  void preventAllow(LibraryExchange& x);
  void reserve(LibraryExchange& x);
  void release(LibraryExchange& x);
};

}  // namespace sim::hw
