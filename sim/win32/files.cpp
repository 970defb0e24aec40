// Device files for simulated applications: CreateFile, DeviceIoControl,
// ReadFile, WriteFile and CloseHandle over the calling process's system
// services, with kernel32's status and last-error rules.
#include <string>

#include "sim/format.h"
#include "sim/verifier.h"
#include "sim/win32.h"
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
    if (flags & FILE_FLAG_OVERLAPPED) {
        // Asynchronous handles are not part of the simulated Win32 layer.
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = process->createFile(&handle, name, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share,
                                          ntDisposition, kFileNonDirectoryFile | kFileSynchronousIoNonalert);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
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
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
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
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    sim::Process* process = Caller("ReadFile");
    if (!process) return FALSE;
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
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
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    sim::Process* process = Caller("WriteFile");
    if (!process) return FALSE;
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
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

BOOL CloseHandle(HANDLE hObject) {
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
