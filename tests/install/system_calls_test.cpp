// The installer's other system calls on the simulated machine: files on the simulated disk
// and each process's current directory, message boxes and shutdown requests (recorded for
// the test), the shutdown privilege, ExitProcess, the Windows edition check and the service
// control manager, each with the errors Windows gives.
#include <cstring>
#include <string>

#include "install_machine.h"
#include "sim/drivers.h"
#include "sim/registry.h"
#include "shlwapi.h"
#include "windows.h"
#include "winsvc.h"

namespace installtest {
namespace {

using SystemCalls = InstallMachine;

TEST_F(SystemCalls, FilesAreCopiedDeletedAndFoundOnTheSimulatedDisk) {
    auto& disk = sim::win32::Disk::Get();
    disk.writeFile("C:\\pkg\\drivers\\vorkatape.sys", "image");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\pkg"));
    EXPECT_TRUE(PathFileExistsA("drivers\\VORKATAPE.SYS"));
    EXPECT_TRUE(CopyFileA("drivers\\vorkatape.sys", "C:\\Windows\\System32\\drivers\\vorkatape.sys", TRUE));
    EXPECT_EQ(disk.readFile("c:/windows/system32/drivers/vorkatape.sys"), "image");
    EXPECT_FALSE(CopyFileA("drivers\\vorkatape.sys", "C:\\Windows\\System32\\drivers\\vorkatape.sys", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_FALSE(CopyFileA("drivers\\none.sys", "C:\\x.sys", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileA("drivers\\vorkatape.sys", "C:\\no\\such\\x.sys", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // A read-only file is deleted only after its attributes are reset.
    ASSERT_TRUE(SetFileAttributesA("C:\\Windows\\System32\\drivers\\vorkatape.sys", FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA("C:\\Windows\\System32\\drivers\\vorkatape.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesA("C:\\Windows\\System32\\drivers\\vorkatape.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\Windows\\System32\\drivers\\vorkatape.sys"));
    EXPECT_FALSE(DeleteFileA("C:\\Windows\\System32\\drivers\\vorkatape.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\Windows\\System32\\drivers\\vorkatape.sys"), INVALID_FILE_ATTRIBUTES);

    // A directory listing, as the checked-build copy makes it.
    disk.writeFile("C:\\pkg\\drivers\\a.inf", "");
    disk.writeFile("C:\\pkg\\drivers\\a.cat", "");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("drivers\\*.inf", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.inf");
    EXPECT_FALSE(FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(FindFirstFileA("drivers\\*.txt", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SystemCalls, CurrentAndSystemDirectoriesFollowWindowsSizeRules) {
    char buffer[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 3u);
    EXPECT_STREQ(buffer, "C:\\");
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\missing"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A directory deeper than MAX_PATH is fine; a short buffer gets the size it needs.
    std::string deep = "C:\\pkg";
    while (deep.size() < 600) deep += "\\folder";
    sim::win32::Disk::Get().makeDirectories(deep);
    ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str()));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), deep.size() + 1);
    char big[1024];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof big, big), deep.size());
    EXPECT_EQ(std::string(big), deep);
    // Each process has its own.
    sim::Process& other = Machine().processes().create("other.exe");
    {
        sim::win32::CallerScope scope(other);
        EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 3u);
    }
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), std::strlen("C:\\Windows\\System32"));
    EXPECT_STREQ(buffer, "C:\\Windows\\System32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 5), std::strlen("C:\\Windows\\System32") + 1);
}

TEST_F(SystemCalls, MessageBoxesAndExitAreRecordedForTheTest) {
    EXPECT_EQ(MessageBoxA(nullptr, "Successfully installed drivers.", "Installer result",
                          MB_OK | MB_TOPMOST | MB_ICONINFORMATION),
              IDOK);
    auto boxes = sim::win32::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Installer result");
    EXPECT_EQ(boxes[0].text, "Successfully installed drivers.");
    EXPECT_EQ(boxes[0].type, static_cast<unsigned>(MB_OK | MB_TOPMOST | MB_ICONINFORMATION));
    unsigned code = 0;
    try {
        ExitProcess(1);
    } catch (const sim::win32::ProcessExit& exit) {
        code = exit.exitCode + 100;
    }
    EXPECT_EQ(code, 101u);
}

TEST_F(SystemCalls, RestartNeedsTheShutdownPrivilegeEnabled) {
    char message[] = "User requested automatic reboot.";
    EXPECT_EQ(InitiateShutdownA(nullptr, message, 30, SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART,
                                SHTDN_REASON_MINOR_HARDWARE_DRIVER),
              static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid));
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(InitiateShutdownA(nullptr, message, 30, SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART,
                                SHTDN_REASON_MINOR_HARDWARE_DRIVER),
              static_cast<DWORD>(ERROR_SUCCESS));
    auto requests = sim::win32::ShutdownRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].message, message);
    EXPECT_EQ(requests[0].gracePeriod, 30u);
    EXPECT_EQ(requests[0].flags, static_cast<unsigned>(SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART));
    EXPECT_EQ(requests[0].reason, 13u);
    // One scheduled restart at a time.
    EXPECT_EQ(InitiateShutdownA(nullptr, message, 0, SHUTDOWN_RESTART, 0),
              static_cast<DWORD>(ERROR_SHUTDOWN_IS_SCHEDULED));
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &privileges.Privileges[0].Luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
}

TEST_F(SystemCalls, EditionCheckReadsTheProductType) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.wProductType = VER_NT_WORKSTATION;
    const DWORDLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask)) << "a server is no workstation";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
    const std::u16string options = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ProductOptions";
    Machine().registry().createKeyPath(options);
    Machine().registry().setString(options, u"ProductType", u"WinNT");
    EXPECT_TRUE(VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask));
}

TEST_F(SystemCalls, ServiceControlConfiguresAndStopsDrivers) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceA(manager, "ntmssvc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    SC_HANDLE tape = OpenServiceA(manager, "vorkatape", SERVICE_ALL_ACCESS);
    ASSERT_NE(tape, nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(tape, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(ChangeServiceConfigA(tape, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Machine().registry().dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatape",
                                         u"Start"),
              4u);
    // A driver with devices cannot be stopped.
    EXPECT_FALSE(ControlService(tape, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    SC_HANDLE readOnly = OpenServiceA(manager, "vorkatape", SERVICE_QUERY_STATUS);
    EXPECT_FALSE(ChangeServiceConfigA(readOnly, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseServiceHandle(readOnly));
    EXPECT_TRUE(CloseServiceHandle(tape));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(CloseServiceHandle(manager));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace installtest
