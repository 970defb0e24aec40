// The status record of a request the bus forwarded is filled however the request ends, also when the
// base driver refuses it before any command reaches the drive: the bus reads the outcome only there,
// and an untouched record reads as a success with nothing to report.
#include "tape_fixture.h"

#include "sim/pnp.h"

namespace tapetest {
namespace {

using StatusRecord = OneDriveTwoPaths;

TEST_P(StatusRecord, ARequestToAStoppedPathCarriesItsRefusalInTheRecord) {
    ASSERT_EQ(rig_->Machine().pnp().stopDevice(b_.instance), STATUS_SUCCESS);

    Forwarded read = ForwardRead(Table(), b_.base, 4096);
    EXPECT_EQ(read.reply.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(read.record.iStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(read.record.ulInformation, 4096u) << "the residual: nothing was transferred";
    EXPECT_EQ(read.record.fSenseValid, 0);

    Forwarded control = ForwardControl(Table(), b_.base, IOCTL_TAPE_GET_STATUS, {}, 0);
    EXPECT_EQ(control.reply.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(control.record.iStatus, STATUS_DEVICE_NOT_READY);

    ASSERT_EQ(rig_->Machine().pnp().startDevice(b_.instance), STATUS_SUCCESS);
}

TEST_P(StatusRecord, ARequestToARemovedPathCarriesItsRefusalInTheRecord) {
    PDEVICE_OBJECT base = b_.base;
    ObReferenceObject(base);   // as a request still on its way holds it
    ASSERT_EQ(rig_->Machine().pnp().surpriseRemoveDevice(b_.instance), STATUS_SUCCESS);
    Forwarded read = ForwardRead(Table(), base, 512);
    EXPECT_EQ(read.reply.status, STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(read.record.iStatus, STATUS_DEVICE_DOES_NOT_EXIST);
    rig_->Settle();
    ObDereferenceObject(base);
}

INSTANTIATE_TEST_SUITE_P(Tape, StatusRecord, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
