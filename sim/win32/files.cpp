// Device files for simulated applications: CreateFile, DeviceIoControl,
// ReadFile, WriteFile and CloseHandle over the calling process's system
// services, with kernel32's status and last-error rules.
#include <cstdint>
#include <optional>
#include <string>

#include "sim/format.h"
#include "sim/objects.h"
#include "sim/verifier.h"
#include "sim/win32.h"
#include "handles.h"
#include "windows.h"

namespace {

// NtCreateFile create dispositions and options used by kernel32.
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4, kFileOverwriteIf = 5;
constexpr ULONG kFileSynchronousIoNonalert = 0x20, kFileNonDirectoryFile = 0x40;

sim::Process* Caller(const char* routine) {
    sim::Process* p = sim::win32::CurrentCaller();
    if (!p) {
        sim::ReportViolation(std::string(routine) +
                             " called by a thread that is not in a simulated process (sim::win32::CallerScope)");
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    return p;
}

void Fail(NTSTATUS status) { SetLastError(sim::win32::DosErrorFromNtStatus(status)); }

HANDLE Create(std::u16string_view name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (sim::win32::IsDiskPath(name)) return sim::win32::OpenDiskFile(name, access, disposition);
    sim::Process* process = Caller("CreateFile");
    if (!process) return INVALID_HANDLE_VALUE;
    ULONG ntDisposition;
    switch (disposition) {
    case CREATE_NEW: ntDisposition = kFileCreate; break;
    case CREATE_ALWAYS: ntDisposition = kFileOverwriteIf; break;
    case OPEN_EXISTING: ntDisposition = kFileOpen; break;
    case OPEN_ALWAYS: ntDisposition = kFileOpenIf; break;
    case TRUNCATE_EXISTING: ntDisposition = kFileOverwrite; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    // A DOS path may use forward slashes (//./Tape1); only the \\?\ form is taken as it is.
    std::u16string dosName(name);
    if (dosName.rfind(u"\\\\?\\", 0) != 0)
        for (char16_t& c : dosName)
            if (c == u'/') c = u'\\';
    // An overlapped handle is opened for asynchronous I/O: its requests go on after the call.
    const ULONG options = kFileNonDirectoryFile | ((flags & FILE_FLAG_OVERLAPPED) ? 0 : kFileSynchronousIoNonalert);
    HANDLE handle = nullptr;
    NTSTATUS status = process->createFile(&handle, dosName, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share,
                                          ntDisposition, options);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// The status block the kernel writes for an overlapped request: OVERLAPPED's Internal
// (status) and InternalHigh (byte count) have its layout.
IO_STATUS_BLOCK* StatusBlockOf(LPOVERLAPPED overlapped) {
    static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR));
    return reinterpret_cast<IO_STATUS_BLOCK*>(overlapped);
}

// kernel32's answer to an overlapped call: TRUE when it finished at once, else FALSE with
// ERROR_IO_PENDING (still going on) or the error.
BOOL OverlappedResult(NTSTATUS status, LPOVERLAPPED overlapped, LPDWORD bytes) {
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (NT_ERROR(status)) {
        Fail(status);
        return FALSE;
    }
    if (bytes) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

std::int64_t OffsetOf(LPOVERLAPPED overlapped) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
}

}  // namespace

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Create(reinterpret_cast<const char16_t*>(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                  dwFlagsAndAttributes);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return Create(sim::WideFromNarrow(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                  dwFlagsAndAttributes);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    sim::Process* process = Caller("DeviceIoControl");
    if (!process) return FALSE;
    if (lpOverlapped) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        NTSTATUS status = process->deviceIoControlAsync(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                        lpOutBuffer, nOutBufferSize, StatusBlockOf(lpOverlapped),
                                                        lpOverlapped->hEvent);
        return OverlappedResult(status, lpOverlapped, lpBytesReturned);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = process->deviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                               nOutBufferSize, &information);
    if (NT_SUCCESS(status)) {
        if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(information);
        return TRUE;
    }
    // A warning (data returned but incomplete) still reports the bytes, as kernel32 does.
    if (!NT_ERROR(status) && lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(information);
    Fail(status);
    return FALSE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    BOOL diskResult = FALSE;
    if (sim::win32::ReadDiskFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, &diskResult))
        return diskResult;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    sim::Process* process = Caller("ReadFile");
    if (!process) return FALSE;
    if (lpOverlapped) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        NTSTATUS status = process->readAsync(hFile, lpBuffer, nNumberOfBytesToRead, OffsetOf(lpOverlapped),
                                             StatusBlockOf(lpOverlapped), lpOverlapped->hEvent);
        return OverlappedResult(status, lpOverlapped, lpNumberOfBytesRead);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = process->read(hFile, lpBuffer, nNumberOfBytesToRead, &information);
    if (NT_SUCCESS(status)) {
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(information);
        return TRUE;
    }
    // A synchronous read at the end of a file succeeds with no data.
    if (status == STATUS_END_OF_FILE) return TRUE;
    if (NT_WARNING(status) && lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(information);
    Fail(status);
    return FALSE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    BOOL diskResult = FALSE;
    if (sim::win32::WriteDiskFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, &diskResult))
        return diskResult;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    sim::Process* process = Caller("WriteFile");
    if (!process) return FALSE;
    if (lpOverlapped) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        NTSTATUS status = process->writeAsync(hFile, lpBuffer, nNumberOfBytesToWrite, OffsetOf(lpOverlapped),
                                              StatusBlockOf(lpOverlapped), lpOverlapped->hEvent);
        return OverlappedResult(status, lpOverlapped, lpNumberOfBytesWritten);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = process->write(hFile, lpBuffer, nNumberOfBytesToWrite, &information);
    if (NT_SUCCESS(status)) {
        if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(information);
        return TRUE;
    }
    if (NT_WARNING(status) && lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(information);
    Fail(status);
    return FALSE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    sim::Process* process = Caller("GetOverlappedResult");
    if (!process) return FALSE;
    if (!lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The kernel publishes the outcome with the status (release): read it first (acquire).
    if (static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // The request's event, or the file handle itself when the request named none.
        NTSTATUS waited = process->wait(lpOverlapped->hEvent ? lpOverlapped->hEvent : hFile);
        if (!NT_SUCCESS(waited)) {
            Fail(waited);
            return FALSE;
        }
    }
    const NTSTATUS status = static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE));
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    sim::Process* process = Caller("CancelIo");
    if (!process) return FALSE;
    NTSTATUS status = process->cancelIo(hFile);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    sim::Process* process = Caller("CancelIoEx");
    if (!process) return FALSE;
    NTSTATUS status = process->cancelIoEx(hFile, lpOverlapped ? StatusBlockOf(lpOverlapped) : nullptr);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    sim::Process* process = Caller("CreateEventW");
    if (!process) return nullptr;
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are not part of the simulated layer
        return nullptr;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = process->createEvent(&handle, bManualReset != FALSE, bInitialState != FALSE);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are not part of the simulated layer
        return nullptr;
    }
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
    sim::Process* process = Caller("SetEvent");
    if (!process) return FALSE;
    NTSTATUS status = process->setEvent(hEvent);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    sim::Process* process = Caller("ResetEvent");
    if (!process) return FALSE;
    NTSTATUS status = process->resetEvent(hEvent);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    sim::Process* process = Caller("WaitForSingleObject");
    if (!process) return WAIT_FAILED;
    std::optional<std::uint32_t> timeout;
    if (dwMilliseconds != INFINITE) timeout = dwMilliseconds;
    NTSTATUS status = process->wait(hHandle, timeout);
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (status == STATUS_WAIT_0) return WAIT_OBJECT_0;
    Fail(status);
    return WAIT_FAILED;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    sim::Process* process = Caller("WaitForMultipleObjects");
    if (!process) return WAIT_FAILED;
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::optional<std::uint32_t> timeout;
    if (dwMilliseconds != INFINITE) timeout = dwMilliseconds;
    NTSTATUS status = process->waitMany(lpHandles, nCount, bWaitAll != FALSE, timeout);
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    const auto index = static_cast<DWORD>(status - STATUS_WAIT_0);
    if (status >= STATUS_WAIT_0 && index < nCount) return WAIT_OBJECT_0 + index;
    Fail(status);
    return WAIT_FAILED;
}

