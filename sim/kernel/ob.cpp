// Object manager: reference-counted kernel objects with a header in front of
// the body, handle tables, and the object namespace with symbolic links.

#include <algorithm>
#include <cstring>
#include <new>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {

// ---- Objects --------------------------------------------------------------------------

static_assert(sizeof(ObjectHeader) % 16 == 0, "object bodies stay 16-byte aligned");

void* CreateObject(const _OBJECT_TYPE* type, std::size_t bodySize) {
    void* memory = ::operator new(sizeof(ObjectHeader) + bodySize, std::align_val_t(16));
    auto* header = new (memory) ObjectHeader;
    header->type = type;
    header->bodySize = bodySize;
    std::memset(header->body(), 0, bodySize);
    return header->body();
}

ObjectHeader* HeaderOf(const void* body) {
    if (!body || reinterpret_cast<std::uintptr_t>(body) < 0x10000) return nullptr;
    auto* header = const_cast<ObjectHeader*>(static_cast<const ObjectHeader*>(body) - 1);
    return header->magic == ObjectHeader::kMagic ? header : nullptr;
}

bool IsObjectOfType(const void* body, const _OBJECT_TYPE* type) {
    ObjectHeader* header = HeaderOf(body);
    return header && header->type == type;
}

void Abandon(const void* object) {
    static std::mutex* mutex = new std::mutex;
    static auto* abandoned = new std::vector<const void*>;
    std::lock_guard lock(*mutex);
    abandoned->push_back(object);
}

void Reference(void* body) {
    ObjectHeader* header = HeaderOf(body);
    if (!header) {
        ReportViolation("ObReferenceObject: " + Describe(body) + " is not a kernel object");
        return;
    }
    if (header->pointerCount.fetch_add(1) <= 0)
        ReportViolation("ObReferenceObject: " + std::string(header->type->name) + " object " + Describe(body) +
                        " has no references left (already being deleted)");
}

static void DestroyNow(ObjectHeader* header) {
    if (header->type->destroy) header->type->destroy(header->body());
    // A device extension is driver memory like pool: it must not go with live objects in it.
    for (auto& object : TakeLiveObjectsIn(header->body(), header->bodySize))
        ReportViolation(std::string(header->type->name) + " object " + Describe(header->body()) +
                        " freed while its memory holds " + object);
    header->magic = 0;
    header->~ObjectHeader();
    ::operator delete(header, std::align_val_t(16));
}

void Dereference(void* body) {
    ObjectHeader* header = HeaderOf(body);
    if (!header) {
        ReportViolation("ObDereferenceObject: " + Describe(body) + " is not a kernel object");
        return;
    }
    std::int64_t left = header->pointerCount.fetch_sub(1) - 1;
    if (left > 0) return;
    if (left < 0) {
        ReportViolation("ObDereferenceObject: " + std::string(header->type->name) + " object " + Describe(body) +
                        " dereferenced more often than referenced");
        return;
    }
    // Deletion may send requests (a file object's close): it runs at PASSIVE_LEVEL.
    if (Current().irql > PASSIVE_LEVEL || Current().spinLocksHeld > 0) {
        DeferToWorker([header] { DestroyNow(header); });
        return;
    }
    DestroyNow(header);
}

// ---- Handle tables ----------------------------------------------------------------------

HandleTable::HandleTable(std::uintptr_t first, std::uintptr_t step) : next_(first), step_(step) {}

HandleTable::~HandleTable() { closeAll(); }

HANDLE HandleTable::insert(void* object, ACCESS_MASK access) {
    Reference(object);
    if (ObjectHeader* header = HeaderOf(object)) header->handleCount.fetch_add(1);
    std::lock_guard lock(mutex_);
    std::uintptr_t value = next_;
    next_ += step_;
    entries_[value] = Entry{object, access};
    return reinterpret_cast<HANDLE>(value);
}

