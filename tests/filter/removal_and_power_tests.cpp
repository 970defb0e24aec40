// A path that is going away and power requests on a path whose stack is not power-pageable. The bus
// keeps a reference on the filter device of the path it sends to; that keeps the object, not the path,
// so a request can reach a filter whose path was removed and must be refused there without going
// below. Power requests on such a stack arrive at DISPATCH_LEVEL, where nothing may wait.
#include "filter_fixture.h"

namespace tapetest {
namespace {

constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);

class PathRemoval : public ::testing::TestWithParam<bool> {};

TEST_P(PathRemoval, ARequestReachingARemovedPathIsRefusedWithoutGoingBelow) {
    StubPath stub(GetParam());
    stub.AnswerGoodIdentification();
    stub.script.Reply(IOCTL_TAPE_GET_STATUS, STATUS_SUCCESS);
    ASSERT_EQ(stub.Start().fFailover, 1);
    PDEVICE_OBJECT filter = stub.Filter();
    ASSERT_NE(filter, nullptr);
    ObReferenceObject(filter);   // as the bus holds the path it chose

    ASSERT_EQ(stub.rig.Machine().pnp().removeDevice(stub.instance), STATUS_SUCCESS);
    stub.rig.Settle();
    const std::size_t seenBefore = stub.script.Seen().size();

    Forwarded f = ForwardControl(stub.rig.Bus().table, filter, IOCTL_TAPE_GET_STATUS, {}, 0);
    EXPECT_EQ(f.reply.status, kDeletePending);
    EXPECT_EQ(f.reply.information, 0u);
    Reply plain = KernelControl(filter, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0);
    EXPECT_EQ(plain.status, kDeletePending);
    EXPECT_EQ(stub.script.Seen().size(), seenBefore) << "nothing reached the base driver that went with the path";

    ObDereferenceObject(filter);
}

INSTANTIATE_TEST_SUITE_P(Filter, PathRemoval, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });

// The scripted base driver's device is not power-pageable, and the filter takes its I/O and power
// flags; not its name, which the filter's device does not have.
TEST(PathPower, PowerRequestsOnAStackThatIsNotPowerPageablePassAtDispatchLevel) {
    StubPath stub;
    stub.AnswerGoodIdentification();
    stub.Start();
    auto stack = stub.rig.StackOfInstance(stub.instance);
    ASSERT_GE(stack.size(), 2u);
    PDEVICE_OBJECT filter = stack.back();
    PDEVICE_OBJECT below = stack[stack.size() - 2];
    EXPECT_EQ(filter->Flags & DO_POWER_PAGABLE, 0u);
    const ULONG taken = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
    EXPECT_EQ(filter->Flags & taken, below->Flags & taken) << "buffers and power requests pass as below";
    ASSERT_NE(below->Flags & DO_DEVICE_HAS_NAME, 0u);
    EXPECT_EQ(filter->Flags & (DO_DEVICE_HAS_NAME | DO_DEVICE_INITIALIZING), 0u);
    EXPECT_EQ(filter->DeviceType, below->DeviceType);

    sim::PnpManager& pnp = stub.rig.Machine().pnp();
    EXPECT_EQ(pnp.sendPowerIrp(stub.instance, IRP_MN_QUERY_POWER, /*systemState=*/true, 4), STATUS_SUCCESS);
    EXPECT_EQ(pnp.sendPowerIrp(stub.instance, IRP_MN_SET_POWER, /*systemState=*/false, 1), STATUS_SUCCESS);
    // A stop afterwards still drains: the power requests gave their counts back.
    EXPECT_EQ(pnp.stopDevice(stub.instance), STATUS_SUCCESS);
}

TEST(PathPower, APowerRequestOnARemovedPathIsRefused) {
    StubPath stub;
    stub.AnswerGoodIdentification();
    stub.Start();
    PDEVICE_OBJECT filter = stub.Filter();
    ObReferenceObject(filter);
    ASSERT_EQ(stub.rig.Machine().pnp().removeDevice(stub.instance), STATUS_SUCCESS);
    Reply r = SendIrp(filter, [](PIRP, PIO_STACK_LOCATION next) {
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = PowerDeviceD1;
    });
    EXPECT_EQ(r.status, kDeletePending);
    ObDereferenceObject(filter);
}

}  // namespace
}  // namespace tapetest
