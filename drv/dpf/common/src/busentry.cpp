/*
 * What both bus drivers do the same way when they load and start: the driver-wide status table, the
 * control device with its link, the start and failure events, the configuration flags, the bus-wide
 * list lock, the SCSI address and device number answers of a virtual device.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "busframe.h"

NTSTATUS BusAllocateStatusTable(PDRIVER_OBJECT pDriverObject, ULONG ulId)
{
    PIRPS_WITH_STATUS pIrpsWithStatus = NULL;
    NTSTATUS status = IoAllocateDriverObjectExtension(pDriverObject, (PVOID)(ULONG_PTR)ulId, sizeof(IRPS_WITH_STATUS),
                                                      (PVOID *)&pIrpsWithStatus);
    if (NT_SUCCESS(status) && pIrpsWithStatus == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        DBG("DriverEntry: cannot allocate extension.\n");
        BusInitFailedEvent(pDriverObject, status);
        return status;
    }
    RtlZeroMemory(pIrpsWithStatus, sizeof(IRPS_WITH_STATUS));
    KeInitializeSpinLock(&pIrpsWithStatus->slLock);
    return STATUS_SUCCESS;
}

NTSTATUS BusCreateControlDevice(PDRIVER_OBJECT pDriverObject, ULONG cbExtension, PCWSTR wszName, PCWSTR wszLink,
                                PDEVICE_OBJECT *ppFdo)
{
    UNICODE_STRING usDeviceName;
    UNICODE_STRING usLinkName;
    PDEVICE_OBJECT pFdo = NULL;
    *ppFdo = NULL;
    RtlInitUnicodeString(&usDeviceName, wszName);
    NTSTATUS status = IoCreateDevice(pDriverObject, cbExtension, &usDeviceName, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &pFdo);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusAddDevice: IoCreateDevice", status);
        return status;
    }
    /* Administrators only: from user mode the control device answers only the device listing. */
    status = CmnSecureDevice(pFdo, 0);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(pFdo);
        return status;
    }
    RtlZeroMemory(pFdo->DeviceExtension, cbExtension);
    RtlInitUnicodeString(&usLinkName, wszLink);
    status = IoCreateSymbolicLink(&usLinkName, &usDeviceName);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusAddDevice: IoCreateSymbolicLink", status);
        IoDeleteDevice(pFdo);
        return status;
    }
    *ppFdo = pFdo;
    return STATUS_SUCCESS;
}

/* The callback object of the bus's state; written at driver entry, released at unload. */
static PCALLBACK_OBJECT pGlobStateCallback;

