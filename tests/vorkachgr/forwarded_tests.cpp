// Requests as the changer bus forwards them (in its status table, paired with a
// status record), the handshake that hands the table over, faults on the control
// paths as the record reports them, and SCSI pass-through.
#include <cstring>

#include "changer_fixture.h"
#include "sim/hw/nt_status.h"

namespace chgrtest {
namespace {

using Forwarding = OneLibraryTwoPaths;

TEST_P(Forwarding, TheHandshakeNamesTheVirtualChangerAndOnlyTheKernelMayHandOverATable) {
    ASSERT_EQ(Handshake(a_, 4), STATUS_SUCCESS);
    vorka::changer::ChangerPathState state = Query(a_);
    EXPECT_EQ(state.setExtInBaseCount, 1u);
    EXPECT_EQ(state.virtualChangerRecorded, 1u);
    EXPECT_EQ(state.virtualChangerNumber, 4u);
    EXPECT_EQ(state.statusTable, reinterpret_cast<std::uint64_t>(table_));

    // An application that opens the path device cannot make the driver write
    // through an address of its choosing.
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(b_.Win32Name()), STATUS_SUCCESS);
    std::uint64_t address = 0x1000;
    EXPECT_EQ(app.Control(IOC_CHGR_SET_EXT_IN_BASE, &address, sizeof address, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Query(b_).statusTable, 0u);
    EXPECT_EQ(app.Control(vorka::changer::kIoctlQueryChangerPathState, nullptr, 0, &address, sizeof address).status,
              STATUS_ACCESS_DENIED);
}

TEST_P(Forwarding, TheRecordOfAForwardedMoveCarriesItsStatusAndSense) {
    ASSERT_EQ(Handshake(a_, 0), STATUS_SUCCESS);
    Forwarded ok = ForwardControl(table_, a_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                  Bytes(Move(ChangerSlot, 0, ChangerDrive, 1)), 0);
    EXPECT_EQ(ok.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(ok.record.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(ok.record.fSenseValid, 0);
    EXPECT_EQ(Where("VOL001L9"), "drive:1");

    Forwarded empty = ForwardControl(table_, a_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                     Bytes(Move(ChangerSlot, 0, ChangerSlot, 3)), 0);
    EXPECT_EQ(empty.reply.status, STATUS_SOURCE_ELEMENT_EMPTY);
    EXPECT_EQ(empty.record.iStatus, STATUS_SOURCE_ELEMENT_EMPTY);
    EXPECT_EQ(empty.record.fSenseValid, 1);
    EXPECT_EQ(empty.record.ucSenseKey, 0x05);
    EXPECT_EQ(empty.record.ucAsc, 0x3B);
    EXPECT_EQ(empty.record.ucAscq, 0x0E);

    // Element status: the transfer count travels in the record too.
    CHANGER_READ_ELEMENT_STATUS read{};
    read.ElementList.Element = {ChangerDrive, 0};
    read.ElementList.NumberOfElements = 2;
    Forwarded status = ForwardControl(table_, a_.base, IOCTL_CHANGER_GET_ELEMENT_STATUS, Bytes(read),
                                      2 * sizeof(CHANGER_ELEMENT_STATUS));
    ASSERT_EQ(status.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(status.record.ulInformation, 2 * sizeof(CHANGER_ELEMENT_STATUS));
    CHANGER_ELEMENT_STATUS second;
    std::memcpy(&second, status.data.data() + sizeof second, sizeof second);
    EXPECT_NE(second.Flags & ELEMENT_STATUS_FULL, 0u);

    // A request the bus did not forward leaves no record behind.
    const std::uint32_t filled = Query(a_).recordsFilled;
    EXPECT_EQ(KernelControl(a_.base, IOCTL_CHANGER_GET_STATUS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Query(a_).recordsFilled, filled);
}

TEST_P(Forwarding, ARequestForwardedToAStoppedPathReportsItsFailureInTheRecord) {
    ASSERT_EQ(Handshake(b_, 1), STATUS_SUCCESS);
    auto node = rig_->Machine().pnp().findByDevice(b_.base);
    ASSERT_TRUE(node.has_value());
    ASSERT_EQ(rig_->Machine().pnp().stopDevice(node->instancePath), STATUS_SUCCESS);
    Forwarded f = ForwardControl(table_, b_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                 Bytes(Move(ChangerSlot, 0, ChangerDrive, 0)), 0);
    EXPECT_TRUE(NT_ERROR(f.reply.status));
    EXPECT_EQ(f.record.iStatus, f.reply.status) << "an untouched record would read as a successful move";
    EXPECT_EQ(Where("VOL001L9"), "slot:0") << "nothing moved";
}

TEST_P(Forwarding, AFailedControlPathShowsInTheRecordAndTheOtherPathMovesTheCartridgeOnce) {
    ASSERT_EQ(Handshake(a_, 0), STATUS_SUCCESS);
    ASSERT_EQ(Handshake(b_, 0), STATUS_SUCCESS);
    sim::hw::Fault down;
    down.kind = sim::hw::FaultKind::PathDown;
    pathA_->injectFault(down);
    Forwarded lost = ForwardControl(table_, a_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                    Bytes(Move(ChangerSlot, 1, ChangerDrive, 0)), 0);
    EXPECT_EQ(lost.reply.status, static_cast<NTSTATUS>(sim::hw::kStatusDeviceNotConnected));
    EXPECT_EQ(lost.record.iStatus, static_cast<NTSTATUS>(sim::hw::kStatusDeviceNotConnected));
    EXPECT_EQ(lost.record.fSenseValid, 0) << "no sense without an answer";
    EXPECT_EQ(Where("VOL002L9"), "slot:1");

    // Sense of a hardware fault reaches the record as the library reported it.
    sim::hw::Fault broken;
    broken.senseKey = 0x04;
    broken.asc = 0x40;
    broken.ascq = 0x01;
    pathB_->injectFault(broken);
    Forwarded failed = ForwardControl(table_, b_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                      Bytes(Move(ChangerSlot, 1, ChangerDrive, 0)), 0);
    EXPECT_EQ(failed.reply.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(failed.record.fSenseValid, 1);
    EXPECT_EQ(failed.record.ucSenseKey, 0x04);
    EXPECT_EQ(failed.record.ucAsc, 0x40);

    Forwarded moved = ForwardControl(table_, b_.base, IOCTL_CHANGER_MOVE_MEDIUM,
                                     Bytes(Move(ChangerSlot, 1, ChangerDrive, 0)), 0);
    EXPECT_EQ(moved.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(Where("VOL002L9"), "drive:0");
    EXPECT_EQ(library_->moves().size(), 1u);
}

struct BufferedPassThrough {
    SCSI_PASS_THROUGH spt;
    std::uint8_t sense[32];
    std::uint8_t data[512];
};

BufferedPassThrough Cdb(std::initializer_list<std::uint8_t> cdb, std::uint8_t dataIn, ULONG length) {
    BufferedPassThrough p{};
    p.spt.Length = sizeof(SCSI_PASS_THROUGH);
    p.spt.CdbLength = static_cast<UCHAR>(cdb.size());
    p.spt.SenseInfoLength = sizeof p.sense;
    p.spt.SenseInfoOffset = offsetof(BufferedPassThrough, sense);
    p.spt.DataIn = dataIn;
    p.spt.DataTransferLength = length;
    p.spt.DataBufferOffset = offsetof(BufferedPassThrough, data);
    std::copy(cdb.begin(), cdb.end(), p.spt.Cdb);
    return p;
}

TEST_P(Forwarding, PassThroughCarriesTheLibrarysOwnAnswers) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    // READ ELEMENT STATUS of the storage slots with volume tags.
    BufferedPassThrough p = Cdb({0xB8, 0x12, 0x10, 0x00, 0x00, 0x06, 0, 0x00, 0x01, 0x00, 0, 0}, SCSI_IOCTL_DATA_IN, 256);
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH, &p, sizeof p, &p, sizeof p);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p.spt.ScsiStatus, 0);
    EXPECT_EQ(p.data[8], 0x02) << "storage element page";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data + 16 + 12), 8), "VOL001L9");

    // A move from an empty slot: the request succeeds, the record has the check condition.
    p = Cdb({0xA5, 0, 0, 0, 0x10, 0x05, 0x10, 0x04, 0, 0, 0, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    r = app.Control(IOCTL_SCSI_PASS_THROUGH, &p, sizeof p, &p, sizeof p);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p.spt.ScsiStatus, 0x02);
    EXPECT_EQ(p.sense[2] & 0x0F, 0x05);
    EXPECT_EQ(p.sense[12], 0x3B);
    EXPECT_EQ(p.sense[13], 0x0E);

    // Forwarded by the bus, the record has the sense as well.
    ASSERT_EQ(Handshake(a_, 0), STATUS_SUCCESS);
    Forwarded f = ForwardControl(table_, a_.base, IOCTL_SCSI_PASS_THROUGH, Bytes(p), sizeof p);
    EXPECT_EQ(f.reply.status, STATUS_SUCCESS);
    EXPECT_EQ(f.record.fSenseValid, 1);
    EXPECT_EQ(f.record.ucAsc, 0x3B);
}

TEST_P(Forwarding, DirectPassThroughFromA32BitProcessFillsItsOwnBuffer) {
    App app(rig_->Machine(), /*is32Bit=*/true);
    ASSERT_EQ(app.Open(b_.Win32Name()), STATUS_SUCCESS);
    sim::ProcessScope scope(app.Process());
    auto* data = static_cast<std::uint8_t*>(app.Process().alloc(96));
    std::vector<std::uint8_t> spt = DirectRead32(app.Process(), data, 96, {0x12, 0, 0, 0, 96, 0});  // INQUIRY
    auto* p = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT32*>(spt.data());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p->ScsiStatus, 0);
    EXPECT_EQ(data[0], 0x08);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data + 16), 15), "VIRTUAL LIBRARY");
    p->DataBuffer = 0x10;
    EXPECT_EQ(app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt).status, STATUS_ACCESS_VIOLATION);
    app.Process().free(data);
}

INSTANTIATE_TEST_SUITE_P(Chgr, Forwarding, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace chgrtest
