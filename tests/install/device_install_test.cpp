// The installer's device work against the simulated machine: a root bus device created and
// registered through SetupAPI really loads the bus driver; binding the tape INF to the drive's
// hardware ID really rebuilds both path stacks with the path filter, so \\.\Tape0 appears;
// enumerating the tape class, reading the driver key, removing the devices and the OEM INF
// really takes the package back off the machine. Each failure carries Windows' error code.
#include <cstring>
#include <string>

#include "cfgmgr32.h"
#include "install_machine.h"
#include "newdev.h"
#include "setupapi.h"
#include "shlwapi.h"
#include "sim/drivers.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "windows.h"

namespace installtest {
namespace {

constexpr char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

using DeviceInstall = InstallMachine;

std::size_t StackDepth(sim::Machine& machine, const std::u16string& instance) {
    auto node = machine.pnp().find(instance);
    return node ? node->stack.size() : 0;
}

// How many \\.\Tape<n> devices a program can open: one per path, and one per drive once the
// tape bus presents it.
int TapeDevices() {
    int count = 0;
    for (int n = 0; n < 8; ++n) {
        const std::string name = "\\\\.\\Tape" + std::to_string(n);
        // A device whose previous close is still on its way to the drive refuses the open for a moment.
        HANDLE h = INVALID_HANDLE_VALUE;
        for (int i = 0; i < 1000; ++i) {
            h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
            Sleep(1);
        }
        if (h == INVALID_HANDLE_VALUE) continue;
        CloseHandle(h);
        ++count;
    }
    return count;
}

TEST_F(DeviceInstall, RootBusDeviceLoadsTheBusDriverFromItsInf) {
    WritePackage();
    ASSERT_FALSE(Loaded(u"vorkatbus"));
    InstallTapeBus();

    EXPECT_TRUE(Loaded(u"vorkatbus"));
    auto bus = Machine().pnp().find(u"ROOT\\SYSTEM\\0000");
    ASSERT_TRUE(bus.has_value());
    EXPECT_EQ(bus->state, sim::DevNodeState::Started);
    EXPECT_EQ(bus->service, u"vorkatbus");
    // The INF's service, file and event source are on the machine.
    auto& reg = Machine().registry();
    EXPECT_EQ(reg.dword(std::u16string(kServices) + u"vorkatbus", u"Start"), 1u);
    EXPECT_EQ(reg.string(std::u16string(kServices) + u"vorkatbus", u"ImagePath"),
              u"\\SystemRoot\\System32\\drivers\\vorkatbus.sys");
    EXPECT_EQ(reg.dword(std::u16string(kServices) + u"EventLog\\System\\vorkatbus", u"TypesSupported"), 7u);
    EXPECT_EQ(reg.string(std::u16string(kServices) + u"EventLog\\System\\vorkatbus", u"EventMessageFile"),
              u"%SystemRoot%\\System32\\drivers\\vorkatbus.sys");
    EXPECT_TRUE(PathFileExistsA("C:\\Windows\\System32\\drivers\\vorkatbus.sys"));
    EXPECT_TRUE(PathFileExistsA("C:\\Windows\\INF\\oem0.inf"));
    // The driver key an uninstaller reads: lower-case matching ID, provider, INF.
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    bool found = false;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        char id[MAX_DEVICE_ID_LEN];
        ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr));
        if (std::string(id) != "ROOT\\SYSTEM\\0000") continue;
        found = true;
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
        ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
        char text[256];
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "MatchingDeviceId", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
        EXPECT_STREQ(text, "root\\vorkatbus");
        size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "ProviderName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
        EXPECT_STREQ(text, "Vorka Corporation");
        size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "InfPath", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
        EXPECT_STREQ(text, "oem0.inf");
        RegCloseKey(key);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(found);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceInstall, RegisteringARootDeviceWithoutDriverLeavesItUnconfigured) {
    GUID system{};
    DWORD count = 0;
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("System", &system, 1, &count));
    ASSERT_EQ(count, 1u);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "System", &system, nullptr, nullptr, DICD_GENERATE_ID, &data));
    BYTE id[200] = {};
    std::memcpy(id, "root\\vorkatbus", 14);
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, id, sizeof id));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINST_ALREADY_EXISTS));

    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(status & DN_HAS_PROBLEM);
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_NOT_CONFIGURED));
    EXPECT_FALSE(Loaded(u"vorkatbus"));
    // The hardware ID was stored as the multi-string the 200-byte buffer held.
    EXPECT_EQ(Machine().registry().multiString(std::u16string(kEnum) + u"ROOT\\SYSTEM\\0000", u"HardwareID"),
              std::vector<std::u16string>{u"root\\vorkatbus"});
    // Removing it (DIF_REMOVE) takes the devnode and its Enum key.
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
    EXPECT_FALSE(Machine().pnp().find(u"ROOT\\SYSTEM\\0000").has_value());
    EXPECT_FALSE(Machine().registry().keyExists(std::u16string(kEnum) + u"ROOT\\SYSTEM\\0000"));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceInstall, BindingTheTapeInfRebuildsEveryPathWithTheFilterAndTheVirtualDriveAppears) {
    WritePackage();
    InstallTapeBus();
    const auto paths = PathDevices();
    ASSERT_EQ(paths.size(), 2u);
    for (auto& path : paths) EXPECT_EQ(StackDepth(Machine(), path), 2u) << "PDO and vorkatape only";
    EXPECT_EQ(TapeDevices(), 2);

    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf",
                                                   INSTALLFLAG_FORCE, &reboot))
        << GetLastError();
    EXPECT_FALSE(reboot);
    for (auto& path : paths) {
        auto node = Machine().pnp().find(path);
        ASSERT_TRUE(node.has_value());
        EXPECT_EQ(node->state, sim::DevNodeState::Started);
        EXPECT_EQ(node->stack.size(), 3u) << "PDO, vorkatape, vorkatflt";
        EXPECT_EQ(Machine().registry().multiString(std::u16string(kEnum) + path, u"UpperFilters"),
                  std::vector<std::u16string>{u"vorkatflt"});
    }
    EXPECT_TRUE(Loaded(u"vorkatflt"));
    EXPECT_EQ(TapeDevices(), 3);
    EXPECT_TRUE(PathFileExistsA("C:\\Windows\\System32\\drivers\\vorkatflt.sys"));

    // The same INF again: the same OEM name; without INSTALLFLAG_FORCE nothing is better.
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf", 0,
                                                    nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(PathFileExistsA("C:\\Windows\\INF\\oem2.inf"));
}

