// Win32 registry functions (advapi32's Reg* family) over the machine registry.
// Handles are user-mode handles of the calling process; the predefined keys
// (HKEY_LOCAL_MACHINE, ...) stand for fixed paths and need no opening.
#include <cstring>
#include <string>
#include <vector>

#include "sim/format.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

sim::Registry& Reg() { return sim::Machine::Current().registry(); }

// Registry handles of a thread outside any simulated process still belong to
// user mode; they share this owner.
const char kNoProcess = 0;

sim::RegistryOwner Owner() {
    sim::Process* p = sim::win32::CurrentCaller();
    return p ? static_cast<sim::RegistryOwner>(p) : &kNoProcess;
}

LSTATUS Error(NTSTATUS status) { return static_cast<LSTATUS>(sim::win32::DosErrorFromNtStatus(status)); }

const char16_t* PredefinedPath(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return u"\\Registry\\Machine";
    if (key == HKEY_USERS) return u"\\Registry\\User";
    if (key == HKEY_CURRENT_USER) return u"\\Registry\\User\\.Default";
    if (key == HKEY_CLASSES_ROOT) return u"\\Registry\\Machine\\Software\\Classes";
    return nullptr;
}

// An HKEY as a registry handle; predefined keys get a handle for the call.
class KeyRef {
public:
    KeyRef() = default;
    KeyRef(const KeyRef&) = delete;
    KeyRef& operator=(const KeyRef&) = delete;
    ~KeyRef() {
        if (temporary_) Reg().ntClose(handle_, Owner());
    }
    LSTATUS resolve(HKEY key) {
        if (const char16_t* path = PredefinedPath(key)) {
            NTSTATUS s = Reg().ntOpenKey(&handle_, nullptr, path, KEY_ALL_ACCESS, Owner());
            if (!NT_SUCCESS(s)) return Error(s);
            temporary_ = true;
            return ERROR_SUCCESS;
        }
        if (!key) return ERROR_INVALID_HANDLE;
        handle_ = reinterpret_cast<HANDLE>(key);
        return ERROR_SUCCESS;
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
    bool temporary_ = false;
};

std::u16string Wide(LPCWSTR s) { return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string(); }
std::u16string Wide(LPCSTR s) { return s ? sim::WideFromNarrow(s) : std::u16string(); }

// advapi32 accepts a trailing backslash on subkey paths ("...\Services\").
std::u16string SubkeyPath(std::u16string path) {
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    return path;
}

LSTATUS OpenKey(HKEY hKey, const std::u16string& subKey, REGSAM sam, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    KeyRef base;
    if (LSTATUS e = base.resolve(hKey)) return e;
    HANDLE h = nullptr;
    NTSTATUS s = Reg().ntOpenKey(&h, base.get(), SubkeyPath(subKey), sam, Owner());
    if (!NT_SUCCESS(s)) return Error(s);
    *result = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

// RegCreateKeyEx creates every missing key of the path, not only the last.
LSTATUS CreateKey(HKEY hKey, const std::u16string& subKey, DWORD options, REGSAM sam, PHKEY result,
                  LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    KeyRef base;
    if (LSTATUS e = base.resolve(hKey)) return e;
    std::u16string path = SubkeyPath(subKey);
    if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
    std::vector<std::u16string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t sep = path.find(u'\\', start);
        if (sep == std::u16string::npos) sep = path.size();
        parts.push_back(path.substr(start, sep - start));
        start = sep + 1;
    }
    HANDLE current = base.get();
    bool ownCurrent = false;
    ULONG how = REG_OPENED_EXISTING_KEY;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        HANDLE next = nullptr;
        NTSTATUS s = Reg().ntCreateKey(&next, current, parts[i], last ? sam : KEY_ALL_ACCESS, options, &how, Owner());
        if (ownCurrent) Reg().ntClose(current, Owner());
        if (!NT_SUCCESS(s)) return Error(s);
        current = next;
        ownCurrent = true;
    }
    *result = reinterpret_cast<HKEY>(current);
    if (disposition) *disposition = how;
    return ERROR_SUCCESS;
}

