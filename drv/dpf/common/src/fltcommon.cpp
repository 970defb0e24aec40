/*
 * The path filters' shared routines (see fltcommon.h).
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "fltcommon.h"
#include "busframe.h"

/* ---- Driver-wide data ---- */

PDEVICE_OBJECT pGlobBusDvcObj;
PFILE_OBJECT pGlobBusFileObj;

/* Serialises the status-table handshake among the filter's instances: the handshake lends slots of the
   bus's one table to one path at a time, from writing them until they are cleared. */
static KMUTEX mtxGlobHandshake;

/* Guards pGlobBusDvcObj, pGlobBusFileObj and every path's pBaseDriverExt: the bus's table lives as
   long as the bus driver, which may unload once it has left, so nobody reads a table that its
   leaving has cleared. */
static KSPIN_LOCK slGlobBus;

/* The name of the bus's control device, for opening it again when the bus arrives. */
static PCWSTR wszGlobBusName;

/* The bus's announcements (BUS_STATE_ARRIVED, BUS_STATE_LEAVING) and this driver's registration. */
static PCALLBACK_OBJECT pGlobStateCallback;
static PVOID pGlobStateRegistration;

/* Every path of this driver, in the order they were added, guarded by slGlobPaths. A path leaves the
   list in its remove, once no request counts on it any more. */
static LIST_ENTRY leGlobPaths;
static KSPIN_LOCK slGlobPaths;

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

static VOID FltIdentifyDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2);

/* ---- Load, unload, device creation ---- */

/* Opens the bus's control device into the driver-wide pointers; PASSIVE_LEVEL. */
static NTSTATUS FltConnectBus(VOID)
{
    ENT("FltConnectBus: wszGlobBusName %ls\n", wszGlobBusName);
    PFILE_OBJECT pFileObj = NULL;
    PDEVICE_OBJECT pDvcObj = NULL;
    UNICODE_STRING usBusName;
    RtlInitUnicodeString(&usBusName, wszGlobBusName);
    NTSTATUS status = IoGetDeviceObjectPointer(&usBusName, FILE_READ_ATTRIBUTES, &pFileObj, &pDvcObj);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltOpenBusDevice: IoGetDeviceObjectPointer", status);
    } else if (pDvcObj == NULL || pFileObj == NULL) {
        DBG_NULL("FltOpenBusDevice: pGlobBusDvcObj");
        if (pFileObj != NULL) {
            ObDereferenceObject(pFileObj);
        }
        status = STATUS_UNSUCCESSFUL;
    } else {
        KIRQL irql;
        KeAcquireSpinLock(&slGlobBus, &irql);
        pGlobBusFileObj = pFileObj;
        pGlobBusDvcObj = pDvcObj;
        KeReleaseSpinLock(&slGlobBus, irql);
    }
    EXT("FltConnectBus: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Lets go of the bus's control device; the close reaches the bus once no request to it is in flight. */
static VOID FltDisconnectBus(VOID)
{
    ENT("FltDisconnectBus: pGlobBusFileObj 0x%08x\n", DBG_PTR(pGlobBusFileObj));
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    PFILE_OBJECT pFileObj = pGlobBusFileObj;
    pGlobBusFileObj = NULL;
    pGlobBusDvcObj = NULL;
    KeReleaseSpinLock(&slGlobBus, irql);
    if (pFileObj != NULL) {
        ObDereferenceObject(pFileObj);
    }
    EXT("FltDisconnectBus: VOID status\n");
}

static BOOLEAN FltBusConnected(VOID)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    BOOLEAN fConnected = pGlobBusFileObj != NULL;
    KeReleaseSpinLock(&slGlobBus, irql);
    return fConnected;
}

