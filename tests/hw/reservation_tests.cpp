// Reservations between the paths of one drive: who may use the drive, and how a
// new path takes a reservation over.
#include "hw_fixture.h"

namespace hwtest {
namespace {

constexpr uint8_t kRegister = 0, kReserve = 1, kRelease = 2, kClear = 3, kPreempt = 4, kRegisterIgnore = 6;
constexpr uint8_t kExclusiveAccess = 3, kWriteExclusive = 1;

class Reservations : public TwoPathDrive {
 protected:
  // Both queries go through a path without pending unit attentions: PERSISTENT
  // RESERVE IN reports them like any medium command.
  std::vector<uint64_t> keys(Host& via) {
    const CommandResult r = via.prIn(0);
    EXPECT_TRUE(r.good());
    std::vector<uint64_t> out;
    for (std::size_t at = 8; at + 8 <= 8 + be32(r.dataIn, 4); at += 8) out.push_back(be64(r.dataIn, at));
    return out;
  }
  // Key and type of the reservation, or nullopt.
  std::optional<std::pair<uint64_t, uint8_t>> reservation(Host& via) {
    const CommandResult r = via.prIn(1);
    EXPECT_TRUE(r.good());
    if (be32(r.dataIn, 4) == 0) return std::nullopt;
    EXPECT_EQ(be32(r.dataIn, 4), 16u);
    return std::pair{be64(r.dataIn, 8), static_cast<uint8_t>(r.dataIn[21] & 0x0F)};
  }
  bool conflict(const CommandResult& r) { return r.delivered() && r.scsiStatus == kScsiReservationConflict; }
};

TEST_F(Reservations, Reserve6KeepsOtherPathsOff) {
  ASSERT_TRUE(a.reserve6().good());
  EXPECT_TRUE(conflict(b.write(false, 8, pattern(8, 1))));
  EXPECT_TRUE(conflict(b.read(false, false, 8, 8)));
  EXPECT_TRUE(conflict(b.testUnitReady()));
  EXPECT_TRUE(conflict(b.reserve6()));
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good());
  EXPECT_TRUE(b.requestSense().good());
  EXPECT_TRUE(b.release6().good()) << "releasing someone else's reservation is a no-op";
  EXPECT_TRUE(conflict(b.write(false, 8, pattern(8, 1))));
  EXPECT_TRUE(a.write(false, 8, pattern(8, 2)).good());

  ASSERT_TRUE(a.release6().good());
  EXPECT_TRUE(b.write(false, 8, pattern(8, 3)).good());
  const auto recs = drive->records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].data, pattern(8, 2));
}

TEST_F(Reservations, PreemptByARegisteredKeyMovesTheReservation) {
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0xA).good());
  ASSERT_TRUE(b.prOut(kRegister, 0, 0, 0xB).good());
  ASSERT_TRUE(a.prOut(kReserve, kExclusiveAccess, 0xA, 0).good());
  EXPECT_EQ(reservation(b), (std::pair<uint64_t, uint8_t>{0xA, kExclusiveAccess}));
  EXPECT_EQ(keys(b), (std::vector<uint64_t>{0xA, 0xB}));
  EXPECT_TRUE(conflict(b.read(false, false, 8, 8)));
  EXPECT_TRUE(conflict(b.send({0x1A, 0, 0x0F, 0, 255, 0}, 255)));
  EXPECT_TRUE(b.testUnitReady().good());
  const uint32_t generation = drive->reservations().generation;

  ASSERT_TRUE(b.prOut(kPreempt, kExclusiveAccess, 0xB, 0xA).good());
  EXPECT_EQ(reservation(b), (std::pair<uint64_t, uint8_t>{0xB, kExclusiveAccess}));
  EXPECT_EQ(keys(b), (std::vector<uint64_t>{0xB}));
  EXPECT_GT(drive->reservations().generation, generation);

  EXPECT_TRUE(hasSense(a.write(false, 8, pattern(8, 1)), sense_key::kUnitAttention, 0x2A, 0x05))
      << "the preempted path learns that its registration is gone";
  EXPECT_TRUE(conflict(a.write(false, 8, pattern(8, 1))));
  EXPECT_TRUE(b.write(false, 8, pattern(8, 2)).good());
  EXPECT_EQ(drive->records().size(), 1u);
}

TEST_F(Reservations, PreemptWithTheSameKeyOnBothPaths) {
  // An application key used by every path: the preempting path keeps its own
  // registration, the old holder loses its one.
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0x77).good());
  ASSERT_TRUE(a.prOut(kReserve, kExclusiveAccess, 0x77, 0).good());
  ASSERT_TRUE(b.prOut(kRegister, 0, 0, 0x77).good());
  ASSERT_TRUE(b.prOut(kPreempt, kExclusiveAccess, 0x77, 0x77).good());
  const ReservationState s = drive->reservations();
  EXPECT_EQ(s.persistentHolder, pathB->initiator());
  ASSERT_EQ(s.registrations.size(), 1u);
  EXPECT_EQ(s.registrations[0].first, pathB->initiator());
  a.drainAttentions();
  EXPECT_TRUE(a.testUnitReady().good()) << "TEST UNIT READY never conflicts";
  EXPECT_TRUE(conflict(a.read(false, false, 8, 8)));
}

