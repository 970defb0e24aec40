// Reading and writing a tape the way backup software does, checked against the
// drive's ground truth.
#include "hw_fixture.h"

namespace hwtest {
namespace {

class TapeIo : public TwoPathDrive {};

// Protection set through one login only: the drive keeps each login's mode parameters its own.
class PerLoginTapeIo : public TwoPathDrive {
 protected:
  PerLoginTapeIo() : TwoPathDrive(perLoginConfig()) {}
};

TEST_F(TapeIo, BackupOfTwoFilesReadsBackBlockForBlock) {
  const auto fixedData = pattern(10 * 512, 1);
  const auto v1 = pattern(100, 2), v2 = pattern(7000, 3), v3 = pattern(1, 4);

  ASSERT_TRUE(a.setBlockLength(512).good());
  const CommandResult w = a.write(true, 10, fixedData);
  ASSERT_TRUE(w.good());
  EXPECT_EQ(w.dataOutTransferred, 5120u);
  EXPECT_EQ(w.residual, 0u);
  ASSERT_TRUE(a.writeFilemarks(1).good());
  ASSERT_TRUE(a.setBlockLength(0).good());
  for (const auto* v : {&v1, &v2, &v3}) ASSERT_TRUE(a.write(false, static_cast<uint32_t>(v->size()), *v).good());

  std::vector<long> expected(10, 512);
  expected.insert(expected.end(), {-1, 100, 7000, 1});
  EXPECT_EQ(layout(), expected);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "a's block sizes are the drive's";
  EXPECT_EQ(b.position(), 14u);  // the position is the drive's, whichever path asks

  ASSERT_TRUE(a.rewind().good());
  const CommandResult shortForm = a.readPosition(0);
  ASSERT_TRUE(shortForm.good());
  EXPECT_EQ(shortForm.dataIn[0] & 0x80, 0x80) << "BOP after rewind";

  ASSERT_TRUE(a.setBlockLength(512).good());
  const CommandResult r = a.read(true, false, 10, 5120);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn, fixedData);

  const CommandResult fm = a.read(true, false, 1, 512);
  ASSERT_TRUE(hasSense(fm, sense_key::kNoSense, 0x00, 0x01));
  const SenseInfo s = decodeSense(fm.sense);
  EXPECT_TRUE(s.filemark);
  EXPECT_TRUE(s.infoValid);
  EXPECT_EQ(s.information, 1);
  EXPECT_TRUE(fm.dataIn.empty());
  EXPECT_EQ(a.position(), 11u) << "a read stops after the filemark";

  ASSERT_TRUE(a.setBlockLength(0).good());
  for (const auto* v : {&v1, &v2, &v3}) {
    const CommandResult rv = a.read(false, false, static_cast<uint32_t>(v->size()), static_cast<uint32_t>(v->size()));
    ASSERT_TRUE(rv.good());
    EXPECT_EQ(rv.dataIn, *v);
  }

  const CommandResult eod = a.read(false, false, 64, 64);
  ASSERT_TRUE(hasSense(eod, sense_key::kBlankCheck, 0x00, 0x05));
  EXPECT_EQ(decodeSense(eod.sense).information, 64);
  EXPECT_EQ(eod.residual, 64u);
  EXPECT_EQ(a.position(), 14u);
}

TEST_F(TapeIo, VariableReadOfWrongLengthReportsIncorrectLength) {
  const auto block = pattern(300, 9);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.write(false, 300, block).good());
  ASSERT_TRUE(a.rewind().good());

  // Asking for more than the block holds: the block arrives, ILI and the residual.
  const CommandResult under = a.read(false, false, 512, 512);
  ASSERT_TRUE(hasSense(under, sense_key::kNoSense, 0x00, 0x00));
  EXPECT_TRUE(decodeSense(under.sense).ili);
  EXPECT_EQ(decodeSense(under.sense).information, 212);
  EXPECT_EQ(under.dataIn, block);
  EXPECT_EQ(under.residual, 212u);

