// The front ends' command lines: usage, conflicts, verbose levels, debug and exclude files,
// silent mode, fatal exits, Windows versions, and the uninstaller's reboot options.
#include "installer_fixture.h"

using fakemachine::GetFile;
using fakemachine::PutFile;

namespace {

const std::string kServicesKey = "System\\CurrentControlSet\\Services";

TEST_F(InstallerTest, UsageIsPrintedAndNothingTouchedForBadOrHelpArguments)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"c"}, {"-h"}, {"/H"}, {"-s", "-v:12345"},
                                          {"-cd"}}) {
        RunResult r = Install(args);
        EXPECT_EQ(r.result, 0);
        EXPECT_FALSE(r.exitCode);
        EXPECT_TRUE(Contains(r.out, "USAGE:\n   install_excl.exe | install_nonexcl.exe")) << args[0];
        EXPECT_TRUE(Contains(r.out, "  x = install the checked drivers for debugging purposes\n"));
    }
    EXPECT_FALSE(fakemachine::KeyExists(kServicesKey + "\\vorkatape"));
    EXPECT_TRUE(M().messageBoxes.empty());
    EXPECT_TRUE(M().updateDriverCalls.empty());
}

TEST_F(InstallerTest, ChangerOnlyWithTapeOnlyEndsTheProcessWithExitCode1)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"-c", "-t"}, {"/T", "-C"}}) {
        RunResult r = Install(args);
        ASSERT_TRUE(r.exitCode);
        EXPECT_EQ(*r.exitCode, 1u);
        EXPECT_TRUE(Contains(r.err, "Can't set both Changer Only and Tape Only, please specify a different configuration"));
    }
    EXPECT_FALSE(fakemachine::KeyExists(kServicesKey + "\\vorkatape"));
}

TEST_F(InstallerTest, VerboseLevelChoosesWhatTheConsoleShows)
{
    // -v and -v:1: successes only; -v:2: information too; -v:3 and longer: every entry with its source.
    RunResult quiet = Install({"-s", "-v"});
    EXPECT_EQ(quiet.result, 0);
    EXPECT_TRUE(Contains(quiet.out, "Successfully installed drivers.\n"));
    EXPECT_FALSE(Contains(quiet.out, "Start time: "));

    RunResult v1 = Install({"-s", "-v:1"});
    EXPECT_FALSE(Contains(v1.out, "Start time: "));

    RunResult v2 = Install({"-s", "-v:2"});
    EXPECT_TRUE(Contains(v2.out, "Start time: "));
    EXPECT_FALSE(Contains(v2.out, "ENT: "));

    RunResult v3 = Install({"-s", "-v:3"});
    EXPECT_TRUE(Contains(v3.out, "ENT: "));
    EXPECT_TRUE(Contains(v3.out, "SUC: Installer.cpp("));

    RunResult v6 = Install({"-s", "-v:abc"});
    EXPECT_TRUE(Contains(v6.out, "ENT: "));
}

TEST_F(InstallerTest, DebugFileReceivesEveryEntryWhateverTheVerboseLevel)
{
    RunResult r = Install({"-s", "-d"});
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(Contains(r.out, "Debug flag has been set. Check log for more details:\n C:\\VorkaPkg\\debug.txt"));
    auto debug = GetFile("C:\\VorkaPkg\\debug.txt");
    ASSERT_TRUE(debug);
    EXPECT_TRUE(Contains(*debug, "ENT: options.cpp("));
    EXPECT_TRUE(Contains(*debug, "SUC: Installer.cpp("));
    EXPECT_TRUE(Contains(*debug, "Successfully installed drivers.\r\n"));
}

TEST_F(InstallerTest, MissingExcludeListEndsTheProcessWithExitCode1)
{
    RunResult r = Install({"-e"});
    ASSERT_TRUE(r.exitCode);
    EXPECT_EQ(*r.exitCode, 1u);
    EXPECT_TRUE(Contains(r.err, "Failed to open file: C:\\VorkaPkg\\exclude.txt\n\nPlease ensure the file exists"));
}

