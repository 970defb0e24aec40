// A drive with a write buffer: writes are acknowledged before they are on the
// medium. What the ground truth must show at every moment is only what the
// drive really wrote; what it lost, it must say.
#include "hw_fixture.h"

namespace hwtest {
namespace {

DriveConfig bufferedConfig(bool resetKeepsBuffer = false, uint64_t capacity = 8ull << 20) {
  DriveConfig c = TwoPathDrive::defaultConfig();
  c.buffered = true;
  c.resetKeepsBuffer = resetKeepsBuffer;
  c.bufferCapacity = capacity;
  return c;
}

// READ POSITION short form, as the host reads it.
struct ShortPosition {
  bool unknown = false;
  uint32_t first = 0;  // the host's position
  uint32_t last = 0;   // next object the drive writes to the medium
  uint32_t objects = 0;
  uint32_t bytes = 0;
};

ShortPosition shortPosition(Host& h) {
  const CommandResult r = h.readPosition(0);
  EXPECT_TRUE(r.good());
  ShortPosition p;
  if (r.dataIn.size() < 20) return p;
  p.unknown = r.dataIn[0] & 0x04;
  p.first = be32(r.dataIn, 4);
  p.last = be32(r.dataIn, 8);
  p.objects = be32(r.dataIn, 12) & 0xFFFFFF;
  p.bytes = be32(r.dataIn, 16);
  return p;
}

class Buffered : public TwoPathDrive {
 protected:
  Buffered() : TwoPathDrive(bufferedConfig()) {}
};

// Buffered mode chosen by each login for itself.
class PerLoginBuffered : public TwoPathDrive {
 protected:
  static DriveConfig config() {
    DriveConfig c = bufferedConfig();
    c.modePages = ModePagePolicy::PerLogin;
    return c;
  }
  PerLoginBuffered() : TwoPathDrive(config()) {}
};

TEST_F(Buffered, WritesAreAcknowledgedIntoTheBufferAndFilemarksWithoutImmedFlushIt) {
  const CommandResult mode = a.send({0x1A, 0, 0x0F, 0, 32, 0}, 32);
  ASSERT_TRUE(mode.good());
  EXPECT_EQ(mode.dataIn[2] & 0x70, 0x10) << "buffered mode 1 advertised";

  ASSERT_TRUE(a.write(false, 100, pattern(100, 1)).good());
  ASSERT_TRUE(a.write(false, 200, pattern(200, 2)).good());
  EXPECT_TRUE(drive->records().empty()) << "acknowledged, not yet on the medium";
  EXPECT_EQ(drive->bufferedRecords().size(), 2u);

  ShortPosition p = shortPosition(b);
  EXPECT_EQ(p.first, 2u);
  EXPECT_EQ(p.last, 0u);
  EXPECT_EQ(p.objects, 2u);
  EXPECT_EQ(p.bytes, 300u);
  const CommandResult extended = a.readPosition(8);
  ASSERT_TRUE(extended.good());
  EXPECT_EQ(be32(extended.dataIn, 4) & 0xFFFFFF, 2u);
  EXPECT_EQ(be64(extended.dataIn, 8), 2u);
  EXPECT_EQ(be64(extended.dataIn, 16), 0u);
  EXPECT_EQ(be64(extended.dataIn, 24), 300u);

  // Immediate filemarks join the buffer; WRITE FILEMARKS 0 without IMMED flushes.
  ASSERT_TRUE(a.send(Host::six(0x10, 0x01, 1)).good());
  EXPECT_EQ(drive->bufferedRecords().size(), 3u);
  ASSERT_TRUE(a.writeFilemarks(0).good());
  EXPECT_EQ(layout(), (std::vector<long>{100, 200, -1}));
  EXPECT_EQ(drive->records()[1].data, pattern(200, 2));
  p = shortPosition(a);
  EXPECT_EQ(p.first, 3u);
  EXPECT_EQ(p.last, 3u);
  EXPECT_EQ(p.objects, 0u);
  EXPECT_EQ(p.bytes, 0u);
}

TEST_F(Buffered, CommandsThatReadOrMoveTheTapeWriteTheBufferFirst) {
  ASSERT_TRUE(a.write(false, 10, pattern(10, 1)).good());
  ASSERT_TRUE(a.write(false, 20, pattern(20, 2)).good());
  ASSERT_TRUE(a.rewind().good());
  EXPECT_EQ(layout(), (std::vector<long>{10, 20}));

  // Overwriting in the middle: the old tail stays on the medium until the
  // drive writes the new block there.
  ASSERT_TRUE(a.space(0, 1).good());
  ASSERT_TRUE(a.write(false, 30, pattern(30, 3)).good());
  EXPECT_EQ(layout(), (std::vector<long>{10, 20}));
  EXPECT_EQ(drive->position()->endOfData, 2u) << "for the host the data ends after the new block";
  const CommandResult r = b.readReverse(false, 64, 64);
  EXPECT_EQ(r.dataIn.size(), 30u) << "reading from another path sees the buffered block on the medium";
  EXPECT_EQ(layout(), (std::vector<long>{10, 30}));
}

TEST_F(Buffered, APathFailureNeverLosesBufferedData) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 4, pattern(4 * 512, 1)).good());
  pathA->setDown();

  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "a's block size is the drive's";
  const ShortPosition p = shortPosition(b);
  EXPECT_EQ(p.first, 4u) << "the other path finds the position after the acknowledged blocks";
  EXPECT_EQ(p.objects, 4u);
  EXPECT_EQ(p.bytes, 4u * 512);
  ASSERT_TRUE(b.writeFilemarks(1).good());
  EXPECT_EQ(layout(), (std::vector<long>{512, 512, 512, 512, -1}));
  EXPECT_TRUE(drive->bufferLosses().empty());
}

