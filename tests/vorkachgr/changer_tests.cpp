// The base changer driver on two control paths of one library: identification
// and the private requests, the changer requests of an application on
// \\.\Changer<n>, where the cartridges end up, and the refused requests.
#include <atomic>
#include <cstring>
#include <thread>

#include "changer_fixture.h"
#include "sim/registry.h"

namespace chgrtest {
namespace {

using Changer = OneLibraryTwoPaths;

std::string Text(const UCHAR* bytes, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(bytes), size);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

TEST_P(Changer, EachControlPathHasItsDeviceAndIdentifiesTheLibrary) {
    EXPECT_NE(a_.number, b_.number);
    // The device map names each path's device.
    const std::u16string key =
        u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 1\\Scsi Bus 0\\Target Id 7\\Logical Unit Id 0";
    auto name = rig_->Machine().registry().string(key, u"DeviceName");
    ASSERT_TRUE(name.has_value());
    const std::string expected = "Changer" + std::to_string(b_.number);
    EXPECT_EQ(*name, std::u16string(expected.begin(), expected.end()));
    EXPECT_EQ(rig_->Machine().registry().string(key, u"Type"), std::u16string(u"MediumChangerPeripheral"));

    char serial[32] = {};
    Reply r = KernelControl(a_.base, IOC_CHGR_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof serial);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 32u);
    EXPECT_STREQ(serial, "LIB0000000001");

    SCSI_ADDRESS address{};
    ASSERT_EQ(KernelControl(b_.base, IOC_CHGR_GET_SCSI_ADDRESS, nullptr, 0, &address, sizeof address).status,
              STATUS_SUCCESS);
    EXPECT_EQ(address.PortNumber, 1);
    EXPECT_EQ(address.TargetId, 7);

    std::uint8_t inquiry[STANDARD_INQUIRY_LENGTH] = {};
    ASSERT_EQ(KernelControl(a_.base, IOC_CHGR_GET_STANDARD_INQUIRY, nullptr, 0, inquiry, sizeof inquiry).status,
              STATUS_SUCCESS);
    EXPECT_EQ(inquiry[0], 0x08) << "medium changer";
    EXPECT_EQ(Text(inquiry + 16, 16), "VIRTUAL LIBRARY");

    std::uint8_t pageA[DEVICE_ID_PAGE_LENGTH] = {};
    std::uint8_t pageB[DEVICE_ID_PAGE_LENGTH] = {};
    ASSERT_EQ(KernelControl(a_.base, IOC_CHGR_GET_DEVICE_ID_PAGE, nullptr, 0, pageA, sizeof pageA).status,
              STATUS_SUCCESS);
    ASSERT_EQ(KernelControl(b_.base, IOC_CHGR_GET_DEVICE_ID_PAGE, nullptr, 0, pageB, sizeof pageB).status,
              STATUS_SUCCESS);
    EXPECT_EQ(pageA[1], 0x83);
    EXPECT_NE(std::memcmp(pageA, pageB, sizeof pageA), 0) << "each path names the port it reaches";

    // Short buffers are refused before anything is sent.
    EXPECT_EQ(KernelControl(a_.base, IOC_CHGR_GET_SERIAL_NUMBER, nullptr, 0, serial, 31).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_P(Changer, ParametersAndProductDataDescribeTheLibrary) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    GET_CHANGER_PARAMETERS p{};
    Reply r = app.Control(IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, &p, sizeof p);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof p);
    EXPECT_EQ(p.Size, sizeof p);
    EXPECT_EQ(p.NumberTransportElements, 1);
    EXPECT_EQ(p.NumberStorageElements, 6);
    EXPECT_EQ(p.NumberIEElements, 1);
    EXPECT_EQ(p.NumberDataTransferElements, 2);
    EXPECT_EQ(p.Features0 & CHANGER_EXCHANGE_MEDIA, 0u) << "one picker, no exchange";
    EXPECT_NE(p.Features0 & CHANGER_LOCK_UNLOCK, 0u);
    EXPECT_NE(p.MoveFromSlot & CHANGER_TO_DRIVE, 0);

