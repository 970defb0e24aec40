// A legacy driver (no device stack) with the device \Device\KtSeh and the link \DosDevices\KtSeh,
// for the structured exception handling and requestor tests:
//   IOCTL_KTSEH_PROBE      locks the caller's buffer (Type3InputBuffer, InputBufferLength) in the
//                          requestor's mode inside __try; completes with the exception code
//   IOCTL_KTSEH_NESTED     an exception passes an inner handler that declines it to an outer one
//   IOCTL_KTSEH_REQUESTOR  answers the request's requestor mode and IoIs32bitProcess
//   IOCTL_KTSEH_DIRECT     fills the MDL-described output buffer with 0x5A
#include <ntddk.h>

#include "kt_ioctl.h"

namespace {

PDEVICE_OBJECT controlDevice;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ProbeCallerBuffer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PMDL mdl = IoAllocateMdl(stack->Parameters.DeviceIoControl.Type3InputBuffer,
                             stack->Parameters.DeviceIoControl.InputBufferLength, FALSE, FALSE, nullptr);
    if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(mdl, irp->RequestorMode, IoWriteAccess);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    if (NT_SUCCESS(status)) {
        PUCHAR system = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (system) system[0] = 0xA5;
        MmUnlockPages(mdl);
    }
    IoFreeMdl(mdl);
    return status;
}

volatile int innerHandlerRan;

int InnerFilter(NTSTATUS code) {
    return code == STATUS_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

NTSTATUS Nested() {
    innerHandlerRan = 0;
    // Set in a handler and read after it: the host build unwinds to a handler with longjmp, after
    // which only a volatile local is sure to hold what was stored in it.
    volatile NTSTATUS caught = STATUS_SUCCESS;
    __try {
        __try {
            ExRaiseStatus(STATUS_DATA_ERROR);
        } __except (InnerFilter(GetExceptionCode())) {
            innerHandlerRan = 1;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        caught = GetExceptionCode();
    }
    // The outer handler got the exception the inner one declined.
    return (!innerHandlerRan && caught == STATUS_DATA_ERROR) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS DispatchControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KTSEH_PROBE: return Complete(irp, ProbeCallerBuffer(irp));
    case IOCTL_KTSEH_NESTED: return Complete(irp, Nested());
    case IOCTL_KTSEH_REQUESTOR: {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(KTSEH_REQUESTOR))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        auto* answer = static_cast<KTSEH_REQUESTOR*>(irp->AssociatedIrp.SystemBuffer);
        answer->RequestorMode = irp->RequestorMode;
        answer->Is32Bit = IoIs32bitProcess(irp);
        return Complete(irp, STATUS_SUCCESS, sizeof(KTSEH_REQUESTOR));
    }
    case IOCTL_KTSEH_DIRECT: {
        if (!irp->MdlAddress) return Complete(irp, STATUS_INVALID_PARAMETER);
        PUCHAR buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        ULONG length = MmGetMdlByteCount(irp->MdlAddress);
        RtlFillMemory(buffer, length, 0x5A);
        return Complete(irp, STATUS_SUCCESS, length);
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

void Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\KtSeh");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(controlDevice);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\KtSeh");
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\KtSeh");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}
