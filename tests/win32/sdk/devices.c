/*
 * Device names and handles: QueryDosDevice lists the tape and changer names, GetFileType and
 * FlushFileBuffers answer for a tape handle, and GetOverlappedResultEx reports a finished
 * overlapped request.
 *   devices DEVICE-NAME (e.g. Tape1)
 */
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddtape.h>

#include "check.h"

int main(int argc, char** argv) {
    if (argc != 2) return 100;
    static char all[65536];
    DWORD n = QueryDosDeviceA(NULL, all, sizeof all);
    CHECK(n > 2 && all[n - 1] == 0 && all[n - 2] == 0);
    int found = 0;
    for (const char* name = all; *name; name += strlen(name) + 1)
        if (strcmp(name, argv[1]) == 0) found = 1;
    CHECK(found);
    char target[256];
    n = QueryDosDeviceA(argv[1], target, sizeof target);
    CHECK(n == strlen(target) + 2 && strncmp(target, "\\Device\\", 8) == 0);
    CHECK_ERROR(QueryDosDeviceA(argv[1], target, 3) == 0, ERROR_INSUFFICIENT_BUFFER);
    CHECK_ERROR(QueryDosDeviceA("NoSuchDevice9", target, sizeof target) == 0, ERROR_FILE_NOT_FOUND);
    WCHAR wide[256];
    WCHAR name[32];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, name, 32);
    CHECK(QueryDosDeviceW(name, wide, 256) == n);

    char path[64];
    wsprintfA(path, "\\\\.\\%s", argv[1]);
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    CHECK(device != INVALID_HANDLE_VALUE);
    SetLastError(ERROR_BUSY);
    CHECK(GetFileType(device) == FILE_TYPE_UNKNOWN && GetLastError() == NO_ERROR); /* a tape is none of the three */
    CHECK(FlushFileBuffers(device));
    CHECK_ERROR(GetFileType((HANDLE)(ULONG_PTR)0x7770) == FILE_TYPE_UNKNOWN, ERROR_INVALID_HANDLE);

    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    TAPE_GET_MEDIA_PARAMETERS media;
    DWORD bytes = 0;
    BOOL done = DeviceIoControl(device, IOCTL_TAPE_GET_MEDIA_PARAMS, NULL, 0, &media, sizeof media, &bytes, &overlapped);
    CHECK(done || GetLastError() == ERROR_IO_PENDING);
    CHECK(GetOverlappedResultEx(device, &overlapped, &bytes, 10000, FALSE) && bytes == sizeof media);
    CHECK(HasOverlappedIoCompleted(&overlapped));
    CHECK(GetOverlappedResultEx(device, &overlapped, &bytes, 0, FALSE)); /* finished: no wait needed */
    CloseHandle(overlapped.hEvent);
    CloseHandle(device);
    printf("%d failed\n", failures);
    return failures;
}
