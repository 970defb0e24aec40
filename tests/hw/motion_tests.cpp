// Positioning takes time on a real drive. The tests step the drive's clock by
// hand: a long LOCATE or REWIND is in progress until they say it is over, and
// a path loss, a reset or a preempt can stop it half-way.
#include <chrono>
#include <future>
#include <thread>

#include "hw_fixture.h"

namespace hwtest {
namespace {

using namespace std::chrono_literals;

constexpr MotionModel kMotion{.perCommand = 10ms, .perObject = 1ms, .longErase = 500ms};

DriveConfig motionConfig(bool rewindOnReset) {
  DriveConfig c = TwoPathDrive::defaultConfig();
  c.rewindOnReset = rewindOnReset;
  return c;
}

class Motion : public TwoPathDrive {
 protected:
  explicit Motion(bool rewindOnReset = true) : TwoPathDrive(motionConfig(rewindOnReset)) {}
  // 100 blocks on the tape, head at the end; from now on the tape takes time.
  void SetUp() override {
    TwoPathDrive::SetUp();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(a.write(false, 16, pattern(16, static_cast<uint8_t>(i))).good());
    drive->useManualClock();
    drive->setMotion(kMotion);
  }
  CommandResult locateImmediate(Host& h, uint32_t block) {
    return h.send({0x2B, 0x01, 0, static_cast<uint8_t>(block >> 24), static_cast<uint8_t>(block >> 16),
                   static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block), 0, 0, 0});
  }
  void waitForMotion() {
    ASSERT_TRUE(drive->awaitMotion(20s));
  }
  bool positionUnknown(Host& h) {
    const CommandResult r = h.readPosition(0);
    EXPECT_TRUE(r.good());
    return !r.dataIn.empty() && (r.dataIn[0] & 0x04);
  }
};

class MotionWithoutRewindOnReset : public Motion {
 protected:
  MotionWithoutRewindOnReset() : Motion(false) {}
};

TEST_F(Motion, AnImmediateLocateReturnsAtOnceAndTheTapeGetsThereLater) {
  ASSERT_TRUE(locateImmediate(a, 10).good());
  EXPECT_TRUE(drive->motionInProgress());
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kNotReady, 0x04, 0x07));
  EXPECT_TRUE(hasSense(b.readPosition(0), sense_key::kNotReady, 0x04, 0x07)) << "every path waits for the tape";
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good()) << "INQUIRY does not need the tape";

  drive->advanceClock(50ms);
  const CommandResult progress = a.requestSense();
  ASSERT_TRUE(progress.good());
  const SenseInfo s = decodeSense(progress.dataIn);
  EXPECT_EQ(s.asc, 0x00);
  EXPECT_EQ(s.ascq, 0x19) << "locate operation in progress";
  const uint32_t fraction = (uint32_t{progress.dataIn[16]} << 8) | progress.dataIn[17];
  EXPECT_EQ(fraction, 0x8000u) << "50 of 100 ms gone";

  drive->advanceClock(50ms);
  EXPECT_FALSE(drive->motionInProgress());
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_EQ(b.position(), 10u);
}

TEST_F(Motion, WhatAnImmediateMotionFindsComesAsADeferredError) {
  ASSERT_TRUE(locateImmediate(a, 500).good()) << "past end of data, found out on the way";
  drive->advanceClock(1s);
  EXPECT_TRUE(b.testUnitReady().good()) << "the error is path A's";
  const CommandResult r = a.testUnitReady();
  ASSERT_TRUE(hasSense(r, sense_key::kBlankCheck, 0x00, 0x05));
  EXPECT_EQ(r.sense[0] & 0x7F, 0x71);
  EXPECT_EQ(a.position(), 100u);
}

TEST_F(Motion, ACallerWithoutImmedWaitsForTheTape) {
  auto rewound = std::async(std::launch::async, [&] { return a.rewind(); });
  waitForMotion();
  EXPECT_EQ(rewound.wait_for(20ms), std::future_status::timeout);
  drive->advanceClock(110ms);
  EXPECT_TRUE(rewound.get().good());
  EXPECT_EQ(b.position(), 0u);
}

