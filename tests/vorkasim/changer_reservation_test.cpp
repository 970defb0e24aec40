// An application that reserves a tape library (RESERVE(6)) or locks its import/export port through
// the virtual changer keeps both when a control path fails: the library's ground truth shows the
// reservation and the lock held by the login of the path that now serves the changer, and an
// unlock or release leaves none behind on any path. Run once with a fabric that logs the failed
// path out at once and once with one whose old login lasts until the path returns.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runner.h"
#include "scenario.h"
#include "test_world.h"
#include "world.h"

#include <sim/hw/library.h>
#include <sim/hw/san.h>

namespace {

using nlohmann::json;

constexpr const char* kReserve = R"({"op":"passthrough","handle":"c","cdb":"160000000000"})";
constexpr const char* kRelease = R"({"op":"passthrough","handle":"c","cdb":"170000000000"})";
constexpr const char* kLock = R"({"op":"passthrough","handle":"c","cdb":"1e0000000100"})";
constexpr const char* kUnlock = R"({"op":"passthrough","handle":"c","cdb":"1e0000000000"})";

class ChangerReservation : public vorkasim_test::ChangerSession, public testing::TestWithParam<const char*> {
 protected:
  ChangerReservation()
      : ChangerSession(json::parse(R"({
          "drives": [{"serial": "DRV0001", "paths": [{"port": 0, "target": 1}]}],
          "libraries": [{"serial": "LIB0001", "slots": 4, "ieSlots": 1, "drives": ["DRV0001"],
                         "volumes": ["VOL001L9", "VOL002L9"],
                         "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}]
        })"))
  {
  }
  // The SCSI status a pass-through step's command ended with (0 GOOD, 0x18 RESERVATION CONFLICT).
  int scsi(const char* step)
  {
    const auto result = runner_->run(json::parse(step));
    EXPECT_EQ(result.status, 0u) << step;
    return result.data.value("scsiStatus", -1);
  }
  std::uint32_t failPath0()
  {
    return run(std::string(R"({"op":"fault","drive":"LIB0001","path":0,"kind":"down","login":")") + GetParam() +
               R"("})");
  }
  vorkasim::LibraryView library() { return world_.libraries().at(0); }
  sim::hw::TapeLibrary& truth() { return *world_.san().findLibrary("LIB0001"); }
};

TEST_P(ChangerReservation, AReservedLibraryStaysTheApplicationsAcrossAControlPathFailure)
{
  ASSERT_EQ(scsi(kReserve), 0);
  ASSERT_EQ(library().reservedBy, 0u);
  ASSERT_EQ(failPath0(), 0u);

  const std::uint32_t move = run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})");
  if (std::string(GetParam()) == "failure") {
    // The library let the failed login's reservation go: the other path takes it over and the
    // move runs there.
    EXPECT_EQ(move, 0u);
    EXPECT_EQ(library().reservedBy, 1u);
  } else {
    // The old login still holds the library, so the other path can neither send the move nor read
    // whether the failed path's attempt ran: the application is told, and nothing moved.
    EXPECT_NE(move, 0u);
    EXPECT_EQ(library().reservedBy, 0u);
    EXPECT_TRUE(truth().moves().empty());
    // Once the path is back, the request goes to the login that holds the reservation.
    ASSERT_EQ(run(R"({"op":"clear-faults","drive":"LIB0001"})"), 0u);
    EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
  }
  EXPECT_EQ(truth().moves().size(), 1u);

  // Released, the library is free for every host, whichever path held it.
  EXPECT_EQ(scsi(kRelease), 0);
  EXPECT_EQ(library().reservedBy, std::nullopt);
}

TEST_P(ChangerReservation, AnUnlockAfterAFailoverLeavesNoLoginHoldingTheImportExportPort)
{
  ASSERT_EQ(scsi(kLock), 0);
  ASSERT_TRUE(library().removalPrevented);
  ASSERT_EQ(failPath0(), 0u);
  EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
  EXPECT_TRUE(library().removalPrevented) << "the lock moved with the changer, it did not lapse";
  EXPECT_FALSE(truth().openDoor(sim::hw::LibraryDoor::ImportExport)) << "the operator cannot open the locked port";

  ASSERT_EQ(run(R"({"op":"clear-faults","drive":"LIB0001"})"), 0u);
  EXPECT_EQ(scsi(kUnlock), 0);
  // A later request reaches the returned path, whose old login may still hold the lock.
  EXPECT_EQ(run(R"({"op":"elements","handle":"c"})"), 0u);
  EXPECT_FALSE(library().removalPrevented) << "no login still holds the lock";
  EXPECT_TRUE(truth().openDoor(sim::hw::LibraryDoor::ImportExport));
}

INSTANTIATE_TEST_SUITE_P(LoginLoss, ChangerReservation, testing::Values("failure", "never"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "failure" ? "LoggedOutAtTheFailure"
                                                                       : "OldLoginKept";
                         });

}  // namespace
