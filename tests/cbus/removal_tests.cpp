// Paths and the bus going away: a changer lives until its last path is removed, a path's record
// outlives the requests being sent to it, and the removal of the bus device takes every changer.
#include "changer_bus_fixture.h"

#include <atomic>
#include <thread>

#include "sim/pnp.h"

namespace vorka::cbus_test {
namespace {

class ChangerRemoval : public ChangerBusTest {};

// A library's changer outlives its last path: its name is never free for another library, and the
// handle an application holds works again when one of the library's paths comes back. A changer of
// a path without failover is that path's alone and goes with it.
TEST_F(ChangerRemoval, ALibrarysChangerOutlivesItsLastPathAndItsHandleWorksAgainWhenAPathReturns) {
    createPaths(0, 2);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    registerPath(1, {"LIB0001", 1, 0, 1, 0});
    HANDLE handle = nullptr;
    ASSERT_EQ(openChanger(0, &handle), kSuccess);
    EXPECT_EQ(removePath(0), kSuccess);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 1u);
    EXPECT_TRUE(answer.descriptors[0].primary) << "the remaining path took over";
    EXPECT_EQ(notifyPnp(1, kPnpStopped), kSuccess);
    EXPECT_EQ(removePath(1), kSuccess);
    EXPECT_TRUE(deviceExists(u"\\Device\\Changer0")) << "the library's changer waits for its paths";
    EXPECT_EQ(moveMedium(handle), kObjectPathNotFound) << "no path to send it to";

    // Another library gets a name of its own, not the one the application holds.
    createPaths(2, 1);
    EXPECT_EQ(registerPath(2, {"LIB0002", 0, 0, 2, 0}).changerNumber, 1u);
    // The library's path returns: the application's handle reaches it again.
    createPaths(3, 1);
    EXPECT_EQ(registerPath(3, {"LIB0001", 1, 0, 1, 0}).changerNumber, 0u);
    EXPECT_EQ(moveMedium(handle), kSuccess);
    EXPECT_EQ(pathInfo(3).successes, 1u);
    closeHandle(handle);

    createPaths(4, 1);
    EXPECT_EQ(registerPath(4, {"", 0, 0, 4, 0, false}).changerNumber, 2u);
    EXPECT_EQ(removePath(4), kSuccess);
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer2")) << "a changer without failover goes with its path";
    EXPECT_NE(openChanger(2, &handle), kSuccess) << "the link went too";
}

// The query to remove or stop the last active control path of a changer an application holds open is
// refused; with another active path, or once the handle is closed, it is not.
TEST_F(ChangerRemoval, TheLastActivePathOfAChangerInUseIsNeitherRemovedNorStopped) {
    createPaths(0, 2);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    registerPath(1, {"LIB0001", 1, 0, 1, 0});
    HANDLE handle = nullptr;
    ASSERT_EQ(openChanger(0, &handle), kSuccess);
    EXPECT_EQ(notifyPnp(0, kPnpRemovePending), kSuccess) << "the other path still serves the changer";
    EXPECT_EQ(notifyPnp(0, kPnpAbsent), kSuccess);
    EXPECT_EQ(notifyPnp(1, kPnpRemovePending), kDeviceBusy);
    EXPECT_EQ(notifyPnp(1, kPnpStopPending), kDeviceBusy);
    EXPECT_EQ(moveMedium(handle), kSuccess) << "the path still carries the application's requests";
    closeHandle(handle);
    EXPECT_EQ(notifyPnp(1, kPnpStopPending), kSuccess);
}

TEST_F(ChangerRemoval, AnOpenHandleOfARemovedChangerGetsNoAnswerFromAnyPath) {
    createPaths(0, 1);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    HANDLE handle = nullptr;
    ASSERT_EQ(openChanger(0, &handle), kSuccess);
    EXPECT_EQ(removePath(0), kSuccess);
    EXPECT_NE(moveMedium(handle), kSuccess);
    closeHandle(handle);
}

TEST_F(ChangerRemoval, APathRemovedWhileRequestsAreBeingSentToItWaitsForThem) {
    createPaths(0, 2);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    registerPath(1, {"LIB0001", 1, 0, 1, 0});
    setAnswer(0, {.delayMicroseconds = 200000});   // the library takes its time
    HANDLE handle = nullptr;
    ASSERT_EQ(openChanger(0, &handle), kSuccess);
    std::atomic<NTSTATUS> moved{-1};
    std::thread mover([&] { moved = moveMedium(handle); });
    while (pathInfo(0).maxConcurrent == 0) std::this_thread::yield();
    // The filter reports the path gone; its device object is deleted right after the notification,
    // so the bus must not return before the request on it ended.
    EXPECT_EQ(notifyPnp(0, kPnpAbsent), kSuccess);
    EXPECT_EQ(pathInfo(0).successes, 1u) << "the path had answered before its record went";
    mover.join();
    EXPECT_EQ(moved.load(), kSuccess);
    removePath(0);
    EXPECT_EQ(moveMedium(handle), kSuccess) << "the other path serves the changer";
    EXPECT_EQ(pathInfo(1).requests, 1u);
    closeHandle(handle);
}

// A changer without failover goes with its only path, while another thread keeps querying it.
TEST_F(ChangerRemoval, AQueryOnTheChangerWhileItsLastPathGoesNeitherHangsNorOutlivesTheChanger) {
    createPaths(0, 1);
    registerPath(0, {"LIB0001", 0, 0, 1, 0, false});
    HANDLE handle = nullptr;
    ASSERT_EQ(openChanger(0, &handle), kSuccess);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread querier([&] {
        std::vector<uint8_t> out;
        while (!stop) {
            if (control(handle, kIocQueryDevices, {}, 4096, &out) == kSuccess) answered++;
        }
    });
    while (answered == 0) std::this_thread::yield();
    EXPECT_EQ(removePath(0), kSuccess);
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer0"));
    stop = true;
    querier.join();
    closeHandle(handle);
}

TEST_F(ChangerRemoval, RemovingTheBusDeviceDeletesEveryChangerAndLetsTheDriverUnload) {
    createPaths(0, 2);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    registerPath(1, {"LIB0002", 0, 0, 2, 0});
    ASSERT_TRUE(deviceExists(u"\\Device\\Changer1"));
    for (const auto& node : machine().pnp().devices()) {
        if (node.service == u"vorkacbus" && node.state == sim::DevNodeState::Started) {
            EXPECT_EQ(machine().pnp().removeDevice(node.instancePath), kSuccess);
        }
    }
    EXPECT_FALSE(deviceExists(u"\\Device\\VorkaCBusDvc"));
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer0"));
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer1"));
    HANDLE handle = nullptr;
    EXPECT_NE(openChanger(1, &handle), kSuccess);
    // The filters' later notifications find no bus; nothing of the changers is left to leak.
    EXPECT_NE(notifyPnp(0, kPnpAbsent), kSuccess);
    EXPECT_NE(notifyPnp(1, kPnpAbsent), kSuccess);
}

}  // namespace
}  // namespace vorka::cbus_test
