// How a test double's driver image finds the script its test owns: the address the
// test wrote as the REG_QWORD "ScriptAddress" under a Parameters key.
#pragma once

#include <cstdint>
#include <string>

#include <ntddk.h>

namespace fakes {

inline std::uint64_t ReadScriptAddress(const std::u16string& parametersKey) {
    // A direct query of more than 4 bytes takes the room it may fill from the target's first
    // LONG: negative, the size of a plain buffer.
    ULONGLONG value = static_cast<ULONG>(-static_cast<LONG>(sizeof(ULONGLONG)));
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(u"ScriptAddress");
    table[0].EntryContext = &value;
    table[0].DefaultType = (REG_QWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    return NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, parametersKey.c_str(), table, nullptr, nullptr))
               ? value
               : 0;
}

// The Parameters key of a service.
inline std::u16string ParametersKey(const char16_t* service) {
    return std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + service + u"\\Parameters";
}

// The Parameters key below a driver's registry path as DriverEntry receives it.
inline std::u16string ParametersOf(PUNICODE_STRING registryPath) {
    return std::u16string(reinterpret_cast<const char16_t*>(registryPath->Buffer), registryPath->Length / sizeof(WCHAR)) +
           u"\\Parameters";
}

}  // namespace fakes
