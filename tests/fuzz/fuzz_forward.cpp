// Fuzz target: the tape bus's forwarding of an application's device-control request
// (busforward.cpp with buspassthru.cpp, bussptd.cpp, busrules.cpp and passthru.cpp).
//
// Every input is one request as the bus's dispatch, its engine and its completion treat it: a
// random control code (pass-through buffered and direct, tape and storage codes, others), random
// input and output lengths, a caller's system buffer that is a heap block of exactly the larger
// length, a 32-bit or 64-bit (or kernel-mode) caller, and for a pass-through a record that is
// random or shaped so that its offsets and lengths lie near the buffer's edges, its direct data
// buffer one of the caller's regions or not. The request is checked (BusPdoIoctlAccepted), a
// direct buffer locked (BusPdoLockSptdBuffer), the forwarded buffer sized, allocated and filled
// (BusForwardPrepare, BusForwardFill), and sent to a fake lower driver one or two times; that
// driver writes random data only within what it was given (the forwarded output length, the
// record's sense and data ranges and lengths as the forwarded record has them) and reports an
// Information within the output length. Then the sense is read (BusPassThruTakeSense), the
// outcome copied back (BusForwardCopyBack), the locked buffer released and the caller's record
// restored (BusPdoDequeueMdl, BusForwardRestoreCaller).
//
// Checked afterwards: nothing outside the caller's buffers is touched (the sanitizer), the lower
// driver never gets a 44-byte record, a range outside its buffer or a user address; the caller's
// Information never exceeds its output length; only the bytes the outcome accounts for change in
// the caller's buffer and its record keeps its own width, offsets, CDB and data-buffer value; no
// MDL, pool block or lock is left (the stub kernel and the leak check).
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzbytes.h"

#include <ntddchgr.h>
#include <ntddstor.h>
#include <ntddtape.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "busframe.h"
#include "fuzzkernel.h"

