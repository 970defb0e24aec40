// Plug and Play as the drivers see it: stacks built in Windows order from the registry,
// start, stop and removal with their query and cancel steps, surprise removal that waits
// for the last handle, a bus driver's children coming and going, driver loading and
// unloading around all of it, and a simulated reboot.
#include <wdm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kt_ioctl.h"
#include "sim/drivers.h"
#include "sim/pnp.h"
#include "sim/process.h"
#include "sim/registry.h"
#include "sim/trace.h"
#include "vorka_test_support.h"

namespace {

constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

class Pnp : public vorka_test::MachineTest {
protected:
    // Lines the kt_* drivers traced since the last call, e.g. "kt_func: PNP 0x00".
    std::vector<std::string> Traced() {
        std::vector<std::string> lines;
        for (auto& line : machine().trace().linesSince(mark_))
            if (line.rfind("kt_", 0) == 0) lines.push_back(line);
        mark_ = machine().trace().mark();
        return lines;
    }
    void Forget() { Traced(); }

    void SetParameter(std::u16string_view service, std::u16string_view name, ULONG value) {
        std::u16string key = std::u16string(kServices) + std::u16string(service) + u"\\Parameters";
        ASSERT_EQ(machine().registry().createKeyPath(key), STATUS_SUCCESS);
        ASSERT_EQ(machine().registry().setDword(key, name, value), STATUS_SUCCESS);
    }

    std::u16string InstallStack(std::u16string_view hardwareId = u"root\\ktdev") {
        return installRootDevice(hardwareId, u"kt_func", {u"kt_upper"}, {u"kt_lower"});
    }

    // What each layer traced for one minor code, top of the stack first.
    static std::vector<std::string> Layers(const std::vector<std::string>& lines, const std::string& what) {
        std::vector<std::string> out;
        for (auto& line : lines)
            if (line.size() > what.size() && line.compare(line.size() - what.size(), what.size(), what) == 0)
                out.push_back(line.substr(0, line.find(':')));
        return out;
    }

    sim::DevNodeState State(std::u16string_view instance) {
        auto node = machine().pnp().find(instance);
        return node ? node->state : sim::DevNodeState::Deleted;
    }

