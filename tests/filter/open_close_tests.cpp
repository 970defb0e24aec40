// Opens and closes on a path: the filter reports those made directly on the path
// device to the bus (so exclusive access holds across a drive's paths), keeps out
// of opens the bus itself forwarded, and gives an open's count back when the open
// fails below it.
#include "filter_fixture.h"

#include <optional>

namespace tapetest {
namespace {

std::vector<ULONG> Kinds(const std::vector<TAPE_NFY_DVC>& notifications) {
    std::vector<ULONG> kinds;
    for (const auto& n : notifications) kinds.push_back(n.ePnp);
    return kinds;
}

std::size_t CountSeen(fakes::StubScript& script, UCHAR major) {
    std::size_t n = 0;
    for (const auto& s : script.Seen()) n += s.major == major ? 1 : 0;
    return n;
}

class Opens : public ::testing::TestWithParam<bool> {
protected:
    Opens() : stub_(GetParam()) {}
    void SetUp() override { stub_.Start(); }
    std::u16string StubName() { return u"\\Device\\VorkaStub0"; }
    StubPath stub_;
};

TEST_P(Opens, AnOpenOnThePathDeviceAndItsCloseAreReportedToTheBus) {
    App app(stub_.rig.Machine());
    ASSERT_EQ(app.Open(StubName()), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(stub_.Notifications(NFY_TYPE_IO)), std::vector<ULONG>{IO_OPEN_REQ});
    EXPECT_EQ(CountSeen(stub_.script, IRP_MJ_CREATE), 1u);
    ASSERT_EQ(app.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Kinds(stub_.Notifications(NFY_TYPE_IO)), (std::vector<ULONG>{IO_OPEN_REQ, IO_CLOSE_REQ}));
}

TEST_P(Opens, AnOpenTheBusForwardedIsNotReportedBack) {
    FILE_OBJECT file{};
    SCSI_STATUS record{};
    Reply opened = SendIrp(
        stub_.Filter(), [&](PIRP, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_CREATE;
            next->FileObject = &file;
        },
        stub_.rig.Bus().table, &record);
    EXPECT_EQ(opened.status, STATUS_SUCCESS);
    Reply closed = SendIrp(
        stub_.Filter(), [&](PIRP, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_CLOSE;
            next->FileObject = &file;
        },
        stub_.rig.Bus().table, &record);
    EXPECT_EQ(closed.status, STATUS_SUCCESS);
    EXPECT_TRUE(stub_.Notifications(NFY_TYPE_IO).empty());
    const auto seen = stub_.script.Seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_TRUE(seen[seen.size() - 2].inTable && seen.back().inTable) << "both reached the base as forwarded requests";
}

TEST_P(Opens, AnOpenThatFailsBelowGivesItsCountBackAtTheBus) {
    stub_.script.createStatus = STATUS_DEVICE_NOT_READY;
    App app(stub_.rig.Machine());
    EXPECT_EQ(app.Open(StubName()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Kinds(stub_.Notifications(NFY_TYPE_IO)), (std::vector<ULONG>{IO_OPEN_REQ, IO_CLOSE_REQ}));
}

TEST_P(Opens, AnOpenTheBusRefusesNeverReachesTheBaseDriver) {
    stub_.rig.Bus().onNotify = [](const TAPE_NFY_DVC& n) {
        return n.ulType == NFY_TYPE_IO && n.ePnp == IO_OPEN_REQ ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    };
    App app(stub_.rig.Machine());
    EXPECT_EQ(app.Open(StubName()), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CountSeen(stub_.script, IRP_MJ_CREATE), 0u);
    EXPECT_EQ(Kinds(stub_.Notifications(NFY_TYPE_IO)), std::vector<ULONG>{IO_OPEN_REQ}) << "nothing to give back";
}

TEST_P(Opens, ACloseIsReportedEvenWhenItsRequestAddressIsReusedBeforeItReturns) {
    App app(stub_.rig.Machine());
    ASSERT_EQ(app.Open(StubName()), STATUS_SUCCESS);
    // The moment the base driver completes the close, the bus forwards a request whose
    // packet has the close's address: by then, the address is in the bus's table.
    SCSI_STATUS record{};
    std::optional<fakes::TableEntry> reused;
    stub_.script.onClose = [&](PIRP irp) { reused.emplace(stub_.rig.Bus().table, irp, &record); };
    ASSERT_EQ(app.Close(), STATUS_SUCCESS);
    reused.reset();
    EXPECT_EQ(Kinds(stub_.Notifications(NFY_TYPE_IO)), (std::vector<ULONG>{IO_OPEN_REQ, IO_CLOSE_REQ}))
        << "the close was made on the path device, whatever the table says afterwards";
}

// ---- Forwarded requests and the reservation preempt --------------------------------------------

class Forwarding : public ::testing::TestWithParam<bool> {
protected:
    Forwarding() : stub_(GetParam()) {}
    void SetUp() override {
        stub_.AnswerGoodIdentification();
        stub_.script.Reply(IOCTL_TAPE_GET_STATUS, STATUS_SUCCESS);
        ASSERT_EQ(stub_.Start().fFailover, 1);
    }
    Forwarded GetStatus(std::uint64_t key) {
        return ForwardControl(stub_.rig.Bus().table, stub_.Filter(), IOCTL_TAPE_GET_STATUS, {}, 0, key);
    }
    StubPath stub_;
};

TEST_P(Forwarding, ARequestWithoutAKeyReachesTheBaseDriverUntouched) {
    Forwarded f = GetStatus(0);
    EXPECT_EQ(f.reply.status, STATUS_SUCCESS);
    EXPECT_TRUE(stub_.script.SeenWithCode(IOC_TAPE_PREEMPT_RESERVATION).empty());
    const auto seen = stub_.script.SeenWithCode(IOCTL_TAPE_GET_STATUS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].inTable);
}

TEST_P(Forwarding, AKeyIsPreemptedWithBeforeTheRequestAndThenCleared) {
    stub_.script.Reply(IOC_TAPE_PREEMPT_RESERVATION, STATUS_SUCCESS);
    Forwarded f = GetStatus(0x0123456789ABCDEFull);
    EXPECT_EQ(f.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(f.record.scPreempt, 0u);
    const auto seen = stub_.script.Seen();
    std::vector<ULONG> order;
    for (const auto& s : seen) {
        if (s.code == IOC_TAPE_PREEMPT_RESERVATION || s.code == IOCTL_TAPE_GET_STATUS) order.push_back(s.code);
    }
    ASSERT_EQ(order, (std::vector<ULONG>{IOC_TAPE_PREEMPT_RESERVATION, IOCTL_TAPE_GET_STATUS}));
    const auto preempts = stub_.script.SeenWithCode(IOC_TAPE_PREEMPT_RESERVATION);
    EXPECT_EQ(preempts[0].preemptKey, 0x0123456789ABCDEFull);
    EXPECT_FALSE(preempts[0].inTable) << "the preempt is the filter's own request";
    EXPECT_EQ(stub_.script.SeenWithCode(IOCTL_TAPE_GET_STATUS)[0].recordPreempt, 0u)
        << "the key is cleared before the request goes down";
}

TEST_P(Forwarding, ARefusedPreemptFailsTheRequestAndLeavesTheMarkForTheBus) {
    stub_.script.Reply(IOC_TAPE_PREEMPT_RESERVATION, STATUS_DEVICE_BUSY);
    Forwarded f = GetStatus(0x0123456789ABCDEFull);
    EXPECT_EQ(f.reply.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(f.reply.information, 0u);
    EXPECT_EQ(f.record.scPreempt, 0xC0000022ull) << "bytes 0-3 STATUS_ACCESS_DENIED, bytes 4-7 zero";
    EXPECT_TRUE(stub_.script.SeenWithCode(IOCTL_TAPE_GET_STATUS).empty());
}

class ForwardingWithoutFailover : public ::testing::TestWithParam<bool> {};

TEST_P(ForwardingWithoutFailover, OnlyRequestsOutsideTheFailoverSetStillPreempt) {
    StubPath stub(GetParam());  // answers no identification: failover off
    stub.script.Reply(IOCTL_TAPE_GET_STATUS, STATUS_SUCCESS);
    stub.script.Reply(IOC_TAPE_PREEMPT_RESERVATION, STATUS_SUCCESS);
    ASSERT_EQ(stub.Start().fFailover, 0);

    Forwarded control = ForwardControl(stub.rig.Bus().table, stub.Filter(), IOCTL_TAPE_GET_STATUS, {}, 0, 0x77);
    EXPECT_EQ(control.reply.status, STATUS_SUCCESS);
    EXPECT_TRUE(stub.script.SeenWithCode(IOC_TAPE_PREEMPT_RESERVATION).empty());

    SCSI_STATUS record{};
    record.scPreempt = 0x77;
    SendIrp(
        stub.Filter(), [](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = IRP_MJ_FLUSH_BUFFERS; },
        stub.rig.Bus().table, &record);
    EXPECT_EQ(stub.script.SeenWithCode(IOC_TAPE_PREEMPT_RESERVATION).size(), 1u);
    EXPECT_EQ(record.scPreempt, 0u);
}

INSTANTIATE_TEST_SUITE_P(Filter, Opens, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });
INSTANTIATE_TEST_SUITE_P(Filter, Forwarding, ::testing::Bool(), [](const auto& info) { return AnswerName(info.param); });
INSTANTIATE_TEST_SUITE_P(Filter, ForwardingWithoutFailover, ::testing::Bool(),
                         [](const auto& info) { return AnswerName(info.param); });

}  // namespace
}  // namespace tapetest
