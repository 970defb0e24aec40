// An application's view of a device through CreateFile, DeviceIoControl,
// ReadFile and WriteFile: results, byte counts and last-error values.
#include <cstring>
#include <thread>

#include "machine_fixture.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "ntstatus.h"
#include "windows.h"

namespace {

#define IOCTL_VKTEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VKTEST_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

class DeviceFiles : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"vktestdrv");
        ASSERT_EQ(machine().drivers().load(u"vktestdrv"), STATUS_SUCCESS);
        process_ = &machine().processes().create("tapeapp.exe");
        scope_.emplace(*process_);
    }
    void TearDown() override {
        scope_.reset();
        MachineTest::TearDown();
    }
    HANDLE Open() {
        HANDLE h = CreateFileW(W(u"\\\\.\\VkTestDev"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return h;
    }
    // A status the device completes a request with, as the application sees it.
    DWORD ErrorFor(HANDLE h, NTSTATUS status, BOOL* result, DWORD* bytes) {
        auto* in = static_cast<NTSTATUS*>(process_->alloc(sizeof(NTSTATUS)));
        *in = status;
        *bytes = 0xDEAD;
        SetLastError(0);
        *result = DeviceIoControl(h, IOCTL_VKTEST_STATUS, in, sizeof *in, nullptr, 0, bytes, nullptr);
        process_->free(in);
        return GetLastError();
    }
    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
};

TEST_F(DeviceFiles, ControlRequestsReturnDataAndTheirByteCount) {
    HANDLE h = Open();
    auto* in = static_cast<char*>(process_->alloc(16));
    auto* out = static_cast<char*>(process_->alloc(16));
    std::memcpy(in, "serial-0123", 12);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_VKTEST_ECHO, in, 12, out, 16, &bytes, nullptr)) << GetLastError();
    EXPECT_EQ(bytes, 12u);
    EXPECT_STREQ(out, "serial-0123");

    // Too small an output buffer: FALSE, ERROR_MORE_DATA, and the part that fit is counted.
    std::memset(out, 0, 16);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_VKTEST_ECHO, in, 12, out, 6, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(std::string(out, 6), "serial");
    process_->free(in);
    process_->free(out);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceFiles, TapeStatusesBecomeTheWin32ErrorsApplicationsTest) {
    HANDLE h = Open();
    BOOL ok = TRUE;
    DWORD bytes = 0;
    EXPECT_EQ(ErrorFor(h, STATUS_NO_MEDIA_IN_DEVICE, &ok, &bytes), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(ok);
    EXPECT_EQ(bytes, 0xDEADu);  // an error leaves the count alone
    EXPECT_EQ(ErrorFor(h, STATUS_END_OF_MEDIA, &ok, &bytes), static_cast<DWORD>(ERROR_END_OF_MEDIA));
    EXPECT_EQ(bytes, 0u);  // a warning reports the count
    EXPECT_EQ(ErrorFor(h, STATUS_DEVICE_BUSY, &ok, &bytes), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ErrorFor(h, STATUS_IO_DEVICE_ERROR, &ok, &bytes), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(ErrorFor(h, STATUS_INVALID_DEVICE_REQUEST, &ok, &bytes), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(ErrorFor(h, STATUS_BUS_RESET, &ok, &bytes), static_cast<DWORD>(ERROR_BUS_RESET));
    EXPECT_EQ(ErrorFor(h, STATUS_MEDIA_CHANGED, &ok, &bytes), static_cast<DWORD>(ERROR_MEDIA_CHANGED));
    // A medium error, a changer's bad element address, an aborted request, a misaligned buffer
    // and an expired timeout, as RtlNtStatusToDosError answers them.
    EXPECT_EQ(ErrorFor(h, STATUS_DEVICE_DATA_ERROR, &ok, &bytes), static_cast<DWORD>(ERROR_CRC));
    EXPECT_EQ(ErrorFor(h, STATUS_ILLEGAL_ELEMENT_ADDRESS, &ok, &bytes), static_cast<DWORD>(ERROR_ILLEGAL_ELEMENT_ADDRESS));
    EXPECT_EQ(ErrorFor(h, STATUS_REQUEST_ABORTED, &ok, &bytes), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(sim::win32::DosErrorFromNtStatus(STATUS_DATATYPE_MISALIGNMENT), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(sim::win32::DosErrorFromNtStatus(STATUS_TIMEOUT), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(ErrorFor(h, STATUS_SUCCESS, &ok, &bytes), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(sim::win32::DosErrorFromNtStatus(static_cast<NTSTATUS>(0xC0DE0001)),
              static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    CloseHandle(h);
}

TEST_F(DeviceFiles, AReadThatHitsAFilemarkReturnsTheDataBeforeIt) {
    HANDLE h = Open();
    auto* buffer = static_cast<unsigned char*>(process_->alloc(256));
    DWORD bytes = 0;
    ASSERT_TRUE(ReadFile(h, buffer, 50, &bytes, nullptr));
    EXPECT_EQ(bytes, 50u);
    EXPECT_EQ(buffer[49], 49);
    EXPECT_FALSE(ReadFile(h, buffer, 200, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(bytes, 100u);
    EXPECT_TRUE(WriteFile(h, buffer, 64, &bytes, nullptr));
    EXPECT_EQ(bytes, 64u);
    EXPECT_FALSE(WriteFile(h, buffer, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bytes, 0u);
    process_->free(buffer);
    CloseHandle(h);
}

TEST_F(DeviceFiles, OpeningAndClosingFailuresSetTheLastError) {
    EXPECT_EQ(CreateFileA("\\\\.\\Tape99", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileA("\\\\.\\VkTestDev", GENERIC_READ, 0, nullptr, 42, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE h = CreateFileA("\\\\.\\VkTestDev", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(process_->openHandleCount(), 1u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceFiles, LastErrorBelongsToEachThread) {
    SetLastError(ERROR_BUSY);
    DWORD seen = 1;
    std::thread([&] { seen = GetLastError(); }).join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
}

TEST_F(DeviceFiles, CallsFromAThreadOutsideAnyProcessAreReported) {
    HANDLE result = nullptr;
    std::thread([&] {
        result = CreateFileW(W(u"\\\\.\\VkTestDev"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }).join();
    EXPECT_EQ(result, INVALID_HANDLE_VALUE);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("not in a simulated process"), std::string::npos);
}

}  // namespace
