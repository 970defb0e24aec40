// The tape bus's control device as its two kinds of callers meet it: path filters (kernel code)
// registering and notifying, applications querying the devices; and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "bus_fixture.h"

using namespace vorka_test;

namespace {

class ControlDevice : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        InstallBus();
        ASSERT_NE(controlDevice(), nullptr);
    }

    static REG_DVC Registration() {
        REG_DVC reg{};
        reg.fFailover = 1;
        std::memcpy(reg.szSN, "SN0042ABCD", 10);
        std::memcpy(reg.szWwnn, "0000000000ABCDEF", 16);
        reg.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
        reg.scScsiAddr.PortNumber = 2;
        reg.ePnp = PNP_STARTED;
        return reg;
    }

    // Pool blocks of the bus: a registration or notification that got through allocates path
    // and device records, one refused before its handler ran leaves them as they were.
    size_t BusPoolBlocks() { return machine().pool().liveBlocksOf("vorkatbus").size(); }

    bool AssertionReported(std::string_view expression) {
        auto all = machine().trace().assertions();
        return std::any_of(all.begin(), all.end(), [&](auto& a) { return a.expression == expression; });
    }
};

}  // namespace

TEST_F(ControlDevice, ApplicationsOpenItThroughItsLink) {
    Application app(machine(), "tapeadmin.exe");
    EXPECT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
}

