// The machine's configuration registry: one in-memory tree of keys under
// \Registry (Machine, User) with typed values stored as raw bytes, the handle
// table for open keys, and saving/loading the tree so a simulated restart
// keeps it. The ntXxx members have the NT system-call semantics that ZwXxx
// and the Win32 Reg* calls are built on; the path-based members are for host
// code (PnP manager, tests, tools).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vk/rtl.h"

namespace sim {

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// Who holds a registry handle: nullptr for the kernel, otherwise an opaque
// identity of a simulated process (its handles are user-mode handles).
using RegistryOwner = const void*;

class Registry {
public:
    // Handle values of open keys lie in [kFirstHandle, kLastHandle] (multiples
    // of 4), so ZwClose can tell them from other kernel handles.
    static constexpr std::uintptr_t kFirstHandle = 0x52000000;
    static constexpr std::uintptr_t kLastHandle = 0x53FFFFFC;
    static constexpr std::size_t kMaxKeyNameChars = 255;
    static constexpr std::size_t kMaxValueNameChars = 16383;

    // A registry with the standard skeleton: under \Registry\Machine the keys
    // System\CurrentControlSet\{Control,Services,Enum}, Software and the
    // volatile Hardware\DeviceMap; under \Registry\User the key .Default.
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    static bool IsKeyHandle(HANDLE handle);

    // ---- NT semantics -------------------------------------------------------
    // `root` may be nullptr (then `name` is absolute, "\Registry\..."), or an
    // open key (then `name` is relative and may be empty). Kernel handles are
    // not access-checked (kernel-mode callers pass every check on Windows);
    // user handles are checked against the access granted at open.
    NTSTATUS ntOpenKey(HANDLE* handle, HANDLE root, std::u16string_view name, ACCESS_MASK access,
                       RegistryOwner owner = nullptr);
    NTSTATUS ntCreateKey(HANDLE* handle, HANDLE root, std::u16string_view name, ACCESS_MASK access,
                         ULONG createOptions, ULONG* disposition, RegistryOwner owner = nullptr);
    NTSTATUS ntClose(HANDLE handle, RegistryOwner owner = nullptr);
    NTSTATUS ntEnumerateKey(HANDLE handle, ULONG index, KEY_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                            ULONG* resultLength, RegistryOwner owner = nullptr);
    NTSTATUS ntQueryKey(HANDLE handle, KEY_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                        ULONG* resultLength, RegistryOwner owner = nullptr);
    NTSTATUS ntEnumerateValueKey(HANDLE handle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer,
                                 ULONG length, ULONG* resultLength, RegistryOwner owner = nullptr);
    NTSTATUS ntQueryValueKey(HANDLE handle, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                             void* buffer, ULONG length, ULONG* resultLength, RegistryOwner owner = nullptr);
    NTSTATUS ntSetValueKey(HANDLE handle, std::u16string_view name, ULONG type, const void* data, ULONG size,
                           RegistryOwner owner = nullptr);
    NTSTATUS ntDeleteKey(HANDLE handle, RegistryOwner owner = nullptr);
    NTSTATUS ntDeleteValueKey(HANDLE handle, std::u16string_view name, RegistryOwner owner = nullptr);
    NTSTATUS ntFlushKey(HANDLE handle, RegistryOwner owner = nullptr);

    // Host-friendly reads through a handle (same access rules as above).
    NTSTATUS readValue(HANDLE handle, std::u16string_view name, RegistryValue* value, RegistryOwner owner = nullptr);
    NTSTATUS readValueAt(HANDLE handle, ULONG index, RegistryValue* value, RegistryOwner owner = nullptr);
    NTSTATUS subkeyNameAt(HANDLE handle, ULONG index, std::u16string* name, RegistryOwner owner = nullptr);
    // Deletes `subkey` of the key (or the key itself when `subkey` is empty)
    // with everything below it; the key itself is kept when `subkey` is empty.
    NTSTATUS deleteTree(HANDLE handle, std::u16string_view subkey, RegistryOwner owner = nullptr);
    // Full name of an open key, e.g. \REGISTRY\MACHINE\SYSTEM\CurrentControlSet.
    NTSTATUS keyPath(HANDLE handle, std::u16string* path, RegistryOwner owner = nullptr);

