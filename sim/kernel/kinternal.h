// Internal interfaces between the parts of the simulated kernel. Not for
// drivers (they see only the Windows headers) and not for tests (they use the
// headers in include/sim).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <semaphore.h>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/drivers.h"
#include "sim/machine.h"
#include "sim/objects.h"
#include "sim/pnp.h"
#include "sim/pool.h"
#include "sim/process.h"
#include "sim/verifier.h"
#include "wdm.h"

namespace sim::k {

// ---- Text helpers -----------------------------------------------------------------

std::string Narrow(std::u16string_view text);      // UTF-16 -> UTF-8 (for messages)
std::u16string Widen(std::string_view text);       // ASCII/UTF-8 -> UTF-16
std::u16string Upcase(std::u16string_view text);   // ASCII case folding, as names compare
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string FromUnicodeString(const UNICODE_STRING* text);
std::string Hex(std::uint64_t value);              // "0x1234"
std::string Describe(const void* pointer);         // "0x00007f..."

// ---- Threads ----------------------------------------------------------------------

using ProcessState = sim::Process::Impl;
struct SystemThread;

// Dispatcher wait state of one host thread (used under the dispatcher lock).
struct WaitBlockK {
    LIST_ENTRY link;                 // in the object's WaitListHead
    struct WaitContext* context;
    DISPATCHER_HEADER* object;
    ULONG index;
};

// A satisfied wait is woken through its own semaphore, posted by the signaller right after it
// releases the dispatcher lock. The woken thread needs nothing more from that lock (the
// signaller wrote its result before the post). With a condition variable signalled under the
// lock, the woken thread ran only to block again on the lock the signaller still held: each
// hand-over between two threads cost two wake-ups and several context switches.
struct WaitContext {
    WaitContext();
    ~WaitContext();
    WaitContext(const WaitContext&) = delete;
    WaitContext& operator=(const WaitContext&) = delete;
    void post() noexcept;
    void take() noexcept;                                             // waits for the post
    bool takeUntil(std::chrono::steady_clock::time_point deadline) noexcept;  // false: timed out

    sem_t wake;
    WaitBlockK blocks[MAXIMUM_WAIT_OBJECTS];
    ULONG count = 0;
    WAIT_TYPE type = WaitAny;
    bool satisfied = false;
    // Published with release before the post and read with acquire after it, so whatever the
    // signaller did before it satisfied the wait is visible to the woken thread (also to the
    // ThreadSanitizer, which does not see through every semaphore wait).
    std::atomic<NTSTATUS> result{STATUS_TIMEOUT};
    _KTHREAD* thread = nullptr;
};

// Everything the kernel keeps per host thread that runs kernel code.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    int criticalRegion = 0;
    int guardedRegion = 0;
    int mutexesHeld = 0;              // KMUTEXes owned (each also counts in criticalRegion)
    VK_SEH_FRAME* sehTop = nullptr;
    _KTHREAD* thread = nullptr;       // referenced thread object, created on first use
    ProcessState* process = nullptr;  // process the thread runs for; nullptr: system
    bool systemThread = false;
    WaitContext wait;
    ~ThreadState();
};

ThreadState& Current();
_KTHREAD* CurrentThreadObject();
ProcessState* CurrentProcess();

// The global dispatcher lock: every dispatcher object state change and wait.
std::mutex& DispatcherLock();

// The dispatcher lock held for a change that may satisfy waits. The threads whose waits it
// satisfied are woken only once the lock is released: by then the signaller touches none of
// the objects any more, and a woken waiter may at once free an event that lived on its stack.
class DispatcherGuard {
public:
    DispatcherGuard() : lock_(DispatcherLock()) {}
    ~DispatcherGuard();
    DispatcherGuard(const DispatcherGuard&) = delete;
    DispatcherGuard& operator=(const DispatcherGuard&) = delete;
    void wakeLater(WaitContext* context) { woken_.push_back(context); }

private:
    std::unique_lock<std::mutex> lock_;
    std::vector<WaitContext*> woken_;
};

