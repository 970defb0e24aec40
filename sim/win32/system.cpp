// Version, time and system services of console programs: GetVersionEx, the clocks (read from
// the simulated kernel's), GetSystemInfo, critical sections, the environment and the system's
// modules (GetModuleHandle, GetProcAddress).
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sim/format.h"
#include "sim/verifier.h"

#include "sim/win32.h"
#include "vk/ke.h"
#include "windows.h"

namespace {

// What Windows tells a program without a compatibility manifest: 6.2, build 9200. One body for the
// ANSI and the wide record, which differ only in the service-pack string's characters.
template <typename Info, typename InfoEx>
BOOL FillVersion(Info* info) {
    if (!info) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(Info) && size != sizeof(InfoEx)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (size == sizeof(InfoEx)) {
        auto* ex = reinterpret_cast<InfoEx*>(info);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = VER_NT_SERVER;
        ex->wReserved = 0;
    }
    return TRUE;
}

}  // namespace

extern "C" {

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    return FillVersion<OSVERSIONINFOA, OSVERSIONINFOEXA>(lpVersionInformation);
}

DWORD GetTickCount(VOID) { return static_cast<DWORD>(KeQueryInterruptTime() / 10000); }

ULONGLONG GetTickCount64(VOID) { return KeQueryInterruptTime() / 10000; }

VOID Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpPerformanceCount = KeQueryPerformanceCounter(nullptr);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    KeQueryPerformanceCounter(lpFrequency);
    return TRUE;
}

}  // extern "C"

// ---- Time ------------------------------------------------------------------------------------

namespace {

constexpr ULONGLONG kTicksPerDay = 864000000000ull;  // 100-ns units

bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

void ToSystemTime(ULONGLONG ticks, SYSTEMTIME* time) {
    ULONGLONG days = ticks / kTicksPerDay;
    ULONGLONG rest = ticks % kTicksPerDay;
    time->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1 January 1601 was a Monday
    unsigned year = 1601;
    for (;;) {
        const unsigned length = IsLeap(year) ? 366 : 365;
        if (days < length) break;
        days -= length;
        ++year;
    }
    unsigned month = 1;
    while (days >= DaysInMonth(year, month)) days -= DaysInMonth(year, month++);
    time->wYear = static_cast<WORD>(year);
    time->wMonth = static_cast<WORD>(month);
    time->wDay = static_cast<WORD>(days + 1);
    time->wHour = static_cast<WORD>(rest / 36000000000ull);
    rest %= 36000000000ull;
    time->wMinute = static_cast<WORD>(rest / 600000000ull);
    rest %= 600000000ull;
    time->wSecond = static_cast<WORD>(rest / 10000000ull);
    time->wMilliseconds = static_cast<WORD>((rest % 10000000ull) / 10000);
}

ULONGLONG Now() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONGLONG>(now.QuadPart);
}

}  // namespace

extern "C" {

VOID GetSystemTime(LPSYSTEMTIME lpSystemTime) { ToSystemTime(Now(), lpSystemTime); }

// The simulated machine keeps UTC: its local time is its system time.
VOID GetLocalTime(LPSYSTEMTIME lpSystemTime) { ToSystemTime(Now(), lpSystemTime); }

VOID GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    const ULONGLONG now = Now();
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(now);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (ticks & 0x8000000000000000ull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ToSystemTime(ticks, lpSystemTime);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    const SYSTEMTIME& t = *lpSystemTime;
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
        t.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG days = 0;
    for (unsigned year = 1601; year < t.wYear; ++year) days += IsLeap(year) ? 366 : 365;
    for (unsigned month = 1; month < t.wMonth; ++month) days += DaysInMonth(t.wYear, month);
    days += t.wDay - 1;
    const ULONGLONG ticks = days * kTicksPerDay + t.wHour * 36000000000ull + t.wMinute * 600000000ull +
                            t.wSecond * 10000000ull + t.wMilliseconds * 10000ull;
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

// ---- Version and the system --------------------------------------------------------------------

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    return FillVersion<OSVERSIONINFOW, OSVERSIONINFOEXW>(lpVersionInformation);
}

}  // extern "C"

