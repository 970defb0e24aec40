// The private requests of the base driver: identification for the path filter,
// the settings the tape bus restores after a failover, the gatekeeper against
// applications handing kernel addresses, and SCSI pass-through in both layouts.
#include "tape_fixture.h"

namespace tapetest {
namespace {

using PrivateRequests = OneDriveTwoPaths;

constexpr ULONG kSetLbp = 0x1FE0C8;
constexpr ULONG kQueryAmu = 0x1FE0E0;
constexpr ULONG kSetAmu = 0x1FE0E4;
constexpr ULONG kRequestSense = 0x1FC038;
constexpr ULONG kLocate = 0x1FE0C0;
constexpr ULONG kVerify = 0x1F60A8;
constexpr ULONG kLoad = 0x1FE100;

Reply Private(PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t>* buffer) {
    const ULONG length = static_cast<ULONG>(buffer->size());
    return KernelControl(device, code, buffer->data(), length, buffer->data(), length);
}

TEST_P(PrivateRequests, IdentificationDescribesTheDriveBehindThePath) {
    std::vector<std::uint8_t> serial(SERIAL_NUMBER_LENGTH, 0xFF);
    ASSERT_EQ(Private(a_.base, IOC_GET_SERIAL_NUMBER, &serial).status, STATUS_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(serial.data()), "VORKA0000000042");

    std::vector<std::uint8_t> address(sizeof(SCSI_ADDRESS), 0);
    ASSERT_EQ(Private(b_.base, IOC_GET_SCSI_ADDRESS, &address).status, STATUS_SUCCESS);
    const auto* scsi = reinterpret_cast<const SCSI_ADDRESS*>(address.data());
    EXPECT_EQ(scsi->PortNumber, 1);
    EXPECT_EQ(scsi->TargetId, 3);

    std::vector<std::uint8_t> page(DEVICE_ID_PAGE_LENGTH, 0);
    ASSERT_EQ(Private(a_.base, IOC_GET_DEVICE_ID_PAGE, &page).status, STATUS_SUCCESS);
    EXPECT_EQ(page[1], 0x83);
    // The logical unit's NAA designator holds the drive's node name.
    std::uint64_t naa = 0;
    bool found = false;
    for (std::size_t at = 4; at + 4 <= page.size() && page[at + 3] != 0; at += 4 + page[at + 3]) {
        if ((page[at + 1] & 0x3F) == 0x03 && page[at + 3] == 8) {
            for (int i = 0; i < 8; ++i) naa = (naa << 8) | page[at + 4 + i];
            found = true;
            break;
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(naa, drive_->wwnn());

    std::vector<std::uint8_t> inquiry(STANDARD_INQUIRY_LENGTH, 0);
    ASSERT_EQ(Private(a_.base, IOC_GET_STANDARD_INQUIRY, &inquiry).status, STATUS_SUCCESS);
    EXPECT_EQ(inquiry[0], 0x01) << "sequential-access device";
    EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 13), "VORKA");

    drive_->setDpfFlags(0x6);
    std::vector<std::uint8_t> flags(4, 0);
    ASSERT_EQ(Private(a_.base, IOC_GET_DPF_FLAGS, &flags).status, STATUS_SUCCESS);
    EXPECT_EQ(flags[0], 0x6);
    // Encryption reported and on, in every later status record.
    Forwarded written = ForwardWrite(Table(), a_.filter, Pattern(10, 1));
    EXPECT_EQ(written.record.ucSME, 0x3);
}

TEST_P(PrivateRequests, SettingsTheBusRestoresReachTheDrivePerPath) {
    std::vector<std::uint8_t> amu(8, 0);
    amu[0] = 5;
    ASSERT_EQ(Private(a_.filter, kSetAmu, &amu).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->initiatorSettings(pathA_->initiator()).amu, 5);
    EXPECT_EQ(drive_->initiatorSettings(pathB_->initiator()).amu, 0) << "the other path keeps its own";
    std::vector<std::uint8_t> query(8, 0xFF);
    ASSERT_EQ(Private(a_.filter, kQueryAmu, &query).status, STATUS_SUCCESS);
    EXPECT_EQ(query[0], 5);

    std::vector<std::uint8_t> lbp(32, 0);
    lbp[0] = 1;  // capable
    lbp[1] = 2;  // CRC32C
    lbp[2] = 4;  // protection bytes per block
    lbp[3] = 1;  // on writes
    lbp[4] = 1;  // on reads
    ASSERT_EQ(Private(a_.filter, kSetLbp, &lbp).status, STATUS_SUCCESS);
    const sim::hw::LbpSettings set = drive_->initiatorSettings(pathA_->initiator()).lbp;
    EXPECT_EQ(set.method, 2);
    EXPECT_EQ(set.length, 4);
    EXPECT_TRUE(set.write);
    EXPECT_TRUE(set.read);
    lbp[1] = 7;  // no such method: the drive refuses, nothing changes
    EXPECT_EQ(Private(a_.filter, kSetLbp, &lbp).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(drive_->initiatorSettings(pathA_->initiator()).lbp, set);
}

TEST_P(PrivateRequests, PositioningRequestsOfTheBusMoveTheDrive) {
    for (std::uint8_t i = 0; i < 4; ++i) ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(64, i)).reply.status, STATUS_SUCCESS);
    ASSERT_EQ(WriteFilemarks(a_, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, Pattern(64, 9)).reply.status, STATUS_SUCCESS);

