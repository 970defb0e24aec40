/*
 * Tape path-failover bus driver: load and unload, the control device \Device\VorkaTBusDvc, the
 * dispatch table shared by the control device and the virtual tape devices, the control codes of the
 * control device, and the system event log records.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

/* ---- Load and unload ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS status;
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));

    /* The status table lives as long as the driver object: every virtual device and every filter that
       registered a path holds its address. */
    PIRPS_WITH_STATUS pIrpsWithStatus = NULL;
    status = IoAllocateDriverObjectExtension(pDriverObject, (PVOID)(ULONG_PTR)TAPE_BUS_DRVEXT_ID,
                                             sizeof(IRPS_WITH_STATUS), (PVOID *)&pIrpsWithStatus);
    if (!NT_SUCCESS(status) || pIrpsWithStatus == NULL) {
        if (NT_SUCCESS(status)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        DBG("DriverEntry: cannot allocate extension.\n");
        WCHAR wszStatus[16];
        RtlStringCchPrintfW(wszStatus, RTL_NUMBER_OF(wszStatus), L"0x%08x", (ULONG)status);
        BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_INIT_FAILED, wszStatus, NULL);
    } else {
        RtlZeroMemory(pIrpsWithStatus, sizeof(IRPS_WITH_STATUS));
        KeInitializeSpinLock(&pIrpsWithStatus->slLock);
        BusSetEntryPoints(pDriverObject);
        status = STATUS_SUCCESS;
    }

    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusSetEntryPoints(PDRIVER_OBJECT pDriverObject)
{
    ENT("BusSetEntryPoints: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = BusSendToFilter;
    }
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = BusDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = BusDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = BusDispatchRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = BusDispatchWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = BusDispatchCleanup;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = BusDispatchPnP;
    pDriverObject->DriverExtension->AddDevice = BusAddDevice;
    pDriverObject->DriverUnload = BusUnload;

    EXT("BusSetEntryPoints: VOID status\n");
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    NTSTATUS status;
    PDEVICE_OBJECT pFdo = NULL;
    PBUS_EXT pExt = NULL;
    BOOLEAN fLinkCreated = FALSE;
    ENT("BusAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n",
        DBG_PTR(pDriverObject), DBG_PTR(pPhysicalDeviceObject));

    UNICODE_STRING usDeviceName;
    RtlInitUnicodeString(&usDeviceName, TAPE_BUS_DEVICE_NAME);
    status = IoCreateDevice(pDriverObject, sizeof(BUS_EXT), &usDeviceName, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &pFdo);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusAddDevice: IoCreateDevice", status);
        pFdo = NULL;
    } else {
        pExt = (PBUS_EXT)pFdo->DeviceExtension;
        RtlZeroMemory(pExt, sizeof(BUS_EXT));
        RtlInitUnicodeString(&pExt->usLinkName, TAPE_BUS_LINK_NAME);
        status = IoCreateSymbolicLink(&pExt->usLinkName, &usDeviceName);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("BusAddDevice: IoCreateSymbolicLink", status);
        } else {
            fLinkCreated = TRUE;
        }
    }

    if (NT_SUCCESS(status)) {
        pExt->fIsFdo = TRUE;
        pExt->fLoadBalancing = TRUE;
        pExt->pDeviceObject = pFdo;
        pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
        pExt->ePrevPnpState = PNP_ABSENT;
        pExt->ePnpState = PNP_NOT_STARTED;
        pExt->ulIoCount = 1;
        KeInitializeEvent(&pExt->evIdle, SynchronizationEvent, TRUE);
        KeInitializeEvent(&pExt->evRemove, SynchronizationEvent, FALSE);
        ExInitializeFastMutex(&pExt->fmIoCount);
        ExInitializeFastMutex(&pExt->fmPnp);
        KeInitializeSpinLock(&pExt->slAdapterList);

        pExt->pNextLowerDevice = IoAttachDeviceToDeviceStack(pFdo, pPhysicalDeviceObject);
        if (pExt->pNextLowerDevice == NULL) {
            DBG_NULL("BusAddDevice: pNextLowerDevice");
            status = STATUS_NO_SUCH_DEVICE;
        } else {
            /* Power requests are passed down at PASSIVE_LEVEL like the device below expects. */
            pFdo->Flags |= DO_POWER_PAGABLE;
            pFdo->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }

    if (NT_SUCCESS(status)) {
        WCHAR wszDriver[24];
        WCHAR wszFdo[24];
        RtlStringCchPrintfW(wszDriver, RTL_NUMBER_OF(wszDriver), L"0x%p", (PVOID)pDriverObject);
        RtlStringCchPrintfW(wszFdo, RTL_NUMBER_OF(wszFdo), L"0x%p", (PVOID)pFdo);
        BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_STARTED, wszDriver, wszFdo);
    } else {
        WCHAR wszStatus[16];
        RtlStringCchPrintfW(wszStatus, RTL_NUMBER_OF(wszStatus), L"0x%08x", (ULONG)status);
        BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_INIT_FAILED, wszStatus, NULL);
        if (fLinkCreated) {
            IoDeleteSymbolicLink(&pExt->usLinkName);
        }
        if (pFdo != NULL) {
            IoDeleteDevice(pFdo);
        }
    }

    EXT("BusAddDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusUnload(PDRIVER_OBJECT pDriverObject)
{
    ENT("BusUnload: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));
    /* The control device and its link went with the PnP removal of the device. */
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_UNLOADING, NULL, NULL);
    EXT("BusUnload: VOID status\n");
}

PIRPS_WITH_STATUS BusGetIrpsWithStatus(PDRIVER_OBJECT pDriverObject)
{
    return (PIRPS_WITH_STATUS)IoGetDriverObjectExtension(pDriverObject, (PVOID)(ULONG_PTR)TAPE_BUS_DRVEXT_ID);
}

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader != NULL && pHeader->fIsFdo) {
        return ((PBUS_EXT)pHeader)->pNextLowerDevice;
    }
    return NULL;   /* virtual devices are not attached to anything */
}

NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN BusIsControlDevice(PDEVICE_OBJECT pDeviceObject)
{
    return ((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension)->fIsFdo ? TRUE : FALSE;
}

/* ---- Dispatch routines ---- */

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchCreate: pDeviceObject 0x%08x, pIrp 0x%08x, version %s, built %s %s\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), BUS_VERSION_TEXT, __DATE__, __TIME__);

    if (BusIsControlDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    } else {
        status = BusPdoCreate(pDeviceObject, pIrp);
    }

    EXT("BusDispatchCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    if (BusIsControlDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    } else {
        status = BusPdoClose(pDeviceObject, pIrp);
    }

    EXT("BusDispatchClose: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Read and write of a virtual device go to its worker threads; the control device carries no data. */
static NTSTATUS BusDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (BusIsControlDevice(pDeviceObject)) {
        return BusSendToFilter(pDeviceObject, pIrp);
    }
    NTSTATUS status = BusPdoQueueIrp(pDeviceObject, pIrp, BusSendToFilter);
    if (status != STATUS_PENDING) {
        DBG_FAILED("BusDispatchReadWrite: BusPdoQueueIrp", status);
        BusCompleteRequest(pIrp, status, 0);
    }
    return status;
}

NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchRead: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusDispatchReadWrite(pDeviceObject, pIrp);
    EXT("BusDispatchRead: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchWrite: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusDispatchReadWrite(pDeviceObject, pIrp);
    EXT("BusDispatchWrite: status 0x%08x\n", (ULONG)status);
    return status;
}

/* IOC_QUERY_DEVICES, answered the same on the control device and on every virtual device. */
static NTSTATUS BusQueryDevicesRequest(PDEVICE_OBJECT pControlDevice, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    ULONG ulLength = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    if (ulLength < QUERY_DEVICES_MIN_OUTPUT) {
        DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_QUERY_DEVICES", (int)ulLength,
            (int)QUERY_DEVICES_MIN_OUTPUT);
        return BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    if (pControlDevice == NULL) {
        DBG_NULL("BusQueryDevicesRequest: pControlDevice");
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }
    return BusQueryDevices(pControlDevice, pIrp);
}

