// Identification data that every simulated SCSI target builds the same way:
// world-wide names, padded INQUIRY text fields and the device identification
// VPD page (private to the simulated hardware).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sense.h"
#include "sim/hw/tape_drive.h"

namespace sim::hw {

// NAA 5 name derived from a serial number, stable across runs.
uint64_t deriveWwnn(const std::string& serial);

// Name of a target port: the node name with the port in its low bits.
inline uint64_t portNameOf(uint64_t wwnn, uint32_t port) {
  return (wwnn & ~0xFull) | ((wwnn + 1 + port) & 0xFull);
}

// `text` in a field of `width` bytes, blank padded.
void putPadded(uint8_t* dst, std::size_t width, const std::string& text);

// VPD page 0x83 (without the peripheral byte): T10 vendor identification, the
// logical unit's NAA name, and the NAA name and relative number of the target
// port the initiator reaches.
std::vector<uint8_t> deviceIdentificationPage(const DriveIdentity& id, uint64_t wwnn, uint32_t targetPort);

// What a target puts in its standard INQUIRY data besides its identity: the peripheral device
// type, byte 5 (PROTECT) and byte 7 (CMDQUE).
struct InquiryShape {
  uint8_t peripheral = 0;
  uint8_t byte5 = 0;
  uint8_t byte7 = 0;
};

// The INQUIRY answer of a simulated target: the standard data or the vital product data pages
// 0x00, 0x80 (unit serial number) and 0x83 (device identification). False, with `error` set,
// for a CDB that asks for anything else (CMDDT, another page).
bool inquiryData(std::span<const uint8_t> cdb, const InquiryShape& shape, const DriveIdentity& id, uint64_t wwnn,
                 uint32_t targetPort, std::vector<uint8_t>* data, Sense* error);

}  // namespace sim::hw
