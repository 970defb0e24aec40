// Inside of TapeLibrary: elements, initiators and one handler per command.
// Everything here runs under Impl::mutex.
#pragma once

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
};

struct LibraryExchange {
  InitiatorId id;
  LibraryInitiator& ini;
  std::span<const uint8_t> cdb;
  const Command& cmd;
  CommandResult& res;
};

struct TapeLibrary::Impl {
  explicit Impl(LibraryConfig config);

  mutable std::mutex mutex;
  LibraryConfig cfg;
  uint64_t wwnn = 0;
  std::vector<LibraryInitiator> initiators;
  std::vector<Element> elements;  // transport, import/export, data transfer, storage
  std::optional<InitiatorId> reserveHolder;
  std::vector<Fault> faults;
  bool unreachable = false;
  uint32_t unreachableStatus = 0;
  std::vector<MoveRecord> moves;

  // library.cpp
  CommandResult run(InitiatorId id, const Command& cmd, const Fault* pathFault);
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
  void initializeElementStatus(LibraryExchange& x);
  void positionToElement(LibraryExchange& x);
  void preventAllow(LibraryExchange& x);
  void reserve(LibraryExchange& x);
  void release(LibraryExchange& x);
};

}  // namespace sim::hw
