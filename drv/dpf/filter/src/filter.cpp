/*
 * vorkatflt: the tape path filter (see filter.h for its role).
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "filter.h"

/* ---- Driver-wide data ---- */

/* The bus control device and the file object that keeps it open; written once at driver entry. */
static PDEVICE_OBJECT pGlobBusDvcObj;
static PFILE_OBJECT pGlobBusFileObj;

/* Serialises the status-table handshake among the filter's instances: the handshake lends slots 0 and 1
   of the bus's one table to one path at a time, from writing them until they are cleared. */
static KMUTEX mtxGlobHandshake;

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    if (pDeviceObject == NULL || pDeviceObject->DeviceExtension == NULL) {
        return NULL;
    }
    return ((PFLT_EXT)pDeviceObject->DeviceExtension)->pLowerDevice;
}

/* ---- Request counting ---- */

/*
 * The count lock is a spin lock, so that a power request, which may arrive at DISPATCH_LEVEL when
 * the stack below is not power-pageable, can be counted without a wait. Once the remove has begun
 * no request is counted in any more: it would reach a lower device that is detached or gone.
 * Returns FALSE for such a request.
 */
static BOOLEAN FltIncIoCount(PFLT_EXT pExt)
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

/* Returns the count after the decrement. */
static LONG FltDecIoCount(PFLT_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    LONG lCount = --pExt->ulIoCount;
    if (lCount == 1) {
        KeSetEvent(&pExt->evIdle, IO_NO_INCREMENT, FALSE);
    }
    if (lCount < 1) {
        KeSetEvent(&pExt->evRemove, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pExt->slCount, irql);
    return lCount;
}

/* Marks the remove as begun; requests that arrive from now on are refused. */
static VOID FltBeginRemove(PFLT_EXT pExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pExt->slCount, &irql);
    pExt->fRemoving = TRUE;
    KeReleaseSpinLock(&pExt->slCount, irql);
}

/* A dispatch routine's count on entry and exit, taken under the dispatch lock. FALSE: the path is
   being removed and the request must not go down. */
static BOOLEAN FltEnterDispatch(PFLT_EXT pExt)
{
    ExAcquireFastMutex(&pExt->fmDispatch);
    BOOLEAN fEntered = FltIncIoCount(pExt);
    ExReleaseFastMutex(&pExt->fmDispatch);
    return fEntered;
}

static VOID FltLeaveDispatch(PFLT_EXT pExt)
{
    ExAcquireFastMutex(&pExt->fmDispatch);
    FltDecIoCount(pExt);
    ExReleaseFastMutex(&pExt->fmDispatch);
}

/* Completes a request that reached a path being removed, without touching the device below. */
static NTSTATUS FltRefuseRemoved(PCSTR szRoutine, PIRP pIrp)
{
    DBG("%s: path is being removed, request refused.\n", szRoutine);
    pIrp->IoStatus.Status = STATUS_DELETE_PENDING;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
}

