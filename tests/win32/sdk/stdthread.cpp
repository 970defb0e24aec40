// A C++ program's std::thread is a thread of its process: its calls reach the drive, and its
// over-aligned buffers (alignas, aligned new) are the process's memory.
//   stdthread DEVICE
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

struct alignas(64) Request {
    SCSI_PASS_THROUGH spt;
    UCHAR sense[32];
    UCHAR data[96];
};

static DWORD Inquiry(HANDLE device, Request* r) {
    std::memset(r, 0, sizeof *r);
    r->spt.Length = sizeof r->spt;
    r->spt.CdbLength = 6;
    r->spt.SenseInfoLength = sizeof r->sense;
    r->spt.DataIn = SCSI_IOCTL_DATA_IN;
    r->spt.DataTransferLength = sizeof r->data;
    r->spt.TimeOutValue = 10;
    r->spt.SenseInfoOffset = offsetof(Request, sense);
    r->spt.DataBufferOffset = offsetof(Request, data);
    r->spt.Cdb[0] = 0x12;
    r->spt.Cdb[4] = sizeof r->data;
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, r, sizeof *r, r, sizeof *r, &returned, nullptr))
        return GetLastError();
    return std::memcmp(r->data + 8, "VORKA", 5) == 0 ? 0 : 0xFFFF;
}

int main(int argc, char** argv) {
    if (argc != 2) return 100;
    HANDLE device = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return 101;
    std::vector<DWORD> results(3, 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            Request onStack;
            auto* onHeap = new Request;  // aligned operator new
            results[i] = Inquiry(device, &onStack) | Inquiry(device, onHeap);
            delete onHeap;
        });
    for (auto& t : threads) t.join();
    CloseHandle(device);
    int failed = 0;
    for (DWORD r : results) {
        if (r != 0) {
            std::printf("thread failed: %lu\n", static_cast<unsigned long>(r));
            ++failed;
        }
    }
    std::printf("%d failed\n", failed);
    return failed;
}
