// The filter when something around it fails: no bus to register with at load, a bus that refuses the
// registration or a close, a malformed device identification page, and no pool for the page or for
// the status-table handshake. The path keeps working wherever it can, without failover.
#include "filter_fixture.h"

#include "sim/drivers.h"
#include "sim/pool.h"
#include "vorkatape/install.h"

namespace tapetest {
namespace {

std::string Field(const CHAR* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

TEST(FilterLoad, WithoutTheBusControlDeviceTheFilterRefusesToLoad) {
    sim::MachineConfig config;
    config.driverDirectory = VORKA_DRIVER_DIR;
    std::vector<std::string> reports;
    config.violationHandler = [&](const std::string& message) { reports.push_back(message); };
    sim::Machine machine(config);
    machine.drivers().installService(u"vorkatflt");
    EXPECT_EQ(machine.drivers().load(u"vorkatflt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(machine.drivers().isLoaded(u"vorkatflt"));
    machine.shutdown();
    EXPECT_TRUE(reports.empty()) << reports.front();
}

class IdentificationFailures : public ::testing::TestWithParam<bool> {};

TEST_P(IdentificationFailures, ABusThatRefusesTheRegistrationLeavesThePathWithoutFailover) {
    StubPath stub(GetParam());
    stub.AnswerGoodIdentification();
    stub.script.Reply(IOC_TAPE_SET_EXT_IN_BASE, STATUS_SUCCESS);
    stub.rig.Bus().registerStatus = STATUS_INSUFFICIENT_RESOURCES;
    stub.script.Reply(IOCTL_TAPE_GET_STATUS, STATUS_SUCCESS);
    stub.script.Reply(IOC_TAPE_PREEMPT_RESERVATION, STATUS_SUCCESS);
    stub.Start();   // the start succeeds
    EXPECT_TRUE(stub.script.SeenWithCode(IOC_TAPE_SET_EXT_IN_BASE).empty()) << "no table was handed over";
    // Failover off: a request that carries a preempt key goes down without the preempt.
    SCSI_STATUS record{};
    record.scPreempt = 0x77;
    SendIrp(
        stub.Filter(),
        [](PIRP, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_TAPE_GET_STATUS;
        },
        stub.rig.Bus().table, &record);
    EXPECT_TRUE(stub.script.SeenWithCode(IOC_TAPE_PREEMPT_RESERVATION).empty());
}

// Pages 0x83 that cannot give a node name: the path registers without failover and with the
// node name of sixteen '0' characters.
std::vector<std::uint8_t> ZeroLengthDesignator() { return Page83({{0x03, {}}}); }

std::vector<std::uint8_t> DesignatorPastThePage() {
    std::vector<std::uint8_t> page(DEVICE_ID_PAGE_LENGTH, 0);
    page[1] = 0x83;
    // Vendor descriptors lead from byte 5 to 264, 523 and 552, where the logical unit's NAA name
    // claims 8 bytes from byte 555: its last bytes would lie past the 560-byte page.
    for (auto [index, length] : {std::pair<std::size_t, std::uint8_t>{5, 0xFF}, {264, 0xFF}, {523, 25}}) {
        page[index] = 0x01;
        page[index + 2] = length;
    }
    page[552] = 0x03;
    page[554] = 8;
    return page;
}

std::vector<std::uint8_t> ChainRunningOffThePage() {
    std::vector<std::uint8_t> page(DEVICE_ID_PAGE_LENGTH, 0);
    page[1] = 0x83;
    // Vendor descriptors of 255 bytes each: the walk leaves the page without an NAA name.
    for (std::size_t index = 5; index + 2 < DEVICE_ID_PAGE_LENGTH; index += 0xFF + 4) {
        page[index] = 0x01;
        page[index + 2] = 0xFF;
    }
    return page;
}

class MalformedPage : public ::testing::TestWithParam<std::pair<std::string, std::vector<std::uint8_t> (*)()>> {};

TEST_P(MalformedPage, GivesNoNodeNameAndNoFailover) {
    StubPath stub;
    stub.AnswerIdentification(GetParam().second());
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szWwnn, 17), std::string(16, '0'));
    EXPECT_EQ(Field(reg.szSN, 33), "STUB0001") << "the rest of the identity still goes to the bus";
}

INSTANTIATE_TEST_SUITE_P(
    Pages, MalformedPage,
    ::testing::Values(std::make_pair(std::string("ZeroLengthDesignator"), &ZeroLengthDesignator),
                      std::make_pair(std::string("DesignatorPastThePage"), &DesignatorPastThePage),
                      std::make_pair(std::string("ChainRunningOffThePage"), &ChainRunningOffThePage)),
    [](const auto& info) { return info.param.first; });

TEST(FilterPool, NoPoolForTheIdentificationPageTurnsFailoverOffButStartsThePath) {
    StubPath stub;
    stub.AnswerGoodIdentification();
    stub.rig.Machine().pool().failIf([](const sim::PoolRequest& r) {
        return r.owner == "vorkatflt" && r.size == DEVICE_ID_PAGE_LENGTH;
    });
    const TAPE_REG_DVC reg = stub.Start();
    stub.rig.Machine().pool().clearFailures();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_TRUE(stub.script.SeenWithCode(IOC_TAPE_GET_DEVICE_ID_PAGE).empty()) << "no page to read it into";
}

TEST(FilterPool, NoPoolForTheHandshakeFailsTheStart) {
    StubPath stub;
    stub.AnswerGoodIdentification();
    stub.script.Reply(IOC_TAPE_SET_EXT_IN_BASE, STATUS_SUCCESS);
    stub.rig.Machine().pool().failIf([](const sim::PoolRequest& r) {
        return r.owner == "vorkatflt" && r.size == sizeof(ULONG);
    });
    stub.instance = stub.rig.AddStubTape(stub.script);
    stub.rig.Machine().pool().clearFailures();
    auto node = stub.rig.Machine().pnp().find(stub.instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_NE(node->state, sim::DevNodeState::Started) << "STATUS_INSUFFICIENT_RESOURCES from the start";
    EXPECT_TRUE(stub.script.SeenWithCode(IOC_TAPE_SET_EXT_IN_BASE).empty());
}

class RefusedClose : public ::testing::TestWithParam<bool> {};

TEST_P(RefusedClose, ACloseTheBusRefusesStillClosesThePath) {
    StubPath stub(GetParam());
    stub.AnswerGoodIdentification();
    stub.Start();
    stub.rig.Bus().onNotify = [](const TAPE_NFY_DVC& n) {
        return n.ulType == NFY_TYPE_IO && n.ePnp == IO_CLOSE_REQ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    };
    App app(stub.rig.Machine());
    ASSERT_EQ(app.Open(u"\\Device\\VorkaStub0"), STATUS_SUCCESS);
    app.Close();
    std::size_t closes = 0;
    for (const auto& s : stub.script.Seen()) closes += s.major == IRP_MJ_CLOSE;
    EXPECT_EQ(closes, 1u) << "the close reached the base driver before the bus was told";
}

TEST_P(RefusedClose, AFailedOpenWhoseCountTheBusRefusesToGiveBackKeepsTheBaseDriversStatus) {
    StubPath stub(GetParam());
    stub.AnswerGoodIdentification();
    stub.Start();
    stub.script.createStatus = STATUS_DEVICE_NOT_READY;
    stub.rig.Bus().onNotify = [](const TAPE_NFY_DVC& n) {
        return n.ulType == NFY_TYPE_IO && n.ePnp == IO_CLOSE_REQ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    };
    App app(stub.rig.Machine());
    EXPECT_EQ(app.Open(u"\\Device\\VorkaStub0"), STATUS_DEVICE_NOT_READY);
}

INSTANTIATE_TEST_SUITE_P(Filter, IdentificationFailures, ::testing::Bool(),
                         [](const auto& info) { return AnswerName(info.param); });
INSTANTIATE_TEST_SUITE_P(Filter, RefusedClose, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });

}  // namespace
}  // namespace tapetest
