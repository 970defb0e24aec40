// Mode pages shared by every login (most drives) or kept per login: who sees a MODE SELECT, who is
// told of it (06/2A/01), what a lost login and a reset do to the settings, and how VPD page 0x87
// reports the policy.
#include "hw_fixture.h"

namespace hwtest {
namespace {

uint32_t blockLengthSeenBy(Host& host) {
  const CommandResult r = host.send({0x1A, 0, 0x0F, 0, 255, 0}, 255);
  EXPECT_TRUE(r.good());
  return r.dataIn.size() >= 12 ? be32(r.dataIn, 8) & 0xFFFFFF : ~0u;
}

// MODE SELECT(6) of the data compression page alone.
CommandResult setCompression(Host& host, bool on) {
  std::vector<uint8_t> list(4 + 16, 0);
  list[2] = 0x10;
  list[4] = 0x0F;
  list[5] = 0x0E;
  list[6] = on ? 0x80 : 0x00;
  list[7] = 0x80;
  return host.send({0x15, 0x10, 0, 0, static_cast<uint8_t>(list.size()), 0}, 0, list);
}

// The (page, subpage, policy) of each descriptor of VPD page 0x87.
std::vector<std::array<uint8_t, 3>> policies(Host& host) {
  const CommandResult r = host.send({0x12, 1, 0x87, 0, 255, 0}, 255);
  EXPECT_TRUE(r.good());
  std::vector<std::array<uint8_t, 3>> out;
  if (r.dataIn.size() < 4) return out;
  EXPECT_EQ(r.dataIn[1], 0x87);
  EXPECT_EQ(((r.dataIn[2] << 8) | r.dataIn[3]) + 4u, r.dataIn.size());
  for (std::size_t i = 4; i + 4 <= r.dataIn.size(); i += 4)
    out.push_back({static_cast<uint8_t>(r.dataIn[i] & 0x3F), r.dataIn[i + 1], static_cast<uint8_t>(r.dataIn[i + 2] & 0x03)});
  return out;
}

std::vector<uint8_t> supportedPages(Host& host) {
  const CommandResult r = host.send({0x12, 1, 0x00, 0, 255, 0}, 255);
  EXPECT_TRUE(r.good());
  return r.dataIn.size() > 4 ? std::vector<uint8_t>(r.dataIn.begin() + 4, r.dataIn.end()) : std::vector<uint8_t>{};
}

class SharedModePages : public TwoPathDrive {};

// One backup host sets 512-byte blocks through path A. Path B's next command is refused once with
// MODE PARAMETERS CHANGED and did not run; from then on B reads and writes 512-byte blocks too.
// A repeated MODE SELECT that changes nothing tells nobody; a change through B tells A.
TEST_F(SharedModePages, AChangeThroughOnePathIsTheDrivesAndEveryOtherPathHearsOfItOnce) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  EXPECT_TRUE(a.testUnitReady().good()) << "the path that changed it hears nothing";
  EXPECT_TRUE(hasSense(b.write(true, 1, pattern(512, 1)), sense_key::kUnitAttention, 0x2A, 0x01));
  EXPECT_TRUE(drive->records().empty()) << "the write that met the notice did not run";
  ASSERT_TRUE(b.write(true, 2, pattern(1024, 1)).good());
  EXPECT_EQ(blockLengthSeenBy(b), 512u);
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).blockLength, 512u);
  EXPECT_EQ(layout(), (std::vector<long>{512, 512}));

  ASSERT_TRUE(a.setBlockLength(512).good());
  EXPECT_TRUE(hasSense(a.setBlockLength(0x900000), sense_key::kIllegalRequest, 0x26, 0x00));
  EXPECT_TRUE(b.testUnitReady().good()) << "neither an unchanged nor a rejected list is a change";

  ASSERT_TRUE(setCompression(b, false).good());
  EXPECT_FALSE(drive->initiatorSettings(pathA->initiator()).compression);
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).pendingUnitAttentions, std::vector<std::string>{"2A/01"});
  EXPECT_TRUE(b.testUnitReady().good());
}