static VOID FltBusStateCallback(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

NTSTATUS FltOpenBusDevice(PCWSTR wszBusName, PCWSTR wszCallbackName)
{
    NTSTATUS status;
    ENT("FltOpenBusDevice: wszBusName %ls\n", wszBusName);

    KeInitializeMutex(&mtxGlobHandshake, 0);
    KeInitializeSpinLock(&slGlobBus);
    KeInitializeSpinLock(&slGlobPaths);
    InitializeListHead(&leGlobPaths);
    wszGlobBusName = wszBusName;

    status = FltConnectBus();
    if (NT_SUCCESS(status)) {
        /* Without the announcements the filter still works; it then finds a new instance of the bus
           only when its paths start again. */
        if (NT_SUCCESS(CmnOpenCallback(wszCallbackName, &pGlobStateCallback))) {
            pGlobStateRegistration = ExRegisterCallback(pGlobStateCallback, FltBusStateCallback, NULL);
            if (pGlobStateRegistration == NULL) {
                DBG_NULL("FltOpenBusDevice: pGlobStateRegistration");
                ObDereferenceObject(pGlobStateCallback);
                pGlobStateCallback = NULL;
            }
        }
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

    /* The registration goes first: once ExUnregisterCallback returns no announcement runs here. */
    if (pGlobStateRegistration != NULL) {
        ExUnregisterCallback(pGlobStateRegistration);
        pGlobStateRegistration = NULL;
    }
    if (pGlobStateCallback != NULL) {
        ObDereferenceObject(pGlobStateCallback);
        pGlobStateCallback = NULL;
    }
    FltDisconnectBus();

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
            pExt->pSelf = pDeviceObject;
            KeInitializeTimer(&pExt->tmIdentify);
            KeInitializeMutex(&pExt->mtxRegister, 0);
            KeInitializeDpc(&pExt->dpcIdentify, FltIdentifyDpc, pDeviceObject);
            ExInterlockedInsertTailList(&leGlobPaths, &pExt->lePath, &slGlobPaths);
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

/* The request holds its own reference to the control device's file object, so the bus's leaving
   may let go of the driver's reference while the request is in flight. */
NTSTATUS FltSendToBus(PDEVICE_OBJECT pDeviceObject, ULONG ulIoctl, PVOID pRecord, ULONG ulSize)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    PDEVICE_OBJECT pBusDvcObj = pGlobBusDvcObj;
    PFILE_OBJECT pBusFileObj = pGlobBusFileObj;
    if (pBusFileObj != NULL) {
        ObReferenceObject(pBusFileObj);
    }
    KeReleaseSpinLock(&slGlobBus, irql);
    if (pBusDvcObj == NULL || pBusFileObj == NULL) {
        DBG_NULL("FltSendToBus: pGlobBusDvcObj");
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pBusDvcObj, ulIoctl, pRecord, ulSize, pRecord, ulSize);
    ObDereferenceObject(pBusFileObj);
    return status;
}

PSCSI_STATUS FltForwardedStatus(PFLT_BASE_EXT pExt, PIRP pIrp)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    PSCSI_STATUS pScsiStatus = STATUS_STRUCT_ALLOCATED(pExt->pBaseDriverExt, pIrp);
    KeReleaseSpinLock(&slGlobBus, irql);
    return pScsiStatus;
}

VOID FltLockRegistration(PFLT_BASE_EXT pExt)
{
    KeWaitForSingleObject(&pExt->mtxRegister, Executive, KernelMode, FALSE, NULL);
}

VOID FltUnlockRegistration(PFLT_BASE_EXT pExt)
{
    KeReleaseMutex(&pExt->mtxRegister, FALSE);
}

/* The path's status table as the lock has it (the bus's leaving clears it on another thread). */
static PIRPS_WITH_STATUS FltStatusTableOf(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    PIRPS_WITH_STATUS pTable = pExt->pBaseDriverExt;
    KeReleaseSpinLock(&slGlobBus, irql);
    return pTable;
}

VOID FltSetStatusTable(PFLT_BASE_EXT pExt, PIRPS_WITH_STATUS pTable)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobBus, &irql);
    pExt->pBaseDriverExt = pTable;
    KeReleaseSpinLock(&slGlobBus, irql);
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
        /* Traced by FltGetSerial. The device did not answer: the path is identified again later. */
        pExt->fIdentifyAgain = TRUE;
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

/* Identification, registration and the handshake of a started path; the status of the handshake
   (STATUS_INSUFFICIENT_RESOURCES when its storage cannot be had). */
static NTSTATUS FltIdentifyAndShare(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    FltLockRegistration(pExt);
    pExt->fFailover = TRUE;
    pExt->fIdentifyAgain = FALSE;
    ULONG ulNumber = pExt->pfnIdentify(pDeviceObject);
    if (FltStatusTableOf(pExt) != NULL) {
        status = FltShareStatusTable(pDeviceObject, ulNumber, pExt->fLendDeviceSlot);
    }
    FltUnlockRegistration(pExt);
    return status;
}

