#include "vorkatape/changer_bus_install.h"

#include "sim/drivers.h"
#include "sim/machine.h"
#include "sim/pnp.h"

namespace vorka::install {

std::u16string InstallChangerBus(sim::Machine& machine) {
    // System start: the bus loads before the demand-started changer path stacks, whose filters open
    // its control device when they load.
    machine.drivers().installService(u"vorkacbus", 1);
    sim::DriverBinding binding;
    binding.hardwareId = kChangerBusHardwareId;
    binding.service = u"vorkacbus";
    machine.pnp().addDriverBinding(binding);
    return machine.pnp().createRootDevice(kChangerBusHardwareId, u"SYSTEM");
}

}  // namespace vorka::install
