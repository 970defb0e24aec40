// The Win32 tape API: each call is one IOCTL_TAPE_* request on the device handle, built as
// kernel32 builds it, and its NT status becomes the returned Win32 error (also left as the
// thread's last error on failure). Warnings such as a filemark or the end of the medium are
// failures here, as NT_SUCCESS counts them.
#include <cstring>
#include <string>

#include "ntddtape.h"
#include "sim/verifier.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

// The returned error: NO_ERROR, or the error that is also left as the last error.
DWORD Fail(DWORD error) {
    SetLastError(error);
    return error;
}

DWORD ErrorOf(NTSTATUS status) {
    return NT_SUCCESS(status) ? static_cast<DWORD>(NO_ERROR) : Fail(sim::win32::DosErrorFromNtStatus(status));
}

sim::Process* Caller(const char* routine) {
    sim::Process* p = sim::win32::CurrentCaller();
    if (!p)
        sim::ReportViolation(std::string(routine) +
                             " called by a thread that is not in a simulated process (sim::win32::CallerScope)");
    return p;
}

// kernel32 builds its request record on the calling thread's stack, which is the process's
// memory; here the record lives in a user allocation of the process for the call, since the
// kernel accepts only the process's own memory as a user buffer.
template <typename T>
class UserRecord {
public:
    explicit UserRecord(sim::Process& process) : process_(process), record_(static_cast<T*>(process.alloc(sizeof(T)))) {}
    ~UserRecord() {
        if (record_) process_.free(record_);
    }
    UserRecord(const UserRecord&) = delete;
    UserRecord& operator=(const UserRecord&) = delete;
    explicit operator bool() const { return record_ != nullptr; }
    T* operator->() { return record_; }
    T* get() { return record_; }

private:
    sim::Process& process_;
    T* record_;
};

// A request whose only buffer is the record `fill` sets up.
template <typename T, typename Fill>
DWORD SendRecord(const char* routine, HANDLE device, ULONG code, Fill fill) {
    sim::Process* process = Caller(routine);
    if (!process) return Fail(ERROR_INVALID_FUNCTION);
    UserRecord<T> record(*process);
    if (!record) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    fill(*record.get());
    return ErrorOf(process->deviceIoControl(device, code, record.get(), sizeof(T), nullptr, 0));
}

// A DWORD of the caller that kernel32 reads or writes itself. Windows faults on a bad one; the
// simulated layer refuses the call instead, with the error the kernel gives for a bad buffer.
bool CallerCanAccess(sim::Process& process, const void* address, std::size_t length) {
    return address && process.isValidRange(address, length);
}

}  // namespace