/* Whether a path is started and not being removed; read under the count lock, as the retry reads it
   on a worker thread while Plug and Play changes it. */
static BOOLEAN FltPathStarted(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    BOOLEAN fStarted = !pExt->fRemoving && pExt->ePnp == PNP_STARTED;
    KeReleaseSpinLock(&pExt->slCount, irql);
    return fStarted;
}

static VOID FltArmIdentifyRetry(PDEVICE_OBJECT pDeviceObject);

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
    pExt->pfnIdentify = pfnIdentify;
    pExt->fLendDeviceSlot = fLendDeviceSlot;
    pExt->ulIdentifyTries = 0;
    NTSTATUS shareStatus = FltIdentifyAndShare(pDeviceObject);
    if (shareStatus == STATUS_INSUFFICIENT_RESOURCES) {
        status = shareStatus;
    } else if (pExt->fIdentifyAgain) {
        FltArmIdentifyRetry(pDeviceObject);
    }

    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    EXT("FltStartPath: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Identifying a path again ---- */

/*
 * A device that did not answer at its path's start (a library still initialising, a drive behind a
 * link that was down) registered without its identity. The path is identified again after a wait
 * that doubles each time, until the device answers or the retries are used up. An armed retry holds
 * one count on the path and its own work item, so that the path's stop or remove either cancels the
 * timer (and gives both back) or waits for the retry to finish.
 */
static VOID FltIdentifyWorker(PDEVICE_OBJECT pDeviceObject, PVOID pContext);

static VOID FltIdentifyDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    PDEVICE_OBJECT pDeviceObject = (PDEVICE_OBJECT)pContext;
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    IoQueueWorkItem(pExt->pIdentifyItem, FltIdentifyWorker, DelayedWorkQueue, NULL);
}

static ULONG FltIdentifyRetryLimit(VOID)
{
    ULONG ulValue = FLT_IDENTIFY_RETRIES;
    (VOID)CmnLookupRegistryValue(&ulValue, L"IdentifyRetries", NULL, REG_DWORD);
    return ulValue;
}

/* The device never answered: say so once, with the path's address and the number of tries. */
static VOID FltNotIdentifiedEvent(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    WCHAR wszPath[BUS_PATH_TEXT_CHARS];
    WCHAR wszTries[12];
    BusPathText(wszPath, &pExt->scScsiAddr);
    (VOID)RtlStringCchPrintfW(wszTries, RTL_NUMBER_OF(wszTries), L"%u", pExt->ulIdentifyTries + 1);
    BusTwoParmEvent(pDeviceObject, NULL, FLT_EVT_NOT_IDENTIFIED, wszPath, wszTries);
}

static VOID FltArmIdentifyRetry(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltArmIdentifyRetry: pDeviceObject 0x%08x, ulIdentifyTries %d\n", DBG_PTR(pDeviceObject),
        pExt->ulIdentifyTries);

    if (pExt->ulIdentifyTries >= FltIdentifyRetryLimit()) {
        DBG("FltArmIdentifyRetry: the device did not answer %d identifications, the path stays as it is\n",
            pExt->ulIdentifyTries + 1);
        FltNotIdentifiedEvent(pDeviceObject);
        EXT("FltArmIdentifyRetry: VOID status\n");
        return;
    }
    PIO_WORKITEM pItem = IoAllocateWorkItem(pDeviceObject);
    if (pItem == NULL) {
        DBG_NULL("FltArmIdentifyRetry: pItem");
        EXT("FltArmIdentifyRetry: VOID status\n");
        return;
    }
    if (!FltIncIoCount(pExt)) {
        IoFreeWorkItem(pItem);
        EXT("FltArmIdentifyRetry: VOID status\n");
        return;
    }
    ULONG ulWaitMs = FLT_IDENTIFY_FIRST_MS;
    for (ULONG i = 0; i < pExt->ulIdentifyTries && ulWaitMs < FLT_IDENTIFY_LONGEST_MS; i++) {
        ulWaitMs *= 2;
    }
    if (ulWaitMs > FLT_IDENTIFY_LONGEST_MS) {
        ulWaitMs = FLT_IDENTIFY_LONGEST_MS;
    }
    DBG("FltArmIdentifyRetry: identifying the path again in %d ms\n", ulWaitMs);
    LARGE_INTEGER liDue;
    liDue.QuadPart = -(LONGLONG)ulWaitMs * 10000;
    /* Armed under the count lock, where the remove marks itself: a remove either sees the timer and
       cancels it, or comes first and no timer is set. */
    KIRQL irql;
    BOOLEAN fArmed = FALSE;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    if (!pExt->fRemoving) {
        pExt->pIdentifyItem = pItem;
        KeSetTimer(&pExt->tmIdentify, liDue, &pExt->dpcIdentify);
        fArmed = TRUE;
    }
    KeReleaseSpinLock(&pExt->slCount, irql);
    if (!fArmed) {
        IoFreeWorkItem(pItem);
        FltDecIoCount(pExt);
    }
    EXT("FltArmIdentifyRetry: VOID status\n");
}

