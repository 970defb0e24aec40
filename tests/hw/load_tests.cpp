// Threading a cartridge takes a real drive a quarter of a minute. The tests step
// the drive's clock by hand through loads and unloads, a library putting a
// cartridge in, and a write buffer that goes on draining after a link drops;
// and they check the smaller rules: READ POSITION's position error and WRITE
// FILEMARKS with IMMED in unbuffered mode.
#include <chrono>
#include <future>

#include "drive_impl.h"
#include "hw_fixture.h"

namespace hwtest {
namespace {

using namespace std::chrono_literals;

constexpr MotionModel kLoadTimes{.load = 15s, .unload = 10s};

CommandResult loadImmediate(Host& h, bool load) {
  return h.send({0x1B, 0x01, 0, 0, static_cast<uint8_t>(load ? 1 : 0), 0});
}

bool becomingReady(const CommandResult& r) { return hasSense(r, sense_key::kNotReady, 0x04, 0x01); }

// A drive whose cartridge takes 15 s to load and 10 s to unload; it starts unloaded.
class Loading : public TwoPathDrive {
 protected:
  void SetUp() override {
    TwoPathDrive::SetUp();
    ASSERT_TRUE(a.write(false, 16, pattern(16, 1)).good());
    ASSERT_TRUE(a.loadUnload(false).good());
    b.drainAttentions();
    drive->useManualClock();
    drive->setMotion(kLoadTimes);
  }
};

TEST_F(Loading, ALoadWithImmedReturnsAtOnceAndEveryPathHearsTheDriveBecomingReady) {
  ASSERT_TRUE(loadImmediate(a, true).good());
  EXPECT_TRUE(drive->motionInProgress());
  EXPECT_TRUE(becomingReady(a.testUnitReady()));
  EXPECT_TRUE(becomingReady(b.testUnitReady()));
  EXPECT_TRUE(becomingReady(b.read(false, true, 16, 16)));
  EXPECT_TRUE(becomingReady(b.readPosition(0)));
  EXPECT_TRUE(becomingReady(b.loadUnload(true))) << "a second load waits for the first";
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good()) << "INQUIRY does not need the tape";

  drive->advanceClock(5s);
  const CommandResult sense = b.requestSense();
  ASSERT_TRUE(sense.good());
  const SenseInfo s = decodeSense(sense.dataIn);
  EXPECT_EQ(s.key, sense_key::kNotReady);
  EXPECT_EQ(s.asc, 0x04);
  EXPECT_EQ(s.ascq, 0x01);
  EXPECT_EQ((uint32_t{sense.dataIn[16]} << 8) | sense.dataIn[17], 65536u / 3) << "5 of 15 s gone";
  EXPECT_EQ(drive->mediumState(), MediumState::Unloaded);

  drive->advanceClock(10s);
  EXPECT_EQ(drive->mediumState(), MediumState::Loaded);
  EXPECT_TRUE(a.testUnitReady().good()) << "the path that loaded it knows";
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(b.testUnitReady().good());
  EXPECT_EQ(b.read(false, true, 16, 16).dataIn, pattern(16, 1));
}

TEST_F(Loading, ALoadWithoutImmedReturnsWhenTheCartridgeIsReady) {
  auto loaded = std::async(std::launch::async, [&] { return a.loadUnload(true); });
  ASSERT_TRUE(drive->awaitMotion(20s));
  EXPECT_EQ(loaded.wait_for(20ms), std::future_status::timeout);
  drive->advanceClock(15s);
  EXPECT_TRUE(loaded.get().good());
  EXPECT_EQ(a.position(), 0u);
}

TEST_F(Loading, LosingThePathOfAWaitingLoadLosesItsCompletionButNotTheLoad) {
  auto loaded = std::async(std::launch::async, [&] { return a.loadUnload(true); });
  ASSERT_TRUE(drive->awaitMotion(20s));
  pathA->setDown(kStatusIoTimeout);
  EXPECT_EQ(loaded.get().transportStatus, kStatusIoTimeout);
  EXPECT_TRUE(becomingReady(b.testUnitReady()));
  drive->advanceClock(15s);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(b.testUnitReady().good());
}

TEST_F(Loading, AnUnloadTakesItsTimeAndTheCartridgeComesOutOnlyAfterwards) {
  ASSERT_TRUE(loadImmediate(a, true).good());
  drive->advanceClock(15s);
  b.drainAttentions();
  ASSERT_TRUE(loadImmediate(a, false).good());
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kNotReady, 0x04, 0x07)) << "operation in progress";
  EXPECT_EQ(drive->takeCartridge(), nullptr) << "still threaded";
  drive->advanceClock(10s);
  EXPECT_EQ(drive->mediumState(), MediumState::Unloaded);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kNotReady, 0x3A, 0x00));
  EXPECT_NE(drive->takeCartridge(), nullptr);
}

