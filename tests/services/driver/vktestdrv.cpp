// vktestdrv: a small driver image for the kernel-services and Win32 tests.
// It is built like the product drivers (kernel-safe C++, -fshort-wchar, its
// own message table) and uses the services under test from driver code:
// registry queries against its service key, event log packets from its
// driver object and its device, debugger output, and a device that
// applications open through \\.\VkTestDev.
//
// Device requests:
//   IOCTL_VKTEST_ECHO    copies the input to the output; a short output gets
//                        what fits and STATUS_BUFFER_OVERFLOW
//   IOCTL_VKTEST_STATUS  completes with the NTSTATUS given as input
//   read                 fills the buffer with 0, 1, 2, ...; more than 100
//                        bytes: 100 bytes and STATUS_FILEMARK_DETECTED
//   write                accepts the data; 0 bytes: STATUS_INVALID_PARAMETER
#include <ntddk.h>
#include <ntstrsafe.h>

#include "sample.h"

#define IOCTL_VKTEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VKTEST_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

namespace {

UNICODE_STRING gDeviceName = RTL_CONSTANT_STRING(L"\\Device\\VkTestDev");
UNICODE_STRING gLinkName = RTL_CONSTANT_STRING(L"\\DosDevices\\VkTestDev");
PDEVICE_OBJECT gDevice;

// Writes one event with up to two insertion strings, as the bus driver does.
void WriteEvent(PVOID ioObject, NTSTATUS code, PCWSTR first, PCWSTR second) {
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, ERROR_LOG_MAXIMUM_SIZE));
    if (!packet) {
        DbgPrint("vktestdrv: no error log packet for 0x%08x\n", code);
        return;
    }
    packet->ErrorCode = code;
    packet->StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    PWCHAR at = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(packet) + packet->StringOffset);
    PCWSTR strings[2] = {first, second};
    for (PCWSTR s : strings) {
        if (!s) continue;
        size_t n = wcslen(s) + 1;
        RtlCopyMemory(at, s, n * sizeof(WCHAR));
        at += n;
        packet->NumberOfStrings++;
    }
    IoWriteErrorLogEntry(packet);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS DispatchControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VKTEST_ECHO:
        // Buffered: input and output share the system buffer.
        return Complete(irp, out < in ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, out < in ? out : in);
    case IOCTL_VKTEST_STATUS: {
        if (in < sizeof(NTSTATUS)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        NTSTATUS status = *static_cast<NTSTATUS*>(buffer);
        return Complete(irp, status, 0);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = length > 100 ? 100 : length;
    auto* data = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < n; ++i) data[i] = static_cast<UCHAR>(i);
    return Complete(irp, length > 100 ? STATUS_FILEMARK_DETECTED : STATUS_SUCCESS, n);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (length == 0) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return Complete(irp, STATUS_SUCCESS, length);
}

VOID Unload(PDRIVER_OBJECT driverObject) {
    WriteEvent(driverObject, SAMPLE_TWO_LINES, nullptr, nullptr);
    IoDeleteSymbolicLink(&gLinkName);
    if (gDevice) IoDeleteDevice(gDevice);
    gDevice = nullptr;
    DbgPrint("vktestdrv: unloaded\n");
}

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DbgPrint("vktestdrv: DriverEntry %wZ\n", RegistryPath);

    // Configuration from the service's Parameters key, read the safe way:
    // a DWORD with its type checked, a missing value keeps the default.
    WCHAR path[200];
    NTSTATUS status = RtlStringCbPrintfW(path, sizeof path, L"%wZ\\Parameters", RegistryPath);
    if (!NT_SUCCESS(status)) return status;
    ULONG failEntry = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(L"FailEntry");
    table[0].EntryContext = &failEntry;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    status = RtlQueryRegistryValuesEx(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
    DbgPrint("vktestdrv: FailEntry %u, query status 0x%08x\n", failEntry, status);
    if (status == STATUS_OBJECT_TYPE_MISMATCH) {
        WriteEvent(DriverObject, SAMPLE_INIT_FAILED, L"0xC0000024", nullptr);
        return status;
    }
    if (failEntry) {
        WCHAR code[16];
        RtlStringCbPrintfW(code, sizeof code, L"0x%08X", failEntry);
        WriteEvent(DriverObject, SAMPLE_INIT_FAILED, code, nullptr);
        return static_cast<NTSTATUS>(failEntry);
    }

    status = IoCreateDevice(DriverObject, 0, &gDeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice);
    if (!NT_SUCCESS(status)) return status;
    gDevice->Flags |= DO_BUFFERED_IO;
    gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    status = IoCreateSymbolicLink(&gLinkName, &gDeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(gDevice);
        gDevice = nullptr;
        return status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->DriverUnload = Unload;

    WCHAR driverText[24], deviceText[24];
    RtlStringCbPrintfW(driverText, sizeof driverText, L"0x%p", DriverObject);
    RtlStringCbPrintfW(deviceText, sizeof deviceText, L"0x%p", gDevice);
    WriteEvent(DriverObject, SAMPLE_STARTED, driverText, deviceText);
    WriteEvent(gDevice, SAMPLE_STATUS, L"(NTSTATUS 0xC000000E)", L"0x2D4800");
    ASSERT(wcslen(L"abc") == 3 && _wcsicmp(L"Tape", L"TAPE") == 0);
    return STATUS_SUCCESS;
}
