// What belongs to each path (initiator) of a drive: unit attentions, block size,
// medium-removal prevention, private settings, identity as each path sees it.
#include "hw_fixture.h"

namespace hwtest {
namespace {

TEST(PowerOn, EveryPathSeesTheResetAttentionOnce) {
  San san;
  san.addAdapter();
  san.addAdapter();
  TapeDrive& drive = san.addDrive(DriveConfig{});
  Host a{&san.connect(0, 0, 1, 0, drive)};
  Host b{&san.connect(1, 0, 1, 0, drive)};

  EXPECT_TRUE(a.send({0x12, 0, 0, 0, 36, 0}, 36).good()) << "INQUIRY neither reports nor clears it";
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_TRUE(a.testUnitReady().good());
  const CommandResult rs = b.requestSense();
  ASSERT_TRUE(rs.good());
  const SenseInfo s = decodeSense(rs.dataIn);
  EXPECT_EQ(s.key, sense_key::kUnitAttention);
  EXPECT_EQ(s.asc, 0x29);
  EXPECT_TRUE(b.testUnitReady().good()) << "REQUEST SENSE consumed it";
}

class Initiators : public TwoPathDrive {};

TEST_F(Initiators, ResetAttentionsEveryPathOnceRewindsAndDropsPathSettings) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 4, pattern(2048, 1)).good());
  ASSERT_TRUE(b.preventRemoval(true).good());
  ASSERT_TRUE(a.reserve6().good());
  ASSERT_TRUE(pathA->setAmu(7).ok());

  EXPECT_EQ(pathB->logicalUnitReset(), 0u);

  EXPECT_TRUE(hasSense(a.write(true, 1, pattern(512, 2)), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_TRUE(b.testUnitReady().good());
  EXPECT_EQ(a.position(), 0u) << "the reset rewound the tape";
  EXPECT_EQ(drive->records().size(), 4u) << "the write that met the attention did not run";

  const InitiatorSettings s = drive->initiatorSettings(pathA->initiator());
  EXPECT_EQ(s.blockLength, 0u);
  EXPECT_EQ(s.amu, 0);
  EXPECT_FALSE(drive->reservations().reserve6Holder);
  EXPECT_TRUE(b.write(false, 10, pattern(10, 1)).good()) << "RESERVE(6) is gone";
  EXPECT_TRUE(b.loadUnload(false).good()) << "prevention is gone";
}

TEST_F(Initiators, BlockSizeBelongsToThePath) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 2, pattern(1024, 3)).good());
  ASSERT_TRUE(b.rewind().good());
  EXPECT_TRUE(hasSense(b.read(true, false, 1, 512), sense_key::kIllegalRequest, 0x24, 0x00));
  const CommandResult r = b.read(false, false, 512, 512);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn, pattern(512, 3));

  const CommandResult senseA = a.send({0x1A, 0, 0x0F, 0, 255, 0}, 255);
  const CommandResult senseB = b.send({0x1A, 0, 0x0F, 0, 255, 0}, 255);
  ASSERT_TRUE(senseA.good() && senseB.good());
  EXPECT_EQ(senseA.dataIn[3], 8) << "block descriptor length";
  EXPECT_EQ((senseA.dataIn[9] << 16) | (senseA.dataIn[10] << 8) | senseA.dataIn[11], 512);
  EXPECT_EQ((senseB.dataIn[9] << 16) | (senseB.dataIn[10] << 8) | senseB.dataIn[11], 0);
  EXPECT_EQ(senseA.dataIn[0] + 1u, senseA.dataIn.size()) << "mode data length";
  EXPECT_EQ(senseA.dataIn[4 + 8] & 0x3F, 0x0F) << "data compression page follows";

  const CommandResult ten = a.send({0x5A, 0, 0x0F, 0, 0, 0, 0, 0, 255, 0}, 255);
  ASSERT_TRUE(ten.good());
  EXPECT_EQ((ten.dataIn[6] << 8) | ten.dataIn[7], 8);
  EXPECT_EQ((ten.dataIn[13] << 16) | (ten.dataIn[14] << 8) | ten.dataIn[15], 512);

  EXPECT_TRUE(hasSense(a.setBlockLength(0x900000), sense_key::kIllegalRequest, 0x26, 0x00));
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).blockLength, 512u);
  EXPECT_TRUE(hasSense(a.send({0x1A, 0, 0xC0 | 0x0F, 0, 255, 0}, 255), sense_key::kIllegalRequest, 0x39, 0x00))
      << "saved values are not kept";
}

