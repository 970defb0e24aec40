// The installer library itself on the simulated machine: a machine with the base tape driver
// and a dual-pathed drive but none of the package installs with the package's own INF files,
// presents the drive as a virtual \\.\Tape<n> that survives the loss of either path, and
// uninstalls; after a reboot nothing of the package is left.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Installer.h"
#include "install_machine.h"
#include "shipped_package.h"
#include "shlwapi.h"
#include "sim/drivers.h"
#include "sim/format.h"
#include "sim/hw/path.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "windows.h"

namespace installtest {
namespace {

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// Opens a tape device once the previous handle's close has reached the drive: the close
// follows the end of that handle's last request, which a worker may still be finishing.
HANDLE OpenTape(int n) {
    const std::string name = "\\\\.\\Tape" + std::to_string(n);
    for (int i = 0; i < 1000; ++i) {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return h;
        Sleep(1);
    }
    return INVALID_HANDLE_VALUE;
}

class InstallerEndToEnd : public InstallMachine {
protected:
    void SetUp() override {
        InstallMachine::SetUp();
        ASSERT_NO_FATAL_FAILURE(StageShippedPackage(Machine(), u"Windows Server 2022 Datacenter"));
    }

    int Run(std::vector<std::string> args, bool install, unsigned* exitCode = nullptr) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        try {
            return install ? InstallDrivers(static_cast<int>(args.size()), argv.data(), 1)
                           : UninstallDrivers(static_cast<int>(args.size()), argv.data());
        } catch (const sim::win32::ProcessExit& exit) {
            if (exitCode) *exitCode = exit.exitCode;
            return -2;
        }
    }

    // How many \\.\Tape<n> devices answer GetTapeStatus.
    int CountAnsweringTapes() {
        int answering = 0;
        for (int n = 0; n < 8; ++n) {
            HANDLE h = OpenTape(n);
            if (h == INVALID_HANDLE_VALUE) continue;
            answering += GetTapeStatus(h) == NO_ERROR;
            CloseHandle(h);
        }
        return answering;
    }

    // Names of the \\.\Tape<n> devices that answer GetTapeStatus with `down` out of service.
    std::vector<std::string> TapesAnsweringWithout(sim::hw::Path& down) {
        std::vector<std::string> answering;
        down.setDown();
        for (int n = 0; n < 8; ++n) {
            HANDLE h = OpenTape(n);
            if (h == INVALID_HANDLE_VALUE) continue;
            if (GetTapeStatus(h) == NO_ERROR) answering.push_back("\\\\.\\Tape" + std::to_string(n));
            CloseHandle(h);
        }
        down.restore();
        return answering;
    }
};

TEST_F(InstallerEndToEnd, InstallPresentsAFailoverTapeAndUninstallLeavesACleanMachine) {
    ASSERT_FALSE(Loaded(u"vorkatbus"));
    // Tape drives only: this tree builds no changer bus yet.
    ASSERT_EQ(Run({"-s", "-t"}, true), 0);
    EXPECT_TRUE(sim::win32::MessageBoxes().empty()) << "silent";
    EXPECT_TRUE(Loaded(u"vorkatbus"));
    EXPECT_TRUE(Loaded(u"vorkatflt"));
    const auto paths = PathDevices();
    ASSERT_EQ(paths.size(), 2u);
    for (auto& path : paths) {
        auto node = Machine().pnp().find(path);
        ASSERT_TRUE(node.has_value());
        EXPECT_EQ(node->stack.size(), 3u) << "PDO, vorkatape, vorkatflt";
    }
    EXPECT_EQ(Machine().registry().dword(std::u16string(kServices) + u"vorkatape\\Parameters", u"ExclusiveAccess"), 1u);

    // With every path up all three devices answer: both paths and the virtual drive. Without
    // path A its own device stops answering, the virtual drive fails over to path B.
    auto sanPaths = san_.paths();
    ASSERT_EQ(sanPaths.size(), 2u);
    int answering = 0;
    for (int n = 0; n < 8; ++n) {
        HANDLE h = OpenTape(n);
        if (h == INVALID_HANDLE_VALUE) continue;
        answering += GetTapeStatus(h) == NO_ERROR;
        CloseHandle(h);
    }
    EXPECT_EQ(answering, 3);
    EXPECT_EQ(TapesAnsweringWithout(*sanPaths[0]).size(), 2u);

    ASSERT_EQ(Run({"-s"}, false), 0);
    // The uninstaller asks for a restart to finish; after it nothing of the package is left.
    Reboot();
    for (const char* service : kPackageServices) {
        EXPECT_FALSE(Machine().registry().keyExists(std::u16string(kServices) + sim::WideFromNarrow(service)))
            << service;
        EXPECT_FALSE(PathFileExistsA((std::string("C:\\Windows\\System32\\drivers\\") + service + ".sys").c_str()))
            << service;
        EXPECT_FALSE(Machine().drivers().isLoaded(sim::WideFromNarrow(service))) << service;
    }
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA("C:\\Windows\\INF\\oem*.inf", &data), INVALID_HANDLE_VALUE) << "no OEM INF left";
    for (auto& node : Machine().pnp().devices()) EXPECT_NE(node.service, u"vorkatbus");
}

