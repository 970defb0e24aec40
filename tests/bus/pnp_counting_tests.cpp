// Plug and Play of the tape bus while it is in use: stops and removals wait for the requests already
// accepted on the control device and on the virtual devices, cancelled queries leave everything as it
// was, and a removed bus takes its virtual devices with it while the applications' handles still
// close. The machine's shutdown checks that nothing of the bus is left allocated.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <ntddk.h>

#include "kernel_request.h"
#include "registration_harness.h"
#include "sim/objects.h"
#include "sim/pnp.h"
#include "sim/trace.h"
#include "trace_gate.h"

namespace vorka::test {
namespace {

using namespace std::chrono_literals;

constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr uint32_t kScsiAddressSize = 8;

class BusPnpInUse : public TapeBusTest {
protected:
    std::u16string busInstance() {
        for (const auto& node : machine().pnp().devices()) {
            if (node.service == u"vorkatbus") return node.instancePath;
        }
        return {};
    }
    PathSpec drive(const std::string& serial, uint8_t port, uint8_t target) {
        PathSpec spec;
        spec.serial = serial;
        spec.port = port;
        spec.target = target;
        return spec;
    }
    // A request that some component sends directly to a virtual device (the PnP manager never does:
    // the virtual devices are not children of the bus).
    static NTSTATUS sendToDevice(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildSynchronousFsdRequest(major, device, nullptr, 0, nullptr, &done, &iosb);
        if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
        NTSTATUS status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }
    NTSTATUS getAddress(HANDLE tape) { return deviceIoControl(tape, kIoctlScsiGetAddress, 0, kScsiAddressSize); }
};

TEST_F(BusPnpInUse, AStopOfTheBusWaitsForAQueryInFlightAndLeavesTheCountBalanced) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0001", 1, 3));

    vorka_test::TraceGate gate(machine(), "BusQueryDevices: pDeviceObject");
    QueryAnswer answer;
    std::thread querier([&] { answer = query(); });
    ASSERT_TRUE(gate.waitUntilHeld()) << "the query reached the bus's answer";

    std::atomic<bool> stopped{false};
    NTSTATUS stopStatus = -1;
    std::thread stopper([&] {
        stopStatus = machine().pnp().stopDevice(busInstance());
        stopped = true;
    });
    EXPECT_TRUE(gate.waitForLine("BusIrpMnStopDevice: pDeviceObject"));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(stopped.load()) << "the stop returned while the query was still in flight";
    gate.release();
    querier.join();
    stopper.join();

    EXPECT_EQ(stopStatus, kStatusSuccess);
    EXPECT_EQ(answer.status, kStatusSuccess);
    EXPECT_EQ(answer.descriptors.size(), 1u);