/* ---- Load, unload, AddDevice ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS status;
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));

    FltSetEntryPoints(pDriverObject);
    KeInitializeMutex(&mtxGlobHandshake, 0);

    UNICODE_STRING usBusName;
    RtlInitUnicodeString(&usBusName, TAPE_BUS_DEVICE_NAME);
    status = IoGetDeviceObjectPointer(&usBusName, FILE_READ_ATTRIBUTES, &pGlobBusFileObj, &pGlobBusDvcObj);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("DriverEntry: IoGetDeviceObjectPointer", status);
        pGlobBusFileObj = NULL;
        pGlobBusDvcObj = NULL;
    } else if (pGlobBusDvcObj == NULL || pGlobBusFileObj == NULL) {
        DBG_NULL("DriverEntry: pGlobBusDvcObj");
        if (pGlobBusFileObj != NULL) {
            ObDereferenceObject(pGlobBusFileObj);
            pGlobBusFileObj = NULL;
        }
        pGlobBusDvcObj = NULL;
        status = STATUS_UNSUCCESSFUL;
    }

    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
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

NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    NTSTATUS status;
    PDEVICE_OBJECT pDeviceObject = NULL;
    ENT("FltAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n", DBG_PTR(pDriverObject),
        DBG_PTR(pPhysicalDeviceObject));

    status = IoCreateDevice(pDriverObject, sizeof(FLT_EXT), NULL, FLT_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &pDeviceObject);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltAddDevice: IoCreateDevice", status);
    } else {
        PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
        RtlZeroMemory(pExt, sizeof(FLT_EXT));
        pExt->ePnpPrev = pExt->ePnp;
        pExt->ePnp = PNP_NOT_STARTED;
        pExt->ulIoCount = 1;
        KeInitializeEvent(&pExt->evIdle, SynchronizationEvent, TRUE);
        KeInitializeEvent(&pExt->evRemove, SynchronizationEvent, FALSE);
        KeInitializeSpinLock(&pExt->slCount);
        ExInitializeFastMutex(&pExt->fmDispatch);

        pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
        if (pExt->pLowerDevice == NULL) {
            DBG_NULL("FltAddDevice: pLowerDevice");
            IoDeleteDevice(pDeviceObject);
            status = STATUS_UNSUCCESSFUL;
        } else {
            pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
            pExt->fExclusive = TRUE;
            RtlFillMemory(pExt->szSN, SERIAL_NUMBER_LENGTH, '0');
            pExt->szSN[SERIAL_NUMBER_LENGTH] = '\0';
            RtlFillMemory(pExt->szWwnn, 16, '0');
            pExt->szWwnn[16] = '\0';
            pDeviceObject->Flags = pExt->pLowerDevice->Flags;
            pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }

    EXT("FltAddDevice: status 0x%08x\n", (ULONG)status);
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

/* Passes the request to the base driver unchanged; the caller's count stays until it returns. */
static NTSTATUS FltPassDown(PFLT_EXT pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

static VOID FltCompleteRequest(PIRP pIrp, NTSTATUS status)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

/* ---- Identification ---- */

NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject, PUCHAR pInquiry)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltGetInquiry: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    RtlZeroMemory(pInquiry, STANDARD_INQUIRY_LENGTH);
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_STANDARD_INQUIRY, pInquiry,
                                       STANDARD_INQUIRY_LENGTH, pInquiry, STANDARD_INQUIRY_LENGTH);
    if (NT_SUCCESS(status)) {
        CHAR szProduct[17];
        RtlCopyMemory(szProduct, pInquiry + 16, 16);
        szProduct[16] = '\0';
        DBG("FltGetInquiry: IOC_GET_STANDARD_INQUIRY succeeded for %s", szProduct);
    }

    EXT("FltGetInquiry: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PCHAR szSerial)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltGetSerial: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    RtlZeroMemory(szSerial, SERIAL_NUMBER_LENGTH);
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_SERIAL_NUMBER, szSerial,
                                       SERIAL_NUMBER_LENGTH, szSerial, SERIAL_NUMBER_LENGTH);

    EXT("FltGetSerial: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PSCSI_ADDRESS pScsiAddr)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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

NTSTATUS FltGetWwnnString(PUCHAR pDeviceIdPage, PCHAR szWwnn)
{
    static const CHAR szHex[] = "0123456789abcdef";
    NTSTATUS status = STATUS_SUCCESS;
    ENT("FltGetWwnnString: pDeviceIdPage 0x%08x, szWwnn 0x%08x\n", DBG_PTR(pDeviceIdPage), DBG_PTR(szWwnn));

    /* The index names byte 1 of a designation descriptor (association and designator type); the first
       descriptor follows the 4-byte page header. */
    LONG iIndex = 5;
    LONG iPrevIndex = -1;
    BOOLEAN fFound = FALSE;
    while (iIndex < DEVICE_IDENTIFICATION_PAGE_LENGTH && iIndex > iPrevIndex) {
        if ((pDeviceIdPage[iIndex] & 0x3F) == 3) {
            fFound = TRUE;
            break;
        }
        iPrevIndex = iIndex;
        if (iIndex + OFFSET_FROM_INDEX_TO_LENGTH < DEVICE_IDENTIFICATION_PAGE_LENGTH) {
            iIndex += pDeviceIdPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH] + 4;
        } else {
            break;
        }
    }

    LONG iLength = 0;
    if (fFound) {
        DBG_ASSERT(iIndex + OFFSET_FROM_INDEX_TO_LENGTH < DEVICE_IDENTIFICATION_PAGE_LENGTH);
        iLength = pDeviceIdPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH];
    }
    if (!fFound || iLength == 0 || iIndex + 3 + iLength > DEVICE_IDENTIFICATION_PAGE_LENGTH) {
        DBG("FltGetWwnnString: Invalid index into device ID.  ww_name invalid.");
        status = STATUS_DATA_ERROR;
    } else if (iLength > 8) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PUCHAR pDesignator = pDeviceIdPage + iIndex + 3;
        for (LONG i = 0; i < iLength; i++) {
            szWwnn[2 * i] = szHex[pDesignator[i] >> 4];
            szWwnn[2 * i + 1] = szHex[pDesignator[i] & 0x0F];
        }
        szWwnn[2 * iLength] = '\0';
    }

    EXT("FltGetWwnnString: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltStorePage0x83Data: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    PUCHAR pPage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_IDENTIFICATION_PAGE_LENGTH, FLT_TAG);
    if (pPage == NULL) {
        DBG_NULL("FltStorePage0x83Data: pPage");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(pPage, DEVICE_IDENTIFICATION_PAGE_LENGTH);
        status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_DEVICE_ID_PAGE, pPage,
                                  DEVICE_IDENTIFICATION_PAGE_LENGTH, pPage, DEVICE_IDENTIFICATION_PAGE_LENGTH);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("FltStorePage0x83Data: IOC_GET_DEVICE_ID_PAGE", status);
        } else {
            status = FltGetWwnnString(pPage, pExt->szWwnn);
        }
        ExFreePoolWithTag(pPage, FLT_TAG);
    }

    EXT("FltStorePage0x83Data: status 0x%08x\n", (ULONG)status);
    return status;
}

