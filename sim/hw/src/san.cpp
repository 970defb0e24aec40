#include "sim/hw/san.h"

#include <algorithm>
#include <stdexcept>

namespace sim::hw {

San::~San() = default;

HostAdapter San::addAdapter(std::string name) {
  std::lock_guard lock(mutex_);
  uint8_t port = 0;
  for (const HostAdapter& a : adapters_) port = std::max<uint8_t>(port, static_cast<uint8_t>(a.portNumber + 1));
  if (name.empty()) name = "adapter" + std::to_string(port);
  adapters_.push_back(HostAdapter{port, std::move(name)});
  return adapters_.back();
}

HostAdapter San::addAdapter(uint8_t portNumber, std::string name) {
  std::lock_guard lock(mutex_);
  for (const HostAdapter& a : adapters_)
    if (a.portNumber == portNumber) throw std::invalid_argument("host adapter port number already in use");
  adapters_.push_back(HostAdapter{portNumber, std::move(name)});
  return adapters_.back();
}

TapeDrive& San::addDrive(DriveConfig config) {
  auto drive = std::make_unique<TapeDrive>(std::move(config));
  std::lock_guard lock(mutex_);
  drives_.push_back(std::move(drive));
  return *drives_.back();
}

Path& San::connect(uint8_t portNumber, uint8_t pathId, uint8_t targetId, uint8_t lun, TapeDrive& drive,
                   uint32_t targetPort) {
  const ScsiAddress address{portNumber, pathId, targetId, lun};
  std::lock_guard lock(mutex_);
  if (std::none_of(adapters_.begin(), adapters_.end(),
                   [&](const HostAdapter& a) { return a.portNumber == portNumber; }))
    throw std::invalid_argument("no host adapter with port number " + std::to_string(portNumber));
  if (std::none_of(drives_.begin(), drives_.end(), [&](const auto& d) { return d.get() == &drive; }))
    throw std::invalid_argument("drive does not belong to this SAN");
  if (targetPort >= std::max<uint32_t>(drive.identity().ports, 1))
    throw std::invalid_argument("drive has no target port " + std::to_string(targetPort));
  for (const auto& p : paths_)
    if (p->address() == address) throw std::invalid_argument("address in use: " + address.toString());
  paths_.push_back(std::unique_ptr<Path>(new Path(*this, address, drive, targetPort)));
  return *paths_.back();
}

std::vector<HostAdapter> San::adapters() const {
  std::lock_guard lock(mutex_);
  return adapters_;
}

std::vector<TapeDrive*> San::drives() const {
  std::lock_guard lock(mutex_);
  std::vector<TapeDrive*> out;
  for (const auto& d : drives_) out.push_back(d.get());
  return out;
}

std::vector<Path*> San::paths() const {
  std::lock_guard lock(mutex_);
  std::vector<Path*> out;
  for (const auto& p : paths_) out.push_back(p.get());
  return out;
}

std::vector<Path*> San::pathsOfAdapter(uint8_t portNumber) const {
  std::lock_guard lock(mutex_);
  std::vector<Path*> out;
  for (const auto& p : paths_)
    if (p->address().portNumber == portNumber) out.push_back(p.get());
  return out;
}

std::vector<Path*> San::pathsTo(const TapeDrive& drive) const {
  std::lock_guard lock(mutex_);
  std::vector<Path*> out;
  for (const auto& p : paths_)
    if (&p->drive() == &drive) out.push_back(p.get());
  return out;
}

Path* San::findPath(const ScsiAddress& address) const {
  std::lock_guard lock(mutex_);
  for (const auto& p : paths_)
    if (p->address() == address) return p.get();
  return nullptr;
}

TapeDrive* San::findDrive(std::string_view serial) const {
  std::lock_guard lock(mutex_);
  for (const auto& d : drives_)
    if (d->identity().serial == serial) return d.get();
  return nullptr;
}

void San::setAdapterDown(uint8_t portNumber, uint32_t status) {
  for (Path* p : pathsOfAdapter(portNumber)) p->setDown(status);
}

void San::restoreAdapter(uint8_t portNumber) {
  for (Path* p : pathsOfAdapter(portNumber)) p->restore();
}

void San::setPresenceListener(PresenceListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void San::notifyPresence(Path& path, bool present) {
  PresenceListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener(path, present);
}

}  // namespace sim::hw