/* Takes back a retry that has not fired yet; one that fired finishes on its own. */
static VOID FltCancelIdentifyRetry(PFLT_BASE_EXT pExt)
{
    ENT("FltCancelIdentifyRetry: pExt 0x%08x\n", DBG_PTR(pExt));
    if (KeCancelTimer(&pExt->tmIdentify)) {
        IoFreeWorkItem(pExt->pIdentifyItem);
        pExt->pIdentifyItem = NULL;
        FltDecIoCount(pExt);
    }
    EXT("FltCancelIdentifyRetry: VOID status\n");
}

static VOID FltIdentifyWorker(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltIdentifyWorker: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    IoFreeWorkItem(pExt->pIdentifyItem);
    pExt->pIdentifyItem = NULL;
    pExt->ulIdentifyTries++;
    /* A path that stops or goes meanwhile is identified by its next start, if any. */
    if (FltPathStarted(pExt)) {
        DBG("FltIdentifyWorker: identifying the path again, retry %d\n", pExt->ulIdentifyTries);
        (VOID)FltIdentifyAndShare(pDeviceObject);
        if (pExt->fIdentifyAgain) {
            FltArmIdentifyRetry(pDeviceObject);
        } else {
            DBG("FltIdentifyWorker: the device answered, the path is registered with its identity\n");
        }
    }

    FltDecIoCount(pExt);   /* the armed retry's count: the last touch of the extension */
    EXT("FltIdentifyWorker: VOID status\n");
}

/* ---- The bus's arrival and leaving ---- */

typedef VOID (*PFLT_PATH_ROUTINE)(PDEVICE_OBJECT pDeviceObject);

/* Runs pfnRoutine on every path of the driver that is not being removed, in the order the paths
   came, holding a count on the path while it runs and no lock. */
static VOID FltForEachPath(PFLT_PATH_ROUTINE pfnRoutine)
{
    KIRQL irql;
    KeAcquireSpinLock(&slGlobPaths, &irql);
    PLIST_ENTRY pEntry = leGlobPaths.Flink;
    while (pEntry != &leGlobPaths) {
        PFLT_BASE_EXT pExt = CONTAINING_RECORD(pEntry, FLT_BASE_EXT, lePath);
        if (!FltIncIoCount(pExt)) {
            pEntry = pEntry->Flink;
            continue;
        }
        KeReleaseSpinLock(&slGlobPaths, irql);
        pfnRoutine(pExt->pSelf);
        KeAcquireSpinLock(&slGlobPaths, &irql);
        /* The path stays in the list while it is counted: its remove unlinks it only after. */
        pEntry = pEntry->Flink;
        FltDecIoCount(pExt);
    }
    KeReleaseSpinLock(&slGlobPaths, irql);
}

/* The bus leaves: the base driver lets go of the bus's status table before the bus can unload. */
static VOID FltForgetStatusTable(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltForgetStatusTable: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    KeWaitForSingleObject(&mtxGlobHandshake, Executive, KernelMode, FALSE, NULL);
    if (FltStatusTableOf(pExt) != NULL) {
        FltSetStatusTable(pExt, NULL);
        (VOID)FltSetExtInBase(pDeviceObject);
    }
    KeReleaseMutex(&mtxGlobHandshake, FALSE);
    EXT("FltForgetStatusTable: VOID status\n");
}