// Signals a dispatcher object already updated under the lock: satisfies waiters.
void WakeWaitersLocked(DISPATCHER_HEADER* object, DispatcherGuard& held);
void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG signalState);

// Called when a thread ends: its thread object becomes signalled.
void SignalThreadObject(_KTHREAD* thread);

// Raise and lower the calling thread's IRQL without verifier checks.
KIRQL RaiseIrqlTo(KIRQL level);
void LowerIrqlTo(KIRQL level);

// Sleeps with verifier checks as KeDelayExecutionThread.
NTSTATUS WaitOne(void* object, const LARGE_INTEGER* timeout);

// Unix-epoch based system time in 100 ns units since 1601.
LONGLONG SystemTimeNow();

// ---- Objects --------------------------------------------------------------------------

struct ObjectHeader;

}  // namespace sim::k

// Object types (the header names them _OBJECT_TYPE, opaque to drivers).
struct _OBJECT_TYPE {
    const char* name;
    // The last handle to the object is closed (file objects send IRP_MJ_CLEANUP).
    void (*closeLastHandle)(void* body);
    // The last reference is gone: release what the body holds. Runs at PASSIVE_LEVEL.
    void (*destroy)(void* body);
};

namespace sim::k {

extern _OBJECT_TYPE DeviceObjectType;
extern _OBJECT_TYPE DriverObjectType;
extern _OBJECT_TYPE FileObjectType;
extern _OBJECT_TYPE ThreadObjectType;
extern _OBJECT_TYPE ProcessObjectType;

struct alignas(16) ObjectHeader {
    static constexpr std::uint64_t kMagic = 0x4F424A4B56524F56ull;  // "VORVKJBO"
    std::uint64_t magic = kMagic;
    std::atomic<std::int64_t> pointerCount{1};
    std::atomic<std::int64_t> handleCount{0};
    const _OBJECT_TYPE* type = nullptr;
    std::size_t bodySize = 0;
    void* body() { return this + 1; }
};

// A new object of `type` with a zero-filled body and one reference (the creator's).
void* CreateObject(const _OBJECT_TYPE* type, std::size_t bodySize);
// The header of a live object, or nullptr when `body` is not one.
ObjectHeader* HeaderOf(const void* body);
void Reference(void* body);
void Dereference(void* body);
bool IsObjectOfType(const void* body, const _OBJECT_TYPE* type);
// Keeps what a misbehaving or still-running driver holds reachable for the life of the
// process (a machine that goes cannot free it safely), so leak checkers do not count it twice.
void Abandon(const void* object);

// Kernel and process handle tables.
class HandleTable {
public:
    HandleTable(std::uintptr_t first, std::uintptr_t step);
    ~HandleTable();
    // Takes a new reference on `object` for the handle and counts the handle.
    HANDLE insert(void* object, ACCESS_MASK access);
    // Referenced object of a handle, or nullptr.
    void* lookup(HANDLE handle, ACCESS_MASK* granted = nullptr) const;
    NTSTATUS close(HANDLE handle);
    bool contains(HANDLE handle) const;
    std::size_t size() const;
    // Closes every handle (process exit, machine shutdown).
    void closeAll();

private:
    struct Entry {
        void* object;
        ACCESS_MASK access;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, Entry> entries_;
    std::uintptr_t next_;
    std::uintptr_t step_;
};

constexpr std::uintptr_t kKernelHandleBase = 0xFFFFFFFF80000004ull;
inline bool IsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFF80000000ull) == 0xFFFFFFFF80000000ull;
}

// The object namespace of one machine.
class Namespace {
public:
    // Canonical form: \??\ and \DosDevices\ become \GLOBAL??\.
    static std::u16string Canonical(std::u16string_view name);

