// The drive's write buffer: objects acknowledged to an initiator in buffered
// mode wait here until the drive writes them to the medium; a failed write of
// buffered data becomes a deferred error for the initiator that wrote it.
//
// The logical view (position, end-of-data, bytes before the position) counts
// buffered objects as written; the medium (the ground truth) holds only what
// the drive actually wrote.
#include <algorithm>

#include "drive_impl.h"

namespace sim::hw {

void TapeDrive::Impl::drainObjects(std::size_t n) {
  n = std::min(n, buffer.size());
  for (std::size_t i = 0; i < n; ++i) {
    Record r = std::move(buffer.front());
    buffer.pop_front();
    bufferBytes -= r.data.size();
    // The first object written drops whatever the medium held from there on.
    medium->truncate(bufferBase);
    medium->append(std::move(r));
    ++bufferBase;
  }
}

void TapeDrive::Impl::flush() { drainObjects(buffer.size()); }

void TapeDrive::Impl::drainFor(uint64_t incomingBytes) {
  while (!buffer.empty() && bufferBytes + incomingBytes > cfg.bufferCapacity) drainObjects(1);
}

void TapeDrive::Impl::bufferObject(Record record) {
  if (buffer.empty()) bufferBase = pos;
  bufferBytes += record.data.size();
  buffer.push_back(std::move(record));
  ++pos;
}

uint64_t TapeDrive::Impl::logicalEndOfData() const {
  return buffer.empty() ? medium->endOfData() : bufferBase + buffer.size();
}

uint64_t TapeDrive::Impl::logicalBytesBefore(uint64_t object) const {
  if (buffer.empty() || object <= bufferBase) return medium->bytesBefore(object);
  const uint64_t n = object - bufferBase;
  if (n == buffer.size()) return medium->bytesBefore(bufferBase) + bufferBytes;
  uint64_t bytes = medium->bytesBefore(bufferBase);
  for (uint64_t i = 0; i < n; ++i) bytes += buffer[i].data.size();
  return bytes;
}

uint64_t TapeDrive::Impl::logicalFilemarksBefore(uint64_t object) const {
  if (buffer.empty() || object <= bufferBase) return medium->filemarksBefore(object);
  uint64_t marks = medium->filemarksBefore(bufferBase);
  for (uint64_t i = 0; i < object - bufferBase; ++i) marks += buffer[i].isFilemark() ? 1 : 0;
  return marks;
}

void TapeDrive::Impl::discardBuffer(LossCause cause) {
  if (buffer.empty()) return;
  BufferLoss loss;
  loss.cause = cause;
  loss.object = bufferBase;
  loss.records.assign(std::make_move_iterator(buffer.begin()), std::make_move_iterator(buffer.end()));
  // A reset announces itself to every initiator; a deferred error is reported
  // when an initiator receives it.
  loss.reported = cause == LossCause::Reset;
  losses.push_back(std::move(loss));
  pos = bufferBase;
  buffer.clear();
  bufferBytes = 0;
}

// The last `total` buffered objects belong to the command in `x`. The drive
// writes everything before them and the first `k` of them; writing the next one
// fails, and it and the rest of the buffer are lost.
void TapeDrive::Impl::failBufferedWrite(Exchange& x, const Fault& f, uint32_t total, uint32_t k) {
  if (k >= total) return;  // the failure would come after this command's objects
  drainObjects(buffer.size() - total + k);
  const uint64_t lost = buffer.size();
  const std::size_t index = losses.size();
  discardBuffer(LossCause::DeferredError);
  // The drive was writing here when it failed: whatever the medium held from
  // this object on was overwritten or spoiled, so the medium now ends here. (A
  // reset is different: the buffer never reached the tape, which keeps its old
  // records.)
  medium->truncate(pos);
  Sense s = (f.senseKey | f.asc | f.ascq) ? makeSense(f.senseKey, f.asc, f.ascq)
                                          : makeSense(sense_key::kMediumError, 0x0C, 0x00);
  s.deferred = true;
  s.information = static_cast<int32_t>(lost);
  deferred.push_back(Deferred{x.id, s, index});
}

std::optional<Sense> TapeDrive::Impl::takeDeferred(InitiatorId id) {
  for (auto it = deferred.begin(); it != deferred.end(); ++it) {
    if (it->owner && *it->owner != id) continue;
    if (it->loss) losses[*it->loss].reported = true;
    Sense s = it->sense;
    deferred.erase(it);
    return s;
  }
  return std::nullopt;
}

bool TapeDrive::Impl::reportDeferred(Exchange& x) {
  const std::optional<Sense> s = takeDeferred(x.id);
  if (!s) return false;
  check(x, *s);
  return true;
}

}  // namespace sim::hw
