// Unit attention conditions as every simulated target keeps them: per initiator, oldest
// first, each condition once; a power-on or reset condition supersedes every condition
// established before it (private to the simulated hardware).
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sense.h"

namespace sim::hw {

struct SenseCode {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool operator==(const SenseCode&) const = default;
  Sense sense() const { return makeSense(key, asc, ascq); }
};

inline constexpr SenseCode kUaPowerOnReset{0x6, 0x29, 0x00};
inline constexpr SenseCode kUaNexusLoss{0x6, 0x29, 0x07};
inline constexpr SenseCode kUaMediumChanged{0x6, 0x28, 0x00};
inline constexpr SenseCode kUaImportExportAccessed{0x6, 0x28, 0x01};
inline constexpr SenseCode kUaOperatorRemovalRequest{0x6, 0x5A, 0x01};
inline constexpr SenseCode kUaReservationsPreempted{0x6, 0x2A, 0x03};
inline constexpr SenseCode kUaReservationsReleased{0x6, 0x2A, 0x04};
inline constexpr SenseCode kUaRegistrationsPreempted{0x6, 0x2A, 0x05};

class UnitAttentions {
public:
  // A new condition; one already pending is not posted twice.
  void post(SenseCode code);
  // A reset or a new nexus: what was established before is gone, only `code` remains.
  void replaceWith(SenseCode code);
  // The oldest condition, taken off (reported by a command or returned by REQUEST SENSE).
  std::optional<SenseCode> take();
  bool empty() const { return queue_.empty(); }
  bool pending(SenseCode code) const { return std::find(queue_.begin(), queue_.end(), code) != queue_.end(); }
  // "ASC/ASCQ" of every pending condition in hexadecimal, oldest first.
  std::vector<std::string> codes() const;

private:
  std::deque<SenseCode> queue_;
};

}  // namespace sim::hw