TEST_F(InstallerTest, PathsThatDoNotFitEndTheProcessWithExitCode1BeforeAnythingIsWritten)
{
    // The current directory may be 1024 characters; the composed paths hold 260.
    M().currentDir = "C:\\" + std::string(300, 'p');
    fakemachine::MakePackage(VORKA_INSTALLER_PACKAGE_SOURCE);
    RunResult withDebug = Install({"-s", "-d"});
    ASSERT_TRUE(withDebug.exitCode);
    EXPECT_EQ(*withDebug.exitCode, 1u);
    EXPECT_TRUE(Contains(withDebug.err, "Path is too long"));
    EXPECT_TRUE(Contains(withDebug.err, "\\debug.txt"));

    RunResult withExclude = Install({"-s", "-e"});
    ASSERT_TRUE(withExclude.exitCode);
    EXPECT_TRUE(Contains(withExclude.err, "\\exclude.txt"));

    // "\debug.txt" fits after 240 characters, the INF paths do not: the package check ends the run.
    M().currentDir = "C:\\" + std::string(237, 'q');
    RunResult infs = Install({"-s", "-d"});
    ASSERT_TRUE(infs.exitCode);
    EXPECT_EQ(*infs.exitCode, 1u);
    EXPECT_TRUE(Contains(infs.err, "\\drivers\\armbasef.inf"));
    EXPECT_FALSE(fakemachine::KeyExists(kServicesKey + "\\vorkatape"));
    EXPECT_TRUE(M().messageBoxes.empty());
}

TEST_F(InstallerTest, SilentModeShowsNoResultBoxes)
{
    RunResult loud = Install({});
    EXPECT_EQ(loud.result, 0);
    ASSERT_EQ(M().messageBoxes.size(), 1u);
    EXPECT_EQ(M().messageBoxes[0].title, "Installer result");
    EXPECT_EQ(M().messageBoxes[0].text, "Successfully installed drivers.");

    M().messageBoxes.clear();
    RunResult quiet = Install({"-s"});
    EXPECT_EQ(quiet.result, 0);
    EXPECT_TRUE(quiet.out.find("Silent mode flag has been set") != std::string::npos);
    EXPECT_TRUE(M().messageBoxes.empty());
}

TEST_F(InstallerTest, PendingInstallationStopsAndHonoursSilentAndDebugFlags)
{
    M().pendingInstalls = true;
    RunResult r = Install({"-s", "-d"});
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "There are pending device installations, please finish installing other devices"));
    EXPECT_TRUE(Contains(r.err, "\nError(s) with install. Check stderr for details.\n"));
    EXPECT_TRUE(M().messageBoxes.empty()); // an unattended run must not wait on a box
    auto debug = GetFile("C:\\VorkaPkg\\debug.txt");
    ASSERT_TRUE(debug);
    EXPECT_TRUE(Contains(*debug, "There are pending device installations"));
    EXPECT_FALSE(fakemachine::KeyExists(kServicesKey + "\\vorkatape"));

    RunResult loud = Install({});
    EXPECT_EQ(loud.result, -1);
    ASSERT_EQ(M().messageBoxes.size(), 1u);
    EXPECT_EQ(M().messageBoxes[0].title, "Installation error");
}