    CHANGER_PRODUCT_DATA data{};
    ASSERT_EQ(app.Control(IOCTL_CHANGER_GET_PRODUCT_DATA, nullptr, 0, &data, sizeof data).status, STATUS_SUCCESS);
    EXPECT_EQ(Text(data.VendorId, 8), "VORKA");
    EXPECT_EQ(Text(data.SerialNumber, 32), "LIB0000000001");
    EXPECT_EQ(data.DeviceType, 0x08);

    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_STATUS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, &p, sizeof p - 1).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_P(Changer, AMoveLoadsTheDriveAndElementStatusShowsWhereEveryCartridgeIs) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(b_.Win32Name()), STATUS_SUCCESS);
    CHANGER_MOVE_MEDIUM move = Move(ChangerSlot, 1, ChangerDrive, 0);
    ASSERT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Where("VOL002L9"), "drive:0");
    EXPECT_EQ(drives_[0]->mediumState(), sim::hw::MediumState::Loaded) << "the drive sees its medium";

    CHANGER_READ_ELEMENT_STATUS read{};
    read.ElementList.Element.ElementType = AllElements;
    read.ElementList.NumberOfElements = 10;
    read.VolumeTagInfo = TRUE;
    std::vector<CHANGER_ELEMENT_STATUS> all(10);
    Reply r = app.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, all.data(),
                          static_cast<ULONG>(all.size() * sizeof all[0]));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, 10 * sizeof(CHANGER_ELEMENT_STATUS));
    int full = 0;
    for (const CHANGER_ELEMENT_STATUS& e : all) {
        if ((e.Flags & ELEMENT_STATUS_FULL) == 0) continue;
        ++full;
        const std::string volume = Text(e.PrimaryVolumeID, 32);
        if (e.Element.ElementType == ChangerDrive) {
            EXPECT_EQ(e.Element.ElementAddress, 0u);
            EXPECT_EQ(volume, "VOL002L9");
            ASSERT_NE(e.Flags & ELEMENT_STATUS_SVALID, 0u);
            EXPECT_EQ(e.SrcElementAddress.ElementType, ChangerSlot);
            EXPECT_EQ(e.SrcElementAddress.ElementAddress, 1u);
        } else {
            EXPECT_EQ(e.Element.ElementType, ChangerSlot);
            EXPECT_EQ(e.Element.ElementAddress, 0u);
            EXPECT_EQ(volume, "VOL001L9");
        }
    }
    EXPECT_EQ(full, 2);

    // One type from an index on, through the other path.
    App other(rig_->Machine());
    ASSERT_EQ(other.Open(a_.Win32Name()), STATUS_SUCCESS);
    read.ElementList.Element = {ChangerSlot, 1};
    read.ElementList.NumberOfElements = 2;
    std::vector<CHANGER_ELEMENT_STATUS> slots(2);
    r = other.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, slots.data(),
                      static_cast<ULONG>(slots.size() * sizeof slots[0]));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(slots[0].Element.ElementAddress, 1u);
    EXPECT_EQ(slots[0].Flags & ELEMENT_STATUS_FULL, 0u) << "slot 1 gave its cartridge to the drive";
    EXPECT_EQ(slots[1].Element.ElementAddress, 2u);

    // Back after the drive ejected it.
    EXPECT_EQ(drives_[0]->mediumState(), sim::hw::MediumState::Loaded);
    drives_[0]->operatorUnload();
    move = Move(ChangerDrive, 0, ChangerSlot, 5);
    ASSERT_EQ(other.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Where("VOL002L9"), "slot:5");
    EXPECT_EQ(library_->moves().size(), 2u);
}