void* HandleTable::lookup(HANDLE handle, ACCESS_MASK* granted) const {
    void* object;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == entries_.end()) return nullptr;
        object = it->second.object;
        if (granted) *granted = it->second.access;
        Reference(object);
    }
    return object;
}

bool HandleTable::contains(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    return entries_.count(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

std::size_t HandleTable::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

static void CloseEntry(void* object) {
    ObjectHeader* header = HeaderOf(object);
    if (header && header->handleCount.fetch_sub(1) == 1 && header->type->closeLastHandle)
        header->type->closeLastHandle(object);
    Dereference(object);
}

NTSTATUS HandleTable::close(HANDLE handle) {
    void* object;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == entries_.end()) return STATUS_INVALID_HANDLE;
        object = it->second.object;
        entries_.erase(it);
    }
    CloseEntry(object);
    return STATUS_SUCCESS;
}

void HandleTable::closeAll() {
    std::unordered_map<std::uintptr_t, Entry> entries;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
    }
    std::vector<std::pair<std::uintptr_t, void*>> ordered;
    for (auto& [value, entry] : entries) ordered.emplace_back(value, entry.object);
    std::sort(ordered.begin(), ordered.end());
    for (auto& [value, object] : ordered) CloseEntry(object);
}

// ---- Namespace ----------------------------------------------------------------------------

namespace {

constexpr std::u16string_view kGlobal = u"\\GLOBAL??\\";

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// Directories that exist in the namespace of every machine.
bool KnownDirectory(std::u16string_view upper) {
    static const std::u16string_view dirs[] = {u"\\DEVICE",      u"\\DRIVER",          u"\\GLOBAL??",
                                               u"\\FILESYSTEM",  u"\\CALLBACK",        u"\\KERNELOBJECTS",
                                               u"\\BASENAMEDOBJECTS", u"\\ARCNAME",    u"\\RPC CONTROL"};
    for (auto dir : dirs)
        if (upper == dir) return true;
    return false;
}

std::u16string ParentOf(std::u16string_view upper) {
    auto pos = upper.rfind(u'\\');
    if (pos == std::u16string_view::npos || pos == 0) return u"\\";
    return std::u16string(upper.substr(0, pos));
}

}  // namespace

std::u16string Namespace::Canonical(std::u16string_view name) {
    if (StartsWithNoCase(name, u"\\??\\")) return std::u16string(kGlobal) + std::u16string(name.substr(4));
    if (StartsWithNoCase(name, u"\\DosDevices\\")) return std::u16string(kGlobal) + std::u16string(name.substr(12));
    if (StartsWithNoCase(name, kGlobal)) return std::u16string(kGlobal) + std::u16string(name.substr(kGlobal.size()));
    return std::u16string(name);
}

