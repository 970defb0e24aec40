// A path that goes down or vanishes is a lost I_T nexus: the drive forgets
// what that initiator held through it, tells it once, and keeps everything
// that belongs to the drive or to persistent reservations.
#include "hw_fixture.h"

namespace hwtest {
namespace {

class LostPath : public TwoPathDrive {};

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

}  // namespace
}  // namespace hwtest
