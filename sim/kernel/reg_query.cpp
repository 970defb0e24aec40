// RtlQueryRegistryValues(Ex) and the other Rtl registry helpers. They run in
// the caller's thread and may call back into the driver (query routines), so
// the registry is used through its public operations and no registry lock is
// held while driver code runs.
#include <cstring>
#include <string>
#include <vector>

#include "sim/format.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/verifier.h"
#include "vk/ex.h"
#include "vk/rtl.h"

namespace {

constexpr ULONG kQueryTag = 0x516C7452;  // "RtlQ" in memory: strings allocated for RTL_QUERY_REGISTRY_DIRECT

sim::Registry& Reg() { return sim::Machine::Current().registry(); }

std::u16string_view View(PCWSTR s) {
    return s ? std::u16string_view(reinterpret_cast<const char16_t*>(s)) : std::u16string_view();
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Opens the key that RelativeTo and Path name. `owned` tells whether the
// caller must close the handle (not for RTL_REGISTRY_HANDLE).
NTSTATUS OpenBase(ULONG relativeTo, PCWSTR path, bool create, HANDLE* handle, bool* owned) {
    ULONG kind = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (kind & RTL_REGISTRY_HANDLE) {
        *handle = reinterpret_cast<HANDLE>(const_cast<PWSTR>(path));
        *owned = false;
        return STATUS_SUCCESS;
    }
    std::u16string full;
    switch (kind) {
    case RTL_REGISTRY_ABSOLUTE: break;
    case RTL_REGISTRY_SERVICES: full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"; break;
    case RTL_REGISTRY_CONTROL: full = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"; break;
    case RTL_REGISTRY_WINDOWS_NT: full = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"; break;
    case RTL_REGISTRY_DEVICEMAP: full = u"\\Registry\\Machine\\Hardware\\DeviceMap"; break;
    case RTL_REGISTRY_USER: full = u"\\Registry\\User\\.Default"; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view rest = View(path);
    if (kind == RTL_REGISTRY_ABSOLUTE) {
        if (!path) return STATUS_INVALID_PARAMETER;
        full = rest;
    } else {
        if (!rest.empty() && rest.front() == u'\\') rest.remove_prefix(1);
        if (!rest.empty()) {
            full += u'\\';
            full += rest;
        }
    }
    *owned = true;
    if (!create) return Reg().ntOpenKey(handle, nullptr, full, KEY_ALL_ACCESS);
    ULONG disposition;
    return Reg().ntCreateKey(handle, nullptr, full, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition);
}

// Environment of the System process, for REG_EXPAND_SZ values.
std::u16string Expand(std::u16string_view text) {
    static const std::pair<std::u16string_view, std::u16string_view> kEnvironment[] = {
        {u"SYSTEMROOT", u"C:\\Windows"}, {u"WINDIR", u"C:\\Windows"}, {u"SYSTEMDRIVE", u"C:"}};
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string_view::npos;
        if (end == std::u16string_view::npos) {
            out += text[i++];
            continue;
        }
        std::u16string name(text.substr(i + 1, end - i - 1));
        for (auto& c : name) c = RtlUpcaseUnicodeChar(c);
        bool found = false;
        for (auto& [key, value] : kEnvironment) {
            if (name == key) {
                out += value;
                found = true;
                break;
            }
        }
        if (found) {
            i = end + 1;
        } else {
            out += text[i++];  // unknown variables stay as written
        }
    }
    return out;
}

std::u16string TextUpToNul(const std::vector<std::uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    auto nul = text.find(u'\0');
    if (nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::vector<std::uint8_t> Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

// RTL_QUERY_REGISTRY_DIRECT: stores the value at EntryContext the way Windows does.
NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const std::vector<std::uint8_t>& data) {
    void* target = entry.EntryContext;
    if (!target) return STATUS_INVALID_PARAMETER;
    std::size_t length = data.size();
    if (IsStringType(type) && !(entry.Flags & RTL_QUERY_REGISTRY_NOSTRING)) {
        // String data: EntryContext is a UNICODE_STRING. A target that is not
        // one (a ULONG meant for a REG_DWORD) is overwritten with 16 bytes on
        // Windows. The host does the same within those 16 bytes, but refuses
        // a target whose lengths cannot belong to a counted string, because
        // its Buffer would be a wild pointer.
        auto* us = static_cast<PUNICODE_STRING>(target);
        if (us->Length > us->MaximumLength || (us->Length & 1) || (us->MaximumLength & 1) ||
            (!us->Buffer && us->MaximumLength != 0)) {
            sim::ReportViolation(
                "RtlQueryRegistryValues: string value \"" +
                sim::Utf8FromUtf16(View(entry.Name)) +
                "\" read with RTL_QUERY_REGISTRY_DIRECT into a target that is not a UNICODE_STRING "
                "(use RTL_QUERY_REGISTRY_TYPECHECK)");
            return STATUS_INVALID_PARAMETER;
        }
        if (length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
        if (!us->Buffer) {
            auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, kQueryTag));
            if (!buffer) return STATUS_NO_MEMORY;
            us->Buffer = buffer;
            us->MaximumLength = static_cast<USHORT>(length);
        } else if (length > us->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(us->Buffer, data.data(), length);
        us->Length = static_cast<USHORT>(length >= 2 ? length - 2 : 0);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, data.data(), length);
        return STATUS_SUCCESS;
    }
    // Larger non-string data: the target starts with a LONG giving its size;
    // negative: data only; positive: length, type, then the data.
    LONG header;
    std::memcpy(&header, target, sizeof header);
    if (header < 0) {
        if (static_cast<std::size_t>(-static_cast<long long>(header)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(target, data.data(), length);
        return STATUS_SUCCESS;
    }
    if (static_cast<std::size_t>(header) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG prefix[2] = {static_cast<ULONG>(length), type};
    std::memcpy(target, prefix, sizeof prefix);
    std::memcpy(static_cast<char*>(target) + sizeof prefix, data.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string valueName, ULONG type,
                     std::vector<std::uint8_t> data, PVOID context) {
    auto* name = reinterpret_cast<PWSTR>(valueName.data());
    if (data.empty()) {
        return entry.QueryRoutine(name, type, nullptr, 0, context, entry.EntryContext);
    }
    return entry.QueryRoutine(name, type, data.data(), static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

// Hands one value (found, or the entry's default) to the entry: DIRECT store
// or query routine, with Windows' string handling.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& valueName, ULONG type,
                 std::vector<std::uint8_t> data, PVOID context) {
    ULONG flags = entry.Flags;
    if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (type != expected) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    bool expand = !(flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::u16string text = TextUpToNul(data);
        if (type == REG_EXPAND_SZ && expand) {
            text = Expand(text);
            type = REG_SZ;
        }
        data = Bytes(text);
    } else if (type == REG_MULTI_SZ) {
        if (data.size() & 1) data.pop_back();
        if (data.size() < 2 || data[data.size() - 1] || data[data.size() - 2]) data.insert(data.end(), {0, 0});
    }
    if (flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, type, data);
    if (!entry.QueryRoutine) return STATUS_SUCCESS;
    if (type == REG_MULTI_SZ && expand) {
        // One call per string of the list, each as REG_SZ.
        std::u16string all(data.size() / 2, u'\0');
        std::memcpy(all.data(), data.data(), all.size() * 2);
        std::size_t start = 0;
        while (start < all.size() && all[start]) {
            std::size_t end = all.find(u'\0', start);
            NTSTATUS s = CallRoutine(entry, valueName, REG_SZ, Bytes(all.substr(start, end - start)), context);
            if (!NT_SUCCESS(s)) return s;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return CallRoutine(entry, valueName, type, std::move(data), context);
}

// Every value of the key, in enumeration order, to a query routine.
NTSTATUS DeliverAll(const RTL_QUERY_REGISTRY_TABLE& entry, HANDLE key, PVOID context) {
    for (ULONG i = 0;; ++i) {
        sim::RegistryValue v;
        NTSTATUS s = Reg().readValueAt(key, i, &v);
        if (s == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
        if (!NT_SUCCESS(s)) return s;
        s = Deliver(entry, v.name, v.type, std::move(v.data), context);
        if (!NT_SUCCESS(s)) return s;
    }
}

std::vector<std::uint8_t> DefaultData(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type) {
    auto* p = static_cast<const std::uint8_t*>(entry.DefaultData);
    if (!p) return {};
    std::size_t length = entry.DefaultLength;
    if (length == 0) {
        // Zero length: strings are measured (a list up to its empty string).
        auto* w = static_cast<const char16_t*>(entry.DefaultData);
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            length = (sim::WideLength(w) + 1) * 2;
        } else if (type == REG_MULTI_SZ) {
            std::size_t n = 0;
            while (w[n] || w[n + 1]) ++n;
            length = (n + 2) * 2;
        }
    }
    return std::vector<std::uint8_t>(p, p + length);
}

class KeyCloser {
public:
    KeyCloser() = default;
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;
    ~KeyCloser() { reset(); }
    void set(HANDLE h) {
        reset();
        handle_ = h;
    }
    void reset() {
        if (handle_) Reg().ntClose(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

NTSTATUS QueryValues(const char* routine, ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                     PVOID Context) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, routine);
    if (!QueryTable) return STATUS_INVALID_PARAMETER;
    HANDLE base = nullptr;
    bool owned = false;
    NTSTATUS status = OpenBase(RelativeTo, Path, false, &base, &owned);
    if (!NT_SUCCESS(status)) {
        if ((RelativeTo & RTL_REGISTRY_OPTIONAL) && status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
        return status;
    }
    KeyCloser baseCloser;
    if (owned) baseCloser.set(base);
    KeyCloser subkeyCloser;
    HANDLE current = base;

    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)); ++entry) {
        ULONG flags = entry->Flags;
        if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) {
            subkeyCloser.reset();
            current = base;
        }
        if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (!entry->Name) return STATUS_INVALID_PARAMETER;
            HANDLE sub = nullptr;
            status = Reg().ntOpenKey(&sub, base, View(entry->Name), KEY_READ);
            if (!NT_SUCCESS(status)) return status;
            subkeyCloser.set(sub);
            current = sub;
            // A subkey entry with a query routine receives all values of the subkey.
            if (entry->QueryRoutine && !(flags & RTL_QUERY_REGISTRY_DIRECT)) {
                status = DeliverAll(*entry, current, Context);
                if (!NT_SUCCESS(status)) return status;
            }
            continue;
        }
        if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
            if (entry->QueryRoutine) {
                status = entry->QueryRoutine(entry->Name, REG_NONE, nullptr, 0, Context, entry->EntryContext);
                if (!NT_SUCCESS(status)) return status;
            }
            continue;
        }
        if (!entry->Name) {
            if (flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
            status = DeliverAll(*entry, current, Context);
            if (!NT_SUCCESS(status)) return status;
            continue;
        }
        std::u16string name(View(entry->Name));
        sim::RegistryValue value;
        status = Reg().readValue(current, name, &value);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
            ULONG defaultType = entry->DefaultType & ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK_MASK);
            if (defaultType == REG_NONE || !entry->DefaultData) continue;
            RTL_QUERY_REGISTRY_TABLE plain = *entry;
            plain.Flags &= ~static_cast<ULONG>(RTL_QUERY_REGISTRY_TYPECHECK);  // the caller's own default
            status = Deliver(plain, name, defaultType, DefaultData(*entry, defaultType), Context);
        } else if (NT_SUCCESS(status)) {
            status = Deliver(*entry, name, value.type, std::move(value.data), Context);
        }
        if (!NT_SUCCESS(status)) return status;
        if (flags & RTL_QUERY_REGISTRY_DELETE) Reg().ntDeleteValueKey(current, name);
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment) {
    (void)Environment;
    return QueryValues("RtlQueryRegistryValues", RelativeTo, Path, QueryTable, Context);
}

NTSTATUS RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                  PVOID Context, PVOID Environment) {
    (void)Environment;
    return QueryValues("RtlQueryRegistryValuesEx", RelativeTo, Path, QueryTable, Context);
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenBase(RelativeTo, Path, true, &key, &owned);
    if (!NT_SUCCESS(status)) return status;
    status = Reg().ntSetValueKey(key, View(ValueName), ValueType, ValueData, ValueLength);
    if (owned) Reg().ntClose(key);
    return status;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenBase(RelativeTo, Path, false, &key, &owned);
    if (!NT_SUCCESS(status)) return status;
    status = Reg().ntDeleteValueKey(key, View(ValueName));
    if (owned) Reg().ntClose(key);
    return status;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenBase(RelativeTo, Path, false, &key, &owned);
    if (NT_SUCCESS(status) && owned) Reg().ntClose(key);
    return status;
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenBase(RelativeTo, Path, true, &key, &owned);
    if (NT_SUCCESS(status) && owned) Reg().ntClose(key);
    return status;
}

}  // extern "C"
