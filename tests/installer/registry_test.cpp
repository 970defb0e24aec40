// The drivers' Parameters values that the installation options select, their second writing in
// non-exclusive mode, registry failures, and the deletion of the service keys on removal.
#include "installer_fixture.h"

#include <set>

using fakemachine::GetDword;
using fakemachine::ParameterNames;
using fakemachine::WriteCount;

namespace {

std::string Params(const std::string &service) { return "System\\CurrentControlSet\\Services\\" + service + "\\Parameters"; }

const char *const kSix[] = {"vorkachgr", "vorkatape", "vorkacbus", "vorkatbus", "vorkacflt", "vorkatflt"};

TEST_F(InstallerTest, ExclusiveModeWritesOnlyTheTapeDriversAccessAndReserveType)
{
    ASSERT_EQ(Install({"-s"}, true).result, 0);
    EXPECT_EQ(ParameterNames("vorkatape"), (std::set<std::string>{"exclusiveaccess", "reservetype"}));
    EXPECT_EQ(GetDword(Params("vorkatape"), "ExclusiveAccess"), 1u);
    EXPECT_EQ(GetDword(Params("vorkatape"), "ReserveType"), 0u);
    for (const char *service : {"vorkachgr", "vorkacbus", "vorkatbus", "vorkacflt", "vorkatflt"})
        EXPECT_TRUE(ParameterNames(service).empty()) << service;
}

TEST_F(InstallerTest, NonExclusiveModeWritesFailoverValuesAndWritesFailoverDriverTwice)
{
    ASSERT_EQ(Install({"-s"}, false).result, 0);
    EXPECT_EQ(GetDword(Params("vorkatape"), "ExclusiveAccess"), 0u);
    EXPECT_EQ(GetDword(Params("vorkatape"), "ReserveType"), 0u);
    for (const char *service : {"vorkachgr", "vorkacbus", "vorkatbus", "vorkatape"})
        EXPECT_EQ(GetDword(Params(service), "FailoverDisabled"), 1u) << service;
    for (const char *service : {"vorkacflt", "vorkatflt"})
        EXPECT_FALSE(GetDword(Params(service), "FailoverDisabled")) << service;
    for (const char *service : kSix) {
        EXPECT_EQ(GetDword(Params(service), "FailoverDriver"), 0u) << service;
        EXPECT_EQ(WriteCount(service, "FailoverDriver"), 2) << service; // before and after the devices
    }
}

TEST_F(InstallerTest, OptionValuesGoOnlyWhereTheyBelong)
{
    // -f in exclusive mode: the tape driver and the tape bus, not the changer services.
    ASSERT_EQ(Install({"-s", "-f", "-m", "-a", "-p"}, true).result, 0);
    EXPECT_EQ(GetDword(Params("vorkatape"), "FailoverDisabled"), 1u);
    EXPECT_EQ(GetDword(Params("vorkatbus"), "FailoverDisabled"), 1u);
    EXPECT_FALSE(GetDword(Params("vorkachgr"), "FailoverDisabled"));
    EXPECT_FALSE(GetDword(Params("vorkacbus"), "FailoverDisabled"));
    EXPECT_EQ(GetDword(Params("vorkatape"), "DisableMediaPolling"), 1u);
    EXPECT_EQ(GetDword(Params("vorkachgr"), "DisableMediaPolling"), 1u);
    EXPECT_EQ(GetDword(Params("vorkatape"), "WRAttributesDisabled"), 1u);
    EXPECT_EQ(GetDword(Params("vorkatape"), "ReserveType"), 1u);
    EXPECT_EQ(ParameterNames("vorkatbus"), (std::set<std::string>{"failoverdisabled"}));
}

// The product name stored as binary data with no terminator, as long as the installer's buffer:
// what it reads is still a string of that buffer, not the bytes after it.
TEST_F(InstallerTest, AProductNameStoredAsBinaryDataIsReadAsAStringOfItsBuffer)
{
    const std::string name = "Windows Server 2022 Datacenter";
    std::vector<uint8_t> bytes(name.begin(), name.end());
    bytes.resize(256, ' ');
    fakemachine::SetBinary("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName", bytes);
    const RunResult r = Install({"-s"}, true);
    EXPECT_EQ(r.result, 0) << r.out;
}

TEST_F(InstallerTest, ValuesTheInstallerDoesNotOwnStayAsTheyWere)
{
    fakemachine::SetString(Params("vorkatbus"), "PersistentNaming", "kept");
    ASSERT_EQ(Install({"-s"}, false).result, 0);
    EXPECT_TRUE(ParameterNames("vorkatbus").count("persistentnaming"));
}

TEST_F(InstallerTest, RegistryFailureStopsBeforeAnyDeviceWork)
{
    M().failCreateKey = "vorkatape\\parameters";
    RunResult r = Install({"-d"}, true);
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "Failed to create necesary registry keys"));
    EXPECT_TRUE(M().updateDriverCalls.empty());
    EXPECT_EQ(M().reenumerations, 0);
    ASSERT_EQ(M().messageBoxes.size(), 1u);
    EXPECT_EQ(M().messageBoxes[0].text,
              "Installation stopped due to error(s). \nIf debug flag was set, check debug.txt for more details.");
}

TEST_F(InstallerTest, RegistryValuesStopAtTheFirstFailure)
{
    M().failSetValue = "ReserveType";
    RunResult r = Install({"-s", "-d", "-f"}, true);
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(Contains(r.err, "Failed to set ReserveType to key: "));
    EXPECT_EQ(GetDword(Params("vorkatape"), "ExclusiveAccess"), 1u);
    EXPECT_FALSE(GetDword(Params("vorkatape"), "FailoverDisabled"));
    EXPECT_FALSE(GetDword(Params("vorkatbus"), "FailoverDisabled"));
}

TEST_F(InstallerTest, RemovalDeletesEveryServiceKeyAndSucceedsOnACleanSystem)
{
    RunResult clean = Uninstall({"-s", "-v:3"});
    EXPECT_EQ(clean.result, 0);
    size_t already = 0;
    for (size_t p = clean.out.find("Subkeys and values already deleted: "); p != std::string::npos;
         p = clean.out.find("Subkeys and values already deleted: ", p + 1))
        ++already;
    EXPECT_EQ(already, 18u);

    ASSERT_EQ(Install({"-s"}, false).result, 0);
    fakemachine::SetString("System\\CurrentControlSet\\Services\\vorkatbus2k19\\Enum", "0", "old");
    ASSERT_EQ(Uninstall({"-s"}).result, 0);
    for (const char *service : kSix)
        EXPECT_FALSE(fakemachine::KeyExists("System\\CurrentControlSet\\Services\\" + std::string(service)));
    EXPECT_FALSE(fakemachine::KeyExists("System\\CurrentControlSet\\Services\\vorkatbus2k19"));
}

} // namespace