    // Balanced: a second stop has nothing to wait for, and the restarted bus answers again.
    ASSERT_EQ(machine().pnp().startDevice(busInstance()), kStatusSuccess);
    EXPECT_EQ(machine().pnp().stopDevice(busInstance()), kStatusSuccess);
    ASSERT_EQ(machine().pnp().startDevice(busInstance()), kStatusSuccess);
    EXPECT_EQ(query().descriptors.size(), 1u);
}

TEST_F(BusPnpInUse, RemovingTheBusWithHandlesOpenAndTrafficRunningRetiresEveryVirtualDevice) {
    createPaths(0, 2);
    registerPath(0, drive("PNPC0002", 1, 3));
    registerPath(1, drive("PNPC0003", 2, 4));
    HANDLE busy = nullptr, idle = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &busy), kStatusSuccess);
    ASSERT_EQ(openTape(u"\\\\.\\Tape1", &idle), kStatusSuccess);

    // Traffic on both virtual devices until the removal refuses it.
    std::vector<NTSTATUS> results[2];
    std::atomic<int> started{0};
    auto run = [&](HANDLE tape, std::vector<NTSTATUS>* out) {
        for (int i = 0; i < 100000; ++i) {
            NTSTATUS status = getAddress(tape);
            out->push_back(status);
            if (i == 0) ++started;
            if (status != kStatusSuccess) break;
        }
    };
    std::thread first(run, busy, &results[0]);
    std::thread second(run, idle, &results[1]);
    while (started.load() < 2) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(machine().pnp().removeDevice(busInstance()), kStatusSuccess);
    first.join();
    second.join();

    for (const auto& list : results) {
        ASSERT_FALSE(list.empty());
        for (size_t i = 0; i + 1 < list.size(); ++i) EXPECT_EQ(list[i], kStatusSuccess);
        EXPECT_TRUE(list.back() == kDeletePending || list.back() == STATUS_CANCELLED)
            << "the request that met the removal: 0x" << std::hex << list.back();
    }

    // The devices, their links and the drive records are gone; the handles still answer and close.
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0"));
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape1"));
    EXPECT_EQ(getAddress(busy), kDeletePending);
    EXPECT_EQ(getAddress(idle), kDeletePending);
    EXPECT_EQ(deviceIoControl(idle, kIocQueryDevices, 0, 4096), kDeletePending);
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("dSUB")), 0u) << "drive records";
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("pSUB")), 0u) << "path records";
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("aSUB")), 0u) << "adapter records";
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("gODP")), 0u) << "queue nodes";
    EXPECT_EQ(closeHandle(busy), kStatusSuccess);
    EXPECT_EQ(closeHandle(idle), kStatusSuccess);
    HANDLE again = nullptr;
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &again), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(BusPnpInUse, ACancelledRemovalOfTheBusLeavesItsDevicesInService) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0004", 1, 3));
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);
    EXPECT_EQ(machine().pnp().sendPnpIrp(busInstance(), IRP_MN_QUERY_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_EQ(machine().pnp().sendPnpIrp(busInstance(), IRP_MN_CANCEL_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_EQ(getAddress(tape), kStatusSuccess);
    EXPECT_EQ(query().descriptors.size(), 1u);
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
}

TEST_F(BusPnpInUse, SurpriseRemovalOfTheBusWithHandlesOpenEndsOnceTheHandlesClose) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0005", 1, 3));
    HANDLE tape = nullptr, control = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);
    ASSERT_EQ(app().createFile(&control, u"\\\\.\\VorkaTBusDvcLnk", GENERIC_READ | GENERIC_WRITE), kStatusSuccess);

    ASSERT_EQ(machine().pnp().surpriseRemoveDevice(busInstance()), kStatusSuccess);
    bool asserted = false;
    for (const auto& assertion : machine().trace().assertions()) {
        asserted = asserted || assertion.expression == "!\"This is a software bus so should never be surprise-removed.\"";
    }
    EXPECT_TRUE(asserted);

    // The path filters hold the control device open too, so the removal waits for them: until then
    // the bus serves as before, and the application's handles close.
    EXPECT_EQ(app().close(control), kStatusSuccess);
    machine().pnp().processPendingEnumerations();
    EXPECT_EQ(getAddress(tape), kStatusSuccess);
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
    EXPECT_EQ(removePath(0), kStatusSuccess);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0")) << "the drive's last path is gone";
    // The machine's shutdown then removes the bus once the filters let go of it, with nothing left.
}

TEST_F(BusPnpInUse, AStopOfAVirtualDeviceWaitsForItsRequestInFlightAndCancelsRestoreTheState) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0006", 1, 3));
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);
    PDEVICE_OBJECT pdo = sim::FindDevice(u"\\Device\\Tape0");
    ASSERT_NE(pdo, nullptr);

    {
        vorka_test::TraceGate gate(machine(), "BusPdoDeviceControl: pDeviceObject");
        NTSTATUS requestStatus = -1;
        std::thread requester([&] { requestStatus = getAddress(tape); });
        ASSERT_TRUE(gate.waitUntilHeld());
        std::atomic<bool> stopped{false};
        NTSTATUS stopStatus = -1;
        std::thread stopper([&] {
            stopStatus = sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
            stopped = true;
        });
        EXPECT_TRUE(gate.waitForLine("BusPdoMnStopDevice: pDeviceObject"));
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(stopped.load()) << "the stop returned while a request was in flight";
        gate.release();
        requester.join();
        stopper.join();
        EXPECT_EQ(requestStatus, kStatusSuccess);
        EXPECT_EQ(stopStatus, kStatusSuccess);
    }

    vorka_test::TraceWindow window(machine());
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE), kStatusSuccess);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), kStatusSuccess);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE), kStatusSuccess);
    EXPECT_TRUE(window.contains("BusPdoMnCancelStopDevice: state restored to PNP_STARTED"));
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_TRUE(window.contains("BusPdoMnCancelRemoveDevice: state restored to PNP_STARTED"));
    EXPECT_EQ(getAddress(tape), kStatusSuccess) << "the device serves requests as before";

    // Power: a virtual device agrees to power changes.
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER), kStatusSuccess);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER), kStatusSuccess);
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
}

// Flushes and file-information requests reach a virtual device in the sender's own thread, beside
// the worker that runs the application's requests: they are refused at once, and they leave the
// worker's request state alone (ThreadSanitizer reports the race when they do not).
TEST_F(BusPnpInUse, AFlushOrInformationRequestBesideTrafficIsRefusedAndTouchesNothing) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0009", 1, 3));
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);
    PDEVICE_OBJECT pdo = sim::FindDevice(u"\\Device\\Tape0");
    ASSERT_NE(pdo, nullptr);

    constexpr uint32_t kIoctlTapeGetPosition = 0x001F400C;
    constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002);
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        for (int i = 0; i < 300; ++i) deviceIoControl(tape, kIoctlTapeGetPosition, 24, 24);
        done = true;
    });
    std::vector<NTSTATUS> refused;
    while (!done.load()) {
        refused.push_back(sendToDevice(pdo, IRP_MJ_FLUSH_BUFFERS, 0));
        refused.push_back(sendToDevice(pdo, IRP_MJ_QUERY_INFORMATION, 0));
    }
    traffic.join();
    for (NTSTATUS status : refused) EXPECT_EQ(status, kNotImplemented);
    EXPECT_EQ(getAddress(tape), kStatusSuccess) << "the device serves requests as before";
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
}

TEST_F(BusPnpInUse, ARemovedVirtualDeviceRefusesEveryLaterRequestButItsHandleCloses) {
    createPaths(0, 1);
    registerPath(0, drive("PNPC0007", 1, 3));
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);
    PDEVICE_OBJECT pdo = sim::FindDevice(u"\\Device\\Tape0");
    ASSERT_NE(pdo, nullptr);

    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), kStatusSuccess);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0"));
    EXPECT_TRUE(query().descriptors.empty()) << "the drive left the bus with its device";
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("dSUB")), 0u);
    EXPECT_EQ(livePoolWithTag(vorka_test::PoolTag("pSUB")), 0u);

    // The handle keeps the object: every request on it is refused, a second removal included.
    EXPECT_EQ(getAddress(tape), kDeletePending);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), kDeletePending);
    EXPECT_EQ(sendToDevice(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER), kDeletePending);
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);

    // The bus goes afterwards without touching the removed device.
    EXPECT_EQ(machine().pnp().removeDevice(busInstance()), kStatusSuccess);
}

}  // namespace
}  // namespace vorka::test
