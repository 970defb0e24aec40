// Host-side control of the Win32 layer: which simulated process a host thread
// acts for, and the NT status to Win32 error translation.
#pragma once

#include <optional>

#include "sim/process.h"
#include "vk/basetypes.h"

namespace sim::win32 {

// For its lifetime the calling host thread is a thread of `process`: Win32
// calls act for that process (its handles, its address space) and the kernel
// sees the process as the requestor. Scopes nest; the previous caller returns
// when a scope ends.
class CallerScope {
public:
    explicit CallerScope(Process& process);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

private:
    Process* previous_;
    ProcessScope kernelScope_;
};

// The process the calling thread acts for, or nullptr outside any scope.
Process* CurrentCaller();

// The Win32 error code Windows reports for an NT status (RtlNtStatusToDosError);
// ERROR_MR_MID_NOT_FOUND for a status without a translation.
DWORD DosErrorFromNtStatus(NTSTATUS status);

}  // namespace sim::win32
