// A scripted Windows machine for the installer library's unit tests: registry, files, devices
// and SetupAPI answers, message boxes and shutdown requests, all in memory. The installer's Win32
// calls are defined over it (fake_machine.cpp), so a test sets up a machine, calls an export and
// reads what the installer did. Failure injection (a registry key that cannot be created, a
// driver update that fails with a given error) makes the step tables' error paths reachable.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fakemachine {

// ExitProcess ends the "process": the call that ran it unwinds with this.
struct ProcessExit {
    unsigned code;
};

struct Device {
    std::string setupClass; // "System", "TapeDrive", "MediumChanger"
    std::vector<std::string> hardwareIds;
    bool hasDriverKey = true;
    std::map<std::string, std::string> driverValues; // MatchingDeviceId, ProviderName, DriverDesc, InfPath
    bool removed = false;
    bool createdByInstaller = false;
};

struct RegValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct MessageBoxRecord {
    std::string title;
    std::string text;
    unsigned type;
};

struct Shutdown {
    std::string message;
    unsigned delay;
    unsigned flags;
    unsigned reason;
};

struct Machine {
    std::string currentDir = "C:\\VorkaPkg";
    std::string systemDir = "C:\\Windows\\System32";
    bool workstation = false;
    bool pendingInstalls = false;
    // Registry below HKEY_LOCAL_MACHINE: key path in lower case -> values by lower-case name.
    std::map<std::string, std::map<std::string, RegValue>> registry;
    // Files by lower-case path.
    std::map<std::string, std::string> files;
    std::vector<Device> devices;
    std::set<std::string> oemInfs; // driver store INF names that exist (lower case)
    std::vector<std::string> uninstalledOemInfs;
    // UpdateDriverForPlugAndPlayDevices: hardware ID (lower case) -> error it fails with.
    std::map<std::string, uint32_t> updateDriverErrors;
    std::vector<std::string> updateDriverCalls; // hardware IDs in call order
    int reenumerations = 0;
    std::vector<MessageBoxRecord> messageBoxes;
    std::vector<Shutdown> shutdowns;
    std::vector<std::string> serviceCommands; // "config ntmssvc disabled", "stop ntmssvc"
    // A registry key whose creation fails (lower-case substring of its path), a value that cannot be set.
    std::string failCreateKey;
    std::string failSetValue;
    int nextOem = 10;
};

Machine &M();
void Reset();

// Registry helpers for tests (paths below HKEY_LOCAL_MACHINE, any case).
void SetString(const std::string &key, const std::string &name, const std::string &value);
// A value of another type than a string (REG_BINARY), as a program or an administrator may leave it.
void SetBinary(const std::string &key, const std::string &name, const std::vector<uint8_t> &value);
std::optional<uint32_t> GetDword(const std::string &key, const std::string &name);
bool KeyExists(const std::string &key);
// Every value name (as written) below the Parameters key of a service.
std::set<std::string> ParameterNames(const std::string &service);
// How often a value was written below a service's Parameters key since Reset.
int WriteCount(const std::string &service, const std::string &name);

void PutFile(const std::string &path, const std::string &content);
std::optional<std::string> GetFile(const std::string &path);

// A machine that looks like Windows Server <year> (ProductName, CurrentVersion 6.3).
void MakeServer(const char *year);
// The package in <currentDir>\drivers: the real INF files and the four images.
void MakePackage(const std::string &infSourceDir);

std::string Lower(std::string s);

} // namespace fakemachine
