// A path that goes down or vanishes is a lost I_T nexus: the drive forgets
// what that initiator held through it, tells it once, and keeps everything
// that belongs to the drive or to persistent reservations.
#include "hw_fixture.h"

#include <chrono>
#include <thread>

namespace hwtest {
namespace {

// What a login holds through its nexus, mode parameters included: the drive keeps them per login
// (shared ones stay with the drive, see mode_page_tests.cpp).
class LostPath : public TwoPathDrive {
 protected:
  LostPath() : TwoPathDrive(perLoginConfig()) {}
};

TEST_F(LostPath, DropsTheInitiatorsReservationLockAndModeButKeepsItsRegistration) {
  ASSERT_TRUE(a.prOut(pr::kRegister, 0, 0, 0xA1).good());
  ASSERT_TRUE(a.reserve6().good());
  ASSERT_TRUE(a.preventRemoval(true).good());
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.send({0xC1, 0, 7, 0, 0, 0}).good()) << "AMU 7";
  ASSERT_EQ(b.write(false, 4, pattern(4, 1)).scsiStatus, kScsiReservationConflict);

  pathA->setDown(kStatusIoTimeout);

  const InitiatorSettings s = drive->initiatorSettings(pathA->initiator());
  EXPECT_EQ(s.blockLength, 0u);
  EXPECT_FALSE(s.preventRemoval);
  EXPECT_EQ(s.amu, 0);
  EXPECT_EQ(s.registrationKey, 0xA1u) << "registrations survive a lost nexus";
  EXPECT_EQ(s.pendingUnitAttentions, std::vector<std::string>{"29/07"});
  EXPECT_FALSE(drive->reservations().reserve6Holder.has_value());

  // The other path takes over at once: no conflict, nothing left locked.
  EXPECT_TRUE(b.write(false, 4, pattern(4, 1)).good());
  EXPECT_TRUE(b.loadUnload(false).good()) << "the lost initiator's prevention is gone";
  EXPECT_TRUE(b.loadUnload(true).good());
  EXPECT_TRUE(drive->initiatorSettings(pathB->initiator()).pendingUnitAttentions.empty())
      << "only the lost initiator hears of it";

  pathA->restore();
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x07));
  a.drainAttentions();  // the cartridge was also unloaded and loaded meanwhile
  const CommandResult mode = a.send({0x1A, 0, 0x0F, 0, 32, 0}, 32);
  ASSERT_TRUE(mode.good());
  EXPECT_EQ(be32(mode.dataIn, 8) & 0xFFFFFF, 0u) << "block length back to the default";
}

TEST_F(LostPath, PersistentReservationOutlivesTheHoldersPath) {
  ASSERT_TRUE(a.prOut(pr::kRegister, 0, 0, 0xA1).good());
  ASSERT_TRUE(a.prOut(pr::kReserve, pr::kTypeExclusiveAccess, 0xA1, 0).good());

  pathA->setPresent(false);
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusDeviceNotConnected);
  EXPECT_EQ(b.readPosition(0).scsiStatus, kScsiReservationConflict) << "the reservation still holds";
  EXPECT_EQ(drive->reservations().persistentHolder, pathA->initiator());

  pathA->setPresent(true);
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x07));
  EXPECT_TRUE(a.write(false, 8, pattern(8, 2)).good()) << "still the holder";
  // The usual way out for the other path: preempt with its own registration.
  ASSERT_TRUE(b.prOut(pr::kRegister, 0, 0, 0xB2).good());
  ASSERT_TRUE(b.prOut(pr::kPreempt, pr::kTypeExclusiveAccess, 0xB2, 0xA1).good());
  EXPECT_TRUE(b.readPosition(0).good());
}

TEST_F(LostPath, AnOutageIsReportedOnceAndAResetSupersedesIt) {
  pathA->setDown();
  pathA->setDown();  // still the same outage
  pathA->setPresent(false);
  pathA->setPresent(true);
  pathA->restore();
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).pendingUnitAttentions, std::vector<std::string>{"29/07"});

  // A reset after the loss supersedes it.
  pathB->setDown();
  drive->reset();
  pathB->restore();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x00));
  EXPECT_TRUE(b.testUnitReady().good());
}

