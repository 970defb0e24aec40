// Opening and closing a virtual tape device: the request reaches the primary path's filter as the
// bus's own request, exclusive drives admit one handle across the virtual device and its path
// devices, the primary path is balanced by adapter usage, and a device whose drive lost its last
// path keeps its open handles safe.
#include <gtest/gtest.h>

#include "registration_harness.h"
#include "sim/objects.h"

namespace vorka::test {
namespace {

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS kIoDeviceError = static_cast<NTSTATUS>(0xC0000185);
constexpr uint32_t kIoctlTapeGetPosition = 0x001F400C;

PathSpec Path(const std::string& serial, uint8_t port, bool exclusive = false) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = 3;
    spec.exclusive = exclusive;
    return spec;
}

int PrimaryPort(const QueryAnswer& answer) {
    for (const auto& d : answer.descriptors) {
        if (d.primary) return d.port;
    }
    return -1;
}

using VirtualDeviceOpen = TapeBusTest;

TEST_F(VirtualDeviceOpen, OpenAndCloseReachThePrimaryPathAsTheBussOwnRequests) {
    createPaths(0, 2);
    registerPath(0, Path("OPEN0001", 1));
    registerPath(1, Path("OPEN0001", 2));
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &first), kStatusSuccess);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &second), kStatusSuccess) << "a non-exclusive drive takes more opens";

    FAKEPATH_PATH primary = pathInfo(0);
    FAKEPATH_PATH other = pathInfo(1);
    EXPECT_EQ(primary.creates + other.creates, 2u);
    EXPECT_EQ(primary.busRequests + other.busRequests, 2u) << "found in the status table with their record";
    EXPECT_GE(primary.stackLocationsLeft + other.stackLocationsLeft, 2u) << "room for the stack below the filter";

    EXPECT_EQ(closeHandle(first), kStatusSuccess);
    EXPECT_EQ(closeHandle(second), kStatusSuccess);
    primary = pathInfo(0);
    other = pathInfo(1);
    EXPECT_EQ(primary.closes + other.closes, 2u);
    EXPECT_EQ(primary.lastCloses + other.lastCloses, 1u) << "only the last close is marked as the last";
}

TEST_F(VirtualDeviceOpen, AnOpenAnsweredLaterByThePathIsWaitedFor) {
    createPaths(0, 1);
    registerPath(0, Path("PEND0001", 1, /*exclusive=*/true));
    setPathAnswer(0, kStatusSuccess, FAKEPATH_ANSWER_PENDED);
    HANDLE handle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    EXPECT_EQ(pathInfo(0).creates, 1u);
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);
    EXPECT_EQ(pathInfo(0).closes, 1u);
}

TEST_F(VirtualDeviceOpen, AnExclusiveDriveAdmitsOneHandleAcrossTheDeviceAndItsPaths) {
    createPaths(0, 2);
    registerPath(0, Path("EXCL0001", 1, /*exclusive=*/true));
    registerPath(1, Path("EXCL0001", 2, /*exclusive=*/true));

    HANDLE handle = nullptr, refused = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &refused), kAccessDenied);
    EXPECT_EQ(notifyIo(1, kIoOpen), kAccessDenied) << "a path device cannot be opened meanwhile";
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);

    // An open made directly on a path device counts as well.
    EXPECT_EQ(notifyIo(1, kIoOpen), kStatusSuccess);
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &refused), kAccessDenied);
    EXPECT_EQ(notifyIo(0, kIoOpen), kAccessDenied) << "nor another path device";
    EXPECT_EQ(notifyIo(1, kIoClose), kStatusSuccess);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);

    // A close reported without an open does not open the drive up for two handles later.
    EXPECT_EQ(notifyIo(0, kIoClose), kStatusSuccess);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    EXPECT_EQ(notifyIo(0, kIoOpen), kAccessDenied);
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);
}

