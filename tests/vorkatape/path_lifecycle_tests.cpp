// Paths coming and going: the SAN adapter enumerates every present path, each gets
// a started stack with its \Device\Tape<n> and device-map entry; a path that
// disappears takes its stack with it and one that comes back gets a new one; a
// stopped path refuses requests until it starts again.
#include <atomic>
#include <chrono>
#include <thread>

#include "tape_fixture.h"

#include "sim/objects.h"
#include "sim/pnp.h"
#include "sim/registry.h"

namespace tapetest {
namespace {

using PathLifecycle = OneDriveTwoPaths;

std::u16string Text(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string LunKey(const sim::hw::ScsiAddress& a) {
    return Text("\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + std::to_string(a.portNumber) +
                "\\Scsi Bus " + std::to_string(a.pathId) + "\\Target Id " + std::to_string(a.targetId) +
                "\\Logical Unit Id " + std::to_string(a.lun));
}

std::u16string TapeName(ULONG n, const char* directory = "\\Device\\Tape") { return Text(directory + std::to_string(n)); }

TEST_P(PathLifecycle, EveryPathHasItsNamedDeviceAndDeviceMapEntry) {
    EXPECT_NE(a_.baseNumber, b_.baseNumber);
    for (const PathStack* stack : {&a_, &b_}) {
        EXPECT_EQ(sim::FindDevice(TapeName(stack->baseNumber)), stack->base);
        EXPECT_EQ(sim::SymbolicLinkTarget(TapeName(stack->baseNumber, "\\DosDevices\\Tape")), TapeName(stack->baseNumber));
        EXPECT_EQ(sim::IoObjectDriverName(stack->base), u"\\Driver\\vorkatape");
        EXPECT_EQ(sim::IoObjectDriverName(stack->filter), u"\\Driver\\vorkatflt");
        EXPECT_EQ(sim::IoObjectDriverName(stack->pdo), u"\\Driver\\vorkasan");
        EXPECT_TRUE(stack->base->Flags & DO_DIRECT_IO);

        const std::u16string key = LunKey(stack->path->address());
        sim::Registry& registry = rig_->Machine().registry();
        EXPECT_EQ(registry.string(key, u"DeviceName"), TapeName(stack->baseNumber, "Tape"));
        EXPECT_EQ(registry.string(key, u"Type"), u"TapePeripheral");
        EXPECT_EQ(registry.string(key, u"SerialNumber"), u"VORKA0000000042");
    }
}

TEST_P(PathLifecycle, APathThatDisappearsTakesItsStackAndComesBackWithANewOne) {
    const ULONG gone = b_.baseNumber;
    const std::u16string key = LunKey(pathB_->address());
    PDEVICE_OBJECT oldFilter = b_.filter;

    pathB_->setPresent(false);
    rig_->Settle();
    EXPECT_EQ(rig_->Stacks().size(), 1u);
    EXPECT_FALSE(rig_->StackOf(*pathB_).has_value());
    EXPECT_EQ(sim::FindDevice(TapeName(gone)), nullptr);
    EXPECT_FALSE(rig_->Machine().registry().keyExists(key)) << "the port driver forgets the LUN";
    // The filter told the bus, through the removal's IRPs.
    std::vector<ULONG> states;
    for (const TAPE_NFY_DVC& n : rig_->Bus().NotificationsOf(oldFilter)) {
        if (n.ulType == NFY_TYPE_PNP) states.push_back(n.ePnp);
    }
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), static_cast<ULONG>(PNP_ABSENT));

    // The remaining path still works.
    EXPECT_EQ(ForwardWrite(Table(), a_.filter, Pattern(32, 1)).reply.status, STATUS_SUCCESS);

    pathB_->setPresent(true);
    rig_->Settle();
    auto back = rig_->StackOf(*pathB_);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(rig_->Machine().registry().keyExists(key));
    EXPECT_EQ(rig_->Query(*back).started, 1u);
    EXPECT_EQ(rig_->Query(*back).statusTable, reinterpret_cast<std::uintptr_t>(Table()))
        << "the new stack registered and handed the table down again";
    EXPECT_EQ(Position(*back), 1u);
}

TEST_P(PathLifecycle, AStoppedPathRefusesRequestsUntilItStartsAgain) {
    sim::PnpManager& pnp = rig_->Machine().pnp();
    ASSERT_EQ(pnp.stopDevice(a_.instance), STATUS_SUCCESS);
    TAPE_GET_POSITION position{};
    EXPECT_EQ(KernelControl(a_.base, IOCTL_TAPE_GET_POSITION, &position, sizeof position, &position, sizeof position).status,
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig_->Query(a_).started, 0u);

    ASSERT_EQ(pnp.startDevice(a_.instance), STATUS_SUCCESS);
    EXPECT_EQ(Position(a_), 0u);
    EXPECT_EQ(rig_->Query(a_).started, 1u);
}

TEST_P(PathLifecycle, ARestartedPathRegistersAgainWithANewStack) {
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(64, 1)).reply.status, STATUS_SUCCESS);
    const std::size_t registrations = rig_->Bus().RegistrationsCopy().size();
    ASSERT_EQ(rig_->Machine().pnp().restartDevice(a_.instance), STATUS_SUCCESS);
    rig_->Settle();
    auto again = rig_->StackOf(*pathA_);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(rig_->Bus().RegistrationsCopy().size(), registrations + 1);
    const vorka::tape::PathState state = rig_->Query(*again);
    EXPECT_EQ(state.started, 1u);
    EXPECT_EQ(state.virtualTapeRecorded, 1u);
    EXPECT_EQ(state.filterDevice, reinterpret_cast<std::uintptr_t>(again->filter));
    EXPECT_EQ(Position(*again), 1u) << "the drive kept its position through the restart";
}

TEST_P(PathLifecycle, AStopWaitsForTheRequestsInProgress) {
    // Every command now takes a while at the drive.
    drive_->setTiming(sim::hw::TimingModel{0, std::chrono::milliseconds(150)});
    NTSTATUS readStatus = STATUS_PENDING;
    std::atomic<bool> readDone{false};
    std::thread reader([&] {
        readStatus = ForwardRead(Table(), a_.filter, 512).reply.status;
        readDone = true;
    });
    while (rig_->Query(a_).requestsInProgress == 0 && !readDone.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (readDone.load()) {
        reader.join();
        FAIL() << "the read ended before the test saw it in progress";
    }
    ASSERT_EQ(rig_->Machine().pnp().stopDevice(a_.instance), STATUS_SUCCESS);
    EXPECT_EQ(rig_->Query(a_).requestsInProgress, 0u) << "the stop came back only after the read had ended";
    reader.join();
    EXPECT_EQ(readStatus, STATUS_NO_DATA_DETECTED) << "the read ran to its end at the drive";
    drive_->setTiming({});
}

INSTANTIATE_TEST_SUITE_P(Tape, PathLifecycle, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