// GetOverlappedResult with a bounded wait: WAIT_TIMEOUT when the request is still going on then,
// ERROR_IO_INCOMPLETE at once for a wait of 0.
BOOL GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                           DWORD dwMilliseconds, BOOL bAlertable) {
    sim::Process* process = Caller("GetOverlappedResultEx");
    if (!process) return FALSE;
    if (!lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwMilliseconds == INFINITE) return GetOverlappedResult(hFile, lpOverlapped, lpNumberOfBytesTransferred, TRUE);
    if (static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING) {
        if (dwMilliseconds == 0) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        NTSTATUS waited = process->wait(lpOverlapped->hEvent ? lpOverlapped->hEvent : hFile, dwMilliseconds);
        if (waited == STATUS_TIMEOUT) {
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        if (!NT_SUCCESS(waited)) {
            Fail(waited);
            return FALSE;
        }
    }
    return GetOverlappedResult(hFile, lpOverlapped, lpNumberOfBytesTransferred, FALSE);
}

// Devices of the simulated machine keep no write cache a program could flush: a file handle
// answers TRUE, anything else ERROR_INVALID_HANDLE.
BOOL FlushFileBuffers(HANDLE hFile) {
    if (sim::win32::IsDiskFile(hFile)) return TRUE;
    sim::Process* process = Caller("FlushFileBuffers");
    if (!process) return FALSE;
    if (!process->deviceTypeOf(hFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// kernel32's answer by device type: disks and volumes are FILE_TYPE_DISK, character devices
// FILE_TYPE_CHAR, pipes FILE_TYPE_PIPE, and every other device (tapes and changers among them)
// FILE_TYPE_UNKNOWN with no error.
DWORD GetFileType(HANDLE hFile) {
    if (sim::win32::IsDiskFile(hFile)) return FILE_TYPE_DISK;
    sim::Process* process = Caller("GetFileType");
    if (!process) return FILE_TYPE_UNKNOWN;
    const std::optional<ULONG> type = process->deviceTypeOf(hFile);
    if (!type) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(NO_ERROR);
    switch (*type) {
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
    case FILE_DEVICE_CONTROLLER:
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_MASS_STORAGE: return FILE_TYPE_DISK;
    case FILE_DEVICE_KEYBOARD:
    case FILE_DEVICE_MOUSE:
    case FILE_DEVICE_NULL:
    case FILE_DEVICE_PARALLEL_PORT:
    case FILE_DEVICE_PRINTER:
    case FILE_DEVICE_SERIAL_PORT:
    case FILE_DEVICE_SCREEN:
    case FILE_DEVICE_SOUND:
    case FILE_DEVICE_MODEM: return FILE_TYPE_CHAR;
    case FILE_DEVICE_NAMED_PIPE: return FILE_TYPE_PIPE;
    default: return FILE_TYPE_UNKNOWN;
    }
}

BOOL CloseHandle(HANDLE hObject) {
    if (sim::win32::CloseDiskFile(hObject) || sim::win32::CloseToken(hObject) || sim::win32::CloseThreadHandle(hObject))
        return TRUE;
    sim::Process* process = Caller("CloseHandle");
    if (!process) return FALSE;
    NTSTATUS status = process->close(hObject);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"

namespace {

// The DOS device names of the machine (\GLOBAL??) and their targets, sorted.
std::vector<std::pair<std::u16string, std::u16string>> DosDevices() {
    std::vector<std::pair<std::u16string, std::u16string>> devices;
    constexpr std::u16string_view kDirectory = u"\\GLOBAL??\\";
    for (const auto& entry : sim::ListNamespace(u"\\GLOBAL??")) {
        if (!entry.isSymbolicLink) continue;
        std::u16string name = entry.name;
        if (name.rfind(kDirectory, 0) == 0) name = name.substr(kDirectory.size());
        devices.emplace_back(name, entry.linkTarget);
    }
    return devices;
}

template <typename Char>
DWORD QueryDosDeviceT(const Char* name, Char* target, DWORD size) {
    std::u16string list;
    if (!name) {
        for (const auto& [device, link] : DosDevices()) {
            list += device;
            list.push_back(0);
        }
    } else {
        std::u16string wanted;
        if constexpr (sizeof(Char) == 1) wanted = sim::WideFromNarrow(name);
        else wanted = reinterpret_cast<const char16_t*>(name);
        auto upper = [](std::u16string s) {
            for (auto& c : s)
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            return s;
        };
        for (const auto& [device, link] : DosDevices())
            if (upper(device) == upper(wanted)) {
                list = link;
                list.push_back(0);
            }
        if (list.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    list.push_back(0);  // the list ends with an empty name
    if (!target || list.size() > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        if constexpr (sizeof(Char) == 1) target[i] = static_cast<char>(list[i] < 0x80 ? list[i] : '?');
        else target[i] = static_cast<Char>(list[i]);
    }
    return static_cast<DWORD>(list.size());
}

}  // namespace

extern "C" {

DWORD QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    return QueryDosDeviceT(lpDeviceName, lpTargetPath, ucchMax);
}

DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    return QueryDosDeviceT(lpDeviceName, lpTargetPath, ucchMax);
}

}  // extern "C"
