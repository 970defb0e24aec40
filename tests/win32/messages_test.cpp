// What a console program prints for the errors the tape API returns (FormatMessage with the
// system's texts), and the version and time services such programs use.
#include <cstring>
#include <string>

#include "machine_fixture.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "ntstatus.h"
#include "windows.h"

namespace {

class ConsoleProgram : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = &machine().processes().create("backup.exe");
        scope_.emplace(*process_);
    }
    void TearDown() override {
        scope_.reset();
        MachineTest::TearDown();
    }
    // The text a program gets for `error` the usual way: an allocated buffer, no inserts.
    std::string SystemText(DWORD error, DWORD flags = 0) {
        LPSTR text = nullptr;
        DWORD length = FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                         FORMAT_MESSAGE_IGNORE_INSERTS | flags,
                                     nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                     reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (length == 0) return "<error " + std::to_string(GetLastError()) + ">";
        std::string result(text, length);
        EXPECT_EQ(std::strlen(text), length);
        EXPECT_EQ(LocalFree(text), nullptr);
        return result;
    }
    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
};

TEST_F(ConsoleProgram, TheTapeApisErrorsReadAsWindowsWordsThem) {
    EXPECT_EQ(SystemText(NO_ERROR), "The operation completed successfully.\r\n");
    EXPECT_EQ(SystemText(ERROR_INVALID_HANDLE), "The handle is invalid.\r\n");
    EXPECT_EQ(SystemText(ERROR_INVALID_PARAMETER), "The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(ERROR_NOACCESS), "Invalid access to memory location.\r\n");
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
    EXPECT_EQ(SystemText(ERROR_FILEMARK_DETECTED), "A tape access reached a filemark.\r\n");
    EXPECT_EQ(SystemText(ERROR_END_OF_MEDIA), "The physical end of the tape has been reached.\r\n");
    EXPECT_EQ(SystemText(ERROR_NO_DATA_DETECTED), "No more data is on the tape.\r\n");
    EXPECT_EQ(SystemText(ERROR_MEDIA_CHANGED), "The media in the drive may have changed.\r\n");
    EXPECT_EQ(SystemText(ERROR_NOT_READY), "The device is not ready.\r\n");
    EXPECT_EQ(SystemText(ERROR_MORE_DATA), "More data is available.\r\n");
    // The same error as an HRESULT, and a one-line form without the line end.
    EXPECT_EQ(SystemText(0x80070006), "The handle is invalid.\r\n");
    EXPECT_EQ(SystemText(ERROR_NOT_READY, FORMAT_MESSAGE_MAX_WIDTH_MASK), "The device is not ready. ");
}

TEST_F(ConsoleProgram, EveryErrorTheLayerReturnsHasAText) {
    // The Win32 errors the NT status translation can produce.
    for (NTSTATUS status : {STATUS_INVALID_HANDLE, STATUS_ACCESS_VIOLATION, STATUS_FILEMARK_DETECTED,
                            STATUS_END_OF_MEDIA, STATUS_NO_DATA_DETECTED, STATUS_MEDIA_CHANGED,
                            STATUS_NO_MEDIA_IN_DEVICE, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED,
                            STATUS_IO_DEVICE_ERROR, STATUS_INVALID_DEVICE_REQUEST, STATUS_BUS_RESET,
                            STATUS_SETMARK_DETECTED, STATUS_BEGINNING_OF_MEDIA, STATUS_INVALID_BLOCK_LENGTH,
                            STATUS_EOM_OVERFLOW, STATUS_NO_MEDIA, STATUS_DEVICE_REMOVED,
                            STATUS_MEDIA_WRITE_PROTECTED, STATUS_IO_TIMEOUT, STATUS_CANCELLED,
                            STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_BUSY, STATUS_NOT_SUPPORTED,
                            STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SHARING_VIOLATION, STATUS_BUFFER_TOO_SMALL,
                            STATUS_DEVICE_DATA_ERROR, STATUS_ILLEGAL_ELEMENT_ADDRESS, STATUS_REQUEST_ABORTED,
                            STATUS_DATATYPE_MISALIGNMENT, STATUS_TIMEOUT}) {
        const DWORD error = sim::win32::DosErrorFromNtStatus(status);
        EXPECT_EQ(SystemText(error).find("<error"), std::string::npos) << "error " << error;
    }
}

TEST_F(ConsoleProgram, AProgramsOwnBufferGetsTheTextWhenItFits) {
    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_NOT_READY, 0, small, sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char text[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_NOT_READY, 0, text, sizeof text, nullptr),
              26u);
    EXPECT_STREQ(text, "The device is not ready.\r\n");

    // The wide form.
    WCHAR wide[64];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_NOACCESS, 0, wide, 64, nullptr), 36u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"Invalid access to memory location.\r\n");
}

TEST_F(ConsoleProgram, UnknownMessagesAndLanguagesAreReportedAndInsertsAreFilledOrKept) {
    char text[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x7777, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_NOT_READY, MAKELANGID(0x07, 0x01), text,
                             sizeof text, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));

    // The one system text with inserts: kept with IGNORE_INSERTS, filled from an argument array.
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_MR_MID_NOT_FOUND, 0, text, sizeof text, nullptr),
              0u);
    EXPECT_STREQ(text, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n");
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("7777"), reinterpret_cast<DWORD_PTR>("System")};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                             ERROR_MR_MID_NOT_FOUND, 0, text, sizeof text,
                             reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args))),
              0u);
    EXPECT_STREQ(text, "The system cannot find message text for message number 0x7777 in the message file for System.\r\n");
    // Inserts with no arguments to fill them.
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, text, sizeof text,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A program's own text with a numeric insert and escapes.
    const DWORD_PTR number[] = {42};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "drive %1!u!%t100%%%n",
                             0, 0, text, sizeof text, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(number))),
              0u);
    EXPECT_STREQ(text, "drive 42\t100%\r\n");
}

TEST_F(ConsoleProgram, LocalFreeTakesOnlyWhatLocalAllocGave) {
    HLOCAL block = LocalAlloc(LPTR, 100);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(process_->isValidRange(block, 100));  // a buffer the program may hand to the kernel
    EXPECT_EQ(static_cast<char*>(block)[99], 0);
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(LocalFree(block), block);  // twice
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(ConsoleProgram, VersionAndClocksAnswerAsWindowsDoes) {
    OSVERSIONINFO version{};
    EXPECT_FALSE(GetVersionEx(&version));  // the size field is not set
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionEx(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(version.dwMajorVersion, 6u);
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(ex.wProductType, VER_NT_SERVER);

    LARGE_INTEGER frequency, before, after;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_GT(frequency.QuadPart, 0);
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    const DWORD ticks = GetTickCount();
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_GE((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, 20);
    EXPECT_GE(GetTickCount() - ticks, 15u);  // the tick count moves in whole ticks
}

}  // namespace
