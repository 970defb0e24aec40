/*
 * Which buffers a program may hand to a driver: its stack, its globals and its live heap blocks
 * pass; a freed block, NULL and a wild address fail with ERROR_NOACCESS (998), as on Windows.
 *   buffers DEVICE stack|global|heap|freed|null|wild|crash|exit|abort
 * Sends one IOCTL_SCSI_PASS_THROUGH (INQUIRY) with the record in the named memory and prints
 * "ok VENDOR" or "error N"; exits 0 when the call succeeded, 10 when it failed.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

typedef struct {
    SCSI_PASS_THROUGH spt;
    UCHAR sense[32];
    UCHAR data[96];
} INQUIRY_REQUEST;

static INQUIRY_REQUEST globalRequest;

static void Prepare(INQUIRY_REQUEST* r) {
    memset(r, 0, sizeof *r);
    r->spt.Length = sizeof r->spt;
    r->spt.CdbLength = 6;
    r->spt.SenseInfoLength = sizeof r->sense;
    r->spt.DataIn = SCSI_IOCTL_DATA_IN;
    r->spt.DataTransferLength = sizeof r->data;
    r->spt.TimeOutValue = 10;
    r->spt.SenseInfoOffset = offsetof(INQUIRY_REQUEST, sense);
    r->spt.DataBufferOffset = offsetof(INQUIRY_REQUEST, data);
    r->spt.Cdb[0] = 0x12;
    r->spt.Cdb[4] = sizeof r->data;
}

static int Send(HANDLE h, INQUIRY_REQUEST* r) {
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, r, sizeof *r, r, sizeof *r, &returned, NULL)) {
        printf("error %lu\n", (unsigned long)GetLastError());
        return 10;
    }
    printf("ok %.8s\n", (const char*)r->data + 8);
    return 0;
}

int main(int argc, char** argv) {
    INQUIRY_REQUEST stackRequest;
    INQUIRY_REQUEST* r;
    HANDLE h;
    int code;
    if (argc != 3) {
        fprintf(stderr, "usage: buffers DEVICE KIND\n");
        return 2;
    }
    h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s: %lu\n", argv[1], (unsigned long)GetLastError());
        return 3;
    }
    if (strcmp(argv[2], "stack") == 0) {
        Prepare(&stackRequest);
        code = Send(h, &stackRequest);
    } else if (strcmp(argv[2], "global") == 0) {
        Prepare(&globalRequest);
        code = Send(h, &globalRequest);
    } else if (strcmp(argv[2], "heap") == 0) {
        r = (INQUIRY_REQUEST*)malloc(sizeof *r);
        Prepare(r);
        code = Send(h, r);
        free(r);
    } else if (strcmp(argv[2], "freed") == 0) {
        INQUIRY_REQUEST* volatile stale;
        r = (INQUIRY_REQUEST*)malloc(sizeof *r);
        Prepare(r);
        stale = r;
        free(r);
        code = Send(h, stale); /* the program's bug: the driver must not see the block */
    } else if (strcmp(argv[2], "null") == 0) {
        DWORD returned = 0;
        if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, NULL, sizeof(INQUIRY_REQUEST), NULL,
                             sizeof(INQUIRY_REQUEST), &returned, NULL)) {
            printf("error %lu\n", (unsigned long)GetLastError());
            code = 10;
        } else {
            code = 0;
        }
    } else if (strcmp(argv[2], "wild") == 0) {
        code = Send(h, (INQUIRY_REQUEST*)(ULONG_PTR)0x7ff000000000ull);
    } else if (strcmp(argv[2], "crash") == 0) {
        puts("about to crash");
        code = *(volatile int*)(ULONG_PTR)16;
    } else if (strcmp(argv[2], "exit") == 0) {
        puts("leaving early");
        exit(42); /* the handle stays open: the process's end closes it */
    } else if (strcmp(argv[2], "abort") == 0) {
        abort();
    } else {
        code = 2;
    }
    CloseHandle(h);
    return code;
}
