// What the bus makes of drives it cannot tell apart and of what its configuration says about
// grouping: a drive whose identification failed keeps one virtual device across restarts of its
// path, and the device list reports failover off whenever the bus has failover disabled.
#include <gtest/gtest.h>

#include <string>

#include "registration_harness.h"
#include "sim/pnp.h"
#include "sim/registry.h"

namespace vorka::test {
namespace {

constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

class DriveIdentity : public TapeBusTest {
protected:
    std::u16string busInstance() {
        for (const auto& node : machine().pnp().devices()) {
            if (node.service == u"vorkatbus") return node.instancePath;
        }
        return {};
    }
    static PathSpec unidentified(uint8_t port) {
        PathSpec spec;
        spec.serial = std::string(32, '0');   // what a filter sends when the serial number is unknown
        spec.port = port;
        spec.target = 4;
        return spec;
    }
};

TEST_F(DriveIdentity, AnUnidentifiedDriveKeepsItsDeviceAndHandlesWhenItsPathRestarts) {
    createPaths(0, 1);
    FAKEPATH_REGISTER first = registerPath(0, unidentified(1));
    ASSERT_EQ(first.status, kStatusSuccess);
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape" + std::u16string(1, u'0' + first.tapeNumber), &tape), kStatusSuccess);

    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess);
        FAKEPATH_REGISTER again = registerPath(0, unidentified(1));   // the filter registers at every start
        ASSERT_EQ(again.status, kStatusSuccess);
        EXPECT_EQ(again.tapeNumber, first.tapeNumber) << "restart " << restart;
    }

    QueryAnswer answer = query();
    ASSERT_EQ(answer.status, kStatusSuccess);
    ASSERT_EQ(answer.descriptors.size(), 1u) << "one device, one path";
    EXPECT_FALSE(answer.descriptors[0].failover) << "a drive without an identity is never grouped";
    EXPECT_TRUE(answer.descriptors[0].active);
    EXPECT_NE(deviceIoControl(tape, kIocQueryDevices, 0, 4096), kStatusDeletePending)
        << "the handle opened before the restarts still reaches its device";
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
}

TEST_F(DriveIdentity, TwoUnidentifiedDrivesStayTwoDevices) {
    createPaths(0, 2);
    uint32_t a = registerPath(0, unidentified(1)).tapeNumber;
    uint32_t b = registerPath(1, unidentified(2)).tapeNumber;
    EXPECT_NE(a, b);
    EXPECT_EQ(query().descriptors.size(), 2u);
}

TEST_F(DriveIdentity, FailoverDisabledAfterADriveWasCreatedIsReportedForItToo) {
    createPaths(0, 2);
    PathSpec spec;
    spec.serial = "GROUP001";
    spec.port = 1;
    registerPath(0, spec);
    spec.port = 2;
    registerPath(1, spec);
    QueryAnswer before = query();
    ASSERT_EQ(before.descriptors.size(), 2u);
    EXPECT_TRUE(before.descriptors[0].failover);

    // The administrator disables failover; the bus reads it at its next start.
    machine().registry().setDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters",
                                  u"FailoverDisabled", 1);
    ASSERT_EQ(machine().pnp().stopDevice(busInstance()), kStatusSuccess);
    ASSERT_EQ(machine().pnp().startDevice(busInstance()), kStatusSuccess);

    QueryAnswer after = query();
    ASSERT_EQ(after.descriptors.size(), 2u) << "the drive and its paths are still there";
    for (const Descriptor& d : after.descriptors) {
        EXPECT_FALSE(d.failover) << d.name;
    }
}

}  // namespace
}  // namespace vorka::test
