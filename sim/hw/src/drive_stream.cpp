#include "drive_stream.h"

#include <algorithm>

#include "drive_impl.h"
#include "sim/hw/scsi.h"

namespace sim::hw {
namespace {

using Clock = StreamClock::Clock;

Clock::duration transferTime(uint64_t bytes, uint64_t bytesPerSecond) {
  if (bytesPerSecond == 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(bytes * 1'000'000'000ull / bytesPerSecond));
}

}  // namespace

Clock::time_point StreamClock::complete(Kind kind, uint64_t bytes, const TimingModel& timing, uint64_t capacity,
                                        Clock::time_point now) {
  const auto rate = timing.bytesPerSecond;
  Clock::time_point ready = now;
  switch (kind) {
    case Kind::Other:
      break;
    case Kind::BufferedWrite: {
      streaming_ = false;
      drainedAt_ = std::max(drainedAt_, now) + transferTime(bytes, rate);
      // The data is acknowledged once it fits: the host waits while the buffer
      // holds more than its capacity.
      ready = std::max(now, drainedAt_ - transferTime(capacity, rate));
      break;
    }
    case Kind::MediumWrite:
      streaming_ = false;
      drainedAt_ = std::max(drainedAt_, now) + transferTime(bytes, rate);
      ready = drainedAt_;
      break;
    case Kind::Read: {
      // Written data goes to the medium before the drive reads from it.
      const Clock::time_point start = std::max(now, drainedAt_);
      if (!streaming_) readAheadAt_ = start;
      streaming_ = true;
      // While the host is away the drive reads ahead only as far as its buffer reaches.
      readAheadAt_ = std::max(readAheadAt_, start - transferTime(capacity, rate)) + transferTime(bytes, rate);
      ready = std::max(start, readAheadAt_);
      break;
    }
    case Kind::Flush:
      ready = std::max(now, drainedAt_);
      break;
    case Kind::Position:
      streaming_ = false;
      ready = std::max(now, drainedAt_);
      break;
    case Kind::PositionImmed:
      streaming_ = false;
      break;
  }
  return ready + timing.perCommand;
}

StreamClock::Kind streamKindOf(const uint8_t* cdb, std::size_t length, bool buffered) {
  using K = StreamClock::Kind;
  if (length == 0) return K::Other;
  const bool immed = length > 1 && (cdb[1] & 0x01) != 0;
  switch (cdb[0]) {
    case opcode::kWrite6:
    case opcode::kWrite16:
      return buffered ? K::BufferedWrite : K::MediumWrite;
    case opcode::kRead6:
    case opcode::kRead16:
    case opcode::kReadReverse6:
      return K::Read;
    case opcode::kWriteFilemarks6:
    case opcode::kWriteFilemarks16:
      return immed && buffered ? K::Other : K::Flush;
    case opcode::kReadPosition:
      return K::Flush;
    case opcode::kRewind:
    case opcode::kLocate10:
    case opcode::kLocate16:
    case opcode::kLoadUnload:
    case opcode::kErase6:
      return immed ? K::PositionImmed : K::Position;
    case opcode::kSpace6:
    case opcode::kSpace16:
      return K::Position;  // SPACE has no IMMED bit
    default:
      return K::Other;
  }
}

StreamClock::Clock::time_point TapeDrive::Impl::pace(InitiatorId id, const Command& cmd, const CommandResult& res) {
  const bool buffered = id < initiators.size() && buffering(initiators[id]);
  const StreamClock::Kind kind = streamKindOf(cmd.cdb.data(), cmd.cdb.size(), buffered);
  const uint64_t bytes = res.dataIn.size() + res.dataOutTransferred;
  return stream.complete(kind, bytes, cfg.timing, cfg.bufferCapacity, now());
}

}  // namespace sim::hw
