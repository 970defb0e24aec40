// A bus driver: the function driver of a root device that reports child PDOs
// (hardware ID KTBUS\Child, instance IDs 0, 1, ...). IOCTL_KTBUS_SET_CHILDREN on its device
// \Device\KtBus sets how many children are present and invalidates the bus relations.
// Every Plug and Play request is traced as "kt_bus: fdo PNP 0x.." or "kt_bus: child <n> PNP 0x..".
#include <ntddk.h>
#include <ntstrsafe.h>

#include "kt_ioctl.h"

#define TRACE(fmt, ...) DbgPrint("kt_bus: " fmt "\n", ##__VA_ARGS__)

namespace {

constexpr ULONG kMaxChildren = 8;

struct Common {
    BOOLEAN IsPdo;
};

struct ChildExtension {
    Common Header;
    ULONG Index;
    BOOLEAN Present;  // reported in the bus relations
};

struct BusExtension {
    Common Header;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    FAST_MUTEX Lock;
    PDEVICE_OBJECT Children[kMaxChildren];
};

BusExtension* Bus(PDEVICE_OBJECT device) { return static_cast<BusExtension*>(device->DeviceExtension); }
ChildExtension* Child(PDEVICE_OBJECT device) { return static_cast<ChildExtension*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PWCHAR PoolString(const wchar_t* text, bool multi) {
    size_t chars = wcslen(text) + (multi ? 2 : 1);
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 'IsuB'));
    if (!buffer) return nullptr;
    RtlZeroMemory(buffer, chars * sizeof(WCHAR));
    RtlCopyMemory(buffer, text, wcslen(text) * sizeof(WCHAR));
    return buffer;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ChildExtension* child = Child(device);
    TRACE("child %lu PNP 0x%02x", child->Index, stack->MinorFunction);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES: status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        // A child that is still on the bus stays; one the bus no longer reports goes.
        if (!child->Present) {
            TRACE("child %lu deleted", child->Index);
            IoDeleteDevice(device);
        }
        break;
    case IRP_MN_QUERY_ID: {
        WCHAR text[32];
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: information = (ULONG_PTR)PoolString(KTBUS_CHILD_HARDWARE_ID, false); break;
        case BusQueryHardwareIDs: information = (ULONG_PTR)PoolString(KTBUS_CHILD_HARDWARE_ID, true); break;
        case BusQueryInstanceID:
            RtlStringCbPrintfW(text, sizeof(text), L"%lu", child->Index);
            information = (ULONG_PTR)PoolString(text, false);
            break;
        default: break;
        }
        if (information) status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations =
                static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'RsuB'));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        break;
    default: break;
    }
    return Complete(irp, status, information);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BusExtension* bus = Bus(device);
    TRACE("fdo PNP 0x%02x", stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(bus->Lower, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
        ExAcquireFastMutex(&bus->Lock);
        ULONG count = 0;
        for (ULONG i = 0; i < kMaxChildren; ++i)
            if (bus->Children[i] && Child(bus->Children[i])->Present) ++count;
        auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + kMaxChildren * sizeof(PDEVICE_OBJECT), 'RsuB'));
        if (!relations) {
            ExReleaseFastMutex(&bus->Lock);
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        relations->Count = 0;
        for (ULONG i = 0; i < kMaxChildren; ++i) {
            PDEVICE_OBJECT child = bus->Children[i];
            if (!child) continue;
            if (Child(child)->Present) {
                ObReferenceObject(child);
                relations->Objects[relations->Count++] = child;
            } else {
                bus->Children[i] = nullptr;  // the PnP manager removes it; its REMOVE deletes it
            }
        }
        ExReleaseFastMutex(&bus->Lock);
        irp->IoStatus.Information = (ULONG_PTR)relations;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        for (ULONG i = 0; i < kMaxChildren; ++i) {
            if (bus->Children[i]) {
                IoDeleteDevice(bus->Children[i]);
                bus->Children[i] = nullptr;
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(bus->Lower, irp);
        IoDetachDevice(bus->Lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->Lower, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<Common*>(device->DeviceExtension)->IsPdo ? ChildPnp(device, irp) : BusPnp(device, irp);
}

NTSTATUS SetChildren(PDEVICE_OBJECT device, ULONG count) {
    BusExtension* bus = Bus(device);
    if (count > kMaxChildren) return STATUS_INVALID_PARAMETER;
    // New children are created first (IoCreateDevice needs PASSIVE_LEVEL), then published.
    PDEVICE_OBJECT created[kMaxChildren] = {};
    for (ULONG i = 0; i < count; ++i) {
        if (bus->Children[i]) continue;
        PDEVICE_OBJECT child = nullptr;
        if (NT_SUCCESS(IoCreateDevice(device->DriverObject, sizeof(ChildExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                      FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child))) {
            Child(child)->Header.IsPdo = TRUE;
            Child(child)->Index = i;
            Child(child)->Present = TRUE;
            child->Flags &= ~DO_DEVICE_INITIALIZING;
            created[i] = child;
        }
    }
    ExAcquireFastMutex(&bus->Lock);
    for (ULONG i = 0; i < kMaxChildren; ++i) {
        if (created[i]) bus->Children[i] = created[i];
        else if (i >= count && bus->Children[i]) Child(bus->Children[i])->Present = FALSE;
    }
    ExReleaseFastMutex(&bus->Lock);
    IoInvalidateDeviceRelations(bus->Pdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (static_cast<Common*>(device->DeviceExtension)->IsPdo ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_KTBUS_SET_CHILDREN ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return Complete(irp, SetChildren(device, *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer)));
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (static_cast<Common*>(device->DeviceExtension)->IsPdo) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Bus(device)->Lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\KtBus");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), &name, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    BusExtension* bus = Bus(device);
    bus->Pdo = pdo;
    ExInitializeFastMutex(&bus->Lock);
    bus->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) { TRACE("Unload"); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}