    NTSTATUS insertObject(std::u16string_view name, void* object);  // no reference taken
    NTSTATUS removeObject(std::u16string_view name, void* object);
    NTSTATUS insertLink(std::u16string_view name, std::u16string_view target);
    NTSTATUS removeLink(std::u16string_view name);
    // Follows links to an object; `remainder` gets the unparsed rest of the name.
    // The object is referenced. Fails with STATUS_OBJECT_NAME_NOT_FOUND (or
    // STATUS_OBJECT_PATH_NOT_FOUND when a directory in the path is missing).
    NTSTATUS resolve(std::u16string_view name, void** object, std::u16string* remainder) const;
    std::optional<std::u16string> linkTarget(std::u16string_view name) const;
    std::vector<NamespaceEntry> list(std::u16string_view directory) const;
    std::size_t linkCount() const;

private:
    struct Entry {
        std::u16string name;  // canonical, original case
        bool link = false;
        std::u16string target;
        void* object = nullptr;
    };
    // Adds a name that must not exist yet, in a directory that exists.
    NTSTATUS insert(std::u16string_view name, bool link, std::u16string target, void* object);

    mutable std::mutex mutex_;
    std::map<std::u16string, Entry> entries_;  // by upcased canonical name
};

// ---- Security ---------------------------------------------------------------------------

using SidBytes = std::vector<std::uint8_t>;  // a SID as it lies in memory

// An object's security descriptor as the kernel keeps it: the DACL, with every generic right of
// its entries already mapped to the object type's rights (as Windows maps them when it assigns
// a descriptor). No DACL at all grants everyone everything, as a NULL DACL does.
struct SecurityDescriptorK {
    struct Ace {
        bool allow = true;  // an access-allowed entry; else access-denied
        ACCESS_MASK mask = 0;
        SidBytes sid;
    };
    std::optional<std::vector<Ace>> dacl;
};

// Generic rights mapped to the rights of files and devices (the I/O manager's mapping).
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);
// The descriptor IoCreateDevice gives a named device object whose driver sets none.
std::shared_ptr<const SecurityDescriptorK> DefaultDeviceSecurity(ULONG deviceType, ULONG characteristics);
// The access check of a user-mode open: `desired` (generic rights already mapped, MAXIMUM_ALLOWED
// possibly set) against the descriptor for the process's account. True with what is granted when
// every right asked for is granted.
bool CheckAccess(const SecurityDescriptorK& descriptor, const ProcessState& process, ACCESS_MASK desired,
                 ACCESS_MASK* granted);
// The device's descriptor (nullptr: none, an unnamed device), read under the I/O lock.
std::shared_ptr<const SecurityDescriptorK> DeviceSecurity(const DEVICE_OBJECT* device);

// ---- I/O objects ------------------------------------------------------------------------

struct DevNode;
struct DriverRecord;

// Kernel data behind DEVICE_OBJECT::DeviceObjectExtension.
struct DeviceExtra {
    DEVOBJ_EXTENSION pub;
    std::u16string name;
    std::atomic<bool> deletePending{false};  // IoDeleteDevice was called
    bool unlinked = false;                   // removed from its driver's list
    DEVICE_OBJECT* attachedTo = nullptr;
    DevNode* devnode = nullptr;   // set on PDOs
    bool shutdownRegistered = false;
    std::atomic<bool> removePending{false};    // query-remove succeeded: no new opens
    std::atomic<bool> removeProcessed{false};  // remove was sent for a device that is gone
    // Who may open the device (named devices; guarded by the I/O lock): the default of its type
    // until its driver sets its own with ZwSetSecurityObject.
    std::shared_ptr<const SecurityDescriptorK> security;
};
DeviceExtra* ExtraOf(const DEVICE_OBJECT* device);
bool IsDevice(const void* object);
bool IsDriver(const void* object);
bool IsFile(const void* object);

// Kernel data of a driver object (DRIVER_OBJECT::DriverSection points here).
struct DriverRecord {
    std::u16string service;
    std::u16string name;          // \Driver\<service>
    std::u16string registryPath;  // \Registry\Machine\System\CurrentControlSet\Services\<service>
    std::shared_ptr<struct DriverImage> image;
    std::map<void*, void*> clientExtensions;  // IoAllocateDriverObjectExtension
    bool builtIn = false;
    std::atomic<bool> unloadCalled{false};
    std::atomic<bool> pnpDriver{false};  // loaded for a device stack
};
DriverRecord* RecordOf(const DRIVER_OBJECT* driver);

