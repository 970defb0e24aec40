// What a path reaches: a SCSI target (a tape drive or a library's medium
// changer) that executes commands of its initiators.
//
// The path keeps transport state and faults; the target keeps everything the
// device itself knows (initiators with their unit attentions, media, faults
// armed on the device) and serialises its commands.
#pragma once

#include <cstdint>
#include <string>

#include "sim/hw/fault.h"
#include "sim/hw/scsi.h"

namespace sim::hw {

using InitiatorId = uint32_t;
struct DriveIdentity;
struct TimingModel;

// Peripheral device types of standard INQUIRY data byte 0.
inline constexpr uint8_t kPeripheralSequentialAccess = 0x01;
inline constexpr uint8_t kPeripheralMediumChanger = 0x08;

class ScsiTarget {
 public:
  virtual ~ScsiTarget() = default;

  virtual const DriveIdentity& identity() const noexcept = 0;
  virtual uint8_t peripheralType() const noexcept = 0;
  virtual uint64_t portName(uint32_t port) const noexcept = 0;  // NAA name of a target port
  virtual TimingModel timing() const = 0;

  // A new I_T nexus through target port `targetPort`.
  virtual InitiatorId attachInitiator(std::string name, uint32_t targetPort) = 0;
  // Runs one command. `injected` is a fault matched by the path that the target
  // has to act out (lost completion, reset, ...).
  virtual CommandResult execute(InitiatorId initiator, const Command& command, const Fault* injected) = 0;
  // Task management: logical unit reset.
  virtual void reset() = 0;
  // The initiator's I_T nexus was lost (its path went down or away): the target
  // drops what belonged to that initiator. A target that keeps nothing per
  // initiator beyond its unit attentions may leave this empty.
  virtual void nexusLost(InitiatorId /*initiator*/) {}
};

}  // namespace sim::hw