/* The bus arrived: a started path registers again and hands the new table to its base driver. */
static VOID FltRejoinBus(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    ENT("FltRejoinBus: pDeviceObject 0x%08x, ePnp %s\n", DBG_PTR(pDeviceObject), DbgPnpStateName(pExt->ePnp));
    if (pExt->ePnp == PNP_STARTED && pExt->pfnIdentify != NULL) {
        FltLockRegistration(pExt);
        ULONG ulNumber = FltRegisterAgain(pDeviceObject);
        if (FltStatusTableOf(pExt) != NULL) {
            (VOID)FltShareStatusTable(pDeviceObject, ulNumber, pExt->fLendDeviceSlot);
        }
        FltUnlockRegistration(pExt);
    }
    EXT("FltRejoinBus: VOID status\n");
}

/*
 * The bus's announcements, in the thread of its start or removal at PASSIVE_LEVEL. Leaving: every
 * path forgets the bus's table, then the control device is let go, so that it and the bus driver
 * can go. Arriving: a filter that lost its bus opens the control device again and registers every
 * started path, in the order they came, before the bus's start ends; a filter that still has its
 * bus (the bus was only stopped) has nothing to do.
 */
static VOID FltBusStateCallback(PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    ULONG ulState = (ULONG)(ULONG_PTR)pArgument1;
    ENT("FltBusStateCallback: ulState %d\n", ulState);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        DBG("FltBusStateCallback: announcement at IRQL %d ignored\n", (int)KeGetCurrentIrql());
    } else if (ulState == BUS_STATE_LEAVING) {
        FltForEachPath(FltForgetStatusTable);
        FltDisconnectBus();
    } else if (ulState == BUS_STATE_ARRIVED && !FltBusConnected()) {
        if (NT_SUCCESS(FltConnectBus())) {
            FltForEachPath(FltRejoinBus);
        }
    }
    EXT("FltBusStateCallback: VOID status\n");
}

NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_BASE_EXT pExt = FltBaseExt(pDeviceObject);
    PVOID pTable = FltStatusTableOf(pExt);
    ENT("FltSetExtInBase: pDeviceObject 0x%08x, pBaseDriverExt 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pTable));

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
    const ULONGLONG ullSlots = fLendDeviceSlot ? 0x3ULL : 0x1ULL;
    KIRQL irql;
    ENT("FltShareStatusTable: pDeviceObject 0x%08x, ulNumber %d, fLendDeviceSlot %d\n", DBG_PTR(pDeviceObject),
        ulNumber, fLendDeviceSlot);

    KeWaitForSingleObject(&mtxGlobHandshake, Executive, KernelMode, FALSE, NULL);

    /* Read under the handshake lock: a bus that left meanwhile has taken its table back. */
    PIRPS_WITH_STATUS pTable = FltStatusTableOf(pExt);
    PULONG pulNumber = pTable != NULL ? (PULONG)ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), FLT_TAG) : NULL;
    if (pTable == NULL) {
        DBG("FltShareStatusTable: the bus left, nothing to hand over\n");
    } else if (pulNumber == NULL) {
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

/* Back to the state before the last change (a refused query, a cancel). */
static VOID FltRestorePnpState(PFLT_BASE_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    pExt->ePnp = pExt->ePnpPrev;
    KeReleaseSpinLock(&pExt->slCount, irql);
}

VOID FltSetPnpState(PFLT_BASE_EXT pExt, ULONG eNewState)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    pExt->ePnpPrev = pExt->ePnp;
    pExt->ePnp = eNewState;
    KeReleaseSpinLock(&pExt->slCount, irql);
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
        FltRestorePnpState(pExt);
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
        FltRestorePnpState(pExt);
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
    FltCancelIdentifyRetry(pExt);
    KeWaitForSingleObject(&pExt->evRemove, Executive, KernelMode, FALSE, NULL);
    KIRQL irql;
    KeAcquireSpinLock(&slGlobPaths, &irql);
    RemoveEntryList(&pExt->lePath);
    KeReleaseSpinLock(&slGlobPaths, irql);

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
    ENT("FltIrpMnStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    /* Drain: give back this request's count, wait until nothing else is in progress, take it again.
       A retry of the identification that has not fired is taken back: the next start identifies. */
    FltCancelIdentifyRetry(pExt);
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
