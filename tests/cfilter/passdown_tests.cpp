// Every request on a changer path goes to the base changer driver as it came: the same
// request, the same code, the same buffer contents and lengths, whether the changer bus
// forwarded it or anybody else sent it. Opens and closes are not reported to the bus.
#include "cfilter_fixture.h"

#include <ntddchgr.h>

namespace cfiltertest {
namespace {

constexpr NTSTATUS kStubsOwnAnswer = static_cast<NTSTATUS>(0x8000001C);  // STATUS_MEDIA_CHANGED

class ChangerPassDown : public ::testing::Test {
protected:
    void SetUp() override {
        path_.AnswerIdentification();
        path_.Start();
        filter_ = path_.Filter();
        ASSERT_NE(filter_, nullptr);
    }
    cfakes::Seen LastSeen() {
        auto seen = path_.script.SeenCopy();
        return seen.empty() ? cfakes::Seen{} : seen.back();
    }
    ChangerPath path_;
    PDEVICE_OBJECT filter_ = nullptr;
};

TEST_F(ChangerPassDown, AMoveForwardedByTheBusReachesTheBaseDriverWithItsBufferUnchanged) {
    CHANGER_MOVE_MEDIUM move{};
    move.Transport = {ChangerTransport, 0};
    move.Source = {ChangerSlot, 3};
    move.Destination = {ChangerDrive, 1};
    std::vector<std::uint8_t> input = Bytes(move);
    input.resize(input.size() + sizeof(SCSI_STATUS), 0xA5);  // the record travels at the end of the buffer
    path_.script.Answer(IOCTL_CHANGER_MOVE_MEDIUM, STATUS_SUCCESS);

    SCSI_STATUS record{};
    record.scPreempt = 0x1122334455667788ull;  // nothing of a changer path looks at it
    tapetest::Forwarded f =
        tapetest::ForwardControl(path_.bus.table, filter_, IOCTL_CHANGER_MOVE_MEDIUM, input, 0, record.scPreempt);
    EXPECT_EQ(f.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(f.record.scPreempt, 0x1122334455667788ull) << "the record is left to the base driver";

    const auto moves = path_.script.SeenWithCode(IOCTL_CHANGER_MOVE_MEDIUM);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].input, input);
    EXPECT_EQ(moves[0].inputLength, input.size());
    EXPECT_EQ(moves[0].requestorMode, KernelMode);
}

TEST_F(ChangerPassDown, AnyControlCodeGoesDownIncludingTheBusesOwnAndUnbufferedOnes) {
    const std::vector<std::uint8_t> input = tapetest::Pattern(40, 9);
    constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_CHANGER, 0x777, METHOD_NEITHER, FILE_ANY_ACCESS);
    for (ULONG code : {ULONG(IOCTL_CHANGER_GET_PARAMETERS), ULONG(IOC_CHGR_REGISTER), ULONG(IOC_CHGR_NOTIFY),
                       ULONG(IOC_TAPE_PREEMPT_RESERVATION), kNeither}) {
        path_.script.Answer(code, STATUS_DEVICE_BUSY);
        Reply r = SendIrp(filter_, [&](PIRP irp, PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
            next->Parameters.DeviceIoControl.OutputBufferLength = 8;
            if ((code & 3) == METHOD_NEITHER) {
                next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<std::uint8_t*>(input.data());
            } else {
                irp->AssociatedIrp.SystemBuffer = const_cast<std::uint8_t*>(input.data());
            }
        });
        EXPECT_EQ(r.status, STATUS_DEVICE_BUSY) << std::hex << code << ": the base driver's answer";
        const cfakes::Seen seen = LastSeen();
        EXPECT_EQ(seen.code, code);
        EXPECT_EQ(seen.inputLength, input.size());
        EXPECT_EQ(seen.outputLength, 8u);
        if ((code & 3) == METHOD_NEITHER) {
            EXPECT_EQ(seen.type3Input, input.data());
        } else {
            EXPECT_EQ(seen.input, input);
        }
    }
    EXPECT_EQ(path_.bus.Registrations().size(), 1u) << "the bus heard nothing of them";
}

