// vorkastubchgr: a scripted base changer driver under the changer path filter (see cfakes.h).
#include "cfakes.h"
#include "script_address.h"
#include "stub_driver.h"

#include <algorithm>
#include <cstdio>

namespace {

using cfakes::StubScript;

using StubExtension = fakes::StubExtensionOf<StubScript>;

StubExtension& Ext(PDEVICE_OBJECT device) { return *static_cast<StubExtension*>(device->DeviceExtension); }

using fakes::Complete;

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
    return fakes::StubPnp(device, ext.lower, irp);
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
    return fakes::AddStubDevice<StubScript>(driverObject, pdo, cfakes::kStubService, "VorkaStubChanger", FILE_DEVICE_CHANGER, DO_BUFFERED_IO);
}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    return fakes::SetStubEntryPoints(driverObject, Dispatch, DispatchPnp, DispatchPower, AddDevice);
}
