/*
 * vorkabuslower: a lower filter for the tape bus's root device in the bus tests. It sits between the
 * bus's control device and the root-enumerated device below it and passes everything down, except
 * one probe control code that it answers itself with a status nobody else uses; a test that sees
 * that status knows the bus passed the request down. It also counts the set-power requests that
 * reach it and answers that count to BUSLOWER_IOCTL_SET_POWER_COUNT.
 */
#include <ntddk.h>
#include "buslower_ioctl.h"

typedef struct _BUSLOWER_EXT {
    PDEVICE_OBJECT pNextLower;
} BUSLOWER_EXT, *PBUSLOWER_EXT;

static LONG lSetPowerCount;

static NTSTATUS BusLowerDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PBUSLOWER_EXT pExt = (PBUSLOWER_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_OBJECT pNextLower = pExt->pNextLower;

    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        pIrpStack->Parameters.DeviceIoControl.IoControlCode == BUSLOWER_IOCTL_PROBE) {
        pIrp->IoStatus.Status = BUSLOWER_PROBE_STATUS;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return BUSLOWER_PROBE_STATUS;
    }
    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        pIrpStack->Parameters.DeviceIoControl.IoControlCode == BUSLOWER_IOCTL_SET_POWER_COUNT) {
        NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
        pIrp->IoStatus.Information = 0;
        if (pIrpStack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
            *(PULONG)pIrp->AssociatedIrp.SystemBuffer = (ULONG)InterlockedCompareExchange(&lSetPowerCount, 0, 0);
            pIrp->IoStatus.Information = sizeof(ULONG);
            status = STATUS_SUCCESS;
        }
        pIrp->IoStatus.Status = status;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return status;
    }
    if (pIrpStack->MajorFunction == IRP_MJ_POWER) {
        if (pIrpStack->MinorFunction == IRP_MN_SET_POWER) InterlockedIncrement(&lSetPowerCount);
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        return PoCallDriver(pNextLower, pIrp);
    }
    if (pIrpStack->MajorFunction == IRP_MJ_PNP && pIrpStack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(pIrp);
        NTSTATUS status = IoCallDriver(pNextLower, pIrp);
        IoDetachDevice(pNextLower);
        IoDeleteDevice(pDeviceObject);
        return status;
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pNextLower, pIrp);
}

static NTSTATUS BusLowerAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pFilter = NULL;
    NTSTATUS status = IoCreateDevice(pDriverObject, sizeof(BUSLOWER_EXT), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     0, FALSE, &pFilter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PBUSLOWER_EXT pExt = (PBUSLOWER_EXT)pFilter->DeviceExtension;
    pExt->pNextLower = IoAttachDeviceToDeviceStack(pFilter, pPhysicalDeviceObject);
    if (pExt->pNextLower == NULL) {
        IoDeleteDevice(pFilter);
        return STATUS_NO_SUCH_DEVICE;
    }
    pFilter->Flags |= pExt->pNextLower->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
    pFilter->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID BusLowerUnload(PDRIVER_OBJECT pDriverObject)
{
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = BusLowerDispatch;
    }
    pDriverObject->DriverExtension->AddDevice = BusLowerAddDevice;
    pDriverObject->DriverUnload = BusLowerUnload;
    return STATUS_SUCCESS;
}
