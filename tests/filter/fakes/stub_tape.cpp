// vorkastubtape: a scripted base tape driver under the path filter (see fakes.h).
#include "fakes.h"
#include "script_address.h"
#include "stub_driver.h"

#include <cstdio>
#include <new>

namespace {

using fakes::StubScript;

using StubExtension = fakes::StubExtensionOf<StubScript>;

StubExtension& Ext(PDEVICE_OBJECT device) { return *static_cast<StubExtension*>(device->DeviceExtension); }

using fakes::Complete;

// Completes a request as the script says.
NTSTATUS Answer(PDEVICE_OBJECT device, PIRP irp) {
    StubScript& script = *Ext(device).script;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL;
    const ULONG code = control ? stack->Parameters.DeviceIoControl.IoControlCode : 0;
    const ULONG input = control ? stack->Parameters.DeviceIoControl.InputBufferLength : 0;
    const ULONG output = control ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;

    std::function<void(PIRP)> onClose;
    NTSTATUS createStatus;
    {
        std::lock_guard lock(script.mutex);
        onClose = script.onClose;
        createStatus = script.createStatus;
    }
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            return Complete(irp, createStatus);
        case IRP_MJ_CLOSE:
            if (onClose) onClose(irp);
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_CLEANUP:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_READ:
            return Complete(irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
        case IRP_MJ_WRITE:
            return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
        case IRP_MJ_DEVICE_CONTROL:
            break;
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    fakes::StubReply reply;
    bool scripted;
    {
        std::lock_guard lock(script.mutex);
        auto it = script.replies.find(code);
        scripted = it != script.replies.end();
        if (scripted) reply = it->second;
        if (code == IOC_TAPE_SET_EXT_IN_BASE && buffer != nullptr && input >= sizeof(PVOID) &&
            (!scripted || NT_SUCCESS(reply.status))) {
            std::memcpy(&script.table, buffer, sizeof(PVOID));
        }
    }
    if (code == IOC_TAPE_SET_EXT_IN_BASE && !scripted) return Complete(irp, STATUS_SUCCESS);
    if (!scripted) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (!NT_SUCCESS(reply.status)) return Complete(irp, reply.status);
    const ULONG length = static_cast<ULONG>(std::min<std::size_t>(reply.data.size(), output));
    if (length != 0) std::memcpy(buffer, reply.data.data(), length);
    return Complete(irp, reply.status, length);
}

struct Later {
    PIO_WORKITEM item;
    PIRP irp;
};

VOID AnswerLater(PDEVICE_OBJECT device, PVOID context) {
    auto* later = static_cast<Later*>(context);
    IoFreeWorkItem(later->item);
    Answer(device, later->irp);
    delete later;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    StubScript& script = *Ext(device).script;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL;
    const ULONG code = control ? stack->Parameters.DeviceIoControl.IoControlCode : 0;

    fakes::StubSeen seen;
    seen.major = stack->MajorFunction;
    seen.minor = stack->MinorFunction;
    seen.code = code;
    seen.irp = irp;
    PIRPS_WITH_STATUS table;
    {
        std::lock_guard lock(script.mutex);
        table = script.table;
    }
    if (PSCSI_STATUS record = STATUS_STRUCT_ALLOCATED(table, irp)) {
        seen.inTable = true;
        seen.recordPreempt = record->scPreempt;
    }
    if (code == IOC_TAPE_PREEMPT_RESERVATION && buffer != nullptr &&
        stack->Parameters.DeviceIoControl.InputBufferLength >= 8) {
        std::memcpy(&seen.preemptKey, buffer, 8);
    }

    bool later;
    {
        std::unique_lock lock(script.mutex);
        script.seen.push_back(seen);
        if (script.hold) {
            ++script.held;
            script.changed.notify_all();
            script.changed.wait(lock, [&] { return !script.hold; });
            --script.held;
        }
        later = script.answerLater;
    }
    if (later) {
        IoMarkIrpPending(irp);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        if (item == nullptr) {
            Answer(device, irp);
        } else {
            IoQueueWorkItem(item, AnswerLater, DelayedWorkQueue, new Later{item, irp});
        }
        return STATUS_PENDING;
    }
    return Answer(device, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    StubExtension& ext = Ext(device);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    {
        std::unique_lock lock(ext.script->mutex);
        fakes::StubSeen seen;
        seen.major = IRP_MJ_PNP;
        seen.minor = minor;
        ext.script->seen.push_back(seen);
        ext.script->changed.notify_all();
        if (minor == IRP_MN_REMOVE_DEVICE) {
            ext.script->changed.wait(lock, [&] { return !ext.script->gateRemove; });
        }
    }
    return fakes::StubPnp(device, ext.lower, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device).lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    return fakes::AddStubDevice<StubScript>(driverObject, pdo, fakes::kStubService, "VorkaStub", FILE_DEVICE_TAPE, DO_DIRECT_IO);
}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    return fakes::SetStubEntryPoints(driverObject, Dispatch, DispatchPnp, DispatchPower, AddDevice);
}
