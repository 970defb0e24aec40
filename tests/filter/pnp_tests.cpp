// Plug and Play on a path: the filter reports every state change to the bus, a
// query the bus refuses leaves the path as it was, stops and removals wait for
// the requests still in the base driver, and two paths starting at the same
// moment hand the bus's table to their base drivers without mixing them up.
#include "filter_fixture.h"

#include <chrono>
#include <thread>

namespace tapetest {
namespace {

std::vector<ULONG> PnpStates(StubPath& stub) {
    std::vector<ULONG> states;
    for (const auto& n : stub.Notifications(NFY_TYPE_PNP)) states.push_back(n.ePnp);
    return states;
}

class PathPnp : public ::testing::TestWithParam<bool> {};

TEST_P(PathPnp, AQueryRemoveTheBusRefusesLeavesThePathAsItWas) {
    StubPath stub(GetParam());
    stub.Start();
    stub.rig.Bus().onNotify = [](const TAPE_NFY_DVC& n) {
        return n.ulType == NFY_TYPE_PNP && n.ePnp == PNP_REMOVE_PENDING ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    };
    sim::PnpManager& pnp = stub.rig.Machine().pnp();
    EXPECT_FALSE(NT_SUCCESS(pnp.removeDevice(stub.instance)));
    auto node = pnp.find(stub.instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    // The refusal restored the state: the cancel that follows reports "started" again.
    const std::vector<ULONG> refused = PnpStates(stub);
    ASSERT_GE(refused.size(), 1u);
    EXPECT_EQ(refused.front(), static_cast<ULONG>(PNP_REMOVE_PENDING));
    EXPECT_EQ(refused.back(), static_cast<ULONG>(PNP_STARTED));

    stub.rig.Bus().onNotify = {};
    ASSERT_EQ(pnp.stopDevice(stub.instance), STATUS_SUCCESS);
    const std::vector<ULONG> stopped = PnpStates(stub);
    ASSERT_GE(stopped.size(), refused.size() + 2);
    EXPECT_EQ(stopped[refused.size()], static_cast<ULONG>(PNP_STOP_PENDING));
    EXPECT_EQ(stopped.back(), static_cast<ULONG>(PNP_STOPPED));
}

TEST_P(PathPnp, ASurpriseRemovalIsReportedAndThenTheRemoval) {
    StubPath stub(GetParam());
    stub.Start();
    PDEVICE_OBJECT filter = stub.Filter();
    ASSERT_EQ(stub.rig.Machine().pnp().surpriseRemoveDevice(stub.instance), STATUS_SUCCESS);
    stub.rig.Settle();
    std::vector<ULONG> states;
    for (const auto& n : stub.rig.Bus().NotificationsOf(filter)) {
        if (n.ulType == NFY_TYPE_PNP) states.push_back(n.ePnp);
    }
    EXPECT_EQ(states, (std::vector<ULONG>{PNP_SURPRISE_REMOVE, PNP_ABSENT}));
}

INSTANTIATE_TEST_SUITE_P(Filter, PathPnp, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });

// A request held inside the base driver while a stop or a removal arrives.
class Draining : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(Draining, StopAndRemoveWaitForTheRequestsInTheBaseDriver) {
    const auto [remove, answerLater] = GetParam();
    StubPath stub(answerLater);
    stub.AnswerGoodIdentification();
    stub.script.Reply(IOCTL_TAPE_GET_STATUS, STATUS_SUCCESS);
    stub.Start();
    PDEVICE_OBJECT filter = stub.Filter();

    // The removal stops in the stub until the request's thread has left the filter: the
    // filter's image goes with its last device, and no thread may still be running in it.
    stub.script.gateRemove = remove;
    stub.script.Hold();
    Reply held;
    std::thread request([&] { held = KernelControl(filter, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0); });
    ASSERT_TRUE(stub.script.WaitHeld(1));

