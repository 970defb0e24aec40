// Plug and Play on a changer path: each state change reaches the bus as a 16-byte
// IOC_NOTIFY naming the filter device, a query the bus refuses leaves the path as it
// was, and stops and removals wait for the requests still inside the base driver.
#include "cfilter_fixture.h"

#include <atomic>
#include <ntddchgr.h>

namespace cfiltertest {
namespace {

std::vector<ULONG> S(std::initializer_list<PNP_STATE> states) { return std::vector<ULONG>(states.begin(), states.end()); }

TEST(ChangerPnp, AStopAndAStartAreReportedAndTheStartRegistersAgain) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    ASSERT_EQ(path.Pnp().stopDevice(path.instance), STATUS_SUCCESS);
    EXPECT_EQ(path.States(), S({PNP_STOP_PENDING, PNP_STOPPED}));
    ASSERT_EQ(path.Pnp().startDevice(path.instance), STATUS_SUCCESS);
    const auto regs = path.bus.Registrations();
    ASSERT_EQ(regs.size(), 2u) << "the restarted path announces itself by IOC_REGISTER, not IOC_NOTIFY";
    EXPECT_EQ(regs.back().ePnp, static_cast<ULONG>(PNP_STARTED));
    EXPECT_EQ(regs.back().pDvcObj, path.Filter());
    EXPECT_EQ(path.States().size(), 2u);
    {
        std::lock_guard lock(path.bus.mutex);
        for (std::size_t i = 0; i < path.bus.inputLengths.size(); ++i) {
            EXPECT_TRUE(path.bus.inputLengths[i] == 80u || path.bus.inputLengths[i] == 16u) << i;
        }
    }
}

TEST(ChangerPnp, AQueryRemoveTheBusRefusesLeavesThePathStarted) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    path.bus.onNotify = [](const CHGR_NFY_DVC& n) {
        return n.ePnp == PNP_REMOVE_PENDING ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    };
    EXPECT_FALSE(NT_SUCCESS(path.Pnp().removeDevice(path.instance)));
    auto node = path.Pnp().find(path.instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    const std::vector<ULONG> states = path.States();
    ASSERT_GE(states.size(), 1u);
    EXPECT_EQ(states.front(), static_cast<ULONG>(PNP_REMOVE_PENDING));
    EXPECT_EQ(states.back(), static_cast<ULONG>(PNP_STARTED)) << "the refusal restored the former state";
}

TEST(ChangerPnp, AQueryStopTheBusRefusesLeavesThePathStarted) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    path.bus.onNotify = [](const CHGR_NFY_DVC& n) {
        return n.ePnp == PNP_STOP_PENDING ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    };
    EXPECT_FALSE(NT_SUCCESS(path.Pnp().stopDevice(path.instance)));
    auto node = path.Pnp().find(path.instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(path.States().back(), static_cast<ULONG>(PNP_STARTED));
}

TEST(ChangerPnp, ARemovalIsReportedAndTheFilterDeviceGoes) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    path.filterSeen = path.Filter();
    ASSERT_EQ(path.Pnp().removeDevice(path.instance), STATUS_SUCCESS);
    EXPECT_EQ(path.States(), S({PNP_REMOVE_PENDING, PNP_ABSENT}));
    EXPECT_TRUE(path.violations.empty());
}

TEST(ChangerPnp, ASurpriseRemovalIsReportedAndThenTheRemoval) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    path.filterSeen = path.Filter();
    ASSERT_EQ(path.Pnp().surpriseRemoveDevice(path.instance), STATUS_SUCCESS);
    path.machine->pnp().processPendingEnumerations();
    EXPECT_EQ(path.States(), S({PNP_SURPRISE_REMOVE, PNP_ABSENT}));
}

TEST(ChangerPnp, ANotificationTheBusFailsDoesNotHoldUpARemoval) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    path.filterSeen = path.Filter();
    path.bus.onNotify = [](const CHGR_NFY_DVC& n) {
        return n.ePnp == PNP_ABSENT ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    };
    ASSERT_EQ(path.Pnp().removeDevice(path.instance), STATUS_SUCCESS);
    EXPECT_FALSE(path.Pnp().find(path.instance).has_value() &&
                 path.Pnp().find(path.instance)->state == sim::DevNodeState::Started);
}

// A request held inside the base driver while a stop or a removal arrives.
class ChangerDraining : public ::testing::TestWithParam<bool> {};

TEST_P(ChangerDraining, StopAndRemoveWaitForTheRequestsInTheBaseDriver) {
    const bool remove = GetParam();
    ChangerPath path;
    path.AnswerIdentification();
    path.script.Answer(IOCTL_CHANGER_GET_STATUS, STATUS_SUCCESS);
    path.Start();
    PDEVICE_OBJECT filter = path.Filter();
    path.filterSeen = filter;

    // A second path keeps the filter's image loaded while the first one goes, so that the request's
    // thread may still be on its way out of the filter when the removal deletes the device: nothing
    // of the device may be touched after the count that lets the removal go on.
    const std::u16string first = path.instance;
    path.Add();
    path.instance = first;
    path.script.Hold();
    Reply held;
    std::thread request([&] { held = KernelControl(filter, IOCTL_CHANGER_GET_STATUS, nullptr, 0, nullptr, 0); });
    ASSERT_TRUE(path.script.WaitHeld(1));

    std::atomic<bool> done{false};
    std::thread pnp([&] {
        if (remove) {
            path.Pnp().removeDevice(path.instance);
        } else {
            path.Pnp().stopDevice(path.instance);
        }
        done = true;
    });
    // However slow the machine, the query goes through first; then the change itself has had
    // 100 ms to overtake the held request.
    for (int i = 0; i < 30000 && path.States().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load()) << "the state change waits for the request in the base driver";
    const std::vector<ULONG> whileHeld = path.States();
    EXPECT_EQ(whileHeld, S({remove ? PNP_REMOVE_PENDING : PNP_STOP_PENDING})) << "only the query went through";

    path.script.Release();
    request.join();
    pnp.join();
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    EXPECT_EQ(path.States().back(), static_cast<ULONG>(remove ? PNP_ABSENT : PNP_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(ChangerPnp, ChangerDraining, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Remove" : "Stop"; });

}  // namespace
}  // namespace cfiltertest
