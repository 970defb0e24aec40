/*
 * A tape status routine as a C program for Windows writes it: only windows.h, the generic-text
 * names, and the SDK's tape records. Built as C, so the headers must be plain C.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "c_program.h"

static void Describe(DWORD error, char* out, size_t outSize) {
    LPTSTR text = NULL;
    if (FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                          FORMAT_MESSAGE_MAX_WIDTH_MASK,
                      NULL, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPTSTR)&text, 0, NULL) == 0) {
        snprintf(out, outSize, "error %lu", (unsigned long)error);
        return;
    }
    snprintf(out, outSize, "%s", text);
    LocalFree(text);
}

int CProgramReport(const char* device, char* out, size_t outSize) {
    TAPE_GET_MEDIA_PARAMETERS* media;
    TAPE_GET_DRIVE_PARAMETERS* drive;
    DWORD* size;
    DWORD error;
    HANDLE h = CreateFile(TEXT(device), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        Describe(GetLastError(), out, outSize);
        return 2;
    }
    /* The program's memory for the records it passes (LocalAlloc'd). */
    media = (TAPE_GET_MEDIA_PARAMETERS*)LocalAlloc(LPTR, sizeof *media);
    drive = (TAPE_GET_DRIVE_PARAMETERS*)LocalAlloc(LPTR, sizeof *drive);
    size = (DWORD*)LocalAlloc(LPTR, sizeof *size);
    *size = sizeof *drive;
    error = GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, size, drive);
    if (error == NO_ERROR) {
        *size = sizeof *media;
        error = GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, media);
    }
    if (error == NO_ERROR) error = GetTapeStatus(h);
    if (error == NO_ERROR) {
        snprintf(out, outSize, "max block %lu, partitions %lu, %s", (unsigned long)drive->MaximumBlockSize,
                 (unsigned long)media->PartitionCount, media->WriteProtected ? "read-only" : "writable");
    } else {
        Describe(error, out, outSize);
    }
    LocalFree(media);
    LocalFree(drive);
    LocalFree(size);
    CloseHandle(h);
    return error == NO_ERROR ? 0 : 1;
}
