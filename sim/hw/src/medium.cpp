#include "sim/hw/medium.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace sim::hw {

Medium::Medium(MediumConfig config) : config_(std::move(config)) {}

uint64_t Medium::positionOfFile(uint64_t n) const {
  if (n == 0) return 0;
  // The first object whose prefix count reaches n lies just after the n-th filemark.
  auto it = std::lower_bound(filemarksPrefix_.begin(), filemarksPrefix_.end(), n);
  if (it == filemarksPrefix_.end()) return endOfData() + 1;
  return static_cast<uint64_t>(it - filemarksPrefix_.begin());
}

uint64_t Medium::earlyWarningAt() const noexcept {
  return config_.capacityBytes > config_.earlyWarningBytes
             ? config_.capacityBytes - config_.earlyWarningBytes
             : 0;
}

void Medium::truncate(uint64_t object) {
  if (object >= records_.size()) return;
  records_.resize(object);
  bytesPrefix_.resize(object + 1);
  filemarksPrefix_.resize(object + 1);
}

void Medium::appendData(std::span<const uint8_t> bytes, bool withProtection) {
  Record r;
  r.kind = RecordKind::Data;
  r.data.assign(bytes.begin(), bytes.end());
  r.crc = crc32c(bytes);
  r.writtenWithProtection = withProtection;
  records_.push_back(std::move(r));
  bytesPrefix_.push_back(bytesPrefix_.back() + bytes.size());
  filemarksPrefix_.push_back(filemarksPrefix_.back());
}

void Medium::append(Record record) {
  if (record.isFilemark()) return appendFilemark();
  const uint64_t bytes = record.data.size();
  records_.push_back(std::move(record));
  bytesPrefix_.push_back(bytesPrefix_.back() + bytes);
  filemarksPrefix_.push_back(filemarksPrefix_.back());
}

void Medium::appendFilemark() {
  records_.push_back(Record{RecordKind::Filemark, {}, 0, false});
  bytesPrefix_.push_back(bytesPrefix_.back());
  filemarksPrefix_.push_back(filemarksPrefix_.back() + 1);
}

std::string Medium::dump() const {
  std::string out;
  char line[96];
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const Record& r = records_[i];
    if (r.isFilemark())
      std::snprintf(line, sizeof line, "%zu: filemark\n", i);
    else
      std::snprintf(line, sizeof line, "%zu: data %zu bytes crc=%08x%s\n", i, r.data.size(), r.crc,
                    r.writtenWithProtection ? " protected" : "");
    out += line;
  }
  return out;
}

}  // namespace sim::hw
