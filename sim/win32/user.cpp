// The user-facing calls of console programs and the installer: message boxes
// and shutdown requests (recorded, as nobody sits at the simulated machine),
// the process's access token and its shutdown privilege, ExitProcess, and the
// version checks of VerifyVersionInfo.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim/format.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
#include "handles.h"
#include "windows.h"

namespace sim::win32 {
namespace {

std::mutex gRecordMutex;
std::vector<MessageBoxRecord> gMessageBoxes;
std::vector<ShutdownRecord> gShutdowns;

// The LUID Windows gives SeShutdownPrivilege.
constexpr DWORD kShutdownPrivilegeLuid = 19;

// An access token of a simulated process: which privileges are enabled. An
// administrator's token holds the shutdown privilege, disabled until enabled.
struct Token {
    const Process* process = nullptr;
    bool shutdownEnabled = false;
};
std::mutex gTokenMutex;
std::vector<std::unique_ptr<Token>> gTokens;
std::map<const Process*, bool> gShutdownEnabled;

bool ShutdownPrivilegeEnabled() {
    std::lock_guard lock(gTokenMutex);
    auto it = gShutdownEnabled.find(CurrentCaller());
    return it != gShutdownEnabled.end() && it->second;
}

// The simulated machine's edition: the ProductOptions key as Windows keeps it.
BYTE ProductType() {
    Machine* machine = Machine::CurrentOrNull();
    if (!machine) return VER_NT_SERVER;
    auto type = machine->registry().string(
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ProductOptions", u"ProductType");
    if (!type) return VER_NT_SERVER;
    std::string text = NarrowFromWide(*type);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (text == "WINNT") return VER_NT_WORKSTATION;
    if (text == "LANMANNT") return VER_NT_DOMAIN_CONTROLLER;
    return VER_NT_SERVER;
}

bool Compare(DWORD actual, DWORD wanted, BYTE condition) {
    switch (condition) {
    case VER_EQUAL: return actual == wanted;
    case VER_GREATER: return actual > wanted;
    case VER_GREATER_EQUAL: return actual >= wanted;
    case VER_LESS: return actual < wanted;
    case VER_LESS_EQUAL: return actual <= wanted;
    default: return false;
    }
}

BYTE ConditionOf(DWORDLONG mask, DWORD typeBit) {
    int index = 0;
    while (index < 32 && !(typeBit & (1u << index))) ++index;
    return static_cast<BYTE>((mask >> (index * 3)) & 7);
}

}  // namespace

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard lock(gRecordMutex);
    return gMessageBoxes;
}

std::vector<ShutdownRecord> ShutdownRequests() {
    std::lock_guard lock(gRecordMutex);
    return gShutdowns;
}

bool CloseToken(HANDLE handle) {
    std::lock_guard lock(gTokenMutex);
    auto it = std::find_if(gTokens.begin(), gTokens.end(), [&](auto& t) { return t.get() == handle; });
    if (it == gTokens.end()) return false;
    gTokens.erase(it);
    return true;
}

void ClearUserInterfaceRecords() {
    std::lock_guard lock(gRecordMutex);
    gMessageBoxes.clear();
    gShutdowns.clear();
}

}  // namespace sim::win32

namespace {

// The answer of the box's default (first) button.
int DefaultAnswer(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
    }
}

}  // namespace

extern "C" {

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    std::lock_guard lock(sim::win32::gRecordMutex);
    // Windows titles a box without caption "Error".
    sim::win32::gMessageBoxes.push_back({lpCaption ? lpCaption : "Error", lpText ? lpText : "", uType});
    return DefaultAnswer(uType);
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    std::string text = lpText ? sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpText)) : "";
    std::string caption = lpCaption ? sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpCaption)) : "Error";
    return MessageBoxA(hWnd, text.c_str(), caption.c_str(), uType);
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    // Restarting or shutting down needs the caller's shutdown privilege; logging off does not.
    if ((uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) && !sim::win32::ShutdownPrivilegeEnabled()) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    std::lock_guard lock(sim::win32::gRecordMutex);
    sim::win32::gShutdowns.push_back({"", 0, uFlags, dwReason, true});
    return TRUE;
}

DWORD InitiateShutdownA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwGracePeriod, DWORD dwShutdownFlags,
                        DWORD dwReason) {
    if (lpMachineName && *lpMachineName) return ERROR_BAD_NETPATH;
    if (!sim::win32::ShutdownPrivilegeEnabled()) return ERROR_PRIVILEGE_NOT_HELD;
    std::lock_guard lock(sim::win32::gRecordMutex);
    if (!sim::win32::gShutdowns.empty() && !sim::win32::gShutdowns.back().viaExitWindows)
        return ERROR_SHUTDOWN_IS_SCHEDULED;
    sim::win32::gShutdowns.push_back({lpMessage ? lpMessage : "", dwGracePeriod, dwShutdownFlags, dwReason, false});
    return ERROR_SUCCESS;
}