    std::vector<std::uint8_t> locate(16, 0);
    locate[8] = 2;  // block 2
    ASSERT_EQ(Private(a_.filter, kLocate, &locate).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 2u);
    locate[0] = 1;  // file 1: just after the first filemark
    locate[8] = 1;
    ASSERT_EQ(Private(a_.filter, kLocate, &locate).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 5u);

    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> verify(8, 0);
    verify[0] = 0x20;  // verify to end of data
    ASSERT_EQ(Private(a_.filter, kVerify, &verify).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 6u);

    std::vector<std::uint8_t> none(8, 0);
    ASSERT_EQ(Private(a_.filter, kLoad, &none).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->position()->object, 0u);

    // Request sense: 96 bytes, the fixed-format sense from byte 4 on.
    sim::hw::Fault progress;
    progress.kind = sim::hw::FaultKind::VerifyInProgress;
    pathA_->injectFault(progress);
    std::vector<std::uint8_t> sense(96, 0xFF);
    Reply r = Private(a_.filter, kRequestSense, &sense);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 96u);
    EXPECT_EQ(sense[4] & 0x7F, 0x70);
    EXPECT_EQ(sense[7], 0);
    EXPECT_EQ(sense[16], 0x00);
    EXPECT_EQ(sense[17], 0x1C) << "verify operation in progress";
}