// A loaded driver image.
struct DriverImage {
    std::u16string service;
    std::string path;           // the private copy that was loaded
    void* handle = nullptr;     // dlopen handle
    std::uintptr_t begin = 0, end = 0;
    const void* messageTable = nullptr;
    PDRIVER_INITIALIZE entry = nullptr;
    std::atomic<int> runningThreads{0};  // system threads started in this image, still running
    ~DriverImage();
};

// Kernel data following FILE_OBJECT in a file object's body.
struct FileExtra {
    bool opened = false;           // IRP_MJ_CREATE succeeded: close must be sent
    bool cleanedUp = false;
    ACCESS_MASK grantedAccess = 0;
    DEVICE_OBJECT* referencedDevice = nullptr;  // holds ReferenceCount and an object reference
    ProcessState* process = nullptr;
};
FileExtra* FileExtraOf(const FILE_OBJECT* file);

// A driver object named \Driver\<service> with every major function set to
// InvalidDeviceRequest; one reference (the loader's).
DRIVER_OBJECT* CreateDriverObject(std::u16string_view service, std::shared_ptr<DriverImage> image, bool builtIn);
// Removes \Driver\<service> from the namespace (the driver unloads).
void RemoveDriverName(DRIVER_OBJECT* driver);
// The dispatch routine of every unset major function.
NTSTATUS InvalidDeviceRequest(DEVICE_OBJECT* device, IRP* irp);
// Clears DO_DEVICE_INITIALIZING on every device of the driver (after DriverEntry).
void FinishDeviceInitialization(DRIVER_OBJECT* driver);
// Names of the driver's device objects (for messages).
// The device objects of a driver, each with an object reference taken while it was still on the
// driver's list: a device whose deletion is pending goes away on whichever thread drops its last
// reference (a late completion, a closing file), and a walk of the list must not read freed memory.
class DeviceList {
public:
    explicit DeviceList(DRIVER_OBJECT* driver);
    ~DeviceList();
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    auto begin() const { return devices_.begin(); }
    auto end() const { return devices_.end(); }

private:
    std::vector<DEVICE_OBJECT*> devices_;
};
std::string DeviceLabel(const DEVICE_OBJECT* device);

// Opens a device by name for a kernel or user caller: the file object (one
// reference) after a successful IRP_MJ_CREATE to the top of the device's stack.
NTSTATUS OpenDevice(std::u16string_view name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                    KPROCESSOR_MODE mode, ProcessState* process, FILE_OBJECT** file);
// Synchronous user request on an open file (the system services of a process).
NTSTATUS UserDeviceControl(ProcessState* process, HANDLE handle, ULONG code, void* input, ULONG inputLength,
                           void* output, ULONG outputLength, ULONG_PTR* information);
NTSTATUS UserReadWrite(ProcessState* process, HANDLE handle, bool write, void* buffer, ULONG length,
                       ULONG_PTR* information, const std::int64_t* byteOffset);

// An asynchronous user request in progress.
struct AsyncRequest {
    IRP* irp;
    _KTHREAD* thread;     // the thread that started it
    ProcessState* process;
    FILE_OBJECT* file;
    void* iosb;           // the caller's status block (OVERLAPPED)
};
// Where a user request's outcome goes: synchronous (the service waits) when `iosb` is
// nullptr; else the caller's status block and event (an event object, referenced for the
// request, or nullptr for the file's own event) and the service returns STATUS_PENDING.
struct UserTarget {
    IO_STATUS_BLOCK* iosb = nullptr;
    KEVENT* event = nullptr;
};
NTSTATUS UserDeviceControlTo(ProcessState* process, HANDLE handle, ULONG code, void* input, ULONG inputLength,
                             void* output, ULONG outputLength, ULONG_PTR* information, const UserTarget& target);
