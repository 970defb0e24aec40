// Building fixed-format sense data (private to the simulated hardware).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::hw {

struct Sense {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  bool filemark = false;
  bool eom = false;
  bool ili = false;
  bool deferred = false;  // response code 0x71: the error of an earlier command
  std::optional<int32_t> information;                 // sets VALID
  std::optional<std::array<uint8_t, 3>> keySpecific;  // bytes 15..17, SKSV included
};

inline constexpr std::size_t kSenseLength = 18;

std::vector<uint8_t> encodeSense(const Sense& sense);

inline Sense makeSense(uint8_t key, uint8_t asc, uint8_t ascq) {
  Sense s;
  s.key = key;
  s.asc = asc;
  s.ascq = ascq;
  return s;
}
// ILLEGAL REQUEST 24/00 with the field pointer to a CDB byte (and bit, or -1).
Sense invalidCdbField(unsigned byte, int bit = -1);
// ILLEGAL REQUEST 26/00 with the field pointer to a parameter-list byte.
Sense invalidParameterField(unsigned byte, int bit = -1);
// NO SENSE with a progress indication (00/00/1C: verify operation in progress).
Sense progressSense(uint8_t asc, uint8_t ascq, uint16_t progress);

// Big-endian field helpers.
inline uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
inline uint32_t be32(const uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }
inline uint64_t be64(const uint8_t* p) { return (uint64_t{be32(p)} << 32) | be32(p + 4); }
inline int32_t sbe24(const uint8_t* p) {
  const uint32_t v = be24(p);
  return (v & 0x800000) ? static_cast<int32_t>(v | 0xFF000000u) : static_cast<int32_t>(v);
}
void putBe16(uint8_t* p, uint32_t v);
void putBe24(uint8_t* p, uint32_t v);
void putBe32(uint8_t* p, uint32_t v);
void putBe64(uint8_t* p, uint64_t v);

}  // namespace sim::hw
