#include "sense.h"

namespace sim::hw {

void putBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void putBe24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  putBe16(p + 1, v);
}
void putBe32(uint8_t* p, uint32_t v) {
  putBe16(p, v >> 16);
  putBe16(p + 2, v);
}
void putBe64(uint8_t* p, uint64_t v) {
  putBe32(p, static_cast<uint32_t>(v >> 32));
  putBe32(p + 4, static_cast<uint32_t>(v));
}

std::vector<uint8_t> encodeSense(const Sense& s) {
  std::vector<uint8_t> out(kSenseLength, 0);
  out[0] = s.deferred ? 0x71 : 0x70;
  if (s.information) {
    out[0] |= 0x80;
    putBe32(&out[3], static_cast<uint32_t>(*s.information));
  }
  out[2] = static_cast<uint8_t>((s.filemark ? 0x80 : 0) | (s.eom ? 0x40 : 0) | (s.ili ? 0x20 : 0) |
                                (s.key & 0x0F));
  out[7] = static_cast<uint8_t>(kSenseLength - 8);
  out[12] = s.asc;
  out[13] = s.ascq;
  if (s.keySpecific) {
    out[15] = static_cast<uint8_t>((*s.keySpecific)[0] | 0x80);
    out[16] = (*s.keySpecific)[1];
    out[17] = (*s.keySpecific)[2];
  }
  return out;
}

namespace {
Sense fieldPointer(uint8_t asc, bool inCdb, unsigned byte, int bit) {
  Sense s = makeSense(0x5, asc, 0x00);
  uint8_t b15 = inCdb ? 0x40 : 0x00;
  if (bit >= 0) b15 |= static_cast<uint8_t>(0x08 | (bit & 0x07));
  s.keySpecific = std::array<uint8_t, 3>{b15, static_cast<uint8_t>(byte >> 8), static_cast<uint8_t>(byte)};
  return s;
}
}  // namespace

Sense invalidCdbField(unsigned byte, int bit) { return fieldPointer(0x24, true, byte, bit); }
Sense invalidParameterField(unsigned byte, int bit) { return fieldPointer(0x26, false, byte, bit); }

Sense progressSense(uint8_t asc, uint8_t ascq, uint16_t progress) {
  Sense s = makeSense(0x0, asc, ascq);
  s.keySpecific = std::array<uint8_t, 3>{0x00, static_cast<uint8_t>(progress >> 8),
                                         static_cast<uint8_t>(progress)};
  return s;
}

}  // namespace sim::hw
