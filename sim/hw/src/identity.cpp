#include "identity.h"

#include <algorithm>
#include <cstring>

#include "sense.h"

namespace sim::hw {

// NAA 5 name: the NAA nibble, a 24-bit company identifier and 36 bits derived
// from the serial number, so that every device of a test gets a stable name.
uint64_t deriveWwnn(const std::string& serial) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : serial) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return (0x5ull << 60) | (0xABCDEFull << 36) | (h & 0xFFFFFFFFFull);
}

void putPadded(uint8_t* dst, std::size_t width, const std::string& text) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), std::min(width, text.size()));
}

std::vector<uint8_t> deviceIdentificationPage(const DriveIdentity& id, uint64_t wwnn, uint32_t targetPort) {
  std::vector<uint8_t> d(4, 0);
  d[1] = 0x83;
  auto descriptor = [&](uint8_t codeSet, uint8_t association, uint8_t type, const std::vector<uint8_t>& body) {
    d.push_back(codeSet);
    d.push_back(static_cast<uint8_t>((association << 4) | type));
    d.push_back(0);
    d.push_back(static_cast<uint8_t>(body.size()));
    d.insert(d.end(), body.begin(), body.end());
  };
  // T10 vendor identification: vendor, product and serial number.
  std::vector<uint8_t> t10(24);
  putPadded(t10.data(), 8, id.vendor);
  putPadded(t10.data() + 8, 16, id.product);
  t10.insert(t10.end(), id.serial.begin(), id.serial.end());
  descriptor(0x02, 0, 0x1, t10);
  // NAA name of the logical unit (the device's world-wide node name).
  std::vector<uint8_t> naa(8);
  putBe64(naa.data(), wwnn);
  descriptor(0x01, 0, 0x3, naa);
  // NAA name and relative number of the target port this initiator reached.
  putBe64(naa.data(), portNameOf(wwnn, targetPort));
  descriptor(0x01, 1, 0x3, naa);
  std::vector<uint8_t> rel(4, 0);
  putBe16(&rel[2], targetPort + 1);
  descriptor(0x01, 1, 0x4, rel);
  putBe16(&d[2], static_cast<uint32_t>(d.size() - 4));
  return d;
}

bool inquiryData(std::span<const uint8_t> cdb, const InquiryShape& shape, const DriveIdentity& id, uint64_t wwnn,
                 uint32_t targetPort, std::vector<uint8_t>* data, Sense* error) {
  constexpr std::size_t kStandardInquiryLength = 96;
  const bool evpd = cdb[1] & 0x01;
  const uint8_t page = cdb[2];
  if (cdb[1] & 0x02) {  // CMDDT
    *error = invalidCdbField(1, 1);
    return false;
  }
  if (!evpd && page != 0) {
    *error = invalidCdbField(2);
    return false;
  }
  std::vector<uint8_t>& d = *data;
  if (!evpd) {
    d.assign(kStandardInquiryLength, 0);
    d[0] = shape.peripheral;
    d[1] = 0x80;  // removable medium
    d[2] = 0x06;  // SPC-4
    d[3] = 0x12;  // HISUP, response data format 2
    d[4] = static_cast<uint8_t>(kStandardInquiryLength - 5);
    d[5] = shape.byte5;
    d[6] = id.ports > 1 ? 0x10 : 0x00;  // MULTIP
    d[7] = shape.byte7;
    putPadded(&d[8], 8, id.vendor);
    putPadded(&d[16], 16, id.product);
    putPadded(&d[32], 4, id.revision);
    putPadded(&d[36], 20, "");
  } else if (page == 0x00) {
    d = {shape.peripheral, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83};
  } else if (page == 0x80) {
    d = {shape.peripheral, 0x80, 0x00, static_cast<uint8_t>(id.serial.size())};
    d.insert(d.end(), id.serial.begin(), id.serial.end());
  } else if (page == 0x83) {
    d = deviceIdentificationPage(id, wwnn, targetPort);
    d[0] = shape.peripheral;
  } else {
    *error = invalidCdbField(2);
    return false;
  }
  return true;
}

}  // namespace sim::hw
