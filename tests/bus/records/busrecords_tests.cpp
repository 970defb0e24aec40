// The tape bus control device's checks of IOC_REGISTER, IOC_NOTIFY and IOC_QUERY_DEVICES, on their own:
// who may send them, the buffer lengths each needs, where each record goes, and how much of an
// IOC_QUERY_DEVICES answer fits a short output buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "busrecords.h"

namespace {

struct Verdict {
    NTSTATUS status;
    BUS_CONTROL_HANDLER handler;
};

Verdict Check(ULONG code, KPROCESSOR_MODE mode, ULONG in, ULONG out, ULONG notifyType = NFY_TYPE_PNP,
              bool withBuffer = true) {
    std::vector<std::uint8_t> buffer(std::max<ULONG>(std::max(in, out), 4), 0);
    std::memcpy(buffer.data(), &notifyType, sizeof notifyType);
    Verdict v{STATUS_UNSUCCESSFUL, static_cast<BUS_CONTROL_HANDLER>(-1)};
    v.status = BusCheckControlRequest(code, mode, in, out, withBuffer ? buffer.data() : nullptr, &v.handler);
    return v;
}

TEST(ControlRequestChecks, RegistrationRecordsComeOnlyFromKernelModeWithWholeRecordsBothWays) {
    EXPECT_EQ(Check(IOC_REGISTER, UserMode, 96, 96).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(IOC_NOTIFY, UserMode, 24, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Check(IOC_REGISTER, KernelMode, 95, 96).status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Check(IOC_REGISTER, KernelMode, 96, 95).status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Check(IOC_NOTIFY, KernelMode, 23, 24).status, STATUS_INFO_LENGTH_MISMATCH);
    Verdict reg = Check(IOC_REGISTER, KernelMode, 96, 96);
    EXPECT_EQ(reg.status, STATUS_SUCCESS);
    EXPECT_EQ(reg.handler, BUS_HANDLER_ADD_PATH);
    // Lengths with no buffer behind them never reach a handler.
    EXPECT_EQ(Check(IOC_REGISTER, KernelMode, 96, 96, 0, false).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check(IOC_NOTIFY, KernelMode, 24, 0, 0, false).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check(IOC_QUERY_DEVICES, UserMode, 0, 148, 0, false).status, STATUS_INVALID_PARAMETER);
}

TEST(ControlRequestChecks, NotificationsGoToTheirHandlerByType) {
    EXPECT_EQ(Check(IOC_NOTIFY, KernelMode, 24, 0, NFY_TYPE_PNP).handler, BUS_HANDLER_NOTIFY_PNP);
    EXPECT_EQ(Check(IOC_NOTIFY, KernelMode, 24, 0, NFY_TYPE_IO).handler, BUS_HANDLER_NOTIFY_IO);
    Verdict unknown = Check(IOC_NOTIFY, KernelMode, 24, 0, 7);
    EXPECT_EQ(unknown.status, STATUS_SUCCESS);
    EXPECT_EQ(unknown.handler, BUS_HANDLER_NOTIFY_UNKNOWN);
}

TEST(ControlRequestChecks, AnyoneMayQueryDevicesWithRoomForOneDescriptor) {
    EXPECT_EQ(Check(IOC_QUERY_DEVICES, UserMode, 0, 147).status, STATUS_INFO_LENGTH_MISMATCH);
    Verdict q = Check(IOC_QUERY_DEVICES, UserMode, 0, 148);
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.handler, BUS_HANDLER_QUERY_DEVICES);
    Verdict other = Check(IOC_GET_SERIAL_NUMBER, UserMode, 0, 0, 0, false);
    EXPECT_EQ(other.status, STATUS_SUCCESS);
    EXPECT_EQ(other.handler, BUS_HANDLER_PASS_DOWN) << "not the bus's code: passed down unchecked";
}

TEST(ControlRequestChecks, ShortQueryOutputGetsTheSizeFieldAndWholeDescriptorsOnly) {
    const ULONG threePaths = 4 + 144 * 3;
    EXPECT_EQ(BusQueryDevicesReturnLength(300, threePaths), 292u) << "two whole descriptors";
    EXPECT_EQ(BusQueryDevicesReturnLength(148, threePaths), 148u);
    EXPECT_EQ(BusQueryDevicesReturnLength(threePaths, threePaths), threePaths);
    EXPECT_EQ(BusQueryDevicesReturnLength(4096, threePaths), threePaths) << "never more than the answer";
    EXPECT_EQ(BusQueryDevicesReturnLength(100, threePaths), 4u);
    EXPECT_EQ(BusQueryDevicesReturnLength(3, threePaths), 0u);
}

}  // namespace
