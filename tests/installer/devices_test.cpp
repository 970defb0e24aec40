// Device work: the root bus devices, binding to attached drives and changers, removal of earlier
// devices (what -c and -t take away), OEM INF and driver file removal, the package check.
#include "installer_fixture.h"

using fakemachine::GetFile;
using fakemachine::PutFile;

namespace {

TEST_F(InstallerTest, InstallationCreatesBothBusesAndBindsAttachedDevices)
{
    AttachDevice("TapeDrive", kVirtualTapeId);
    AttachDevice("MediumChanger", kVirtualLibraryId);
    RunResult r = Install({"-s", "-d"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(LiveDevices("root\\vorkacbus"), 1);
    EXPECT_EQ(LiveDevices("root\\vorkatbus"), 1);
    EXPECT_EQ(M().reenumerations, 1);
    EXPECT_TRUE(Contains(r.out, "Successfully installed Changer Bus Enumerator"));
    EXPECT_TRUE(Contains(r.out, "Successfully installed Tape Bus Enumerator"));
    // Every row of both tables is offered, and the attached devices now carry Vorka's driver.
    EXPECT_EQ(M().updateDriverCalls.size(), 2u + 14u + 63u);
    EXPECT_EQ(M().devices[0].driverValues["ProviderName"], "Vorka Corporation");
    EXPECT_EQ(M().devices[1].driverValues["ProviderName"], "Vorka Corporation");
}

TEST_F(InstallerTest, SecondRunDoesNotAddASecondBusDevice)
{
    // -t skips the removal of earlier devices, so the first run's tape bus is still there.
    ASSERT_EQ(Install({"-s"}).result, 0);
    ASSERT_EQ(Install({"-s", "-t"}).result, 0);
    EXPECT_EQ(LiveDevices("root\\vorkatbus"), 1);
    ASSERT_EQ(Install({"-s"}).result, 0);
    EXPECT_EQ(LiveDevices("root\\vorkacbus"), 1);
    EXPECT_EQ(LiveDevices("root\\vorkatbus"), 1);
}

TEST_F(InstallerTest, FailedBusDriverInstallationLeavesNoDeviceBehind)
{
    M().updateDriverErrors["root\\vorkacbus"] = 5; // ERROR_ACCESS_DENIED
    RunResult r = Install({"-s", "-d"});
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "Failed to install virtual changer bus"));
    EXPECT_EQ(LiveDevices("root\\vorkacbus"), 0);
    // Steps 10 to 15 do not run.
    EXPECT_FALSE(BoundTried("root\\vorkatbus"));
    EXPECT_EQ(M().reenumerations, 0);
    // The service keys stay: only a missing file means a pending uninstallation.
    EXPECT_TRUE(fakemachine::KeyExists("System\\CurrentControlSet\\Services\\vorkatape"));
}

TEST_F(InstallerTest, BusInstallationFileNotFoundCleansUpKeysAndFiles)
{
    PutFile("C:\\Windows\\System32\\drivers\\vorkatbus.sys", "MZ");
    M().updateDriverErrors["root\\vorkatbus"] = 2; // ERROR_FILE_NOT_FOUND
    RunResult r = Install({"-s", "-t"});
    EXPECT_EQ(r.result, -1);
    ASSERT_FALSE(M().messageBoxes.empty());
    EXPECT_EQ(M().messageBoxes[0].text, "Failed to install A reboot might be pending to finish a previous uninstallation");
    EXPECT_FALSE(fakemachine::KeyExists("System\\CurrentControlSet\\Services\\vorkatape"));
    EXPECT_FALSE(GetFile("C:\\Windows\\System32\\drivers\\vorkatbus.sys"));
    EXPECT_EQ(LiveDevices("root\\vorkatbus"), 0);
}

TEST_F(InstallerTest, ChangerOnlyInstallationRemovesOnlyChangerDevices)
{
    InstalledDevice("System", "root\\vorkatbus", "Vorka Corporation", "oem1.inf");
    InstalledDevice("System", "root\\vorkacbus", "Vorka Corporation", "oem2.inf");
    InstalledDevice("TapeDrive", kVirtualTapeId, "Vorka Corporation", "oem3.inf");
    InstalledDevice("MediumChanger", kVirtualLibraryId, "Vorka Corporation", "oem4.inf");
    RunResult r = Install({"-s", "-c"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_FALSE(M().devices[0].removed); // the tape bus and its drives keep working
    EXPECT_FALSE(M().devices[2].removed);
    EXPECT_TRUE(M().devices[1].removed);
    EXPECT_TRUE(M().devices[3].removed);
    EXPECT_FALSE(BoundTried(kVirtualTapeId));
}

TEST_F(InstallerTest, TapeOnlyInstallationRemovesEarlierTapeDevicesAndLeavesTheChangers)
{
    InstalledDevice("MediumChanger", kVirtualLibraryId, "Vorka Corporation", "oem4.inf");
    InstalledDevice("TapeDrive", kVirtualTapeId, "Vorka Corporation", "oem3.inf");
    ASSERT_EQ(Install({"-s", "-t"}).result, 0);
    EXPECT_FALSE(M().devices[0].removed);
    EXPECT_TRUE(M().devices[1].removed);
    EXPECT_EQ(LiveDevices("root\\vorkacbus"), 0);
}

TEST_F(InstallerTest, RemovalTakesVorkaDevicesAndTheirOemInfsOnly)
{
    InstalledDevice("TapeDrive", kVirtualTapeId, "Vorka Corporation", "oem3.inf");
    InstalledDevice("TapeDrive", "SCSI\\SequentialOTHERCO_SOMETAPE________", "Other Company", "oem5.inf");
    InstalledDevice("System", "root\\vorkatbus", "VORKA CORPORATION", "oem1.inf");
    RunResult r = Uninstall({"-s"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_TRUE(M().devices[0].removed);
    EXPECT_FALSE(M().devices[1].removed);
    EXPECT_TRUE(M().devices[2].removed);
    // The drive's path device goes before the bus its filter consults.
    EXPECT_EQ(M().uninstalledOemInfs, (std::vector<std::string>{"oem3.inf", "oem1.inf"}));
    EXPECT_TRUE(M().oemInfs.count("oem5.inf"));
    EXPECT_TRUE(Contains(r.out, "Uninstalling: device " + std::string(kVirtualTapeId) + "..."));
}

TEST_F(InstallerTest, ExcludedDevicesStayInstalledThoughWindowsStoresTheirIdInLowerCase)
{
    InstalledDevice("TapeDrive", kVirtualTapeId, "Vorka Corporation", "oem3.inf");
    PutFile("C:\\VorkaPkg\\exclude.txt", "VIRTUAL_TAPE\n");
    ASSERT_EQ(Install({"-s", "-e"}).result, 0);
    EXPECT_FALSE(M().devices[0].removed);
    EXPECT_FALSE(BoundTried(kVirtualTapeId));
}

TEST_F(InstallerTest, UnreadableMatchingDeviceIdFailsTheRemovalStep)
{
    InstalledDevice("TapeDrive", kVirtualTapeId, "Vorka Corporation", "oem3.inf");
    M().devices[0].driverValues.erase("MatchingDeviceId");
    RunResult r = Install({"-s", "-d"});
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "Failed to uninstall devices"));
    EXPECT_TRUE(Contains(r.err, "Reboot pending from uninstall"));
    EXPECT_EQ(LiveDevices("root\\vorkacbus"), 0);
}

TEST_F(InstallerTest, DriverFilesAreDeletedFromTheRealSystemDirectory)
{
    M().systemDir = "D:\\WinNT\\System32";
    for (const char *sys : {"vorkatbus", "vorkatflt", "vorkatape"})
        PutFile(M().systemDir + "\\drivers\\" + sys + ".sys", "MZ");
    PutFile("C:\\Windows\\System32\\drivers\\vorkacbus.sys", "MZ"); // not this system's
    RunResult r = Uninstall({"-s", "-v:3"});
    ASSERT_EQ(r.result, 0);
    EXPECT_FALSE(GetFile("D:\\WinNT\\System32\\drivers\\vorkatbus.sys"));
    EXPECT_FALSE(GetFile("D:\\WinNT\\System32\\drivers\\vorkatape.sys"));
    EXPECT_TRUE(GetFile("C:\\Windows\\System32\\drivers\\vorkacbus.sys"));
    EXPECT_TRUE(Contains(r.out, "Successfully removed: D:\\WinNT\\System32\\drivers\\vorkatflt.sys"));
    EXPECT_TRUE(Contains(r.out, "Already removed: D:\\WinNT\\System32\\drivers\\vorkachgr.sys"));
}

TEST_F(InstallerTest, RemovalWithFilesAlreadyGoneSucceeds)
{
    RunResult r = Uninstall({"-s", "-v:3"});
    ASSERT_EQ(r.result, 0);
    size_t n = 0;
    for (size_t p = r.out.find("Already removed: "); p != std::string::npos; p = r.out.find("Already removed: ", p + 1))
        ++n;
    EXPECT_EQ(n, 6u);
}

TEST_F(InstallerTest, PackageWithoutTheTapeInfFailsEvenForChangersOnly)
{
    M().files.erase(fakemachine::Lower("C:\\VorkaPkg\\drivers\\reelbasf.inf"));
    RunResult r = Install({"-s", "-c", "-d"});
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "Could not find: C:\\VorkaPkg\\drivers\\reelbasf.inf"));
    EXPECT_TRUE(Contains(r.err, "Failed to locate all required driver sys files"));
    EXPECT_FALSE(fakemachine::KeyExists("System\\CurrentControlSet\\Services\\vorkatape"));
}

TEST_F(InstallerTest, DisableRsmStopsTheServiceAndNeverFails)
{
    RunResult r = Install({"-s", "-r"});
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(Contains(r.out, "Attempting to stop the RSM service..."));
    EXPECT_EQ(M().serviceCommands, (std::vector<std::string>{"open ntmssvc", "config disabled", "stop"}));
}

TEST_F(InstallerTest, CheckedDriversComeFromTheCheckedFolder)
{
    PutFile("C:\\VorkaPkg\\drivers\\checked\\vorkatbus.sys", "MZ");
    PutFile("C:\\VorkaPkg\\drivers\\vorkatbus.cat", "catalog");
    PutFile("C:\\VorkaPkg\\drivers\\notes.INF", "not copied: the extension check is exact");
    RunResult r = Install({"-s", "-x"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_TRUE(GetFile("C:\\VorkaPkg\\drivers\\checked\\reelbasf.inf"));
    EXPECT_EQ(GetFile("C:\\VorkaPkg\\drivers\\checked\\vorkatbus.cat"), "catalog");
    EXPECT_FALSE(GetFile("C:\\VorkaPkg\\drivers\\checked\\notes.INF"));
    EXPECT_EQ(GetFile("C:\\VorkaPkg\\drivers\\checked\\armbasef.inf"), GetFile("C:\\VorkaPkg\\drivers\\armbasef.inf"));
}

} // namespace
