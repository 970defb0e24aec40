/*
 * A 32-bit program's SCSI pass-through: the records a 32-bit process sends (SCSI_PASS_THROUGH32
 * with offsets, SCSI_PASS_THROUGH_DIRECT32 with a 32-bit buffer address), with its buffers on its
 * stack and its heap, which lie below 4 GB in a 32-bit process.
 *   inquiry32 DEVICE buffered|direct|direct-heap
 * Prints "vendor VENDOR serial-page N" or "error N".
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

typedef struct {
    SCSI_PASS_THROUGH32 spt;
    UCHAR sense[32];
    UCHAR data[96];
} BUFFERED32;

typedef struct {
    SCSI_PASS_THROUGH_DIRECT32 sptd;
    UCHAR sense[32];
} DIRECT32;

int main(int argc, char** argv) {
    HANDLE h;
    DWORD returned = 0;
    UCHAR stackData[96];
    UCHAR* data = stackData;
    if (argc != 3) return 2;
    h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("error %lu\n", (unsigned long)GetLastError());
        return 3;
    }
    if (strcmp(argv[2], "buffered") == 0) {
        BUFFERED32 r;
        memset(&r, 0, sizeof r);
        r.spt.Length = sizeof r.spt;
        r.spt.CdbLength = 6;
        r.spt.SenseInfoLength = sizeof r.sense;
        r.spt.DataIn = SCSI_IOCTL_DATA_IN;
        r.spt.DataTransferLength = sizeof r.data;
        r.spt.TimeOutValue = 10;
        r.spt.SenseInfoOffset = offsetof(BUFFERED32, sense);
        r.spt.DataBufferOffset = offsetof(BUFFERED32, data);
        r.spt.Cdb[0] = 0x12;
        r.spt.Cdb[4] = sizeof r.data;
        if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, &r, sizeof r, &r, sizeof r, &returned, NULL)) {
            printf("error %lu\n", (unsigned long)GetLastError());
            return 10;
        }
        memcpy(stackData, r.data, sizeof stackData);
    } else {
        DIRECT32 r;
        if (strcmp(argv[2], "direct-heap") == 0) data = (UCHAR*)malloc(96);
        memset(&r, 0, sizeof r);
        memset(data, 0, 96);
        r.sptd.Length = sizeof r.sptd;
        r.sptd.CdbLength = 6;
        r.sptd.SenseInfoLength = sizeof r.sense;
        r.sptd.DataIn = SCSI_IOCTL_DATA_IN;
        r.sptd.DataTransferLength = 96;
        r.sptd.TimeOutValue = 10;
        r.sptd.DataBuffer = (ULONG32)(ULONG_PTR)data; /* a 32-bit process's address */
        r.sptd.SenseInfoOffset = offsetof(DIRECT32, sense);
        r.sptd.Cdb[0] = 0x12;
        r.sptd.Cdb[4] = 96;
        if ((ULONG_PTR)data > 0xFFFFFFFFull) {
            printf("buffer above 4 GB\n");
            return 11;
        }
        if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r, sizeof r, &returned, NULL)) {
            printf("error %lu\n", (unsigned long)GetLastError());
            return 10;
        }
    }
    printf("vendor %.8s\n", (const char*)data + 8);
    if (data != stackData) free(data);
    CloseHandle(h);
    return 0;
}
