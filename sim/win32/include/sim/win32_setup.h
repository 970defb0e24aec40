// Host-side control of the installer's part of the Win32 layer: the simulated
// disk that files, INF copies and driver images live on, the current directory
// of each simulated process, what the user was shown (message boxes) and asked
// for (shutdowns), and how a process ends (ExitProcess).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/process.h"
#include "vk/basetypes.h"

namespace sim::win32 {

// The system disk: files and directories by Windows path ("C:\Windows\INF\oem0.inf"),
// compared without regard to case, '/' and '\' alike. It is not part of a machine, so
// it survives simulated reboots, as a disk does. One disk per host program.
class Disk {
public:
    static Disk& Get();

    // Back to an empty disk holding only the system directories (C:\Windows, its System32,
    // System32\drivers and INF). Forgets processes' current directories.
    void reset();

    // Writes a file, creating its missing parent directories.
    void writeFile(std::string_view path, std::string data);
    std::optional<std::string> readFile(std::string_view path) const;
    bool fileExists(std::string_view path) const;
    bool directoryExists(std::string_view path) const;
    void makeDirectories(std::string_view path);
    // Names (not paths) of the files and directories directly in `directory`, sorted.
    std::vector<std::string> list(std::string_view directory) const;
    // The normalised form of a path: absolute (against `base` when relative), '\' separators,
    // no "." or "..", no trailing separator. Empty when the path is not usable.
    static std::string Normalize(std::string_view path, std::string_view base = "C:\\");

    // Internals shared by the Win32 calls; they lock `mutex` themselves.
    struct Entry {
        bool directory = false;
        std::string data;
        std::uint32_t attributes = 0;
        std::string name;  // as first created (the key is folded to upper case)
    };
    mutable std::recursive_mutex mutex;
    std::map<std::string, Entry> entries;  // key: normalised path in upper case
    std::map<const Process*, std::string> currentDirectories;

private:
    Disk();
};

// ExitProcess throws this out of the simulated process's code; whoever runs the code
// as a process catches it and takes the exit code.
struct ProcessExit {
    unsigned exitCode;
};

struct MessageBoxRecord {
    std::string title;
    std::string text;
    unsigned type = 0;  // MB_* flags
};

struct ShutdownRecord {
    std::string message;
    unsigned gracePeriod = 0;  // seconds
    unsigned flags = 0;        // SHUTDOWN_* or EWX_*
    unsigned reason = 0;
    bool viaExitWindows = false;
};

// What the user interface calls recorded, oldest first; clearing starts a new record.
std::vector<MessageBoxRecord> MessageBoxes();
std::vector<ShutdownRecord> ShutdownRequests();
void ClearUserInterfaceRecords();

// CMP_WaitNoPendingInstallEvents reports a device installation in progress while set.
void SetPendingDeviceInstallation(bool pending);

}  // namespace sim::win32