TEST_F(Buffered, AResetLosesTheBufferAndTheGroundTruthSaysWhat) {
  ASSERT_TRUE(a.write(false, 10, pattern(10, 1)).good());
  ASSERT_TRUE(a.writeFilemarks(0).good());
  ASSERT_TRUE(a.write(false, 20, pattern(20, 2)).good());
  ASSERT_TRUE(a.write(false, 30, pattern(30, 3)).good());
  drive->reset();

  EXPECT_EQ(layout(), (std::vector<long>{10}));
  const auto losses = drive->bufferLosses();
  ASSERT_EQ(losses.size(), 1u);
  EXPECT_EQ(losses[0].cause, LossCause::Reset);
  EXPECT_EQ(losses[0].object, 1u);
  ASSERT_EQ(losses[0].records.size(), 2u);
  EXPECT_EQ(losses[0].records[1].data, pattern(30, 3));
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x00));
  ASSERT_TRUE(a.space(3, 0).good());
  EXPECT_EQ(a.position(), 1u) << "end of data is where the medium ends";
}

class BufferedKeptOnReset : public TwoPathDrive {
 protected:
  BufferedKeptOnReset() : TwoPathDrive(bufferedConfig(true, 1000)) {}
};

TEST_F(BufferedKeptOnReset, AResetWritesTheBufferAndAFullBufferDrainsItsOldestBlocks) {
  for (uint8_t i = 0; i < 5; ++i) ASSERT_TRUE(a.write(false, 300, pattern(300, i)).good());
  EXPECT_EQ(layout(), (std::vector<long>{300, 300})) << "1000 bytes of buffer hold three blocks";
  EXPECT_EQ(drive->bufferedRecords().size(), 3u);
  drive->reset();
  EXPECT_EQ(layout(), (std::vector<long>{300, 300, 300, 300, 300}));
  EXPECT_EQ(drive->records()[4].data, pattern(300, 4));
  EXPECT_TRUE(drive->bufferLosses().empty());
}

TEST_F(Buffered, ADeferredErrorIsReportedOnTheNextCommandWithWhatWasLost) {
  ASSERT_TRUE(a.setBlockLength(100).good());
  ASSERT_TRUE(a.write(true, 2, pattern(200, 1)).good());
  pathA->injectFault(Fault{.kind = FaultKind::DeferredError, .opcode = 0x0A, .k = 1});
  const auto data = pattern(300, 2);
  ASSERT_TRUE(a.write(true, 3, data).good()) << "acknowledged into the buffer";

  EXPECT_EQ(layout(), (std::vector<long>{100, 100, 100})) << "the first block of the failed write made it";
  EXPECT_EQ(drive->records()[2].data, std::vector<uint8_t>(data.begin(), data.begin() + 100));
  const CommandResult r = a.testUnitReady();
  ASSERT_TRUE(hasSense(r, sense_key::kMediumError, 0x0C, 0x00));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x71) << "deferred error";
  EXPECT_EQ(decodeSense(r.sense).information, 2) << "blocks not written";
  EXPECT_EQ(a.position(), 3u) << "the position is where the medium ends";
  EXPECT_TRUE(a.testUnitReady().good()) << "reported once";

  const auto losses = drive->bufferLosses();
  ASSERT_EQ(losses.size(), 1u);
  EXPECT_EQ(losses[0].cause, LossCause::DeferredError);
  EXPECT_EQ(losses[0].object, 3u);
  EXPECT_EQ(losses[0].records.size(), 2u);
  EXPECT_TRUE(losses[0].reported);
}