namespace {

void FillSystemInfo(LPSYSTEM_INFO info, bool as32Bit) {
    std::memset(info, 0, sizeof *info);
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    info->dwPageSize = 4096;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
    info->dwNumberOfProcessors = processors;
    info->dwActiveProcessorMask = processors >= 64 ? ~DWORD_PTR{0} : (DWORD_PTR{1} << processors) - 1;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = 6;
    if (as32Bit) {
        // What a 32-bit program sees on 64-bit Windows.
        info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
        info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
        info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFEFFFF);
    } else {
        info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
        info->dwProcessorType = PROCESSOR_AMD_X8664;
        info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFFFFFEFFFFull);
    }
}

}  // namespace

extern "C" {

VOID GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    sim::Process* process = sim::win32::CurrentCaller();
    FillSystemInfo(lpSystemInfo, process && process->is32Bit());
}

VOID GetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) { FillSystemInfo(lpSystemInfo, false); }

// ---- Critical sections -------------------------------------------------------------------------------

// The lock lives in the simulator's memory, named by LockSemaphore; the record's other fields
// say who owns it, as a debugger reads them on Windows.
VOID InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    std::memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->LockSemaphore = new std::recursive_mutex;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    InitializeCriticalSection(lpCriticalSection);
    lpCriticalSection->SpinCount = dwSpinCount;
    return TRUE;
}

VOID EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockSemaphore)->lock();
    if (lpCriticalSection->RecursionCount++ == 0)
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!static_cast<std::recursive_mutex*>(lpCriticalSection->LockSemaphore)->try_lock()) return FALSE;
    if (lpCriticalSection->RecursionCount++ == 0)
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
    return TRUE;
}

VOID LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    const auto self = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
    if (lpCriticalSection->RecursionCount <= 0 || lpCriticalSection->OwningThread != self) {
        // Windows leaves the section broken (and a later Enter hangs); here the bug is reported.
        sim::ReportViolation("LeaveCriticalSection by a thread that does not own the critical section");
        return;
    }
    if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
    static_cast<std::recursive_mutex*>(lpCriticalSection->LockSemaphore)->unlock();
}

VOID DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<std::recursive_mutex*>(lpCriticalSection->LockSemaphore);
    lpCriticalSection->LockSemaphore = nullptr;
}

}  // extern "C"

// ---- The environment ---------------------------------------------------------------------------------

namespace {

struct Environment {
    std::mutex mutex;
    // Per process id; names compare without case, as on Windows.
    std::map<ULONG, std::map<std::u16string, std::pair<std::u16string, std::u16string>>> variables;
};

Environment& Env() {
    static Environment environment;
    return environment;
}

std::u16string Folded(std::u16string_view name) {
    std::u16string key(name);
    for (auto& c : key)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return key;
}

// The variables a process starts with on the simulated machine.
std::map<std::u16string, std::pair<std::u16string, std::u16string>>& VariablesOf(sim::Process& process) {
    auto& all = Env().variables;
    auto it = all.find(process.id());
    if (it != all.end()) return it->second;
    auto& variables = all[process.id()];
    const std::pair<const char16_t*, const char16_t*> defaults[] = {
        {u"SystemRoot", u"C:\\Windows"},
        {u"windir", u"C:\\Windows"},
        {u"SystemDrive", u"C:"},
        {u"ComSpec", u"C:\\Windows\\system32\\cmd.exe"},
        {u"OS", u"Windows_NT"},
        {u"PATH", u"C:\\Windows\\system32;C:\\Windows"},
        {u"PATHEXT", u".COM;.EXE;.BAT;.CMD"},
        {u"TEMP", u"C:\\Windows\\Temp"},
        {u"TMP", u"C:\\Windows\\Temp"},
        {u"PROCESSOR_ARCHITECTURE", process.is32Bit() ? u"x86" : u"AMD64"},
    };
    for (auto& [name, value] : defaults) variables[Folded(name)] = {name, value};
    if (process.is32Bit()) variables[u"PROCESSOR_ARCHITEW6432"] = {u"PROCESSOR_ARCHITEW6432", u"AMD64"};
    return variables;
}

template <typename Char>
std::u16string Wide(const Char* text) {
    if constexpr (sizeof(Char) == 1) return sim::WideFromNarrow(text);
    else return std::u16string(reinterpret_cast<const char16_t*>(text));
}

template <typename Char>
DWORD GetVariable(const Char* name, Char* buffer, DWORD size) {
    sim::Process* process = sim::win32::CurrentCaller();
    if (!process || !name) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::basic_string<Char> value;
    {
        std::lock_guard lock(Env().mutex);
        auto& variables = VariablesOf(*process);
        auto it = variables.find(Folded(Wide(name)));
        if (it == variables.end()) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        if constexpr (sizeof(Char) == 1) {
            value = sim::NarrowFromWide(it->second.second);
        } else {
            value.assign(it->second.second.begin(), it->second.second.end());
        }
    }
    // Too small: the size needed, terminator included; else the length copied.
    if (!buffer || size <= value.size()) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(buffer, value.data(), value.size() * sizeof(Char));
    buffer[value.size()] = 0;
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(value.size());
}

template <typename Char>
BOOL SetVariable(const Char* name, const Char* value) {
    sim::Process* process = sim::win32::CurrentCaller();
    if (!process) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!name || !*name || Wide(name).find(u'=') != std::u16string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(Env().mutex);
    auto& variables = VariablesOf(*process);
    const std::u16string key = Folded(Wide(name));
    if (!value) {
        if (!variables.erase(key)) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return FALSE;
        }
        return TRUE;
    }
    variables[key] = {Wide(name), Wide(value)};
    return TRUE;
}

}  // namespace

