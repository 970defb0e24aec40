// The tape bus device stopped and started again by PnP, or a stop or removal that PnP queries and
// then cancels: the configuration is read again at every start, and a cancelled query leaves the
// bus serving its filters and applications as before.
#include <gtest/gtest.h>

#include <string>

#include "registration_harness.h"
#include "sim/objects.h"
#include "sim/pnp.h"

// The control device's extension, as the bus keeps it.
#define VORKA_TRACE_PREFIX "VorkaTpBus"
#define VORKA_SERVICE_NAME L"vorkatbus"
#include "bus.h"

namespace vorka::test {
namespace {

class BusRestart : public TapeBusTest {
protected:
    // Paths `first` and `first + 1` of drive `serial` register (on ports 1 and 2, at target
    // `target`); true when the bus put both behind one virtual device with failover on.
    bool RegisterTwoPathsGrouped(uint32_t first, const std::string& serial, uint8_t target) {
        createPaths(first, 2);
        PathSpec spec;
        spec.serial = serial;
        spec.target = target;
        spec.port = 1;
        const FAKEPATH_REGISTER one = registerPath(first, spec);
        spec.port = 2;
        const FAKEPATH_REGISTER two = registerPath(first + 1, spec);
        EXPECT_EQ(one.status, kStatusSuccess);
        EXPECT_EQ(two.status, kStatusSuccess);
        const QueryAnswer answer = query();
        EXPECT_EQ(answer.status, kStatusSuccess);
        size_t paths = 0, withFailover = 0;
        for (const Descriptor& d : answer.descriptors) {
            if (d.serial == serial) {
                paths++;
                withFailover += d.failover ? 1 : 0;
            }
        }
        EXPECT_EQ(paths, 2u) << "both paths of " << serial << " are reported";
        return one.tapeNumber == two.tapeNumber && withFailover == 2;
    }

    // The bus as PnP and its filters see it: its device node started, its own record of the PnP
    // state started, and a new path's registration and an application's query both answered.
    void ExpectServing(uint32_t path, const std::string& serial, uint8_t target) {
        auto node = machine().pnp().find(busInstance());
        ASSERT_TRUE(node.has_value());
        EXPECT_EQ(node->state, sim::DevNodeState::Started);
        DEVICE_OBJECT* control = sim::FindDevice(u"\\Device\\VorkaTBusDvc");
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(static_cast<PDEVICE_EXT_HEADER>(control->DeviceExtension)->ePnpState, PNP_STARTED);

        createPaths(path, 1);
        PathSpec spec;
        spec.serial = serial;
        spec.port = 1;
        spec.target = target;
        EXPECT_EQ(registerPath(path, spec).status, kStatusSuccess) << serial << " registers";
        const QueryAnswer answer = query();
        ASSERT_EQ(answer.status, kStatusSuccess);
        bool listed = false;
        for (const Descriptor& d : answer.descriptors) {
            listed = listed || d.serial == serial;
        }
        EXPECT_TRUE(listed) << serial << " is reported";
    }
};

// What each configuration value does is in configuration_tests.cpp; here, that a changed value
// takes effect at the next start and not before.
TEST_F(BusRestart, ConfigurationIsReadAgainAtEveryStart) {
    EXPECT_TRUE(RegisterTwoPathsGrouped(0, "RST00001", 1)) << "failover is on by default";

    setBusParameter(u"FailoverDisabled", 1);
    EXPECT_TRUE(RegisterTwoPathsGrouped(2, "RST00002", 2)) << "the value counts from the next start";
    restartBus();
    EXPECT_FALSE(RegisterTwoPathsGrouped(4, "RST00003", 3)) << "failover is off after the restart";

    setBusParameter(u"FailoverDisabled", 0);
    restartBus();
    EXPECT_TRUE(RegisterTwoPathsGrouped(6, "RST00004", 4)) << "and on again after the next one";
}

TEST_F(BusRestart, CancelledStopAndRemoveLeaveTheBusStarted) {
    const std::u16string instance = busInstance();

    // A cancel without its query changes nothing.
    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_CANCEL_STOP_DEVICE), kStatusSuccess);
    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_CANCEL_REMOVE_DEVICE), kStatusSuccess);
    ExpectServing(0, "CNCL0001", 1);

    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_QUERY_STOP_DEVICE), kStatusSuccess);
    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_CANCEL_STOP_DEVICE), kStatusSuccess);
    ExpectServing(1, "CNCL0002", 2);

    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_QUERY_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_EQ(machine().pnp().sendPnpIrp(instance, IRP_MN_CANCEL_REMOVE_DEVICE), kStatusSuccess);
    ExpectServing(2, "CNCL0003", 3);
}

}  // namespace
}  // namespace vorka::test
