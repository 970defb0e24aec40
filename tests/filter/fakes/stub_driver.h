// What the scripted base drivers under the path filters (vorkastubtape, vorkastubchgr)
// do alike: completing a request, Plug and Play of their device, and creating it as
// \Device\<prefix><n> with the first free n.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include <ntddk.h>

#include "script_address.h"

namespace fakes {

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The start goes down first and is completed here with its status; the state changes succeed; the
// removal passes down, then detaches and deletes `device`.
inline NTSTATUS StubPnp(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PIRP irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return Complete(irp, irp->IoStatus.Status);
    }
    if (minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE ||
        minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
        minor == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

// \Device\<prefix><n> with the first free n, attached above `pdo`.
inline NTSTATUS CreateStubDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo, const char* prefix, ULONG extensionSize,
                                 DEVICE_TYPE type, PDEVICE_OBJECT* device, PDEVICE_OBJECT* lower) {
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (unsigned n = 0; n < 100 && status == STATUS_OBJECT_NAME_COLLISION; ++n) {
        char text[40];
        std::snprintf(text, sizeof text, "\\Device\\%s%u", prefix, n);
        std::u16string wide(text, text + std::strlen(text));
        UNICODE_STRING name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                            const_cast<char16_t*>(wide.c_str())};
        status = IoCreateDevice(driverObject, extensionSize, &name, type, 0, FALSE, device);
    }
    if (!NT_SUCCESS(status)) return status;
    *lower = IoAttachDeviceToDeviceStack(*device, pdo);
    if (*lower == nullptr) {
        IoDeleteDevice(*device);
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}

// The extension of a stub's device: the script its test owns and the device it is attached to.
template <typename Script>
struct StubExtensionOf {
    Script* script;
    PDEVICE_OBJECT lower;
};

// AddDevice of a stub: the script whose address the test left under `service`'s Parameters key, and
// \Device\<prefix><n> of `type` attached above `pdo`, with `ioFlags` (DO_BUFFERED_IO or DO_DIRECT_IO).
template <typename Script>
NTSTATUS AddStubDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo, const char16_t* service, const char* prefix,
                       DEVICE_TYPE type, ULONG ioFlags) {
    auto* script = reinterpret_cast<Script*>(ReadScriptAddress(ParametersKey(service)));
    if (script == nullptr) return STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    NTSTATUS status = CreateStubDevice(driverObject, pdo, prefix, sizeof(StubExtensionOf<Script>), type, &device, &lower);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<StubExtensionOf<Script>*>(device->DeviceExtension);
    ext->script = script;
    ext->lower = lower;
    device->Flags |= ioFlags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline VOID StubUnload(PDRIVER_OBJECT) {}

// DriverEntry of a stub: every request to `dispatch`, Plug and Play and power to their routines.
inline NTSTATUS SetStubEntryPoints(PDRIVER_OBJECT driverObject, PDRIVER_DISPATCH dispatch, PDRIVER_DISPATCH pnp,
                                   PDRIVER_DISPATCH power, PDRIVER_ADD_DEVICE addDevice) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driverObject->MajorFunction[i] = dispatch;
    driverObject->MajorFunction[IRP_MJ_PNP] = pnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = power;
    driverObject->DriverExtension->AddDevice = addDevice;
    driverObject->DriverUnload = StubUnload;
    return STATUS_SUCCESS;
}

}  // namespace fakes