TEST_F(VirtualDeviceOpen, AnOpenRefusedByThePathGivesItsHandleCountBack) {
    createPaths(0, 1);
    registerPath(0, Path("FAIL0001", 1, /*exclusive=*/true));
    setPathAnswer(0, kIoDeviceError);
    HANDLE handle = nullptr;
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &handle), kIoDeviceError);
    setPathAnswer(0, kStatusSuccess);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess) << "the failed open left no handle counted";
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);
}

TEST_F(VirtualDeviceOpen, WithoutAnyStartedPathTheOpenFails) {
    createPaths(0, 2);
    registerPath(0, Path("IDLE0001", 1));
    registerPath(1, Path("IDLE0001", 2));
    notifyPnp(0, kPnpStopped);
    notifyPnp(1, kPnpStopped);
    HANDLE handle = nullptr;
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &handle), kDeletePending);
    notifyPnp(1, kPnpStarted);
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    EXPECT_EQ(pathInfo(1).creates, 1u);
    EXPECT_EQ(pathInfo(0).creates, 0u) << "a stopped path gets nothing";
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);
}

TEST_F(VirtualDeviceOpen, OpensSpreadOverTheAdaptersByHowOftenEachServedAnOpen) {
    createPaths(0, 2);
    registerPath(0, Path("BAL00001", 1));
    registerPath(1, Path("BAL00001", 2));
    EXPECT_EQ(PrimaryPort(query()), 1);

    // Both adapters unused: the primary stays and adapter 1 now counts one open.
    HANDLE handle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    closeHandle(handle);
    EXPECT_EQ(pathInfo(0).creates, 1u);
    EXPECT_EQ(PrimaryPort(query()), 1);

    // Adapter 2 has served fewer opens: the primary moves there for the next open.
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    closeHandle(handle);
    EXPECT_EQ(pathInfo(1).creates, 1u);
    EXPECT_EQ(PrimaryPort(query()), 2);

    // Equal usage again: the primary stays on adapter 2.
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    closeHandle(handle);
    EXPECT_EQ(pathInfo(1).creates, 2u);
    EXPECT_EQ(PrimaryPort(query()), 2);
}

TEST_F(VirtualDeviceOpen, LoadBalancingNeverChoosesAStoppedPath) {
    createPaths(0, 2);
    registerPath(0, Path("BALS0001", 1));
    registerPath(1, Path("BALS0001", 2));
    HANDLE handle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);   // adapter 1 served one open
    closeHandle(handle);
    notifyPnp(1, kPnpStopped);   // adapter 2 is less used but its path is stopped
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);
    closeHandle(handle);
    EXPECT_EQ(pathInfo(0).creates, 2u);
    EXPECT_EQ(pathInfo(1).creates, 0u);
    EXPECT_EQ(PrimaryPort(query()), 1);
}

TEST_F(VirtualDeviceOpen, AHandleOutlivesTheDeviceOfADriveThatLostItsLastPath) {
    createPaths(0, 1);
    registerPath(0, Path("LOST0001", 1));
    HANDLE handle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &handle), kStatusSuccess);

    removePath(0);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0")) << "the name went with the drive";
    HANDLE again = nullptr;
    EXPECT_NE(openTape(u"\\\\.\\Tape0", &again), kStatusSuccess);

    // Requests on the old handle fail cleanly; the device object is still there for them.
    EXPECT_EQ(deviceIoControl(handle, kIoctlTapeGetPosition, 0, 16), kDeletePending);
    EXPECT_EQ(deviceIoControl(handle, kIocQueryDevices, 0, 1024), kDeletePending);
    uint8_t* data = static_cast<uint8_t*>(app().alloc(512));
    EXPECT_EQ(app().read(handle, data, 512), kDeletePending);
    app().free(data);
    EXPECT_EQ(closeHandle(handle), kStatusSuccess);
}

}  // namespace
}  // namespace vorka::test