  // SILI suppresses the report of a short block; only the residual tells.
  const CommandResult silent = a.read(false, true, 512, 512);
  EXPECT_TRUE(silent.good());
  EXPECT_EQ(silent.dataIn.size(), 300u);
  EXPECT_EQ(silent.residual, 212u);

  // A block longer than asked for: truncated data, negative information field.
  const CommandResult over = a.read(false, true, 100, 100);
  ASSERT_TRUE(hasSense(over, sense_key::kNoSense, 0x00, 0x00));
  EXPECT_TRUE(decodeSense(over.sense).ili);
  EXPECT_EQ(decodeSense(over.sense).information, -200);
  EXPECT_EQ(over.dataIn, std::vector<uint8_t>(block.begin(), block.begin() + 100));
  EXPECT_EQ(a.position(), 3u) << "each read moves past its whole block";
}

TEST_F(TapeIo, FixedReadStopsAfterABlockOfWrongLength) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 2, pattern(1024, 1)).good());
  ASSERT_TRUE(a.setBlockLength(0).good());
  ASSERT_TRUE(a.write(false, 100, pattern(100, 2)).good());
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 1, pattern(512, 3)).good());
  ASSERT_TRUE(a.rewind().good());

  const CommandResult r = a.read(true, false, 4, 2048);
  ASSERT_TRUE(hasSense(r, sense_key::kNoSense, 0x00, 0x00));
  EXPECT_TRUE(decodeSense(r.sense).ili);
  EXPECT_EQ(decodeSense(r.sense).information, 2) << "blocks not read, the wrong one included";
  EXPECT_EQ(r.dataIn, pattern(1024, 1));
  EXPECT_EQ(a.position(), 3u);

  // SILI with fixed blocks, or fixed blocks without a block length, are refused.
  EXPECT_TRUE(hasSense(a.read(true, true, 1, 512), sense_key::kIllegalRequest, 0x24, 0x00));
  ASSERT_TRUE(a.setBlockLength(0).good());
  EXPECT_TRUE(hasSense(a.read(true, false, 1, 512), sense_key::kIllegalRequest, 0x24, 0x00));
}

TEST_F(TapeIo, WritingInTheMiddleDiscardsEverythingAfter) {
  for (uint32_t n = 10; n <= 50; n += 10) ASSERT_TRUE(a.write(false, n, pattern(n, 1)).good());
  ASSERT_TRUE(a.locate10(2).good());
  ASSERT_TRUE(b.write(false, 77, pattern(77, 5)).good());
  EXPECT_EQ(layout(), (std::vector<long>{10, 20, 77}));
  const CommandResult pos = a.readPosition(0);
  ASSERT_TRUE(pos.good());
  EXPECT_EQ(be32(pos.dataIn, 4), 3u);
  EXPECT_TRUE(hasSense(a.read(false, false, 30, 30), sense_key::kBlankCheck, 0x00, 0x05));

  ASSERT_TRUE(a.locate10(1).good());
  ASSERT_TRUE(a.writeFilemarks(1).good());
  EXPECT_EQ(layout(), (std::vector<long>{10, -1}));
  ASSERT_TRUE(a.writeFilemarks(0).good());  // a flush: the medium does not change
  EXPECT_EQ(layout(), (std::vector<long>{10, -1}));
}

