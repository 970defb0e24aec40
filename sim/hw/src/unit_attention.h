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
inline constexpr SenseCode kUaPowerOn{0x6, 0x29, 0x01};
inline constexpr SenseCode kUaNexusLoss{0x6, 0x29, 0x07};
inline constexpr SenseCode kUaMediumChanged{0x6, 0x28, 0x00};
inline constexpr SenseCode kUaImportExportAccessed{0x6, 0x28, 0x01};
inline constexpr SenseCode kUaOperatorRemovalRequest{0x6, 0x5A, 0x01};
inline constexpr SenseCode kUaModeParametersChanged{0x6, 0x2A, 0x01};
inline constexpr SenseCode kUaReservationsPreempted{0x6, 0x2A, 0x03};
inline constexpr SenseCode kUaReservationsReleased{0x6, 0x2A, 0x04};
inline constexpr SenseCode kUaRegistrationsPreempted{0x6, 0x2A, 0x05};

// Power on, reset and bus device reset (06/29/00 to 06/29/06): the device's state went back to
// its defaults for every initiator. The loss of one nexus (06/29/07) is not of this class.
inline bool isResetAttention(SenseCode code) {
  return code.key == 0x6 && code.asc == 0x29 && code.ascq <= 0x06;
}

class UnitAttentions {
public:
  // A new condition; one already pending is not posted twice; a reset-class condition replaces
  // every condition before it.
  void post(SenseCode code);
  // A reset or a new nexus: what was established before is gone, only `code` remains.
  void replaceWith(SenseCode code);
  // The oldest condition, taken off (reported by a command or returned by REQUEST SENSE).
  std::optional<SenseCode> take();
  bool empty() const { return queue_.empty(); }
  bool pending(SenseCode code) const { return std::find(queue_.begin(), queue_.end(), code) != queue_.end(); }
  // The reset-class condition waiting to be reported, if any (it is always the oldest).
  std::optional<SenseCode> pendingReset() const {
    if (!queue_.empty() && isResetAttention(queue_.front())) return queue_.front();
    return std::nullopt;
  }
  // A new nexus of the same initiator: conditions established for the old one are gone, except a
  // reset it has not heard of yet (that one moved the tape and covers the loss of the nexus); the new
  // nexus then reports `login`, or nothing when the device reports no condition for a new login.
  void newNexus(std::optional<SenseCode> login);
  // "ASC/ASCQ" of every pending condition in hexadecimal, oldest first.
  std::vector<std::string> codes() const;

private:
  std::deque<SenseCode> queue_;
};

}  // namespace sim::hw