TEST_F(Initiators, PreventionOnOnePathBlocksUnloadFromAnyPath) {
  ASSERT_TRUE(a.preventRemoval(true).good());
  EXPECT_TRUE(hasSense(b.loadUnload(false), sense_key::kIllegalRequest, 0x53, 0x02));

  drive->operatorUnload();
  EXPECT_EQ(drive->mediumState(), MediumState::Loaded);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x5A, 0x01));
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x5A, 0x01));
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_TRUE(b.testUnitReady().good());

  ASSERT_TRUE(a.preventRemoval(false).good());
  ASSERT_TRUE(b.loadUnload(false).good());
  EXPECT_EQ(drive->mediumState(), MediumState::Unloaded);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kNotReady, 0x3A, 0x00));
  EXPECT_TRUE(hasSense(a.readPosition(0), sense_key::kNotReady, 0x3A, 0x00));
  ASSERT_TRUE(a.loadUnload(true).good());
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(a.testUnitReady().good()) << "the path that loaded gets no attention";
}

TEST_F(Initiators, CartridgeChangeAttentionsEveryPathAndKeepsTheOldTape) {
  ASSERT_TRUE(a.write(false, 64, pattern(64, 1)).good());
  ASSERT_TRUE(a.loadUnload(false).good());
  std::unique_ptr<Medium> old = drive->takeCartridge();
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(drive->mediumState(), MediumState::Absent);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kNotReady, 0x3A, 0x00));
  EXPECT_TRUE(hasSense(b.loadUnload(true), sense_key::kNotReady, 0x3A, 0x00));
  EXPECT_FALSE(drive->position());

  EXPECT_EQ(drive->insertCartridge(std::make_unique<Medium>(MediumConfig{"NEW001"})), nullptr);
  auto spare = drive->insertCartridge(std::make_unique<Medium>());
  EXPECT_NE(spare, nullptr) << "a second cartridge is handed back";
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(hasSense(a.read(false, false, 64, 64), sense_key::kBlankCheck, 0x00, 0x05));
  ASSERT_EQ(old->records().size(), 1u);
  EXPECT_EQ(old->records()[0].data, pattern(64, 1));
}

TEST_F(Initiators, PrivateSettingsTravelThroughThePath) {
  ASSERT_TRUE(pathA->setAmu(3).ok());
  EXPECT_EQ(pathA->queryAmu().value, 3u);
  EXPECT_EQ(pathB->queryAmu().value, 0u) << "the AMU setting is the path's";
  const PrivateResult bad = pathA->setAmu(0xFF);
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(decodeSense(bad.sense).key, sense_key::kIllegalRequest);

  EXPECT_EQ(pathB->queryDpfFlags().value, 1u);
  ASSERT_TRUE(pathA->setDpfFlags(6).ok());
  EXPECT_EQ(pathB->queryDpfFlags().value, 6u) << "the DPF flags are the drive's";

  drive->reset();
  const PrivateResult afterReset = pathA->queryAmu();
  ASSERT_TRUE(afterReset.ok()) << "private requests ignore unit attentions";
  EXPECT_EQ(afterReset.value, 0u);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00));

  pathB->setDown(kStatusIoTimeout);
  EXPECT_EQ(pathB->queryAmu().transportStatus, kStatusIoTimeout);
}

