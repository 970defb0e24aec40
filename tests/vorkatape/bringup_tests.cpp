// Bring-up of a machine with a SAN as an installer leaves it: the tape bus on its
// root device, the SAN adapter, and every path of two drives (each reached over
// two host adapters) with its stack of vorkatape and vorkatflt, registered with
// the real tape bus, which presents one virtual device per drive.
#include <set>

#include "tape_fixture.h"

#include "sim/objects.h"
#include "sim/registry.h"

namespace tapetest {
namespace {

class BringUp : public ::testing::TestWithParam<bool> {};

std::u16string Text(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST_P(BringUp, TwoDrivesOverTwoAdaptersBecomeTwoVirtualDrivesOfTwoPathsEach) {
    Rig rig(RigOptions{.forcePending = GetParam(), .realBus = true});
    sim::hw::TapeDrive& first = rig.AddDrive("VORKA-FIRST-0001");
    sim::hw::TapeDrive& second = rig.AddDrive("VORKA-SECOND-0002");
    rig.San().addAdapter();
    rig.San().addAdapter();
    rig.San().connect(0, 0, 1, 0, first, 0);
    rig.San().connect(1, 0, 1, 0, first, 1);
    rig.San().connect(0, 0, 2, 0, second, 0);
    rig.San().connect(1, 0, 2, 0, second, 1);
    rig.Boot();

    const std::vector<PathStack> stacks = rig.Stacks();
    ASSERT_EQ(stacks.size(), 4u);
    std::set<ULONG> baseNumbers;
    std::map<const sim::hw::TapeDrive*, std::set<ULONG>> virtualNumbers;
    std::set<std::uint64_t> tables;
    for (const PathStack& stack : stacks) {
        ASSERT_NE(stack.path, nullptr);
        EXPECT_EQ(sim::IoObjectDriverName(stack.base), u"\\Driver\\vorkatape");
        EXPECT_EQ(sim::IoObjectDriverName(stack.filter), u"\\Driver\\vorkatflt");
        EXPECT_EQ(sim::FindDevice(Text("\\Device\\Tape" + std::to_string(stack.baseNumber))), stack.base);
        baseNumbers.insert(stack.baseNumber);
        const vorka::tape::PathState state = rig.Query(stack);
        EXPECT_EQ(state.started, 1u);
        EXPECT_EQ(state.virtualTapeRecorded, 1u) << "the filter handed the bus's table down with its number";
        EXPECT_EQ(state.filterDevice, reinterpret_cast<std::uintptr_t>(stack.filter));
        tables.insert(state.statusTable);
        virtualNumbers[&stack.path->drive()].insert(state.virtualTapeNumber);
    }
    EXPECT_EQ(baseNumbers.size(), 4u) << "every path has its own \\Device\\Tape<n>";
    ASSERT_EQ(tables.size(), 1u) << "one status table for the whole bus";
    EXPECT_NE(*tables.begin(), 0u);

    // One virtual device per drive, shared by its paths, distinct from every path device.
    ASSERT_EQ(virtualNumbers.size(), 2u);
    ASSERT_EQ(virtualNumbers[&first].size(), 1u);
    ASSERT_EQ(virtualNumbers[&second].size(), 1u);
    const ULONG virtualFirst = *virtualNumbers[&first].begin();
    const ULONG virtualSecond = *virtualNumbers[&second].begin();
    EXPECT_NE(virtualFirst, virtualSecond);
    for (ULONG v : {virtualFirst, virtualSecond}) {
        EXPECT_EQ(baseNumbers.count(v), 0u);
        PDEVICE_OBJECT device = sim::FindDevice(Text("\\Device\\Tape" + std::to_string(v)));
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(sim::IoObjectDriverName(device), u"\\Driver\\vorkatbus");
    }

    // Programs that read the SCSI device map find the virtual device under every path.
    for (const PathStack& stack : stacks) {
        const sim::hw::ScsiAddress& a = stack.path->address();
        const std::u16string key = Text("\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " +
                                        std::to_string(a.portNumber) + "\\Scsi Bus 0\\Target Id " +
                                        std::to_string(a.targetId) + "\\Logical Unit Id 0");
        const ULONG v = &stack.path->drive() == &first ? virtualFirst : virtualSecond;
        EXPECT_EQ(rig.Machine().registry().string(key, u"DeviceName"), Text("Tape" + std::to_string(v)));
    }

    // The bus lists the four paths.
    PDEVICE_OBJECT control = sim::FindDevice(u"\\Device\\VorkaTBusDvc");
    ASSERT_NE(control, nullptr);
    std::vector<std::uint8_t> answer(QUERY_DEVICES_HEADER_SIZE + 8 * sizeof(DEVICE_DESCRIPTOR), 0);
    Reply query = KernelControl(control, IOC_TAPE_QUERY_DEVICES, nullptr, 0, answer.data(), static_cast<ULONG>(answer.size()));
    ASSERT_EQ(query.status, STATUS_SUCCESS);
    ULONG required = 0;
    std::memcpy(&required, answer.data(), sizeof required);
    EXPECT_EQ(required, QUERY_DEVICES_HEADER_SIZE + 4 * sizeof(DEVICE_DESCRIPTOR));
    std::set<std::string> serials;
    for (int i = 0; i < 4; ++i) {
        DEVICE_DESCRIPTOR d;
        std::memcpy(&d, answer.data() + QUERY_DEVICES_HEADER_SIZE + i * sizeof d, sizeof d);
        serials.insert(std::string(d.szSN, strnlen(d.szSN, sizeof d.szSN)));
        EXPECT_EQ(d.fFailover, 1);
    }
    EXPECT_EQ(serials, (std::set<std::string>{"VORKA-FIRST-0001", "VORKA-SECOND-0002"}));
}

INSTANTIATE_TEST_SUITE_P(Machine, BringUp, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
