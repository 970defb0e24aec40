// The 16-byte data commands: each starts at the logical object it names, moving there
// first, and otherwise acts as its 6-byte form; SPACE(16) takes a signed 64-bit count.
#include "hw_fixture.h"

namespace hwtest {
namespace {

using TapeIo16 = TwoPathDrive;

std::vector<uint8_t> sixteen(uint8_t op, uint8_t b1, uint64_t object, uint32_t count) {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = op;
  cdb[1] = b1;
  putBe64(cdb, 4, object);
  cdb[12] = static_cast<uint8_t>(count >> 16);
  cdb[13] = static_cast<uint8_t>(count >> 8);
  cdb[14] = static_cast<uint8_t>(count);
  return cdb;
}

std::vector<uint8_t> space16(uint8_t code, int64_t count) {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = 0x91;
  cdb[1] = code;
  putBe64(cdb, 4, static_cast<uint64_t>(count));
  return cdb;
}

TEST_F(TapeIo16, WritesAndReadsStartAtTheObjectTheyName) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  const auto first = pattern(8 * 512, 1);
  ASSERT_TRUE(a.send(sixteen(0x8A, 0x01, 0, 8), 0, first).good());
  EXPECT_EQ(a.position(), 8u);
  ASSERT_TRUE(a.send(sixteen(0x80, 0x00, 8, 1)).good()) << "WRITE FILEMARKS(16) where the tape stands";
  EXPECT_EQ(a.position(), 9u);

  // READ(16) from block 2 while the tape stands at 9: the drive goes there first.
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "a's block size is the drive's";
  ASSERT_TRUE(b.setBlockLength(512).good());
  const CommandResult r = b.send(sixteen(0x88, 0x01, 2, 3), 3 * 512);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn, std::vector<uint8_t>(first.begin() + 2 * 512, first.begin() + 5 * 512));
  EXPECT_EQ(b.position(), 5u);

  // WRITE(16) at block 4 overwrites from there, as a write after LOCATE does.
  const auto second = pattern(512, 9);
  ASSERT_TRUE(a.send(sixteen(0x8A, 0x01, 4, 1), 0, second).good());
  EXPECT_EQ(layout(), (std::vector<long>{512, 512, 512, 512, 512}));
  EXPECT_EQ(drive->records()[4].data, second);
}

TEST_F(TapeIo16, SpaceSixteenMovesBothWaysAndRefusesCountsBeyondTheDrive) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 10, pattern(10 * 512, 3)).good());
  ASSERT_TRUE(a.send(space16(0, -4)).good());
  EXPECT_EQ(a.position(), 6u);
  ASSERT_TRUE(a.send(space16(0, 2)).good());
  EXPECT_EQ(a.position(), 8u);
  EXPECT_TRUE(hasSense(a.send(space16(0, int64_t{1} << 40)), sense_key::kIllegalRequest, 0x24, 0x00));
  EXPECT_EQ(a.position(), 8u);
}

TEST_F(TapeIo16, AnotherPartitionIsRefused) {
  auto cdb = sixteen(0x88, 0x01, 0, 1);
  cdb[3] = 1;
  EXPECT_TRUE(hasSense(a.send(cdb, 512), sense_key::kIllegalRequest, 0x24, 0x00));
}

TEST_F(TapeIo16, AReservationHeldElsewhereRefusesTheSixteenByteWrite) {
  ASSERT_TRUE(b.send({0x16, 0, 0, 0, 0, 0}).good());
  const auto data = pattern(512, 4);
  EXPECT_EQ(a.send(sixteen(0x8A, 0x00, 0, 512), 0, data).scsiStatus, kScsiReservationConflict);
  EXPECT_TRUE(drive->records().empty());
}

}  // namespace
}  // namespace hwtest
