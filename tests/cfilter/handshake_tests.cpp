// Registration replies and the status-table handshake: the changer filter lends the
// base driver slot 0 of the bus's table only, naming the changer's number, and
// clears it again; a refused registration hands nothing over; without pool for the
// handshake the start fails.
#include "cfilter_fixture.h"

#include <ntddchgr.h>

namespace cfiltertest {
namespace {

TEST(ChangerHandshake, TheBaseDriverSeesSlotZeroNamingTheChangerNumberAndNothingElse) {
    ChangerPath path;
    path.AnswerIdentification();
    path.bus.nextChangerNumber = 42;
    path.Start();

    const auto handshakes = path.script.Handshakes();
    ASSERT_EQ(handshakes.size(), 1u);
    const cfakes::Handshake& h = handshakes.front();
    EXPECT_EQ(h.table, path.bus.table) << "the table from the registration reply";
    EXPECT_EQ(h.bitmap, 1ull) << "slot 0 only";
    EXPECT_TRUE(h.slot0Named);
    EXPECT_EQ(h.slot0Value, 42u);
    EXPECT_EQ(h.slot1, nullptr) << "the filter device is not lent to a changer base driver";

    // Afterwards the slot is the bus's again.
    EXPECT_EQ(path.bus.table->ullBitmap, 0ull);
    EXPECT_EQ(path.bus.table->Slots[0].pScsiStatus, nullptr);
}

TEST(ChangerHandshake, AHandshakeTheBaseDriverRefusesDoesNotFailTheStart) {
    ChangerPath path;
    path.AnswerIdentification();
    path.script.Answer(IOC_CHGR_SET_EXT_IN_BASE, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(path.Start().fFailover, 1);
    EXPECT_EQ(path.bus.table->ullBitmap, 0ull);
}

TEST(ChangerHandshake, ARefusedRegistrationHandsNoTableOverAndThePathStillWorks) {
    ChangerPath path;
    path.AnswerIdentification();
    path.bus.registerStatus = STATUS_INSUFFICIENT_RESOURCES;
    path.script.Answer(IOCTL_CHANGER_GET_STATUS, STATUS_SUCCESS);
    path.Start();
    EXPECT_TRUE(path.script.SeenWithCode(IOC_CHGR_SET_EXT_IN_BASE).empty());
    EXPECT_EQ(KernelControl(path.Filter(), IOCTL_CHANGER_GET_STATUS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

TEST(ChangerHandshake, EachPathLendsItsOwnChangerNumber) {
    ChangerPath path;
    path.AnswerIdentification();
    path.bus.nextChangerNumber = 3;
    path.Start();
    const std::u16string first = path.instance;
    path.Add();
    const auto handshakes = path.script.Handshakes();
    ASSERT_EQ(handshakes.size(), 2u);
    EXPECT_EQ(handshakes[0].slot0Value, 3u);
    EXPECT_EQ(handshakes[1].slot0Value, 4u);
    EXPECT_NE(first, path.instance);
}

TEST(ChangerHandshake, NoPoolForTheHandshakeFailsTheStart) {
    ChangerPath path;
    path.AnswerIdentification();
    path.machine->pool().failIf([](const sim::PoolRequest& r) { return r.owner == "vorkacflt" && r.size == sizeof(ULONG); });
    const sim::DevNodeState state = path.Add();
    path.machine->pool().clearFailures();
    EXPECT_NE(state, sim::DevNodeState::Started) << "STATUS_INSUFFICIENT_RESOURCES from the start";
    EXPECT_TRUE(path.script.SeenWithCode(IOC_CHGR_SET_EXT_IN_BASE).empty());
    EXPECT_EQ(path.bus.table->ullBitmap, 0ull);
}

}  // namespace
}  // namespace cfiltertest