TEST_F(Motion, LosingThePathOfAWaitingLocateLeavesThePositionUnknown) {
  auto located = std::async(std::launch::async, [&] { return a.locate10(20); });
  waitForMotion();
  drive->advanceClock(40ms);
  pathA->setDown(kStatusIoTimeout);
  EXPECT_EQ(located.get().transportStatus, kStatusIoTimeout) << "the completion is lost with the path";

  EXPECT_TRUE(positionUnknown(b));
  const CommandResult longForm = b.readPosition(6);
  ASSERT_TRUE(longForm.good());
  EXPECT_EQ(longForm.dataIn[0] & 0x0C, 0x0C) << "MPU and LONU";
  EXPECT_TRUE(hasSense(b.read(false, true, 16, 16), sense_key::kMediumError, 0x3B, 0x00));
  EXPECT_TRUE(hasSense(b.write(false, 16, pattern(16, 1)), sense_key::kMediumError, 0x3B, 0x00));
  EXPECT_EQ(drive->records().size(), 100u) << "nothing written at an unknown place";

  ASSERT_TRUE(locateImmediate(b, 5).good()) << "repositioning";
  drive->advanceClock(1s);
  EXPECT_FALSE(positionUnknown(b));
  EXPECT_EQ(b.position(), 5u);
  EXPECT_EQ(b.read(false, true, 16, 16).dataIn, pattern(16, 5));
}

TEST_F(Motion, AnImmediateMotionSurvivesItsInitiatorsPath) {
  ASSERT_TRUE(locateImmediate(a, 30).good());
  pathA->setDown();
  drive->advanceClock(1s);
  EXPECT_EQ(b.position(), 30u) << "its command had already completed";
}

TEST_F(MotionWithoutRewindOnReset, AResetStopsTheTapeWhereverItIs) {
  ASSERT_TRUE(a.send({0x01, 0x01, 0, 0, 0, 0}).good()) << "REWIND with IMMED";
  drive->advanceClock(30ms);
  drive->reset();
  EXPECT_FALSE(drive->motionInProgress());
  b.drainAttentions();
  EXPECT_TRUE(positionUnknown(b));
  EXPECT_FALSE(drive->position()->known);
  auto spaced = std::async(std::launch::async, [&] { return b.space(3, 0); });
  waitForMotion();
  drive->advanceClock(1s);
  ASSERT_TRUE(spaced.get().good()) << "end of data can be found from anywhere";
  EXPECT_FALSE(positionUnknown(b));
  EXPECT_EQ(b.position(), 100u);
}

TEST_F(Motion, AResetWithRewindFindsBeginningOfTape) {
  ASSERT_TRUE(locateImmediate(a, 50).good());
  drive->reset();
  a.drainAttentions();
  EXPECT_FALSE(positionUnknown(a));
  EXPECT_EQ(a.position(), 0u);
}

TEST_F(Motion, APreemptStopsTheMotionOfThePreemptedInitiator) {
  ASSERT_TRUE(a.prOut(pr::kRegister, 0, 0, 0xA1).good());
  ASSERT_TRUE(a.prOut(pr::kReserve, pr::kTypeExclusiveAccess, 0xA1, 0).good());
  ASSERT_TRUE(b.prOut(pr::kRegister, 0, 0, 0xB2).good());
  auto located = std::async(std::launch::async, [&] { return a.locate10(0); });
  waitForMotion();
  ASSERT_TRUE(b.prOut(pr::kPreemptAndAbort, pr::kTypeExclusiveAccess, 0xB2, 0xA1).good());
  EXPECT_EQ(located.get().transportStatus, kStatusIoTimeout) << "its task was aborted";
  EXPECT_TRUE(positionUnknown(b));
}

TEST_F(Motion, ALongEraseTakesItsTimeAndTheDataIsGoneAtOnce) {
  drive->setMotion({});
  ASSERT_TRUE(a.locate10(40).good());
  drive->setMotion(kMotion);
  ASSERT_TRUE(a.send({0x19, 0x03, 0, 0, 0, 0}).good()) << "long, immediate";
  EXPECT_EQ(drive->records().size(), 40u);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kNotReady, 0x04, 0x07));
  const CommandResult progress = b.requestSense();
  EXPECT_EQ(decodeSense(progress.dataIn).ascq, 0x18) << "erase operation in progress";
  drive->advanceClock(510ms);
  EXPECT_EQ(b.position(), 40u);
}

TEST(MotionInRealTime, ALocateTakesAtLeastItsTravelTime) {
  San san;
  san.addAdapter("hba0");
  DriveConfig c = TwoPathDrive::defaultConfig();
  TapeDrive& drive = san.addDrive(c);
  Host h{&san.connect(0, 0, 1, 0, drive)};
  h.drainAttentions();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(h.write(false, 8, pattern(8, 1)).good());
  drive.setMotion({.perCommand = 1ms, .perObject = 100us});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(h.locate10(0).good());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 6ms);
  EXPECT_EQ(h.position(), 0u);
}

}  // namespace
}  // namespace hwtest
