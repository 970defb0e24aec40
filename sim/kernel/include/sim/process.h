// Simulated user-mode processes: a 64- or 32-bit process with its own address
// space of user allocations and its own handle table, and the system services
// an application reaches through the Win32 layer (open, device control, read,
// write, close). Each service runs in the calling host thread, which acts as a
// thread of the process for the call; requests carry RequestorMode UserMode and
// user buffers are checked against the process's allocations, as Windows probes
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vk/basetypes.h"

struct _EPROCESS;

namespace sim {

// The account a process runs under, which decides what its opens of devices may get: the
// machine's LocalSystem, a member of Administrators (the process runs elevated, with the full
// token), a member of Backup Operators, or a plain member of Users. Each also belongs to
// Everyone and Authenticated Users; the interactive accounts also to Interactive.
enum class Account { LocalSystem, Administrator, BackupOperator, User };

// "system", "administrator", "backup operator", "user" (the names scenarios use).
const char* AccountName(Account account);
std::optional<Account> AccountNamed(std::string_view name);

class Process {
public:
    struct Impl;
    Process(Impl* impl);

    ULONG id() const;
    const std::string& name() const;
    bool is32Bit() const;
    Account account() const;
    _EPROCESS* kernelObject() const;

    // ---- Address space --------------------------------------------------------------
    // A zero-filled user allocation of this process (below 4 GB in a 32-bit process).
    void* alloc(std::size_t size);
    void free(void* address);
    // True when [address, address + length) lies inside one live allocation.
    bool isValidRange(const void* address, std::size_t length) const;
    // Makes an allocation of alloc() read-only (PAGE_READONLY) or writable again: a probe for
    // write access of a range in it fails, as does any write to it.
    void setReadOnly(void* address, bool readOnly);
    // A 32-bit process's view of one of its addresses.
    std::uint32_t address32(const void* address) const;

    // ---- Ordinary memory of a program run in the process ---------------------------------
    // A program's stack and the segments of its image are its memory although the process did
    // not allocate them: once added, buffers there pass the probes of user buffers. Nothing
    // is mapped or unmapped here; the caller owns the memory and removes the region before it
    // goes.
    void addRegion(const void* start, std::size_t size);
    void removeRegion(const void* start);
    // The program's heap (its malloc and new): a block that passes the probes while it lives
    // and fails them once freed. In a 32-bit process the blocks lie below 4 GB. nullptr when
    // out of memory.
    // `alignment` (a power of two; 0 for the heap's own 16 bytes) is where the block starts.
    void* heapAlloc(std::size_t size, std::size_t alignment = 0);
    // Frees a heap block; false (and nothing done) when `address` is not a live block of the
    // heap, so the caller can hand it to whoever allocated it.
    bool heapFree(void* address);
    // The size of a live heap block, or nullopt.
    std::optional<std::size_t> heapBlockSize(const void* address) const;

    // ---- System services ----------------------------------------------------------------
    // Opens a device by name: "\\.\Tape0" (Win32 form), "\??\Tape0" or "\Device\Tape0".
    NTSTATUS createFile(HANDLE* handle, std::u16string_view name, ACCESS_MASK desiredAccess,
                        ULONG shareAccess = 3 /* read | write */, ULONG createDisposition = 1 /* FILE_OPEN */,
                        ULONG createOptions = 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */);
    NTSTATUS deviceIoControl(HANDLE handle, ULONG ioControlCode, void* inputBuffer, ULONG inputLength,
                             void* outputBuffer, ULONG outputLength, ULONG_PTR* information = nullptr);
    NTSTATUS read(HANDLE handle, void* buffer, ULONG length, ULONG_PTR* information = nullptr,
                  std::optional<std::int64_t> byteOffset = std::nullopt);
    NTSTATUS write(HANDLE handle, const void* buffer, ULONG length, ULONG_PTR* information = nullptr,
                   std::optional<std::int64_t> byteOffset = std::nullopt);
    NTSTATUS close(HANDLE handle);
    // The device type (FILE_DEVICE_*) of the device a file handle is open on; nullopt for a
    // handle that is not a file's.
    std::optional<ULONG> deviceTypeOf(HANDLE handle) const;
    std::size_t openHandleCount() const;