TEST_F(ControlDevice, RegistrationAndNotificationFromAnApplicationAreRefused) {
    // The records carry device object pointers that the bus would later send requests to.
    Application app(machine(), "intruder.exe");
    ASSERT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
    TraceWindow window(machine());
    const size_t poolBefore = BusPoolBlocks();

    REG_DVC reg = Registration();
    reg.pDvcObj = reinterpret_cast<PDEVICE_OBJECT>(0xFFFFF80012345678ull);
    REG_DVC answer{};
    auto registered = app.ioctl(IOC_REGISTER, &reg, sizeof(reg), &answer, sizeof(answer));
    EXPECT_EQ(registered.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(registered.information, 0u);
    EXPECT_EQ(answer.pBaseDriverExt, nullptr) << "no table address handed out";
    EXPECT_TRUE(window.contains("IOC_REGISTER from user mode.  Access denied."));
    EXPECT_EQ(BusPoolBlocks(), poolBefore) << "the registration handler never ran";

    NFY_DVC notify{};
    notify.ulType = NFY_TYPE_PNP;
    notify.pDvcObj = reg.pDvcObj;
    notify.ePnp = PNP_ABSENT;
    EXPECT_EQ(app.ioctl(IOC_NOTIFY, &notify, sizeof(notify), nullptr, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(BusPoolBlocks(), poolBefore) << "the notification handler never ran";
}

TEST_F(ControlDevice, RegistrationRecordMustBeWhole) {
    TraceWindow window(machine());
    const size_t poolBefore = BusPoolBlocks();
    REG_DVC reg = Registration();
    REG_DVC answer{};

    auto shortInput = KernelIoctl(kBusControlDevice, IOC_REGISTER, &reg, sizeof(reg) - 1, &answer, sizeof(answer));
    EXPECT_EQ(shortInput.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_TRUE(window.contains("\tIOC_REGISTER: input buffer length mismatch (95<96)"));

    // The answer is a whole record: a caller with less room would have it copied past its buffer.
    auto shortOutput = KernelIoctl(kBusControlDevice, IOC_REGISTER, &reg, sizeof(reg), &answer, sizeof(answer) - 1);
    EXPECT_EQ(shortOutput.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_TRUE(window.contains("\tIOC_REGISTER: output buffer length mismatch (95<96)"));
    EXPECT_EQ(BusPoolBlocks(), poolBefore) << "no path was added";

    auto whole = KernelIoctl(kBusControlDevice, IOC_REGISTER, &reg, sizeof(reg), &answer, sizeof(answer));
    // A record of the right size passes the length checks; this one names no device object,
    // which the bus refuses. A request that fails at once hands its kernel caller nothing back.
    EXPECT_EQ(whole.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(whole.information, 0u);
    EXPECT_TRUE(window.contains("BusAddPath: pDeviceObject"));
}

TEST_F(ControlDevice, NotificationRecordMustBeWholeAndAnUnknownKindChangesNothing) {
    TraceWindow window(machine());
    const size_t poolBefore = BusPoolBlocks();
    NFY_DVC notify{};
    notify.ulType = 2;

    auto shortInput = KernelIoctl(kBusControlDevice, IOC_NOTIFY, &notify, sizeof(notify) - 1, nullptr, 0);
    EXPECT_EQ(shortInput.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_TRUE(window.contains("\tIOC_NOTIFY: input buffer length mismatch (23<24)"));

    machine().trace().clearAssertions();
    auto unknown = KernelIoctl(kBusControlDevice, IOC_NOTIFY, &notify, sizeof(notify), nullptr, 0);
    EXPECT_EQ(unknown.status, STATUS_SUCCESS);
    EXPECT_EQ(unknown.information, 0u);
    EXPECT_TRUE(window.contains("BusDispatchDeviceControl: unknown notify type 0x2"));
    EXPECT_TRUE(AssertionReported("!\"Unreachable\""));
    EXPECT_EQ(BusPoolBlocks(), poolBefore) << "neither a PnP nor an I/O notification was taken";
}

TEST_F(ControlDevice, DeviceQueryIsOpenToApplicationsButNeedsRoomForOneDescriptor) {
    Application app(machine(), "tapeadmin.exe");
    ASSERT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
    TraceWindow window(machine());

    std::vector<uint8_t> out(148);
    auto tooSmall = app.ioctl(IOC_QUERY_DEVICES, nullptr, 0, out.data(), 147);
    EXPECT_EQ(tooSmall.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(tooSmall.information, 0u);
    EXPECT_TRUE(window.contains("\tIOC_QUERY_DEVICES: output buffer length mismatch (147<148)"));
    EXPECT_TRUE(std::all_of(out.begin(), out.end() - 1, [](uint8_t b) { return b == 0; }))
        << "nothing was written to the application's buffer";

    auto enough = app.ioctl(IOC_QUERY_DEVICES, nullptr, 0, out.data(), 148);
    EXPECT_NE(enough.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_NE(enough.status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(window.contains("BusQueryDevices: pDeviceObject"));
}

TEST_F(ControlDevice, ControlCodesItDoesNotKnowGoToTheDeviceBelow) {
    Application app(machine(), "tapeadmin.exe");
    ASSERT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
    TraceWindow window(machine());
    auto probe = app.ioctl(BUSLOWER_IOCTL_PROBE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(probe.status, BUSLOWER_PROBE_STATUS) << "answered by the lower filter";
    EXPECT_TRUE(window.contains("Unhandled IOCTL."));
}

TEST_F(ControlDevice, ReadingItIsNotSupported) {
    Application app(machine(), "tapeadmin.exe");
    ASSERT_EQ(app.open(kBusControlLink), STATUS_SUCCESS);
    TraceWindow window(machine());
    auto read = app.read(512);
    EXPECT_EQ(read.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(read.information, 0u);
    EXPECT_TRUE(window.contains("BusSendToFilter: Not handled for FDO."));
}

TEST_F(ControlDevice, InternalControlRequestsSucceedWithoutData) {
    uint8_t buffer[16] = {};
    auto internal = KernelIoctl(kBusControlDevice, BUSLOWER_IOCTL_PROBE, buffer, sizeof(buffer), buffer,
                                sizeof(buffer), /*internal=*/true);
    EXPECT_EQ(internal.status, STATUS_SUCCESS) << "not passed down: the probe would have failed";
    EXPECT_EQ(internal.information, 0u);
}