TEST_P(Changer, RefusedMovesReportWhyAndMoveNothing) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    CHANGER_MOVE_MEDIUM move = Move(ChangerSlot, 3, ChangerSlot, 4);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status,
              STATUS_SOURCE_ELEMENT_EMPTY);
    move = Move(ChangerSlot, 0, ChangerSlot, 1);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status,
              STATUS_DESTINATION_ELEMENT_FULL);
    move = Move(ChangerSlot, 0, ChangerSlot, 6);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status,
              STATUS_ILLEGAL_ELEMENT_ADDRESS);
    move = Move(ChangerSlot, 0, ChangerSlot, 2);
    move.Flip = TRUE;
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move - 1, nullptr, 0).status,
              STATUS_INFO_LENGTH_MISMATCH);
    CHANGER_EXCHANGE_MEDIUM exchange{};
    exchange.Transport = {ChangerTransport, 0};
    exchange.Source = {ChangerSlot, 0};
    exchange.Destination1 = {ChangerSlot, 1};
    exchange.Destination2 = {ChangerSlot, 2};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_EXCHANGE_MEDIUM, &exchange, sizeof exchange, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    // A drive still holding its loaded cartridge does not let the picker take it.
    move = Move(ChangerSlot, 0, ChangerDrive, 1);
    ASSERT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status, STATUS_SUCCESS);
    move = Move(ChangerDrive, 1, ChangerSlot, 0);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Where("VOL001L9"), "drive:1");
    EXPECT_EQ(Where("VOL002L9"), "slot:1");
    EXPECT_EQ(library_->moves().size(), 1u);
}

TEST_P(Changer, AUnitAttentionIsTakenAndTheMoveStillHappensOnce) {
    sim::hw::MediumConfig tape;
    tape.label = "NEW001L9";
    ASSERT_TRUE(library_->operatorImport(0, std::make_unique<sim::hw::Medium>(tape)));
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    CHANGER_MOVE_MEDIUM move = Move(ChangerIEPort, 0, ChangerSlot, 2);
    ASSERT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Where("NEW001L9"), "slot:2");
    EXPECT_EQ(library_->moves().size(), 1u);
    EXPECT_EQ(library_->pendingUnitAttentions(pathB_->initiator()), std::vector<std::string>{"28/01"})
        << "the other path's attention is its own";
}

TEST_P(Changer, LockingTheImportExportElementKeepsTheOperatorOut) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    CHANGER_SET_ACCESS access{{ChangerIEPort, 0}, LOCK_ELEMENT};
    ASSERT_EQ(app.Control(IOCTL_CHANGER_SET_ACCESS, &access, sizeof access, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(library_->removalPrevented());
    access.Control = UNLOCK_ELEMENT;
    ASSERT_EQ(app.Control(IOCTL_CHANGER_SET_ACCESS, &access, sizeof access, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(library_->removalPrevented());
    access.Control = EXTEND_IEPORT;
    EXPECT_EQ(app.Control(IOCTL_CHANGER_SET_ACCESS, &access, sizeof access, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_P(Changer, InventoryPositionAndTransportRequestsReachTheLibrary) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    CHANGER_INITIALIZE_ELEMENT_STATUS inventory{};
    inventory.ElementList.Element.ElementType = AllElements;
    EXPECT_EQ(app.Control(IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, &inventory, sizeof inventory, nullptr, 0).status,
              STATUS_SUCCESS);
    inventory.ElementList.Element.ElementType = ChangerSlot;
    inventory.ElementList.NumberOfElements = 1;
    EXPECT_EQ(app.Control(IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, &inventory, sizeof inventory, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST)
        << "no ranged inventory";
    CHANGER_SET_POSITION position{{ChangerTransport, 0}, {ChangerDrive, 1}, FALSE};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_SET_POSITION, &position, sizeof position, nullptr, 0).status, STATUS_SUCCESS);
    position.Destination = {ChangerDrive, 2};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_SET_POSITION, &position, sizeof position, nullptr, 0).status,
              STATUS_ILLEGAL_ELEMENT_ADDRESS);
    CHANGER_ELEMENT transport{ChangerTransport, 0};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_REINITIALIZE_TRANSPORT, &transport, sizeof transport, nullptr, 0).status,
              STATUS_SUCCESS);
    std::uint8_t tags[64] = {};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_QUERY_VOLUME_TAGS, tags, sizeof tags, tags, sizeof tags).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_P(Changer, ElementStatusRequestsAreCheckedBeforeAnythingIsSent) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    CHANGER_READ_ELEMENT_STATUS read{};
    read.ElementList.Element = {ChangerSlot, 5};
    read.ElementList.NumberOfElements = 2;  // past the last slot
    CHANGER_ELEMENT_STATUS out[2] = {};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, out, sizeof out).status,
              STATUS_INVALID_PARAMETER);
    read.ElementList.NumberOfElements = 1;
    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, out, sizeof out[0] - 1).status,
              STATUS_BUFFER_TOO_SMALL);
    read.ElementList.Element = {ChangerDoor, 0};
    EXPECT_EQ(app.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, out, sizeof out).status,
              STATUS_INVALID_PARAMETER);
}

