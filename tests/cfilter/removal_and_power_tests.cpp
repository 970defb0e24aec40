// A changer path that is going away, power requests on a stack that is not
// power-pageable, and a machine where the changer bus is missing.
#include "cfilter_fixture.h"

#include <ntddchgr.h>

#include "vorkatape/install.h"

namespace cfiltertest {
namespace {

TEST(ChangerRemoval, ARequestReachingARemovedPathIsRefusedWithoutGoingBelow) {
    ChangerPath path;
    path.AnswerIdentification();
    path.script.Answer(IOCTL_CHANGER_GET_STATUS, STATUS_SUCCESS);
    path.Start();
    PDEVICE_OBJECT filter = path.Filter();
    path.filterSeen = filter;
    ObReferenceObject(filter);  // as the bus holds the path it chose

    ASSERT_EQ(path.Pnp().removeDevice(path.instance), STATUS_SUCCESS);
    const std::size_t seenBefore = path.script.SeenCopy().size();
    tapetest::Forwarded f = tapetest::ForwardControl(path.bus.table, filter, IOCTL_CHANGER_GET_STATUS, {}, 0);
    EXPECT_EQ(f.reply.status, kDeletePending);
    EXPECT_EQ(f.reply.information, 0u);
    Reply r = SendIrp(filter, [](PIRP, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = PowerDeviceD1;
    });
    EXPECT_EQ(r.status, kDeletePending);
    EXPECT_EQ(path.script.SeenCopy().size(), seenBefore) << "nothing reached the base driver that went with the path";
    ObDereferenceObject(filter);
}

TEST(ChangerPower, PowerRequestsPassDownAndGiveTheirCountsBack) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    EXPECT_EQ(path.Filter()->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(path.Pnp().sendPowerIrp(path.instance, IRP_MN_QUERY_POWER, /*systemState=*/true, 4), STATUS_SUCCESS);
    EXPECT_EQ(path.Pnp().sendPowerIrp(path.instance, IRP_MN_SET_POWER, /*systemState=*/false, 1), STATUS_SUCCESS);
    std::size_t powers = 0;
    for (const auto& s : path.script.SeenCopy()) powers += s.major == IRP_MJ_POWER;
    EXPECT_GE(powers, 2u) << "both reached the base driver";
    EXPECT_EQ(path.Pnp().stopDevice(path.instance), STATUS_SUCCESS) << "a stop afterwards does not wait";
}

TEST(ChangerBusMissing, WithoutTheChangerBusTheFilterRefusesToLoad) {
    sim::MachineConfig config;
    config.driverDirectory = VORKA_DRIVER_DIR;
    std::vector<std::string> reports;
    config.violationHandler = [&](const std::string& message) { reports.push_back(message); };
    sim::Machine machine(config);
    // The tape bus's control device is no substitute.
    machine.drivers().installService(u"vorkatflt");
    machine.drivers().installService(u"vorkacflt");
    EXPECT_EQ(machine.drivers().load(u"vorkacflt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(machine.drivers().isLoaded(u"vorkacflt"));
    machine.shutdown();
    EXPECT_TRUE(reports.empty()) << reports.front();
}

TEST(ChangerBusMissing, AChangerPathBoundToTheFilterWithoutABusDoesNotStartAndNothingCrashes) {
    ChangerPath path(PathOptions{.bus = false});
    path.AnswerIdentification();
    EXPECT_NE(path.Add(), sim::DevNodeState::Started);
    EXPECT_FALSE(path.machine->drivers().isLoaded(u"vorkacflt"));
    EXPECT_TRUE(path.script.SeenWithCode(IOC_CHGR_GET_SERIAL_NUMBER).empty()) << "no filter, no identification";
    // Once the bus is there, the same path starts with the filter.
    path.machine->drivers().installService(cfakes::kFakeBusService);
    const std::u16string key = cfakes::ParametersKey(cfakes::kFakeBusService);
    path.machine->registry().createKeyPath(key);
    path.machine->registry().setQword(key, cfakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&path.bus));
    ASSERT_EQ(path.machine->drivers().load(cfakes::kFakeBusService), STATUS_SUCCESS);
    EXPECT_EQ(path.Pnp().startDevice(path.instance), STATUS_SUCCESS);
    EXPECT_EQ(path.bus.Registrations().size(), 1u);
}

}  // namespace
}  // namespace cfiltertest
