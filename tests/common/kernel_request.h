// Helpers for tests that act as kernel code or as an application towards a driver: device-control
// requests built in the kernel (RequestorMode KernelMode, the way one driver calls another) and
// from a simulated process (UserMode), and reading the machine's trace log.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"
#include "sim/process.h"
#include "sim/trace.h"

namespace vorka_test {

// A counted string over `text` (which must outlive it).
inline UNICODE_STRING CountedString(std::u16string_view text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<char16_t*>(text.data());
    return s;
}

struct KernelResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

// A buffered device-control request built in the kernel and sent to the named device, as a driver
// sends one to another; waits for its completion.
inline KernelResult KernelIoctl(std::u16string_view device, ULONG code, const void* input, ULONG inputLength,
                                void* output, ULONG outputLength, bool internal = false) {
    KernelResult result;
    std::u16string name(device);
    UNICODE_STRING usName = CountedString(name);
    PFILE_OBJECT fileObject = nullptr;
    PDEVICE_OBJECT deviceObject = nullptr;
    result.status = IoGetDeviceObjectPointer(&usName, FILE_READ_DATA | FILE_WRITE_DATA, &fileObject, &deviceObject);
    if (!NT_SUCCESS(result.status)) {
        return result;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, deviceObject, const_cast<void*>(input), inputLength, output,
                                             outputLength, internal ? TRUE : FALSE, &event, &ioStatus);
    if (irp == nullptr) {
        ObDereferenceObject(fileObject);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    NTSTATUS status = IoCallDriver(deviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    ObDereferenceObject(fileObject);
    return result;
}

template <typename T>
KernelResult KernelIoctl(std::u16string_view device, ULONG code, T* inOut) {
    return KernelIoctl(device, code, inOut, sizeof(T), inOut, sizeof(T));
}

// An application (a simulated 64-bit process) with a handle to one device, sending requests from
// its own user-mode buffers.
class Application {
public:
    Application(sim::Machine& machine, std::string name)
        : machine_(machine), process_(machine.processes().create(std::move(name))) {}
    ~Application() {
        if (handle_ != nullptr) {
            sim::ProcessScope scope(process_);
            process_.close(handle_);
        }
    }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    NTSTATUS open(std::u16string_view win32Name) {
        sim::ProcessScope scope(process_);
        return process_.createFile(&handle_, win32Name, GENERIC_READ | GENERIC_WRITE);
    }

    // Sends `input` and receives up to `outputLength` bytes into `output` (copied out of the process).
    KernelResult ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
        sim::ProcessScope scope(process_);
        void* userIn = inputLength != 0 ? process_.alloc(inputLength) : nullptr;
        void* userOut = outputLength != 0 ? process_.alloc(outputLength) : nullptr;
        if (userIn != nullptr && input != nullptr) {
            std::memcpy(userIn, input, inputLength);
        }
        KernelResult result;
        result.status = process_.deviceIoControl(handle_, code, userIn, inputLength, userOut, outputLength,
                                                 &result.information);
        if (userOut != nullptr && output != nullptr) {
            std::memcpy(output, userOut, outputLength);
        }
        if (userIn != nullptr) process_.free(userIn);
        if (userOut != nullptr) process_.free(userOut);
        return result;
    }

    KernelResult read(ULONG length) {
        sim::ProcessScope scope(process_);
        void* buffer = process_.alloc(length);
        KernelResult result;
        result.status = process_.read(handle_, buffer, length, &result.information);
        process_.free(buffer);
        return result;
    }

    sim::Process& process() { return process_; }

private:
    sim::Machine& machine_;
    sim::Process& process_;
    HANDLE handle_ = nullptr;
};

// Trace lines written since construction.
class TraceWindow {
public:
    explicit TraceWindow(sim::Machine& machine) : trace_(machine.trace()), mark_(trace_.mark()) {}
    std::vector<std::string> lines() const { return trace_.linesSince(mark_); }
    std::vector<std::string> linesContaining(std::string_view needle) const {
        std::vector<std::string> found;
        for (auto& line : lines()) {
            if (line.find(needle) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }
    bool contains(std::string_view needle) const { return !linesContaining(needle).empty(); }

private:
    sim::TraceLog& trace_;
    std::uint64_t mark_;
};

inline std::u16string Utf16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Windows formats %p as 16 upper-case hexadecimal digits.
inline std::string PointerText(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

}  // namespace vorka_test
