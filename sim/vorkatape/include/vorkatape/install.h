// What an installer writes so that the simulated machine builds every tape path's
// device stack as Windows does for a SCSI tape drive with the path filter: the
// services, and the binding of SCSI sequential-access devices to the base tape
// driver with vorkatflt as upper filter. Also the SAN adapter's root device.
#pragma once

#include <string>

namespace sim {
class Machine;
}

namespace vorka::install {

// Hardware IDs of the root devices and the compatible IDs of tape and changer paths.
inline constexpr char16_t kSanAdapterHardwareId[] = u"root\\vorkasan";
inline constexpr char16_t kTapeBusHardwareId[] = u"root\\vorkatbus";
inline constexpr char16_t kChangerBusHardwareId[] = u"root\\vorkacbus";
inline constexpr char16_t kTapePathCompatibleId[] = u"SCSI\\Sequential";
inline constexpr char16_t kChangerPathCompatibleId[] = u"SCSI\\Changer";

struct TapeStackOptions {
    bool withFilter = true;   // vorkatflt as upper filter of every tape path
};

// Service keys of vorkatape, vorkatflt and vorkasan, and the binding of
// "SCSI\Sequential" to vorkatape (upper filter vorkatflt), as the installer's INF
// processing records them. Paths enumerated afterwards get these stacks.
void InstallTapeStack(sim::Machine& machine, const TapeStackOptions& options = {});

struct ChangerStackOptions {
    bool withFilter = false;  // vorkacflt as upper filter of every changer path
};

// Service keys of vorkachgr (and vorkacflt), and the binding of "SCSI\Changer" to the
// base changer driver, so that every library control path gets its \Device\Changer<n>.
void InstallChangerStack(sim::Machine& machine, const ChangerStackOptions& options = {});

// Binds "root\vorkasan" to the adapter service and creates its root device, which
// starts at once and enumerates the machine's SAN. Returns its instance path.
std::u16string InstallSanAdapter(sim::Machine& machine);

// Binds "root\vorkatbus" to the tape bus service and creates its root device.
// Returns its instance path.
std::u16string InstallTapeBus(sim::Machine& machine);

// Binds "root\vorkacbus" to the changer bus service and creates its root device, started
// before the changer paths whose filters open its control device. Returns its instance path.
std::u16string InstallChangerBus(sim::Machine& machine);

}  // namespace vorka::install
