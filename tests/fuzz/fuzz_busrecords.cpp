// Fuzz target: the control device's request checks (busrecords.cpp) for IOC_REGISTER, IOC_NOTIFY
// and IOC_QUERY_DEVICES.
//
// Every input becomes one request as the I/O manager hands it to the bus: a control code (one of the
// three, or any), the sender's mode, input and output lengths and a METHOD_BUFFERED system buffer
// of max(input, output) bytes (none when both are 0), an exact heap block so that AddressSanitizer
// sees any access outside it. After the check, the target does what the handler the check chose
// will do with the buffer (read the whole record, answer a whole REG_DVC, copy an IOC_QUERY_DEVICES
// answer of the length the bus computes) and verifies the check's verdict against the rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "busrecords.h"

namespace {

#define CHECK(cond)                                                                                  \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            __builtin_printf("check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);             \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

ULONG Length(FuzzedDataProvider& fdp) {
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0: return fdp.ConsumeIntegralInRange<ULONG>(0, 200);
    case 1: return fdp.ConsumeIntegralInRange<ULONG>(sizeof(NFY_DVC) - 2, sizeof(REG_DVC) + 2);
    case 2: return fdp.ConsumeIntegralInRange<ULONG>(QUERY_DEVICES_MIN_OUTPUT - 2, 2048);
    default: return fdp.ConsumeIntegralInRange<ULONG>(0, 4096);
    }
}

void CheckQueryLength(ULONG output, ULONG required) {
    ULONG n = BusQueryDevicesReturnLength(output, required);
    CHECK(n <= output && n <= required);
    if (output >= required) {
        CHECK(n == required);
    } else if (output >= QUERY_DEVICES_HEADER_SIZE) {
        CHECK((n - QUERY_DEVICES_HEADER_SIZE) % sizeof(DEVICE_DESCRIPTOR) == 0);
        CHECK(output - n < sizeof(DEVICE_DESCRIPTOR));  // as many whole descriptors as fit
    } else {
        CHECK(n == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    FuzzedDataProvider fdp(input, size);
    static const ULONG kCodes[] = {IOC_REGISTER, IOC_NOTIFY, IOC_QUERY_DEVICES, IOC_GET_SERIAL_NUMBER,
                                   IOCTL_SCSI_PASS_THROUGH};
    const ULONG code = fdp.ConsumeIntegralInRange(0, 7) < 6 ? fdp.PickValueInArray(kCodes) : fdp.ConsumeIntegral<ULONG>();
    const KPROCESSOR_MODE mode = fdp.ConsumeBool() ? KernelMode : (fdp.ConsumeBool() ? UserMode : fdp.ConsumeIntegral<KPROCESSOR_MODE>());
    const ULONG in = Length(fdp);
    const ULONG out = Length(fdp);
    const bool dropBuffer = fdp.ConsumeIntegralInRange(0, 15) == 0;  // lengths without a buffer
    const size_t bufferSize = std::max(in, out);
    std::uint8_t* buffer = bufferSize != 0 && !dropBuffer ? static_cast<std::uint8_t*>(std::malloc(bufferSize)) : nullptr;
    if (buffer != nullptr) {
        std::vector<std::uint8_t> raw = fdp.ConsumeBytes<std::uint8_t>(bufferSize);
        if (!raw.empty()) std::memcpy(buffer, raw.data(), raw.size());
        std::memset(buffer + raw.size(), 0, bufferSize - raw.size());
        if (in >= sizeof(NFY_DVC) && fdp.ConsumeBool()) {
            ULONG type = fdp.ConsumeIntegralInRange<ULONG>(0, 2);
            std::memcpy(buffer, &type, sizeof type);
        }
    }

    BUS_CONTROL_HANDLER handler = static_cast<BUS_CONTROL_HANDLER>(-1);
    NTSTATUS status = BusCheckControlRequest(code, mode, in, out, buffer, &handler);

    // The verdict, by the rules.
    const bool ours = code == IOC_REGISTER || code == IOC_NOTIFY || code == IOC_QUERY_DEVICES;
    NTSTATUS expected = STATUS_SUCCESS;
    if ((code == IOC_REGISTER || code == IOC_NOTIFY) && mode != KernelMode) {
        expected = STATUS_ACCESS_DENIED;
    } else if (code == IOC_REGISTER && (in < sizeof(REG_DVC) || out < sizeof(REG_DVC))) {
        expected = STATUS_INFO_LENGTH_MISMATCH;
    } else if (code == IOC_NOTIFY && in < sizeof(NFY_DVC)) {
        expected = STATUS_INFO_LENGTH_MISMATCH;
    } else if (code == IOC_QUERY_DEVICES && out < QUERY_DEVICES_MIN_OUTPUT) {
        expected = STATUS_INFO_LENGTH_MISMATCH;
    } else if (ours && buffer == nullptr) {
        expected = STATUS_INVALID_PARAMETER;
    }
    CHECK(status == expected);
    if (status != STATUS_SUCCESS || !ours) CHECK(handler == BUS_HANDLER_PASS_DOWN);

    // What the chosen handler does with the buffer.
    switch (handler) {
    case BUS_HANDLER_ADD_PATH: {
        CHECK(code == IOC_REGISTER);
        REG_DVC reg;
        std::memcpy(&reg, buffer, sizeof reg);  // BusAddPath reads the whole record ...
        reg.szSN[sizeof reg.szSN - 1] = 0;
        reg.szWwnn[sizeof reg.szWwnn - 1] = 0;
        reg.pBaseDriverExt = nullptr;
        reg.ulTapeNumber = 7;
        std::memcpy(buffer, &reg, sizeof reg);  // ... and answers sizeof(REG_DVC) bytes in it
        CHECK(out >= sizeof reg);
        break;
    }
    case BUS_HANDLER_NOTIFY_PNP:
    case BUS_HANDLER_NOTIFY_IO:
    case BUS_HANDLER_NOTIFY_UNKNOWN: {
        CHECK(code == IOC_NOTIFY);
        NFY_DVC nfy;
        std::memcpy(&nfy, buffer, sizeof nfy);
        CHECK((handler == BUS_HANDLER_NOTIFY_PNP) == (nfy.ulType == NFY_TYPE_PNP));
        CHECK((handler == BUS_HANDLER_NOTIFY_IO) == (nfy.ulType == NFY_TYPE_IO));
        break;
    }
    case BUS_HANDLER_QUERY_DEVICES: {
        CHECK(code == IOC_QUERY_DEVICES);
        // BusQueryDevices: an answer of 4 + 144 * paths bytes, cut to the output, then the size field.
        ULONG paths = fdp.ConsumeIntegralInRange<ULONG>(0, 40);
        ULONG required = QUERY_DEVICES_HEADER_SIZE + sizeof(DEVICE_DESCRIPTOR) * paths;
        ULONG n = BusQueryDevicesReturnLength(out, required);
        CheckQueryLength(out, required);
        std::vector<std::uint8_t> answer(required, 0xAB);
        std::memcpy(buffer, answer.data(), n);
        std::memcpy(buffer, &required, sizeof required);
        break;
    }
    case BUS_HANDLER_PASS_DOWN:
        break;
    default:
        CHECK(!"handler out of range");
    }

    // The answer length on its own, with any lengths.
    CheckQueryLength(fdp.ConsumeIntegral<ULONG>(), fdp.ConsumeIntegral<ULONG>());

    std::free(buffer);
    return 0;
}
