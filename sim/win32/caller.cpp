// The simulated process each host thread acts for, and its last-error value.
#include "sim/win32.h"
#include "windows.h"

namespace sim::win32 {
namespace {

thread_local Process* tCaller = nullptr;
// Win32 keeps the last error per thread (in the TEB).
thread_local DWORD tLastError = 0;

}  // namespace

CallerScope::CallerScope(Process& process) : previous_(tCaller), kernelScope_(process) { tCaller = &process; }

CallerScope::~CallerScope() { tCaller = previous_; }

Process* CurrentCaller() { return tCaller; }

}  // namespace sim::win32

extern "C" {

DWORD GetLastError(VOID) { return sim::win32::tLastError; }

VOID SetLastError(DWORD dwErrCode) { sim::win32::tLastError = dwErrCode; }

}  // extern "C"