// A library's robot or the operator puts a cartridge into the empty drive.
class Insertion : public TwoPathDrive {
 protected:
  static DriveConfig empty() {
    DriveConfig c = defaultConfig();
    c.medium.reset();
    return c;
  }
  Insertion() : TwoPathDrive(empty()) {}
};

TEST_F(Insertion, AnInsertedCartridgeLoadsAndThenEveryInitiatorHearsOfTheChange) {
  drive->useManualClock();
  drive->setMotion(kLoadTimes);
  ASSERT_EQ(drive->insertCartridge(std::make_unique<Medium>()), nullptr);
  EXPECT_TRUE(becomingReady(a.testUnitReady()));
  EXPECT_TRUE(becomingReady(b.testUnitReady()));
  EXPECT_EQ(drive->takeCartridge(), nullptr) << "the robot cannot pull a loading cartridge";
  drive->advanceClock(15s);
  for (Host* h : {&a, &b}) {
    EXPECT_TRUE(hasSense(h->testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
    EXPECT_TRUE(h->testUnitReady().good());
  }
}

TEST_F(Insertion, WithoutALoadTimeTheCartridgeIsReadyAtOnce) {
  ASSERT_EQ(drive->insertCartridge(std::make_unique<Medium>()), nullptr);
  EXPECT_EQ(drive->mediumState(), MediumState::Loaded);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(a.testUnitReady().good());
}

TEST(ReadPositionForms, ABlockNumberBeyond32BitsIsAPositionErrorInTheShortFormOnly) {
  TapePosition p;
  p.object = 0x100000005ull;
  p.file = 2;
  const std::vector<uint8_t> shortForm = readPositionData(0x00, p, false);
  EXPECT_EQ(shortForm[0] & 0x02, 0x02) << "PERR";
  EXPECT_EQ(shortForm[0] & 0x04, 0x00) << "the position is known, only too large";
  EXPECT_EQ(be32(shortForm, 4), 0u);
  const std::vector<uint8_t> longForm = readPositionData(0x06, p, false);
  EXPECT_EQ(longForm[0] & 0x0E, 0x00);
  EXPECT_EQ(be64(longForm, 8), 0x100000005ull);
  p.object = 0xFFFFFFFFull;
  const std::vector<uint8_t> fits = readPositionData(0x00, p, false);
  EXPECT_EQ(fits[0] & 0x06, 0x00);
  EXPECT_EQ(be32(fits, 4), 0xFFFFFFFFu);
}

TEST_F(TwoPathDrive, FilemarksWithImmedAreRefusedInUnbufferedMode) {
  ASSERT_TRUE(a.write(false, 16, pattern(16, 1)).good());
  EXPECT_TRUE(hasSense(a.send(Host::six(0x10, 0x01, 1)), sense_key::kIllegalRequest, 0x24, 0x00));
  EXPECT_EQ(layout(), (std::vector<long>{16})) << "no filemark written";
  EXPECT_TRUE(a.writeFilemarks(1).good());
  EXPECT_EQ(layout(), (std::vector<long>{16, -1}));
}

class StrictVendorCommands : public TwoPathDrive {
 protected:
  static DriveConfig config() {
    DriveConfig c = defaultConfig();
    c.vendorCommandsHearAttentions = true;
    return c;
  }
  StrictVendorCommands() : TwoPathDrive(config()) {}
};

TEST_F(StrictVendorCommands, VendorUniqueCommandsHearAttentionsAndRespectReservations) {
  drive->reset();
  EXPECT_TRUE(hasSense(a.send({0xC0, 0, 0, 0, 1, 0}, 1), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_TRUE(hasSense(a.send({0xF7, 0, 0, 0, 0, 0}), sense_key::kIllegalRequest, 0x20, 0x00))
      << "an unknown one, once the attention is taken";
  b.drainAttentions();
  ASSERT_TRUE(a.reserve6().good());
  EXPECT_EQ(b.send({0xC0, 0, 0, 0, 1, 0}, 1).scsiStatus, kScsiReservationConflict);
  EXPECT_EQ(b.send({0xC1, 0, 2, 0, 0, 0}).scsiStatus, kScsiReservationConflict);
  EXPECT_EQ(b.send({0xF7, 0, 0, 0, 0, 0}).scsiStatus, kScsiReservationConflict);
  EXPECT_TRUE(a.send({0xC1, 0, 2, 0, 0, 0}).good());
}

// A drive with a write buffer that writes 1 MB in 100 ms, once nobody is connected to stop it.
class Draining : public TwoPathDrive {
 protected:
  static DriveConfig config(std::optional<std::chrono::microseconds> perMB) {
    DriveConfig c = defaultConfig();
    c.buffered = true;
    c.drainPerMB = perMB;
    return c;
  }
  explicit Draining(std::optional<std::chrono::microseconds> perMB = 100ms) : TwoPathDrive(config(perMB)) {}
  // Ten blocks of 100000 bytes acknowledged into the buffer.
  void writeTenBlocks() {
    drive->useManualClock();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(a.write(false, 100000, pattern(100000, static_cast<uint8_t>(i))).good());
    ASSERT_EQ(drive->bufferedRecords().size(), 10u);
  }
};

class DrainingAtOnce : public Draining {
 protected:
  DrainingAtOnce() : Draining(0us) {}
};

class NotDraining : public Draining {
 protected:
  NotDraining() : Draining(std::nullopt) {}
};

TEST_F(Draining, AfterALinkDropTheBufferReachesTheTapeAtTheDrivesPaceAndAResetLosesOnlyTheRest) {
  writeTenBlocks();
  pathA->setDown(kStatusIoTimeout);
  drive->advanceClock(50ms);
  EXPECT_EQ(drive->records().size(), 5u) << "half a megabyte written in 50 ms";
  drive->reset();
  ASSERT_EQ(drive->bufferLosses().size(), 1u);
  EXPECT_EQ(drive->bufferLosses()[0].object, 5u);
  EXPECT_EQ(drive->bufferLosses()[0].records.size(), 5u);
}

TEST_F(DrainingAtOnce, AfterALinkDropTheBufferIsOnTheTapeBeforeAnyReset) {
  writeTenBlocks();
  pathA->setDown(kStatusIoTimeout);
  drive->reset();
  EXPECT_EQ(drive->records().size(), 10u);
  EXPECT_TRUE(drive->bufferLosses().empty());
}

TEST_F(NotDraining, WithoutADrainTheBufferWaitsAndAResetLosesIt) {
  writeTenBlocks();
  pathA->setDown(kStatusIoTimeout);
  drive->advanceClock(10s);
  EXPECT_TRUE(drive->records().empty());
  drive->reset();
  ASSERT_EQ(drive->bufferLosses().size(), 1u);
  EXPECT_EQ(drive->bufferLosses()[0].records.size(), 10u);
}

}  // namespace
}  // namespace hwtest