TEST_F(TapeIo, SpacingOverBlocksAndFilemarks) {
  // 0 1 2 data, 3 FM, 4 5 data, 6 FM, 7 FM, 8 data; EOD = 9
  auto block = [&] { ASSERT_TRUE(a.write(false, 16, pattern(16, 0)).good()); };
  block(), block(), block();
  ASSERT_TRUE(a.writeFilemarks(1).good());
  block(), block();
  ASSERT_TRUE(a.writeFilemarks(2).good());
  block();
  ASSERT_TRUE(a.rewind().good());

  CommandResult r = a.space(0, 5);
  ASSERT_TRUE(hasSense(r, sense_key::kNoSense, 0x00, 0x01));
  EXPECT_TRUE(decodeSense(r.sense).filemark);
  EXPECT_EQ(decodeSense(r.sense).information, 2);
  EXPECT_EQ(a.position(), 4u) << "forward: after the filemark";

  ASSERT_TRUE(a.space(1, 1).good());
  EXPECT_EQ(a.position(), 7u);
  r = a.space(0, -1);
  ASSERT_TRUE(hasSense(r, sense_key::kNoSense, 0x00, 0x01));
  EXPECT_EQ(decodeSense(r.sense).information, 1);
  EXPECT_EQ(a.position(), 6u) << "reverse: on the BOP side of the filemark";
  ASSERT_TRUE(a.space(1, -1).good());
  EXPECT_EQ(a.position(), 3u);

  ASSERT_TRUE(a.rewind().good());
  ASSERT_TRUE(a.space(2, 2).good());
  EXPECT_EQ(a.position(), 8u) << "after the first pair of consecutive filemarks";
  ASSERT_TRUE(a.space(3, 0).good());
  EXPECT_EQ(a.position(), 9u);

  r = a.space(0, 2);
  ASSERT_TRUE(hasSense(r, sense_key::kBlankCheck, 0x00, 0x05));
  EXPECT_EQ(decodeSense(r.sense).information, 2);
  ASSERT_TRUE(a.rewind().good());
  r = a.space(1, 4);
  ASSERT_TRUE(hasSense(r, sense_key::kBlankCheck, 0x00, 0x05));
  EXPECT_EQ(decodeSense(r.sense).information, 1) << "three of four filemarks spaced";
  EXPECT_EQ(a.position(), 9u);

  ASSERT_TRUE(a.locate10(2).good());
  r = a.space(0, -5);
  ASSERT_TRUE(hasSense(r, sense_key::kNoSense, 0x00, 0x04));
  EXPECT_TRUE(decodeSense(r.sense).eom);
  EXPECT_EQ(decodeSense(r.sense).information, 3);
  EXPECT_EQ(a.position(), 0u);
  ASSERT_TRUE(a.locate10(2).good());
  EXPECT_TRUE(hasSense(a.space(1, -1), sense_key::kNoSense, 0x00, 0x04));
  EXPECT_TRUE(hasSense(a.space(4, 1), sense_key::kIllegalRequest, 0x24, 0x00)) << "setmarks";
}

TEST_F(TapeIo, PositionIsReportedAndLocatedInEveryForm) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());
  ASSERT_TRUE(a.writeFilemarks(1).good());
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());

  ASSERT_TRUE(a.locate10(6).good());
  const CommandResult shortForm = a.readPosition(0);
  ASSERT_TRUE(shortForm.good());
  ASSERT_EQ(shortForm.dataIn.size(), 20u);
  EXPECT_EQ(shortForm.dataIn[0] & 0x80, 0);
  EXPECT_EQ(be32(shortForm.dataIn, 4), 6u);
  EXPECT_EQ(be32(shortForm.dataIn, 8), 6u);
  const CommandResult longForm = a.readPosition(6);
  ASSERT_TRUE(longForm.good());
  ASSERT_EQ(longForm.dataIn.size(), 32u);
  EXPECT_EQ(be64(longForm.dataIn, 8), 6u);
  EXPECT_EQ(be64(longForm.dataIn, 16), 1u) << "logical file number";

  ASSERT_TRUE(b.locate16(1, 1).good());
  EXPECT_EQ(a.position(), 5u) << "start of file 1";
  ASSERT_TRUE(b.locate16(0, 2).good());
  EXPECT_EQ(a.position(), 2u);
  ASSERT_TRUE(b.locate16(3, 0).good());
  EXPECT_EQ(a.position(), 7u);
  EXPECT_TRUE(hasSense(b.locate10(100), sense_key::kBlankCheck, 0x00, 0x05));
  EXPECT_EQ(a.position(), 7u) << "a locate past EOD stops at EOD";
  EXPECT_TRUE(hasSense(b.locate16(1, 2), sense_key::kBlankCheck, 0x00, 0x05));
}

