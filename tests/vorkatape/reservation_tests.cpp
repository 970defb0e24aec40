// Reservations across the paths of one drive: a path that reserves keeps the
// others out; a conflict tells who holds the drive; a preempt with the holder's
// key moves the reservation to the asking path; a refused or foreign preempt
// changes nothing and fails the request with the mark the tape bus reads.
#include <cstdio>

#include "tape_fixture.h"

namespace tapetest {
namespace {

using Reservations = OneDriveTwoPaths;

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    char two[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        text += two;
    }
    return text;
}

std::string Hex64(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
    return text;
}

// A key as the bus keeps it: the 8 bytes in memory order as one 64-bit value.
std::uint64_t KeyValue(const std::uint8_t (&bytes)[8]) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The same 8 bytes read as the big-endian key a drive reports.
std::uint64_t WireValue(const std::uint8_t (&bytes)[8]) {
    std::uint64_t value = 0;
    for (std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

std::vector<std::uint8_t> GetPositionInput() {
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    std::vector<std::uint8_t> input(sizeof position);
    std::memcpy(input.data(), &position, sizeof position);
    return input;
}

std::string RecordText(const CHAR* field) { return std::string(field, strnlen(field, 32)); }

TEST_P(Reservations, AReservedDriveRefusesTheOtherPathAndNamesItsHolder) {
    ASSERT_EQ(KernelControl(a_.filter, IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    const sim::hw::ReservationState held = drive_->reservations();
    ASSERT_TRUE(held.persistentHolder.has_value());
    EXPECT_EQ(*held.persistentHolder, pathA_->initiator());
    EXPECT_EQ(held.persistentType, 0x3) << "exclusive access";

    const vorka::tape::PathState a = rig_->Query(a_);
    Forwarded refused = ForwardControl(Table(), b_.filter, IOCTL_TAPE_GET_POSITION, GetPositionInput(),
                                       sizeof(TAPE_GET_POSITION));
    EXPECT_EQ(refused.reply.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused.record.iStatus, STATUS_DEVICE_BUSY);
    EXPECT_EQ(RecordText(refused.record.szHostKey), Hex(a.reservationKey, 8));
    EXPECT_EQ(RecordText(refused.record.szWwpn), Hex64(pathA_->targetPortName()));

    // The holder goes on working; after its release the other path does too.
    EXPECT_EQ(ForwardWrite(Table(), a_.filter, Pattern(512, 1)).reply.status, STATUS_SUCCESS);
    ASSERT_EQ(KernelControl(a_.filter, IOCTL_STORAGE_RELEASE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    Forwarded free = ForwardControl(Table(), b_.filter, IOCTL_TAPE_GET_POSITION, GetPositionInput(),
                                    sizeof(TAPE_GET_POSITION));
    EXPECT_EQ(free.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(free.record.szHostKey[0], 0) << "no reservation involved, no host key";
}

TEST_P(Reservations, PreemptWithTheHoldersKeyMovesTheReservation) {
    ASSERT_EQ(KernelControl(a_.filter, IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    const vorka::tape::PathState a = rig_->Query(a_);
    const std::uint64_t key = KeyValue(a.reservationKey);

    // The first request the bus sends on the new path carries the key to preempt with.
    Forwarded moved = ForwardWrite(Table(), b_.filter, Pattern(700, 2), key);
    EXPECT_EQ(moved.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(moved.record.scPreempt, 0u) << "a preempt that succeeded clears the key";
    ASSERT_EQ(drive_->records().size(), 1u);

    const sim::hw::ReservationState held = drive_->reservations();
    ASSERT_TRUE(held.persistentHolder.has_value());
    EXPECT_EQ(*held.persistentHolder, pathB_->initiator());
    EXPECT_EQ(held.persistentType, 0x3);
    ASSERT_EQ(held.registrations.size(), 1u) << "the old path's registration is gone";
    EXPECT_EQ(held.registrations[0].first, pathB_->initiator());
    EXPECT_EQ(held.registrations[0].second, WireValue(a.reservationKey));
    EXPECT_EQ(KeyValue(rig_->Query(b_).reservationKey), key) << "the new path reserves with the moved key";

    // The old path hears that it lost its registration, then finds the drive taken.
    Forwarded told = ForwardControl(Table(), a_.filter, IOCTL_TAPE_GET_POSITION, GetPositionInput(), 16);
    EXPECT_EQ(told.record.ucSenseKey, 0x06);
    EXPECT_EQ(told.record.ucAsc, 0x2A);
    Forwarded busy = ForwardControl(Table(), a_.filter, IOCTL_TAPE_GET_POSITION, GetPositionInput(), 16);
    EXPECT_EQ(busy.reply.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(RecordText(busy.record.szWwpn), Hex64(pathB_->targetPortName()));
}

TEST_P(Reservations, ARefusedPreemptFailsTheRequestAndMarksTheRecord) {
    ASSERT_EQ(KernelControl(a_.filter, IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    const std::uint64_t key = KeyValue(rig_->Query(a_).reservationKey);
    sim::hw::Fault refuse;
    refuse.kind = sim::hw::FaultKind::RefusePreempt;
    pathB_->injectFault(refuse);

    Forwarded refused = ForwardWrite(Table(), b_.filter, Pattern(100, 3), key);
    EXPECT_EQ(refused.reply.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.reply.information, 0u);
    std::uint8_t raw[8];
    std::memcpy(raw, &refused.record.scPreempt, sizeof raw);
    EXPECT_EQ(Hex(raw, 8), "220000C000000000") << "bytes 0-3 STATUS_ACCESS_DENIED, bytes 4-7 zero";
    EXPECT_TRUE(drive_->records().empty()) << "the request never reached the drive";
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathA_->initiator());
}

TEST_P(Reservations, AReservationUnderAnotherKeyIsNotTaken) {
    ASSERT_EQ(KernelControl(a_.filter, IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    Forwarded refused = ForwardWrite(Table(), b_.filter, Pattern(100, 3), 0x0807060504030201ull);
    EXPECT_EQ(refused.reply.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathA_->initiator());
    EXPECT_TRUE(drive_->records().empty());
}

TEST_P(Reservations, APreemptWithNothingReservedCreatesNoReservation) {
    Forwarded written = ForwardWrite(Table(), b_.filter, Pattern(100, 3), 0x1122334455667788ull);
    EXPECT_EQ(written.reply.status, STATUS_SUCCESS);
    const sim::hw::ReservationState state = drive_->reservations();
    EXPECT_FALSE(state.persistentHolder.has_value());
    EXPECT_EQ(state.persistentType, 0);
    EXPECT_EQ(drive_->records().size(), 1u);
}

TEST_P(Reservations, AKeyTheApplicationRegisteredMovesWithTheDrive) {
    // PERSISTENT RESERVE OUT as the application sends it: service action at byte 8, type at
    // byte 9, the parameter list (reservation key, service action key) from byte 10.
    const std::uint8_t appKey[8] = {0xAB, 0xCD, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    auto command = [&](std::uint8_t action, std::uint8_t type, bool keyIsReservationKey) {
        std::vector<std::uint8_t> in(10 + 24, 0);
        const ULONG size = static_cast<ULONG>(in.size());
        std::memcpy(in.data() + 4, &size, 4);
        in[8] = action;
        in[9] = type;
        std::memcpy(in.data() + (keyIsReservationKey ? 10 : 18), appKey, 8);
        return in;
    };
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    auto registerKey = command(0x00, 0, false);
    ASSERT_EQ(app.Control(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, registerKey.data(), 34, nullptr, 0).status, STATUS_SUCCESS);
    auto reserve = command(0x01, 0x03, true);
    ASSERT_EQ(app.Control(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, reserve.data(), 34, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathA_->initiator());

    // The bus keeps the key as input bytes 18-25 of the registration.
    std::uint64_t busKey;
    std::memcpy(&busKey, appKey, 8);
    Forwarded moved = ForwardControl(Table(), b_.filter, IOCTL_TAPE_GET_POSITION, GetPositionInput(), 16, busKey);
    EXPECT_EQ(moved.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathB_->initiator());

    // PERSISTENT RESERVE IN READ RESERVATION through the new path shows the key.
    std::vector<std::uint8_t> in(12, 0);
    in[8] = 0x01;
    const USHORT allocation = 24;
    std::memcpy(in.data() + 10, &allocation, 2);
    App appB(rig_->Machine());
    ASSERT_EQ(appB.Open(b_.Win32Name()), STATUS_SUCCESS);
    std::vector<std::uint8_t> out(24, 0);
    Reply read = appB.Control(IOCTL_STORAGE_PERSISTENT_RESERVE_IN, in.data(), 12, out.data(), 24);
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 24u);
    EXPECT_EQ(Hex(out.data() + 8, 8), Hex(appKey, 8));
}

INSTANTIATE_TEST_SUITE_P(Tape, Reservations, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