BOOLEAN FltFailoverSupported(PDEVICE_OBJECT pDeviceObject)
{
    BOOLEAN fSupported;
    ENT("FltFailoverSupported: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    ULONG ulValue = 1;
    NTSTATUS status = CmnLookupRegistryValue(&ulValue, L"FailoverDriver", NULL);
    if (NT_SUCCESS(status) && ulValue == 0) {
        DBG("FltFailoverSupported: ** DPF IS DISABLED BY REGISTRY ENTRY **");
        fSupported = FALSE;
    } else {
        DBG("FltFailoverSupported: %ls was %s with value %ul, DPF ENABLED.", L"FailoverDriver",
            NT_SUCCESS(status) ? "found" : "not found", ulValue);
        fSupported = TRUE;
    }

    EXT("FltFailoverSupported: status 0x%08x\n", (ULONG)fSupported);
    return fSupported;
}

NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltSetDpfFlags: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    ULONG ulFlags = 0;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_GET_DPF_FLAGS, &ulFlags,
                                       sizeof(ulFlags), &ulFlags, sizeof(ulFlags));
    if (NT_SUCCESS(status)) {
        DBG("FltSetDpfFlags: flags 0x%08x\n", ulFlags);
        if ((ulFlags & DPF_FLAG_EXCLUSIVE) == 0) {
            pExt->fExclusive = FALSE;
        }
        if ((ulFlags & DPF_FLAG_PERSISTENT_NAMING) != 0) {
            pExt->fPersistentNaming = TRUE;
        }
        if ((ulFlags & DPF_FLAG_ENCRYPTION) != 0) {
            pExt->fSME = TRUE;
        }
    }

    EXT("FltSetDpfFlags: status 0x%08x\n", (ULONG)status);
    return status;
}

/* A serial number that is empty or only blanks identifies nothing: every drive that answers that way
   would be grouped as one. */
static BOOLEAN FltSerialIsBlank(PCHAR szSerial)
{
    for (ULONG i = 0; i < SERIAL_NUMBER_LENGTH && szSerial[i] != '\0'; i++) {
        if (szSerial[i] != ' ') {
            return FALSE;
        }
    }
    return TRUE;
}

/* ---- Registration and notification ---- */

NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltRegisterDevice: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));

    REG_DVC regDvc;
    RtlZeroMemory(&regDvc, sizeof(regDvc));
    regDvc.fFailover = pExt->fFailover;
    regDvc.fExclusive = pExt->fExclusive;
    regDvc.fPersistentNaming = pExt->fPersistentNaming;
    regDvc.fSME = pExt->fSME;
    regDvc.ePnp = PNP_STARTED;
    RtlCopyMemory(regDvc.szSN, pExt->szSN, SERIAL_NUMBER_LENGTH);
    RtlCopyMemory(regDvc.szWwnn, pExt->szWwnn, 16);
    regDvc.scScsiAddr = pExt->scScsiAddr;
    regDvc.pDvcObj = pDeviceObject;
    regDvc.pBaseDriverExt = NULL;

    if (pGlobBusDvcObj == NULL) {
        DBG_NULL("FltRegisterDevice: pGlobBusDvcObj");
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        status = FltSendIoctlSync(pDeviceObject, pGlobBusDvcObj, IOC_REGISTER, &regDvc, sizeof(regDvc), &regDvc,
                                  sizeof(regDvc));
    }
    if (NT_SUCCESS(status)) {
        pExt->pBaseDriverExt = (PIRPS_WITH_STATUS)regDvc.pBaseDriverExt;
        pExt->ulTapeNumber = regDvc.ulTapeNumber;
        DBG("FltRegisterDevice: registered as Tape%d, table 0x%08x\n", pExt->ulTapeNumber,
            DBG_PTR(pExt->pBaseDriverExt));
    } else {
        DBG_FAILED("FltRegisterDevice: IOC_REGISTER", status);
        pExt->pBaseDriverExt = NULL;
        pExt->ulTapeNumber = 0;
    }

    EXT("FltRegisterDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

static NTSTATUS FltSendNotify(PDEVICE_OBJECT pDeviceObject, ULONG ulType, ULONG ulValue)
{
    NFY_DVC nfyDvc;
    RtlZeroMemory(&nfyDvc, sizeof(nfyDvc));
    nfyDvc.ulType = ulType;
    nfyDvc.pDvcObj = pDeviceObject;
    nfyDvc.ePnp = ulValue;
    if (pGlobBusDvcObj == NULL) {
        DBG_NULL("FltSendNotify: pGlobBusDvcObj");
        return STATUS_NO_SUCH_DEVICE;
    }
    return FltSendIoctlSync(pDeviceObject, pGlobBusDvcObj, IOC_NOTIFY, &nfyDvc, sizeof(nfyDvc), &nfyDvc,
                            sizeof(nfyDvc));
}

NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltNotifyPnp: pDeviceObject 0x%08x, ePnp %s\n", DBG_PTR(pDeviceObject), DbgPnpStateName(pExt->ePnp));

    NTSTATUS status = FltSendNotify(pDeviceObject, NFY_TYPE_PNP, pExt->ePnp);

    EXT("FltNotifyPnp: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulIoKind)
{
    ENT("FltNotifyIo: pDeviceObject 0x%08x, %s\n", DBG_PTR(pDeviceObject), DbgIoKindName(ulIoKind));

    NTSTATUS status = FltSendNotify(pDeviceObject, NFY_TYPE_IO, ulIoKind);

    EXT("FltNotifyIo: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltSetExtInBase: pDeviceObject 0x%08x, pBaseDriverExt 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pExt->pBaseDriverExt));

    PVOID pTable = pExt->pBaseDriverExt;
    NTSTATUS status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_SET_EXT_IN_BASE, &pTable,
                                       sizeof(pTable), &pTable, sizeof(pTable));

    EXT("FltSetExtInBase: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Hands the bus's status table to the base driver. While the base driver takes it, slot 0 of the head
   block names the path's Tape number and slot 1 the filter device object. The bus has one table for all
   paths, so the whole exchange runs under a driver-wide lock: two paths starting at once would otherwise
   overwrite each other's slots and a base driver could record the wrong Tape number. */
NTSTATUS FltShareStatusTable(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS status = STATUS_SUCCESS;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    PIRPS_WITH_STATUS pTable = pExt->pBaseDriverExt;
    KIRQL irql;
    ENT("FltShareStatusTable: pDeviceObject 0x%08x, pTable 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pTable));

    KeWaitForSingleObject(&mtxGlobHandshake, Executive, KernelMode, FALSE, NULL);

    PULONG pulTapeNumber = (PULONG)ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), FLT_TAG);
    if (pulTapeNumber == NULL) {
        DBG_NULL("FltShareStatusTable: pulTapeNumber");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        *pulTapeNumber = pExt->ulTapeNumber;

        KeAcquireSpinLock(&pTable->slLock, &irql);
        pTable->Slots[0].pScsiStatus = (PSCSI_STATUS)pulTapeNumber;
        pTable->Slots[1].pScsiStatus = (PSCSI_STATUS)pDeviceObject;
        pTable->ullBitmap |= 0x3;
        KeReleaseSpinLock(&pTable->slLock, irql);

        FltSetExtInBase(pDeviceObject);

        KeAcquireSpinLock(&pTable->slLock, &irql);
        pTable->Slots[0].pScsiStatus = NULL;
        pTable->Slots[1].pScsiStatus = NULL;
        pTable->ullBitmap &= ~0x3ULL;
        KeReleaseSpinLock(&pTable->slLock, irql);

        ExFreePoolWithTag(pulTapeNumber, FLT_TAG);
    }

    KeReleaseMutex(&mtxGlobHandshake, FALSE);

    EXT("FltShareStatusTable: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Request handling ---- */

/* Passes a request down; when the bus forwarded it with a reservation key to preempt with, first asks
   the base driver to preempt the other path's reservation. */
static NTSTATUS FltPreemptAndPassDown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltPreemptAndPassDown: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    PSCSI_STATUS pScsiStatus = STATUS_STRUCT_ALLOCATED(pExt->pBaseDriverExt, pIrp);
    SCSI_STATUS scCopy;
    if (pScsiStatus != NULL) {
        RtlCopyMemory(&scCopy, pScsiStatus, sizeof(scCopy));
    }
    if (pScsiStatus == NULL || scCopy.scPreempt == 0) {
        status = FltPassDown(pExt, pIrp);
    } else {
        DBG("FltPreemptAndPassDown: preempting with key 0x%08x%08x\n", (ULONG)(scCopy.scPreempt >> 32),
            (ULONG)scCopy.scPreempt);
        status = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_PREEMPT_RESERVATION, &scCopy,
                                  sizeof(scCopy), NULL, 0);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("FltPreemptAndPassDown: IOC_PREEMPT_RESERVATION", status);
            pScsiStatus->scPreempt = (ULONGLONG)(ULONG)STATUS_ACCESS_DENIED;
            FltCompleteRequest(pIrp, status);
        } else {
            pScsiStatus->scPreempt = 0;
            status = FltPassDown(pExt, pIrp);
        }
    }

    EXT("FltPreemptAndPassDown: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltDispatchCreate: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved("FltDispatchCreate", pIrp);
        EXT("FltDispatchCreate: status 0x%08x\n", (ULONG)status);
        return status;
    }

    if (STATUS_STRUCT_ALLOCATED(pExt->pBaseDriverExt, pIrp) != NULL) {
        /* The bus forwarded this open: it has already applied its open rules. */
        status = FltPassDown(pExt, pIrp);
    } else {
        status = FltNotifyIo(pDeviceObject, IO_OPEN_REQ);
        if (!NT_SUCCESS(status)) {
            DBG("FltDispatchCreate: bus driver returned 0x%08x.  Cannot open device.", (ULONG)status);
            FltCompleteRequest(pIrp, status);
        } else {
            /* Sent down and waited for, so that a failing open can give its count back at the bus. */
            status = CmnSendIrpSync(pDeviceObject, pIrp);
            if (!NT_SUCCESS(status)) {
                DBG("FltDispatchCreate: Open failed, attempting to remove open counter.");
                NTSTATUS closeStatus = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
                if (!NT_SUCCESS(closeStatus)) {
                    DBG("FltDispatchCreate: bus driver returned 0x%08x.  DEVICE OBJECT LEFT OPEN!!!",
                        (ULONG)closeStatus);
                }
            }
        }
    }

    FltLeaveDispatch(pExt);
    EXT("FltDispatchCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltDispatchClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved("FltDispatchClose", pIrp);
        EXT("FltDispatchClose: status 0x%08x\n", (ULONG)status);
        return status;
    }

    /* Looked up before the request goes down: once it is completed, its address may already belong to
       another request that the bus forwarded. */
    BOOLEAN fForwarded = STATUS_STRUCT_ALLOCATED(pExt->pBaseDriverExt, pIrp) != NULL;

    /* Completed only after the bus was told, and with the status this routine returns. */
    status = CmnForwardIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(status) && !fForwarded) {
        NTSTATUS notifyStatus = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
        if (!NT_SUCCESS(notifyStatus)) {
            DBG("FltDispatchClose: bus driver returned 0x%08x.  CANNOT CLOSE DEVICE!!!", (ULONG)notifyStatus);
            status = notifyStatus;
        }
    }
    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);

    FltLeaveDispatch(pExt);
    EXT("FltDispatchClose: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Read, write, device control, internal device control and system control: the preempt step runs only
   on paths that take part in failover. */
static NTSTATUS FltDispatchFailoverRequest(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x\n", szRoutine, DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved(szRoutine, pIrp);
        EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
        return status;
    }

    if (pExt->fFailover) {
        status = FltPreemptAndPassDown(pDeviceObject, pIrp);
    } else {
        status = FltPassDown(pExt, pIrp);
    }

    FltLeaveDispatch(pExt);
    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
    return status;
}

NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchFailoverRequest("FltDispatchRead", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchFailoverRequest("FltDispatchWrite", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchFailoverRequest("FltDispatchDeviceControl", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchFailoverRequest("FltDispatchInternalDeviceControl", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchFailoverRequest("FltDispatchSystemControl", pDeviceObject, pIrp);
}

NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltPassThrough: pDeviceObject 0x%08x, pIrp 0x%08x, %s\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp),
        DbgMajorFunctionName(IoGetCurrentIrpStackLocation(pIrp)->MajorFunction));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved("FltPassThrough", pIrp);
        EXT("FltPassThrough: status 0x%08x\n", (ULONG)status);
        return status;
    }

    status = FltPreemptAndPassDown(pDeviceObject, pIrp);

    FltLeaveDispatch(pExt);
    EXT("FltPassThrough: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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

static VOID FltSetPnpState(PFLT_EXT pExt, ULONG eNewState)
{
    pExt->ePnpPrev = pExt->ePnp;
    pExt->ePnp = eNewState;
}

NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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

NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    /* The start is completed at the end, with the status this routine returns: a path whose handshake
       storage cannot be had fails its start. */
    status = CmnForwardIrpSync(pDeviceObject, pIrp);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("FltIrpMnStartDevice: CmnForwardIrpSync", status);
        FltCompleteRequest(pIrp, status);
        EXT("FltIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
        return status;
    }

    FltSetPnpState(pExt, PNP_STARTED);
    pExt->fFailover = TRUE;

    UCHAR ucInquiry[STANDARD_INQUIRY_LENGTH];
    if (NT_SUCCESS(FltGetInquiry(pDeviceObject, ucInquiry))) {
        RtlCopyMemory(pExt->ucInquiry, ucInquiry, sizeof(ucInquiry));
    } else {
        pExt->fFailover = FALSE;
    }

    CHAR szSerial[SERIAL_NUMBER_LENGTH + 1];
    RtlZeroMemory(szSerial, sizeof(szSerial));
    if (!NT_SUCCESS(FltGetSerial(pDeviceObject, szSerial))) {
        pExt->fFailover = FALSE;
    } else if (FltSerialIsBlank(szSerial)) {
        DBG("FltIrpMnStartDevice: blank serial number, path runs without failover\n");
        pExt->fFailover = FALSE;
    } else {
        RtlCopyMemory(pExt->szSN, szSerial, SERIAL_NUMBER_LENGTH);
        pExt->szSN[SERIAL_NUMBER_LENGTH] = '\0';
    }

    if (!NT_SUCCESS(FltGetScsi(pDeviceObject, &pExt->scScsiAddr))) {
        pExt->fFailover = FALSE;
    }
    if (!NT_SUCCESS(FltStorePage0x83Data(pDeviceObject))) {
        pExt->fFailover = FALSE;
    }
    if (pExt->fFailover) {
        pExt->fFailover = FltFailoverSupported(pDeviceObject);
    }
    if (!NT_SUCCESS(FltSetDpfFlags(pDeviceObject))) {
        DBG("FltIrpMnStartDevice: FltSetDpfFlags failed.  Using defaults");
    }
    if (!NT_SUCCESS(FltRegisterDevice(pDeviceObject))) {
        pExt->fFailover = FALSE;
    }
    if (pExt->pBaseDriverExt != NULL) {
        NTSTATUS shareStatus = FltShareStatusTable(pDeviceObject);
        if (shareStatus == STATUS_INSUFFICIENT_RESOURCES) {
            status = shareStatus;
        }
    }

    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    EXT("FltIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Query remove and query stop: the bus may refuse, which restores the state and fails the query. */
static NTSTATUS FltQueryTransition(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG eNewState)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
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