TEST_F(TapeIo, ReadReverseDeliversBlocksBackwardsAndStopsBeforeAFilemark) {
  ASSERT_TRUE(a.writeFilemarks(1).good());
  const std::vector<uint8_t> abcd = {'a', 'b', 'c', 'd'}, xyz = {'x', 'y', 'z'};
  ASSERT_TRUE(a.write(false, 4, abcd).good());
  ASSERT_TRUE(a.write(false, 3, xyz).good());

  CommandResult r = a.readReverse(false, 3, 3);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn, (std::vector<uint8_t>{'z', 'y', 'x'}));
  r = a.readReverse(false, 4, 4);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn, (std::vector<uint8_t>{'d', 'c', 'b', 'a'}));
  EXPECT_EQ(a.position(), 1u);
  r = a.readReverse(false, 4, 4);
  ASSERT_TRUE(hasSense(r, sense_key::kNoSense, 0x00, 0x01));
  EXPECT_EQ(a.position(), 0u);
  EXPECT_TRUE(hasSense(a.readReverse(false, 4, 4), sense_key::kNoSense, 0x00, 0x04));
}

TEST_F(TapeIo, EraseCutsTheTapeAndAWriteProtectedCartridgeRefusesWrites) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.write(false, 32, pattern(32, 1)).good());
  ASSERT_TRUE(a.locate10(1).good());
  ASSERT_TRUE(a.erase().good());
  EXPECT_EQ(layout(), (std::vector<long>{32}));

  ASSERT_TRUE(a.loadUnload(false).good());
  auto cartridge = drive->takeCartridge();
  ASSERT_NE(cartridge, nullptr);
  cartridge->setWriteProtected(true);
  ASSERT_EQ(drive->insertCartridge(std::move(cartridge)), nullptr);
  a.drainAttentions();
  EXPECT_TRUE(hasSense(a.write(false, 32, pattern(32, 1)), sense_key::kDataProtect, 0x27, 0x00));
  EXPECT_TRUE(hasSense(a.writeFilemarks(1), sense_key::kDataProtect, 0x27, 0x00));
  EXPECT_TRUE(hasSense(a.erase(), sense_key::kDataProtect, 0x27, 0x00));
  const CommandResult sense = a.send({0x1A, 0, 0x0F, 0, 255, 0}, 255);
  ASSERT_TRUE(sense.good());
  EXPECT_EQ(sense.dataIn[2] & 0x80, 0x80) << "WP bit of the mode header";
  EXPECT_EQ(layout(), (std::vector<long>{32}));
}

TEST_F(TapeIo, VerifyChecksBlocksAndMovesLikeARead) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 3, pattern(1536, 1)).good());
  ASSERT_TRUE(a.writeFilemarks(1).good());
  ASSERT_TRUE(a.write(true, 2, pattern(1024, 1)).good());
  ASSERT_TRUE(a.rewind().good());

  EXPECT_TRUE(a.send(Host::six(0x13, 0x01, 3)).good());
  EXPECT_EQ(a.position(), 3u);
  EXPECT_TRUE(hasSense(a.send(Host::six(0x13, 0x01, 1)), sense_key::kNoSense, 0x00, 0x01));
  EXPECT_EQ(a.position(), 4u);
  ASSERT_TRUE(a.rewind().good());
  EXPECT_TRUE(a.send(Host::six(0x13, 0x20 | 0x10 | 0x04, 0)).good()) << "VTE, VLBPM, IMMED";
  EXPECT_EQ(a.position(), 6u) << "verify to end of data";
  EXPECT_TRUE(hasSense(a.send(Host::six(0x13, 0x02, 1)), sense_key::kIllegalRequest, 0x24, 0x00));
}

