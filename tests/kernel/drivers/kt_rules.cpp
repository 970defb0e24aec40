// A legacy driver (device \Device\KtRules, link \DosDevices\KtRules) whose requests each break
// one rule the I/O verifier enforces, or keep it where the test needs the well-behaved case:
//   IOCTL_KTRULES_PEND_UNMARKED      completes the request, then returns STATUS_PENDING without
//                                    having marked it pending
//   IOCTL_KTRULES_PEND_UNMARKED_DPC  returns STATUS_PENDING unmarked and completes from a DPC
//   IOCTL_KTRULES_WRONG_STATUS       completes with STATUS_SUCCESS, returns STATUS_UNSUCCESSFUL
//   IOCTL_KTRULES_MARKED_NOT_PENDING marks the request pending, completes it, returns STATUS_SUCCESS
//   IOCTL_KTRULES_PEND_DPC           marks pending, returns STATUS_PENDING, completes from a DPC
//                                    with the NTSTATUS of the input buffer (the right way)
//   IOCTL_KTRULES_FAIL               fails at once with the NTSTATUS of the input buffer
//   IOCTL_KTRULES_BREAK              breaks the pool or object rule its input names (KTRULES_*)
//   IOCTL_KTRULES_WAIT_FOR_CANCEL    held pending with a cancel routine until it is cancelled
#include <ntddk.h>

#include "kt_ioctl.h"

namespace {

PDEVICE_OBJECT controlDevice;
KDPC completionDpc;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID CompleteFromDpc(PKDPC, PVOID, PVOID argument1, PVOID) {
    IoCompleteRequest(static_cast<PIRP>(argument1), IO_NO_INCREMENT);
}

NTSTATUS InputStatus(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(NTSTATUS)) return STATUS_SUCCESS;
    return *static_cast<NTSTATUS*>(irp->AssociatedIrp.SystemBuffer);
}

ERESOURCE globalResource;
KMUTEX globalMutex;
KDPC blockerDpc;
volatile LONG blockerRelease;
volatile LONG blockerRunning;

struct LiveObjects {
    ERESOURCE Resource;
    KTIMER Timer;
    KDPC Dpc;
};

VOID Nothing(PKDPC, PVOID, PVOID, PVOID) {}

// Keeps the DPC thread busy (spinning, as a DPC may) until released, so that a DPC queued
// meanwhile is certainly still queued.
VOID Blocker(PKDPC, PVOID, PVOID, PVOID) {
    InterlockedExchange(&blockerRunning, 1);
    while (InterlockedCompareExchange(&blockerRelease, 0, 0) == 0) {
    }
}

const ULONG kTag = 'KtRl';

void Break(ULONG rule) {
    switch (rule) {
    case KTRULES_ZERO_BYTE_POOL: {
        PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag);
        if (block) ExFreePoolWithTag(block, kTag);
        break;
    }
    case KTRULES_PAGED_FREE_AT_DISPATCH: {
        PVOID block = ExAllocatePoolWithTag(PagedPool, 32, kTag);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        if (block) ExFreePoolWithTag(block, kTag);
        KeLowerIrql(old);
        break;
    }
    case KTRULES_FREE_LIVE_RESOURCE:
    case KTRULES_FREE_ARMED_TIMER:
    case KTRULES_FREE_QUEUED_DPC: {
        auto* objects = static_cast<LiveObjects*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LiveObjects), kTag));
        if (!objects) break;
        if (rule == KTRULES_FREE_LIVE_RESOURCE) ExInitializeResourceLite(&objects->Resource);
        if (rule == KTRULES_FREE_ARMED_TIMER) {
            KeInitializeTimer(&objects->Timer);
            LARGE_INTEGER due;
            due.QuadPart = -10LL * 1000 * 1000 * 60;  // a minute from now
            KeSetTimer(&objects->Timer, due, nullptr);
        }
        if (rule == KTRULES_FREE_QUEUED_DPC) {
            InterlockedExchange(&blockerRelease, 0);
            InterlockedExchange(&blockerRunning, 0);
            KeInsertQueueDpc(&blockerDpc, nullptr, nullptr);
            while (InterlockedCompareExchange(&blockerRunning, 0, 0) == 0) {
            }
            KeInitializeDpc(&objects->Dpc, Nothing, nullptr);
            KeInsertQueueDpc(&objects->Dpc, nullptr, nullptr);
        }
        ExFreePoolWithTag(objects, kTag);
        InterlockedExchange(&blockerRelease, 1);
        break;
    }
    case KTRULES_REINITIALIZE_RESOURCE: {
        ERESOURCE resource;
        ExInitializeResourceLite(&resource);
        ExInitializeResourceLite(&resource);
        ExDeleteResourceLite(&resource);
        break;
    }
    case KTRULES_KEEP_GLOBAL_RESOURCE: ExInitializeResourceLite(&globalResource); break;
    case KTRULES_RETURN_HOLDING_MUTEX:
        KeWaitForSingleObject(&globalMutex, Executive, KernelMode, FALSE, nullptr);
        break;
    case KTRULES_RELEASE_MUTEX: KeReleaseMutex(&globalMutex, FALSE); break;
    case KTRULES_RETURN_IN_GUARDED_REGION: KeEnterGuardedRegion(); break;
    case KTRULES_LEAVE_GUARDED_REGION: KeLeaveGuardedRegion(); break;
    default: break;
    }
}

// The cancel routine of a held request: called with the cancel spin lock held.
VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS HoldUntilCancelled(PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        // Cancelled before it could be held: nobody else will complete it.
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, CancelHeld);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS DispatchControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KTRULES_PEND_UNMARKED:
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    case IOCTL_KTRULES_PEND_UNMARKED_DPC:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        KeInsertQueueDpc(&completionDpc, irp, nullptr);
        return STATUS_PENDING;
    case IOCTL_KTRULES_WRONG_STATUS:
        Complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    case IOCTL_KTRULES_MARKED_NOT_PENDING:
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    case IOCTL_KTRULES_PEND_DPC:
        irp->IoStatus.Status = InputStatus(irp);
        irp->IoStatus.Information = 0;
        IoMarkIrpPending(irp);
        KeInsertQueueDpc(&completionDpc, irp, nullptr);
        return STATUS_PENDING;
    case IOCTL_KTRULES_FAIL: return Complete(irp, InputStatus(irp));
    case IOCTL_KTRULES_WAIT_FOR_CANCEL: return HoldUntilCancelled(irp);
    case IOCTL_KTRULES_BREAK:
        Break(static_cast<ULONG>(InputStatus(irp)));
        return Complete(irp, STATUS_SUCCESS);
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

void Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\KtRules");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(controlDevice);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\KtRules");
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\KtRules");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }
    KeInitializeDpc(&completionDpc, CompleteFromDpc, nullptr);
    KeInitializeDpc(&blockerDpc, Blocker, nullptr);
    KeInitializeMutex(&globalMutex, 0);
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}
