// Structured exception handling in driver code: probing a caller's buffer inside
// __try/__except catches a bad range as Windows does, handlers nest, and a raise nobody
// handles stops the machine. Also what a driver learns about the requestor of a request.
#include <wdm.h>

#include <cstring>

#include "kt_ioctl.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace {

class Seh : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"kt_seh");
        ASSERT_EQ(machine().drivers().load(u"kt_seh"), STATUS_SUCCESS);
    }
    HANDLE Open(sim::Process& app) {
        HANDLE handle = nullptr;
        EXPECT_EQ(app.createFile(&handle, u"\\\\.\\KtSeh", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
        return handle;
    }
};

TEST_F(Seh, ADriverProbingABadUserBufferCatchesTheAccessViolation) {
    auto& app = machine().processes().create("app");
    HANDLE handle = Open(app);
    auto* good = static_cast<UCHAR*>(app.alloc(64));
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_PROBE, good, 64, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(good[0], 0xA5) << "the locked buffer was reachable through its system address";

    UCHAR hostBuffer[64];  // not the application's memory
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_PROBE, hostBuffer, 64, nullptr, 0), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_PROBE, good, 4096 + 1, nullptr, 0), STATUS_ACCESS_VIOLATION)
        << "a range running past the allocation";
    app.free(good);
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_PROBE, good, 64, nullptr, 0), STATUS_ACCESS_VIOLATION)
        << "freed memory";
    app.close(handle);
}

TEST_F(Seh, KernelCallersMayHandOverKernelBuffers) {
    UCHAR buffer[32] = {};
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT file = nullptr;
    std::u16string name = u"\\Device\\KtSeh";
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    ASSERT_EQ(IoGetDeviceObjectPointer(&us, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KTSEH_PROBE, device, buffer, sizeof buffer, nullptr, 0, FALSE,
                                             &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0xA5);
    ObDereferenceObject(file);
}

TEST_F(Seh, AnExceptionDeclinedByAnInnerHandlerReachesTheOuterOne) {
    auto& app = machine().processes().create("app");
    HANDLE handle = Open(app);
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_NESTED, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    app.close(handle);
}

TEST_F(Seh, DriversSeeWhetherARequestComesFromA32BitApplication) {
    auto& app64 = machine().processes().create("app64");
    auto& app32 = machine().processes().create("app32", /*is32Bit=*/true);
    for (auto* app : {&app64, &app32}) {
        HANDLE handle = Open(*app);
        auto* answer = static_cast<KTSEH_REQUESTOR*>(app->alloc(sizeof(KTSEH_REQUESTOR)));
        ASSERT_EQ(app->deviceIoControl(handle, IOCTL_KTSEH_REQUESTOR, nullptr, 0, answer, sizeof *answer),
                  STATUS_SUCCESS);
        EXPECT_EQ(answer->RequestorMode, static_cast<ULONG>(UserMode));
        EXPECT_EQ(answer->Is32Bit, app == &app32 ? 1u : 0u);
        app->close(handle);
    }
    auto* low = app32.alloc(16);
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(low), 0x100000000ull) << "a 32-bit process's memory lies below 4 GB";
}

TEST_F(Seh, ADirectOutputBufferIsFilledThroughItsMdl) {
    auto& app = machine().processes().create("app");
    HANDLE handle = Open(app);
    auto* out = static_cast<UCHAR*>(app.alloc(100));
    ULONG_PTR information = 0;
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_KTSEH_DIRECT, nullptr, 0, out, 100, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 100u);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(out[99], 0x5A);
    app.close(handle);
}

TEST_F(Seh, KernelCodeCatchesARaiseWithTheHostForm) {
    NTSTATUS caught = STATUS_SUCCESS;
    VK_TRY { ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES); }
    VK_EXCEPT(EXCEPTION_EXECUTE_HANDLER) { caught = GetExceptionCode(); }
    EXPECT_EQ(caught, STATUS_INSUFFICIENT_RESOURCES);
}

using SehDeathTest = Seh;

TEST_F(SehDeathTest, ARaiseNobodyHandlesStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ExRaiseStatus(STATUS_DATA_ERROR), "KMODE_EXCEPTION_NOT_HANDLED");
}

}  // namespace