NTSTATUS UserReadWriteTo(ProcessState* process, HANDLE handle, bool write, void* buffer, ULONG length,
                         ULONG_PTR* information, const std::int64_t* byteOffset, const UserTarget& target);
// Cancels the asynchronous requests that `match` selects; returns how many it found.
std::size_t CancelAsyncRequests(const std::function<bool(const AsyncRequest&)>& match);
// A thread ends: its asynchronous requests are cancelled and waited for.
void CancelThreadRequests(_KTHREAD* thread);
// Cancels the requests `match` selects and waits for them (5 s at most, then a report).
void CancelAndWait(const std::function<bool(const AsyncRequest&)>& match, const char* whose);
// Called by the I/O manager when an asynchronous request finishes (lock held by the caller).
void ForgetAsyncRequest(IRP* irp);
extern _OBJECT_TYPE EventObjectType;

// Deletes a device whose deletion was deferred, when nothing holds it any more.
void CompleteDeviceDeletionIfUnused(DEVICE_OBJECT* device);

// Top of the stack above `device` (no reference).
DEVICE_OBJECT* AttachedTop(DEVICE_OBJECT* device);

// ---- IRPs --------------------------------------------------------------------------------

// Kernel bookkeeping in front of every IRP.
struct alignas(16) IrpHeader {
    static constexpr std::uint32_t kLive = 0x4C505249;   // "IRPL"
    static constexpr std::uint32_t kFreed = 0x46505249;  // "IRPF"
    std::uint32_t state = kLive;
    std::uint32_t generation = 0;      // machine that allocated it
    IrpHeader* prev = nullptr;
    IrpHeader* next = nullptr;
    const DriverImage* owner = nullptr;  // image that allocated it (nullptr: kernel)
    std::string ownerName;
    std::size_t allocationSize = 0;
    ProcessState* process = nullptr;   // originating process of a user request
    ULONG outputLength = 0;            // caller's output buffer size of a buffered request
    bool builtByIoManager = false;
    // The kernel itself waits for this request (its own synchronous requests and the system
    // services): the event is set even when the request fails at once, where Windows leaves
    // a caller's event alone, so that the kernel never waits for a request that is done.
    bool kernelWaits = false;
    bool holdsFileReference = false;   // OriginalFileObject is referenced for the request
    bool async = false;                // an asynchronous user request (in Machine::Impl::asyncRequests)
    void* eventObject = nullptr;       // the user's event object, referenced for the request
    bool reported = false;             // leak already reported
    // IofCallDriver calls still running with this IRP: the header stays out of the
    // quarantine's eviction until they have checked what their dispatch routine returned.
    std::atomic<int> pins{0};
    // What one stack location's dispatch routine did with the request, for the pending rules
    // (index: stack location number). Guarded by `locationMutex`.
    struct Location {
        std::uint32_t call = 0;          // which IofCallDriver to this location the record belongs to
        const void* routine = nullptr;   // its dispatch routine and major function, for reports
        UCHAR major = 0;
        bool returned = false;           // the dispatch routine returned
        bool returnedPending = false;    // ... with STATUS_PENDING
        NTSTATUS returnedStatus = 0;
        bool completed = false;          // the completion went up through this location
        bool markedPending = false;      // SL_PENDING_RETURNED was set there when it did
        NTSTATUS completedStatus = 0;    // the request's status when it did
    };
    std::mutex locationMutex;
    std::vector<Location> locations;
    std::uint32_t calls = 0;
    IRP* irp() { return reinterpret_cast<IRP*>(this + 1); }
};
IrpHeader* IrpHeaderOf(const IRP* irp);
// Checks that `irp` is a live IRP; reports and returns false otherwise.
bool CheckIrp(const IRP* irp, const char* routine);
// An IRP for the I/O manager's own requests: threaded to the calling thread.
IRP* AllocateIrpFor(CCHAR stackSize, const void* caller);
// Live IRPs allocated by an image (or by anyone, when image is nullptr) and not reported yet.
std::vector<IrpHeader*> TakeLiveIrps(const DriverImage* image, std::uint32_t generation, bool all);

