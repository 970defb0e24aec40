// The tape bus being removed while applications still use its virtual devices: an open or an
// IOC_QUERY_DEVICES that is in the middle of its work when the removal starts must neither touch the
// records the removal frees nor the lock it deletes. Each test holds the request at one traced step,
// runs the removal, then lets the request go on; the pool's freed-block check and the verifier see
// any late write or use.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <ntddk.h>

#include "registration_harness.h"
#include "sim/objects.h"
#include "sim/pnp.h"
#include "trace_gate.h"

namespace vorka::test {
namespace {

using namespace std::chrono_literals;

class BusRemovalRace : public TapeBusTest {
protected:
    std::u16string busInstance() {
        for (const auto& node : machine().pnp().devices()) {
            if (node.service == u"vorkatbus") return node.instancePath;
        }
        return {};
    }
    PathSpec drive(const std::string& serial, uint8_t port) {
        PathSpec spec;
        spec.serial = serial;
        spec.port = port;
        spec.target = 3;
        return spec;
    }
    // The virtual devices go with their bus: their names are free again (an open handle keeps only
    // the object, whose requests are refused).
    void expectVirtualDeviceGone(std::u16string_view name) {
        EXPECT_EQ(sim::FindDevice(name), nullptr) << "the virtual device went with its bus";
    }
    // Removes the bus in another thread: with the request held, the removal may have to wait for it.
    std::thread removeBus(NTSTATUS* status) {
        std::u16string instance = busInstance();
        return std::thread([this, instance, status] { *status = machine().pnp().removeDevice(instance); });
    }
};

TEST_F(BusRemovalRace, AnOpenInProgressWhenTheBusIsRemovedNeverUsesFreedAdapterRecords) {
    createPaths(0, 2);
    registerPath(0, drive("RACE0001", 1));
    registerPath(1, drive("RACE0001", 2));

    vorka_test::TraceGate gate(machine(), "BusDispatchCreate: fBlockSizeValid set to FALSE");
    HANDLE tape = nullptr;
    NTSTATUS openStatus = -1;
    std::thread opener([&] { openStatus = openTape(u"\\\\.\\Tape0", &tape); });
    EXPECT_TRUE(gate.waitUntilHeld()) << "the open reached its admission step";

    NTSTATUS removeStatus = -1;
    std::thread remover = removeBus(&removeStatus);
    EXPECT_TRUE(gate.waitForLine("BusIrpMnRemoveDevice: deleting pListOfPdos."));
    std::this_thread::sleep_for(200ms);   // the removal frees what it may free before the open goes on
    gate.release();
    opener.join();
    remover.join();

    EXPECT_EQ(removeStatus, kStatusSuccess);
    if (openStatus == kStatusSuccess) {
        EXPECT_EQ(closeHandle(tape), kStatusSuccess);
    }
    HANDLE again = nullptr;
    EXPECT_EQ(openTape(u"\\\\.\\Tape0", &again), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the device of a removed bus and its link are gone";
    expectVirtualDeviceGone(u"\\Device\\Tape0");
    // A freed record written by the open is reported by the pool when the machine shuts down.
}

TEST_F(BusRemovalRace, AQueryOnAVirtualDeviceInProgressWhenTheBusIsRemovedIsWaitedFor) {
    createPaths(0, 1);
    registerPath(0, drive("RACE0002", 1));
    HANDLE tape = nullptr;
    ASSERT_EQ(openTape(u"\\\\.\\Tape0", &tape), kStatusSuccess);

    vorka_test::TraceGate gate(machine(), "BusQueryDevices: pDeviceObject");
    NTSTATUS queryStatus = -1;
    std::thread querier([&] { queryStatus = deviceIoControl(tape, kIocQueryDevices, 0, 4096); });
    EXPECT_TRUE(gate.waitUntilHeld()) << "the query reached the bus's answer";

    NTSTATUS removeStatus = -1;
    std::thread remover = removeBus(&removeStatus);
    EXPECT_TRUE(gate.waitForLine("BusIrpMnRemoveDevice: pDeviceObject"));
    std::this_thread::sleep_for(200ms);   // time to finish, unless it waits for the query
    gate.release();
    querier.join();
    remover.join();

    EXPECT_EQ(removeStatus, kStatusSuccess);
    EXPECT_EQ(queryStatus, kStatusSuccess)
        << "the query was accepted before the removal began: the removal waits and the query is answered";
    EXPECT_EQ(deviceIoControl(tape, kIocQueryDevices, 0, 4096), static_cast<NTSTATUS>(0xC0000056))
        << "later queries are refused with STATUS_DELETE_PENDING";
    EXPECT_EQ(closeHandle(tape), kStatusSuccess);
    expectVirtualDeviceGone(u"\\Device\\Tape0");
}

TEST_F(BusRemovalRace, FiltersThatStillHoldTheRemovedControlDeviceAreRefused) {
    createPaths(0, 1);
    registerPath(0, drive("RACE0003", 1));
    NTSTATUS removeStatus = -1;
    removeBus(&removeStatus).join();
    ASSERT_EQ(removeStatus, kStatusSuccess);
    // The path filter's file object keeps the control device object; its request gets an answer.
    EXPECT_EQ(notifyPnp(0, kPnpAbsent), static_cast<NTSTATUS>(0xC0000056));
    expectVirtualDeviceGone(u"\\Device\\Tape0");
}

}  // namespace
}  // namespace vorka::test
