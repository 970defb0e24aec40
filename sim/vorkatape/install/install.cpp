#include "vorkatape/install.h"

#include "sim/drivers.h"
#include "sim/machine.h"
#include "sim/pnp.h"

namespace vorka::install {

void InstallTapeStack(sim::Machine& machine, const TapeStackOptions& options) {
    machine.drivers().installService(u"vorkatape");
    machine.drivers().installService(u"vorkasan");
    if (options.withFilter) machine.drivers().installService(u"vorkatflt");
    sim::DriverBinding binding;
    binding.hardwareId = kTapePathCompatibleId;
    binding.service = u"vorkatape";
    if (options.withFilter) binding.upperFilters.push_back(u"vorkatflt");
    machine.pnp().addDriverBinding(binding);
}

void InstallChangerStack(sim::Machine& machine, const ChangerStackOptions& options) {
    machine.drivers().installService(u"vorkachgr");
    machine.drivers().installService(u"vorkasan");
    if (options.withFilter) machine.drivers().installService(u"vorkacflt");
    sim::DriverBinding binding;
    binding.hardwareId = kChangerPathCompatibleId;
    binding.service = u"vorkachgr";
    if (options.withFilter) binding.upperFilters.push_back(u"vorkacflt");
    machine.pnp().addDriverBinding(binding);
}

std::u16string InstallSanAdapter(sim::Machine& machine) {
    machine.drivers().installService(u"vorkasan");
    sim::DriverBinding binding;
    binding.hardwareId = kSanAdapterHardwareId;
    binding.service = u"vorkasan";
    machine.pnp().addDriverBinding(binding);
    return machine.pnp().createRootDevice(kSanAdapterHardwareId, u"SCSIADAPTER");
}

std::u16string InstallTapeBus(sim::Machine& machine) {
    // System start: the bus loads before the demand-started path stacks, whose filters open its
    // control device when they load.
    machine.drivers().installService(u"vorkatbus", 1);
    sim::DriverBinding binding;
    binding.hardwareId = kTapeBusHardwareId;
    binding.service = u"vorkatbus";
    machine.pnp().addDriverBinding(binding);
    return machine.pnp().createRootDevice(kTapeBusHardwareId, u"SYSTEM");
}

std::u16string InstallChangerBus(sim::Machine& machine) {
    machine.drivers().installService(u"vorkacbus", 1);
    sim::DriverBinding binding;
    binding.hardwareId = kChangerBusHardwareId;
    binding.service = u"vorkacbus";
    machine.pnp().addDriverBinding(binding);
    return machine.pnp().createRootDevice(kChangerBusHardwareId, u"SYSTEM");
}

}  // namespace vorka::install
