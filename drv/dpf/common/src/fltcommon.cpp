/*
 * The path filters' shared routines (see fltcommon.h).
 */
#include <ntddk.h>
#include "fltcommon.h"

/* ---- Driver-wide data ---- */

PDEVICE_OBJECT pGlobBusDvcObj;
PFILE_OBJECT pGlobBusFileObj;

/* Serialises the status-table handshake among the filter's instances: the handshake lends slots of the
   bus's one table to one path at a time, from writing them until they are cleared. */
static KMUTEX mtxGlobHandshake;

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    if (pDeviceObject == NULL || pDeviceObject->DeviceExtension == NULL) {
        return NULL;
    }
    return FltBaseExt(pDeviceObject)->pLowerDevice;
}

/* ---- Request counting ---- */

/*
 * The count lock is a spin lock, so that a power request, which may arrive at DISPATCH_LEVEL when
 * the stack below is not power-pageable, can be counted without a wait. Once the remove has begun
 * no request is counted in any more: it would reach a lower device that is detached or gone.
 */
BOOLEAN FltIncIoCount(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    BOOLEAN fEntered = FALSE;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    if (!pExt->fRemoving) {
        pExt->ulIoCount++;
        if (pExt->ulIoCount == 2) {
            KeClearEvent(&pExt->evIdle);
        }
        fEntered = TRUE;
    }
    KeReleaseSpinLock(&pExt->slCount, irql);
    return fEntered;
}

/* The decrement itself; the caller holds the count lock. */
static LONG FltDecIoCountLocked(PFLT_BASE_EXT pExt)
{
    LONG lCount = --pExt->ulIoCount;
    if (lCount == 1) {
        KeSetEvent(&pExt->evIdle, IO_NO_INCREMENT, FALSE);
    }
    return lCount;
}

/* Once the count is below 1 the remove has begun and nothing counts in any more; the remove event
   lets the remove delete the device, extension and locks included. So it is set last, after every
   lock of the extension is released: the thread that sets it must not touch the extension again. */
static VOID FltSignalRemoveIfLast(PFLT_BASE_EXT pExt, LONG lCount)
{
    if (lCount < 1) {
        KeSetEvent(&pExt->evRemove, IO_NO_INCREMENT, FALSE);
    }
}

LONG FltDecIoCount(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    LONG lCount = FltDecIoCountLocked(pExt);
    KeReleaseSpinLock(&pExt->slCount, irql);
    FltSignalRemoveIfLast(pExt, lCount);
    return lCount;
}

/* Marks the remove as begun; requests that arrive from now on are refused. */
static VOID FltBeginRemove(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    pExt->fRemoving = TRUE;
    KeReleaseSpinLock(&pExt->slCount, irql);
}

BOOLEAN FltEnterDispatch(PFLT_BASE_EXT pExt)
{
    ExAcquireFastMutex(&pExt->fmDispatch);
    BOOLEAN fEntered = FltIncIoCount(pExt);
    ExReleaseFastMutex(&pExt->fmDispatch);
    return fEntered;
}

VOID FltLeaveDispatch(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    ExAcquireFastMutex(&pExt->fmDispatch);
    KeAcquireSpinLock(&pExt->slCount, &irql);
    LONG lCount = FltDecIoCountLocked(pExt);
    KeReleaseSpinLock(&pExt->slCount, irql);
    ExReleaseFastMutex(&pExt->fmDispatch);
    FltSignalRemoveIfLast(pExt, lCount);
}

NTSTATUS FltRefuseRemoved(PCSTR szRoutine, PIRP pIrp)
{
    DBG("%s: path is being removed, request refused.\n", szRoutine);
    pIrp->IoStatus.Status = STATUS_DELETE_PENDING;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
}

/* ---- Load, unload, device creation ---- */

