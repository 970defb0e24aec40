// A simulated tape library: a SCSI medium changer (a subset of SMC with SPC
// RESERVE/RELEASE) with one picker (medium transport element), import/export
// elements, storage slots and data-transfer elements that are simulated tape
// drives of the same SAN.
//
// The library is reached over one or more control paths (see path.h); each is an
// initiator with its own unit attentions, medium-removal prevention and
// reservation state. It keeps the ground truth of where every cartridge is: a
// cartridge in a storage, import/export or transport element belongs to the
// library, a cartridge moved into a drive element is inside that TapeDrive (the
// drive sees its medium loaded, as after an operator's insert) and comes back
// only after the drive has ejected it.
//
// Element addresses: transport from 0, import/export from 16, data transfer from
// 256, storage from 4096 (ElementAddressing). Commands are serialised under the
// library's mutex; a move that reaches a drive takes the drive's lock inside it
// (library first, drive second; a drive never calls its library).
//
// With a robot model (LibraryConfig::robot) MOVE MEDIUM, POSITION TO ELEMENT and
// INITIALIZE ELEMENT STATUS take time on the library's clock. The initiator that
// sent one waits for it (the cartridge rides in the transport element meanwhile);
// every other command from any initiator, except INQUIRY and REQUEST SENSE, is
// answered NOT READY 02/04/01 or BUSY status (RobotModel::busyAnswer) until the
// robot is done. A move can fail with the cartridge left in the picker
// (FaultKind::DropInPicker). An open door (openDoor) makes the robot commands
// report 02/04/03; closing it gives every initiator a unit attention and the
// library takes a new inventory, which keeps the robot busy as above.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hw/fault.h"
#include "sim/hw/medium.h"
#include "sim/hw/scsi.h"
#include "sim/hw/tape_drive.h"
#include "sim/hw/target.h"

namespace sim::hw {

namespace opcode {
inline constexpr uint8_t kInitializeElementStatus = 0x07;
inline constexpr uint8_t kPositionToElement = 0x2B;
inline constexpr uint8_t kMoveMedium = 0xA5;
inline constexpr uint8_t kExchangeMedium = 0xA6;
inline constexpr uint8_t kReadElementStatus = 0xB8;
}  // namespace opcode

// SMC element type codes.
enum class ElementType : uint8_t {
  Transport = 1,
  Storage = 2,
  ImportExport = 3,
  DataTransfer = 4,
};

struct ElementAddressing {
  uint16_t firstTransport = 0;
  uint16_t firstImportExport = 16;
  uint16_t firstDataTransfer = 256;
  uint16_t firstStorage = 4096;
};

// What another initiator hears while the robot is at work.
enum class RobotBusyAnswer : uint8_t {
  NotReady,  // CHECK CONDITION, 02/04/01 (becoming ready)
  Busy,      // BUSY status
};

// Time the robot takes. Zero (the default) makes it instantaneous.
struct RobotModel {
  std::chrono::microseconds move{0};       // MOVE MEDIUM
  std::chrono::microseconds position{0};   // POSITION TO ELEMENT
  std::chrono::microseconds inventory{0};  // INITIALIZE ELEMENT STATUS, and the inventory after a door closes
  RobotBusyAnswer busyAnswer = RobotBusyAnswer::NotReady;
};

// The main door of the library, or the door of its import/export elements.
enum class LibraryDoor : uint8_t { Main, ImportExport };

struct LibraryConfig {
  DriveIdentity identity = [] {
    DriveIdentity id;
    id.product = "VIRTUAL LIBRARY";
    return id;
  }();
  uint32_t slots = 8;
  uint32_t ieSlots = 1;
  // The data-transfer elements, in element order; they must outlive the library
  // (the SAN owns both).
  std::vector<TapeDrive*> drives;
  // Cartridges placed into the storage slots from the first (labels = volume tags).
  std::vector<std::string> volumes;
  ElementAddressing addressing;
  bool powerOnAttention = true;  // every initiator gets 06/29/00 before its first command
  // A lost login (see Path) releases that initiator's RESERVE(6) and prevention of medium removal,
  // and its next command reports 06/29/07, as a library does. Off, the library keeps both and reports
  // nothing, as if it never saw the login go.
  bool nexusLossReleases = true;
  TimingModel timing;            // time a delivered command takes (a move, an inventory)
  RobotModel robot;              // time the robot takes, and what others hear meanwhile
};

// One element as the library knows it (the ground truth).
struct ElementState {
  ElementType type = ElementType::Storage;
  uint32_t index = 0;    // zero-based within its type
  uint16_t address = 0;  // element address
  bool full = false;
  std::string volume;                   // label of the cartridge, empty when none
  std::optional<uint16_t> source;       // element the cartridge was last moved from
  // The element reports an exception (EXCEPT) with this ASC/ASCQ: a cartridge the robot dropped in
  // its picker.
  std::optional<std::pair<uint8_t, uint8_t>> exception;
};

struct MoveRecord {
  InitiatorId initiator = 0;
  uint16_t source = 0;
  uint16_t destination = 0;
  std::string volume;
};

// "transport:0", "ie:1", "drive:0", "slot:3".
std::string elementName(ElementType type, uint32_t index);
std::optional<std::pair<ElementType, uint32_t>> parseElementName(std::string_view name);

class TapeLibrary : public ScsiTarget {
 public:
  explicit TapeLibrary(LibraryConfig config);
  ~TapeLibrary() override;
  TapeLibrary(const TapeLibrary&) = delete;
  TapeLibrary& operator=(const TapeLibrary&) = delete;