namespace {

using fuzzbytes::Block;
using fuzzbytes::Fill;
using fuzzbytes::Get;
using fuzzbytes::Put;

#define CHECK FUZZ_CHECK




struct Range {
    std::uint64_t off = 0;
    std::uint64_t len = 0;
};
bool Inside(Range r, std::uint64_t start, std::uint64_t size) {
    return r.len == 0 || (r.off >= start && r.off <= size && r.len <= size - r.off);
}
bool InRange(size_t i, Range r) { return r.len != 0 && i >= r.off && i - r.off < r.len; }

// The virtual device: where it keeps the locked buffers of its requests.
struct VirtualDevice {
    PBUS_MDL_NODE pHead = nullptr;
    KSPIN_LOCK lock = 0;
};

ULONG PickCode(FuzzedDataProvider& fdp) {
    static const ULONG codes[] = {
        IOCTL_TAPE_GET_POSITION, IOCTL_TAPE_SET_POSITION, IOCTL_TAPE_WRITE_MARKS, IOCTL_TAPE_GET_DRIVE_PARAMS,
        IOCTL_TAPE_SET_DRIVE_PARAMS, IOCTL_TAPE_GET_MEDIA_PARAMS, IOCTL_TAPE_GET_STATUS, IOCTL_TAPE_ERASE,
        IOCTL_TAPE_PREPARE, IOCTL_TAPE_CREATE_PARTITION, IOCTL_STORAGE_QUERY_PROPERTY, IOCTL_STORAGE_RESERVE,
        IOCTL_STORAGE_PERSISTENT_RESERVE_IN, IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, IOCTL_SCSI_GET_ADDRESS,
        IOCTL_CHANGER_GET_PARAMETERS, 0x1FE0C0, 0x1FC038, 0x8400C044,
    };
    switch (fdp.ConsumeIntegralInRange(0, 9)) {
    case 0:
    case 1:
    case 2: return IOCTL_SCSI_PASS_THROUGH;
    case 3:
    case 4:
    case 5: return IOCTL_SCSI_PASS_THROUGH_DIRECT;
    case 6:
    case 7: return codes[fdp.ConsumeIntegralInRange<size_t>(0, sizeof codes / sizeof codes[0] - 1)];
    case 8: return fdp.ConsumeIntegral<ULONG>() & ~3u;   // any buffered code
    default: return fdp.ConsumeIntegral<ULONG>();
    }
}

ULONG PickLength(FuzzedDataProvider& fdp) {
    switch (fdp.ConsumeIntegralInRange(0, 4)) {
    case 0: return 0;
    case 1: return fdp.ConsumeIntegralInRange<ULONG>(40, 60);
    case 2: return fdp.ConsumeIntegralInRange<ULONG>(0, 64);
    default: return fdp.ConsumeIntegralInRange<ULONG>(0, 600);
    }
}

// A made-up user address of the caller's width.
std::uint64_t UserAddress(FuzzedDataProvider& fdp, bool caller32) {
    const std::uint64_t base = caller32 ? 0x00410000u : 0x00007FF6A0000000ull;
    return base + fdp.ConsumeIntegralInRange<std::uint64_t>(0, 0xFFFF) * 16;
}

// Shapes a pass-through record at the front of the caller's buffer; for a direct one, maybe gives
// it a data buffer among the caller's regions.
void ShapeRecord(FuzzedDataProvider& fdp, Block& caller, bool caller32, bool direct, std::vector<Block*>& owned) {
    const bool width32 = fdp.ConsumeIntegralInRange(0, 7) == 0 ? !caller32 : caller32;
    const ULONG len = width32 ? CMN_PT32_LENGTH : CMN_PT64_LENGTH;
    if (caller.size < len) return;
    const ULONG n = static_cast<ULONG>(caller.size);
    auto near = [&]() -> ULONG {
        switch (fdp.ConsumeIntegralInRange(0, 4)) {
        case 0: return len;
        case 1: return fdp.ConsumeIntegralInRange<ULONG>(0, n + 16);
        case 2: return n - fdp.ConsumeIntegralInRange<ULONG>(0, std::min<ULONG>(n, 24));
        case 3: return 0xFFFFFFFFu - fdp.ConsumeIntegralInRange<ULONG>(0, 64);
        default: return fdp.ConsumeIntegral<ULONG>();
        }
    };
    Put<USHORT>(caller.data, 0, fdp.ConsumeIntegralInRange(0, 15) == 0 ? fdp.ConsumeIntegral<USHORT>() : USHORT(len));
    caller.data[6] = fdp.ConsumeIntegralInRange(0, 7) == 0 ? fdp.ConsumeIntegral<std::uint8_t>()
                                                           : fdp.ConsumeIntegralInRange<std::uint8_t>(1, 16);
    caller.data[7] = static_cast<std::uint8_t>(std::min<ULONG>(near(), 255));
    caller.data[8] = fdp.ConsumeIntegralInRange<std::uint8_t>(0, 3);
    ULONG dataLength = fdp.ConsumeBool() ? near() : fdp.ConsumeIntegralInRange<ULONG>(0, 300);
    Put<ULONG>(caller.data, 12, dataLength);
    const ULONG senseOffset = near();
    if (width32) {
        Put<ULONG>(caller.data, 24, senseOffset);
    } else {
        Put<ULONG>(caller.data, 32, senseOffset);
        Put<ULONG>(caller.data, 36, 0);
    }
    if (!direct) {
        if (width32) {
            Put<ULONG>(caller.data, 20, near());
        } else {
            Put<std::uint64_t>(caller.data, 24, near());
        }
        return;
    }
    // The direct data buffer: a region of the caller (exactly the length, or shorter), none, or a
    // stray address.
    std::uint64_t address = 0;
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
    case 0: address = 0; break;
    case 1: address = fdp.ConsumeIntegral<std::uint64_t>(); break;
    default: {
        if (dataLength > 4096) {
            dataLength = fdp.ConsumeIntegralInRange<ULONG>(1, 4096);
            Put<ULONG>(caller.data, 12, dataLength);
        }
        const ULONG regionLength = fdp.ConsumeIntegralInRange(0, 5) == 0 ? fdp.ConsumeIntegralInRange<ULONG>(0, dataLength)
                                                                         : dataLength;
        Block* block = new Block(regionLength);
        owned.push_back(block);
        std::memset(block->data, 0x3C, block->size);
        address = UserAddress(fdp, caller32);
        fuzzk::Kernel().regions.push_back({address, block->data, regionLength});
        break;
    }
    }
    if (width32) {
        Put<ULONG>(caller.data, 20, static_cast<ULONG>(address));
    } else {
        Put<std::uint64_t>(caller.data, 24, address);
    }
}

