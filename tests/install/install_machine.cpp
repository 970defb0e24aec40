#include "install_machine.h"

#include <cstring>

#include "cfgmgr32.h"
#include "newdev.h"
#include "setupapi.h"
#include "sim/drivers.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "vorkatape/install.h"
#include "windows.h"

namespace installtest {

std::string TapeBusInf() {
    return R"(; Vorka tape path-failover bus
[Version]
Signature   = "$WINDOWS NT$"
Class       = System
ClassGuid   = {4d36e97d-e325-11ce-bfc1-08002be10318}
Provider    = %Vorka%
DriverVer   = 12/01/2026,7.0.1.7
CatalogFile = vorkatbus.cat

[DestinationDirs]
DefaultDestDir = 12

[SourceDisksNames]
1 = %Disk%,,,

[SourceDisksFiles]
vorkatbus.sys = 1

[Manufacturer]
%Vorka% = Vorka, NTamd64

[Vorka.NTamd64]
%BusDesc% = TBus_Install, root\vorkatbus

[TBus_Install.NTamd64]
CopyFiles = TBus_Files

[TBus_Files]
vorkatbus.sys

[TBus_Install.NTamd64.Services]
AddService = vorkatbus, 0x00000002, TBus_Service, TBus_EventLog

[TBus_Service]
DisplayName   = %BusDesc%
ServiceType   = 1          ; kernel driver
StartType     = 1          ; system: before the path stacks, whose filters open the bus
ErrorControl  = 1
ServiceBinary = %12%\vorkatbus.sys

[TBus_EventLog]
AddReg = TBus_EventLog_AddReg

[TBus_EventLog_AddReg]
HKR,,EventMessageFile,0x00020000,"%%SystemRoot%%\System32\drivers\vorkatbus.sys"
HKR,,TypesSupported,0x00010001,7

[Strings]
Vorka   = "Vorka Corporation"
BusDesc = "Vorka Tape Bus Enumerator"
Disk    = "Vorka driver disk"
)";
}

std::string TapeInf(bool withFilter) {
    std::string inf = R"([Version]
Signature = "$WINDOWS NT$"
Class     = TapeDrive
ClassGuid = {6d807884-7d21-11cf-801c-08002be10318}
Provider  = %Vorka%
DriverVer = 12/01/2026,7.0.1.7

[DestinationDirs]
DefaultDestDir = 12

[Manufacturer]
%Vorka% = Vorka, NTamd64

[Vorka.NTamd64]
%TapeDesc% = Tape_Install, SCSI\SequentialVORKA___VIRTUAL_TAPE____

[Tape_Install.NTamd64]
CopyFiles = Tape_Files

[Tape_Files]
vorkatape.sys
vorkatflt.sys

[Tape_Install.NTamd64.HW]
AddReg = Tape_Filter_AddReg

[Tape_Install.NTamd64.Services]
AddService = vorkatape, 0x00000002, Tape_Service
AddService = vorkatflt, , Filter_Service

[Tape_Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\vorkatape.sys

[Filter_Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\vorkatflt.sys

[Strings]
Vorka    = "Vorka Corporation"
TapeDesc = "Vorka Virtual Tape Drive"
)";
    inf += withFilter ? "\n[Tape_Filter_AddReg]\nHKR,,\"UpperFilters\",0x00010000,\"vorkatflt\"\n"
                      : "\n[Tape_Filter_AddReg]\n";
    return inf;
}

void InstallMachine::SetUp() {
    sim::win32::Disk::Get().reset();
    sim::win32::ClearUserInterfaceRecords();
    sim::win32::SetPendingDeviceInstallation(false);
    san_.addAdapter();
    san_.addAdapter();
    sim::hw::DriveConfig config;
    config.identity.serial = "VORKA-I-0001";
    auto& drive = san_.addDrive(config);
    san_.connect(0, 0, 4, 0, drive, 0);
    san_.connect(1, 0, 4, 0, drive, 1);
    Boot({});
    // The machine before the package: the maker's base tape driver on every path.
    vorka::install::InstallTapeStack(*machine_, {.withFilter = false});
    vorka::install::InstallSanAdapter(*machine_);
    machine_->pnp().processPendingEnumerations();
}

void InstallMachine::Boot(std::string registryJson) {
    sim::MachineConfig config;
    config.driverDirectory = VORKA_DRIVER_DIR;
    config.san = &san_;
    if (!registryJson.empty()) config.registryJson = std::move(registryJson);
    config.violationHandler = [](const std::string& message) {
        // WDM removal deletes the lower device first; Windows accepts that order.
        if (message.find("IoDeleteDevice") != std::string::npos && message.find("attached above it") != std::string::npos)
            return;
        ADD_FAILURE() << "verifier: " << message;
    };
    machine_ = std::make_unique<sim::Machine>(std::move(config));
    machine_->pnp().processPendingEnumerations();
    process_ = &machine_->processes().create("install_excl.exe");
    scope_.emplace(*process_);
}

void InstallMachine::TearDown() {
    scope_.reset();
    machine_.reset();
}

void InstallMachine::Reboot() {
    std::string registry = machine_->registry().toJson();
    scope_.reset();
    machine_->shutdown();
    machine_.reset();
    Boot(std::move(registry));
}

void InstallMachine::WritePackage() {
    auto& disk = sim::win32::Disk::Get();
    disk.writeFile("C:\\pkg\\drivers\\vorkatbus.inf", TapeBusInf());
    disk.writeFile("C:\\pkg\\drivers\\reelbasf.inf", TapeInf());
    for (const char* image : {"vorkatbus", "vorkatape", "vorkatflt"})
        disk.writeFile(std::string("C:\\pkg\\drivers\\") + image + ".sys", std::string("MZ image of ") + image);
    ASSERT_TRUE(SetCurrentDirectoryA(kPackage));
}

void InstallMachine::InstallTapeBus() {
    GUID guid{};
    char className[MAX_CLASS_NAME_LEN];
    ASSERT_TRUE(SetupDiGetINFClassA("C:\\pkg\\drivers\\vorkatbus.inf", &guid, className, sizeof className, nullptr));
    HDEVINFO set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, className, &guid, nullptr, nullptr, DICD_GENERATE_ID, &data));
    BYTE id[200] = {};
    std::memcpy(id, "root\\vorkatbus", sizeof "root\\vorkatbus");
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, id, sizeof id));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\vorkatbus", "C:\\pkg\\drivers\\vorkatbus.inf",
                                                   INSTALLFLAG_FORCE, nullptr))
        << GetLastError();
    SetupDiDestroyDeviceInfoList(set);
}

std::vector<std::u16string> InstallMachine::PathDevices() {
    std::vector<std::u16string> paths;
    for (auto& node : machine_->pnp().devices())
        for (auto& id : node.hardwareIds)
            if (id == u"SCSI\\SequentialVORKA___VIRTUAL_TAPE____" && node.state != sim::DevNodeState::Deleted)
                paths.push_back(node.instancePath);
    return paths;
}

bool InstallMachine::Loaded(const char16_t* service) { return machine_->drivers().isLoaded(service); }

}  // namespace installtest