TEST_F(InstallerEndToEnd, AfterARestartTheVirtualTapeIsBackAndFailsOver) {
    ASSERT_EQ(Run({"-s", "-t"}, true), 0);
    Reboot();
    // The bus starts before the path stacks, so their filters find its control device and
    // register: both paths and the virtual drive answer, and the virtual one survives path A.
    EXPECT_TRUE(Loaded(u"vorkatbus"));
    EXPECT_TRUE(Loaded(u"vorkatflt"));
    EXPECT_EQ(CountAnsweringTapes(), 3);
    auto sanPaths = san_.paths();
    ASSERT_EQ(sanPaths.size(), 2u);
    EXPECT_EQ(TapesAnsweringWithout(*sanPaths[0]).size(), 2u);
}

TEST_F(InstallerEndToEnd, InstallingTapeDrivesAgainKeepsThePathsRegisteredWithTheBus) {
    ASSERT_EQ(Run({"-s", "-t"}, true), 0);
    ASSERT_EQ(CountAnsweringTapes(), 3);
    // A second run over the running package: the paths are neither refused nor left without
    // their virtual drive.
    ASSERT_EQ(Run({"-s", "-t"}, true), 0);
    EXPECT_EQ(CountAnsweringTapes(), 3);
    auto sanPaths = san_.paths();
    ASSERT_EQ(sanPaths.size(), 2u);
    EXPECT_EQ(TapesAnsweringWithout(*sanPaths[1]).size(), 2u);
    // The same after a full run, which removes every earlier device first.
    ASSERT_EQ(Run({"-s"}, true), 0);
    EXPECT_EQ(CountAnsweringTapes(), 3);
    int busDevices = 0;
    for (auto& node : Machine().pnp().devices())
        busDevices += node.service == u"vorkatbus" && node.state != sim::DevNodeState::Deleted;
    EXPECT_EQ(busDevices, 1);
}

TEST_F(InstallerEndToEnd, WorkstationEditionIsRefusedWithAMessageEvenWhenSilent) {
    const std::u16string options = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ProductOptions";
    Machine().registry().createKeyPath(options);
    Machine().registry().setString(options, u"ProductType", u"WinNT");
    EXPECT_EQ(Run({"-s", "-t"}, true), -1);
    auto boxes = sim::win32::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Installation error");
    EXPECT_FALSE(Loaded(u"vorkatbus"));
}

TEST_F(InstallerEndToEnd, BothChangerOnlyAndTapeOnlyEndsTheProcess) {
    unsigned code = 0;
    EXPECT_EQ(Run({"-c", "-t"}, true, &code), -2);
    EXPECT_EQ(code, 1u);
}

}  // namespace
}  // namespace installtest