    std::uint64_t mark_ = 0;
};

const std::vector<std::string> kTopDown = {"kt_upper", "kt_func", "kt_lower"};

TEST_F(Pnp, ARootDeviceGetsItsStackInWindowsOrderAndIsStartedFromTheTop) {
    std::u16string instance = InstallStack();
    auto lines = Traced();
    std::vector<std::string> loading;
    for (auto& line : lines)
        if (line.find("DriverEntry") != std::string::npos || line.find("AddDevice") != std::string::npos)
            loading.push_back(line);
    EXPECT_EQ(loading, (std::vector<std::string>{"kt_lower: DriverEntry", "kt_lower: AddDevice",
                                                 "kt_func: DriverEntry", "kt_func: AddDevice",
                                                 "kt_upper: DriverEntry", "kt_upper: AddDevice"}));
    EXPECT_EQ(Layers(lines, "PNP 0x00"), kTopDown) << "the start request travels down from the top";
    EXPECT_EQ(Layers(lines, "started 0x00000000"), (std::vector<std::string>{"kt_lower", "kt_func", "kt_upper"}))
        << "and each layer finishes its start after the ones below";

    auto node = machine().pnp().find(instance);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(node->service, u"kt_func");
    ASSERT_EQ(node->stack.size(), 4u);
    EXPECT_EQ(node->stack[0], node->pdo);
    EXPECT_EQ(node->stack[3]->StackSize, 4);
}

TEST_F(Pnp, EachDriverIsLoadedOnceForAllItsDevices) {
    std::u16string first = InstallStack();
    std::u16string second = machine().pnp().createRootDevice(u"root\\ktdev");
    EXPECT_NE(first, second);
    EXPECT_EQ(State(second), sim::DevNodeState::Started);
    EXPECT_EQ(machine().drivers().entryCount(u"kt_func"), 1u);
    EXPECT_EQ(machine().drivers().entryCount(u"kt_upper"), 1u);
}

TEST_F(Pnp, StopThenStartSendsTheQueryAndTheStopToEveryLayer) {
    std::u16string instance = InstallStack();
    Forget();
    ASSERT_EQ(machine().pnp().stopDevice(instance), STATUS_SUCCESS);
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x05"), kTopDown);
    EXPECT_EQ(Layers(lines, "PNP 0x04"), kTopDown);
    EXPECT_EQ(State(instance), sim::DevNodeState::Stopped);
    ASSERT_EQ(machine().pnp().startDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(Layers(Traced(), "PNP 0x00"), kTopDown);
    EXPECT_EQ(State(instance), sim::DevNodeState::Started);
}

TEST_F(Pnp, ARefusedQueryStopIsCancelledAndTheDeviceKeepsRunning) {
    SetParameter(u"kt_func", u"FailQueryStop", 1);
    std::u16string instance = InstallStack();
    Forget();
    EXPECT_EQ(machine().pnp().stopDevice(instance), STATUS_DEVICE_BUSY);
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x05"), (std::vector<std::string>{"kt_upper", "kt_func"}));
    EXPECT_EQ(Layers(lines, "PNP 0x06"), kTopDown) << "the cancel reaches the whole stack";
    EXPECT_TRUE(Layers(lines, "PNP 0x04").empty());
    EXPECT_EQ(State(instance), sim::DevNodeState::Started);
}

TEST_F(Pnp, ARemovalVetoedByOneDriverIsCancelledForTheWholeStack) {
    SetParameter(u"kt_func", u"FailQueryRemove", 1);
    std::u16string instance = InstallStack();
    Forget();
    EXPECT_EQ(machine().pnp().removeDevice(instance), STATUS_DEVICE_BUSY);
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x01"), (std::vector<std::string>{"kt_upper", "kt_func"}));
    EXPECT_EQ(Layers(lines, "PNP 0x03"), kTopDown);
    EXPECT_TRUE(Layers(lines, "PNP 0x02").empty());
    EXPECT_EQ(State(instance), sim::DevNodeState::Started);
    EXPECT_TRUE(machine().drivers().isLoaded(u"kt_func"));
}

TEST_F(Pnp, RemovingTheLastDeviceUnloadsItsDriversAndAStartLoadsThemAfresh) {
    std::u16string instance = InstallStack();
    Forget();
    ASSERT_EQ(machine().pnp().removeDevice(instance), STATUS_SUCCESS);
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x01"), kTopDown);
    EXPECT_EQ(Layers(lines, "PNP 0x02"), kTopDown);
    EXPECT_EQ(Layers(lines, "Unload").size(), 3u);
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_func"));
    EXPECT_EQ(machine().drivers().unloadCount(u"kt_upper"), 1u);
    EXPECT_EQ(State(instance), sim::DevNodeState::Removed) << "the device itself is still there";

    ASSERT_EQ(machine().pnp().startDevice(instance), STATUS_SUCCESS);
    EXPECT_EQ(machine().drivers().entryCount(u"kt_func"), 2u);
    EXPECT_EQ(State(instance), sim::DevNodeState::Started);
}

TEST_F(Pnp, AFailedAddDeviceTearsDownWhatWasBuiltAndUnloadsTheDrivers) {
    SetParameter(u"kt_upper", u"FailAddDevice", 1);
    std::u16string instance = InstallStack();
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x02"), (std::vector<std::string>{"kt_func", "kt_lower"}));
    EXPECT_TRUE(Layers(lines, "PNP 0x00").empty());
    auto node = machine().pnp().find(instance);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, sim::DevNodeState::NoDriver);
    EXPECT_EQ(node->problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine().drivers().loaded().empty());
}

TEST_F(Pnp, ADeviceThatFailsToStartIsRemoved) {
    SetParameter(u"kt_func", u"FailStart", 1);
    std::u16string instance = InstallStack();
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x02"), kTopDown);
    auto node = machine().pnp().find(instance);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, sim::DevNodeState::StartFailed);
    EXPECT_EQ(node->problem, STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_func"));
}

TEST_F(Pnp, SurpriseRemovalWaitsForTheLastOpenHandleBeforeTheRemove) {
    std::u16string instance = InstallStack();
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\kt_func0", GENERIC_READ), STATUS_SUCCESS);
    Forget();
    ASSERT_EQ(machine().pnp().surpriseRemoveDevice(instance), STATUS_SUCCESS);
    auto lines = Traced();
    EXPECT_EQ(Layers(lines, "PNP 0x17"), kTopDown);
    EXPECT_TRUE(Layers(lines, "PNP 0x02").empty()) << "no remove while a handle is open";
    HANDLE another = nullptr;
    EXPECT_EQ(app.createFile(&another, u"\\Device\\kt_func0", GENERIC_READ), STATUS_NO_SUCH_DEVICE);

    app.close(handle);
    machine().pnp().processPendingEnumerations();
    lines = Traced();
    EXPECT_EQ(Layers(lines, "CLOSE"), (std::vector<std::string>{"kt_upper", "kt_func"}));
    EXPECT_EQ(Layers(lines, "PNP 0x02"), kTopDown);
    EXPECT_FALSE(machine().pnp().find(instance)) << "a vanished device leaves the tree";
}

TEST_F(Pnp, ABusDriversChildrenComeAndGoWithItsRelations) {
    std::u16string bus = installRootDevice(u"root\\ktbus", u"kt_bus");
    machine().drivers().installService(u"kt_func");
    machine().pnp().addDriverBinding({u"KTBUS\\Child", u"kt_func", {}, {}});
    auto& app = machine().processes().create("busapp");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtBus", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    auto* count = static_cast<ULONG*>(app.alloc(sizeof(ULONG)));

    *count = 2;
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_KTBUS_SET_CHILDREN, count, sizeof(ULONG), nullptr, 0), STATUS_SUCCESS);
    machine().pnp().processPendingEnumerations();
    auto node = machine().pnp().find(bus);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->children, (std::vector<std::u16string>{u"KTBUS\\Child\\0", u"KTBUS\\Child\\1"}));
    auto child = machine().pnp().find(u"ktbus\\child\\1");
    ASSERT_TRUE(child);
    EXPECT_EQ(child->state, sim::DevNodeState::Started);
    EXPECT_EQ(child->service, u"kt_func");
    EXPECT_EQ(child->hardwareIds, (std::vector<std::u16string>{u"KTBUS\\Child"}));
    Forget();

    *count = 1;
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_KTBUS_SET_CHILDREN, count, sizeof(ULONG), nullptr, 0), STATUS_SUCCESS);
    machine().pnp().processPendingEnumerations();
    auto lines = Traced();
    auto at = [&](const std::string& text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    EXPECT_LT(at("kt_bus: child 1 PNP 0x17"), at("kt_bus: child 1 PNP 0x02"));
    EXPECT_LT(at("kt_bus: child 1 PNP 0x02"), static_cast<long>(lines.size()));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "kt_bus: child 1 deleted"), lines.end());
    EXPECT_FALSE(machine().pnp().find(u"KTBUS\\Child\\1"));
    EXPECT_TRUE(machine().pnp().find(u"KTBUS\\Child\\0"));
    app.close(handle);

    // Removing the bus removes its remaining child first.
    Forget();
    ASSERT_EQ(machine().pnp().removeDevice(bus), STATUS_SUCCESS);
    lines = Traced();
    EXPECT_LT(at("kt_bus: child 0 PNP 0x02"), at("kt_bus: fdo PNP 0x02"));
    EXPECT_FALSE(machine().pnp().find(u"KTBUS\\Child\\0"));
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_bus"));
}

