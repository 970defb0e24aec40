// The drive's data rate in time: a write-behind buffer that drains to the
// medium at the drive's speed and a read-ahead buffer that fills from it, as a
// streaming drive works. Only the time a command takes comes from here; what
// is on the medium and in the buffer is the drive's business (drive_buffer.cpp).
#pragma once

#include <chrono>
#include <cstdint>

#include "sim/hw/tape_drive.h"

namespace sim::hw {

class StreamClock {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Kind {
    Other,          // no data, no wait for the medium
    BufferedWrite,  // lands in the write buffer; waits only while the buffer is full
    MediumWrite,    // unbuffered: returns when its data is on the medium
    Read,           // served from read-ahead
    Flush,          // waits until the buffer is on the medium (filemarks, read position)
    Position,       // flushes, and ends the read-ahead stream (rewind, locate, space, erase, load)
    PositionImmed,  // ends the read-ahead stream; the buffer drains on without the initiator
  };

  // When a command of `kind` that moved `bytes` of data, received at `now`, completes.
  Clock::time_point complete(Kind kind, uint64_t bytes, const TimingModel& timing, uint64_t capacity,
                             Clock::time_point now);

  // A reset or lost buffer: nothing left to drain or read ahead.
  void clear() { *this = StreamClock{}; }

 private:
  Clock::time_point drainedAt_{};    // the write buffer is empty from then on
  Clock::time_point readAheadAt_{};  // every byte read so far was in the buffer by then
  bool streaming_ = false;           // reads go forward from where the last one ended
};

// How the drive's command moves data in time. `buffered`: the initiator writes
// in buffered mode.
StreamClock::Kind streamKindOf(const uint8_t* cdb, std::size_t length, bool buffered);

}  // namespace sim::hw