    std::size_t openHandleCount() const;
    std::size_t openHandleCount(RegistryOwner owner) const;
    // Closes every handle of `owner` (a process that exits).
    void closeHandlesOf(RegistryOwner owner);

    // ---- Absolute paths -----------------------------------------------------
    // Paths are "\Registry\..." (case-insensitive). Writers create missing keys.
    bool keyExists(std::u16string_view path) const;
    NTSTATUS createKeyPath(std::u16string_view path, bool isVolatile = false);
    NTSTATUS setValue(std::u16string_view path, std::u16string_view name, ULONG type,
                      std::span<const std::uint8_t> data);
    NTSTATUS setDword(std::u16string_view path, std::u16string_view name, std::uint32_t data);
    NTSTATUS setQword(std::u16string_view path, std::u16string_view name, std::uint64_t data);
    // Stored with its terminating NUL, as Windows tools store strings.
    NTSTATUS setString(std::u16string_view path, std::u16string_view name, std::u16string_view data,
                       ULONG type = REG_SZ);
    NTSTATUS setMultiString(std::u16string_view path, std::u16string_view name,
                            const std::vector<std::u16string>& data);
    std::optional<RegistryValue> value(std::u16string_view path, std::u16string_view name) const;
    std::optional<std::uint32_t> dword(std::u16string_view path, std::u16string_view name) const;
    // REG_SZ / REG_EXPAND_SZ text up to its first NUL.
    std::optional<std::u16string> string(std::u16string_view path, std::u16string_view name) const;
    std::optional<std::vector<std::u16string>> multiString(std::u16string_view path,
                                                           std::u16string_view name) const;
    std::vector<std::u16string> subkeys(std::u16string_view path) const;  // enumeration order
    std::vector<RegistryValue> values(std::u16string_view path) const;    // enumeration order
    NTSTATUS deleteValue(std::u16string_view path, std::u16string_view name);
    NTSTATUS deleteTree(std::u16string_view path);  // the key and everything below it

    // ---- Persistence ----------------------------------------------------------
    // JSON document of every non-volatile key. Loading replaces the tree; keys
    // still open through handles stay valid but are no longer in the tree.
    std::string toJson() const;
    bool fromJson(std::string_view json, std::string* error = nullptr);
    bool save(const std::filesystem::path& file, std::string* error = nullptr) const;
    bool load(const std::filesystem::path& file, std::string* error = nullptr);

    // A node of the tree (internal to the registry's own sources).
    struct Key {
        std::u16string name;
        Key* parent = nullptr;  // owner of this node while it is in the tree; nullptr once detached
        std::map<std::u16string, std::shared_ptr<Key>> children;  // by upcased name: Windows' enumeration order
        std::vector<RegistryValue> values;                        // creation order, as Windows enumerates them
        bool isVolatile = false;
        bool deleted = false;
        bool permanent = false;  // roots of the namespace and of the hives
        std::int64_t lastWrite = 0;
    };

private:
    struct OpenHandle {
        std::shared_ptr<Key> key;
        ACCESS_MASK access;
        RegistryOwner owner;
    };
    static void ensureSkeleton(const std::shared_ptr<Key>& root);
    NTSTATUS lookupLocked(HANDLE handle, RegistryOwner owner, ACCESS_MASK needed, std::shared_ptr<Key>* key) const;
    HANDLE insertHandleLocked(std::shared_ptr<Key> key, ACCESS_MASK access, RegistryOwner owner);
    NTSTATUS resolveStartLocked(HANDLE root, std::u16string_view name, RegistryOwner owner,
                                std::shared_ptr<Key>* start, std::vector<std::u16string_view>* parts) const;
    std::shared_ptr<Key> findLocked(std::u16string_view path) const;
    std::shared_ptr<Key> createPathLocked(std::u16string_view path, bool isVolatile, NTSTATUS* status);

    mutable std::mutex mutex_;
    std::shared_ptr<Key> root_;
    std::unordered_map<std::uintptr_t, OpenHandle> handles_;
    std::uintptr_t nextHandle_ = kFirstHandle;
};

}  // namespace sim
