// A library whose robot takes time on a clock the tests step: what other control paths hear while
// it moves or takes an inventory, a move that leaves its cartridge in the picker, and the doors.
#include "hw_fixture.h"

#include "sim/hw/library.h"

#include <future>

namespace hwtest {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> move(uint16_t from, uint16_t to) {
  return {0xA5, 0, 0, 0, static_cast<uint8_t>(from >> 8), static_cast<uint8_t>(from), static_cast<uint8_t>(to >> 8),
          static_cast<uint8_t>(to), 0, 0, 0, 0};
}
std::vector<uint8_t> readTransport() { return {0xB8, 0x01, 0, 0, 0, 1, 0, 0, 0, 64, 0, 0}; }
const std::vector<uint8_t> kInventory{0x07, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kPosition{0x2B, 0, 0, 0, 0x10, 0x01, 0, 0, 0, 0};

constexpr uint16_t kPicker = 0;
constexpr uint16_t kIe0 = 16;
constexpr uint16_t kSlot0 = 4096;
constexpr uint16_t kSlot3 = 4099;

class Robot : public testing::TestWithParam<RobotBusyAnswer> {
 protected:
  Robot() {
    san.addAdapter("hba0");
    san.addAdapter("hba1");
    LibraryConfig config;
    config.identity.serial = "LIBROBOT1";
    config.slots = 4;
    config.volumes = {"VOL001L9", "VOL002L9"};
    config.robot.move = 5s;
    config.robot.position = 2s;
    config.robot.inventory = 30s;
    config.robot.busyAnswer = GetParam();
    library = &san.addLibrary(config);
    library->useManualClock();
    a.path = &san.connect(0, 0, 7, 0, *library, 0);
    b.path = &san.connect(1, 0, 7, 0, *library, 1);
    a.drainAttentions();
    b.drainAttentions();
  }
  // What another path hears while the robot works.
  testing::AssertionResult busy(const CommandResult& r) {
    if (GetParam() == RobotBusyAnswer::Busy) {
      if (r.delivered() && r.scsiStatus == kScsiBusy) return testing::AssertionSuccess();
      return testing::AssertionFailure() << "status 0x" << std::hex << int(r.scsiStatus) << ", not BUSY";
    }
    return hasSense(r, sense_key::kNotReady, 0x04, 0x01);
  }
  // Runs a command of path a that takes the robot's time; returns once the robot is at work.
  std::future<CommandResult> start(std::vector<uint8_t> cdb) {
    auto f = std::async(std::launch::async, [this, cdb] { return a.send(cdb); });
    EXPECT_TRUE(library->awaitRobotBusy(10s));
    return f;
  }
  std::optional<ElementState> element(uint16_t address) {
    for (const ElementState& e : library->elements())
      if (e.address == address) return e;
    return std::nullopt;
  }

  San san;
  TapeLibrary* library = nullptr;
  Host a;
  Host b;
};

TEST_P(Robot, WhileTheRobotMovesACartridgeOtherPathsHearItIsBusyAndTheMoverWaitsForIt) {
  auto mover = start(move(kSlot0, kSlot3));
  // On its way the cartridge rides in the picker.
  EXPECT_EQ(element(kPicker)->volume, "VOL001L9");
  EXPECT_FALSE(element(kSlot0)->full);
  EXPECT_TRUE(busy(b.testUnitReady()));
  EXPECT_TRUE(busy(b.send(readTransport(), 64)));
  EXPECT_TRUE(busy(b.send(move(4097, 4098))));
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good()) << "INQUIRY is always answered";
  EXPECT_EQ(mover.wait_for(0ms), std::future_status::timeout);

  library->advanceClock(4s);
  EXPECT_TRUE(library->robotBusy());
  library->advanceClock(1s);
  EXPECT_TRUE(mover.get().good());
  EXPECT_EQ(element(kSlot3)->volume, "VOL001L9");
  EXPECT_FALSE(element(kPicker)->full);
  EXPECT_TRUE(b.testUnitReady().good());
  ASSERT_EQ(library->moves().size(), 1u) << "the refused move of the other path moved nothing";
}

TEST_P(Robot, AnInventoryAndAPositioningTakeTheirTimeLikewise) {
  auto inventory = start(kInventory);
  library->advanceClock(29s);
  EXPECT_TRUE(busy(b.testUnitReady()));
  library->advanceClock(1s);
  EXPECT_TRUE(inventory.get().good());

  auto position = start(kPosition);
  EXPECT_TRUE(busy(b.send(kInventory)));
  library->advanceClock(2s);
  EXPECT_TRUE(position.get().good());
  EXPECT_TRUE(library->moves().empty());
}

TEST_P(Robot, AMoveThatFailsOnTheWayLeavesTheCartridgeInThePickerWithAnException) {
  Fault drop;
  drop.kind = FaultKind::DropInPicker;
  library->injectFault(drop);
  EXPECT_TRUE(a.testUnitReady().good()) << "the fault waits for a move";
  library->reset();
  EXPECT_TRUE(hasSense(a.send(move(kSlot0, kSlot3)), sense_key::kUnitAttention, 0x29, 0x00))
      << "a move answered with a unit attention never reached the robot";
  b.drainAttentions();
  auto mover = start(move(kSlot0, kSlot3));
  library->advanceClock(5s);
  EXPECT_TRUE(hasSense(mover.get(), sense_key::kHardwareError, 0x15, 0x01));
  EXPECT_FALSE(element(kSlot0)->full) << "the source is empty";
  EXPECT_FALSE(element(kSlot3)->full);
  EXPECT_EQ(element(kPicker)->volume, "VOL001L9");
  EXPECT_TRUE(library->moves().empty());

  // READ ELEMENT STATUS of the transport: FULL and EXCEPT, the condition in ASC/ASCQ, the source valid.
  CommandResult r = b.send(readTransport(), 64);
  ASSERT_TRUE(r.good());
  ASSERT_GE(r.dataIn.size(), 16u + 12);
  const uint8_t* d = &r.dataIn[16];
  EXPECT_EQ(d[2] & 0x05, 0x05);
  EXPECT_EQ(d[4], 0x15);
  EXPECT_EQ(d[5], 0x01);
  EXPECT_EQ((d[10] << 8) | d[11], kSlot0);

  // The picker takes no other cartridge until its own is put away, which clears the exception.
  EXPECT_TRUE(hasSense(b.send(move(4097, 4098)), sense_key::kNotReady, 0x04, 0x03));
  auto putAway = start(move(kPicker, kSlot0));
  library->advanceClock(5s);
  EXPECT_TRUE(putAway.get().good());
  EXPECT_EQ(element(kSlot0)->volume, "VOL001L9");
  EXPECT_FALSE(element(kPicker)->full);
  EXPECT_FALSE(element(kPicker)->exception);
}

TEST_P(Robot, AnOpenDoorStopsTheRobotAndClosingItTellsEveryPathAndTakesANewInventory) {
  ASSERT_TRUE(library->openDoor(LibraryDoor::Main));
  EXPECT_TRUE(hasSense(a.send(move(kSlot0, kSlot3)), sense_key::kNotReady, 0x04, 0x03));
  EXPECT_TRUE(hasSense(b.send(kInventory), sense_key::kNotReady, 0x04, 0x03));
  EXPECT_TRUE(a.send(readTransport(), 64).good()) << "what the library knows is still read";
  library->closeDoor(LibraryDoor::Main);
  EXPECT_EQ(library->pendingUnitAttentions(a.path->initiator()), std::vector<std::string>{"28/00"});
  EXPECT_EQ(library->pendingUnitAttentions(b.path->initiator()), std::vector<std::string>{"28/00"});
  EXPECT_TRUE(library->robotBusy()) << "the new inventory";
  if (GetParam() == RobotBusyAnswer::Busy) {
    EXPECT_TRUE(busy(a.testUnitReady())) << "BUSY before the attention";
    library->advanceClock(30s);
    EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  } else {
    EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
    EXPECT_TRUE(busy(a.testUnitReady()));
    library->advanceClock(30s);
  }
  EXPECT_TRUE(a.testUnitReady().good()) << "the inventory is done";
}

TEST_P(Robot, TheImportExportDoorStopsOnlyItsMovesAndAPreventionKeepsItShut) {
  ASSERT_TRUE(library->openDoor(LibraryDoor::ImportExport));
  EXPECT_TRUE(hasSense(a.send(move(kSlot0, kIe0)), sense_key::kNotReady, 0x04, 0x03));
  library->closeDoor(LibraryDoor::ImportExport);
  EXPECT_EQ(library->pendingUnitAttentions(b.path->initiator()), std::vector<std::string>{"28/01"});
  library->advanceClock(30s);
  ASSERT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x01));
  ASSERT_TRUE(a.send({0x1E, 0, 0, 0, 1, 0}).good());  // PREVENT MEDIUM REMOVAL
  EXPECT_FALSE(library->openDoor(LibraryDoor::ImportExport));
}

TEST_P(Robot, AnotherHostHoldingTheRobotKeepsEveryPathWaitingAndMovesNothing) {
  library->holdRobot();
  EXPECT_TRUE(busy(a.send(move(kSlot0, kSlot3))));
  EXPECT_TRUE(busy(b.testUnitReady()));
  library->releaseRobot();
  EXPECT_TRUE(library->moves().empty());
  EXPECT_TRUE(library->awaitRobotIdle(0ms));
}

INSTANTIATE_TEST_SUITE_P(Answer, Robot, testing::Values(RobotBusyAnswer::NotReady, RobotBusyAnswer::Busy),
                         [](const auto& info) { return info.param == RobotBusyAnswer::Busy ? "Busy" : "NotReady"; });

}  // namespace
}  // namespace hwtest
