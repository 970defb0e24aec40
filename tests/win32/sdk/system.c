/*
 * Errors and their texts, the clocks, the version, the system, the environment and the
 * system's modules, as a Windows program reads them. Built with UNICODE: the generic names are
 * the wide ones.
 */
#define UNICODE
#define _UNICODE
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "check.h"

typedef BOOL(WINAPI* CANCEL_IO_EX)(HANDLE, LPOVERLAPPED);

int main(void) {
    /* Last error: per thread, kept across calls that succeed. */
    SetLastError(ERROR_BUSY);
    CHECK(GetLastError() == ERROR_BUSY);

    /* FormatMessage: allocated buffers are local memory, inserts are kept when told so. */
    LPWSTR text = NULL;
    DWORD n = FormatMessage(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                            NULL, ERROR_NO_MEDIA_IN_DRIVE, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPWSTR)&text, 0,
                            NULL);
    CHECK(n == 20 && text && wcscmp(text, L"No media in drive.\r\n") == 0);
    CHECK(LocalFree(text) == NULL);
    char narrow[128];
    CHECK(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_TIMEOUT, 0, narrow, sizeof narrow, NULL) > 0);
    CHECK(strcmp(narrow, "This operation returned because the timeout period expired.\r\n") == 0);
    CHECK(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_DEVICE_REQUIRES_CLEANING, 0, narrow, sizeof narrow,
                         NULL) > 0);
    CHECK_ERROR(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 0x2FFF, 0, narrow, sizeof narrow, NULL) == 0,
                ERROR_MR_MID_NOT_FOUND);
    CHECK(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) == (HRESULT)0x80070005 && FAILED(E_FAIL) && SUCCEEDED(S_OK));

    /* Clocks. */
    SYSTEMTIME now, back;
    FILETIME file;
    GetSystemTime(&now);
    CHECK(now.wYear >= 2020 && now.wMonth >= 1 && now.wMonth <= 12 && now.wDay >= 1);
    GetSystemTimeAsFileTime(&file);
    CHECK(FileTimeToSystemTime(&file, &back) && back.wYear == now.wYear);
    SYSTEMTIME leap = {2024, 2, 0, 29, 23, 59, 58, 999};
    CHECK(SystemTimeToFileTime(&leap, &file) && FileTimeToSystemTime(&file, &back));
    CHECK(back.wYear == 2024 && back.wMonth == 2 && back.wDay == 29 && back.wDayOfWeek == 4 && back.wHour == 23 &&
          back.wMilliseconds == 999);
    SYSTEMTIME bad = {2023, 2, 0, 29, 0, 0, 0, 0};
    CHECK_ERROR(!SystemTimeToFileTime(&bad, &file), ERROR_INVALID_PARAMETER);
    FILETIME epoch = {0, 0};
    CHECK(FileTimeToSystemTime(&epoch, &back) && back.wYear == 1601 && back.wDayOfWeek == 1);
    LARGE_INTEGER frequency, counter;
    CHECK(QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 && QueryPerformanceCounter(&counter));
    CHECK(GetTickCount64() >= GetTickCount() || GetTickCount64() > 0xFFFFFFFFull);

    /* Version and system. */
    OSVERSIONINFOEX version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    CHECK(GetVersionEx((LPOSVERSIONINFO)&version) && version.dwMajorVersion == 6 && version.dwMinorVersion == 2 &&
          version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.wProductType == VER_NT_SERVER);
    version.dwOSVersionInfoSize = 12;
    CHECK_ERROR(!GetVersionEx((LPOSVERSIONINFO)&version), ERROR_INSUFFICIENT_BUFFER);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    CHECK(info.dwPageSize == 4096 && info.dwAllocationGranularity == 65536 && info.dwNumberOfProcessors >= 1);
    CHECK(info.wProcessorArchitecture == (sizeof(void*) == 8 ? PROCESSOR_ARCHITECTURE_AMD64
                                                              : PROCESSOR_ARCHITECTURE_INTEL));

    /* Environment: sizes with the terminator when the buffer is too small, without it after. */
    WCHAR value[64];
    CHECK(GetEnvironmentVariable(L"SystemRoot", NULL, 0) == 11);
    CHECK(GetEnvironmentVariable(L"SYSTEMROOT", value, 64) == 10 && wcscmp(value, L"C:\\Windows") == 0);
    CHECK(GetEnvironmentVariable(L"SystemRoot", value, 10) == 11);
    CHECK_ERROR(GetEnvironmentVariable(L"VORKA_NOT_SET", value, 64) == 0, ERROR_ENVVAR_NOT_FOUND);
    CHECK(SetEnvironmentVariable(L"VORKA_TAPE", L"\\\\.\\Tape1"));
    CHECK(GetEnvironmentVariableA("vorka_tape", narrow, sizeof narrow) == 9 && strcmp(narrow, "\\\\.\\Tape1") == 0);
    CHECK(SetEnvironmentVariable(L"VORKA_TAPE", NULL));
    CHECK_ERROR(GetEnvironmentVariable(L"VORKA_TAPE", value, 64) == 0, ERROR_ENVVAR_NOT_FOUND);

    /* Modules: the layer's names resolve and work; others are missing, as on an older Windows. */
    HMODULE kernel32 = GetModuleHandle(L"kernel32.dll");
    CHECK(kernel32 != NULL && GetModuleHandleA("KERNEL32") == kernel32 && GetModuleHandle(NULL) != NULL);
    CANCEL_IO_EX cancel = (CANCEL_IO_EX)(void (*)(void))GetProcAddress(kernel32, "CancelIoEx");
    CHECK(cancel != NULL);
    if (cancel) CHECK_ERROR(!cancel(INVALID_HANDLE_VALUE, NULL), ERROR_INVALID_HANDLE);
    CHECK_ERROR(GetProcAddress(kernel32, "SetFileCompletionNotificationModesEx") == NULL, ERROR_PROC_NOT_FOUND);
    CHECK_ERROR(GetProcAddress(kernel32, "IoCallDriver") == NULL, ERROR_PROC_NOT_FOUND); /* the kernel's, not ours */
    CHECK_ERROR(GetModuleHandle(L"nosuch.dll") == NULL, ERROR_MOD_NOT_FOUND);

    printf("%d failed\n", failures);
    return failures;
}
