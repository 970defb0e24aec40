// Version and time services of console programs: GetVersionExA, GetTickCount, Sleep and the
// performance counter, read from the simulated kernel's clock.
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/win32.h"
#include "vk/ke.h"
#include "windows.h"

extern "C" {

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (!lpVersionInformation) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // What Windows tells a program without a compatibility manifest: 6.2, build 9200.
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 2;
    lpVersionInformation->dwBuildNumber = 9200;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = VER_NT_SERVER;
        ex->wReserved = 0;
    }
    return TRUE;
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
