// The registry as the installer sees it through advapi32-style calls.
#include <cstring>
#include <optional>
#include <string>

#include "machine_fixture.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

class RegistryApi : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = &machine().processes().create("installer.exe");
        scope_.emplace(*process_);
    }
    void TearDown() override {
        scope_.reset();
        MachineTest::TearDown();
    }
    DWORD Dword(HKEY key, const char* name) {
        DWORD value = 0, size = sizeof value, type = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        return value;
    }
    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
};

constexpr char kTapeParams[] = "System\\CurrentControlSet\\Services\\vorkatape\\Parameters";

TEST_F(RegistryApi, CreatingAParametersKeyCreatesTheWholePathAndSetsDwords) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTapeParams, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    DWORD one = 1, zero = 0;
    EXPECT_EQ(RegSetValueExA(key, "ExclusiveAccess", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "ReserveType", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key, "ExclusiveAccess"), 1u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    // The kernel sees the same machine registry.
    EXPECT_EQ(registry().dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatape\\Parameters",
                               u"ReserveType"),
              0u);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTapeParams, 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegSetValueExA(key, "ExclusiveAccess", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4),
              ERROR_ACCESS_DENIED);  // opened for reading only
    RegCloseKey(key);
}

TEST_F(RegistryApi, QueryingFollowsTheSizeProtocol) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(u"Software\\Vorka"), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char16_t path[] = u"C:\\Program Files\\Vorka";
    ASSERT_EQ(RegSetValueExW(key, reinterpret_cast<LPCWSTR>(u"InstallDir"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(path), sizeof path),
              ERROR_SUCCESS);
    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(u"InstallDir"), nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof path);
    BYTE small[8];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(u"InstallDir"), nullptr, &type, small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof path);
    char narrow[64];
    size = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(narrow, "C:\\Program Files\\Vorka");  // the A form converts strings
    EXPECT_EQ(size, 23u);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

    const char ansi[] = "debug.txt";
    ASSERT_EQ(RegSetValueExA(key, "LogFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(ansi), sizeof ansi),
              ERROR_SUCCESS);
    EXPECT_EQ(registry().string(u"\\Registry\\Machine\\Software\\Vorka", u"LogFile"), u"debug.txt");
    RegCloseKey(key);
}

TEST_F(RegistryApi, RemovalDeletesEachServiceTreeAndToleratesMissingOnes) {
    for (const char* service : {"vorkatape", "vorkatbus"}) {
        HKEY key = nullptr;
        std::string path = std::string("System\\CurrentControlSet\\Services\\") + service + "\\Parameters";
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY services = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\", 0,
                            DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &services),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(services, "vorkatape"), ERROR_ACCESS_DENIED);  // it still has Parameters
    EXPECT_EQ(RegDeleteTreeA(services, "vorkatape"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(services, "vorkatape"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(services, "vorkachgr2k16"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(registry().keyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus"));
    EXPECT_FALSE(registry().keyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatape"));

    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ, &readOnly),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(readOnly, "vorkatbus"), ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);
    RegCloseKey(services);
}

TEST_F(RegistryApi, EnumeratingSubkeysReportsShortBuffersAndTheEnd) {
    for (const char* name : {"Beta", "alpha", "Gamma"}) {
        HKEY key = nullptr;
        std::string path = std::string("Software\\Vorka\\Drives\\") + name;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY drives = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vorka\\Drives", 0, KEY_READ, &drives), ERROR_SUCCESS);
    std::vector<std::string> names;
    char name[16];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        LSTATUS e = RegEnumKeyExA(drives, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        EXPECT_EQ(length, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "Gamma"}));
    DWORD tooShort = 5;  // "alpha" and its terminator need 6
    EXPECT_EQ(RegEnumKeyExA(drives, 0, name, &tooShort, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(drives);
}

TEST_F(RegistryApi, AnExitingProcessLosesItsOpenKeys) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(registry().openHandleCount(process_), 1u);
    // A key handle of this process is not valid in another one.
    sim::Process& other = machine().processes().create("other.exe");
    {
        sim::win32::CallerScope otherScope(other);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    }
    scope_.reset();
    machine().processes().exit(*process_);
    EXPECT_EQ(registry().openHandleCount(process_), 0u);
}

}  // namespace