/* The control codes of the control device. */
static NTSTATUS BusControlDeviceIoControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    switch (ulCode) {
    case IOC_REGISTER:
    case IOC_NOTIFY:
        /* Registration records carry device object pointers that the bus later sends requests to:
           only the path filters, which build these requests in the kernel, may send them. */
        if (pIrp->RequestorMode != KernelMode) {
            DBG("BusDispatchDeviceControl: %s from user mode.  Access denied.\n",
                ulCode == IOC_REGISTER ? "IOC_REGISTER" : "IOC_NOTIFY");
            status = BusCompleteRequest(pIrp, STATUS_ACCESS_DENIED, 0);
        } else if (ulCode == IOC_REGISTER) {
            if (ulInput < sizeof(REG_DVC)) {
                DBG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_REGISTER", (int)ulInput, (int)sizeof(REG_DVC));
                status = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
            } else if (ulOutput < sizeof(REG_DVC)) {
                /* The answer is a whole REG_DVC; a shorter output buffer would be overrun by the copy
                   back to the caller. */
                DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_REGISTER", (int)ulOutput, (int)sizeof(REG_DVC));
                status = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
            } else {
                status = BusAddPath(pDeviceObject, pIrp);
                BusCompleteRequest(pIrp, status, sizeof(REG_DVC));
            }
        } else {
            if (ulInput < sizeof(NFY_DVC)) {
                DBG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_NOTIFY", (int)ulInput, (int)sizeof(NFY_DVC));
                status = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
            } else {
                PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
                switch (pNfyDvc->ulType) {
                case NFY_TYPE_PNP:
                    status = BusNotifyPnp(pDeviceObject, pIrp);
                    break;
                case NFY_TYPE_IO:
                    status = BusNotifyIo(pDeviceObject, pIrp);
                    break;
                default:
                    DBG("BusDispatchDeviceControl: unknown notify type 0x%x\n", (unsigned)pNfyDvc->ulType);
                    DBG_ASSERT(!"Unreachable");
                    status = STATUS_SUCCESS;
                    break;
                }
                BusCompleteRequest(pIrp, status, 0);
            }
        }
        break;

    case IOC_QUERY_DEVICES:
        status = BusQueryDevicesRequest(pDeviceObject, pIrp, pIrpStack);
        break;

    default:
        DBG("Unhandled IOCTL.\n");
        IoSkipCurrentIrpStackLocation(pIrp);
        status = IoCallDriver(pExt->pNextLowerDevice, pIrp);
        break;
    }
    return status;
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBG_NULL("BusDispatchDeviceControl: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else if (BusIsControlDevice(pDeviceObject)) {
        /* Counted, so that a stop or remove of the control device waits for the request. */
        BusIncIoCount(pDeviceObject);
        status = BusControlDeviceIoControl(pDeviceObject, pIrp, pIrpStack);
        BusDecIoCount(pDeviceObject);
    } else {
        PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
        ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        if (ulCode == IOC_QUERY_DEVICES) {
            PDEVICE_OBJECT pControlDevice = pPdoExt->pBusExt != NULL ? pPdoExt->pBusExt->pDeviceObject : NULL;
            status = BusQueryDevicesRequest(pControlDevice, pIrp, pIrpStack);
        } else {
            BOOLEAN fSptd = ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
            status = STATUS_SUCCESS;
            if (fSptd) {
                /* The caller's data buffer can only be locked in the caller's own context. */
                status = BusPdoLockSptdBuffer(pDeviceObject, pIrp);
            }
            if (NT_SUCCESS(status)) {
                status = BusPdoQueueIrp(pDeviceObject, pIrp, BusPdoDeviceControl);
                if (status != STATUS_PENDING) {
                    DBG_FAILED("BusDispatchDeviceControl: BusPdoQueueIrp", status);
                    if (fSptd) {
                        BusPdoDequeueMdl(pDeviceObject, pIrp);
                    }
                    BusCompleteRequest(pIrp, status, 0);
                }
            }
        }
    }

    EXT("BusDispatchDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchInternalDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    EXT("BusDispatchInternalDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchCleanup: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    EXT("BusDispatchCleanup: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    if (BusIsControlDevice(pDeviceObject)) {
        PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
        IoSkipCurrentIrpStackLocation(pIrp);
        status = IoCallDriver(pExt->pNextLowerDevice, pIrp);
    } else {
        status = BusPdoSystemControl(pDeviceObject, pIrp);
    }

    EXT("BusDispatchSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    if (BusIsControlDevice(pDeviceObject)) {
        DBG("BusSendToFilter: Not handled for FDO.\n");
        status = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = BusPdoSendToFilter(pDeviceObject, pIrp);
    }

    EXT("BusSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Path registration ---- */
/*
 * Not implemented yet: path registration, notification, the device query and persistent names come
 * with the virtual tape devices. Until then these handlers refuse every request with
 * STATUS_NOT_IMPLEMENTED; no path is registered and no device is reported.
 */

NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusAddPath: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusAddPath: not implemented.\n");
    EXT("BusAddPath: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusNotifyPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusNotifyPnp: not implemented.\n");
    EXT("BusNotifyPnp: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BusNotifyIo(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusNotifyIo: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusNotifyIo: not implemented.\n");
    EXT("BusNotifyIo: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusQueryDevices: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusQueryDevices: not implemented.\n");
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_NOT_IMPLEMENTED, 0);
    EXT("BusQueryDevices: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusQueryForPersistentNames(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusQueryForPersistentNames: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    DBG("BusQueryForPersistentNames: not implemented.\n");
    EXT("BusQueryForPersistentNames: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
}

VOID BusDeletePersistentNames(struct _PERSISTENT_NAME **ppPersistentNames)
{
    ENT("BusDeletePersistentNames: ppPersistentNames 0x%08x\n", DBG_PTR(ppPersistentNames));
    /* No name is ever loaded yet, so the list is always empty. */
    if (ppPersistentNames != NULL) {
        DBG_ASSERT(*ppPersistentNames == NULL);
        *ppPersistentNames = NULL;
    }
    EXT("BusDeletePersistentNames: VOID status\n");
}

/* ---- End of path registration ---- */
