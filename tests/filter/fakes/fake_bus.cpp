// vorkafakebus: the tape bus's control device as the filter tests need it (see fakes.h).
#include "fakes.h"
#include "script_address.h"

#include <new>

namespace {

using fakes::BusScript;

struct ControlExtension {
    BusScript* script;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    BusScript& script = *static_cast<ControlExtension*>(device->DeviceExtension)->script;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOC_TAPE_REGISTER: {
            if (input < sizeof(TAPE_REG_DVC) || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(TAPE_REG_DVC)) {
                return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
            }
            TAPE_REG_DVC record;
            std::memcpy(&record, buffer, sizeof record);
            NTSTATUS status;
            ULONG number;
            {
                std::lock_guard lock(script.mutex);
                script.registrations.push_back(record);
                status = script.registerStatus;
                auto it = script.tapeNumbers.find(record.pDvcObj);
                if (it == script.tapeNumbers.end()) {
                    it = script.tapeNumbers.emplace(record.pDvcObj, 100 + static_cast<ULONG>(script.tapeNumbers.size())).first;
                }
                number = it->second;
            }
            if (!NT_SUCCESS(status)) return Complete(irp, status);
            record.pBaseDriverExt = script.table;
            record.ulTapeNumber = number;
            std::memcpy(buffer, &record, sizeof record);
            return Complete(irp, STATUS_SUCCESS, sizeof record);
        }
        case IOC_TAPE_NOTIFY: {
            if (input < sizeof(TAPE_NFY_DVC)) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
            TAPE_NFY_DVC record;
            std::memcpy(&record, buffer, sizeof record);
            std::function<NTSTATUS(const TAPE_NFY_DVC&)> decide;
            {
                std::lock_guard lock(script.mutex);
                script.notifications.push_back(record);
                decide = script.onNotify;
            }
            return Complete(irp, decide ? decide(record) : STATUS_SUCCESS);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID Unload(PDRIVER_OBJECT driverObject) {
    PDEVICE_OBJECT device = driverObject->DeviceObject;
    if (device == nullptr) return;
    BusScript& script = *static_cast<ControlExtension*>(device->DeviceExtension)->script;
    PIRPS_WITH_STATUS table;
    {
        std::lock_guard lock(script.mutex);
        table = script.table;
        script.table = nullptr;
    }
    if (table != nullptr) ExFreePoolWithTag(table, 'suBF');
    IoDeleteDevice(device);
}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    auto* script = reinterpret_cast<BusScript*>(fakes::ReadScriptAddress(fakes::ParametersOf(registryPath)));
    if (script == nullptr) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\VorkaTBusDvc");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlExtension), &name, 0x2A, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<ControlExtension*>(device->DeviceExtension)->script = script;
    auto* table = static_cast<PIRPS_WITH_STATUS>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), 'suBF'));
    if (table == nullptr) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(table, 0, sizeof *table);
    KeInitializeSpinLock(&table->slLock);
    {
        std::lock_guard lock(script->mutex);
        script->table = table;
    }
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driverObject->DriverUnload = Unload;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