// The lower driver: answers within what the forwarded request gives it.
NTSTATUS LowerDriver(FuzzedDataProvider& fdp, PIO_STACK_LOCATION next, std::uint8_t* buffer, bool passThru,
                     bool direct, ULONG_PTR* information) {
    const ULONG out = next->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG in = next->Parameters.DeviceIoControl.InputBufferLength;
    CHECK(in <= out);
    if (passThru) {
        // Only the 64-bit record goes down, with its ranges inside the buffer behind it and its
        // direct buffer a system address (of the caller's locked region) or none.
        CHECK(in >= CMN_PT64_LENGTH && out >= CMN_PT64_LENGTH);
        CHECK(Get<USHORT>(buffer, 0) == CMN_PT64_LENGTH);
        const Range sense{Get<ULONG>(buffer, 32), buffer[7]};
        CHECK(Inside(sense, CMN_PT64_LENGTH, out));
        const ULONG dataLength = Get<ULONG>(buffer, 12);
        std::uint8_t* data = nullptr;
        if (direct) {
            auto* p = reinterpret_cast<std::uint8_t*>(Get<std::uint64_t>(buffer, 24));
            if (p != nullptr && dataLength != 0) {
                bool mapped = false;
                for (const fuzzk::Region& r : fuzzk::Kernel().regions) {
                    mapped = mapped || (p >= r.block && static_cast<ULONG>(p - r.block) <= r.length &&
                                        dataLength <= r.length - static_cast<ULONG>(p - r.block));
                }
                CHECK(mapped);
                data = p;
            }
        } else {
            const Range range{Get<std::uint64_t>(buffer, 24), dataLength};
            CHECK(Inside(range, CMN_PT64_LENGTH, out));
            if (dataLength != 0) data = buffer + range.off;
        }
        const ULONG done = fdp.ConsumeIntegralInRange<ULONG>(0, dataLength);
        if (data != nullptr) Fill(fdp, data, done, 0xD7);
        const ULONG senseDone = fdp.ConsumeIntegralInRange<ULONG>(0, static_cast<ULONG>(sense.len));
        Fill(fdp, buffer + sense.off, senseDone, 0x70);
        buffer[2] = fdp.ConsumeBool() ? 0x02 : fdp.ConsumeIntegral<std::uint8_t>();
        buffer[7] = static_cast<std::uint8_t>(senseDone);
        Put<ULONG>(buffer, 12, done);
    } else {
        const ULONG written = fdp.ConsumeIntegralInRange<ULONG>(0, out);
        Fill(fdp, buffer, written, 0xE1);
    }
    // The base driver's record behind the data part.
    Fill(fdp, buffer + out, sizeof(SCSI_STATUS), 0);
    *information = fdp.ConsumeIntegralInRange<ULONG>(0, out);
    static const NTSTATUS outcomes[] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_IO_DEVICE_ERROR,
                                        STATUS_INVALID_PARAMETER, STATUS_IO_TIMEOUT};
    return outcomes[fdp.ConsumeIntegralInRange<size_t>(0, sizeof outcomes / sizeof outcomes[0] - 1)];
}

