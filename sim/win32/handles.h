// Handles of the Win32 layer that are not the kernel's: files on the simulated disk and
// access tokens. The device-file calls (CreateFile, ReadFile, WriteFile, CloseHandle) hand
// such handles to these first.
#pragma once

#include <string_view>

#include "windows.h"

namespace sim::win32 {

// True for a path on the simulated disk ("C:\...", "drivers\x.inf"), false for a device
// name ("\\.\Tape0", "\??\Tape0", "\Device\Tape0").
bool IsDiskPath(std::u16string_view name);
bool IsDiskFile(HANDLE handle);
HANDLE OpenDiskFile(std::u16string_view name, DWORD access, DWORD disposition);
// Each returns false when the handle is no disk file (or token), leaving the call to the kernel.
bool ReadDiskFile(HANDLE handle, void* buffer, DWORD length, LPDWORD done, BOOL* result);
bool WriteDiskFile(HANDLE handle, const void* buffer, DWORD length, LPDWORD done, BOOL* result);
bool CloseDiskFile(HANDLE handle);
bool CloseToken(HANDLE handle);
// A thread handle of CreateThread (program.cpp): closed, and the thread runs on.
bool CloseThreadHandle(HANDLE handle);

}  // namespace sim::win32
