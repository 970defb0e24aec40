#include "unit_attention.h"

#include <algorithm>
#include <cstdio>

namespace sim::hw {

void UnitAttentions::post(SenseCode code) {
  if (isResetAttention(code)) return replaceWith(code);
  if (std::find(queue_.begin(), queue_.end(), code) == queue_.end()) queue_.push_back(code);
}

void UnitAttentions::replaceWith(SenseCode code) {
  queue_.clear();
  queue_.push_back(code);
}

void UnitAttentions::newNexus(std::optional<SenseCode> login) {
  const std::optional<SenseCode> reset = pendingReset();
  queue_.clear();
  if (reset) {
    queue_.push_back(*reset);
  } else if (login) {
    queue_.push_back(*login);
  }
}

std::optional<SenseCode> UnitAttentions::take() {
  if (queue_.empty()) return std::nullopt;
  const SenseCode code = queue_.front();
  queue_.pop_front();
  return code;
}

std::vector<std::string> UnitAttentions::codes() const {
  std::vector<std::string> out;
  char text[8];
  for (const SenseCode& code : queue_) {
    std::snprintf(text, sizeof text, "%02X/%02X", code.asc, code.ascq);
    out.emplace_back(text);
  }
  return out;
}

}  // namespace sim::hw