// The logical-unit NAA designator, found the way a path filter walks the page.
std::optional<uint64_t> logicalUnitName(const std::vector<uint8_t>& page) {
  for (std::size_t i = 4; i + 4 <= page.size(); i += 4 + page[i + 3]) {
    if ((page[i + 1] & 0x3F) == 0x03 && page[i + 3] == 8 && i + 12 <= page.size()) return be64(page, i + 4);
  }
  return std::nullopt;
}

std::optional<uint64_t> targetPortName(const std::vector<uint8_t>& page) {
  for (std::size_t i = 4; i + 4 <= page.size(); i += 4 + page[i + 3])
    if ((page[i + 1] & 0x3F) == 0x13 && page[i + 3] == 8) return be64(page, i + 4);
  return std::nullopt;
}

TEST_F(Initiators, IdentityAsEachPathSeesIt) {
  const CommandResult std = a.send({0x12, 0, 0, 0, 136, 0}, 136);
  ASSERT_TRUE(std.good());
  ASSERT_EQ(std.dataIn.size(), 96u);
  EXPECT_EQ(std.residual, 40u);
  EXPECT_EQ(std.dataIn[0], 0x01) << "sequential-access device";
  EXPECT_EQ(std.dataIn[4], 91);
  EXPECT_EQ(std::string(std.dataIn.begin() + 8, std.dataIn.begin() + 16), "VORKA   ");
  EXPECT_EQ(std::string(std.dataIn.begin() + 16, std.dataIn.begin() + 32), "VIRTUAL TAPE    ");

  const CommandResult serial = a.send({0x12, 1, 0x80, 0, 255, 0}, 255);
  ASSERT_TRUE(serial.good());
  EXPECT_EQ(std::string(serial.dataIn.begin() + 4, serial.dataIn.end()), "HU1234567890ABCDEFGHIJKLMNOPQRST");

  const CommandResult idA = a.send({0x12, 1, 0x83, 0x02, 0x30, 0}, 560);
  const CommandResult idB = b.send({0x12, 1, 0x83, 0x02, 0x30, 0}, 560);
  ASSERT_TRUE(idA.good() && idB.good());
  EXPECT_EQ(idA.dataIn[1], 0x83);
  EXPECT_EQ(((idA.dataIn[2] << 8) | idA.dataIn[3]) + 4u, idA.dataIn.size());
  EXPECT_EQ(logicalUnitName(idA.dataIn), 0x5ABCDEF0001234A0ull);
  EXPECT_EQ(logicalUnitName(idB.dataIn), 0x5ABCDEF0001234A0ull);
  EXPECT_EQ(targetPortName(idA.dataIn), pathA->targetPortName());
  EXPECT_EQ(targetPortName(idB.dataIn), pathB->targetPortName());
  EXPECT_NE(pathA->targetPortName(), pathB->targetPortName());
  EXPECT_EQ(drive->portName(drive->initiatorSettings(pathB->initiator()).targetPort), pathB->targetPortName());

  const CommandResult pages = a.send({0x12, 1, 0x00, 0, 255, 0}, 255);
  ASSERT_TRUE(pages.good());
  EXPECT_EQ(std::vector<uint8_t>(pages.dataIn.begin() + 4, pages.dataIn.end()), (std::vector<uint8_t>{0, 0x80, 0x83}));
  EXPECT_TRUE(hasSense(a.send({0x12, 1, 0x99, 0, 255, 0}, 255), sense_key::kIllegalRequest, 0x24, 0x00));
  EXPECT_TRUE(hasSense(a.send({0x12, 0, 0x80, 0, 255, 0}, 255), sense_key::kIllegalRequest, 0x24, 0x00));

  const CommandResult limits = a.send({0x05, 0, 0, 0, 0, 0}, 6);
  ASSERT_TRUE(limits.good());
  EXPECT_EQ(limits.dataIn, (std::vector<uint8_t>{0, 0x80, 0x00, 0x00, 0, 1}));
  EXPECT_TRUE(hasSense(a.send({0xE7, 0, 0, 0, 0, 0}), sense_key::kIllegalRequest, 0x20, 0x00));
}

}  // namespace
}  // namespace hwtest