TEST_F(InstallerTest, WindowsVersionCodes)
{
    // Server 2022 and 2025 are supported; 2019, a workstation and another version are refused with
    // the box, in silent mode too.
    fakemachine::MakeServer("2025");
    EXPECT_EQ(Install({"-s"}).result, 0);
    EXPECT_TRUE(M().messageBoxes.empty());

    for (const char *year : {"2019", "2016"}) {
        fakemachine::MakeServer(year);
        M().messageBoxes.clear();
        EXPECT_EQ(Install({"-s"}).result, -1) << year;
        ASSERT_EQ(M().messageBoxes.size(), 1u);
        EXPECT_EQ(M().messageBoxes[0].text,
                  "Current Windows version is not supported. Min. version supported: Windows Server 2022");
        EXPECT_EQ(M().messageBoxes[0].title, "Installation error");
    }

    fakemachine::MakeServer("2022");
    M().workstation = true;
    M().messageBoxes.clear();
    EXPECT_EQ(Install({"-s"}).result, -1);
    EXPECT_EQ(M().messageBoxes.size(), 1u);

    M().workstation = false;
    fakemachine::SetString("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "10.0");
    EXPECT_EQ(Install({"-s"}).result, -1);
}

TEST_F(InstallerTest, UninstallRebootOptions)
{
    // Without -r: no reboot, a box asks the user to reboot.
    RunResult plain = Uninstall({});
    EXPECT_EQ(plain.result, 0);
    EXPECT_TRUE(Contains(plain.out, "\nUninstall successful. \nPlease reboot the system to finish uninstalling all devices.\n"));
    EXPECT_TRUE(M().shutdowns.empty());
    ASSERT_EQ(M().messageBoxes.size(), 1u);
    EXPECT_EQ(M().messageBoxes[0].title, "Uninstall Status");

    EXPECT_EQ(Uninstall({"-r"}).result, 0);
    ASSERT_EQ(M().shutdowns.size(), 1u);
    EXPECT_EQ(M().shutdowns[0].delay, 15u);
    EXPECT_EQ(M().shutdowns[0].reason, 13u);
    EXPECT_EQ(M().shutdowns[0].message,
              "User requested automatic reboot. Vorka device drivers will be fully uninstalled after reboot");
    EXPECT_EQ(M().messageBoxes.back().text, "Uninstall successful. Reboot countdown will begin after you click OK.");

    EXPECT_EQ(Uninstall({"-r:45"}).result, 0);
    EXPECT_EQ(M().shutdowns.back().delay, 45u);

    size_t boxes = M().messageBoxes.size();
    EXPECT_EQ(Uninstall({"-r:45", "-s"}).result, 0);
    EXPECT_EQ(M().shutdowns.back().delay, 0u); // silent reboots at once
    EXPECT_EQ(M().messageBoxes.size(), boxes);

    RunResult usage = Uninstall({"-?"});
    EXPECT_EQ(usage.result, 0);
    EXPECT_TRUE(Contains(usage.out, "uninst -d filename -v level -r secs_to_reboot -s."));
    EXPECT_EQ(M().shutdowns.size(), 3u);
}

TEST_F(InstallerTest, UninstallDebugFile)
{
    RunResult r = Uninstall({"-d", "-s"});
    EXPECT_EQ(r.result, 0) << r.err;
    auto debug = GetFile("C:\\VorkaPkg\\uninst_debug.txt");
    ASSERT_TRUE(debug);
    EXPECT_TRUE(Contains(*debug, "Subkeys and values already deleted: vorkatflt2k19"));
}

// ---- The exclude list ---------------------------------------------------------------------------

TEST_F(InstallerTest, ExcludeLineMarksTheFirstMatchingRowChangersFirst)
{
    // "VORTAPE-HH" is in several tape rows and no changer row: only the first tape row is excluded.
    PutFile("C:\\VorkaPkg\\exclude.txt", "vortape-hh\r\n# VIRTUAL_TAPE is still wanted\nvirtual_library\n");
    RunResult r = Install({"-s", "-e"});
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(Contains(r.out, "Will exclude: SCSI\\SequentialVORKA___VORTAPE-HH3_____"));
    EXPECT_TRUE(Contains(r.out, "Will exclude: SCSI\\ChangerVORKA___VIRTUAL_LIBRARY_"));
    EXPECT_FALSE(BoundTried("SCSI\\SequentialVORKA___VORTAPE-HH3_____"));
    EXPECT_TRUE(BoundTried("SCSI\\SequentialVORKA___VORTAPE-HH4_____"));
    EXPECT_FALSE(BoundTried(kVirtualLibraryId));
    EXPECT_TRUE(BoundTried(kVirtualTapeId)); // a '#' line marks nothing
}

TEST_F(InstallerTest, OverLongExcludeLineIsNotReadAsFragments)
{
    // The tail of an over-long comment would otherwise come back as a line of its own and exclude
    // the virtual tape row.
    PutFile("C:\\VorkaPkg\\exclude.txt", "#" + std::string(130, 'x') + "VIRTUAL_TAPE\n");
    EXPECT_EQ(Install({"-s", "-e"}).result, 0);
    EXPECT_TRUE(BoundTried(kVirtualTapeId));

    // An over-long entry excludes by its first 126 characters only.
    PutFile("C:\\VorkaPkg\\exclude.txt", "VIRTUAL_LIBRARY" + std::string(200, ' ') + "VIRTUAL_TAPE\n");
    M().updateDriverCalls.clear();
    EXPECT_EQ(Install({"-s", "-e"}).result, 0);
    EXPECT_TRUE(BoundTried(kVirtualTapeId));
    EXPECT_TRUE(BoundTried(kVirtualLibraryId)); // "VIRTUAL_LIBRARY" followed by blanks matches no row
}

TEST_F(InstallerTest, EmptyExcludeLineMarksTheFirstChangerRow)
{
    PutFile("C:\\VorkaPkg\\exclude.txt", "\n");
    EXPECT_EQ(Install({"-s", "-e"}).result, 0);
    EXPECT_FALSE(BoundTried(kVirtualLibraryId));
    EXPECT_TRUE(BoundTried("SCSI\\ChangerVORKA___VL2100__________"));
}

TEST_F(InstallerTest, ExcludeMarksDoNotCarryOverToTheNextRun)
{
    PutFile("C:\\VorkaPkg\\exclude.txt", "VIRTUAL_TAPE\n");
    EXPECT_EQ(Install({"-s", "-e"}).result, 0);
    EXPECT_FALSE(BoundTried(kVirtualTapeId));
    M().updateDriverCalls.clear();
    EXPECT_EQ(Install({"-s"}).result, 0);
    EXPECT_TRUE(BoundTried(kVirtualTapeId));
}

} // namespace
