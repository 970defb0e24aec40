// The tape bus from installation to removal as an administrator sees it: the control device and its
// link appear, the start event is in the system log, and removing the device unloads the driver
// cleanly.
#include <gtest/gtest.h>

#include <algorithm>

#include "bus_fixture.h"

using namespace vorka_test;

namespace {

constexpr NTSTATUS kStartEvent = 0x40000001;
constexpr NTSTATUS kInitFailedEvent = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kUnloadEvent = 0x40000007;

class BusLifecycle : public BusTest {
protected:
    bool AssertionReported(std::string_view expression) {
        auto all = machine().trace().assertions();
        return std::any_of(all.begin(), all.end(), [&](auto& a) { return a.expression == expression; });
    }
    size_t PoolOwnedByBus() { return machine().pool().liveBlocksOf("vorkatbus").size(); }
};

}  // namespace

TEST_F(BusLifecycle, StartedBusHasItsControlDeviceLinkAndStartEvent) {
    InstallBus();
    auto node = busNode();
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    PDEVICE_OBJECT control = controlDevice();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_TRUE(control->Characteristics & FILE_DEVICE_SECURE_OPEN);

    Application app(machine(), "tapeadmin.exe");
    EXPECT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);

    auto started = events(kStartEvent);
    ASSERT_EQ(started.size(), 1u);
    ASSERT_EQ(started[0].strings.size(), 2u);
    // The event log is readable by every user: the driver and its device are named, not located.
    EXPECT_EQ(started[0].stringUtf8(0), "\\Driver\\vorkatbus");
    EXPECT_EQ(started[0].stringUtf8(1), "\\Device\\VorkaTBusDvc");
    EXPECT_EQ(started[0].stringOffset, 40);
    EXPECT_TRUE(started[0].hasText);
    EXPECT_EQ(started[0].displayText(), "Vorka Tape Bus Enumerator started successfully.  Driver object is "
                                        "\\Driver\\vorkatbus, bus FDO is \\Device\\VorkaTBusDvc.");
    EXPECT_TRUE(events(kInitFailedEvent).empty());
}

// The configuration read again at each start, and cancelled stops and removals: restart_tests.cpp.

TEST_F(BusLifecycle, PowerRequestsPassToTheDeviceBelow) {
    InstallBus();
    Application app(machine(), "tapeadmin.exe");
    ASSERT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
    ULONG before = 0, after = 0;
    ASSERT_EQ(app.ioctl(BUSLOWER_IOCTL_SET_POWER_COUNT, nullptr, 0, &before, sizeof before).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().pnp().sendPowerIrp(instance_, IRP_MN_SET_POWER, /*systemState=*/false, 1), STATUS_SUCCESS);
    ASSERT_EQ(app.ioctl(BUSLOWER_IOCTL_SET_POWER_COUNT, nullptr, 0, &after, sizeof after).status, STATUS_SUCCESS);
    EXPECT_EQ(after, before + 1) << "the filter below the bus saw the request";
}

TEST_F(BusLifecycle, RemovingTheBusUnloadsTheDriverWithItsEventAndNothingLeftBehind) {
    InstallBus();
    ASSERT_TRUE(machine().drivers().isLoaded(u"vorkatbus"));

    ASSERT_EQ(machine().pnp().uninstallDevice(instance_), STATUS_SUCCESS);
    EXPECT_FALSE(machine().drivers().isLoaded(u"vorkatbus"));
    EXPECT_EQ(machine().drivers().unloadCount(u"vorkatbus"), 1u);
    EXPECT_EQ(PoolOwnedByBus(), 0u);

    auto unloading = events(kUnloadEvent);
    ASSERT_EQ(unloading.size(), 1u);
    EXPECT_EQ(unloading[0].numberOfStrings, 0);
    EXPECT_EQ(unloading[0].stringOffset, 40);
    EXPECT_EQ(unloading[0].displayText(), "Vorka Tape Bus Enumerator is unloading.");

    Application app(machine(), "tapeadmin.exe");
    EXPECT_EQ(app.open(kBusControlLink), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went with the device";
}

TEST_F(BusLifecycle, SurpriseRemovalIsReportedAndStillCleansUp) {
    InstallBus();
    ASSERT_EQ(machine().pnp().surpriseRemoveDevice(instance_), STATUS_SUCCESS);
    machine().pnp().processPendingEnumerations();
    EXPECT_TRUE(AssertionReported("!\"This is a software bus so should never be surprise-removed.\""));
    EXPECT_FALSE(machine().drivers().isLoaded(u"vorkatbus"));
    EXPECT_EQ(events(kUnloadEvent).size(), 1u);
}

TEST_F(BusLifecycle, NoMemoryForTheStatusTableFailsTheLoadWithItsEvent) {
    // The table is the driver's first allocation: its 1040-byte driver-object extension.
    machine().pool().failIf([](const sim::PoolRequest& request) { return request.size == sizeof(IRPS_WITH_STATUS); });
    InstallBus();
    machine().pool().clearFailures();
    ASSERT_EQ(machine().pool().injectedFailures(), 1u) << "the extension's allocation was the one that failed";

    auto failed = events(kInitFailedEvent);
    ASSERT_EQ(failed.size(), 1u);
    ASSERT_EQ(failed[0].strings.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xc000009a");
    EXPECT_EQ(failed[0].displayText(), "Vorka Tape Bus Enumerator initialization failed with RC 0xc000009a.");
    EXPECT_TRUE(events(kStartEvent).empty());
    auto node = busNode();
    ASSERT_TRUE(node.has_value());
    EXPECT_NE(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(PoolOwnedByBus(), 0u);
}
