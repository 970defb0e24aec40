// What an installer writes so that the simulated machine loads the changer bus vorkacbus as a
// root-enumerated bus device, as it loads the tape bus.
#pragma once

#include <string>

namespace sim {
class Machine;
}

namespace vorka::install {

inline constexpr char16_t kChangerBusHardwareId[] = u"root\\vorkacbus";

// Binds "root\vorkacbus" to the changer bus service (system start) and creates its root device,
// which starts at once. Returns its instance path.
std::u16string InstallChangerBus(sim::Machine& machine);

}  // namespace vorka::install
