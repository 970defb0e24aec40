// The streaming drive's clock on a made-up timeline, so that the figures are exact however busy the
// machine is: a host faster than the drive gets the drive's rate and never more, a host that pauses
// finds what the drive read ahead meanwhile (up to its buffer) without paying the medium's time for
// it again, and positioning ends the stream.
#include <gtest/gtest.h>

#include <chrono>

#include "drive_stream.h"

namespace hwtest {
namespace {

using namespace std::chrono;
using sim::hw::StreamClock;
using Kind = StreamClock::Kind;

constexpr uint64_t kRate = 400'000'000;         // 400 MB/s
constexpr uint64_t kBlock = 64 * 1024;          // 163.84 µs at kRate
constexpr uint64_t kCapacity = 16 * kBlock;     // 1 MiB of buffer
constexpr nanoseconds kBlockTime{163'840};
constexpr nanoseconds kBufferTime = 16 * kBlockTime;

class StreamClockOnATimeline : public ::testing::Test {
 protected:
  StreamClock::Clock::time_point send(Kind kind, uint64_t bytes = kBlock) {
    const auto ready = clock.complete(kind, bytes, timing, kCapacity, now);
    now = ready;  // the host gets its answer then, and sends its next command at once
    return ready;
  }
  void hostWork(nanoseconds d) { now += d; }
  nanoseconds since(StreamClock::Clock::time_point t) const { return now - t; }

  StreamClock clock;
  sim::hw::TimingModel timing{kRate, microseconds(0)};
  StreamClock::Clock::time_point now = StreamClock::Clock::time_point{} + hours(1);
};

TEST_F(StreamClockOnATimeline, AHostFasterThanTheDriveReadsAndWritesAtTheDrivesSpeedAndNoFaster) {
  constexpr int kBlocks = 1000;
  // Reads: each answer comes when its block is off the medium; the host's 20 µs per request hide
  // behind the drive's 164.
  auto start = now;
  for (int i = 0; i < kBlocks; ++i) {
    send(Kind::Read);
    EXPECT_EQ(now - start, (i + 1) * kBlockTime) << "read " << i;
    hostWork(microseconds(20));
  }

  // Writes: the buffer takes the first megabyte at once, after that the host waits for room.
  send(Kind::Position);
  start = now;
  for (int i = 0; i < kBlocks; ++i) {
    send(Kind::BufferedWrite);
    EXPECT_GE(now - start, (i + 1) * kBlockTime - kBufferTime) << "write " << i;
    hostWork(microseconds(20));
  }
  send(Kind::Flush);
  EXPECT_GE(since(start), kBlocks * kBlockTime) << "everything is on the medium only at the drive's speed";
  EXPECT_LT(since(start), kBlocks * kBlockTime + microseconds(20) + kBlockTime);
}

TEST_F(StreamClockOnATimeline, AHostThatPausesBetweenReadsStillReadsAtTheDrivesSpeed) {
  // The host reads three blocks quickly, then does 400 µs of its own work: 3 x 5 + 400 = 415 µs for
  // four blocks, less than the drive's 655. The drive reads on while the host works.
  constexpr int kRounds = 250;
  const auto start = now;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 4; ++i) {
      send(Kind::Read);
      hostWork(microseconds(i == 3 ? 400 : 5));
    }
  }
  const nanoseconds medium = 4 * kRounds * kBlockTime;
  EXPECT_GE(since(start), medium);
  EXPECT_LT(since(start), medium + microseconds(400) + kBlockTime) << "the pauses overlapped the drive's reading";

  // A block that the drive read ahead during a pause is not charged the medium's time again.
  hostWork(5 * kBlockTime);
  const auto asked = now;
  EXPECT_EQ(send(Kind::Read), asked);
  EXPECT_EQ(send(Kind::Read), asked);
}

TEST_F(StreamClockOnATimeline, ReadAheadStopsWhenTheBufferIsFull) {
  send(Kind::Read);
  hostWork(100 * kBufferTime);  // far longer than the buffer takes to fill
  const auto start = now;
  for (int i = 0; i < 16; ++i) send(Kind::Read);
  EXPECT_EQ(since(start), nanoseconds(0)) << "the buffer's sixteen blocks are there at once";
  for (int i = 1; i <= 16; ++i) {
    send(Kind::Read);
    EXPECT_EQ(since(start), i * kBlockTime) << "then the medium's speed again, block " << i;
  }
}

TEST_F(StreamClockOnATimeline, PositioningEndsTheStreamAndWritesDrainBeforeAReadOrARewind) {
  send(Kind::Read);
  hostWork(kBufferTime);
  send(Kind::Position);  // locate: what was read ahead is gone
  hostWork(kBufferTime);
  auto asked = now;
  EXPECT_EQ(send(Kind::Read) - asked, kBlockTime);

  // Four buffered writes return at once, and the rewind waits until all four are on the medium.
  asked = now;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(send(Kind::BufferedWrite), asked);
  EXPECT_EQ(send(Kind::Position) - asked, 4 * kBlockTime);

  // An unbuffered write returns once it is on the medium; a read after buffered writes starts
  // when they are.
  asked = now;
  EXPECT_EQ(send(Kind::MediumWrite) - asked, kBlockTime);
  asked = now;
  send(Kind::BufferedWrite);
  EXPECT_EQ(send(Kind::Read) - asked, 2 * kBlockTime);
}

}  // namespace
}  // namespace hwtest