// Sends a synchronous request built by the kernel (PnP, create, cleanup, close) and
// waits for it. The IRP is threaded; the I/O manager frees it.
struct SyncRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    FILE_OBJECT* fileObject = nullptr;
    KPROCESSOR_MODE mode = KernelMode;
    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
    ULONG flags = 0;
    std::function<void(IRP*, IO_STACK_LOCATION*)> setup;
    // Call the driver at DISPATCH_LEVEL (the wait for a pended IRP is made after lowering again).
    bool atDispatchLevel = false;
};
NTSTATUS SendSync(DEVICE_OBJECT* target, const SyncRequest& request, ULONG_PTR* information = nullptr);

// Injected pool failures also apply to IRPs and MDLs: true when this one must fail.
bool PoolShouldFail(int poolType, std::size_t size, ULONG tag, const void* caller);
// Pool still held by an unloading image, one line per tag; the blocks are disowned
// so that they are reported once.
std::vector<std::string> TakePoolLeaksOf(const DriverImage* image);
// Every block still allocated (machine shutdown), one line per owner and tag, except the
// blocks of images that are still in use.
std::vector<std::string> TakeAllPoolLeaks(const std::vector<const DriverImage*>& inUse);

// Kernel objects that must not go away while in use, found in [begin, begin + size): live
// ERESOURCEs, armed timers, queued DPCs. Each is described and forgotten (the timer cancelled,
// the DPC dequeued) so that the machine goes on; the caller reports them. On Windows, freeing
// memory that holds one is a bug check.
std::vector<std::string> TakeResourcesIn(const void* begin, std::size_t size);
std::vector<std::string> TakeTimersAndDpcsIn(const void* begin, std::size_t size);
std::vector<std::string> TakeLiveObjectsIn(const void* begin, std::size_t size);

// MmProbeAndLockPages without the raise: the status instead.
NTSTATUS LockMdlPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation);

// ---- Memory ------------------------------------------------------------------------------

}  // namespace sim::k

struct sim::Process::Impl {
    ULONG id = 0;
    std::string name;
    bool is32Bit = false;
    _EPROCESS* object = nullptr;
    std::unique_ptr<sim::k::HandleTable> handles;
    mutable std::mutex memoryMutex;
    std::map<std::uintptr_t, std::size_t> allocations;  // start -> size
    // Ordinary memory of a program run in the process (its stack, its image's segments):
    // user memory the process did not allocate through alloc(). start -> size.
    std::map<std::uintptr_t, std::size_t> regions;
    // The program's heap blocks (malloc/new of the program): start -> size. A 64-bit process's
    // blocks come from the host heap, a 32-bit process's from pages below 4 GB.
    std::map<std::uintptr_t, std::size_t> heap;
    std::unique_ptr<sim::Process> facade;
    bool isSystem = false;
    sim::Account account = sim::Account::Administrator;
    bool exited = false;
    // Allocations made read-only (setReadOnly): start -> size.
    std::map<std::uintptr_t, std::size_t> readOnly;
    bool validRange(const void* address, std::size_t length) const;
    bool writableRange(const void* address, std::size_t length) const;
};

struct _EPROCESS {
    sim::k::ProcessState* state;
};

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    std::atomic<KPRIORITY> priority;
    std::atomic<sim::k::ProcessState*> process;  // process it currently runs for
    sim::k::SystemThread* system;                // nullptr for a host thread
    ULONG id;
};

struct _ETHREAD {
    _KTHREAD Tcb;
};