TEST_F(LostPath, ALinkWhoseLoginTheDriveHearsOfOnlyAtItsReturnStillHoldsTheReservationAndTheLock) {
  ASSERT_TRUE(a.reserve6().good());
  ASSERT_TRUE(a.preventRemoval(true).good());
  ASSERT_TRUE(a.setBlockLength(512).good());

  pathA->setDown(kStatusIoTimeout, {}, LoginLoss::AtReturn);
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusIoTimeout);
  EXPECT_EQ(b.write(false, 4, pattern(4, 1)).scsiStatus, kScsiReservationConflict) << "the old login still reserves";
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).blockLength, 512u);
  EXPECT_TRUE(drive->initiatorSettings(pathA->initiator()).preventRemoval);

  pathA->restore();
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x07)) << "the new login is how the drive learns";
  EXPECT_FALSE(drive->initiatorSettings(pathA->initiator()).preventRemoval);
  EXPECT_TRUE(b.write(false, 4, pattern(4, 1)).good());
}

TEST_F(LostPath, ALinkBackBeforeTheLoginWasMissedKeepsEverythingAndReportsNothing) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  pathA->setDown(kStatusDeviceNotConnected, {}, LoginLoss::Never);
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusDeviceNotConnected);
  pathA->restore();
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).blockLength, 512u);
}

TEST_F(LostPath, TheFabricHoldsACommandWhileTheLinkIsDownAndRunsItWhenTheLinkReturnsInTime) {
  using namespace std::chrono;
  pathA->setDown(kStatusIoTimeout, milliseconds(50), LoginLoss::Never);
  const auto start = steady_clock::now();
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusIoTimeout);
  EXPECT_GE(steady_clock::now() - start, milliseconds(50)) << "held for the link-down time, then failed";
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusIoTimeout);
  EXPECT_EQ(pathA->commandsHeld(), 1u) << "once the hold is over, commands fail at once";
  pathA->restore();

  pathA->setDown(kStatusIoTimeout, seconds(30), LoginLoss::Never);
  std::thread back([&] {
    // The link returns while the write is being held.
    if (pathA->awaitCommandsHeld(2, seconds(30))) pathA->restore();
  });
  EXPECT_TRUE(a.write(false, 16, pattern(16, 3)).good()) << "the link came back within the hold";
  back.join();
  EXPECT_EQ(layout(), (std::vector<long>{16}));
}

class ResetKinds : public TwoPathDrive {
 protected:
  static DriveConfig config() {
    DriveConfig c = defaultConfig();
    c.rewindOnReset = false;
    c.resetAscq = 0x03;
    c.loginAscq = 0x00;
    return c;
  }
  ResetKinds() : TwoPathDrive(config()) {}
};

TEST_F(ResetKinds, ADriveThatKeepsItsPositionReportsItsOwnResetAndLoginSense) {
  ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());
  drive->reset();
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x03));
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x03));
  EXPECT_EQ(a.position(), 1u) << "no rewind on this drive";

  pathB->setDown();
  pathB->restore();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x00)) << "a new login looks like a reset here";
  EXPECT_TRUE(b.testUnitReady().good());
}

TEST_F(ResetKinds, ATimedOutCommandThatRanIsFollowedByTheHostsResetOfTheUnit) {
  using namespace std::chrono;
  Fault timeout;
  timeout.kind = FaultKind::FailCommands;
  timeout.status = kStatusIoTimeout;
  timeout.executed = true;
  timeout.holdMs = 15;
  timeout.resetAfter = true;
  pathA->injectFault(timeout);
  const auto start = steady_clock::now();
  EXPECT_EQ(a.write(false, 8, pattern(8, 1)).transportStatus, kStatusIoTimeout);
  EXPECT_GE(steady_clock::now() - start, milliseconds(15));
  EXPECT_EQ(layout(), (std::vector<long>{8})) << "the drive wrote the block before the host gave up";
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x03)) << "every login hears of the reset";
}

TEST_F(LostPath, APowerCycleDropsPersistentReservationsAndLeavesTheCartridgeUnloaded) {
  ASSERT_TRUE(a.prOut(pr::kRegister, 0, 0, 0xA1).good());
  ASSERT_TRUE(a.prOut(pr::kReserve, pr::kTypeExclusiveAccess, 0xA1, 0).good());
  ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());
  ASSERT_TRUE(a.write(false, 8, pattern(8, 2)).good());
  drive->powerCycle();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x01));
  EXPECT_FALSE(drive->reservations().persistentHolder.has_value());
  EXPECT_FALSE(drive->initiatorSettings(pathA->initiator()).registrationKey.has_value());
  EXPECT_EQ(drive->mediumState(), MediumState::Unloaded);
  EXPECT_EQ(b.testUnitReady().scsiStatus, kScsiCheckCondition) << "not ready until loaded";
  ASSERT_TRUE(b.loadUnload(true).good());
  EXPECT_EQ(b.position(), 0u);
  EXPECT_EQ(layout(), (std::vector<long>{8, 8})) << "what was on the medium stays";
}

}  // namespace
}  // namespace hwtest
