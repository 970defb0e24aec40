// vorkafakecbus: the changer bus's control device as the changer filter tests need it (see cfakes.h).
#include "cfakes.h"
#include "script_address.h"

namespace {

using cfakes::BusScript;

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
    {
        std::lock_guard lock(script.mutex);
        script.inputLengths.push_back(input);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOC_CHGR_REGISTER: {
            if (input < sizeof(CHGR_REG_DVC) || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(CHGR_REG_DVC)) {
                return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
            }
            CHGR_REG_DVC record;
            std::memcpy(&record, buffer, sizeof record);
            NTSTATUS status;
            ULONG number;
            PIRPS_WITH_STATUS table;
            {
                std::lock_guard lock(script.mutex);
                script.registrations.push_back(record);
                status = script.registerStatus;
                number = script.nextChangerNumber++;
                table = script.table;
            }
            if (!NT_SUCCESS(status)) return Complete(irp, status);
            record.pBaseDriverExt = table;
            record.ulChangerNumber = number;
            std::memcpy(buffer, &record, sizeof record);
            return Complete(irp, STATUS_SUCCESS, sizeof record);
        }
        case IOC_CHGR_NOTIFY: {
            if (input < sizeof(CHGR_NFY_DVC)) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
            CHGR_NFY_DVC record;
            std::memcpy(&record, buffer, sizeof record);
            std::function<NTSTATUS(const CHGR_NFY_DVC&)> decide;
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
    if (table != nullptr) ExFreePoolWithTag(table, 'suBC');
    IoDeleteDevice(device);
}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    auto* script = reinterpret_cast<BusScript*>(fakes::ReadScriptAddress(fakes::ParametersOf(registryPath)));
    if (script == nullptr) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\VorkaCBusDvc");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlExtension), &name, 0x2A, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<ControlExtension*>(device->DeviceExtension)->script = script;
    auto* table = static_cast<PIRPS_WITH_STATUS>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), 'suBC'));
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
