// The simulated storage network: host adapters (SCSI port numbers), drives, and
// the paths between them. The SAN owns everything; references it hands out stay
// valid for its lifetime (nothing is ever removed, paths only become absent).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hw/library.h"
#include "sim/hw/path.h"
#include "sim/hw/tape_drive.h"

namespace sim::hw {

struct HostAdapter {
  uint8_t portNumber = 0;
  std::string name;
  // The longest transfer of one command the adapter takes, in bytes (its port driver refuses a
  // longer one before it reaches the device); 0: no limit.
  uint32_t maxTransferBytes = 0;
};

class San {
 public:
  using PresenceListener = std::function<void(Path& path, bool present)>;

  San() = default;
  ~San();
  San(const San&) = delete;
  San& operator=(const San&) = delete;

  // Adds a host adapter with the next free port number (or the given one).
  HostAdapter addAdapter(std::string name = {});
  HostAdapter addAdapter(uint8_t portNumber, std::string name);
  TapeDrive& addDrive(DriveConfig config);
  // Connects a drive to an adapter at (pathId, targetId, lun), reaching the
  // drive's target port `targetPort`. The address must be free.
  Path& connect(uint8_t portNumber, uint8_t pathId, uint8_t targetId, uint8_t lun,
                TapeDrive& drive, uint32_t targetPort = 0);
  // A library whose data-transfer elements are drives of this SAN; its control
  // paths are connected like a drive's.
  TapeLibrary& addLibrary(LibraryConfig config);
  Path& connect(uint8_t portNumber, uint8_t pathId, uint8_t targetId, uint8_t lun,
                TapeLibrary& library, uint32_t targetPort = 0);

  std::vector<HostAdapter> adapters() const;
  void setMaxTransfer(uint8_t portNumber, uint32_t bytes);
  uint32_t maxTransfer(uint8_t portNumber) const;  // 0: no limit (or no such adapter)
  std::vector<TapeDrive*> drives() const;
  std::vector<Path*> paths() const;
  std::vector<Path*> pathsOfAdapter(uint8_t portNumber) const;
  std::vector<TapeLibrary*> libraries() const;
  std::vector<Path*> pathsTo(const ScsiTarget& target) const;
  Path* findPath(const ScsiAddress& address) const;
  TapeDrive* findDrive(std::string_view serial) const;
  TapeLibrary* findLibrary(std::string_view serial) const;

  // Every path of the adapter goes down / comes back (a failed HBA or link).
  void setAdapterDown(uint8_t portNumber, uint32_t status = kStatusDeviceNotConnected);
  void restoreAdapter(uint8_t portNumber);

  // Called (outside the SAN's lock) whenever a path's presence changes.
  void setPresenceListener(PresenceListener listener);

 private:
  friend class Path;
  void notifyPresence(Path& path, bool present);
  Path& connectTarget(const ScsiAddress& address, ScsiTarget& target, TapeDrive* drive, TapeLibrary* library,
                      uint32_t targetPort);

  mutable std::mutex mutex_;  // guards the containers and the listener
  std::vector<HostAdapter> adapters_;
  std::vector<std::unique_ptr<TapeDrive>> drives_;
  std::vector<std::unique_ptr<TapeLibrary>> libraries_;
  std::vector<std::unique_ptr<Path>> paths_;
  std::map<const ScsiTarget*, std::unique_ptr<OpenCommand>> openCommands_;  // one per device with paths
  PresenceListener listener_;
};

}  // namespace sim::hw
