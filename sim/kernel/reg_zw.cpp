// ZwXxx registry calls exported to drivers: argument checks, the PASSIVE_LEVEL
// rule, and the machine registry's NT operations.
#include <string_view>

#include "sim/format.h"
#include "sim/machine.h"
#include "sim/objects.h"
#include "sim/registry.h"
#include "sim/verifier.h"
#include "vk/zw.h"

namespace {

sim::Registry& Reg() { return sim::Machine::Current().registry(); }

// The counted name of an object-attributes record or value name; a NULL
// string is the empty name. Odd byte lengths are malformed.
bool NameOf(PCUNICODE_STRING s, std::u16string_view* name) {
    if (!s || s->Length == 0) {
        *name = {};
        return true;
    }
    if ((s->Length & 1) || !s->Buffer) return false;
    *name = std::u16string_view(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2u);
    return true;
}

}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (!KeyHandle || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::u16string_view name;
    if (!NameOf(ObjectAttributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
    return Reg().ntOpenKey(KeyHandle, ObjectAttributes->RootDirectory, name, DesiredAccess);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    (void)TitleIndex;
    (void)Class;  // key classes are not kept
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    if (!KeyHandle || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::u16string_view name;
    if (!NameOf(ObjectAttributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
    return Reg().ntCreateKey(KeyHandle, ObjectAttributes->RootDirectory, name, DesiredAccess, CreateOptions,
                             Disposition);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
    if (!ResultLength || (!KeyInformation && Length)) return STATUS_INVALID_PARAMETER;
    return Reg().ntEnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    if (!ResultLength || (!KeyValueInformation && Length)) return STATUS_INVALID_PARAMETER;
    return Reg().ntEnumerateValueKey(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                                     ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
    if (!ResultLength || (!KeyInformation && Length)) return STATUS_INVALID_PARAMETER;
    return Reg().ntQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (!ResultLength || (!KeyValueInformation && Length)) return STATUS_INVALID_PARAMETER;
    std::u16string_view name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    return Reg().ntQueryValueKey(KeyHandle, name, KeyValueInformationClass, KeyValueInformation, Length,
                                 ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    (void)TitleIndex;
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    std::u16string_view name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    return Reg().ntSetValueKey(KeyHandle, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    return Reg().ntDeleteKey(KeyHandle);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    std::u16string_view name;
    if (!NameOf(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
    return Reg().ntDeleteValueKey(KeyHandle, name);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
    return Reg().ntFlushKey(KeyHandle);
}

NTSTATUS ZwClose(HANDLE Handle) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    if (!sim::Registry::IsKeyHandle(Handle)) return sim::CloseKernelHandle(Handle);
    NTSTATUS status = Reg().ntClose(Handle);
    if (status == STATUS_INVALID_HANDLE) {
        // Windows stops with INVALID_KERNEL_HANDLE for this; a double close is a driver bug.
        sim::ReportViolation(sim::FormatNarrow("ZwClose: registry handle %p is not open (closed twice?)", Handle));
    }
    return status;
}

}  // extern "C"
