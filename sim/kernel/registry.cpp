// The machine registry: key tree, handle table and the NT-semantics
// operations behind ZwXxx and the Win32 Reg* calls.
#include "sim/registry.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "sim/format.h"

namespace sim {


namespace {

using KeyPtr = std::shared_ptr<Registry::Key>;

std::int64_t Now() {
    // 100 ns units since 1601-01-01, like KeQuerySystemTime.
    using namespace std::chrono;
    constexpr std::int64_t kEpochDelta = 116444736000000000LL;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + kEpochDelta;
}

std::u16string Upcase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

ACCESS_MASK MapAccess(ACCESS_MASK access) {
    ACCESS_MASK out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) out |= KEY_READ;
    if (access & GENERIC_WRITE) out |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) out |= KEY_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) out |= KEY_ALL_ACCESS;
    return out & ~static_cast<ACCESS_MASK>(KEY_WOW64_RES);
}

// Splits "a\b\c" into its parts; an empty part (doubled or trailing
// backslash) makes the name invalid.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t sep = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, sep == std::u16string_view::npos ? path.npos : sep - start);
        if (part.empty() || part.size() > Registry::kMaxKeyNameChars) return false;
        parts->push_back(part);
        if (sep == std::u16string_view::npos) return true;
        start = sep + 1;
    }
}

KeyPtr Child(const Registry::Key& key, std::u16string_view name) {
    auto it = key.children.find(Upcase(name));
    return it == key.children.end() ? nullptr : it->second;
}

KeyPtr AddChild(const KeyPtr& parent, std::u16string_view name, bool isVolatile) {
    auto key = std::make_shared<Registry::Key>();
    key->name = std::u16string(name);
    key->parent = parent.get();
    key->isVolatile = isVolatile;
    key->lastWrite = Now();
    parent->children.emplace(Upcase(name), key);
    parent->lastWrite = key->lastWrite;
    return key;
}

RegistryValue* FindValue(Registry::Key& key, std::u16string_view name) {
    for (auto& v : key.values)
        if (EqualNoCase(v.name, name)) return &v;
    return nullptr;
}

// Marks a subtree deleted and detaches it, children first.
void DetachTree(Registry::Key& key) {
    for (auto& [_, child] : key.children) DetachTree(*child);
    key.children.clear();
    key.values.clear();
    key.deleted = true;
    key.parent = nullptr;
}

std::u16string FullPath(const Registry::Key& key) {
    std::vector<const Registry::Key*> chain;
    for (const Registry::Key* k = &key; k; k = k->parent) chain.push_back(k);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->name;
    }
    return path;
}

