// The changer filter above the real base changer driver on a library reached over
// two control paths: both paths register under the library's serial number with
// their own addresses, vorkachgr learns each path's changer number through the
// handshake, and changer requests still reach the library through the filter.
#include "cfilter_fixture.h"

#include <ntddchgr.h>

#include "sim/hw/library.h"
#include "vorkachgr/changer_query.h"

namespace cfiltertest {
namespace {

class RealChanger : public ::testing::TestWithParam<bool> {};

TEST_P(RealChanger, BothControlPathsRegisterAndTheBaseDriverLearnsTheirNumbers) {
    cfakes::BusScript bus;
    bus.nextChangerNumber = 20;
    tapetest::RigOptions options{.forcePending = GetParam(), .changers = true, .changerFilter = true};
    options.beforeEnumeration = [&](sim::Machine& machine) {
        machine.drivers().installService(cfakes::kFakeBusService);
        const std::u16string key = cfakes::ParametersKey(cfakes::kFakeBusService);
        machine.registry().createKeyPath(key);
        machine.registry().setQword(key, cfakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&bus));
        ASSERT_EQ(machine.drivers().load(cfakes::kFakeBusService), STATUS_SUCCESS);
    };
    auto rig = std::make_unique<tapetest::Rig>(options);
    rig->San().addAdapter();
    rig->San().addAdapter();
    sim::hw::TapeDrive& drive = rig->AddDrive("DRVC001", [](sim::hw::DriveConfig& c) { c.medium.reset(); });
    rig->San().connect(0, 0, 3, 0, drive, 0);
    sim::hw::LibraryConfig config;
    config.identity.serial = "LIBC000000042";
    config.slots = 4;
    config.ieSlots = 1;
    config.drives = {&drive};
    config.volumes = {"VOL001L9"};
    sim::hw::TapeLibrary& library = rig->San().addLibrary(config);
    rig->San().connect(0, 0, 7, 0, library, 0);
    rig->San().connect(1, 0, 7, 0, library, 1);
    rig->Boot();

    const auto stacks = rig->ChangerStacks();
    ASSERT_EQ(stacks.size(), 2u);
    const auto regs = bus.Registrations();
    ASSERT_EQ(regs.size(), 2u);
    std::vector<int> ports;
    for (const auto& reg : regs) {
        EXPECT_EQ(reg.fFailover, 1);
        EXPECT_EQ(Text(reg.szSN, sizeof reg.szSN).rfind("LIBC000000042", 0), 0u) << Text(reg.szSN, sizeof reg.szSN);
        EXPECT_EQ(reg.scScsiAddr.TargetId, 7);
        ports.push_back(reg.scScsiAddr.PortNumber);
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<int>{0, 1}));

    std::vector<ULONG> numbers;
    for (const auto& nodes : stacks) {
        ASSERT_EQ(nodes.size(), 3u) << "adapter PDO, vorkachgr, vorkacflt";
        vorka::changer::ChangerPathState state;
        Reply q = KernelControl(nodes[1], vorka::changer::kIoctlQueryChangerPathState, nullptr, 0, &state, sizeof state);
        ASSERT_EQ(q.status, STATUS_SUCCESS);
        EXPECT_EQ(state.virtualChangerRecorded, 1u);
        EXPECT_EQ(state.statusTable, reinterpret_cast<std::uint64_t>(bus.table));
        numbers.push_back(state.virtualChangerNumber);

        // A changer request through the filter is answered by the library.
        GET_CHANGER_PARAMETERS parameters{};
        Reply r = KernelControl(nodes[2], IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, &parameters, sizeof parameters);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(parameters.NumberStorageElements, 4u);
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<ULONG>{20, 21}));
    rig.reset();  // the machine goes before the bus script
}

INSTANTIATE_TEST_SUITE_P(ChangerFilter, RealChanger, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ForcedPending" : "AnsweredAtOnce"; });

}  // namespace
}  // namespace cfiltertest