TEST_F(Pnp, ARebootStartsTheInstalledDevicesAgain) {
    std::u16string instance = InstallStack();
    reboot();
    auto node = machine().pnp().find(instance);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(node->stack.size(), 4u);
    EXPECT_EQ(machine().drivers().entryCount(u"kt_lower"), 1u);
}

TEST_F(Pnp, UninstallingADeviceDeletesItsDevnodeAndEnumKey) {
    std::u16string instance = InstallStack();
    ASSERT_EQ(machine().pnp().uninstallDevice(instance), STATUS_SUCCESS);
    EXPECT_FALSE(machine().pnp().find(instance));
    EXPECT_FALSE(machine().registry().keyExists(
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance));
    EXPECT_TRUE(machine().drivers().loaded().empty());
}

TEST_F(Pnp, UpdatingTheDriverOfPresentDevicesRebuildsTheirStacks) {
    std::u16string instance = installRootDevice(u"root\\ktdev", u"kt_func");
    machine().drivers().installService(u"kt_upper");
    EXPECT_EQ(machine().pnp().updateDriverForDevices({u"root\\ktdev", u"kt_func", {u"kt_upper"}, {}}), 1u);
    auto node = machine().pnp().find(instance);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->stack.size(), 3u);
    EXPECT_EQ(machine().pnp().updateDriverForDevices({u"root\\nothing", u"kt_func", {}, {}}), 0u);
}

TEST_F(Pnp, ADriverLeavingPoolBehindIsReportedByTagWhenItUnloads) {
    SetParameter(u"kt_func", u"LeakPool", 1);
    std::u16string instance = InstallStack();
    ASSERT_EQ(machine().pnp().removeDevice(instance), STATUS_SUCCESS);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("driver kt_func unloaded with 64 bytes of pool tag 'Leak'"), std::string::npos)
        << reports[0];
}

TEST_F(Pnp, ADriverKeepingItsDeviceAfterRemoveIsReported) {
    SetParameter(u"kt_upper", u"KeepDeviceOnRemove", 1);
    std::u16string instance = InstallStack();
    ASSERT_EQ(machine().pnp().removeDevice(instance), STATUS_SUCCESS);
    auto reports = takeViolations();
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const std::string& report) {
        return report.find("kt_upper did not delete its device") != std::string::npos;
    }));
    shutdownMachine();
    takeViolations();  // and it still has its attachment and device when the machine goes
}

TEST_F(Pnp, APnpDriverOwningADeviceOutsideItsStacksStaysLoadedThroughShutdown) {
    SetParameter(u"kt_func", u"ControlDevice", 1);
    std::u16string instance = InstallStack();
    ASSERT_EQ(machine().pnp().removeDevice(instance), STATUS_SUCCESS);
    EXPECT_TRUE(machine().drivers().isLoaded(u"kt_func")) << "its control device keeps it loaded";
    EXPECT_EQ(machine().drivers().unloadCount(u"kt_func"), 0u);
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_upper"));
    shutdownMachine();
    EXPECT_TRUE(takeViolations().empty()) << "a driver still in use is not reported at shutdown";
}

}  // namespace