// The path filter on top of the stack keeps the package's private requests between its drivers:
// an application that opens the path device gets none of them through, not even the harmless
// ones, whatever the base driver below would make of them.
TEST_P(PrivateRequests, AnApplicationCannotHandTheBaseDriverKernelAddresses) {
    const vorka::tape::PathState before = rig_->Query(a_);
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);

    PVOID forged = reinterpret_cast<PVOID>(0x12345678);
    EXPECT_EQ(app.Control(IOC_TAPE_SET_EXT_IN_BASE, &forged, sizeof forged, &forged, sizeof forged).status,
              STATUS_INVALID_DEVICE_REQUEST);
    SCSI_STATUS record{};
    record.scPreempt = 0x1122334455667788ull;
    EXPECT_EQ(app.Control(IOC_TAPE_PREEMPT_RESERVATION, &record, sizeof record, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    std::uint64_t key = 0x0102030405060708ull;
    EXPECT_EQ(app.Control(IOC_TAPE_SET_RESERVATION_KEY, &key, sizeof key, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    vorka::tape::PathState state{};
    EXPECT_EQ(app.Control(vorka::tape::kIoctlQueryPathState, nullptr, 0, &state, sizeof state).status,
              STATUS_ACCESS_DENIED) << "the base driver's own kernel-only query";
    char serial[SERIAL_NUMBER_LENGTH] = {};
    EXPECT_EQ(app.Control(IOC_TAPE_GET_SERIAL_NUMBER, serial, sizeof serial, serial, sizeof serial).status,
              STATUS_INVALID_DEVICE_REQUEST);

    const vorka::tape::PathState after = rig_->Query(a_);
    EXPECT_EQ(after.statusTable, before.statusTable) << "the table address is the bus's, not the application's";
    EXPECT_EQ(after.setExtInBaseCount, before.setExtInBaseCount);
    EXPECT_EQ(after.reservationKeySet, before.reservationKeySet);
    EXPECT_FALSE(drive_->reservations().persistentHolder.has_value());

    // The tape API still passes.
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app.Control(IOCTL_TAPE_GET_POSITION, &position, sizeof position, &position, sizeof position).status,
              STATUS_SUCCESS);
}

// SCSI_PASS_THROUGH with its data and sense behind it in one buffer.
struct BufferedPassThrough {
    SCSI_PASS_THROUGH spt;
    std::uint8_t sense[32];
    std::uint8_t data[256];
};

TEST_P(PrivateRequests, BufferedPassThroughCarriesDataAndSenseInTheCallersStructure) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    BufferedPassThrough p{};
    p.spt.Length = sizeof(SCSI_PASS_THROUGH);
    p.spt.CdbLength = 6;
    p.spt.SenseInfoLength = sizeof p.sense;
    p.spt.DataIn = SCSI_IOCTL_DATA_IN;
    p.spt.DataTransferLength = 96;
    p.spt.DataBufferOffset = offsetof(BufferedPassThrough, data);
    p.spt.SenseInfoOffset = offsetof(BufferedPassThrough, sense);
    p.spt.Cdb[0] = 0x12;  // INQUIRY
    p.spt.Cdb[4] = 96;
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH, &p, sizeof p, &p, sizeof p);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p.spt.ScsiStatus, 0);
    EXPECT_EQ(p.spt.DataTransferLength, 96u);
    EXPECT_EQ(std::string(p.data + 16, p.data + 28), "VIRTUAL TAPE");

    // A command the drive rejects: the request succeeds, the structure has the sense.
    BufferedPassThrough bad = p;
    bad.spt.Cdb[0] = 0xE7;
    bad.spt.DataTransferLength = 0;
    bad.spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    bad.spt.SenseInfoLength = sizeof bad.sense;
    ASSERT_EQ(app.Control(IOCTL_SCSI_PASS_THROUGH, &bad, sizeof bad, &bad, sizeof bad).status, STATUS_SUCCESS);
    EXPECT_EQ(bad.spt.ScsiStatus, 0x02);
    EXPECT_GE(bad.spt.SenseInfoLength, 14);
    EXPECT_EQ(bad.sense[2] & 0x0F, 0x05);
    EXPECT_EQ(bad.sense[12], 0x20);

    // Offsets that point outside the caller's buffer are refused before anything is copied.
    BufferedPassThrough outside = p;
    outside.spt.DataBufferOffset = sizeof(BufferedPassThrough) - 16;
    EXPECT_EQ(app.Control(IOCTL_SCSI_PASS_THROUGH, &outside, sizeof outside, &outside, sizeof outside).status,
              STATUS_INVALID_PARAMETER);
    BufferedPassThrough wrongLength = p;
    wrongLength.spt.Length = 48;
    EXPECT_EQ(app.Control(IOCTL_SCSI_PASS_THROUGH, &wrongLength, sizeof p, &wrongLength, sizeof p).status,
              STATUS_INVALID_PARAMETER);
}

TEST_P(PrivateRequests, DirectPassThroughFromA32BitProcessReadsIntoItsBuffer) {
    const auto block = Pattern(512, 4);
    ASSERT_EQ(ForwardWrite(Table(), a_.filter, block).reply.status, STATUS_SUCCESS);
    ASSERT_EQ(Rewind(a_).status, STATUS_SUCCESS);

    App app(rig_->Machine(), /*is32Bit=*/true);
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    sim::ProcessScope scope(app.Process());
    auto* data = static_cast<std::uint8_t*>(app.Process().alloc(512));
    // READ(6), variable block of up to 512 bytes (transfer length 0x000200).
    std::vector<std::uint8_t> spt = DirectRead32(app.Process(), data, 512, {0x08, 0, 0, 0x02, 0, 0});
    auto* p = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT32*>(spt.data());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p->ScsiStatus, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + 512), block);

    // A data buffer the process does not own is caught by the probe.
    p->DataBuffer = 0x10;
    EXPECT_EQ(app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt).status, STATUS_ACCESS_VIOLATION);
    app.Process().free(data);
}

INSTANTIATE_TEST_SUITE_P(Tape, PrivateRequests, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