TEST_F(DeviceInstall, UpdateDriverReportsWindowsErrorsAndChangesNothingOnFailure) {
    WritePackage();
    // No device with the ID (a supported model that is not attached).
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "SCSI\\SequentialOTHER___MODEL___________",
                                                    "C:\\pkg\\drivers\\reelbasf.inf", INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    // The INF does not name the device.
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\vorkatbus.inf",
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
    // No INF.
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\missing.inf",
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf",
                                                    0x100, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    // A package without the filter image: the file copy fails and the paths keep their stacks.
    ASSERT_TRUE(DeleteFileA("C:\\pkg\\drivers\\vorkatflt.sys"));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf",
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (auto& path : PathDevices()) EXPECT_EQ(StackDepth(Machine(), path), 2u);
    EXPECT_FALSE(Loaded(u"vorkatflt"));
}

TEST_F(DeviceInstall, UninstallFindsVorkaTapeDevicesByClassRemovesThemAndTheirInf) {
    WritePackage();
    InstallTapeBus();
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf",
                                                   INSTALLFLAG_FORCE, nullptr));
    GUID tape{};
    DWORD count = 0;
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("TapeDrive", &tape, 1, &count));
    ASSERT_EQ(count, 1u);
    HDEVINFO set = SetupDiGetClassDevsA(&tape, nullptr, nullptr, DIGCF_PROFILE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    std::string inf;
    DWORD removed = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
        ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
        char text[256];
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "MatchingDeviceId", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
        EXPECT_STREQ(text, "scsi\\sequentialvorka___virtual_tape____");
        size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, "InfPath", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
        inf = text;
        RegCloseKey(key);
        ASSERT_TRUE(SetupDiRemoveDevice(set, &data)) << GetLastError();
        ++removed;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(removed, 2u);
    EXPECT_EQ(inf, "oem1.inf");
    EXPECT_TRUE(PathDevices().empty());
    SetupDiDestroyDeviceInfoList(set);

    ASSERT_TRUE(SetupUninstallOEMInfA(inf.c_str(), SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(PathFileExistsA("C:\\Windows\\INF\\oem1.inf"));
    EXPECT_FALSE(SetupUninstallOEMInfA(inf.c_str(), SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A rescan finds the paths again; without the package's INF they get the base driver alone.
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(CM_Reenumerate_DevNode(root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    const auto paths = PathDevices();
    ASSERT_EQ(paths.size(), 2u);
    for (auto& path : paths) EXPECT_EQ(StackDepth(Machine(), path), 2u);
}

TEST_F(DeviceInstall, AnInfStillInUseIsKeptUnlessForced) {
    WritePackage();
    InstallTapeBus();
    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES));
    EXPECT_FALSE(SetupUninstallOEMInfA("C:\\Windows\\INF\\oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(PathFileExistsA("C:\\Windows\\INF\\oem0.inf"));
}

TEST_F(DeviceInstall, RemovingTheRootBusUnloadsTheBusDriver) {
    WritePackage();
    InstallTapeBus();
    GUID system{};
    DWORD count = 0;
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("System", &system, 1, &count));
    HDEVINFO set = SetupDiGetClassDevsA(&system, nullptr, nullptr, DIGCF_PROFILE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    char id[MAX_DEVICE_ID_LEN];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr));
    EXPECT_STREQ(id, "ROOT\\SYSTEM\\0000");
    ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
    EXPECT_FALSE(Loaded(u"vorkatbus"));
    EXPECT_FALSE(SetupDiRemoveDevice(set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceInstall, InstalledPackageComesBackAfterReboot) {
    WritePackage();
    InstallTapeBus();
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kTapeHardwareId, "C:\\pkg\\drivers\\reelbasf.inf",
                                                   INSTALLFLAG_FORCE, nullptr));
    Reboot();
    EXPECT_TRUE(Loaded(u"vorkatbus"));
    for (auto& path : PathDevices()) EXPECT_EQ(StackDepth(Machine(), path), 3u);
    EXPECT_EQ(TapeDevices(), 3);
}

TEST_F(DeviceInstall, SetupCallsCheckTheirArguments) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    data.cbSize = 28;  // the 32-bit size
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);

    GUID guid{};
    DWORD count = 7;
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("NoSuchClass", &guid, 1, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(SetupDiGetINFClassA("C:\\pkg\\drivers\\none.inf", &guid, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    DEVINST dev = 0;
    EXPECT_EQ(CM_Locate_DevNodeA(&dev, const_cast<char*>("ROOT\\SYSTEM\\0042"), CM_LOCATE_DEVNODE_NORMAL),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeA(&dev, nullptr, 0x80), static_cast<CONFIGRET>(CR_INVALID_FLAG));
}

TEST_F(DeviceInstall, PendingDeviceInstallationIsReported) {
    EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_OBJECT_0));
    sim::win32::SetPendingDeviceInstallation(true);
    EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_TIMEOUT));
    sim::win32::SetPendingDeviceInstallation(false);
}

}  // namespace
}  // namespace installtest