LSTATUS SetValue(HKEY hKey, const std::u16string& name, DWORD type, const void* data, DWORD size) {
    if (size && !data) return ERROR_NOACCESS;
    KeyRef key;
    if (LSTATUS e = key.resolve(hKey)) return e;
    NTSTATUS s = Reg().ntSetValueKey(key.get(), name, type, data, size, Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Copies `bytes` out under RegQueryValueEx's rules: no buffer asks for the
// size; a short buffer gets ERROR_MORE_DATA and the size needed.
LSTATUS Deliver(ULONG type, const std::vector<std::uint8_t>& bytes, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    if (lpType) *lpType = type;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(bytes.size());
    if (!lpData) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LSTATUS QueryValue(HKEY hKey, const std::u16string& name, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData,
                   bool ansi) {
    KeyRef key;
    if (LSTATUS e = key.resolve(hKey)) return e;
    sim::RegistryValue value;
    NTSTATUS s = Reg().readValue(key.get(), name, &value, Owner());
    if (!NT_SUCCESS(s)) return Error(s);
    if (ansi && IsString(value.type)) {
        // The A form returns strings in the ANSI code page, one byte per character.
        std::u16string text(value.data.size() / 2, u'\0');
        std::memcpy(text.data(), value.data.data(), text.size() * 2);
        std::string narrow = sim::NarrowFromWide(text);
        value.data.assign(narrow.begin(), narrow.end());
    }
    return Deliver(value.type, value.data, lpType, lpData, lpcbData);
}

LSTATUS DeleteKey(HKEY hKey, const std::u16string& subKey) {
    KeyRef base;
    if (LSTATUS e = base.resolve(hKey)) return e;
    HANDLE h = nullptr;
    NTSTATUS s = Reg().ntOpenKey(&h, base.get(), SubkeyPath(subKey), DELETE, Owner());
    if (!NT_SUCCESS(s)) return Error(s);
    s = Reg().ntDeleteKey(h, Owner());
    Reg().ntClose(h, Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

LSTATUS DeleteTree(HKEY hKey, const std::u16string& subKey) {
    KeyRef base;
    if (LSTATUS e = base.resolve(hKey)) return e;
    NTSTATUS s = Reg().deleteTree(base.get(), SubkeyPath(subKey), Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

LSTATUS DeleteValue(HKEY hKey, const std::u16string& name) {
    KeyRef key;
    if (LSTATUS e = key.resolve(hKey)) return e;
    NTSTATUS s = Reg().ntDeleteValueKey(key.get(), name, Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

LSTATUS EnumKey(HKEY hKey, DWORD index, std::u16string* name) {
    KeyRef key;
    if (LSTATUS e = key.resolve(hKey)) return e;
    NTSTATUS s = Reg().subkeyNameAt(key.get(), index, name, Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

}  // namespace

extern "C" {

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return OpenKey(hKey, Wide(lpSubKey), samDesired, phkResult);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return OpenKey(hKey, Wide(lpSubKey), samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return CreateKey(hKey, Wide(lpSubKey), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return CreateKey(hKey, Wide(lpSubKey), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    return SetValue(hKey, Wide(lpValueName), dwType, lpData, cbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (IsString(dwType) && lpData) {
        // String data arrives in the ANSI code page and is stored as UTF-16.
        std::u16string wide = sim::WideFromNarrow(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
        return SetValue(hKey, Wide(lpValueName), dwType, wide.data(), static_cast<DWORD>(wide.size() * 2));
    }
    return SetValue(hKey, Wide(lpValueName), dwType, lpData, cbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    return QueryValue(hKey, Wide(lpValueName), lpType, lpData, lpcbData, false);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    return QueryValue(hKey, Wide(lpValueName), lpType, lpData, lpcbData, true);
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, Wide(lpSubKey));
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, Wide(lpSubKey));
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteTree(hKey, Wide(lpSubKey)); }

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return DeleteTree(hKey, Wide(lpSubKey)); }

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValue(hKey, Wide(lpValueName)); }

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValue(hKey, Wide(lpValueName)); }

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    if (LSTATUS e = EnumKey(hKey, dwIndex, &name)) return e;
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * 2);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpcchClass) *lpcchClass = 0;
    if (lpClass) lpClass[0] = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    if (LSTATUS e = EnumKey(hKey, dwIndex, &name)) return e;
    std::string narrow = sim::NarrowFromWide(name);
    if (narrow.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, narrow.c_str(), narrow.size() + 1);
    *lpcchName = static_cast<DWORD>(narrow.size());
    if (lpcchClass) *lpcchClass = 0;
    if (lpClass) lpClass[0] = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (PredefinedPath(hKey)) return ERROR_SUCCESS;
    NTSTATUS s = Reg().ntClose(reinterpret_cast<HANDLE>(hKey), Owner());
    return NT_SUCCESS(s) ? ERROR_SUCCESS : Error(s);
}

}  // extern "C"
