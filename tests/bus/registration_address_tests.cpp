// The SCSI address a virtual tape device reports is always its primary path's: when an open moves the
// primary to a less used adapter, and when the primary path stops.
#include <gtest/gtest.h>

#include "registration_harness.h"
#include "sim/objects.h"

// The virtual device's extension, as the bus keeps it.
#define VORKA_TRACE_PREFIX "VorkaTpBus"
#define VORKA_SERVICE_NAME L"vorkatbus"
#include "bus.h"

namespace vorka::test {
namespace {

PathSpec Path(const std::string& serial, uint8_t port) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = 4;
    return spec;
}

SCSI_ADDRESS VirtualDeviceAddress(const char16_t* name) {
    DEVICE_OBJECT* device = sim::FindDevice(name);
    EXPECT_NE(device, nullptr);
    SCSI_ADDRESS address{};
    if (device != nullptr) {
        address = static_cast<PPDO_EXT>(device->DeviceExtension)->scScsiAddr;
    }
    return address;
}

using VirtualDeviceAddressTest = TapeBusTest;

TEST_F(VirtualDeviceAddressTest, FollowsThePrimaryPathWhereverItMoves) {
    createPaths(0, 2);
    registerPath(0, Path("ADDR0001", 1));
    registerPath(1, Path("ADDR0001", 2));
    EXPECT_EQ(VirtualDeviceAddress(u"\\Device\\Tape0").PortNumber, 1);

    // Adapter 1 serves the first open; the second open moves the primary to adapter 2.
    HANDLE handle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), 0);
    closeHandle(handle);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), 0);
    closeHandle(handle);
    SCSI_ADDRESS address = VirtualDeviceAddress(u"\\Device\\Tape0");
    EXPECT_EQ(address.PortNumber, 2) << "load balancing moved the primary without the device's address";
    EXPECT_EQ(address.TargetId, 4);

    // The primary path stops: the other path takes over and the address follows it.
    notifyPnp(1, 6 /* PNP_STOPPED */);
    EXPECT_EQ(VirtualDeviceAddress(u"\\Device\\Tape0").PortNumber, 1);
}

}  // namespace
}  // namespace vorka::test