NTSTATUS BusLoad(PDRIVER_OBJECT pDriverObject, ULONG ulId, PCWSTR wszCallbackName)
{
    ENT("BusLoad: pDriverObject 0x%08x, ulId 0x%08x\n", DBG_PTR(pDriverObject), ulId);
    /* The status table lives as long as the driver object: every virtual device and every filter that
       registered a path holds its address. */
    NTSTATUS status = BusAllocateStatusTable(pDriverObject, ulId);
    if (NT_SUCCESS(status)) {
        BusSetEntryPoints(pDriverObject);
        (VOID)CmnOpenCallback(wszCallbackName, &pGlobStateCallback);
    }
    EXT("BusLoad: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusAnnounceState(ULONG ulState)
{
    ENT("BusAnnounceState: ulState %d\n", ulState);
    if (pGlobStateCallback != NULL) {
        ExNotifyCallback(pGlobStateCallback, (PVOID)(ULONG_PTR)ulState, NULL);
    }
    EXT("BusAnnounceState: VOID status\n");
}

VOID BusReleaseStateCallback(VOID)
{
    ENT("BusReleaseStateCallback: pGlobStateCallback 0x%08x\n", DBG_PTR(pGlobStateCallback));
    if (pGlobStateCallback != NULL) {
        ObDereferenceObject(pGlobStateCallback);
        pGlobStateCallback = NULL;
    }
    EXT("BusReleaseStateCallback: VOID status\n");
}

NTSTATUS BusAttachControlDevice(PDEVICE_OBJECT pFdo, PDEVICE_OBJECT pPhysicalDeviceObject, PUNICODE_STRING pusLinkName,
                                PERESOURCE prsPdoList, PDEVICE_OBJECT *ppNextLowerDevice)
{
    NTSTATUS status = STATUS_SUCCESS;
    ENT("BusAttachControlDevice: pFdo 0x%08x, pPhysicalDeviceObject 0x%08x\n", DBG_PTR(pFdo),
        DBG_PTR(pPhysicalDeviceObject));
    ExInitializeResourceLite(prsPdoList);
    *ppNextLowerDevice = IoAttachDeviceToDeviceStack(pFdo, pPhysicalDeviceObject);
    if (*ppNextLowerDevice == NULL) {
        DBG_NULL("BusAddDevice: pNextLowerDevice");
        status = STATUS_NO_SUCH_DEVICE;
        BusDeleteControlDevice(pFdo, NULL, pusLinkName, prsPdoList);
    } else {
        /* Power requests are passed down at PASSIVE_LEVEL like the device below expects. */
        pFdo->Flags |= DO_POWER_PAGABLE;
        pFdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    EXT("BusAttachControlDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusDeleteControlDevice(PDEVICE_OBJECT pFdo, PDEVICE_OBJECT pNextLowerDevice, PUNICODE_STRING pusLinkName,
                            PERESOURCE prsPdoList)
{
    ENT("BusDeleteControlDevice: pFdo 0x%08x, pNextLowerDevice 0x%08x\n", DBG_PTR(pFdo), DBG_PTR(pNextLowerDevice));
    IoDeleteSymbolicLink(pusLinkName);
    if (pNextLowerDevice != NULL) {
        IoDetachDevice(pNextLowerDevice);
    }
    ExDeleteResourceLite(prsPdoList);
    IoDeleteDevice(pFdo);
    EXT("BusDeleteControlDevice: VOID status\n");
}

VOID BusAddDeviceEvent(PDRIVER_OBJECT pDriverObject, PCWSTR wszControlName, NTSTATUS status)
{
    ENT("BusAddDeviceEvent: pDriverObject 0x%08x, status 0x%08x\n", DBG_PTR(pDriverObject), (ULONG)status);
    if (NT_SUCCESS(status)) {
        BusStartedEvent(pDriverObject, wszControlName);
    } else {
        BusInitFailedEvent(pDriverObject, status);
    }
    EXT("BusAddDeviceEvent: VOID status\n");
}

/* The event log is readable by every user: the driver and its bus device are named, not given by
   address, which would tell where the kernel keeps them. */
VOID BusStartedEvent(PDRIVER_OBJECT pDriverObject, PCWSTR wszControlName)
{
    ENT("BusStartedEvent: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));
    WCHAR wszDriver[64];
    wszDriver[0] = 0;
    if (pDriverObject->DriverName.Buffer != NULL) {
        (VOID)RtlStringCchCopyNW(wszDriver, RTL_NUMBER_OF(wszDriver), pDriverObject->DriverName.Buffer,
                                 pDriverObject->DriverName.Length / sizeof(WCHAR));
    }
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_STARTED, wszDriver, wszControlName);
    EXT("BusStartedEvent: VOID status\n");
}

VOID BusInitFailedEvent(PDRIVER_OBJECT pDriverObject, NTSTATUS status)
{
    WCHAR wszStatus[16];
    RtlStringCchPrintfW(wszStatus, RTL_NUMBER_OF(wszStatus), L"0x%08x", (ULONG)status);
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_INIT_FAILED, wszStatus, NULL);
}

BOOLEAN BusReadFlag(PCWSTR wszName)
{
    ULONG ulValue = 0;
    NTSTATUS status = CmnLookupRegistryValue(&ulValue, wszName, NULL, REG_DWORD);
    return NT_SUCCESS(status) && ulValue != 0;
}

VOID BusLockPdoListExclusive(PERESOURCE prsPdoList)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(prsPdoList, TRUE);
}

VOID BusLockPdoListShared(PERESOURCE prsPdoList)
{
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(prsPdoList, TRUE);
}

VOID BusUnlockPdoList(PERESOURCE prsPdoList)
{
    ExReleaseResourceLite(prsPdoList);
    KeLeaveCriticalRegion();
}

NTSTATUS BusPdoAnswerScsiAddress(PIRP pIrp, PKSPIN_LOCK pslPathList, const SCSI_ADDRESS *pScsiAddr,
                                 PULONG_PTR pulInformation)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    *pulInformation = 0;
    if (ulOut < sizeof(SCSI_ADDRESS) || pIrp->AssociatedIrp.SystemBuffer == NULL) {
        DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOCTL_SCSI_GET_ADDRESS", (int)ulOut,
            (int)sizeof(SCSI_ADDRESS));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    SCSI_ADDRESS scAddr;
    KIRQL irql;
    KeAcquireSpinLock(pslPathList, &irql);
    scAddr = *pScsiAddr;
    KeReleaseSpinLock(pslPathList, irql);
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scAddr, sizeof(scAddr));
    DBG("BusPdoDeviceControl: PDO, completing IRP\n");
    *pulInformation = sizeof(SCSI_ADDRESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoAnswerDeviceNumber(PIRP pIrp, DEVICE_TYPE ulDeviceType, ULONG ulNumber, PULONG_PTR pulInformation)
{
    ENT("BusPdoAnswerDeviceNumber: pIrp 0x%08x, ulDeviceType 0x%x, ulNumber %u\n", DBG_PTR(pIrp),
        (unsigned)ulDeviceType, (unsigned)ulNumber);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    *pulInformation = 0;
    if (ulOut < sizeof(STORAGE_DEVICE_NUMBER) || pIrp->AssociatedIrp.SystemBuffer == NULL) {
        DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOCTL_STORAGE_GET_DEVICE_NUMBER", (int)ulOut,
            (int)sizeof(STORAGE_DEVICE_NUMBER));
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        STORAGE_DEVICE_NUMBER number;
        number.DeviceType = ulDeviceType;
        number.DeviceNumber = ulNumber;
        number.PartitionNumber = (ULONG)-1;
        RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &number, sizeof(number));
        *pulInformation = sizeof(STORAGE_DEVICE_NUMBER);
    }
    EXT("BusPdoAnswerDeviceNumber: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
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

VOID BusReadFailoverFlags(PUCHAR pfFailoverDisabled, PUCHAR pfEventsEnabled, PCSTR szKind)
{
    *pfFailoverDisabled = BusReadFlag(L"FailoverDisabled");
    if (*pfFailoverDisabled) {
        DBG("BusIrpMnStartDevice: ** %s IS DISABLED BY USER REQUEST **\n", szKind);
    } else {
        DBG("BusIrpMnStartDevice: No reg entry to disable, %s ENABLED.\n", szKind);
    }
    *pfEventsEnabled = BusReadFlag(L"FailoverEventsEnabled");
    if (*pfEventsEnabled) {
        DBG("BusIrpMnStartDevice: Bus Event Logging Enabled\n");
    } else {
        DBG("BusIrpMnStartDevice: No reg entry to enable, Bus Event Logging Disabled.\n");
    }
}

NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG("BusPdoSystemControl: Complete request\n");
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    EXT("BusPdoSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusSetPnpState(PDEVICE_EXT_HEADER pHeader, PNP_STATE eNewState)
{
    pHeader->ePrevPnpState = pHeader->ePnpState;
    pHeader->ePnpState = eNewState;
}

NTSTATUS BusPassDownPnp(PDEVICE_OBJECT pNextLowerDevice, PIRP pIrp)
{
    DBG("BusDispatchPnp: Sending IRP down.\n");
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pNextLowerDevice, pIrp);
}

NTSTATUS BusPassPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusPassPower: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    PoStartNextPowerIrp(pIrp);
    if (pIrpStack == NULL) {
        DBG_NULL("BusDispatchPower: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else if (pHeader->ePnpState == PNP_ABSENT) {
        DBG("BusDispatchPower: %s, state == PNP_ABSENT, completing IRP\n",
            DbgPowerMinorFunctionName(pIrpStack->MinorFunction));
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else if (pHeader->fIsFdo) {
        DBG("BusDispatchPower: %s, state == 0x%08x, sending IRP down\n",
            DbgPowerMinorFunctionName(pIrpStack->MinorFunction), (ULONG)pHeader->ePnpState);
        IoSkipCurrentIrpStackLocation(pIrp);
        status = PoCallDriver(CmnGetNextLowerDevice(pDeviceObject), pIrp);
    } else {
        /* A virtual device has no device below it and no power state of its own: it agrees to power
           changes and leaves every other power request as it came. */
        UCHAR ucMinor = pIrpStack->MinorFunction;
        status = (ucMinor == IRP_MN_SET_POWER || ucMinor == IRP_MN_QUERY_POWER) ? STATUS_SUCCESS
                                                                                : pIrp->IoStatus.Status;
        DBG("BusDispatchPower: virtual device, completing IRP with 0x%08x\n", (ULONG)status);
        pIrp->IoStatus.Status = status;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    EXT("BusPassPower: status 0x%08x\n", (ULONG)status);
    return status;
}
