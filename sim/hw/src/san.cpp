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
  adapters_.push_back(HostAdapter{port, std::move(name), 0});
  return adapters_.back();
}

HostAdapter San::addAdapter(uint8_t portNumber, std::string name) {
  std::lock_guard lock(mutex_);
  for (const HostAdapter& a : adapters_)
    if (a.portNumber == portNumber) throw std::invalid_argument("host adapter port number already in use");
  adapters_.push_back(HostAdapter{portNumber, std::move(name), 0});
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
  {
    std::lock_guard lock(mutex_);
    if (std::none_of(drives_.begin(), drives_.end(), [&](const auto& d) { return d.get() == &drive; }))
      throw std::invalid_argument("drive does not belong to this SAN");
  }
  return connectTarget(ScsiAddress{portNumber, pathId, targetId, lun}, drive, &drive, nullptr, targetPort);
}

TapeLibrary& San::addLibrary(LibraryConfig config) {
  {
    std::lock_guard lock(mutex_);
    for (TapeDrive* d : config.drives) {
      if (std::none_of(drives_.begin(), drives_.end(), [&](const auto& own) { return own.get() == d; }))
        throw std::invalid_argument("a library's drive must belong to its SAN");
      for (const auto& other : libraries_)
        for (uint32_t i = 0; i < other->count(ElementType::DataTransfer); ++i)
          if (other->drive(i) == d) throw std::invalid_argument("drive already belongs to a library");
    }
  }
  auto library = std::make_unique<TapeLibrary>(std::move(config));
  std::lock_guard lock(mutex_);
  libraries_.push_back(std::move(library));
  return *libraries_.back();
}

Path& San::connect(uint8_t portNumber, uint8_t pathId, uint8_t targetId, uint8_t lun, TapeLibrary& library,
                   uint32_t targetPort) {
  {
    std::lock_guard lock(mutex_);
    if (std::none_of(libraries_.begin(), libraries_.end(), [&](const auto& l) { return l.get() == &library; }))
      throw std::invalid_argument("library does not belong to this SAN");
  }
  return connectTarget(ScsiAddress{portNumber, pathId, targetId, lun}, library, nullptr, &library, targetPort);
}

Path& San::connectTarget(const ScsiAddress& address, ScsiTarget& target, TapeDrive* drive, TapeLibrary* library,
                         uint32_t targetPort) {
  std::lock_guard lock(mutex_);
  if (std::none_of(adapters_.begin(), adapters_.end(),
                   [&](const HostAdapter& a) { return a.portNumber == address.portNumber; }))
    throw std::invalid_argument("no host adapter with port number " + std::to_string(address.portNumber));
  if (targetPort >= std::max<uint32_t>(target.identity().ports, 1))
    throw std::invalid_argument("target has no port " + std::to_string(targetPort));
  for (const auto& p : paths_)
    if (p->address() == address) throw std::invalid_argument("address in use: " + address.toString());
  std::unique_ptr<OpenCommand>& open = openCommands_[&target];
  if (!open) open = std::make_unique<OpenCommand>();
  paths_.push_back(std::unique_ptr<Path>(new Path(*this, address, target, drive, library, targetPort, *open)));
  return *paths_.back();
}

std::vector<HostAdapter> San::adapters() const {
  std::lock_guard lock(mutex_);
  return adapters_;
}

void San::setMaxTransfer(uint8_t portNumber, uint32_t bytes) {
  std::lock_guard lock(mutex_);
  for (HostAdapter& a : adapters_)
    if (a.portNumber == portNumber) a.maxTransferBytes = bytes;
}

uint32_t San::maxTransfer(uint8_t portNumber) const {
  std::lock_guard lock(mutex_);
  for (const HostAdapter& a : adapters_)
    if (a.portNumber == portNumber) return a.maxTransferBytes;
  return 0;
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

std::vector<TapeLibrary*> San::libraries() const {
  std::lock_guard lock(mutex_);
  std::vector<TapeLibrary*> out;
  for (const auto& l : libraries_) out.push_back(l.get());
  return out;
}

std::vector<Path*> San::pathsTo(const ScsiTarget& target) const {
  std::lock_guard lock(mutex_);
  std::vector<Path*> out;
  for (const auto& p : paths_)
    if (&p->target() == &target) out.push_back(p.get());
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

TapeLibrary* San::findLibrary(std::string_view serial) const {
  std::lock_guard lock(mutex_);
  for (const auto& l : libraries_)
    if (l->identity().serial == serial) return l.get();
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