TEST_F(ChangerPassDown, ReadWriteInternalAndOtherRequestsReachTheBaseDriver) {
    struct Case {
        UCHAR major;
        NTSTATUS expected;
    };
    for (Case c : {Case{IRP_MJ_READ, STATUS_SUCCESS}, Case{IRP_MJ_WRITE, STATUS_SUCCESS},
                   Case{IRP_MJ_INTERNAL_DEVICE_CONTROL, STATUS_INVALID_DEVICE_REQUEST},
                   Case{IRP_MJ_SYSTEM_CONTROL, kStubsOwnAnswer}, Case{IRP_MJ_FLUSH_BUFFERS, kStubsOwnAnswer},
                   Case{IRP_MJ_QUERY_INFORMATION, kStubsOwnAnswer}, Case{IRP_MJ_SHUTDOWN, kStubsOwnAnswer}}) {
        PIRP sent = nullptr;
        Reply r = SendIrp(filter_, [&](PIRP irp, PIO_STACK_LOCATION next) {
            sent = irp;
            next->MajorFunction = c.major;
            if (c.major == IRP_MJ_READ) next->Parameters.Read.Length = 512;
            if (c.major == IRP_MJ_WRITE) next->Parameters.Write.Length = 256;
        });
        EXPECT_EQ(r.status, c.expected) << "major " << int(c.major);
        const cfakes::Seen seen = LastSeen();
        EXPECT_EQ(seen.major, c.major);
        EXPECT_EQ(seen.irp, sent) << "the same request, not a copy";
        if (c.major == IRP_MJ_READ) EXPECT_EQ(r.information, 512u);
        if (c.major == IRP_MJ_WRITE) EXPECT_EQ(r.information, 256u);
    }
}

TEST_F(ChangerPassDown, OpeningAndClosingThePathDeviceSendsTheBusNothing) {
    const std::size_t notificationsBefore = path_.States().size();
    tapetest::App app(*path_.machine);
    ASSERT_EQ(app.Open(u"\\Device\\VorkaStubChanger0"), STATUS_SUCCESS);
    path_.script.Answer(IOCTL_CHANGER_GET_STATUS, STATUS_SUCCESS);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_STATUS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(app.Close(), STATUS_SUCCESS);
    EXPECT_EQ(path_.States().size(), notificationsBefore) << "no open or close notification";
    std::size_t creates = 0, closes = 0;
    for (const auto& s : path_.script.SeenCopy()) {
        creates += s.major == IRP_MJ_CREATE;
        closes += s.major == IRP_MJ_CLOSE;
    }
    EXPECT_EQ(creates, 1u);
    EXPECT_EQ(closes, 1u);
    // Every request gave its count back: a stop does not wait.
    EXPECT_EQ(path_.Pnp().stopDevice(path_.instance), STATUS_SUCCESS);
}

TEST_F(ChangerPassDown, AUserRequestKeepsItsRequestorMode) {
    tapetest::App app(*path_.machine);
    ASSERT_EQ(app.Open(u"\\Device\\VorkaStubChanger0"), STATUS_SUCCESS);
    std::uint32_t word = 0x5A5A5A5A;
    path_.script.Answer(IOCTL_CHANGER_GET_PRODUCT_DATA, STATUS_SUCCESS);
    app.Control(IOCTL_CHANGER_GET_PRODUCT_DATA, &word, sizeof word, nullptr, 0);
    const auto seen = path_.script.SeenWithCode(IOCTL_CHANGER_GET_PRODUCT_DATA);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].requestorMode, UserMode) << "the base driver still knows who asked";
    EXPECT_EQ(seen[0].input, Bytes(word));
}

// An application that opens the path device directly gets none of the package's private requests
// through (the status table's address, the registration records, the tape preempt), whatever the
// base driver below would make of them; kernel callers still do (above).
TEST_F(ChangerPassDown, AnApplicationsPrivateRequestsStopAtTheFilter) {
    tapetest::App app(*path_.machine);
    ASSERT_EQ(app.Open(u"\\Device\\VorkaStubChanger0"), STATUS_SUCCESS);
    std::uint64_t forged = 0x12345678;
    for (ULONG code : {ULONG(IOC_CHGR_SET_EXT_IN_BASE), ULONG(IOC_CHGR_REGISTER), ULONG(IOC_CHGR_GET_SERIAL_NUMBER),
                       ULONG(IOC_TAPE_PREEMPT_RESERVATION), ULONG(IOC_TAPE_SET_RESERVATION_KEY)}) {
        path_.script.Answer(code, STATUS_SUCCESS);
        const size_t before = path_.script.SeenWithCode(code).size();  // the filter's own, at its start
        EXPECT_EQ(app.Control(code, &forged, sizeof forged, &forged, sizeof forged).status, STATUS_INVALID_DEVICE_REQUEST)
            << std::hex << code;
        EXPECT_EQ(path_.script.SeenWithCode(code).size(), before) << std::hex << code << " reached the base driver";
    }
}

}  // namespace
}  // namespace cfiltertest