    // ---- Asynchronous I/O ------------------------------------------------------------------
    // On a handle opened without FILE_SYNCHRONOUS_IO_* (createOptions 0) a request goes on after
    // the call: it returns STATUS_PENDING, and when the request finishes its status and byte
    // count are written to `iosb` (in this process's memory) and `event` (an event handle of
    // this process; nullptr: the file handle itself becomes signalled) is set. A request that
    // fails at once returns its status and touches neither. On a synchronous handle the call
    // waits, then fills `iosb` and sets `event`.
    NTSTATUS deviceIoControlAsync(HANDLE handle, ULONG ioControlCode, void* inputBuffer, ULONG inputLength,
                                  void* outputBuffer, ULONG outputLength, IO_STATUS_BLOCK* iosb, HANDLE event);
    NTSTATUS readAsync(HANDLE handle, void* buffer, ULONG length, std::int64_t byteOffset, IO_STATUS_BLOCK* iosb,
                       HANDLE event);
    NTSTATUS writeAsync(HANDLE handle, const void* buffer, ULONG length, std::int64_t byteOffset,
                        IO_STATUS_BLOCK* iosb, HANDLE event);
    // Requests of the process still in progress (started and not completed), also while the
    // process is exiting and waits for them.
    std::size_t requestsInProgress() const;
    // Waits until at most `atMost` of them are left, woken as each finishes; false when `limit`
    // (real time) passed first.
    bool awaitRequestsInProgress(std::size_t atMost, std::chrono::milliseconds limit) const;
    // Cancels the calling thread's requests on `handle` (CancelIo).
    NTSTATUS cancelIo(HANDLE handle);
    // Cancels every request of the process on `handle`, or only the one with status block
    // `iosb` (CancelIoEx); STATUS_NOT_FOUND when there is none.
    NTSTATUS cancelIoEx(HANDLE handle, IO_STATUS_BLOCK* iosb);

    // ---- Events and waits --------------------------------------------------------------------
    NTSTATUS createEvent(HANDLE* handle, bool manualReset, bool initialState);
    NTSTATUS setEvent(HANDLE handle);
    NTSTATUS resetEvent(HANDLE handle);
    // Waits for an event handle or a file handle (signalled when a request on it finishes):
    // STATUS_WAIT_0, STATUS_TIMEOUT, or STATUS_INVALID_HANDLE. No timeout: waits for ever.
    NTSTATUS wait(HANDLE handle, std::optional<std::uint32_t> timeoutMs = std::nullopt);
    // Waits for any (STATUS_WAIT_0 + index) or all of `count` such handles, as
    // WaitForMultipleObjects does.
    NTSTATUS waitMany(const HANDLE* handles, ULONG count, bool waitAll,
                      std::optional<std::uint32_t> timeoutMs = std::nullopt);

    Impl& impl() { return *impl_; }

private:
    Impl* impl_;
};

class ProcessManager {
public:
    struct Impl;
    explicit ProcessManager(Impl* impl);

    // Starts a process under `account` (an administrator's unless told otherwise, as the
    // programs of the tests have always run). It lives until exit() or machine shutdown.
    Process& create(std::string name, bool is32Bit = false, Account account = Account::Administrator);
    // Ends a process: its handles are closed (cleanup and close requests reach the
    // drivers) and its memory is released.
    void exit(Process& process);
    Process* find(ULONG id) const;

private:
    Impl* impl_;
};

// For the scope's lifetime the calling host thread runs as a thread of `process`
// (IoIs32bitProcess(NULL), PsGetCurrentProcess and probes of user buffers see it).
class ProcessScope {
public:
    explicit ProcessScope(Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    void* previous_;
};

}  // namespace sim
