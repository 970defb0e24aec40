// A drive that streams: writes land in its buffer and return while the buffer
// drains to the medium at the drive's speed; reads come from a read-ahead
// buffer the drive fills at that speed. The host's own time between commands
// then overlaps the drive's instead of adding to it. Time here is the drive's
// manual clock: the host's work moves it, and so does every command that has
// to wait for the medium, so the figures are exact however busy the machine is.
#include <algorithm>
#include <chrono>

#include "hw_fixture.h"

namespace hwtest {
namespace {

using namespace std::chrono;

constexpr uint64_t kRate = 50'000'000;  // 50 MB/s: 5.2 ms a block
constexpr uint32_t kBlock = 256 * 1024;

// A slow drive for the bursts.
constexpr uint64_t kSlowRate = 20'000'000;

milliseconds atRate(uint64_t bytes, uint64_t rate = kRate) { return milliseconds(bytes * 1000 / rate); }

DriveConfig streamingConfig(uint64_t capacity, uint64_t rate) {
  DriveConfig c = TwoPathDrive::defaultConfig();
  c.buffered = true;
  c.bufferCapacity = capacity;
  c.timing.bytesPerSecond = rate;
  return c;
}

class StreamingDrive : public TwoPathDrive {
 protected:
  using TwoPathDrive::TwoPathDrive;
  void SetUp() override {
    TwoPathDrive::SetUp();
    drive->useManualClock();
  }
  steady_clock::time_point now() const { return drive->clockNow(); }
  // The application's own work between two requests.
  void hostWork() { drive->advanceClock(milliseconds(2)); }
};

class Streaming : public StreamingDrive {
 protected:
  Streaming() : StreamingDrive(streamingConfig(1u << 20, kRate)) {}
};

class LargeBuffer : public StreamingDrive {
 protected:
  LargeBuffer() : StreamingDrive(streamingConfig(8u << 20, kSlowRate)) {}
};

TEST_F(LargeBuffer, ABurstSmallerThanTheBufferReturnsAtOnceAndFilemarksWaitForTheDrain) {
  const auto data = pattern(kBlock, 3);
  const auto start = now();
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(a.write(false, kBlock, data).good());
  const auto burst = now() - start;
  EXPECT_LT(burst, atRate(8ull * kBlock, kSlowRate) / 2) << "2 MiB went into the 8 MiB buffer";

  ASSERT_TRUE(a.writeFilemarks(1).good());
  EXPECT_GE(now() - start, atRate(8ull * kBlock, kSlowRate)) << "the filemark waited until the data was on tape";
  EXPECT_EQ(layout(), (std::vector<long>{kBlock, kBlock, kBlock, kBlock, kBlock, kBlock, kBlock, kBlock, -1}));
}

TEST_F(LargeBuffer, ReadPositionAndRewindWaitForTheDrainButImmediateFilemarksDoNot) {
  const auto data = pattern(kBlock, 4);
  const auto t0 = now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(a.write(false, kBlock, data).good());
  ASSERT_TRUE(a.send(Host::six(0x10, 0x01, 1)).good());  // WRITE FILEMARKS, IMMED
  EXPECT_LT(now() - t0, atRate(4ull * kBlock, kSlowRate) / 2) << "writes and the immediate filemark are buffered";
  ASSERT_TRUE(a.readPosition(0).good());
  EXPECT_GE(now() - t0, atRate(4ull * kBlock, kSlowRate));
  ASSERT_TRUE(a.write(false, kBlock, data).good());
  const auto t1 = now();
  ASSERT_TRUE(a.rewind().good());
  EXPECT_GE(now() - t1, atRate(kBlock, kSlowRate) - milliseconds(1)) << "the rewind waited for the drain";
}

// Streaming hides the shorter of the drive's time and the host's own behind the longer one; one
// after the other they would add up. `hostOnly` is the same loop against a drive of unlimited speed.
void expectOverlapped(nanoseconds elapsed, nanoseconds medium, nanoseconds hostOnly) {
  EXPECT_GE(elapsed, medium);
  EXPECT_LT(elapsed, medium + hostOnly - std::min(medium, hostOnly) / 2)
      << duration_cast<milliseconds>(elapsed).count() << " ms; drive " << duration_cast<milliseconds>(medium).count()
      << " ms, host " << duration_cast<milliseconds>(hostOnly).count() << " ms";
}

TEST_F(Streaming, ASustainedWriteStreamRunsAtTheDrivesRateWithTheHostsTimeHidden) {
  constexpr int kBlocks = 16;  // 4 MiB through a 1 MiB buffer
  const auto data = pattern(kBlock, 5);
  auto stream = [&] {
    const auto start = now();
    for (int i = 0; i < kBlocks; ++i) {
      EXPECT_TRUE(a.write(false, kBlock, data).good());
      hostWork();
    }
    EXPECT_TRUE(a.writeFilemarks(0).good());
    return now() - start;
  };
  drive->setTiming({});
  const auto hostOnly = stream();
  ASSERT_TRUE(a.rewind().good());
  drive->setTiming(TimingModel{kRate, microseconds(0)});
  const auto elapsed = stream();
  expectOverlapped(elapsed, atRate(uint64_t{kBlocks} * kBlock), hostOnly);
  EXPECT_EQ(drive->records().size(), static_cast<size_t>(kBlocks));
}

TEST_F(Streaming, SequentialReadsComeFromReadAheadAtTheDrivesRate) {
  constexpr int kBlocks = 16;
  const auto data = pattern(kBlock, 6);
  drive->setTiming({});
  for (int i = 0; i < kBlocks; ++i) ASSERT_TRUE(a.write(false, kBlock, data).good());
  auto stream = [&] {
    EXPECT_TRUE(a.rewind().good());
    const auto start = now();
    for (int i = 0; i < kBlocks; ++i) {
      const CommandResult r = a.read(false, false, kBlock, kBlock);
      EXPECT_TRUE(r.good());
      EXPECT_EQ(r.dataIn, data);
      hostWork();
    }
    return now() - start;
  };
  const auto hostOnly = stream();
  drive->setTiming(TimingModel{kRate, microseconds(0)});
  const auto elapsed = stream();
  expectOverlapped(elapsed, atRate(uint64_t{kBlocks} * kBlock), hostOnly);

  // A locate ends the stream: the next read waits for the medium again.
  ASSERT_TRUE(a.send({0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0}).good());
  hostWork();
  hostWork();
  const auto t = now();
  ASSERT_TRUE(a.read(false, false, kBlock, kBlock).good());
  EXPECT_GE(now() - t, atRate(kBlock) - milliseconds(1)) << "nothing was read ahead across the locate";
}

}  // namespace
}  // namespace hwtest