NTSTATUS FltOpenBusDevice(PCWSTR wszBusName)
{
    NTSTATUS status;
    ENT("FltOpenBusDevice: wszBusName %ls\n", wszBusName);

    KeInitializeMutex(&mtxGlobHandshake, 0);

    UNICODE_STRING usBusName;
    RtlInitUnicodeString(&usBusName, wszBusName);
    status = IoGetDeviceObjectPointer(&usBusName, FILE_READ_ATTRIBUTES, &pGlobBusFileObj, &pGlobBusDvcObj);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltOpenBusDevice: IoGetDeviceObjectPointer", status);
        pGlobBusFileObj = NULL;
        pGlobBusDvcObj = NULL;
    } else if (pGlobBusDvcObj == NULL || pGlobBusFileObj == NULL) {
        DBG_NULL("FltOpenBusDevice: pGlobBusDvcObj");
        if (pGlobBusFileObj != NULL) {
            ObDereferenceObject(pGlobBusFileObj);
            pGlobBusFileObj = NULL;
        }
        pGlobBusDvcObj = NULL;
        status = STATUS_UNSUCCESSFUL;
    }

    EXT("FltOpenBusDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID FltSetEntryPoints(PDRIVER_OBJECT pDriverObject)
{
    ENT("FltSetEntryPoints: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = FltPassThrough;
    }
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = FltDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = FltDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = FltDispatchRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = FltDispatchWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FltDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FltDispatchInternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = FltDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FltDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = FltDispatchPnp;
    pDriverObject->DriverExtension->AddDevice = FltAddDevice;
    pDriverObject->DriverUnload = FltUnload;

    EXT("FltSetEntryPoints: VOID status\n");
}

VOID FltUnload(PDRIVER_OBJECT pDriverObject)
{
    ENT("FltUnload: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));

    if (pGlobBusFileObj != NULL) {
        ObDereferenceObject(pGlobBusFileObj);
        pGlobBusFileObj = NULL;
        pGlobBusDvcObj = NULL;
    }

    EXT("FltUnload: VOID status\n");
}

NTSTATUS FltCreateFilterDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject, ULONG ulExtSize,
                               DEVICE_TYPE ulDeviceType, PDEVICE_OBJECT *ppDeviceObject)
{
    NTSTATUS status;
    PDEVICE_OBJECT pDeviceObject = NULL;
    ENT("FltCreateFilterDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x, ulExtSize %d\n",
        DBG_PTR(pDriverObject), DBG_PTR(pPhysicalDeviceObject), ulExtSize);

    *ppDeviceObject = NULL;
    status = IoCreateDevice(pDriverObject, ulExtSize, NULL, ulDeviceType, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &pDeviceObject);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltCreateFilterDevice: IoCreateDevice", status);
    } else {
        PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
        RtlZeroMemory(pExt, ulExtSize);
        pExt->ePnpPrev = pExt->ePnp;
        pExt->ePnp = PNP_NOT_STARTED;
        pExt->ulIoCount = 1;
        KeInitializeEvent(&pExt->evIdle, SynchronizationEvent, TRUE);
        KeInitializeEvent(&pExt->evRemove, SynchronizationEvent, FALSE);
        KeInitializeSpinLock(&pExt->slCount);
        ExInitializeFastMutex(&pExt->fmDispatch);

        pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
        if (pExt->pLowerDevice == NULL) {
            DBG_NULL("FltCreateFilterDevice: pLowerDevice");
            IoDeleteDevice(pDeviceObject);
            status = STATUS_UNSUCCESSFUL;
        } else {
            pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
            /* What the I/O and power managers read off the top of the stack comes from the device
               below: how buffers are passed, and how power requests are sent. Nothing else of it
               belongs to a filter (a name, exclusivity, a registered shutdown). */
            pDeviceObject->Flags |= pExt->pLowerDevice->Flags &
                                    (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
            pDeviceObject->DeviceType = pExt->pLowerDevice->DeviceType;
            pDeviceObject->Characteristics |= pExt->pLowerDevice->Characteristics;
            pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
            *ppDeviceObject = pDeviceObject;
        }
    }

    EXT("FltCreateFilterDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Synchronous requests ---- */

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                          ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize)
{
    NTSTATUS status;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    ENT("FltSendIoctlSync: pDeviceObject 0x%08x, pTarget 0x%08x, ulIoctl 0x%08x, in %d, out %d\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pTarget), ulIoctl, ulInputSize, ulOutputSize);

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&iosb, sizeof(iosb));
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pInput, ulInputSize, pOutput, ulOutputSize, FALSE,
                                              &event, &iosb);
    if (pIrp == NULL) {
        DBG_NULL("FltSendIoctlSync: pIrp");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(pTarget, pIrp);
        if (status == STATUS_PENDING || status == STATUS_WAIT_1 || status == STATUS_WAIT_2 ||
            status == STATUS_WAIT_3) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = iosb.Status;
        }
    }

    EXT("FltSendIoctlSync: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltSendToBus(PDEVICE_OBJECT pDeviceObject, ULONG ulIoctl, PVOID pRecord, ULONG ulSize)
{
    if (pGlobBusDvcObj == NULL) {
        DBG_NULL("FltSendToBus: pGlobBusDvcObj");
        return STATUS_NO_SUCH_DEVICE;
    }
    return FltSendIoctlSync(pDeviceObject, pGlobBusDvcObj, ulIoctl, pRecord, ulSize, pRecord, ulSize);
}

NTSTATUS FltPassDown(PFLT_BASE_EXT pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

NTSTATUS FltCountedPassDown(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x, %s\n", szRoutine, DBG_PTR(pDeviceObject), DBG_PTR(pIrp),
        DbgMajorFunctionName(IoGetCurrentIrpStackLocation(pIrp)->MajorFunction));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved(szRoutine, pIrp);
    } else {
        status = FltPassDown(pExt, pIrp);
        FltLeaveDispatch(pExt);
    }
    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
    return status;
}

/*
 * The package's private requests (the registration records, the status table's address, the
 * preempt, the reservation key, the identification the bus asks of a base driver) are between its
 * drivers. An application that opens a path device directly reaches the filter first; none of them
 * may pass from it, whatever the base driver below would do with them.
 */
BOOLEAN FltPrivateFromUser(PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrp->RequestorMode == KernelMode || pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FALSE;
    }
    ULONG ulType = DEVICE_TYPE_FROM_CTL_CODE(pIrpStack->Parameters.DeviceIoControl.IoControlCode);
    return ulType == VORKA_TAPE_DEVICE_TYPE || ulType == VORKA_CHGR_DEVICE_TYPE;
}

