#include "sim/hw/medium.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace sim::hw {
namespace {

constexpr std::array<uint32_t, 256> makeCrc32cTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kCrc32cTable = makeCrc32cTable();

uint32_t crc32cBytes(const uint8_t* p, std::size_t n, uint32_t c) noexcept {
  for (std::size_t i = 0; i < n; ++i) c = kCrc32cTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)
// The processor's CRC32 instruction computes the same Castagnoli CRC eight bytes at a
// time: the drive checksums every block it writes, and the table loop alone took most
// of a write's time in an unoptimised build.
__attribute__((target("sse4.2"))) uint32_t crc32cWords(const uint8_t* p, std::size_t n, uint32_t c) noexcept {
  uint64_t c64 = c;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    c64 = _mm_crc32_u64(c64, word);
  }
  return crc32cBytes(p, n, static_cast<uint32_t>(c64));
}

const bool kHasCrc32Instruction = [] {
  __builtin_cpu_init();  // may run before the runtime's own initialisation
  return __builtin_cpu_supports("sse4.2") != 0;
}();
#endif

}  // namespace

uint32_t crc32c(std::span<const uint8_t> bytes) noexcept {
#if defined(__x86_64__)
  if (kHasCrc32Instruction) return crc32cWords(bytes.data(), bytes.size(), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
#endif
  return crc32cBytes(bytes.data(), bytes.size(), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

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
