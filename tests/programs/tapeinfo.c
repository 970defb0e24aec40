/*
 * A small backup utility written the way a Windows developer outside the project writes one:
 * only the SDK's headers and names, the tape API, DeviceIoControl and FormatMessage.
 *   tapeinfo \\.\TapeN
 * Shows the drive's SCSI address and parameters, writes three 64 KiB blocks and a filemark,
 * rewinds, reads the first block back and compares it. Exit code 0 when everything matched.
 */
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <ntddtape.h>
#include <ntddchgr.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BLOCK (64 * 1024)

static int Fail(LPCTSTR what, DWORD error) {
    LPTSTR text = NULL;
    FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                  NULL, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPTSTR)&text, 0, NULL);
    fprintf(stderr, "%s failed: %s", what, text ? text : "unknown error\n");
    if (text) LocalFree(text);
    return 1;
}

int main(int argc, char* argv[]) {
    HANDLE tape;
    SCSI_ADDRESS address;
    TAPE_GET_DRIVE_PARAMETERS drive;
    DWORD size = sizeof(drive), done = 0, error, partition, low, high;
    BYTE* out;
    BYTE* in;
    int i;

    if (argc != 2) {
        fprintf(stderr, "usage: tapeinfo \\\\.\\TapeN\n");
        return 2;
    }
    tape = CreateFile(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (tape == INVALID_HANDLE_VALUE) return Fail(TEXT("CreateFile"), GetLastError());

    ZeroMemory(&address, sizeof(address));
    if (!DeviceIoControl(tape, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &address, sizeof(address), &done, NULL))
        return Fail(TEXT("IOCTL_SCSI_GET_ADDRESS"), GetLastError());
    printf("address %u:%u:%u:%u\n", address.PortNumber, address.PathId, address.TargetId, address.Lun);

    error = GetTapeParameters(tape, GET_TAPE_DRIVE_INFORMATION, &size, &drive);
    if (error != NO_ERROR) return Fail(TEXT("GetTapeParameters"), error);
    printf("default block size %lu\n", (unsigned long)drive.DefaultBlockSize);

    out = (BYTE*)malloc(BLOCK);
    in = (BYTE*)calloc(1, BLOCK);
    for (i = 0; i < 3; ++i) {
        memset(out, 'A' + i, BLOCK);
        if (!WriteFile(tape, out, BLOCK, &done, NULL) || done != BLOCK) return Fail(TEXT("WriteFile"), GetLastError());
    }
    error = WriteTapemark(tape, TAPE_FILEMARKS, 1, FALSE);
    if (error != NO_ERROR) return Fail(TEXT("WriteTapemark"), error);
    error = GetTapePosition(tape, TAPE_ABSOLUTE_POSITION, &partition, &low, &high);
    if (error != NO_ERROR) return Fail(TEXT("GetTapePosition"), error);
    printf("position after writing %lu\n", (unsigned long)low);
    error = SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
    if (error != NO_ERROR) return Fail(TEXT("SetTapePosition"), error);
    if (!ReadFile(tape, in, BLOCK, &done, NULL)) return Fail(TEXT("ReadFile"), GetLastError());
    memset(out, 'A', BLOCK);
    printf("read back %lu bytes, %s\n", (unsigned long)done, memcmp(in, out, BLOCK) == 0 ? "same" : "DIFFERENT");
    error = memcmp(in, out, BLOCK) == 0 && done == BLOCK ? 0 : 1;
    free(out);
    free(in);
    CloseHandle(tape);
    return (int)error;
}
