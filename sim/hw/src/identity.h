// Identification data that every simulated SCSI target builds the same way:
// world-wide names, padded INQUIRY text fields and the device identification
// VPD page (private to the simulated hardware).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace sim::hw
