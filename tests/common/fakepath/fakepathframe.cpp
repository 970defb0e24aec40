/*
 * The shared frame of the fake path drivers (see fakepathframe.h): device objects, requests to the
 * bus, dispatch, entry and unload.
 */
#include "fakepathframe.h"

static PDEVICE_OBJECT g_pControl;
static PDEVICE_OBJECT g_pBusDevice;
static PFILE_OBJECT g_pBusFile;
static KSPIN_LOCK g_slPaths;
static PIRPS_WITH_STATUS volatile g_pTable;
static PDEVICE_OBJECT g_apOccupied[4];

NTSTATUS FakeComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

PDEVICE_OBJECT FakeTakePath(ULONG ulPath)
{
    PDEVICE_OBJECT pPath = NULL;
    KIRQL irql;
    if (ulPath >= g_FakeDriver.ulMaxPaths) {
        return NULL;
    }
    KeAcquireSpinLock(&g_slPaths, &irql);
    pPath = g_FakeDriver.apPaths[ulPath];
    if (pPath != NULL) {
        ObReferenceObject(pPath);
    }
    KeReleaseSpinLock(&g_slPaths, irql);
    return pPath;
}

NTSTATUS FakeSendToBus(ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulCode, g_pBusDevice, pBuffer, ulIn, pBuffer, ulOut, FALSE, &event,
                                              &iosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(g_pBusDevice, pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS FakeCreatePaths(ULONG ulFirst, ULONG ulCount)
{
    if (ulFirst >= g_FakeDriver.ulMaxPaths || ulCount > g_FakeDriver.ulMaxPaths - ulFirst) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = ulFirst; i < ulFirst + ulCount; i++) {
        PDEVICE_OBJECT pPath = NULL;
        NTSTATUS status = IoCreateDevice(g_pControl->DriverObject, g_FakeDriver.ulExtensionSize, NULL,
                                         g_FakeDriver.dtPath, 0, FALSE, &pPath);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        RtlZeroMemory(pPath->DeviceExtension, g_FakeDriver.ulExtensionSize);
        ((FAKE_PATH_HEADER *)pPath->DeviceExtension)->ulPath = i;
        pPath->Flags |= DO_BUFFERED_IO;
        pPath->Flags &= ~DO_DEVICE_INITIALIZING;
        KIRQL irql;
        KeAcquireSpinLock(&g_slPaths, &irql);
        PDEVICE_OBJECT pOld = g_FakeDriver.apPaths[i];
        g_FakeDriver.apPaths[i] = pPath;
        KeReleaseSpinLock(&g_slPaths, irql);
        if (pOld != NULL) {
            IoDeleteDevice(pOld);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS FakeDeletePaths(ULONG ulFirst, ULONG ulCount)
{
    for (ULONG i = ulFirst; i < ulFirst + ulCount && i < g_FakeDriver.ulMaxPaths; i++) {
        KIRQL irql;
        KeAcquireSpinLock(&g_slPaths, &irql);
        PDEVICE_OBJECT pPath = g_FakeDriver.apPaths[i];
        g_FakeDriver.apPaths[i] = NULL;
        KeReleaseSpinLock(&g_slPaths, irql);
        if (pPath != NULL) {
            IoDeleteDevice(pPath);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS FakeOccupy(PWCHAR pszName, ULONG cchName, BOOLEAN fRemove)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    UNICODE_STRING usName;
    RtlZeroMemory(&usName, sizeof(usName));
    if (!fRemove && pszName != NULL && cchName > 0) {
        pszName[cchName - 1] = 0;
        RtlInitUnicodeString(&usName, pszName);
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_apOccupied); i++) {
        if (fRemove) {
            if (g_apOccupied[i] != NULL) {
                IoDeleteDevice(g_apOccupied[i]);
                g_apOccupied[i] = NULL;
                status = STATUS_SUCCESS;
            }
        } else if (g_apOccupied[i] == NULL) {
            status = IoCreateDevice(g_pControl->DriverObject, g_FakeDriver.ulExtensionSize, &usName,
                                    g_FakeDriver.dtPath, 0, FALSE, &g_apOccupied[i]);
            if (NT_SUCCESS(status)) {
                RtlZeroMemory(g_apOccupied[i]->DeviceExtension, g_FakeDriver.ulExtensionSize);
                g_apOccupied[i]->Flags &= ~DO_DEVICE_INITIALIZING;
            } else {
                g_apOccupied[i] = NULL;
            }
            break;
        }
    }
    return status;
}

VOID FakeRememberTable(PIRPS_WITH_STATUS pTable)
{
    if (pTable != NULL) {
        InterlockedExchangePointer((PVOID volatile *)&g_pTable, pTable);
    }
}

PSCSI_STATUS FakeStatusRecord(PIRP pIrp)
{
    PIRPS_WITH_STATUS pTable =
        (PIRPS_WITH_STATUS)InterlockedCompareExchangePointer((PVOID volatile *)&g_pTable, NULL, NULL);
    return STATUS_STRUCT_ALLOCATED(pTable, pIrp);
}

static NTSTATUS FakeDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (pDeviceObject != g_pControl) {
        return FakePathRequest(pDeviceObject, pIrp);
    }
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    return FakeControlRequest(pIrp, pIrpStack->Parameters.DeviceIoControl.IoControlCode,
                              pIrp->AssociatedIrp.SystemBuffer, pIrpStack->Parameters.DeviceIoControl.InputBufferLength,
                              pIrpStack->Parameters.DeviceIoControl.OutputBufferLength);
}

static VOID FakeUnload(PDRIVER_OBJECT pDriverObject)
{
    UNREFERENCED_PARAMETER(pDriverObject);
    FakeDeletePaths(0, g_FakeDriver.ulMaxPaths);
    FakeOccupy(NULL, 0, TRUE);
    if (g_pBusFile != NULL) {
        ObDereferenceObject(g_pBusFile);
        g_pBusFile = NULL;
    }
    if (g_pControl != NULL) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
    }
}

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNREFERENCED_PARAMETER(pRegistryPath);
    KeInitializeSpinLock(&g_slPaths);
    g_pTable = NULL;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = FakeDispatch;
    }
    pDriverObject->DriverUnload = FakeUnload;

    /* Like a path filter: no bus control device, no driver. */
    UNICODE_STRING usBus;
    RtlInitUnicodeString(&usBus, g_FakeDriver.pszBusDevice);
    NTSTATUS status = IoGetDeviceObjectPointer(&usBus, FILE_READ_ATTRIBUTES, &g_pBusFile, &g_pBusDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING usControl;
    RtlInitUnicodeString(&usControl, g_FakeDriver.pszControlDevice);
    status = IoCreateDevice(pDriverObject, g_FakeDriver.ulExtensionSize, &usControl, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &g_pControl);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(g_pBusFile);
        g_pBusFile = NULL;
        g_pControl = NULL;
        return status;
    }
    RtlZeroMemory(g_pControl->DeviceExtension, g_FakeDriver.ulExtensionSize);
    g_pControl->Flags |= DO_BUFFERED_IO;
    g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