NTSTATUS FltRefusePrivate(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x, a private request from user mode\n", szRoutine,
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    FltCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)STATUS_INVALID_DEVICE_REQUEST);
    return STATUS_INVALID_DEVICE_REQUEST;
}

VOID FltCompleteRequest(PIRP pIrp, NTSTATUS status)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

/* ---- Identification ---- */

NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PCHAR szSerial)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltGetSerial: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    RtlZeroMemory(szSerial, SERIAL_NUMBER_LENGTH);
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_SERIAL_NUMBER, szSerial,
                                       SERIAL_NUMBER_LENGTH, szSerial, SERIAL_NUMBER_LENGTH);

    EXT("FltGetSerial: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PSCSI_ADDRESS pScsiAddr)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltGetScsi: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    SCSI_ADDRESS scAddr;
    RtlZeroMemory(&scAddr, sizeof(scAddr));
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_SCSI_ADDRESS, &scAddr,
                                       sizeof(scAddr), &scAddr, sizeof(scAddr));
    if (NT_SUCCESS(status)) {
        *pScsiAddr = scAddr;
    }

    EXT("FltGetScsi: status 0x%08x\n", (ULONG)status);
    return status;
}

BOOLEAN FltStoreSerial(PDEVICE_OBJECT pDeviceObject)
{
    BOOLEAN fStored = FALSE;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltStoreSerial: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    CHAR szSerial[SERIAL_NUMBER_LENGTH + 1];
    RtlZeroMemory(szSerial, sizeof(szSerial));
    if (!NT_SUCCESS(FltGetSerial(pDeviceObject, szSerial))) {
        /* Traced by FltGetSerial. */
    } else if (FltSerialIsBlank(szSerial)) {
        DBG("FltStoreSerial: blank serial number, path runs without failover\n");
    } else {
        RtlCopyMemory(pExt->szSN, szSerial, SERIAL_NUMBER_LENGTH);
        pExt->szSN[SERIAL_NUMBER_LENGTH] = '\0';
        fStored = TRUE;
    }

    EXT("FltStoreSerial: status 0x%08x\n", (ULONG)fStored);
    return fStored;
}