void RunRequest(FuzzedDataProvider& fdp) {
    fuzzk::Kernel().caller32 = fdp.ConsumeBool();
    const bool kernelCaller = fdp.ConsumeIntegralInRange(0, 9) == 0;
    const ULONG code = PickCode(fdp);
    const ULONG inLength = PickLength(fdp);
    const ULONG outLength = PickLength(fdp);
    const bool passThru = code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    const bool direct = code == IOCTL_SCSI_PASS_THROUGH_DIRECT;

    // The caller's system buffer as the I/O manager makes it: the larger length, none for 0.
    const ULONG systemLength = std::max(inLength, outLength);
    Block caller(systemLength);
    Fill(fdp, caller.data, caller.size, 0x5C);
    std::vector<Block*> regions;
    if (passThru && fdp.ConsumeIntegralInRange(0, 5) != 0) {
        ShapeRecord(fdp, caller, fuzzk::Kernel().caller32 && !kernelCaller, direct, regions);
    }
    const std::vector<std::uint8_t> callerBefore(caller.data, caller.data + caller.size);

    VirtualDevice pdo;
    DEVICE_OBJECT device;
    std::memset(&device, 0, sizeof device);
    device.DeviceExtension = &pdo;
    IO_STACK_LOCATION stack;
    std::memset(&stack, 0, sizeof stack);
    stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack.Parameters.DeviceIoControl.OutputBufferLength = outLength;
    IRP irp;
    std::memset(&irp, 0, sizeof irp);
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.AssociatedIrp.SystemBuffer = systemLength != 0 ? caller.data : nullptr;
    irp.RequestorMode = kernelCaller ? KernelMode : UserMode;
    const bool caller32 = IoIs32bitProcess(&irp) != FALSE;

    auto finish = [&]() {
        CHECK(pdo.pHead == nullptr && pdo.lock == 0);
        CHECK(fuzzk::Kernel().liveMdls == 0 && fuzzk::Kernel().liveBlocks == 0);
        for (Block* b : regions) delete b;
    };

    // Dispatch: the code checked, a direct buffer locked in the caller's context.
    if (!BusPdoIoctlAccepted(&irp, code)) {
        CHECK(!passThru);
        CHECK(std::equal(callerBefore.begin(), callerBefore.end(), caller.data));
        finish();
        return;
    }
    if (direct) {
        if (fdp.ConsumeIntegralInRange(0, 15) == 0) fuzzk::Kernel().poolFailAfter = 0;
        const NTSTATUS status = BusPdoLockSptdBuffer(&device, &irp);
        fuzzk::Kernel().poolFailAfter = ~0u;
        if (!NT_SUCCESS(status)) {
            CHECK(fuzzk::Kernel().completed == &irp && fuzzk::Kernel().completions == 1);
            CHECK(irp.IoStatus.Status == status && irp.IoStatus.Information == 0);
            CHECK(std::equal(callerBefore.begin(), callerBefore.end(), caller.data));
            finish();
            return;
        }
        CHECK(fuzzk::Kernel().completions == 0);
    }

    // The engine: sized, then one or two attempts, each with a fresh forwarded buffer.
    BUS_FORWARD fwd;
    std::memset(&fwd, 0, sizeof fwd);
    fwd.fDirect = direct;
    fwd.pIrpStack = &stack;
    NTSTATUS status = BusForwardPrepare(&device, &irp, &fwd);
    ULONG_PTR information = 0;
    bool sent = false;
    std::uint8_t* buffer = nullptr;
    if (NT_SUCCESS(status)) {
        CHECK(fwd.ulOutput % 8 == 0 && fwd.ulOutput >= fwd.ulCallerBuffer);
        CHECK(fwd.f32bit == (passThru && caller32));
        const int attempts = fdp.ConsumeIntegralInRange(1, 2);
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (buffer != nullptr) ExFreePoolWithTag(buffer, 0);
            const ULONG size = fwd.ulOutput + sizeof(SCSI_STATUS);
            buffer = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, 'dFuB'));
            std::memset(buffer, 0, size);
            status = BusForwardFill(&irp, &fwd, buffer);
            sent = false;
            information = 0;
            if (!NT_SUCCESS(status)) break;
            CHECK(std::equal(callerBefore.begin(), callerBefore.end(), caller.data));   // untouched until the end
            IO_STACK_LOCATION next = stack;
            next.Parameters.DeviceIoControl.OutputBufferLength = fwd.ulOutput;
            next.Parameters.DeviceIoControl.InputBufferLength = std::min(fwd.ulInput, fwd.ulOutput);
            status = LowerDriver(fdp, &next, buffer, fwd.fPassThru, direct, &information);
            sent = true;
            if (fwd.fPassThru) {
                BOOLEAN extended;
                (void)BusPassThruTakeSense(buffer, fwd.ulOutput, reinterpret_cast<PSCSI_STATUS>(buffer + fwd.ulOutput),
                                           &extended);
            }
        }
    }
    const NTSTATUS lowerStatus = status;
    const ULONG_PTR lowerInformation = information;
    std::vector<std::uint8_t> forwarded;
    if (sent) {
        forwarded.assign(buffer, buffer + fwd.ulOutput);
        status = BusForwardCopyBack(&irp, &fwd, buffer, status, &information);
    } else {
        information = 0;
    }
    if (buffer != nullptr) ExFreePoolWithTag(buffer, 0);
    if (direct) {
        BusPdoDequeueMdl(&device, &irp);
        BusForwardRestoreCaller(&irp, &fwd);
    }

    // What the caller gets.
    CHECK(information <= outLength);
    if (!sent) {
        CHECK(std::equal(callerBefore.begin(), callerBefore.end(), caller.data));
    } else if (!fwd.f32bit) {
        // Raw copy back: the bytes the lower driver accounted for, within both buffers.
        const ULONG_PTR copied = std::min<ULONG_PTR>({lowerInformation, fwd.ulOutput, outLength});
        CHECK(status == lowerStatus);
        for (size_t i = 0; i < caller.size; ++i) {
            const bool restored = direct && i >= 24 && i < 32;
            if (i < copied && !restored) CHECK(caller.data[i] == forwarded[i]);
            if (i >= copied) CHECK(caller.data[i] == callerBefore[i]);
        }
        if (direct) CHECK(Get<std::uint64_t>(caller.data, 24) == Get<std::uint64_t>(callerBefore.data(), 24));
        if (passThru && copied >= CMN_PT64_LENGTH) {
            // The record that went down kept the caller's offsets, so the copy has them too.
            CHECK(Get<ULONG>(caller.data, 32) == Get<ULONG>(callerBefore.data(), 32));
            if (!direct) CHECK(Get<std::uint64_t>(caller.data, 24) == Get<std::uint64_t>(callerBefore.data(), 24));
        }
    } else {
        // A 32-bit record: converted back into its own width.
        CHECK(status == lowerStatus);
        const std::uint8_t* b = callerBefore.data();
        CHECK(std::memcmp(caller.data, b, 2) == 0);                        // Length 44
        CHECK(std::memcmp(caller.data + 3, b + 3, 4) == 0);                // address, CdbLength
        CHECK(std::memcmp(caller.data + 8, b + 8, 4) == 0);                // DataIn
        CHECK(std::memcmp(caller.data + 16, b + 16, 28) == 0);             // timeout, data buffer, sense offset, CDB
        CHECK(caller.data[7] <= b[7]);
        CHECK(Get<ULONG>(caller.data, 12) <= Get<ULONG>(b, 12));
        const Range sense{Get<ULONG>(b, 24), b[7]};
        const Range data{Get<ULONG>(b, 20), direct ? 0 : Get<ULONG>(b, 12)};
        for (size_t i = CMN_PT32_LENGTH; i < caller.size; ++i) {
            if (!InRange(i, sense) && !InRange(i, data)) CHECK(caller.data[i] == b[i]);
        }
    }
    finish();
}

}  // namespace

// busframe.h leaves it to each bus driver: where a virtual device keeps its locked buffers.
VOID BusPdoMdlQueue(PDEVICE_OBJECT pDeviceObject, PBUS_MDL_NODE** pppHead, PKSPIN_LOCK* ppLock) {
    auto* pdo = static_cast<VirtualDevice*>(pDeviceObject->DeviceExtension);
    *pppHead = &pdo->pHead;
    *ppLock = &pdo->lock;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    FuzzedDataProvider fdp(input, size);
    fuzzk::Reset();
    RunRequest(fdp);
    return 0;
}