extern "C" {

DWORD CreateTapePartition(HANDLE hDevice, DWORD dwPartitionMethod, DWORD dwCount, DWORD dwSize) {
    return SendRecord<TAPE_CREATE_PARTITION>("CreateTapePartition", hDevice, IOCTL_TAPE_CREATE_PARTITION,
                                             [&](TAPE_CREATE_PARTITION& r) {
                                                 r.Method = dwPartitionMethod;
                                                 r.Count = dwCount;
                                                 r.Size = dwSize;
                                             });
}

DWORD EraseTape(HANDLE hDevice, DWORD dwEraseType, BOOL bImmediate) {
    return SendRecord<TAPE_ERASE>("EraseTape", hDevice, IOCTL_TAPE_ERASE, [&](TAPE_ERASE& r) {
        r.Type = dwEraseType;
        r.Immediate = bImmediate != FALSE;
    });
}

DWORD PrepareTape(HANDLE hDevice, DWORD dwOperation, BOOL bImmediate) {
    return SendRecord<TAPE_PREPARE>("PrepareTape", hDevice, IOCTL_TAPE_PREPARE, [&](TAPE_PREPARE& r) {
        r.Operation = dwOperation;
        r.Immediate = bImmediate != FALSE;
    });
}

DWORD WriteTapemark(HANDLE hDevice, DWORD dwTapemarkType, DWORD dwTapemarkCount, BOOL bImmediate) {
    return SendRecord<TAPE_WRITE_MARKS>("WriteTapemark", hDevice, IOCTL_TAPE_WRITE_MARKS, [&](TAPE_WRITE_MARKS& r) {
        r.Type = dwTapemarkType;
        r.Count = dwTapemarkCount;
        r.Immediate = bImmediate != FALSE;
    });
}

DWORD SetTapePosition(HANDLE hDevice, DWORD dwPositionMethod, DWORD dwPartition, DWORD dwOffsetLow,
                      DWORD dwOffsetHigh, BOOL bImmediate) {
    return SendRecord<TAPE_SET_POSITION>("SetTapePosition", hDevice, IOCTL_TAPE_SET_POSITION,
                                         [&](TAPE_SET_POSITION& r) {
                                             r.Method = dwPositionMethod;
                                             r.Partition = dwPartition;
                                             r.Offset.LowPart = dwOffsetLow;
                                             r.Offset.HighPart = static_cast<LONG>(dwOffsetHigh);
                                             r.Immediate = bImmediate != FALSE;
                                         });
}

DWORD GetTapeStatus(HANDLE hDevice) {
    sim::Process* process = Caller("GetTapeStatus");
    if (!process) return Fail(ERROR_INVALID_FUNCTION);
    return ErrorOf(process->deviceIoControl(hDevice, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0));
}

DWORD GetTapePosition(HANDLE hDevice, DWORD dwPositionType, LPDWORD lpdwPartition, LPDWORD lpdwOffsetLow,
                      LPDWORD lpdwOffsetHigh) {
    sim::Process* process = Caller("GetTapePosition");
    if (!process) return Fail(ERROR_INVALID_FUNCTION);
    if (!CallerCanAccess(*process, lpdwPartition, sizeof(DWORD)) ||
        !CallerCanAccess(*process, lpdwOffsetLow, sizeof(DWORD)) ||
        !CallerCanAccess(*process, lpdwOffsetHigh, sizeof(DWORD)))
        return Fail(ERROR_NOACCESS);
    UserRecord<TAPE_GET_POSITION> record(*process);
    if (!record) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    record->Type = dwPositionType;
    const NTSTATUS status = process->deviceIoControl(hDevice, IOCTL_TAPE_GET_POSITION, record.get(),
                                                     sizeof(TAPE_GET_POSITION), record.get(),
                                                     sizeof(TAPE_GET_POSITION));
    if (!NT_SUCCESS(status)) {
        // As kernel32 does: a failed query leaves no stale position in the caller's words.
        *lpdwPartition = *lpdwOffsetLow = *lpdwOffsetHigh = 0;
        return ErrorOf(status);
    }
    *lpdwPartition = record->Partition;
    *lpdwOffsetLow = record->Offset.LowPart;
    *lpdwOffsetHigh = static_cast<DWORD>(record->Offset.HighPart);
    return NO_ERROR;
}

DWORD GetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPDWORD lpdwSize, LPVOID lpTapeInformation) {
    sim::Process* process = Caller("GetTapeParameters");
    if (!process) return Fail(ERROR_INVALID_FUNCTION);
    ULONG code;
    DWORD size;
    switch (dwOperation) {
    case GET_TAPE_MEDIA_INFORMATION:
        code = IOCTL_TAPE_GET_MEDIA_PARAMS;
        size = sizeof(TAPE_GET_MEDIA_PARAMETERS);
        break;
    case GET_TAPE_DRIVE_INFORMATION:
        code = IOCTL_TAPE_GET_DRIVE_PARAMS;
        size = sizeof(TAPE_GET_DRIVE_PARAMETERS);
        break;
    default: return Fail(ERROR_INVALID_FUNCTION);
    }
    if (!CallerCanAccess(*process, lpdwSize, sizeof(DWORD))) return Fail(ERROR_NOACCESS);
    // Too small a buffer: the size the record needs, and no request.
    if (*lpdwSize < size) {
        *lpdwSize = size;
        return Fail(ERROR_MORE_DATA);
    }
    // The caller's buffer goes to the kernel as it is: the kernel checks it.
    return ErrorOf(process->deviceIoControl(hDevice, code, nullptr, 0, lpTapeInformation, size));
}

DWORD SetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPVOID lpTapeInformation) {
    sim::Process* process = Caller("SetTapeParameters");
    if (!process) return Fail(ERROR_INVALID_FUNCTION);
    switch (dwOperation) {
    case SET_TAPE_MEDIA_INFORMATION:
        return ErrorOf(process->deviceIoControl(hDevice, IOCTL_TAPE_SET_MEDIA_PARAMS, lpTapeInformation,
                                                sizeof(TAPE_SET_MEDIA_PARAMETERS), nullptr, 0));
    case SET_TAPE_DRIVE_INFORMATION:
        return ErrorOf(process->deviceIoControl(hDevice, IOCTL_TAPE_SET_DRIVE_PARAMS, lpTapeInformation,
                                                sizeof(TAPE_SET_DRIVE_PARAMETERS), nullptr, 0));
    default: return Fail(ERROR_INVALID_FUNCTION);
    }
}

}  // extern "C"