BOOLEAN FltFailoverSupported(PDEVICE_OBJECT pDeviceObject)
{
    BOOLEAN fSupported;
    ENT("FltFailoverSupported: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    ULONG ulValue = 1;
    NTSTATUS status = CmnLookupRegistryValue(&ulValue, L"FailoverDriver", NULL);
    if (NT_SUCCESS(status) && ulValue == 0) {
        DBG("FltFailoverSupported: ** " VORKA_FAILOVER_KIND " IS DISABLED BY REGISTRY ENTRY **");
        fSupported = FALSE;
    } else {
        DBG("FltFailoverSupported: %ls was %s with value %ul, " VORKA_FAILOVER_KIND " ENABLED.", L"FailoverDriver",
            NT_SUCCESS(status) ? "found" : "not found", ulValue);
        fSupported = TRUE;
    }

    EXT("FltFailoverSupported: status 0x%08x\n", (ULONG)fSupported);
    return fSupported;
}

/* ---- The status-table handshake ---- */

NTSTATUS FltStartPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PFLT_IDENTIFY_PATH pfnIdentify, BOOLEAN fLendDeviceSlot)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltStartPath: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    NTSTATUS status = CmnForwardIrpSync(pDeviceObject, pIrp);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltIrpMnStartDevice: CmnForwardIrpSync", status);
        FltCompleteRequest(pIrp, status);
        EXT("FltStartPath: status 0x%08x\n", (ULONG)status);
        return status;
    }

    FltSetPnpState(pExt, PNP_STARTED);
    pExt->fFailover = TRUE;
    ULONG ulNumber = pfnIdentify(pDeviceObject);
    if (pExt->pBaseDriverExt != NULL) {
        NTSTATUS shareStatus = FltShareStatusTable(pDeviceObject, ulNumber, fLendDeviceSlot);
        if (shareStatus == STATUS_INSUFFICIENT_RESOURCES) {
            status = shareStatus;
        }
    }

    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    EXT("FltStartPath: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltSetExtInBase: pDeviceObject 0x%08x, pBaseDriverExt 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pExt->pBaseDriverExt));

    PVOID pTable = pExt->pBaseDriverExt;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_SET_EXT_IN_BASE, &pTable,
                                       sizeof(pTable), &pTable, sizeof(pTable));

    EXT("FltSetExtInBase: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The bus has one table for all paths, so the whole exchange runs under a driver-wide lock: two paths
   starting at once would otherwise overwrite each other's slots and a base driver could record the
   wrong device number. The status of IOC_SET_EXT_IN_BASE itself does not matter to the start. */
NTSTATUS FltShareStatusTable(PDEVICE_OBJECT pDeviceObject, ULONG ulNumber, BOOLEAN fLendDeviceSlot)
{
    NTSTATUS status = STATUS_SUCCESS;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    PIRPS_WITH_STATUS pTable = pExt->pBaseDriverExt;
    const ULONGLONG ullSlots = fLendDeviceSlot ? 0x3ULL : 0x1ULL;
    KIRQL irql;
    ENT("FltShareStatusTable: pDeviceObject 0x%08x, pTable 0x%08x, ulNumber %d, fLendDeviceSlot %d\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pTable), ulNumber, fLendDeviceSlot);

    KeWaitForSingleObject(&mtxGlobHandshake, Executive, KernelMode, FALSE, NULL);

    PULONG pulNumber = (PULONG)ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), FLT_TAG);
    if (pulNumber == NULL) {
        DBG_NULL("FltShareStatusTable: pulNumber");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        *pulNumber = ulNumber;

        KeAcquireSpinLock(&pTable->slLock, &irql);
        pTable->Slots[0].pScsiStatus = (PSCSI_STATUS)pulNumber;
        if (fLendDeviceSlot) {
            pTable->Slots[1].pScsiStatus = (PSCSI_STATUS)pDeviceObject;
        }
        pTable->ullBitmap |= ullSlots;
        KeReleaseSpinLock(&pTable->slLock, irql);

        FltSetExtInBase(pDeviceObject);

        KeAcquireSpinLock(&pTable->slLock, &irql);
        pTable->Slots[0].pScsiStatus = NULL;
        if (fLendDeviceSlot) {
            pTable->Slots[1].pScsiStatus = NULL;
        }
        pTable->ullBitmap &= ~ullSlots;
        KeReleaseSpinLock(&pTable->slLock, irql);

        ExFreePoolWithTag(pulNumber, FLT_TAG);
    }

    KeReleaseMutex(&mtxGlobHandshake, FALSE);

    EXT("FltShareStatusTable: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Power ---- */

NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltDispatchPower: pDeviceObject 0x%08x, pIrp 0x%08x, %s\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp),
        DbgPowerMinorFunctionName(IoGetCurrentIrpStackLocation(pIrp)->MinorFunction));

    /* No fast mutex here: below a stack that is not power-pageable this runs at DISPATCH_LEVEL. */
    PoStartNextPowerIrp(pIrp);
    if (!FltIncIoCount(pExt)) {
        status = FltRefuseRemoved("FltDispatchPower", pIrp);
        EXT("FltDispatchPower: status 0x%08x\n", (ULONG)status);
        return status;
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    status = PoCallDriver(pExt->pLowerDevice, pIrp);
    FltDecIoCount(pExt);
    EXT("FltDispatchPower: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Plug and Play ---- */

VOID FltSetPnpState(PFLT_BASE_EXT pExt, ULONG eNewState)
{
    pExt->ePnpPrev = pExt->ePnp;
    pExt->ePnp = eNewState;
}

NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pIrpStack->MinorFunction;
    ENT("FltDispatchPnp: pDeviceObject 0x%08x, pIrp 0x%08x, %s\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp),
        DbgPnpMinorFunctionName(ucMinor));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved("FltDispatchPnp", pIrp);
        EXT("FltDispatchPnp: status 0x%08x\n", (ULONG)status);
        return status;
    }

    switch (ucMinor) {
    case IRP_MN_START_DEVICE:
        status = FltIrpMnStartDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = FltIrpMnQueryRemoveDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        /* The remove gives back this request's count and the device's own; the device is gone after it. */
        status = FltIrpMnRemoveDevice(pDeviceObject, pIrp);
        EXT("FltDispatchPnp: status 0x%08x\n", (ULONG)status);
        return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = FltIrpMnCancelRemoveDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = FltIrpMnStopDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        status = FltIrpMnQueryStopDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = FltIrpMnCancelStopDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = FltIrpMnDeviceUsageNotification(pDeviceObject, pIrp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = FltIrpMnSurpriseRemoval(pDeviceObject, pIrp);
        break;
    default:
        status = FltPassDown(pExt, pIrp);
        break;
    }

    FltLeaveDispatch(pExt);
    EXT("FltDispatchPnp: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Query remove and query stop: the bus may refuse, which restores the state and fails the query. */
static NTSTATUS FltQueryTransition(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG eNewState)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x\n", szRoutine, DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    FltSetPnpState(pExt, eNewState);
    status = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(status)) {
        DBG("%s: bus driver refused with 0x%08x\n", szRoutine, (ULONG)status);
        pExt->ePnp = pExt->ePnpPrev;
        FltCompleteRequest(pIrp, status);
    } else {
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        status = FltPassDown(pExt, pIrp);
    }

    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
    return status;
}

/* Cancel remove and cancel stop: the lower driver goes first, then the state comes back. */
static NTSTATUS FltCancelTransition(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ePendingState)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x\n", szRoutine, DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    status = CmnSendIrpSync(pDeviceObject, pIrp);
    if (pExt->ePnp == ePendingState) {
        pExt->ePnp = pExt->ePnpPrev;
    }
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus)) {
        DBG("%s: Device notification failed with status 0x%08x!", szRoutine, (ULONG)notifyStatus);
    }

    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
    return status;
}

NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltQueryTransition("FltIrpMnQueryRemoveDevice", pDeviceObject, pIrp, PNP_REMOVE_PENDING);
}

NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltQueryTransition("FltIrpMnQueryStopDevice", pDeviceObject, pIrp, PNP_STOP_PENDING);
}

NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCancelTransition("FltIrpMnCancelRemoveDevice", pDeviceObject, pIrp, PNP_REMOVE_PENDING);
}

NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCancelTransition("FltIrpMnCancelStopDevice", pDeviceObject, pIrp, PNP_STOP_PENDING);
}

NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltIrpMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    /* This request's count and the device's own reference go; then wait until every request still in
       progress has left. */
    ExAcquireFastMutex(&pExt->fmDispatch);
    FltBeginRemove(pExt);
    FltDecIoCount(pExt);
    FltDecIoCount(pExt);
    ExReleaseFastMutex(&pExt->fmDispatch);
    KeWaitForSingleObject(&pExt->evRemove, Executive, KernelMode, FALSE, NULL);

    FltSetPnpState(pExt, PNP_ABSENT);
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus)) {
        DBG("FltIrpMnRemoveDevice: Device notification failed with status 0x%08x!", (ULONG)notifyStatus);
    }

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT pLowerDevice = pExt->pLowerDevice;
    IoSkipCurrentIrpStackLocation(pIrp);
    status = IoCallDriver(pLowerDevice, pIrp);
    IoDetachDevice(pLowerDevice);
    IoDeleteDevice(pDeviceObject);

    EXT("FltIrpMnRemoveDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltIrpMnStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x, ulIoCount %d\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp), pExt->ulIoCount);

    /* Drain: give back this request's count, wait until nothing else is in progress, take it again. */
    FltDecIoCount(pExt);
    KeWaitForSingleObject(&pExt->evIdle, Executive, KernelMode, FALSE, NULL);
    /* A stop never overlaps a remove of the same device: the count is taken again. */
    (VOID)FltIncIoCount(pExt);

    FltSetPnpState(pExt, PNP_STOPPED);
    FltNotifyPnp(pDeviceObject);

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    status = FltPassDown(pExt, pIrp);

    EXT("FltIrpMnStopDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltIrpMnDeviceUsageNotification: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));

    DBG("FltIrpMnDeviceUsageNotification: IRP not handled, set success");
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = FltPassDown(pExt, pIrp);

    EXT("FltIrpMnDeviceUsageNotification: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltIrpMnSurpriseRemoval: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    FltSetPnpState(pExt, PNP_SURPRISE_REMOVE);
    NTSTATUS notifyStatus = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(notifyStatus)) {
        DBG("FltIrpMnSurpriseRemoval: Device notification failed with status 0x%08x!", (ULONG)notifyStatus);
    }
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = FltPassDown(pExt, pIrp);

    EXT("FltIrpMnSurpriseRemoval: status 0x%08x\n", (ULONG)status);
    return status;
}
