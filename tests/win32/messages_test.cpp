// What a console program prints for the errors the tape API returns (FormatMessage with the
// system's texts), and the version and time services such programs use.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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
    // The tape, changer and timeout errors of a backup program.
    EXPECT_EQ(SystemText(ERROR_INVALID_DATA), "The data is invalid.\r\n");
    EXPECT_EQ(SystemText(ERROR_DISK_FULL), "There is not enough space on the disk.\r\n");
    EXPECT_EQ(SystemText(ERROR_PARTITION_FAILURE), "Tape could not be partitioned.\r\n");
    EXPECT_EQ(SystemText(ERROR_UNABLE_TO_LOCK_MEDIA), "Unable to lock the media eject mechanism.\r\n");
    EXPECT_EQ(SystemText(ERROR_ILLEGAL_ELEMENT_ADDRESS), "The indicated element does not exist.\r\n");
    EXPECT_EQ(SystemText(ERROR_DEVICE_DOOR_OPEN), "The device has indicated that its door is open.\r\n");
    EXPECT_EQ(SystemText(ERROR_REQUEST_ABORTED), "The request was aborted.\r\n");
    EXPECT_EQ(SystemText(ERROR_TIMEOUT), "This operation returned because the timeout period expired.\r\n");
    for (DWORD error : {1107u, 1109u, 1165u, 1306u})
        EXPECT_EQ(SystemText(error).find("<error"), std::string::npos) << error;
    // A line width: the text's own line end is a space and lines break at spaces within the width.
    EXPECT_EQ(SystemText(ERROR_TIMEOUT, 20), "This operation\r\nreturned because the\r\ntimeout period\r\nexpired. ");
    EXPECT_EQ(SystemText(ERROR_NOT_READY, 40), "The device is not ready. ");
    char text[64];
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | 8, "a longword%nand more text", 0, 0, text, sizeof text,
                             nullptr),
              0u);
    EXPECT_STREQ(text, "a\r\nlongword\r\nand more\r\ntext");
}

// Every NT status named in the drivers and the simulator (drv/, sim/), with its value from the
// headers of sim/include: read from the sources, so that a status added anywhere is checked too.
std::map<std::string, ULONG> StatusesTheTreeNames() {
    namespace fs = std::filesystem;
    const fs::path root = VORKA_SOURCE_DIR;
    auto sources = [](const fs::path& dir, auto&& each) {
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const auto ext = entry.path().extension();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".c")) continue;
            std::ifstream file(entry.path());
            const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            each(entry.path(), text);
        }
    };
    std::map<std::string, ULONG> values;
    const std::regex definition(R"(#define\s+(STATUS_\w+)\s+\(\(NTSTATUS\)(0x[0-9A-Fa-f]+)L?\))");
    sources(root / "sim" / "include", [&](const fs::path&, const std::string& text) {
        for (std::sregex_iterator it(text.begin(), text.end(), definition), end; it != end; ++it)
            values[(*it)[1]] = static_cast<ULONG>(std::stoul((*it)[2], nullptr, 16));
    });
    std::map<std::string, ULONG> named;
    const std::regex use(R"(\bSTATUS_[A-Z0-9_]+\b)");
    for (const char* dir : {"drv", "sim"}) {
        sources(root / dir, [&](const fs::path& path, const std::string& text) {
            if (path.string().find("/sim/include/") != std::string::npos) return;
            for (std::sregex_iterator it(text.begin(), text.end(), use), end; it != end; ++it) {
                const auto value = values.find(it->str());
                if (value != values.end()) named.insert(*value);
            }
        });
    }
    return named;
}

TEST_F(ConsoleProgram, EveryStatusTheDriversAndTheMachineNameBecomesTheErrorWindowsGivesWithItsText) {
    const auto named = StatusesTheTreeNames();
    ASSERT_GT(named.size(), 50u) << "the sources were not found under " << VORKA_SOURCE_DIR;
    // Wait results and a crashed program's exception codes, which complete no request, and a status
    // Windows has no Win32 error for either.
    const std::set<std::string> noError = {"STATUS_WAIT_1",
                                           "STATUS_WAIT_2",
                                           "STATUS_WAIT_3",
                                           "STATUS_ILLEGAL_INSTRUCTION",
                                           "STATUS_INTEGER_DIVIDE_BY_ZERO",
                                           "STATUS_INVALID_THREAD"};
    for (const auto& [name, value] : named) {
        const DWORD error = sim::win32::DosErrorFromNtStatus(static_cast<NTSTATUS>(value));
        if (noError.count(name)) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << name;
            continue;
        }
        EXPECT_NE(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << name << " has no Win32 error";
        EXPECT_EQ(SystemText(error).find("<error"), std::string::npos) << name << ": error " << error << " has no text";
    }
    // The ones a tape or changer program meets, as Windows maps them.
    const std::map<NTSTATUS, DWORD> windows = {
        {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
        {STATUS_ILLEGAL_ELEMENT_ADDRESS, ERROR_ILLEGAL_ELEMENT_ADDRESS},
        {STATUS_REQUEST_ABORTED, ERROR_REQUEST_ABORTED},
        {STATUS_DATATYPE_MISALIGNMENT, ERROR_NOACCESS},
        {STATUS_TIMEOUT, ERROR_TIMEOUT},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_NO_MEDIA, ERROR_NO_MEDIA_IN_DRIVE},
        {STATUS_NO_MEDIA_IN_DEVICE, ERROR_NOT_READY},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    };
    for (const auto& [status, error] : windows)
        EXPECT_EQ(sim::win32::DosErrorFromNtStatus(status), error) << std::hex << status;
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
