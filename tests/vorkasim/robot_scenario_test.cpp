// A library whose robot takes time, drops a cartridge in its picker, is held by another host or has
// its door opened, seen by an application through the virtual changer of two control paths: each
// answer is the library's true state, and none of these moves the changer to another path.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

#include <sim/eventlog.h>
#include <sim/machine.h>
#include <sim/hw/library.h>
#include <sim/hw/san.h>

namespace {

using nlohmann::json;

constexpr std::uint32_t kStatusIoDeviceError = 0xC0000185;
constexpr std::uint32_t kStatusDeviceNotReady = 0xC00000A3;
constexpr std::uint32_t kStatusDeviceBusy = 0x80000011;
constexpr std::uint32_t kEventFailover = 0x80000004;

json Document(const char* busy)
{
    json document = json::parse(R"({
      "registry": {"vorkachgr": {"NotReadyRetryMs": 25}},
      "drives": [{"serial": "DRV0001", "paths": [{"port": 0, "target": 1}]}],
      "libraries": [{"serial": "LIB0001", "slots": 4, "ieSlots": 1, "drives": ["DRV0001"],
                     "volumes": ["VOL001L9", "VOL002L9"],
                     "robot": {"moveMs": 30, "positionMs": 10, "inventoryMs": 40},
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}]
    })");
    document["libraries"][0]["robot"]["busy"] = busy;
    return document;
}

class RobotScenario : public vorkasim_test::ChangerSession, public testing::TestWithParam<const char*> {
 protected:
  RobotScenario() : ChangerSession(Document(GetParam())) {}
  std::string where(const std::string& volume)
  {
    const auto libraries = world_.libraries();
    for (const auto& element : libraries.at(0).elements) {
      if (element.full && element.volume == volume) return element.element;
    }
    return "nowhere";
  }
  std::size_t failovers() { return world_.machine().eventLog().entriesWithCode(kEventFailover).size(); }
  sim::hw::TapeLibrary& library() { return *world_.san().findLibrary("LIB0001"); }
};

TEST_P(RobotScenario, AMoveThatLeavesItsCartridgeInThePickerIsAHardwareErrorNeverAnEmptySource)
{
  ASSERT_EQ(run(R"({"op":"fault","drive":"LIB0001","kind":"picker"})"), 0u);
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), kStatusIoDeviceError);
  EXPECT_EQ(where("VOL001L9"), "transport:0");
  EXPECT_TRUE(library().moves().empty());

  // The application finds it in the picker and puts it away.
  const auto elements = runner_->run(json::parse(R"({"op":"elements","handle":"c"})"));
  ASSERT_EQ(elements.status, 0u);
  ASSERT_FALSE(elements.elements.empty());
  EXPECT_EQ(elements.elements[0].element, "transport:0");
  EXPECT_EQ(elements.elements[0].volume, "VOL001L9");
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"transport:0","to":"slot:0"})"), 0u);
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
  EXPECT_EQ(where("VOL001L9"), "drive:0");
}

TEST_P(RobotScenario, ARobotBusyForAnotherHostIsReportedAsSuchAndMovesNeitherCartridgeNorPath)
{
  ASSERT_EQ(run(R"({"op":"robot-hold","drive":"LIB0001"})"), 0u);
  const std::uint32_t expected = std::string(GetParam()) == "busy" ? kStatusDeviceBusy : kStatusDeviceNotReady;
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), expected);
  EXPECT_EQ(run(R"({"op":"inventory","handle":"c"})"), expected);
  ASSERT_EQ(run(R"({"op":"robot-release","drive":"LIB0001"})"), 0u);
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  EXPECT_EQ(failovers(), 0u);

  // The robot's own time: the mover waits, and the next move finds it free.
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
  EXPECT_EQ(run(R"({"op":"inventory","handle":"c"})"), 0u);
  EXPECT_EQ(where("VOL001L9"), "drive:0");
  EXPECT_EQ(failovers(), 0u);
}

TEST_P(RobotScenario, AnOpenDoorAndTheInventoryAfterItMoveNoPathAndTheNextRequestsSeeTheLibraryAsItIs)
{
  ASSERT_EQ(run(R"({"op":"door-open","drive":"LIB0001"})"), 0u);
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), kStatusDeviceNotReady);
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  ASSERT_EQ(run(R"({"op":"door-close","drive":"LIB0001"})"), 0u);
  // The new inventory and the medium-changed notice: the class driver takes the notice and asks
  // again while the library is becoming ready.
  EXPECT_EQ(run(R"({"op":"elements","handle":"c"})"), 0u);
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
  EXPECT_EQ(where("VOL001L9"), "drive:0");
  EXPECT_EQ(failovers(), 0u);
  EXPECT_EQ(library().moves().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Busy, RobotScenario, testing::Values("not-ready", "busy"),
                         [](const auto& info) { return std::string(info.param) == "busy" ? "Busy" : "NotReady"; });

TEST(RobotScenarioKeys, ARobotTakesALibrarysUsualTimesUnlessToldAndBadValuesAreRefused)
{
  auto parsed = [](const char* robot) {
    json document = json::parse(R"({"libraries":[{"serial":"L"}]})");
    document["libraries"][0]["robot"] = json::parse(robot);
    return vorkasim::ParseScenario(document).libraries.at(0);
  };
  EXPECT_EQ(vorkasim::ParseScenario(json::parse(R"({"libraries":[{"serial":"L"}]})")).libraries[0].moveMs, 0u)
      << "no robot: at once";
  const auto usual = parsed("{}");
  EXPECT_GT(usual.moveMs, 1000u);
  EXPECT_GT(usual.inventoryMs, usual.moveMs);
  EXPECT_FALSE(usual.busyStatus);
  const auto told = parsed(R"({"moveMs": 7, "busy": "busy"})");
  EXPECT_EQ(told.moveMs, 7u);
  EXPECT_TRUE(told.busyStatus);
  for (const char* bad : {R"({"busy": "maybe"})", R"({"moveMs": -1})", R"([])"}) {
    EXPECT_THROW(parsed(bad), std::runtime_error) << bad;
  }
}

}  // namespace