namespace sim::k {

// ---- Per-machine services -------------------------------------------------------------

// One kernel worker thread running queued jobs at PASSIVE_LEVEL.
class KernelWorker {
public:
    explicit KernelWorker(std::string name, unsigned threads = 1);
    ~KernelWorker();
    void post(std::function<void()> job);
    // Runs `job` on the worker and waits for it (runs it inline when called on the worker).
    void runSync(std::function<void()> job);
    // Waits until the queue is empty and no job runs.
    void drain();
    bool onWorker() const;
    void stop();

private:
    void loop();
    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    unsigned busyCount_ = 0;
    std::vector<std::thread> threads_;
    std::vector<std::thread::id> threadIds_;
};

// System threads of a machine (PsCreateSystemThread).
struct SystemThread {
    _KTHREAD* object = nullptr;
    std::thread thread;
    PKSTART_ROUTINE routine = nullptr;
    void* context = nullptr;
    std::shared_ptr<DriverImage> image;
    std::atomic<bool> finished{false};
};

using Clock = std::chrono::steady_clock;

// Timers and DPCs of one machine (ke_timer.cpp).
struct DpcTimerService {
    struct Armed {
        Clock::time_point due;
        LONG period;  // milliseconds, 0: one shot
        KDPC* dpc;
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    std::unordered_map<KTIMER*, Armed> timers;
    std::deque<KDPC*> dpcs;
    std::thread thread;

    void loop();
    void queueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2) {
        if (dpc->DpcData) return;
        dpc->SystemArgument1 = argument1;
        dpc->SystemArgument2 = argument2;
        dpc->DpcData = this;
        dpcs.push_back(dpc);
    }
};

struct DevNode {
    std::u16string instancePath;
    DevNode* parent = nullptr;
    std::vector<DevNode*> children;
    DEVICE_OBJECT* pdo = nullptr;  // referenced while the devnode exists
    DevNodeState state = DevNodeState::NoDriver;
    NTSTATUS problem = 0;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string service;
    bool rootEnumerated = false;
    bool missing = false;  // its bus no longer reports it (or it is being uninstalled)
};

}  // namespace sim::k

struct sim::DriverManager::Impl {
    explicit Impl(sim::Machine::Impl* machine) : machine(machine) {}
    sim::Machine::Impl* machine;
    std::mutex mutex;
    std::map<std::u16string, DRIVER_OBJECT*> loaded;  // by upcased service; the loader's reference
    std::map<std::u16string, std::size_t> entries, unloads;
    mutable std::shared_mutex imagesMutex;
    std::vector<std::shared_ptr<sim::k::DriverImage>> images;  // loaded images, for address lookups
    // Images of unloaded drivers stay mapped until the machine ends: a completion routine or a
    // dispatch routine of the driver may still be running its last instructions on another
    // thread after the event it signalled let the unload go ahead.
    std::vector<std::shared_ptr<sim::k::DriverImage>> retiredImages;
    // Runs while an unloading driver's device objects are looked at, after its DriverUnload.
    std::function<void(std::u16string_view service)> unloadWalkObserver;
};

struct sim::PnpManager::Impl {
    explicit Impl(sim::Machine::Impl* machine);
    ~Impl();
    sim::Machine::Impl* machine;
    sim::k::KernelWorker worker{"PnP", 1};
    mutable std::mutex treeMutex;  // the tree's structure, for readers on other threads
    std::vector<std::unique_ptr<sim::k::DevNode>> nodes;
    sim::k::DevNode root;
    DRIVER_OBJECT* rootBus = nullptr;
    bool stopped = false;
};

struct sim::ProcessManager::Impl {
    explicit Impl(sim::Machine::Impl* machine) : machine(machine) {}
    sim::Machine::Impl* machine;
    mutable std::mutex mutex;
    std::map<ULONG, std::unique_ptr<sim::Process::Impl>> processes;
    std::unique_ptr<sim::Process::Impl> system;
    ULONG nextId = 0x100;
};

// Kernel state of one machine.
struct sim::Machine::Impl {
    explicit Impl(const MachineConfig& config);
    ~Impl();

    MachineConfig config;
    sim::Machine* owner = nullptr;
    std::uint32_t generation = 0;
    Verifier verifier;
    std::unique_ptr<sim::Registry> registry;
    std::unique_ptr<sim::TraceLog> trace;
    std::unique_ptr<sim::EventLog> eventLog;
    Pool pool;
    k::Namespace names;
    k::HandleTable kernelHandles{k::kKernelHandleBase, 4};