extern "C" {

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) { return GetVariable(lpName, lpBuffer, nSize); }
DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    return GetVariable(lpName, lpBuffer, nSize);
}
BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) { return SetVariable(lpName, lpValue); }
BOOL SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) { return SetVariable(lpName, lpValue); }

}  // extern "C"

// ---- Modules: the system's DLLs and the names they export ----------------------------------------------

namespace {

// The DLLs whose calls the layer provides; each handle names one of them.
constexpr const char* kModules[] = {"KERNEL32", "KERNELBASE", "NTDLL", "ADVAPI32", "USER32", "SETUPAPI", "MSVCRT",
                                    "CFGMGR32", "NEWDEV", "SHLWAPI"};
char gModuleTokens[std::size(kModules)];
char gProgramImage;  // GetModuleHandle(NULL): the program's own image

HMODULE ModuleNamed(std::string name) {
    if (auto slash = name.find_last_of("\\/"); slash != std::string::npos) name = name.substr(slash + 1);
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".DLL") == 0) name.resize(name.size() - 4);
    for (std::size_t i = 0; i < std::size(kModules); ++i)
        if (name == kModules[i]) return &gModuleTokens[i];
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

bool IsModule(HMODULE module) {
    return module == &gProgramImage ||
           (module >= gModuleTokens && module < gModuleTokens + std::size(gModuleTokens));
}

}  // namespace

extern "C" {

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return &gProgramImage;
    return ModuleNamed(lpModuleName);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) return &gProgramImage;
    return ModuleNamed(sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpModuleName)));
}

// The layer's own exports resolve; every other name (an API of a later Windows, a routine of
// the simulated kernel) is not there, as programs that probe for optional APIs expect.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!IsModule(hModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (reinterpret_cast<ULONG_PTR>(lpProcName) >> 16 == 0 || !*lpProcName || std::strncmp(lpProcName, "Vk", 2) == 0 ||
        std::strncmp(lpProcName, "_Z", 2) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&GetProcAddress), &self);
    void* library = self.dli_fname ? dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD) : nullptr;
    void* symbol = library ? dlsym(library, lpProcName) : nullptr;
    Dl_info found{};
    const bool ours = symbol && dladdr(symbol, &found) && found.dli_fname && self.dli_fname &&
                      std::strcmp(found.dli_fname, self.dli_fname) == 0;
    if (library) dlclose(library);
    if (!ours) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

}  // extern "C"
