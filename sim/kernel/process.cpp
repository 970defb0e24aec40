// Simulated processes: address space of user allocations (below 4 GB for a
// 32-bit process), handle table, and the system services of the Win32 layer.

#include <algorithm>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "kinternal.h"
#include "sim/registry.h"

using sim::ReportViolation;

namespace sim {

namespace {

constexpr std::size_t kPage = 4096;

std::size_t RoundUp(std::size_t size) { return (size + kPage - 1) & ~(kPage - 1); }
std::size_t RoundUpTo(std::size_t size, std::size_t alignment) { return (size + alignment - 1) & ~(alignment - 1); }

std::unique_ptr<Process::Impl> NewProcess(ULONG id, std::string name, bool is32Bit, bool isSystem, Account account) {
    auto impl = std::make_unique<Process::Impl>();
    impl->id = id;
    impl->account = account;
    impl->name = std::move(name);
    impl->is32Bit = is32Bit;
    impl->isSystem = isSystem;
    impl->handles = std::make_unique<k::HandleTable>(4, 4);
    void* body = k::CreateObject(&k::ProcessObjectType, sizeof(_EPROCESS));
    impl->object = static_cast<_EPROCESS*>(body);
    impl->object->state = impl.get();
    impl->facade = std::make_unique<Process>(impl.get());
    return impl;
}

// One heap block of a program: host heap in a 64-bit process, pages below 4 GB in a 32-bit one.
void* NewHeapBlock(bool is32Bit, std::size_t size, std::size_t alignment) {
    if (!is32Bit) return alignment > 16 ? std::aligned_alloc(alignment, RoundUpTo(size, alignment)) : std::malloc(size);
    if (alignment > 4096) return nullptr;  // the pages below 4 GB are aligned to their size only
    void* memory = mmap(nullptr, RoundUp(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void FreeHeapBlock(bool is32Bit, void* block, std::size_t size) {
    if (is32Bit) munmap(block, RoundUp(size));
    else std::free(block);
}

void ReleaseMemory(Process::Impl& impl) {
    std::lock_guard lock(impl.memoryMutex);
    for (auto& [start, size] : impl.allocations) munmap(reinterpret_cast<void*>(start), RoundUp(size));
    impl.allocations.clear();
    // What the program did not free goes with the process, as on Windows.
    for (auto& [start, size] : impl.heap) FreeHeapBlock(impl.is32Bit, reinterpret_cast<void*>(start), size);
    impl.heap.clear();
    impl.regions.clear();
}

void EndProcess(sim::Machine::Impl& machine, Process::Impl& impl) {
    if (impl.exited) return;
    impl.exited = true;
    {
        ProcessScope scope(*impl.facade);
        // Its threads end: their requests are cancelled and waited for before the handles go.
        k::CancelAndWait([&impl](const k::AsyncRequest& r) { return r.process == &impl; }, "an exiting process");
        impl.handles->closeAll();
    }
    if (machine.registry) machine.registry->closeHandlesOf(impl.facade.get());
    ReleaseMemory(impl);
    impl.object->state = nullptr;
    k::Dereference(impl.object);
}

}  // namespace

// ---- Process ------------------------------------------------------------------------------------

Process::Process(Impl* impl) : impl_(impl) {}

ULONG Process::id() const { return impl_->id; }
const std::string& Process::name() const { return impl_->name; }
bool Process::is32Bit() const { return impl_->is32Bit; }
Account Process::account() const { return impl_->account; }
_EPROCESS* Process::kernelObject() const { return impl_->object; }

void* Process::alloc(std::size_t size) {
    if (size == 0) size = 1;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (impl_->is32Bit) flags |= MAP_32BIT;  // a 32-bit process sees only addresses below 4 GB
    void* memory = mmap(nullptr, RoundUp(size), PROT_READ | PROT_WRITE, flags, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    std::lock_guard lock(impl_->memoryMutex);
    impl_->allocations[reinterpret_cast<std::uintptr_t>(memory)] = size;
    return memory;
}

void Process::free(void* address) {
    std::size_t size = 0;
    {
        std::lock_guard lock(impl_->memoryMutex);
        auto it = impl_->allocations.find(reinterpret_cast<std::uintptr_t>(address));
        if (it == impl_->allocations.end()) return;
        size = it->second;
        impl_->allocations.erase(it);
        impl_->readOnly.erase(reinterpret_cast<std::uintptr_t>(address));
    }
    munmap(address, RoundUp(size));
}

void Process::setReadOnly(void* address, bool readOnly) {
    std::size_t size = 0;
    {
        std::lock_guard lock(impl_->memoryMutex);
        auto it = impl_->allocations.find(reinterpret_cast<std::uintptr_t>(address));
        if (it == impl_->allocations.end()) {
            ReportViolation("Process::setReadOnly: not an allocation of the process");
            return;
        }
        size = it->second;
        if (readOnly) {
            impl_->readOnly[it->first] = size;
        } else {
            impl_->readOnly.erase(it->first);
        }
    }
    mprotect(address, RoundUp(size), readOnly ? PROT_READ : PROT_READ | PROT_WRITE);
}

void Process::addRegion(const void* start, std::size_t size) {
    std::lock_guard lock(impl_->memoryMutex);
    impl_->regions[reinterpret_cast<std::uintptr_t>(start)] = size;
}

void Process::removeRegion(const void* start) {
    std::lock_guard lock(impl_->memoryMutex);
    impl_->regions.erase(reinterpret_cast<std::uintptr_t>(start));
}

void* Process::heapAlloc(std::size_t size, std::size_t alignment) {
    if (size == 0) size = 1;
    if (alignment & (alignment - 1)) return nullptr;
    void* block = NewHeapBlock(impl_->is32Bit, size, alignment);
    if (!block) return nullptr;
    std::lock_guard lock(impl_->memoryMutex);
    impl_->heap[reinterpret_cast<std::uintptr_t>(block)] = size;
    return block;
}

bool Process::heapFree(void* address) {
    std::size_t size = 0;
    {
        std::lock_guard lock(impl_->memoryMutex);
        auto it = impl_->heap.find(reinterpret_cast<std::uintptr_t>(address));
        if (it == impl_->heap.end()) return false;
        size = it->second;
        impl_->heap.erase(it);
    }
    FreeHeapBlock(impl_->is32Bit, address, size);
    return true;
}

std::optional<std::size_t> Process::heapBlockSize(const void* address) const {
    std::lock_guard lock(impl_->memoryMutex);
    auto it = impl_->heap.find(reinterpret_cast<std::uintptr_t>(address));
    if (it == impl_->heap.end()) return std::nullopt;
    return it->second;
}

std::size_t Process::requestsInProgress() const {
    auto& kernel = k::Kernel();
    std::lock_guard lock(kernel.asyncMutex);
    return static_cast<std::size_t>(std::count_if(kernel.asyncRequests.begin(), kernel.asyncRequests.end(),
                                                  [this](const k::AsyncRequest& r) { return r.process == impl_; }));
}

bool Process::awaitRequestsInProgress(std::size_t atMost, std::chrono::milliseconds limit) const {
    auto& kernel = k::Kernel();
    std::unique_lock lock(kernel.asyncMutex);
    return kernel.asyncFinished.wait_for(lock, limit, [&] {
        return static_cast<std::size_t>(std::count_if(kernel.asyncRequests.begin(), kernel.asyncRequests.end(),
                                                      [this](const k::AsyncRequest& r) { return r.process == impl_; })) <=
               atMost;
    });
}

bool Process::isValidRange(const void* address, std::size_t length) const {
    return impl_->validRange(address, length);
}

std::uint32_t Process::address32(const void* address) const {
    auto value = reinterpret_cast<std::uintptr_t>(address);
    if (value > 0xFFFFFFFFu) ReportViolation("Process::address32: the address is above 4 GB");
    return static_cast<std::uint32_t>(value);
}

NTSTATUS Process::createFile(HANDLE* handle, std::u16string_view name, ACCESS_MASK desiredAccess, ULONG shareAccess,
                             ULONG createDisposition, ULONG createOptions) {
    *handle = nullptr;
    std::u16string ntName(name);
    if (ntName.rfind(u"\\\\.\\", 0) == 0 || ntName.rfind(u"\\\\?\\", 0) == 0) ntName = u"\\??\\" + ntName.substr(4);
    ProcessScope scope(*this);
    FILE_OBJECT* file = nullptr;
    NTSTATUS status = k::OpenDevice(ntName, desiredAccess, shareAccess, createDisposition, createOptions, UserMode,
                                    impl_, &file);
    if (!NT_SUCCESS(status)) return status;
    file->Flags |= FO_HANDLE_CREATED;
    *handle = impl_->handles->insert(file, k::FileExtraOf(file)->grantedAccess);
    k::Dereference(file);  // the handle holds the file now
    return STATUS_SUCCESS;
}

NTSTATUS Process::deviceIoControl(HANDLE handle, ULONG ioControlCode, void* inputBuffer, ULONG inputLength,
                                  void* outputBuffer, ULONG outputLength, ULONG_PTR* information) {
    return k::UserDeviceControl(impl_, handle, ioControlCode, inputBuffer, inputLength, outputBuffer, outputLength,
                                information);
}

NTSTATUS Process::read(HANDLE handle, void* buffer, ULONG length, ULONG_PTR* information,
                       std::optional<std::int64_t> byteOffset) {
    return k::UserReadWrite(impl_, handle, false, buffer, length, information,
                            byteOffset ? &*byteOffset : nullptr);
}

NTSTATUS Process::write(HANDLE handle, const void* buffer, ULONG length, ULONG_PTR* information,
                        std::optional<std::int64_t> byteOffset) {
    return k::UserReadWrite(impl_, handle, true, const_cast<void*>(buffer), length, information,
                            byteOffset ? &*byteOffset : nullptr);
}

NTSTATUS Process::close(HANDLE handle) {
    ProcessScope scope(*this);
    return impl_->handles->close(handle);
}

std::size_t Process::openHandleCount() const { return impl_->handles->size(); }

namespace {

// The referenced event object of a process's handle, or nullptr.
KEVENT* ReferenceEvent(Process::Impl& process, HANDLE handle) {
    void* object = process.handles->lookup(handle);
    if (!object) return nullptr;
    if (!k::IsObjectOfType(object, &k::EventObjectType)) {
        k::Dereference(object);
        return nullptr;
    }
    return static_cast<KEVENT*>(object);
}

// Resolves the target of an overlapped call: the status block must be the caller's memory,
// the event handle (when given) an event of the process. The event stays referenced until
// `release` runs.
struct AsyncCall {
    NTSTATUS status = STATUS_SUCCESS;
    k::UserTarget target;
    ~AsyncCall() {
        if (target.event) k::Dereference(target.event);
    }
};

void Resolve(Process::Impl& process, IO_STATUS_BLOCK* iosb, HANDLE event, AsyncCall& call) {
    if (!iosb || !process.validRange(iosb, sizeof(IO_STATUS_BLOCK))) {
        call.status = STATUS_ACCESS_VIOLATION;
        return;
    }
    call.target.iosb = iosb;
    if (event) {
        call.target.event = ReferenceEvent(process, event);
        if (!call.target.event) call.status = STATUS_INVALID_HANDLE;
    }
}

}  // namespace

NTSTATUS Process::deviceIoControlAsync(HANDLE handle, ULONG ioControlCode, void* inputBuffer, ULONG inputLength,
                                       void* outputBuffer, ULONG outputLength, IO_STATUS_BLOCK* iosb, HANDLE event) {
    AsyncCall call;
    Resolve(*impl_, iosb, event, call);
    if (!NT_SUCCESS(call.status)) return call.status;
    return k::UserDeviceControlTo(impl_, handle, ioControlCode, inputBuffer, inputLength, outputBuffer, outputLength,
                                  nullptr, call.target);
}

NTSTATUS Process::readAsync(HANDLE handle, void* buffer, ULONG length, std::int64_t byteOffset,
                            IO_STATUS_BLOCK* iosb, HANDLE event) {
    AsyncCall call;
    Resolve(*impl_, iosb, event, call);
    if (!NT_SUCCESS(call.status)) return call.status;
    return k::UserReadWriteTo(impl_, handle, false, buffer, length, nullptr, &byteOffset, call.target);
}

NTSTATUS Process::writeAsync(HANDLE handle, const void* buffer, ULONG length, std::int64_t byteOffset,
                             IO_STATUS_BLOCK* iosb, HANDLE event) {
    AsyncCall call;
    Resolve(*impl_, iosb, event, call);
    if (!NT_SUCCESS(call.status)) return call.status;
    return k::UserReadWriteTo(impl_, handle, true, const_cast<void*>(buffer), length, nullptr, &byteOffset,
                              call.target);
}

namespace {

// The file object of a handle, not referenced (only compared), or nullptr.
FILE_OBJECT* FileOfHandle(Process::Impl& process, HANDLE handle) {
    void* object = process.handles->lookup(handle);
    if (!object) return nullptr;
    k::Dereference(object);
    return k::IsFile(object) ? static_cast<FILE_OBJECT*>(object) : nullptr;
}

}  // namespace

NTSTATUS Process::cancelIo(HANDLE handle) {
    FILE_OBJECT* file = FileOfHandle(*impl_, handle);
    if (!file) return STATUS_INVALID_HANDLE;
    ProcessScope scope(*this);
    _KTHREAD* me = k::CurrentThreadObject();
    k::CancelAsyncRequests([&](const k::AsyncRequest& r) { return r.file == file && r.thread == me; });
    return STATUS_SUCCESS;
}

NTSTATUS Process::cancelIoEx(HANDLE handle, IO_STATUS_BLOCK* iosb) {
    FILE_OBJECT* file = FileOfHandle(*impl_, handle);
    if (!file) return STATUS_INVALID_HANDLE;
    ProcessScope scope(*this);
    std::size_t found = k::CancelAsyncRequests([&](const k::AsyncRequest& r) {
        return r.process == impl_ && r.file == file && (!iosb || r.iosb == iosb);
    });
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS Process::createEvent(HANDLE* handle, bool manualReset, bool initialState) {
    void* body = k::CreateObject(&k::EventObjectType, sizeof(KEVENT));
    KeInitializeEvent(static_cast<KEVENT*>(body), manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    *handle = impl_->handles->insert(body, 0x1F0003);  // EVENT_ALL_ACCESS
    k::Dereference(body);  // the handle holds it now
    return STATUS_SUCCESS;
}

NTSTATUS Process::setEvent(HANDLE handle) {
    KEVENT* event = ReferenceEvent(*impl_, handle);
    if (!event) return STATUS_INVALID_HANDLE;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    k::Dereference(event);
    return STATUS_SUCCESS;
}

NTSTATUS Process::resetEvent(HANDLE handle) {
    KEVENT* event = ReferenceEvent(*impl_, handle);
    if (!event) return STATUS_INVALID_HANDLE;
    KeClearEvent(event);
    k::Dereference(event);
    return STATUS_SUCCESS;
}

std::optional<ULONG> Process::deviceTypeOf(HANDLE handle) const {
    void* object = impl_->handles->lookup(handle);
    if (!object) return std::nullopt;
    std::optional<ULONG> type;
    if (k::IsFile(object)) {
        auto* file = static_cast<FILE_OBJECT*>(object);
        if (file->DeviceObject) type = file->DeviceObject->DeviceType;
    }
    k::Dereference(object);
    return type;
}

NTSTATUS Process::waitMany(const HANDLE* handles, ULONG count, bool waitAll, std::optional<std::uint32_t> timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    std::vector<void*> objects, waitables;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        void* object = impl_->handles->lookup(handles[i]);
        if (!object) {
            status = STATUS_INVALID_HANDLE;
            break;
        }
        objects.push_back(object);
        if (k::IsObjectOfType(object, &k::EventObjectType)) waitables.push_back(object);
        else if (k::IsFile(object)) waitables.push_back(&static_cast<FILE_OBJECT*>(object)->Event);
        else status = STATUS_INVALID_HANDLE;
    }
    if (NT_SUCCESS(status)) {
        ProcessScope scope(*this);
        LARGE_INTEGER timeout;
        if (timeoutMs) timeout.QuadPart = -static_cast<LONGLONG>(*timeoutMs) * 10000;
        std::vector<KWAIT_BLOCK> blocks(count);
        status = KeWaitForMultipleObjects(count, waitables.data(), waitAll ? WaitAll : WaitAny, UserRequest, UserMode,
                                          FALSE, timeoutMs ? &timeout : nullptr, blocks.data());
    }
    for (void* object : objects) k::Dereference(object);
    return status;
}

NTSTATUS Process::wait(HANDLE handle, std::optional<std::uint32_t> timeoutMs) {
    void* object = impl_->handles->lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    void* waitable = nullptr;
    if (k::IsObjectOfType(object, &k::EventObjectType)) waitable = object;
    else if (k::IsFile(object)) waitable = &static_cast<FILE_OBJECT*>(object)->Event;
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (waitable) {
        ProcessScope scope(*this);
        LARGE_INTEGER timeout;
        if (timeoutMs) timeout.QuadPart = -static_cast<LONGLONG>(*timeoutMs) * 10000;
        status = KeWaitForSingleObject(waitable, UserRequest, UserMode, FALSE, timeoutMs ? &timeout : nullptr);
    }
    k::Dereference(object);
    return status;
}

// ---- ProcessManager ---------------------------------------------------------------------------------

ProcessManager::ProcessManager(Impl* impl) : impl_(impl) {
    impl_->system = NewProcess(4, "System", false, true, Account::LocalSystem);
}

Process& ProcessManager::create(std::string name, bool is32Bit, Account account) {
    std::lock_guard lock(impl_->mutex);
    ULONG id = impl_->nextId;
    impl_->nextId += 4;
    auto process = NewProcess(id, std::move(name), is32Bit, false, account);
    Process& facade = *process->facade;
    impl_->processes[id] = std::move(process);
    return facade;
}

void ProcessManager::exit(Process& process) {
    std::unique_ptr<Process::Impl> impl;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->processes.find(process.id());
        if (it == impl_->processes.end()) return;
        impl = std::move(it->second);
        impl_->processes.erase(it);
    }
    EndProcess(*impl_->machine, *impl);
}

Process* ProcessManager::find(ULONG id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->processes.find(id);
    return it == impl_->processes.end() ? nullptr : it->second->facade.get();
}

// ---- ProcessScope ------------------------------------------------------------------------------------

ProcessScope::ProcessScope(Process& process) : previous_(k::Current().process) {
    k::Current().process = &process.impl();
    k::CurrentThreadObject()->process.store(&process.impl());
}

ProcessScope::~ProcessScope() {
    auto* previous = static_cast<Process::Impl*>(previous_);
    k::Current().process = previous;
    k::CurrentThreadObject()->process.store(previous);
}

namespace k {

ProcessState* SystemProcess() { return Kernel().processes->system.get(); }

void ExitAllProcesses(sim::Machine::Impl& impl) {
    if (!impl.processes) return;
    std::map<ULONG, std::unique_ptr<Process::Impl>> processes;
    {
        std::lock_guard lock(impl.processes->mutex);
        processes.swap(impl.processes->processes);
    }
    for (auto& [id, process] : processes) EndProcess(impl, *process);
}

}  // namespace k
}  // namespace sim
