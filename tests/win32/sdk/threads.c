/*
 * A backup engine's threads: a reader and a writer started with CreateThread, each calling the
 * API on the drive while the other runs, counting with Interlocked* under a critical section,
 * and the main thread waiting for both with WaitForMultipleObjects.
 *   threads DEVICE
 */
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "check.h"

static HANDLE device;
static CRITICAL_SECTION section;
static LONG inquiries;
static LONG insideSection;
static LONG overlaps;
static HANDLE go;

typedef struct {
    SCSI_PASS_THROUGH spt;
    UCHAR sense[32];
    UCHAR data[96];
} INQUIRY_REQUEST;

static DWORD WINAPI Worker(LPVOID parameter) {
    WaitForSingleObject(go, INFINITE);
    for (int i = 0; i < 20; ++i) {
        INQUIRY_REQUEST r; /* on this thread's own stack */
        DWORD returned = 0;
        memset(&r, 0, sizeof r);
        r.spt.Length = sizeof r.spt;
        r.spt.CdbLength = 6;
        r.spt.SenseInfoLength = sizeof r.sense;
        r.spt.DataIn = SCSI_IOCTL_DATA_IN;
        r.spt.DataTransferLength = sizeof r.data;
        r.spt.TimeOutValue = 10;
        r.spt.SenseInfoOffset = offsetof(INQUIRY_REQUEST, sense);
        r.spt.DataBufferOffset = offsetof(INQUIRY_REQUEST, data);
        r.spt.Cdb[0] = 0x12;
        r.spt.Cdb[4] = sizeof r.data;
        if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &r, sizeof r, &r, sizeof r, &returned, NULL))
            return 1000 + GetLastError();
        if (memcmp(r.data + 8, "VORKA", 5) != 0) return 999;
        InterlockedIncrement(&inquiries);
        EnterCriticalSection(&section);
        EnterCriticalSection(&section); /* a critical section is recursive */
        if (InterlockedIncrement(&insideSection) != 1) InterlockedIncrement(&overlaps);
        InterlockedDecrement(&insideSection);
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
    }
    return (DWORD)(ULONG_PTR)parameter;
}

static DWORD WINAPI Quitter(LPVOID parameter) {
    (void)parameter;
    ExitThread(77);
}

int main(int argc, char** argv) {
    if (argc != 2) return 100;
    device = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) return 101;
    InitializeCriticalSection(&section);
    go = CreateEventA(NULL, TRUE, FALSE, NULL);

    DWORD ids[2];
    HANDLE threads[2];
    threads[0] = CreateThread(NULL, 0, Worker, (LPVOID)11, 0, &ids[0]);
    threads[1] = CreateThread(NULL, 0, Worker, (LPVOID)22, CREATE_SUSPENDED, &ids[1]);
    CHECK(threads[0] && threads[1] && ids[0] != ids[1] && ids[0] != GetCurrentThreadId());
    DWORD code = 0;
    CHECK(GetExitCodeThread(threads[0], &code) && code == STILL_ACTIVE);
    CHECK(WaitForMultipleObjects(2, threads, FALSE, 0) == WAIT_TIMEOUT); /* both wait for the go */
    CHECK(ResumeThread(threads[1]) == 1);
    SetEvent(go);
    CHECK(WaitForMultipleObjects(2, threads, TRUE, INFINITE) == WAIT_OBJECT_0);
    CHECK(GetExitCodeThread(threads[0], &code) && code == 11);
    CHECK(GetExitCodeThread(threads[1], &code) && code == 22);
    CHECK(inquiries == 40 && overlaps == 0);
    CHECK(WaitForMultipleObjects(2, threads, FALSE, 0) == WAIT_OBJECT_0); /* the first signalled one */
    CHECK(CloseHandle(threads[0]) && CloseHandle(threads[1]));
    CHECK_ERROR(!GetExitCodeThread(threads[0], &code), ERROR_INVALID_HANDLE);

    HANDLE quitter = CreateThread(NULL, 0, Quitter, NULL, 0, NULL);
    CHECK(WaitForSingleObject(quitter, INFINITE) == WAIT_OBJECT_0);
    CHECK(GetExitCodeThread(quitter, &code) && code == 77);
    CloseHandle(quitter);
    CHECK_ERROR(WaitForMultipleObjects(0, threads, FALSE, 0) == WAIT_FAILED, ERROR_INVALID_PARAMETER);

    CHECK(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
    LONG value = 5;
    CHECK(InterlockedCompareExchange(&value, 9, 5) == 5 && value == 9);
    CHECK(InterlockedExchange(&value, 1) == 9 && InterlockedExchangeAdd(&value, 2) == 1 && value == 3);
    CloseHandle(go);
    CloseHandle(device);
    printf("%d failed\n", failures);
    return failures;
}
