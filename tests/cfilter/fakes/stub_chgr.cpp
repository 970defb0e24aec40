// vorkastubchgr: a scripted base changer driver under the changer path filter (see cfakes.h).
#include "cfakes.h"
#include "script_address.h"

#include <algorithm>
#include <cstdio>

namespace {

using cfakes::StubScript;

struct StubExtension {
    StubScript* script;
    PDEVICE_OBJECT lower;
};

StubExtension& Ext(PDEVICE_OBJECT device) { return *static_cast<StubExtension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// What the bus's table names while the handshake request is here.
cfakes::Handshake LookAtTable(PIRP irp) {
    cfakes::Handshake h;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (irp->AssociatedIrp.SystemBuffer == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(PVOID)) {
        return h;
    }
    std::memcpy(&h.table, irp->AssociatedIrp.SystemBuffer, sizeof(PVOID));
    if (h.table == nullptr) return h;
    KIRQL irql;
    KeAcquireSpinLock(&h.table->slLock, &irql);
    h.bitmap = h.table->ullBitmap;
    if ((h.bitmap & 1) != 0 && h.table->Slots[0].pScsiStatus != nullptr) {
        h.slot0Named = true;
        std::memcpy(&h.slot0Value, h.table->Slots[0].pScsiStatus, sizeof(ULONG));
    }
    h.slot1 = h.table->Slots[1].pScsiStatus;
    KeReleaseSpinLock(&h.table->slLock, irql);
    return h;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    StubScript& script = *Ext(device).script;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                         stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;

    cfakes::Seen seen;
    seen.major = stack->MajorFunction;
    seen.minor = stack->MinorFunction;
    seen.irp = irp;
    seen.systemBuffer = buffer;
    seen.userBuffer = irp->UserBuffer;
    seen.mdl = irp->MdlAddress;
    seen.requestorMode = irp->RequestorMode;
    seen.fileObject = stack->FileObject;
    if (control) {
        seen.code = stack->Parameters.DeviceIoControl.IoControlCode;
        seen.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        seen.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        seen.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        if (buffer != nullptr && (seen.code & 3) == METHOD_BUFFERED) seen.input.assign(buffer, buffer + seen.inputLength);
    } else if (stack->MajorFunction == IRP_MJ_WRITE) {
        seen.inputLength = stack->Parameters.Write.Length;
    } else if (stack->MajorFunction == IRP_MJ_READ) {
        seen.outputLength = stack->Parameters.Read.Length;
    }
    const bool handshake = seen.major == IRP_MJ_DEVICE_CONTROL && seen.code == IOC_CHGR_SET_EXT_IN_BASE;
    cfakes::Handshake h;
    if (handshake) h = LookAtTable(irp);

    cfakes::Reply reply;
    bool scripted;
    {
        std::unique_lock lock(script.mutex);
        script.seen.push_back(seen);
        if (handshake) script.handshakes.push_back(h);
        script.changed.notify_all();
        if (script.hold) {
            ++script.held;
            script.changed.notify_all();
            script.changed.wait(lock, [&] { return !script.hold; });
            --script.held;
        }
        auto it = script.replies.find(seen.code);
        scripted = control && it != script.replies.end();
        if (scripted) reply = it->second;
    }

    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_READ:
            return Complete(irp, STATUS_SUCCESS, seen.outputLength);
        case IRP_MJ_WRITE:
            return Complete(irp, STATUS_SUCCESS, seen.inputLength);
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            break;
        default:
            // Any other request: answered with a status only this stub gives, so that a test sees
            // it came from here.
            return Complete(irp, STATUS_MEDIA_CHANGED);
    }
    if (handshake && !scripted) return Complete(irp, STATUS_SUCCESS);
    if (!scripted) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(reply.status)) return Complete(irp, reply.status);
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(reply.data.size(), seen.outputLength));
    if (length != 0 && buffer != nullptr) std::memcpy(buffer, reply.data.data(), length);
    return Complete(irp, reply.status, length);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    StubExtension& ext = Ext(device);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    {
        std::lock_guard lock(ext.script->mutex);
        cfakes::Seen seen;
        seen.major = IRP_MJ_PNP;
        seen.minor = minor;
        seen.irp = irp;
        ext.script->seen.push_back(seen);
        ext.script->changed.notify_all();
    }
    if (minor == IRP_MN_START_DEVICE) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(ext.lower, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return Complete(irp, irp->IoStatus.Status);
    }
    if (minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE ||
        minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
        minor == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    PDEVICE_OBJECT lower = ext.lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    {
        std::lock_guard lock(Ext(device).script->mutex);
        cfakes::Seen seen;
        seen.major = IRP_MJ_POWER;
        seen.minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        seen.irp = irp;
        Ext(device).script->seen.push_back(seen);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device).lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    auto* script = reinterpret_cast<StubScript*>(fakes::ReadScriptAddress(cfakes::ParametersKey(cfakes::kStubService)));
    if (script == nullptr) return STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (unsigned n = 0; n < 100 && status == STATUS_OBJECT_NAME_COLLISION; ++n) {
        char text[40];
        std::snprintf(text, sizeof text, "\\Device\\VorkaStubChanger%u", n);
        std::u16string wide(text, text + std::strlen(text));
        UNICODE_STRING name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2),
                            const_cast<char16_t*>(wide.c_str())};
        status = IoCreateDevice(driverObject, sizeof(StubExtension), &name, FILE_DEVICE_CHANGER, 0, FALSE, &device);
    }
    if (!NT_SUCCESS(status)) return status;
    Ext(device).script = script;
    Ext(device).lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (Ext(device).lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driverObject->MajorFunction[i] = Dispatch;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