TEST_P(Changer, AControlPathThatLeavesTheSanTakesItsDeviceAlongAndComesBackWithANewOne) {
    const std::u16string name = a_.Win32Name();
    pathA_->setPresent(false);
    rig_->Settle();
    EXPECT_EQ(rig_->ChangerStacks().size(), 1u);
    App app(rig_->Machine());
    EXPECT_NE(app.Open(name), STATUS_SUCCESS) << "the link went with the device";
    ASSERT_EQ(app.Open(b_.Win32Name()), STATUS_SUCCESS) << "the other path stays";
    CHANGER_MOVE_MEDIUM move = Move(ChangerSlot, 0, ChangerSlot, 3);
    EXPECT_EQ(app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status, STATUS_SUCCESS);
    app.Close();

    pathA_->setPresent(true);
    rig_->Settle();
    EXPECT_EQ(rig_->ChangerStacks().size(), 2u);
    EXPECT_EQ(Where("VOL001L9"), "slot:3");
}

TEST_P(Changer, ApplicationsOnBothPathsAtOnceMoveEachCartridgeExactlyOnce) {
    std::atomic<int> moved{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            App app(rig_->Machine());
            if (app.Open((t % 2 == 0 ? a_ : b_).Win32Name()) != STATUS_SUCCESS) return;
            for (int i = 0; i < 15; ++i) {
                // Everyone pushes the first cartridge back and forth between slots 0 and 2.
                CHANGER_MOVE_MEDIUM move = (i + t) % 2 == 0 ? Move(ChangerSlot, 0, ChangerSlot, 2)
                                                            : Move(ChangerSlot, 2, ChangerSlot, 0);
                const NTSTATUS status = app.Control(IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, nullptr, 0).status;
                if (status == STATUS_SUCCESS) {
                    ++moved;
                } else if (status == STATUS_SOURCE_ELEMENT_EMPTY || status == STATUS_DESTINATION_ELEMENT_FULL) {
                    ++refused;
                }
                CHANGER_READ_ELEMENT_STATUS read{};
                read.ElementList.Element.ElementType = AllElements;
                read.ElementList.NumberOfElements = 10;
                std::vector<CHANGER_ELEMENT_STATUS> all(10);
                app.Control(IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read, all.data(),
                            static_cast<ULONG>(all.size() * sizeof all[0]));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(moved + refused, 60) << "every move either happened or was refused for the cartridge's place";
    EXPECT_EQ(library_->moves().size(), static_cast<std::size_t>(moved.load()));
    const std::string first = Where("VOL001L9");
    EXPECT_TRUE(first == "slot:0" || first == "slot:2") << first;
    EXPECT_EQ(Where("VOL002L9"), "slot:1");
}

INSTANTIATE_TEST_SUITE_P(Chgr, Changer, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace chgrtest