// A backup overwrites the filemark that closed its last file; the drive takes the
// block into its buffer and then fails to write it. The old filemark must not come
// back: the medium ends where the drive failed, and so does end-of-data.
TEST_F(Buffered, AFailedWriteOverOldRecordsLeavesTheMediumEndingWhereItFailed) {
  ASSERT_TRUE(a.write(false, 64, pattern(64, 1)).good());
  ASSERT_TRUE(a.write(false, 64, pattern(64, 2)).good());
  ASSERT_TRUE(a.writeFilemarks(1).good());
  ASSERT_TRUE(a.write(false, 64, pattern(64, 3)).good());
  ASSERT_TRUE(a.writeFilemarks(1).good());
  ASSERT_EQ(layout(), (std::vector<long>{64, 64, -1, 64, -1}));

  ASSERT_TRUE(a.locate10(2).good());
  pathA->injectFault(Fault{.kind = FaultKind::DeferredError, .opcode = 0x0A, .k = 0});
  ASSERT_TRUE(a.write(false, 80, pattern(80, 4)).good()) << "acknowledged into the buffer";
  const CommandResult r = a.testUnitReady();
  ASSERT_TRUE(hasSense(r, sense_key::kMediumError, 0x0C, 0x00));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x71);

  EXPECT_EQ(layout(), (std::vector<long>{64, 64})) << "nothing after the failed block survives";
  EXPECT_EQ(a.position(), 2u);
  ASSERT_TRUE(a.rewind().good());
  ASSERT_TRUE(a.space(3, 0).good());
  EXPECT_EQ(a.position(), 2u) << "end-of-data is where the write failed";
}

TEST_F(Buffered, ADeferredErrorWhoseInitiatorLostItsPathGoesToTheNextOne) {
  drive->injectFault(Fault{.kind = FaultKind::DeferredError, .senseKey = 0x04, .asc = 0x44});
  ASSERT_TRUE(a.write(false, 64, pattern(64, 1)).good());
  EXPECT_TRUE(b.testUnitReady().good()) << "not yet: it is path A's error";
  pathA->setDown();
  const CommandResult r = b.readPosition(0);
  ASSERT_TRUE(hasSense(r, 0x04, 0x44, 0x00));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x71);
  EXPECT_TRUE(drive->records().empty());
  EXPECT_TRUE(drive->bufferLosses().at(0).reported);
}

TEST_F(Buffered, FilemarksWaitingForTheFlushHearOfTheFailureThemselves) {
  ASSERT_TRUE(a.write(false, 64, pattern(64, 1)).good());
  pathA->injectFault(Fault{.kind = FaultKind::DeferredError, .opcode = 0x10, .k = 1});
  const CommandResult r = a.writeFilemarks(3);
  ASSERT_TRUE(hasSense(r, sense_key::kMediumError, 0x0C, 0x00));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x71);
  EXPECT_EQ(decodeSense(r.sense).information, 2);
  EXPECT_EQ(layout(), (std::vector<long>{64, -1}));
  EXPECT_TRUE(a.testUnitReady().good());
}

TEST_F(PerLoginBuffered, AnInitiatorCanSwitchBufferingOffAndThenWritesGoStraightToTheMedium) {
  ASSERT_TRUE(a.write(false, 10, pattern(10, 1)).good());
  const std::vector<uint8_t> list = {0, 0, 0x00, 0};  // header only: buffered mode 0
  ASSERT_TRUE(a.send({0x15, 0x10, 0, 0, 4, 0}, 0, list).good());
  EXPECT_EQ(layout(), (std::vector<long>{10})) << "leaving buffered mode writes the buffer";
  ASSERT_TRUE(a.write(false, 20, pattern(20, 2)).good());
  EXPECT_EQ(layout(), (std::vector<long>{10, 20}));
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).bufferedMode, 0);
  EXPECT_EQ(drive->initiatorSettings(pathB->initiator()).bufferedMode, 1) << "a setting of each initiator";

  // Without buffering a deferred error fault fails the write itself.
  pathA->injectFault(Fault{.kind = FaultKind::DeferredError, .k = 0});
  const CommandResult r = a.write(false, 30, pattern(30, 3));
  ASSERT_TRUE(hasSense(r, sense_key::kMediumError, 0x0C, 0x00));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x70) << "a current error";
  EXPECT_EQ(layout(), (std::vector<long>{10, 20}));

  const std::vector<uint8_t> bad = {0, 0, 0x30, 0};
  EXPECT_TRUE(hasSense(a.send({0x15, 0x10, 0, 0, 4, 0}, 0, bad), sense_key::kIllegalRequest, 0x26, 0x00));
}

class Unbuffered : public TwoPathDrive {};

TEST_F(Unbuffered, ADriveWithoutABufferSaysSoAndWritesThrough) {
  ASSERT_TRUE(a.setBlockLength(0).good()) << "the host asks for buffered mode 1";
  const CommandResult mode = a.send({0x1A, 0, 0x0F, 0, 32, 0}, 32);
  ASSERT_TRUE(mode.good());
  EXPECT_EQ(mode.dataIn[2] & 0x70, 0x00);
  ASSERT_TRUE(a.write(false, 10, pattern(10, 1)).good());
  EXPECT_EQ(layout(), (std::vector<long>{10}));
  const ShortPosition p = shortPosition(a);
  EXPECT_EQ(p.first, 1u);
  EXPECT_EQ(p.last, 1u);
  EXPECT_EQ(p.objects, 0u);
}

}  // namespace
}  // namespace hwtest
