// A Plug and Play driver for any place in a device stack: built as the function driver kt_func
// (named device \Device\<service><n>, answers requests) and as the filters kt_upper and kt_lower
// (pass everything down). Every request it sees is traced as "<service>: <what>", so the tests
// read the order in which requests travel. Behaviour switches are DWORD values of the service's
// Parameters key, read at DriverEntry.
#include <ntddk.h>
#include <ntstrsafe.h>

#include "kt_ioctl.h"

#define TRACE(fmt, ...) DbgPrint(VORKA_SERVICE_NAME ": " fmt "\n", ##__VA_ARGS__)

namespace {

struct Settings {
    ULONG FailAddDevice;
    ULONG FailStart;
    ULONG FailQueryRemove;
    ULONG FailQueryStop;
    ULONG LeakPool;
    ULONG KeepDeviceOnRemove;
    ULONG Exclusive;
    ULONG ControlDevice;  // also create a device outside any stack, with a worker thread waiting on it
};
Settings settings;
#ifdef KT_FUNCTION
LONG deviceCount;
#endif

struct Extension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
};

Extension* Ext(PDEVICE_OBJECT device) { return static_cast<Extension*>(device->DeviceExtension); }

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down, waits for it and leaves it with the caller to complete.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Ext(device)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    TRACE("PNP 0x%02x", stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        if (settings.FailStart) return Complete(irp, STATUS_DEVICE_NOT_READY);
        NTSTATUS status = ForwardAndWait(device, irp);
        TRACE("started 0x%08x", status);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (settings.FailQueryRemove) return Complete(irp, STATUS_DEVICE_BUSY);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (settings.FailQueryStop) return Complete(irp, STATUS_DEVICE_BUSY);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = Ext(device)->Lower;
        NTSTATUS status = PassDown(device, irp);
        if (!settings.KeepDeviceOnRemove) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; return PassDown(device, irp);
    default: return PassDown(device, irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    TRACE("POWER 0x%02x", IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS DispatchFile(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const char* what = stack->MajorFunction == IRP_MJ_CREATE    ? "CREATE"
                       : stack->MajorFunction == IRP_MJ_CLEANUP ? "CLEANUP"
                                                                : "CLOSE";
    TRACE("%s", what);
#ifdef KT_FUNCTION
    return Complete(irp, STATUS_SUCCESS);
#else
    return PassDown(device, irp);
#endif
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
#ifdef KT_FUNCTION
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KT_ECHO: return Complete(irp, STATUS_SUCCESS, in < out ? in : out);
    case IOCTL_KT_WRITE_ONLY: return Complete(irp, STATUS_SUCCESS);
    case IOCTL_KT_STATUS:
        if (in < sizeof(NTSTATUS)) return Complete(irp, STATUS_INVALID_PARAMETER);
        return Complete(irp, *static_cast<NTSTATUS*>(irp->AssociatedIrp.SystemBuffer));
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
#else
    return PassDown(device, irp);
#endif
}

#ifdef KT_FUNCTION
PDEVICE_OBJECT controlDevice;
KEVENT controlEvent;

VOID ControlWorker(PVOID) {
    KeWaitForSingleObject(&controlEvent, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CreateControlDevice(PDRIVER_OBJECT driver) {
    if (controlDevice) return;
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\KtControl");
    if (!NT_SUCCESS(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice))) return;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    KeInitializeEvent(&controlEvent, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ControlWorker, nullptr)))
        ZwClose(thread);
}
#endif

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    TRACE("AddDevice");
    if (settings.FailAddDevice) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status;
#ifdef KT_FUNCTION
    WCHAR name[64];
    RtlStringCbPrintfW(name, sizeof(name), L"\\Device\\%hs%d", VORKA_SERVICE_NAME, (int)deviceCount++);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    status = IoCreateDevice(driver, sizeof(Extension), &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                            settings.Exclusive ? TRUE : FALSE, &device);
#else
    status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &device);
#endif
    if (!NT_SUCCESS(status)) return status;
#ifdef KT_FUNCTION
    if (settings.ControlDevice) CreateControlDevice(driver);
#endif
    Extension* ext = Ext(device);
    ext->Self = device;
    ext->Pdo = pdo;
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->Lower) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }
    device->Flags |= ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}


void Unload(PDRIVER_OBJECT) { TRACE("Unload"); }

void ReadSettings(PUNICODE_STRING registryPath) {
    WCHAR path[256];
    RtlStringCbPrintfW(path, sizeof(path), L"%wZ\\Parameters", registryPath);
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    const wchar_t* names[] = {L"FailAddDevice", L"FailStart", L"FailQueryRemove", L"FailQueryStop",
                              L"LeakPool", L"KeepDeviceOnRemove", L"Exclusive", L"ControlDevice"};
    ULONG* targets[] = {&settings.FailAddDevice, &settings.FailStart, &settings.FailQueryRemove,
                        &settings.FailQueryStop, &settings.LeakPool, &settings.KeepDeviceOnRemove,
                        &settings.Exclusive, &settings.ControlDevice};
    for (int i = 0; i < 8; ++i) {
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
        table[0].Name = const_cast<PWSTR>(names[i]);
        table[0].EntryContext = targets[i];
        table[0].DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
    }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    TRACE("DriverEntry");
    ReadSettings(registryPath);
    if (settings.LeakPool) ExAllocatePoolWithTag(NonPagedPool, 64, 'Leak');
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
