/*
 * Memory of every kind a Windows program allocates, used as the buffer of a pass-through
 * INQUIRY to the drive: each passes while it lives; the kernel refuses a freed one (998), and a
 * moveable handle is not an address.
 *   memory DEVICE
 */
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "check.h"

typedef struct {
    SCSI_PASS_THROUGH_DIRECT sptd;
    UCHAR sense[32];
} DIRECT_REQUEST;

static HANDLE device;

/* An INQUIRY straight into `data` (direct pass-through: the buffer is the caller's memory). */
static DWORD Inquiry(void* data) {
    DIRECT_REQUEST r;
    DWORD returned = 0;
    memset(&r, 0, sizeof r);
    r.sptd.Length = sizeof r.sptd;
    r.sptd.CdbLength = 6;
    r.sptd.SenseInfoLength = sizeof r.sense;
    r.sptd.DataIn = SCSI_IOCTL_DATA_IN;
    r.sptd.DataTransferLength = 96;
    r.sptd.TimeOutValue = 10;
    r.sptd.DataBuffer = data;
    r.sptd.SenseInfoOffset = offsetof(DIRECT_REQUEST, sense);
    r.sptd.Cdb[0] = 0x12;
    r.sptd.Cdb[4] = 96;
    if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r, sizeof r, &returned, NULL))
        return GetLastError();
    return memcmp((char*)data + 8, "VORKA", 5) == 0 ? 0 : 0xFFFF;
}

int main(int argc, char** argv) {
    if (argc != 2) return 100;
    device = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) return 101;

    /* VirtualAlloc: page-aligned, zero-filled, the buffer of unbuffered and direct callers. */
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    BYTE* pages = (BYTE*)VirtualAlloc(NULL, 3 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    CHECK(pages != NULL && ((ULONG_PTR)pages % info.dwPageSize) == 0);
    CHECK(pages[0] == 0 && pages[3 * info.dwPageSize - 1] == 0);
    CHECK(Inquiry(pages + info.dwPageSize) == 0);
    CHECK(VirtualAlloc(pages + 10, 100, MEM_COMMIT, PAGE_READWRITE) == pages); /* commit inside: its page */
    CHECK_ERROR(!VirtualFree(pages, 10, MEM_RELEASE), ERROR_INVALID_PARAMETER);
    CHECK(VirtualFree(pages, 0, MEM_RELEASE));
    CHECK(Inquiry(pages) == ERROR_NOACCESS);
    CHECK_ERROR(!VirtualFree(pages, 0, MEM_RELEASE), ERROR_INVALID_ADDRESS);
    CHECK_ERROR(VirtualAlloc(NULL, 0, MEM_COMMIT, PAGE_READWRITE) == NULL, ERROR_INVALID_PARAMETER);

    /* The process heap and a heap of its own. */
    HANDLE heap = GetProcessHeap();
    BYTE* block = (BYTE*)HeapAlloc(heap, HEAP_ZERO_MEMORY, 200);
    CHECK(block && block[199] == 0 && HeapSize(heap, 0, block) == 200);
    CHECK(Inquiry(block) == 0);
    block = (BYTE*)HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4000);
    CHECK(block && block[3999] == 0 && memcmp(block + 8, "VORKA", 5) == 0);
    CHECK(HeapFree(heap, 0, block));
    CHECK(Inquiry(block) == ERROR_NOACCESS);
    CHECK_ERROR(!HeapFree(heap, 0, block), ERROR_INVALID_PARAMETER);
    HANDLE own = HeapCreate(0, 0, 0);
    void* left = HeapAlloc(own, 0, 128);
    CHECK(own && left && Inquiry(left) == 0);
    CHECK(HeapDestroy(own)); /* takes its blocks with it */
    CHECK(Inquiry(left) == ERROR_NOACCESS);

    /* Local and global memory, fixed and moveable. */
    HLOCAL fixed = LocalAlloc(LPTR, 128);
    CHECK(fixed && LocalLock(fixed) == fixed && LocalSize(fixed) == 128);
    CHECK(Inquiry(fixed) == 0);
    CHECK(LocalFree(fixed) == NULL);
    CHECK_ERROR(LocalFree(fixed) == fixed, ERROR_INVALID_HANDLE);
    HLOCAL moveable = LocalAlloc(LHND, 128);
    BYTE* locked = (BYTE*)LocalLock(moveable);
    CHECK(moveable && locked && (void*)locked != (void*)moveable && locked[127] == 0);
    CHECK(LocalFlags(moveable) == 1);
    CHECK(Inquiry(locked) == 0);
    CHECK(Inquiry(moveable) == ERROR_NOACCESS); /* the handle is no address */
    CHECK_ERROR(!LocalUnlock(moveable), NO_ERROR);
    CHECK_ERROR(!LocalUnlock(moveable), ERROR_NOT_LOCKED);
    CHECK(LocalReAlloc(moveable, 4096, LMEM_MOVEABLE | LMEM_ZEROINIT) == moveable && LocalSize(moveable) == 4096);
    locked = (BYTE*)LocalLock(moveable);
    CHECK(locked && memcmp(locked + 8, "VORKA", 5) == 0 && locked[4095] == 0);
    LocalUnlock(moveable);
    CHECK(LocalFree(moveable) == NULL);
    HGLOBAL global = GlobalAlloc(GHND, 256);
    void* gp = GlobalLock(global);
    CHECK(global && gp && GlobalSize(global) == 256 && Inquiry(gp) == 0);
    GlobalUnlock(global);
    CHECK(GlobalFree(global) == NULL);

    /* The C runtime's aligned and duplicated blocks are the process's heap too. */
    void* aligned = _aligned_malloc(4096, 512);
    CHECK(aligned && ((ULONG_PTR)aligned % 512) == 0 && Inquiry(aligned) == 0);
    _aligned_free(aligned);
    CHECK(_aligned_malloc(64, 3) == NULL);
    void* c11 = aligned_alloc(4096, 8192);
    CHECK(c11 && ((ULONG_PTR)c11 % 4096) == 0 && Inquiry(c11) == 0);
    free(c11);
    void* posix = NULL;
    CHECK(posix_memalign(&posix, 64, 256) == 0 && Inquiry(posix) == 0);
    posix = realloc(posix, 1024);
    CHECK(posix && memcmp((char*)posix + 8, "VORKA", 5) == 0 && Inquiry(posix) == 0);
    free(posix);
    char* copy = strdup("a block of the program's heap, long enough for an inquiry: ninety-six bytes of data and then some more text to be sure of it");
    CHECK(copy && Inquiry(copy) == 0);
    free(copy);

    CloseHandle(device);
    printf("%d failed\n", failures);
    return failures;
}