    // Serialises device stack changes (attach, detach), open counts and deferred deletion.
    std::recursive_mutex ioLock;

    std::unique_ptr<DriverManager::Impl> drivers;
    std::unique_ptr<DriverManager> driversFacade;
    std::unique_ptr<PnpManager::Impl> pnp;
    std::unique_ptr<PnpManager> pnpFacade;
    std::unique_ptr<ProcessManager::Impl> processes;
    std::unique_ptr<ProcessManager> processesFacade;

    std::mutex threadsMutex;
    std::vector<std::unique_ptr<k::SystemThread>> threads;

    std::unique_ptr<k::KernelWorker> worker;  // work items, deferred deletions
    std::unique_ptr<k::DpcTimerService> dpc;

    // Asynchronous user requests in progress (overlapped I/O), for CancelIo, CancelIoEx and
    // the cancellation of a thread's requests when it exits. Held while a request is
    // cancelled and while one is finished, so that a cancelled request is never freed under
    // the canceller; recursive because a cancel routine may complete the request at once.
    std::recursive_mutex asyncMutex;
    std::vector<k::AsyncRequest> asyncRequests;
    std::condition_variable_any asyncFinished;  // notified whenever one leaves asyncRequests

    // Callback objects: named once and kept for the machine's life (the machine holds a reference),
    // so that drivers loading and unloading in any order meet the same object.
    std::mutex callbackMutex;
    std::vector<void*> callbackObjects;

    std::mutex shutdownMutex;
    std::vector<DEVICE_OBJECT*> shutdownNotifications;
    std::atomic<bool> shuttingDown{false};
    bool shutDown = false;
};

namespace sim::k {

sim::Machine::Impl* CurrentImpl();  // nullptr when no machine exists
sim::Machine::Impl& Kernel();       // aborts when no machine exists

// Posts `job` to run at PASSIVE_LEVEL on the machine's worker (inline when no machine).
void DeferToWorker(std::function<void()> job);

// Callback registrations whose routine lies in [begin, end): reported and removed when the driver
// that owns them unloads without ExUnregisterCallback.
std::vector<std::string> TakeCallbacksOfRange(std::uintptr_t begin, std::uintptr_t end);
// Drops the machine's references to every callback object (machine teardown).
void ReleaseCallbackObjects(sim::Machine::Impl& machine);

// Driver manager internals used by other parts.
std::shared_ptr<DriverImage> ImageOfAddress(const void* address);
std::string OwnerNameOf(const DriverImage* image);
// Loads (once) the driver of `service`; returns its driver object (not referenced).
NTSTATUS LoadDriverForDevice(std::u16string_view service, DRIVER_OBJECT** driver);
// Unloads PnP-loaded drivers that have no device objects left.
void UnloadUnusedDrivers();
// Calls DriverUnload (when asked and present), reports what the driver left behind
// and drops the loader's reference.
void UnloadDriverObject(DRIVER_OBJECT* driver, bool callUnload);
// Unloads every driver at shutdown, except Plug and Play drivers that still own device
// objects (as on Windows); returns the images of those.
std::vector<const DriverImage*> UnloadAllDrivers();
// Runs `job` on the PnP manager's worker thread and waits (inline when already on it).
void RunOnPnpWorker(const std::function<void()>& job);
void StopDpcAndTimers(sim::Machine::Impl& impl);
void StartDpcAndTimers(sim::Machine::Impl& impl);
void CancelTimersOfRange(std::uintptr_t begin, std::uintptr_t end);

// PnP internals.
void PnpDeviceDeleted(DEVICE_OBJECT* device);          // a device of a stack is gone
void PnpLastHandleClosed(DEVICE_OBJECT* device);       // for surprise-removed devnodes
void PnpShutdown(sim::Machine::Impl& impl);

// Process internals.
ProcessState* SystemProcess();
void ExitAllProcesses(sim::Machine::Impl& impl);

// The root bus driver (owner of root-enumerated PDOs).
DRIVER_OBJECT* RootBusDriver();
DRIVER_OBJECT* CreateRootBus();

}  // namespace sim::k