// The settings are the drive's: a path whose login is lost finds them as they were when it comes
// back (only its own loss is reported), and a unit reset puts them back to the defaults for every path,
// with only the reset's notice.
TEST_F(SharedModePages, ALostLoginKeepsThemAndAResetRestoresTheDefaultsForAll) {
  ASSERT_TRUE(a.setBlockLength(1024).good());
  pathA->setDown(kStatusIoTimeout);
  pathA->restore();
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x07));
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_EQ(blockLengthSeenBy(a), 1024u) << "the lost login did not take the drive's block size";
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01));

  ASSERT_TRUE(b.setBlockLength(2048).good());
  EXPECT_EQ(pathA->logicalUnitReset(), 0u);
  EXPECT_EQ(drive->initiatorSettings(pathA->initiator()).pendingUnitAttentions, std::vector<std::string>{"29/00"})
      << "the reset's notice replaces the mode change's";
  EXPECT_EQ(drive->initiatorSettings(pathB->initiator()).pendingUnitAttentions, std::vector<std::string>{"29/00"});
  a.drainAttentions();
  b.drainAttentions();
  EXPECT_EQ(blockLengthSeenBy(a), 0u);
  EXPECT_EQ(blockLengthSeenBy(b), 0u);
}

// With a write buffer, turning buffered mode off through one path makes every path's writes go to
// the tape before they are acknowledged.
TEST(SharedBufferedMode, UnbufferedThroughOnePathIsUnbufferedForAll) {
  DriveConfig config = TwoPathDrive::defaultConfig();
  config.buffered = true;
  San san;
  san.addAdapter();
  san.addAdapter();
  TapeDrive& drive = san.addDrive(config);
  Host a{&san.connect(0, 0, 1, 0, drive, 0)};
  Host b{&san.connect(1, 0, 1, 0, drive, 1)};
  a.drainAttentions();
  b.drainAttentions();
  ASSERT_TRUE(b.write(false, 100, pattern(100, 1)).good());
  EXPECT_EQ(drive.bufferedRecords().size(), 1u);
  const std::vector<uint8_t> unbuffered = {0, 0, 0x00, 0};
  ASSERT_TRUE(a.send({0x15, 0x10, 0, 0, 4, 0}, 0, unbuffered).good());
  EXPECT_TRUE(drive.bufferedRecords().empty()) << "what was buffered went to the tape";
  EXPECT_TRUE(hasSense(b.write(false, 100, pattern(100, 2)), sense_key::kUnitAttention, 0x2A, 0x01));
  ASSERT_TRUE(b.write(false, 100, pattern(100, 2)).good());
  EXPECT_TRUE(drive.bufferedRecords().empty());
  EXPECT_EQ(drive.records().size(), 2u);
}

class PerLoginModePages : public TwoPathDrive {
 protected:
  PerLoginModePages() : TwoPathDrive(perLoginConfig()) {}
};

// Each login its own: a change through A is A's alone and nobody is told; A's lost login takes A's
// settings with it.
TEST_F(PerLoginModePages, AChangeBelongsToItsLoginAloneAndGoesWithIt) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(setCompression(a, false).good());
  EXPECT_TRUE(b.testUnitReady().good()) << "no notice for the other path";
  EXPECT_EQ(blockLengthSeenBy(b), 0u);
  EXPECT_TRUE(drive->initiatorSettings(pathB->initiator()).compression);
  pathA->setDown(kStatusIoTimeout);
  pathA->restore();
  a.drainAttentions();
  EXPECT_EQ(blockLengthSeenBy(a), 0u);
  EXPECT_TRUE(drive->initiatorSettings(pathA->initiator()).compression);
}

// VPD page 0x87 lists both mode pages the drive has (control data protection 0x0A/0xF0, data
// compression 0x0F) with the drive's policy, and page 0x00 lists 0x87.
TEST(ModePagePolicyPage, ReportsSharedOrPerNexusForEveryPage) {
  for (const ModePagePolicy policy : {ModePagePolicy::Shared, ModePagePolicy::PerLogin}) {
    DriveConfig config = TwoPathDrive::defaultConfig();
    config.modePages = policy;
    San san;
    san.addAdapter();
    TapeDrive& drive = san.addDrive(config);
    Host a{&san.connect(0, 0, 1, 0, drive)};
    EXPECT_EQ(supportedPages(a), (std::vector<uint8_t>{0x00, 0x80, 0x83, 0x87}));
    const uint8_t bits = policy == ModePagePolicy::Shared ? 0x0 : 0x3;
    EXPECT_EQ(policies(a), (std::vector<std::array<uint8_t, 3>>{{0x0A, 0xF0, bits}, {0x0F, 0x00, bits}}));
    EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00)) << "INQUIRY left the notice";
  }
}

}  // namespace
}  // namespace hwtest
