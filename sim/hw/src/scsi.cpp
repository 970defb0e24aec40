#include "sim/hw/scsi.h"

namespace sim::hw {

std::string ScsiAddress::toString() const {
  return "port " + std::to_string(portNumber) + " bus " + std::to_string(pathId) + " target " +
         std::to_string(targetId) + " lun " + std::to_string(lun);
}

SenseInfo decodeSense(std::span<const uint8_t> s) {
  SenseInfo info;
  if (s.size() < 14) return info;
  const uint8_t code = s[0] & 0x7F;
  if (code != 0x70 && code != 0x71) return info;
  info.present = true;
  info.responseCode = code;
  info.infoValid = (s[0] & 0x80) != 0;
  info.filemark = (s[2] & 0x80) != 0;
  info.eom = (s[2] & 0x40) != 0;
  info.ili = (s[2] & 0x20) != 0;
  info.key = s[2] & 0x0F;
  info.information = static_cast<int32_t>((uint32_t{s[3]} << 24) | (uint32_t{s[4]} << 16) |
                                          (uint32_t{s[5]} << 8) | uint32_t{s[6]});
  info.asc = s[12];
  info.ascq = s[13];
  return info;
}

std::size_t cdbLength(uint8_t opcode) {
  switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 6;  // vendor-unique groups: this drive uses 6-byte forms
  }
}

}  // namespace sim::hw