    std::atomic<bool> done{false};
    NTSTATUS pnpStatus = STATUS_PENDING;
    std::thread change([&] {
        sim::PnpManager& pnp = stub.rig.Machine().pnp();
        pnpStatus = remove ? pnp.removeDevice(stub.instance) : pnp.stopDevice(stub.instance);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const UCHAR minor = remove ? IRP_MN_REMOVE_DEVICE : IRP_MN_STOP_DEVICE;
    auto reached = [&] {
        for (const auto& s : stub.script.Seen()) {
            if (s.major == IRP_MJ_PNP && s.minor == minor) return true;
        }
        return false;
    };
    EXPECT_FALSE(done.load()) << "the change waits while a request is in the base driver";
    EXPECT_FALSE(reached()) << "the base driver is not told before its requests have ended";

    stub.script.Release();
    request.join();
    stub.script.OpenRemoveGate();
    change.join();
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    EXPECT_EQ(pnpStatus, STATUS_SUCCESS);
    EXPECT_TRUE(reached());
    const auto states = stub.rig.Bus().NotificationsOf(filter);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().ePnp, static_cast<ULONG>(remove ? PNP_ABSENT : PNP_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(Filter, Draining, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Remove" : "Stop") +
                                    AnswerName(std::get<1>(info.param));
                         });

// Two paths of one drive whose starts overlap: each base driver must learn the number
// of its own path's virtual device from the table's handshake slots.
class SimultaneousStarts : public ::testing::TestWithParam<bool> {};

TEST_P(SimultaneousStarts, EachBaseDriverRecordsItsOwnPathsTapeNumber) {
    Rig rig(RigOptions{.forcePending = GetParam(), .setExtInBaseDelayMs = 60});
    sim::hw::TapeDrive& drive = rig.AddDrive("SIMUL01");
    rig.San().addAdapter();
    rig.San().addAdapter();
    sim::hw::Path& a = rig.San().connect(0, 0, 1, 0, drive, 0);
    sim::hw::Path& b = rig.San().connect(1, 0, 1, 0, drive, 1);
    rig.Boot();
    auto stackA = rig.StackOf(a);
    auto stackB = rig.StackOf(b);
    ASSERT_TRUE(stackA && stackB);
    const ULONG numberA = rig.Bus().tapeNumbers.at(stackA->filter);
    const ULONG numberB = rig.Bus().tapeNumbers.at(stackB->filter);
    ASSERT_NE(numberA, numberB) << "the fake bus numbers each path on its own, to tell them apart";

    sim::PnpManager& pnp = rig.Machine().pnp();
    ASSERT_EQ(pnp.stopDevice(stackA->instance), STATUS_SUCCESS);
    ASSERT_EQ(pnp.stopDevice(stackB->instance), STATUS_SUCCESS);
    auto start = [](PDEVICE_OBJECT top) {
        return SendIrp(top, [](PIRP, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_PNP;
            next->MinorFunction = IRP_MN_START_DEVICE;
        });
    };
    Reply startedA, startedB;
    std::thread first([&] { startedA = start(stackA->filter); });
    std::thread second([&] { startedB = start(stackB->filter); });
    first.join();
    second.join();
    EXPECT_EQ(startedA.status, STATUS_SUCCESS);
    EXPECT_EQ(startedB.status, STATUS_SUCCESS);

    const vorka::tape::PathState stateA = rig.Query(*stackA);
    const vorka::tape::PathState stateB = rig.Query(*stackB);
    EXPECT_EQ(stateA.setExtInBaseCount, 2u);
    EXPECT_EQ(stateB.setExtInBaseCount, 2u);
    EXPECT_EQ(stateA.virtualTapeRecorded, 1u);
    EXPECT_EQ(stateB.virtualTapeRecorded, 1u);
    EXPECT_EQ(stateA.virtualTapeNumber, numberA);
    EXPECT_EQ(stateB.virtualTapeNumber, numberB);
    EXPECT_EQ(stateA.filterDevice, reinterpret_cast<std::uintptr_t>(stackA->filter));
    EXPECT_EQ(stateB.filterDevice, reinterpret_cast<std::uintptr_t>(stackB->filter));
    EXPECT_EQ(rig.Bus().table->ullBitmap & 0x3, 0u) << "the handshake slots are free again";
}

INSTANTIATE_TEST_SUITE_P(Filter, SimultaneousStarts, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ForcedPending" : "AnsweredAtOnce"; });

}  // namespace
}  // namespace tapetest