// Variable-length information records. Every record is built in full; the
// caller gets as much of it as its buffer holds. Windows' rules: a buffer
// smaller than the fixed part gets nothing (STATUS_BUFFER_TOO_SMALL); a buffer
// that holds the fixed part but not all of the name or data gets the fixed
// part and what fits of the rest (STATUS_BUFFER_OVERFLOW). ResultLength is
// always the full size.
class Record {
public:
    explicit Record(std::size_t fixed) : bytes_(fixed, 0), fixed_(fixed) {}
    template <class T>
    void put(std::size_t offset, T value) {
        std::memcpy(bytes_.data() + offset, &value, sizeof value);
    }
    void append(const void* data, std::size_t size) {
        auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void padTo(std::size_t alignment) {
        while (bytes_.size() % alignment) bytes_.push_back(0);
    }
    std::size_t size() const { return bytes_.size(); }
    NTSTATUS deliver(void* buffer, ULONG length, ULONG* resultLength) const {
        if (resultLength) *resultLength = static_cast<ULONG>(bytes_.size());
        if (length < fixed_) return STATUS_BUFFER_TOO_SMALL;
        std::size_t n = std::min<std::size_t>(length, bytes_.size());
        std::memcpy(buffer, bytes_.data(), n);
        return n < bytes_.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t fixed_;
};

void AppendName(Record& r, std::u16string_view name) { r.append(name.data(), name.size() * 2); }

NTSTATUS KeyInformation(const Registry::Key& key, std::u16string_view name, KEY_INFORMATION_CLASS infoClass,
                        void* buffer, ULONG length, ULONG* resultLength) {
    switch (infoClass) {
    case KeyBasicInformation: {
        Record r(offsetof(KEY_BASIC_INFORMATION, Name));
        r.put(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), key.lastWrite);
        r.put(offsetof(KEY_BASIC_INFORMATION, NameLength), static_cast<ULONG>(name.size() * 2));
        AppendName(r, name);
        return r.deliver(buffer, length, resultLength);
    }
    case KeyNodeInformation: {
        Record r(offsetof(KEY_NODE_INFORMATION, Name));
        r.put(offsetof(KEY_NODE_INFORMATION, LastWriteTime), key.lastWrite);
        r.put(offsetof(KEY_NODE_INFORMATION, ClassOffset), 0xFFFFFFFFu);  // no class
        r.put(offsetof(KEY_NODE_INFORMATION, NameLength), static_cast<ULONG>(name.size() * 2));
        AppendName(r, name);
        return r.deliver(buffer, length, resultLength);
    }
    case KeyFullInformation: {
        Record r(offsetof(KEY_FULL_INFORMATION, Class));
        ULONG maxName = 0, maxValueName = 0, maxData = 0;
        for (auto& [_, child] : key.children) maxName = std::max<ULONG>(maxName, child->name.size() * 2);
        for (auto& v : key.values) {
            maxValueName = std::max<ULONG>(maxValueName, v.name.size() * 2);
            maxData = std::max<ULONG>(maxData, v.data.size());
        }
        r.put(offsetof(KEY_FULL_INFORMATION, LastWriteTime), key.lastWrite);
        r.put(offsetof(KEY_FULL_INFORMATION, ClassOffset), 0xFFFFFFFFu);
        r.put(offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.children.size()));
        r.put(offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
        r.put(offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
        r.put(offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
        r.put(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxData);
        return r.deliver(buffer, length, resultLength);
    }
    case KeyNameInformation: {
        std::u16string path = FullPath(key);
        Record r(offsetof(KEY_NAME_INFORMATION, Name));
        r.put(offsetof(KEY_NAME_INFORMATION, NameLength), static_cast<ULONG>(path.size() * 2));
        AppendName(r, path);
        return r.deliver(buffer, length, resultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ValueInformation(const RegistryValue& v, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer,
                          ULONG length, ULONG* resultLength) {
    switch (infoClass) {
    case KeyValueBasicInformation: {
        Record r(offsetof(KEY_VALUE_BASIC_INFORMATION, Name));
        r.put(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.type);
        r.put(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), static_cast<ULONG>(v.name.size() * 2));
        AppendName(r, v.name);
        return r.deliver(buffer, length, resultLength);
    }
    case KeyValueFullInformation: {
        Record r(offsetof(KEY_VALUE_FULL_INFORMATION, Name));
        AppendName(r, v.name);
        r.padTo(sizeof(ULONG));
        ULONG dataOffset = static_cast<ULONG>(r.size());
        r.append(v.data.data(), v.data.size());
        r.put(offsetof(KEY_VALUE_FULL_INFORMATION, Type), v.type);
        r.put(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        r.put(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), static_cast<ULONG>(v.data.size()));
        r.put(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), static_cast<ULONG>(v.name.size() * 2));
        return r.deliver(buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
        Record r(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
        r.put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.type);
        r.put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), static_cast<ULONG>(v.data.size()));
        r.append(v.data.data(), v.data.size());
        return r.deliver(buffer, length, resultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

std::vector<std::uint8_t> StringBytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes((text.size() + 1) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

std::u16string TextOf(const std::vector<std::uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    auto nul = text.find(u'\0');
    if (nul != std::u16string::npos) text.resize(nul);
    return text;
}

}  // namespace

// ---- construction ------------------------------------------------------------

namespace {
void BuildSkeleton(const KeyPtr& root) {
    auto ensure = [](const KeyPtr& parent, std::u16string_view name, bool isVolatile, bool permanent) {
        KeyPtr k = Child(*parent, name);
        if (!k) k = AddChild(parent, name, isVolatile);
        k->permanent = k->permanent || permanent;
        return k;
    };
    root->permanent = true;
    KeyPtr machine = ensure(root, u"MACHINE", false, true);
    KeyPtr user = ensure(root, u"USER", false, true);
    ensure(user, u".DEFAULT", false, true);
    KeyPtr system = ensure(machine, u"SYSTEM", false, true);
    ensure(machine, u"SOFTWARE", false, true);
    // HARDWARE is rebuilt at every start on Windows; it is volatile here too.
    KeyPtr hardware = ensure(machine, u"HARDWARE", true, true);
    ensure(hardware, u"DEVICEMAP", true, false);
    KeyPtr ccs = ensure(system, u"CurrentControlSet", false, false);
    ensure(ccs, u"Control", false, false);
    ensure(ccs, u"Services", false, false);
    ensure(ccs, u"Enum", false, false);
}

}  // namespace

void Registry::ensureSkeleton(const std::shared_ptr<Key>& root) { BuildSkeleton(root); }

Registry::Registry() : root_(std::make_shared<Key>()) {
    root_->name = u"REGISTRY";
    root_->lastWrite = Now();
    ensureSkeleton(root_);
}

Registry::~Registry() {
    // Handles may still hold nodes; detach them so none points at a freed parent.
    std::lock_guard lock(mutex_);
    DetachTree(*root_);
}

bool Registry::IsKeyHandle(HANDLE handle) {
    auto v = reinterpret_cast<std::uintptr_t>(handle);
    return v >= kFirstHandle && v <= kLastHandle && (v & 3) == 0;
}

// ---- handles -------------------------------------------------------------------

HANDLE Registry::insertHandleLocked(std::shared_ptr<Key> key, ACCESS_MASK access, RegistryOwner owner) {
    // Values are not reused until the range wraps, so a stale handle fails
    // instead of reaching some other key.
    for (;;) {
        std::uintptr_t v = nextHandle_;
        nextHandle_ = nextHandle_ >= kLastHandle ? kFirstHandle : nextHandle_ + 4;
        if (!handles_.count(v)) {
            handles_.emplace(v, OpenHandle{std::move(key), access, owner});
            return reinterpret_cast<HANDLE>(v);
        }
    }
}

NTSTATUS Registry::lookupLocked(HANDLE handle, RegistryOwner owner, ACCESS_MASK needed,
                                std::shared_ptr<Key>* key) const {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end() || it->second.owner != owner) return STATUS_INVALID_HANDLE;
    // Kernel-mode callers are not access-checked (as ObReferenceObjectByHandle with KernelMode).
    if (owner && (it->second.access & needed) != needed) return STATUS_ACCESS_DENIED;
    if (it->second.key->deleted) return STATUS_KEY_DELETED;
    *key = it->second.key;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::resolveStartLocked(HANDLE root, std::u16string_view name, RegistryOwner owner,
                                      std::shared_ptr<Key>* start, std::vector<std::u16string_view>* parts) const {
    if (root) {
        if (!name.empty() && name.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        NTSTATUS s = lookupLocked(root, owner, 0, start);
        if (!NT_SUCCESS(s)) return s;
        return SplitPath(name, parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!SplitPath(name.substr(1), parts)) return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty() || !EqualNoCase(parts->front(), u"REGISTRY")) return STATUS_OBJECT_NAME_NOT_FOUND;
    parts->erase(parts->begin());
    *start = root_;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntOpenKey(HANDLE* handle, HANDLE root, std::u16string_view name, ACCESS_MASK access,
                             RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    std::vector<std::u16string_view> parts;
    NTSTATUS s = resolveStartLocked(root, name, owner, &key, &parts);
    if (!NT_SUCCESS(s)) return s;
    for (auto part : parts) {
        key = Child(*key, part);
        if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *handle = insertHandleLocked(key, MapAccess(access), owner);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntCreateKey(HANDLE* handle, HANDLE root, std::u16string_view name, ACCESS_MASK access,
                               ULONG createOptions, ULONG* disposition, RegistryOwner owner) {
    if (createOptions & ~static_cast<ULONG>(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK |
                                            REG_OPTION_CREATE_LINK))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    std::vector<std::u16string_view> parts;
    NTSTATUS s = resolveStartLocked(root, name, owner, &key, &parts);
    if (!NT_SUCCESS(s)) return s;
    // Every key but the last must exist: NtCreateKey creates one level only.
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        key = Child(*key, parts[i]);
        if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG result = REG_OPENED_EXISTING_KEY;
    if (!parts.empty()) {
        KeyPtr existing = Child(*key, parts.back());
        if (existing) {
            key = existing;
        } else {
            bool isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
            if (key->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
            key = AddChild(key, parts.back(), isVolatile);
            result = REG_CREATED_NEW_KEY;
        }
    }
    *handle = insertHandleLocked(key, MapAccess(access), owner);
    if (disposition) *disposition = result;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntClose(HANDLE handle, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end() || it->second.owner != owner) return STATUS_INVALID_HANDLE;
    handles_.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntEnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS infoClass, void* buffer,
                                  ULONG length, ULONG* resultLength, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(s)) return s;
    if (infoClass != KeyBasicInformation && infoClass != KeyNodeInformation && infoClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
    auto it = std::next(key->children.begin(), index);
    return KeyInformation(*it->second, it->second->name, infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::ntQueryKey(HANDLE handle, KEY_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                              ULONG* resultLength, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, infoClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    return KeyInformation(*key, key->name, infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::ntEnumerateValueKey(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                                       void* buffer, ULONG length, ULONG* resultLength, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    if (infoClass > KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    return ValueInformation(key->values[index], infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::ntQueryValueKey(HANDLE handle, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                                   void* buffer, ULONG length, ULONG* resultLength, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    if (infoClass > KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    RegistryValue* v = FindValue(*key, name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    return ValueInformation(*v, infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::ntSetValueKey(HANDLE handle, std::u16string_view name, ULONG type, const void* data, ULONG size,
                                 RegistryOwner owner) {
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    if (size && !data) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    auto* bytes = static_cast<const std::uint8_t*>(data);
    RegistryValue* v = FindValue(*key, name);
    if (!v) {
        key->values.push_back(RegistryValue{std::u16string(name), type, {}});
        v = &key->values.back();
    }
    v->type = type;
    v->data.assign(bytes, bytes + size);
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntDeleteKey(HANDLE handle, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, DELETE, &key);
    if (!NT_SUCCESS(s)) return s;
    if (key->permanent || !key->parent || !key->children.empty()) return STATUS_CANNOT_DELETE;
    Key* parent = key->parent;
    parent->children.erase(Upcase(key->name));
    parent->lastWrite = Now();
    DetachTree(*key);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntDeleteValueKey(HANDLE handle, std::u16string_view name, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const RegistryValue& v) { return EqualNoCase(v.name, name); });
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::ntFlushKey(HANDLE handle, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    return lookupLocked(handle, owner, 0, &key);
}

NTSTATUS Registry::readValue(HANDLE handle, std::u16string_view name, RegistryValue* value, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    RegistryValue* v = FindValue(*key, name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = *v;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::readValueAt(HANDLE handle, ULONG index, RegistryValue* value, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Registry::subkeyNameAt(HANDLE handle, ULONG index, std::u16string* name, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(s)) return s;
    if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
    *name = std::next(key->children.begin(), index)->second->name;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::deleteTree(HANDLE handle, std::u16string_view subkey, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(s)) return s;
    std::vector<std::u16string_view> parts;
    if (!SplitPath(subkey, &parts)) return STATUS_OBJECT_NAME_INVALID;
    for (auto part : parts) {
        key = Child(*key, part);
        if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (parts.empty()) {
        // Empty subkey: everything below the key goes, the key stays.
        for (auto& [_, child] : key->children) DetachTree(*child);
        key->children.clear();
        key->values.clear();
        key->lastWrite = Now();
        return STATUS_SUCCESS;
    }
    if (key->permanent) return STATUS_CANNOT_DELETE;
    key->parent->children.erase(Upcase(key->name));
    key->parent->lastWrite = Now();
    DetachTree(*key);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::keyPath(HANDLE handle, std::u16string* path, RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key;
    NTSTATUS s = lookupLocked(handle, owner, 0, &key);
    if (!NT_SUCCESS(s)) return s;
    *path = FullPath(*key);
    return STATUS_SUCCESS;
}

std::size_t Registry::openHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t Registry::openHandleCount(RegistryOwner owner) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(handles_.begin(), handles_.end(), [&](const auto& h) { return h.second.owner == owner; }));
}

void Registry::closeHandlesOf(RegistryOwner owner) {
    std::lock_guard lock(mutex_);
    std::erase_if(handles_, [&](const auto& h) { return h.second.owner == owner; });
}

// ---- absolute paths ------------------------------------------------------------

std::shared_ptr<Registry::Key> Registry::findLocked(std::u16string_view path) const {
    std::shared_ptr<Key> key;
    std::vector<std::u16string_view> parts;
    if (!NT_SUCCESS(resolveStartLocked(nullptr, path, nullptr, &key, &parts))) return nullptr;
    for (auto part : parts) {
        key = Child(*key, part);
        if (!key) return nullptr;
    }
    return key;
}

std::shared_ptr<Registry::Key> Registry::createPathLocked(std::u16string_view path, bool isVolatile,
                                                          NTSTATUS* status) {
    std::shared_ptr<Key> key;
    std::vector<std::u16string_view> parts;
    *status = resolveStartLocked(nullptr, path, nullptr, &key, &parts);
    if (!NT_SUCCESS(*status)) return nullptr;
    for (auto part : parts) {
        KeyPtr next = Child(*key, part);
        if (!next) {
            if (key->isVolatile && !isVolatile) {
                *status = STATUS_CHILD_MUST_BE_VOLATILE;
                return nullptr;
            }
            next = AddChild(key, part, isVolatile);
        }
        key = next;
    }
    return key;
}

bool Registry::keyExists(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    return findLocked(path) != nullptr;
}

NTSTATUS Registry::createKeyPath(std::u16string_view path, bool isVolatile) {
    std::lock_guard lock(mutex_);
    NTSTATUS s;
    createPathLocked(path, isVolatile, &s);
    return s;
}

NTSTATUS Registry::setValue(std::u16string_view path, std::u16string_view name, ULONG type,
                            std::span<const std::uint8_t> data) {
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    NTSTATUS s;
    std::shared_ptr<Key> key = createPathLocked(path, false, &s);
    if (!key) return s;
    RegistryValue* v = FindValue(*key, name);
    if (!v) {
        key->values.push_back(RegistryValue{std::u16string(name), type, {}});
        v = &key->values.back();
    }
    v->type = type;
    v->data.assign(data.begin(), data.end());
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::setDword(std::u16string_view path, std::u16string_view name, std::uint32_t data) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &data, 4);
    return setValue(path, name, REG_DWORD, bytes);
}

NTSTATUS Registry::setQword(std::u16string_view path, std::u16string_view name, std::uint64_t data) {
    std::uint8_t bytes[8];
    std::memcpy(bytes, &data, 8);
    return setValue(path, name, REG_QWORD, bytes);
}

NTSTATUS Registry::setString(std::u16string_view path, std::u16string_view name, std::u16string_view data,
                             ULONG type) {
    return setValue(path, name, type, StringBytes(data));
}

NTSTATUS Registry::setMultiString(std::u16string_view path, std::u16string_view name,
                                  const std::vector<std::u16string>& data) {
    std::u16string joined;
    for (auto& s : data) {
        joined += s;
        joined += u'\0';
    }
    return setValue(path, name, REG_MULTI_SZ, StringBytes(joined));  // final NUL ends the list
}

std::optional<RegistryValue> Registry::value(std::u16string_view path, std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key = findLocked(path);
    if (!key) return std::nullopt;
    RegistryValue* v = FindValue(*key, name);
    if (!v) return std::nullopt;
    return *v;
}

std::optional<std::uint32_t> Registry::dword(std::u16string_view path, std::u16string_view name) const {
    auto v = value(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    std::uint32_t out;
    std::memcpy(&out, v->data.data(), 4);
    return out;
}

std::optional<std::u16string> Registry::string(std::u16string_view path, std::u16string_view name) const {
    auto v = value(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    return TextOf(v->data);
}

std::optional<std::vector<std::u16string>> Registry::multiString(std::u16string_view path,
                                                                 std::u16string_view name) const {
    auto v = value(path, name);
    if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
    std::u16string all(v->data.size() / 2, u'\0');
    std::memcpy(all.data(), v->data.data(), all.size() * 2);
    std::vector<std::u16string> out;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos) end = all.size();
        if (end == start) break;  // empty string ends the list
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::u16string> Registry::subkeys(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> out;
    if (auto key = findLocked(path))
        for (auto& [_, child] : key->children) out.push_back(child->name);
    return out;
}

std::vector<RegistryValue> Registry::values(std::u16string_view path) const {
    std::lock_guard lock(mutex_);
    if (auto key = findLocked(path)) return key->values;
    return {};
}

NTSTATUS Registry::deleteValue(std::u16string_view path, std::u16string_view name) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key = findLocked(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const RegistryValue& v) { return EqualNoCase(v.name, name); });
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::deleteTree(std::u16string_view path) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Key> key = findLocked(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (key->permanent || !key->parent) return STATUS_CANNOT_DELETE;
    key->parent->children.erase(Upcase(key->name));
    key->parent->lastWrite = Now();
    DetachTree(*key);
    return STATUS_SUCCESS;
}

}  // namespace sim