NTSTATUS Namespace::insert(std::u16string_view name, bool link, std::u16string target, void* object) {
    std::u16string canonical = Canonical(name);
    if (canonical.size() < 2 || canonical[0] != u'\\' || canonical.back() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::u16string key = Upcase(canonical);
    std::lock_guard lock(mutex_);
    std::u16string parent = ParentOf(key);
    if (parent != u"\\" && !KnownDirectory(parent) && !entries_.count(parent)) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (entries_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    entries_[key] = Entry{canonical, link, std::move(target), object};
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::insertObject(std::u16string_view name, void* object) {
    return insert(name, false, {}, object);
}

NTSTATUS Namespace::removeObject(std::u16string_view name, void* object) {
    std::u16string key = Upcase(Canonical(name));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.link || it->second.object != object) return STATUS_OBJECT_NAME_NOT_FOUND;
    entries_.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::insertLink(std::u16string_view name, std::u16string_view target) {
    return insert(name, true, std::u16string(target), nullptr);
}

NTSTATUS Namespace::removeLink(std::u16string_view name) {
    std::u16string key = Upcase(Canonical(name));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || !it->second.link) return STATUS_OBJECT_NAME_NOT_FOUND;
    entries_.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS Namespace::resolve(std::u16string_view name, void** object, std::u16string* remainder) const {
    *object = nullptr;
    std::u16string current(name);
    std::lock_guard lock(mutex_);
    for (int depth = 0; depth < 32; ++depth) {
        std::u16string canonical = Canonical(current);
        if (canonical.empty() || canonical[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        std::u16string key = Upcase(canonical);
        // The longest name in the namespace that is the whole name or a prefix of it ending
        // before a backslash; what follows is the remainder the object parses.
        std::size_t cut = key.size();
        auto it = entries_.end();
        while (true) {
            it = entries_.find(key.substr(0, cut));
            if (it != entries_.end()) break;
            auto pos = key.rfind(u'\\', cut - 1);
            if (pos == std::u16string::npos || pos == 0) break;
            cut = pos;
        }
        if (it == entries_.end()) {
            std::u16string parent = ParentOf(key);
            return (parent == u"\\" || KnownDirectory(parent)) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                               : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        std::u16string rest = canonical.substr(cut);
        if (it->second.link) {
            current = it->second.target + rest;
            continue;
        }
        Reference(it->second.object);
        *object = it->second.object;
        if (remainder) *remainder = rest;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;  // a loop of links
}

std::optional<std::u16string> Namespace::linkTarget(std::u16string_view name) const {
    std::u16string key = Upcase(Canonical(name));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || !it->second.link) return std::nullopt;
    return it->second.target;
}

std::vector<NamespaceEntry> Namespace::list(std::u16string_view directory) const {
    std::u16string prefix = Upcase(Canonical(directory));
    if (prefix.empty() || prefix.back() != u'\\') prefix.push_back(u'\\');
    std::vector<NamespaceEntry> out;
    std::lock_guard lock(mutex_);
    for (auto& [key, entry] : entries_) {
        if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
        out.push_back(NamespaceEntry{entry.name, entry.link, entry.target});
    }
    return out;
}

std::size_t Namespace::linkCount() const {
    std::lock_guard lock(mutex_);
    return std::count_if(entries_.begin(), entries_.end(), [](auto& e) { return e.second.link; });
}

}  // namespace sim::k

// ---- Host-side object queries ---------------------------------------------------------------

namespace sim {

NTSTATUS CloseKernelHandle(HANDLE handle) {
    auto* impl = k::CurrentImpl();
    if (!impl) return STATUS_INVALID_HANDLE;
    NTSTATUS status = impl->kernelHandles.close(handle);
    if (!NT_SUCCESS(status))
        ReportViolation("ZwClose: " + k::Describe(handle) + " is not an open kernel handle");
    return status;
}

std::u16string IoObjectName(const void* ioObject) {
    if (k::IsDevice(ioObject)) return k::ExtraOf(static_cast<const DEVICE_OBJECT*>(ioObject))->name;
    if (k::IsDriver(ioObject)) return k::RecordOf(static_cast<const DRIVER_OBJECT*>(ioObject))->name;
    return {};
}

std::u16string IoObjectDriverName(const void* ioObject) {
    const DRIVER_OBJECT* driver = nullptr;
    if (k::IsDevice(ioObject)) driver = static_cast<const DEVICE_OBJECT*>(ioObject)->DriverObject;
    else if (k::IsDriver(ioObject)) driver = static_cast<const DRIVER_OBJECT*>(ioObject);
    return driver ? k::RecordOf(driver)->name : std::u16string();
}

const void* IoObjectMessageTable(const void* ioObject) {
    const DRIVER_OBJECT* driver = nullptr;
    if (k::IsDevice(ioObject)) driver = static_cast<const DEVICE_OBJECT*>(ioObject)->DriverObject;
    else if (k::IsDriver(ioObject)) driver = static_cast<const DRIVER_OBJECT*>(ioObject);
    if (!driver) return nullptr;
    auto* record = k::RecordOf(driver);
    return record->image ? record->image->messageTable : nullptr;
}

std::size_t ObjectNamespace::openKernelHandles() const { return k::Kernel().kernelHandles.size(); }

std::int64_t ObjectPointerCount(const void* object) {
    k::ObjectHeader* header = k::HeaderOf(object);
    return header ? header->pointerCount.load() : -1;
}

_DEVICE_OBJECT* FindDevice(std::u16string_view name) {
    void* object = nullptr;
    if (!NT_SUCCESS(k::Kernel().names.resolve(name, &object, nullptr))) return nullptr;
    bool device = k::IsDevice(object);
    k::Dereference(object);
    return device ? static_cast<DEVICE_OBJECT*>(object) : nullptr;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view name) {
    return k::Kernel().names.linkTarget(name);
}

std::vector<NamespaceEntry> ListNamespace(std::u16string_view directory) {
    return k::Kernel().names.list(directory);
}

}  // namespace sim

// ---- Exported: Ob* ------------------------------------------------------------------------------

using namespace sim::k;

static POBJECT_TYPE fileType = &FileObjectType;
static POBJECT_TYPE deviceType = &DeviceObjectType;
static POBJECT_TYPE driverType = &DriverObjectType;
static POBJECT_TYPE threadType = &ThreadObjectType;
static POBJECT_TYPE processType = &ProcessObjectType;
static _OBJECT_TYPE eventTypeObject{"Event", nullptr, nullptr};
static _OBJECT_TYPE semaphoreTypeObject{"Semaphore", nullptr, nullptr};
static POBJECT_TYPE eventType = &eventTypeObject;
static POBJECT_TYPE semaphoreType = &semaphoreTypeObject;

extern "C" {

POBJECT_TYPE* IoFileObjectType = &fileType;
POBJECT_TYPE* IoDeviceObjectType = &deviceType;
POBJECT_TYPE* IoDriverObjectType = &driverType;
POBJECT_TYPE* PsThreadType = &threadType;
POBJECT_TYPE* PsProcessType = &processType;
POBJECT_TYPE* ExEventObjectType = &eventType;
POBJECT_TYPE* ExSemaphoreObjectType = &semaphoreType;

LONG_PTR ObfReferenceObject(PVOID Object) {
    Reference(Object);
    ObjectHeader* header = HeaderOf(Object);
    return header ? static_cast<LONG_PTR>(header->pointerCount.load()) : 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object);
    LONG_PTR left = header ? static_cast<LONG_PTR>(header->pointerCount.load()) - 1 : 0;
    Dereference(Object);
    return left;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode) {
    ObjectHeader* header = HeaderOf(Object);
    if (!header) {
        ReportViolation("ObReferenceObjectByPointer: " + Describe(Object) + " is not a kernel object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    Reference(Object);
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    *Object = nullptr;
    void* object = nullptr;
    ACCESS_MASK granted = 0;
    if (Handle == NtCurrentThread()) {
        object = CurrentThreadObject();
        Reference(object);
        granted = THREAD_ALL_ACCESS;
    } else if (Handle == NtCurrentProcess()) {
        ProcessState* process = CurrentProcess() ? CurrentProcess() : SystemProcess();
        object = process->object;
        Reference(object);
        granted = 0x1FFFFF;
    } else if (IsKernelHandle(Handle)) {
        if (AccessMode == UserMode) return STATUS_INVALID_HANDLE;
        object = Kernel().kernelHandles.lookup(Handle, &granted);
    } else if (ProcessState* process = CurrentProcess()) {
        object = process->handles->lookup(Handle, &granted);
    }
    if (!object) return STATUS_INVALID_HANDLE;
    if (ObjectType && HeaderOf(object)->type != ObjectType) {
        Dereference(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = object;
    return STATUS_SUCCESS;
}

VOID ObMakeTemporaryObject(PVOID Object) {}

}  // extern "C"