TEST_F(Reservations, RefusedPreemptChangesNothing) {
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0xA).good());
  ASSERT_TRUE(a.prOut(kReserve, kExclusiveAccess, 0xA, 0).good());
  ASSERT_TRUE(b.prOut(kRegister, 0, 0, 0xB).good());

  pathB->injectFault(Fault{.kind = FaultKind::RefusePreempt});
  EXPECT_TRUE(conflict(b.prOut(kPreempt, kExclusiveAccess, 0xB, 0xA)));
  EXPECT_EQ(drive->reservations().persistentHolder, pathA->initiator());
  EXPECT_EQ(keys(b), (std::vector<uint64_t>{0xA, 0xB}));

  drive->injectFault(Fault{.kind = FaultKind::RefusePreempt, .count = 1});
  EXPECT_TRUE(conflict(b.prOut(kPreempt, kExclusiveAccess, 0xB, 0xA))) << "refused by the drive this time";
  ASSERT_TRUE(b.prOut(kPreempt, kExclusiveAccess, 0xB, 0xA).good());
  EXPECT_EQ(drive->reservations().persistentHolder, pathB->initiator());
}

TEST_F(Reservations, KeysMustMatchForEveryAction) {
  EXPECT_TRUE(conflict(b.prOut(kReserve, kExclusiveAccess, 0, 0))) << "not registered";
  EXPECT_TRUE(conflict(b.prOut(kRegister, 0, 0x5, 0x6))) << "unregistered path claims a key";
  ASSERT_TRUE(b.prOut(kRegisterIgnore, 0, 0x5, 0x6).good());
  EXPECT_TRUE(conflict(b.prOut(kRegister, 0, 0x5, 0x7))) << "wrong current key";
  ASSERT_TRUE(b.prOut(kRegister, 0, 0x6, 0x7).good());
  EXPECT_EQ(keys(b), (std::vector<uint64_t>{0x7}));

  ASSERT_TRUE(b.prOut(kReserve, kExclusiveAccess, 0x7, 0).good());
  EXPECT_TRUE(hasSense(b.prOut(kRelease, kWriteExclusive, 0x7, 0), sense_key::kIllegalRequest, 0x26, 0x04));
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0x9).good());
  EXPECT_TRUE(conflict(a.prOut(kReserve, kExclusiveAccess, 0x9, 0))) << "already reserved by b";
  EXPECT_TRUE(conflict(a.prOut(kPreempt, kExclusiveAccess, 0x9, 0x1234))) << "no registration has that key";

  ASSERT_TRUE(a.prOut(kClear, 0, 0x9, 0).good());
  EXPECT_TRUE(hasSense(b.prIn(0), sense_key::kUnitAttention, 0x2A, 0x03));
  EXPECT_TRUE(keys(b).empty());
  EXPECT_FALSE(reservation(a));

  // Unregistering releases the holder's reservation.
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0x9).good());
  ASSERT_TRUE(a.prOut(kReserve, kExclusiveAccess, 0x9, 0).good());
  ASSERT_TRUE(a.prOut(kRegister, 0, 0x9, 0).good());
  EXPECT_FALSE(reservation(b));
  EXPECT_TRUE(b.write(false, 8, pattern(8, 1)).good());
}

TEST_F(Reservations, WriteExclusiveLetsOtherPathsReadButNotWrite) {
  ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());
  ASSERT_TRUE(a.prOut(kRegister, 0, 0, 0xA).good());
  ASSERT_TRUE(a.prOut(kReserve, kWriteExclusive, 0xA, 0).good());
  ASSERT_TRUE(b.rewind().good());
  EXPECT_TRUE(b.read(false, false, 8, 8).good());
  EXPECT_TRUE(b.readPosition(0).good());
  EXPECT_TRUE(conflict(b.write(false, 8, pattern(8, 2))));
  EXPECT_TRUE(conflict(b.writeFilemarks(1)));
  EXPECT_TRUE(conflict(b.erase()));
  EXPECT_TRUE(conflict(b.setBlockLength(512)));
  EXPECT_TRUE(conflict(b.preventRemoval(true)));
  EXPECT_TRUE(b.preventRemoval(false).good());
  EXPECT_EQ(drive->records().size(), 1u);
  EXPECT_TRUE(conflict(a.reserve6())) << "RESERVE(6) does not mix with a persistent reservation";
}

}  // namespace
}  // namespace hwtest