DWORD InitiateShutdownW(LPWSTR lpMachineName, LPWSTR lpMessage, DWORD dwGracePeriod, DWORD dwShutdownFlags,
                        DWORD dwReason) {
    std::string name = lpMachineName ? sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpMachineName)) : "";
    std::string message = lpMessage ? sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpMessage)) : "";
    return InitiateShutdownA(lpMachineName ? name.data() : nullptr, lpMessage ? message.data() : nullptr,
                             dwGracePeriod, dwShutdownFlags, dwReason);
}

// The pseudo handle of the calling process, as kernel32 returns it.
HANDLE GetCurrentProcess(VOID) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

DWORD GetCurrentProcessId(VOID) {
    sim::Process* process = sim::win32::CurrentCaller();
    return process ? process->id() : 0;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (!TokenHandle) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto token = std::make_unique<sim::win32::Token>();
    token->process = sim::win32::CurrentCaller();
    std::lock_guard lock(sim::win32::gTokenMutex);
    *TokenHandle = token.get();
    sim::win32::gTokens.push_back(std::move(token));
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    if (!lpName || !lpLuid) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (strcasecmp(lpName, "SeShutdownPrivilege") != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    lpLuid->LowPart = sim::win32::kShutdownPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (!lpName) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return LookupPrivilegeValueA(nullptr, sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpName)).c_str(),
                                 lpLuid);
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    std::lock_guard lock(sim::win32::gTokenMutex);
    auto& tokens = sim::win32::gTokens;
    auto it = std::find_if(tokens.begin(), tokens.end(), [&](auto& t) { return t.get() == TokenHandle; });
    if (it == tokens.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool& enabled = sim::win32::gShutdownEnabled[(*it)->process];
    if (DisableAllPrivileges) {
        enabled = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!NewState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = NewState->Privileges[i];
        if (p.Luid.LowPart == sim::win32::kShutdownPrivilegeLuid && p.Luid.HighPart == 0)
            enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        else
            allAssigned = false;  // the token does not hold that privilege
    }
    // Success with ERROR_NOT_ALL_ASSIGNED when some privilege was not held, as Windows reports it.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
    for (int index = 0; index < 8; ++index)
        if (TypeMask & (1u << index))
            ConditionMask |= static_cast<ULONGLONG>(Condition & 7) << (index * 3);
    return ConditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask) {
    if (!lpVersionInformation || !dwTypeMask || !dwlConditionMask) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    // Windows Server 2022: 10.0, build 20348.
    const LPOSVERSIONINFOEXW v = lpVersionInformation;
    struct Check {
        DWORD bit;
        DWORD actual;
        DWORD wanted;
    } checks[] = {
        {VER_MAJORVERSION, 10, v->dwMajorVersion},
        {VER_MINORVERSION, 0, v->dwMinorVersion},
        {VER_BUILDNUMBER, 20348, v->dwBuildNumber},
        {VER_PLATFORMID, VER_PLATFORM_WIN32_NT, v->dwPlatformId},
        {VER_SERVICEPACKMAJOR, 0, v->wServicePackMajor},
        {VER_SERVICEPACKMINOR, 0, v->wServicePackMinor},
        {VER_PRODUCT_TYPE, sim::win32::ProductType(), v->wProductType},
    };
    for (const Check& check : checks) {
        if (!(dwTypeMask & check.bit)) continue;
        if (!sim::win32::Compare(check.actual, check.wanted, sim::win32::ConditionOf(dwlConditionMask, check.bit))) {
            SetLastError(ERROR_OLD_WIN_VERSION);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL VerifyVersionInfoA(LPOSVERSIONINFOEXA lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        return FALSE;
    }
    OSVERSIONINFOEXW wide{};
    wide.dwOSVersionInfoSize = sizeof wide;
    wide.dwMajorVersion = lpVersionInformation->dwMajorVersion;
    wide.dwMinorVersion = lpVersionInformation->dwMinorVersion;
    wide.dwBuildNumber = lpVersionInformation->dwBuildNumber;
    wide.dwPlatformId = lpVersionInformation->dwPlatformId;
    wide.wServicePackMajor = lpVersionInformation->wServicePackMajor;
    wide.wServicePackMinor = lpVersionInformation->wServicePackMinor;
    wide.wProductType = lpVersionInformation->wProductType;
    return VerifyVersionInfoW(&wide, dwTypeMask, dwlConditionMask);
}

}  // extern "C"