TEST_F(PerLoginTapeIo, LogicalBlockProtectionIsSetPerPathAndChecked) {
  // Control data protection page: CRC32C, 4 bytes, LBP_W and LBP_R.
  std::vector<uint8_t> list = {0, 0, 0, 0, 0x4A, 0xF0, 0x00, 0x1C, 0x02, 0x04, 0xC0};
  list.resize(4 + 32, 0);
  ASSERT_TRUE(a.send({0x15, 0x10, 0, 0, static_cast<uint8_t>(list.size()), 0}, 0, list).good());

  const auto payload = pattern(100, 7);
  std::vector<uint8_t> wire = payload;
  const uint32_t crc = crc32c(payload);
  for (int i = 3; i >= 0; --i) wire.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  ASSERT_TRUE(a.write(false, 104, wire).good());

  std::vector<uint8_t> corrupt = wire;
  corrupt[10] ^= 1;
  EXPECT_TRUE(hasSense(a.write(false, 104, corrupt), sense_key::kAbortedCommand, 0x10, 0x01));
  const auto recs = drive->records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].data, payload) << "the protection information is not part of the block";
  EXPECT_TRUE(recs[0].writtenWithProtection);

  ASSERT_TRUE(a.rewind().good());
  const CommandResult withPi = a.read(false, false, 104, 104);
  ASSERT_TRUE(withPi.good());
  EXPECT_EQ(withPi.dataIn, wire);
  ASSERT_TRUE(b.rewind().good());
  const CommandResult plain = b.read(false, false, 100, 100);
  ASSERT_TRUE(plain.good()) << "the other path has no protection set";
  EXPECT_EQ(plain.dataIn, payload);

  const CommandResult pageA = a.send({0x1A, 0x08, 0x0A, 0xF0, 255, 0}, 255);
  const CommandResult pageB = b.send({0x1A, 0x08, 0x0A, 0xF0, 255, 0}, 255);
  ASSERT_TRUE(pageA.good() && pageB.good());
  EXPECT_EQ(pageA.dataIn[4 + 4], 0x02);
  EXPECT_EQ(pageA.dataIn[4 + 6] & 0xC0, 0xC0);
  EXPECT_EQ(pageB.dataIn[4 + 4], 0x00);

  list[8] = 0x01;  // Reed-Solomon CRC is not offered
  EXPECT_TRUE(hasSense(a.send({0x15, 0x10, 0, 0, static_cast<uint8_t>(list.size()), 0}, 0, list),
                       sense_key::kIllegalRequest, 0x26, 0x00));
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).lbp, (LbpSettings{2, 4, true, true, false}));
}

TEST(MediumDump, ListsEveryRecordWithItsCrc) {
  // The CRC32C check value of "123456789" is e3069283.
  const std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32c(digits), 0xE3069283u);
  Medium m;
  m.appendData(digits, false);
  m.appendFilemark();
  EXPECT_EQ(m.dump(), "0: data 9 bytes crc=e3069283\n1: filemark\n");
  EXPECT_EQ(m.positionOfFile(1), 2u);
  EXPECT_EQ(m.positionOfFile(2), m.endOfData() + 1);
}

class SmallTape : public TwoPathDrive {
 protected:
  SmallTape() : TwoPathDrive(config()) {}
  static DriveConfig config() {
    DriveConfig c = defaultConfig();
    c.medium = MediumConfig{"SMALL", 10000, 2000, false};
    return c;
  }
};

TEST_F(SmallTape, EarlyWarningThenVolumeOverflow) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.write(false, 2000, pattern(2000, 1)).good());
  // The fourth block reaches the early-warning zone: written, but reported.
  const CommandResult ew = a.write(false, 2000, pattern(2000, 1));
  ASSERT_TRUE(hasSense(ew, sense_key::kNoSense, 0x00, 0x02));
  EXPECT_TRUE(decodeSense(ew.sense).eom);
  EXPECT_EQ(ew.dataOutTransferred, 2000u);
  EXPECT_EQ(drive->records().size(), 4u);
  EXPECT_EQ(a.readPosition(0).dataIn[0] & 0x01, 0x01) << "beyond early warning";

  ASSERT_TRUE(a.setBlockLength(1000).good());
  const CommandResult full = a.write(true, 3, pattern(3000, 2));
  ASSERT_TRUE(hasSense(full, sense_key::kVolumeOverflow, 0x00, 0x02));
  EXPECT_TRUE(decodeSense(full.sense).eom);
  EXPECT_EQ(decodeSense(full.sense).information, 1) << "one of three blocks did not fit";
  EXPECT_EQ(full.dataOutTransferred, 2000u);
  EXPECT_EQ(full.residual, 1000u);
  EXPECT_EQ(drive->records().size(), 6u);
  EXPECT_EQ(a.position(), 6u);
}

}  // namespace
}  // namespace hwtest