  const DriveIdentity& identity() const noexcept override;
  uint8_t peripheralType() const noexcept override { return kPeripheralMediumChanger; }
  uint64_t portName(uint32_t port) const noexcept override;
  TimingModel timing() const override;
  void setTiming(TimingModel timing);
  uint64_t wwnn() const noexcept;

  InitiatorId attachInitiator(std::string name, uint32_t targetPort = 0) override;
  CommandResult execute(InitiatorId initiator, const Command& command, const Fault* injected = nullptr) override;
  // Reset: clears RESERVE(6), every prevention of medium removal, and gives every
  // initiator 06/29/00. Cartridges stay where they are.
  void reset() override;
  // The initiator's login was lost (LibraryConfig::nexusLossReleases).
  void nexusLost(InitiatorId initiator) override;

  void injectFault(const Fault& fault);  // faults of the library itself (every control path)
  void clearFaults();

  const ElementAddressing& addressing() const noexcept;
  uint32_t count(ElementType type) const noexcept;
  std::optional<uint16_t> addressOf(ElementType type, uint32_t index) const noexcept;
  TapeDrive* drive(uint32_t index) const noexcept;

  // Operator at the import/export element: puts a new cartridge in (false when
  // that element is full or the door is locked by a prevention) / takes one out
  // (nullptr when empty or locked). Either gives every initiator 06/28/01.
  bool operatorImport(uint32_t ieIndex, std::unique_ptr<Medium> medium);
  std::unique_ptr<Medium> operatorExport(uint32_t ieIndex);

  // Operator at a door. Opening the main door stops the robot's commands (02/04/03, manual
  // intervention required); opening the import/export door stops the moves to or from an
  // import/export element (false when a prevention locks that door). Closing a door gives every
  // initiator 06/28/00 (main) or 06/28/01 (import/export) and starts a new inventory.
  bool openDoor(LibraryDoor door);
  void closeDoor(LibraryDoor door);
  bool doorOpen(LibraryDoor door) const;

  // Another host's long work keeps the robot busy until releaseRobot(): every initiator hears the
  // busy answer meanwhile, and nothing moves.
  void holdRobot();
  void releaseRobot();

  // The library's clock runs with real time until useManualClock(); from then on only
  // advanceClock() moves it, so that tests step through the robot's work.
  void useManualClock();
  void advanceClock(std::chrono::microseconds by);
  // The robot is moving, taking an inventory or held by another host.
  bool robotBusy() const;
  // Waits until the robot is busy (woken when it starts), at most `limit` in real time.
  bool awaitRobotBusy(std::chrono::milliseconds limit) const;
  // Waits until the robot is idle, at most `limit` in real time.
  bool awaitRobotIdle(std::chrono::milliseconds limit) const;

  // Ground truth.
  std::vector<ElementState> elements() const;
  std::optional<ElementState> findVolume(std::string_view volume) const;
  std::vector<MoveRecord> moves() const;  // every completed move, oldest first
  std::vector<std::string> pendingUnitAttentions(InitiatorId initiator) const;  // "29/00", oldest first
  bool removalPrevented() const;
  std::optional<InitiatorId> reservationHolder() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim::hw
