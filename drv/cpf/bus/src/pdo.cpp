/*
 * Virtual changers and their control paths: creation under the library's recorded name or the lowest
 * free \Device\Changer<n>, adding, changing and removing paths with the primary choice, the SCSI
 * device map names, and deletion.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

/* The device \Device\Changer<n>; STATUS_OBJECT_NAME_COLLISION when the name is taken. */
static NTSTATUS BusCreateChangerDevice(PDEVICE_OBJECT pDeviceObject, ULONG n, PWCHAR wszDevice, PUNICODE_STRING pusDevice,
                                       PDEVICE_OBJECT *ppPdo)
{
    RtlStringCchPrintfW(wszDevice, 32, L"\\Device\\Changer%u", n);
    RtlInitUnicodeString(pusDevice, wszDevice);
    return IoCreateDevice(pDeviceObject->DriverObject, sizeof(PDO_EXT), pusDevice, FILE_DEVICE_UNKNOWN,
                          FILE_DEVICE_SECURE_OPEN, FALSE, ppPdo);
}

NTSTATUS BusCreatePdo(PDEVICE_OBJECT *ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    ENT("BusCreatePdo: pDeviceObject 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pRegDvc));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT pPdo = NULL;
    PPDO_EXT pPdoExt = NULL;
    PPDO_DATA pPdoData = NULL;
    WCHAR wszDevice[32];
    WCHAR wszLink[32];
    UNICODE_STRING usDevice;
    ULONG n = 0;
    NTSTATUS status;

    WCHAR wszKey[48];
    ULONG ulRecorded = 0;
    const BOOLEAN fKeyed = BusChangerNameKey(pExt, pRegDvc, wszKey);
    BOOLEAN fRecorded = fKeyed && BusRecordedChangerNumber(wszKey, &ulRecorded);

    *ppNewPdo = NULL;
    /* A library's recorded name first; otherwise (or when something else holds it) the lowest free
       number, counting the base driver's path devices, from the first number of recorded names with
       persistent naming, from 0 without. */
    status = STATUS_OBJECT_NAME_COLLISION;
    if (fRecorded) {
        n = ulRecorded;
        status = BusCreateChangerDevice(pDeviceObject, n, wszDevice, &usDevice, &pPdo);
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            DBG("BusCreatePdo: recorded name Changer%u is taken, numbering anew\n", n);
            fRecorded = FALSE;
        }
    }
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        for (n = fKeyed ? BusNextChangerNumber() : 0;; n++) {
            status = BusCreateChangerDevice(pDeviceObject, n, wszDevice, &usDevice, &pPdo);
            if (status != STATUS_OBJECT_NAME_COLLISION) {
                break;
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusCreatePdo: IoCreateDevice", status);
        pPdo = NULL;
        goto done;
    }
    status = CmnSecureDevice(pPdo, BUS_BACKUP_OPERATORS_ACCESS);
    if (!NT_SUCCESS(status)) {
        goto done;
    }
    pPdoExt = (PPDO_EXT)pPdo->DeviceExtension;
    RtlZeroMemory(pPdoExt, sizeof(PDO_EXT));
    pPdoExt->ulChangerNumber = n;
    RtlCopyMemory(pPdoExt->szSN, pRegDvc->szSN, SERIAL_NUMBER_LENGTH);
    pPdoExt->scScsiAddr = pRegDvc->scScsiAddr;
    pPdoExt->pIrpsWithStatus =
        (PIRPS_WITH_STATUS)IoGetDriverObjectExtension(pDeviceObject->DriverObject, (PVOID)(ULONG_PTR)CHGR_BUS_DRVEXT_ID);
    KeInitializeSpinLock(&pPdoExt->slPathList);
    KeInitializeSpinLock(&pPdoExt->slMdlQ);
    KeInitializeEvent(&pPdoExt->evForwardDone, SynchronizationEvent, FALSE);
    pPdoExt->IoCount.ulIoCount = 1;
    KeInitializeEvent(&pPdoExt->IoCount.evIdle, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pPdoExt->IoCount.evRemove, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pPdoExt->IoCount.fmIoCount);
    ExInitializeFastMutex(&pPdoExt->IoCount.fmPnp);

    pPdoData = (PPDO_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PDO_DATA), BUS_TAG_DATA);
    if (pPdoData == NULL) {
        DBG_NULL("BusCreatePdo: pPdoData");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pPdoData, sizeof(PDO_DATA));
    pPdoData->pPdo = pPdo;
    pPdoData->fFailover = pRegDvc->fFailover && !pExt->fFailoverDisabled;
    {
        BOOLEAN fDup = FALSE;
        InsertIntoSortedList((PVOID *)&pExt->pListOfPdos, pPdoData, &fDup, LIST_KEY_POINTER,
                             FIELD_OFFSET(PDO_DATA, pPdo), &status);
        DBG_ASSERT(!fDup);
        if (!NT_SUCCESS(status)) {
            goto done;
        }
    }

    {
        UNICODE_STRING usLink;
        RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\Changer%u", n);
        RtlInitUnicodeString(&usLink, wszLink);
        DBG("BusCreatePdo: Assigning ARC name between %S and %S\n", wszLink, wszDevice);
        status = IoCreateSymbolicLink(&usLink, &usDevice);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("BusCreatePdo: IoCreateSymbolicLink", status);
            goto done;
        }
    }
    pPdoExt->fLinkCreated = TRUE;
    if (fKeyed && !fRecorded) {
        /* A failure leaves the changer its name for this start only. */
        (VOID)BusRecordChangerName(wszKey, n);
    }
    pPdoExt->pPdoData = pPdoData;
    pPdoExt->pBusExt = pExt;
    pPdoExt->fIsFdo = FALSE;
    pPdoExt->ePrevPnpState = PNP_ABSENT;
    pPdoExt->ePnpState = PNP_NOT_STARTED;
    pPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *ppNewPdo = pPdo;

done:
    if (!NT_SUCCESS(status)) {
        if (pPdoData != NULL) {
            for (PPDO_DATA *ppLink = &pExt->pListOfPdos; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
                if (*ppLink == pPdoData) {
                    *ppLink = pPdoData->pNext;
                    break;
                }
            }
            ExFreePoolWithTag(pPdoData, BUS_TAG_DATA);
        }
        if (pPdo != NULL) {
            IoDeleteDevice(pPdo);
        }
    }
    EXT("BusCreatePdo: status 0x%08x, Changer%u\n", (ULONG)status, n);
    return status;
}

/* The first active path in list order, or NULL; path-list lock held. */
static PPATH_DATA BusPdoFirstActive(PPDO_DATA pPdoData)
{
    for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        if (pPath->fActive) {
            return pPath;
        }
    }
    return NULL;
}

static BOOLEAN BusPdoHasPrimary(PPDO_DATA pPdoData)
{
    for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        if (pPath->fPrimary) {
            return TRUE;
        }
    }
    return FALSE;
}

static VOID BusPdoMakePrimary(PPDO_EXT pPdoExt, PPATH_DATA pPath)
{
    pPath->fPrimary = TRUE;
    pPdoExt->scScsiAddr = pPath->scScsiAddr;
}

NTSTATUS BusPdoAddPath(PPATH_DATA *ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc)
{
    ENT("BusPdoAddPath: pPdoData 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(pPdoData), DBG_PTR(pRegDvc));
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT pNewPrimary = NULL;

    if (ppNewPath == NULL || pPdoData == NULL || pRegDvc == NULL) {
        DBG_NULL(ppNewPath == NULL ? "BusPdoAddPath: ppNewPath"
                 : pPdoData == NULL ? "BusPdoAddPath: pPdoData"
                                    : "BusPdoAddPath: pRegDvc");
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    *ppNewPath = NULL;
    {
        PPATH_DATA pPath = (PPATH_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PATH_DATA), BUS_TAG_DATA);
        if (pPath == NULL) {
            DBG_NULL("BusPdoAddPath: pPathData");
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlZeroMemory(pPath, sizeof(PATH_DATA));
        pPath->pFDO = pRegDvc->pDvcObj;
        pPath->scScsiAddr = pRegDvc->scScsiAddr;
        pPath->ePnp = (PNP_STATE)pRegDvc->ePnp;
        pPath->fActive = pPath->ePnp == PNP_STARTED;

        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        KIRQL irql;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        if (pPath->fActive && !BusPdoHasPrimary(pPdoData)) {
            BusPdoMakePrimary(pPdoExt, pPath);
            pNewPrimary = pPath->pFDO;
        }
        InsertTail((PVOID *)&pPdoData->pListOfPaths, pPath);
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        BusPrimaryEvent(pPdoData->pPdo, NULL, pPdoExt->pBusExt, pNewPrimary, pPdoExt);
        *ppNewPath = pPath;
    }

done:
    EXT("BusPdoAddPath: status 0x%08x\n", (ULONG)status);
    return status;
}

PDEVICE_OBJECT BusPdoSetPathState(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PNP_STATE ePnp)
{
    PDEVICE_OBJECT pNewPrimary = NULL;
    pPath->ePnp = ePnp;
    if (ePnp == PNP_STARTED) {
        pPath->fActive = TRUE;
        if (!BusPdoHasPrimary(pPdoData)) {
            BusPdoMakePrimary(pPdoExt, pPath);
            pNewPrimary = pPath->pFDO;
        }
        return pNewPrimary;
    }
    DBG("BusNotifyPnp: deactivating FDO 0x%08x\n", DBG_PTR(pPath->pFDO));
    pPath->fActive = FALSE;
    BusPdoDeactivatedLogin(pPath);
    if (pPath->fPrimary) {
        DBG("BusNotifyPnp: find new primary FDO\n");
        pPath->fPrimary = FALSE;
        PPATH_DATA pNext = BusPdoFirstActive(pPdoData);
        if (pNext != NULL) {
            BusPdoMakePrimary(pPdoExt, pNext);
            pNewPrimary = pNext->pFDO;
        } else {
            DBG("BusNotifyPnp: Could not find primary path\n");
        }
    }
    return pNewPrimary;
}

BOOLEAN BusPdoRemovePath(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PDEVICE_OBJECT *ppNewPrimary)
{
    ENT("BusPdoRemovePath: pPdoData 0x%08x, pPath 0x%08x\n", DBG_PTR(pPdoData), DBG_PTR(pPath));
    BOOLEAN fLast = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    *ppNewPrimary = BusPdoSetPathState(pPdoExt, pPdoData, pPath, PNP_ABSENT);
    for (PPATH_DATA *ppLink = &pPdoData->pListOfPaths; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pPath) {
            *ppLink = pPath->pNext;
            break;
        }
    }
    if (pPdoData->pListOfPaths == NULL) {
        fLast = TRUE;   /* requests from here on find no path */
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    /* Unlinked, no request can choose the path any more; those already sending to it still use its
       filter device object, which the filter deletes after this notification. */
    for (;;) {
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        LONG lForwards = pPath->lForwards;
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        if (lForwards == 0) {
            break;
        }
        DBG("BusPdoRemovePath: waiting for %d requests on FDO 0x%08x\n", (int)lForwards, DBG_PTR(pPath->pFDO));
        LARGE_INTEGER liTimeout;
        liTimeout.QuadPart = -10 * 1000 * 10;   /* 10 ms: a wake-up between the read and the wait is not lost for long */
        KeWaitForSingleObject(&pPdoExt->evForwardDone, Executive, KernelMode, FALSE, &liTimeout);
    }
    ExFreePoolWithTag(pPath, BUS_TAG_DATA);
    EXT("BusPdoRemovePath: last path %d\n", (int)fLast);
    return fLast;
}

BOOLEAN BusPdoHasOtherPath(PPDO_EXT pPdoExt, PPATH_DATA pPath)
{
    BOOLEAN fOther = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    for (PPATH_DATA pEach = pPdoExt->pPdoData != NULL ? pPdoExt->pPdoData->pListOfPaths : NULL; pEach != NULL;
         pEach = pEach->pNext) {
        fOther = fOther || (pEach != pPath && pEach->fActive);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return fOther;
}

BOOLEAN BusPdoOutlivesPaths(PPDO_DATA pPdoData)
{
    return pPdoData->fFailover;
}

VOID BusPdoUnlink(PBUS_EXT pExt, PPDO_DATA pPdoData, PPDO_DATA *ppRetire)
{
    ENT("BusPdoUnlink: pPdoData 0x%08x\n", DBG_PTR(pPdoData));
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    KIRQL irql;

    /* Out of the bus's list first, so that no walk meets a changer whose device is going. */
    for (PPDO_DATA *ppLink = &pExt->pListOfPdos; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pPdoData) {
            *ppLink = pPdoData->pNext;
            break;
        }
    }
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPdoExt->pPdoData = NULL;   /* requests from here on find no path */
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    pPdoData->pNext = *ppRetire;
    *ppRetire = pPdoData;
    EXT("BusPdoUnlink: VOID status\n");
}

VOID BusPdoRetire(PPDO_DATA pRetire)
{
    while (pRetire != NULL) {
        PPDO_DATA pPdoData = pRetire;
        pRetire = pRetire->pNext;
        ENT("BusPdoRetire: pPdoData 0x%08x\n", DBG_PTR(pPdoData));
        PDEVICE_OBJECT pPdo = pPdoData->pPdo;
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdo->DeviceExtension;

        /* Requests in flight on the changer end first (they find no further path); one of them may
           be an IOC_QUERY_DEVICES that waits for the list lock, which is why this runs without it. */
        BusDrainDevice(pPdo, FALSE);

        PPATH_DATA pPaths = pPdoData->pListOfPaths;
        while (pPaths != NULL) {
            PPATH_DATA pNext = pPaths->pNext;
            ExFreePoolWithTag(pPaths, BUS_TAG_DATA);
            pPaths = pNext;
        }
        if (pPdoExt->fLinkCreated) {
            WCHAR wszLink[32];
            UNICODE_STRING usLink;
            RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\Changer%u", pPdoExt->ulChangerNumber);
            RtlInitUnicodeString(&usLink, wszLink);
            IoDeleteSymbolicLink(&usLink);
            pPdoExt->fLinkCreated = FALSE;
        }
        pPdoExt->pBusExt = NULL;
        pPdoExt->ePnpState = PNP_ABSENT;
        ExFreePoolWithTag(pPdoData, BUS_TAG_DATA);
        IoDeleteDevice(pPdo);
        EXT("BusPdoRetire: VOID status\n");
    }
}

NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData)
{
    ENT("BusPdoUpdateRegistry: pDeviceObject 0x%08x, pPathData 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pPathData));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    WCHAR wszKey[CMN_KEY_PATH_CHARS];
    WCHAR wszName[24];
    UNICODE_STRING usKey;
    UNICODE_STRING usValue;
    OBJECT_ATTRIBUTES oa;
    HANDLE hKey = NULL;
    NTSTATUS status;

    RtlStringCchPrintfW(wszKey, RTL_NUMBER_OF(wszKey),
                        L"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %d\\Scsi Bus %d\\Target Id %d"
                        L"\\Logical Unit Id %d",
                        (int)pPathData->scScsiAddr.PortNumber, (int)pPathData->scScsiAddr.PathId,
                        (int)pPathData->scScsiAddr.TargetId, (int)pPathData->scScsiAddr.Lun);
    RtlInitUnicodeString(&usKey, wszKey);
    InitializeObjectAttributes(&oa, &usKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&hKey, KEY_READ | KEY_WRITE, &oa);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusPdoUpdateRegistry: ZwOpenKey", status);
        goto done;
    }
    RtlStringCchPrintfW(wszName, RTL_NUMBER_OF(wszName), L"Changer%u", pPdoExt->ulChangerNumber);
    RtlInitUnicodeString(&usValue, L"DeviceName");
    {
        size_t cch = 0;
        RtlStringCchLengthW(wszName, RTL_NUMBER_OF(wszName), &cch);
        status = ZwSetValueKey(hKey, &usValue, 0, REG_SZ, wszName, (ULONG)(cch * sizeof(WCHAR)));
    }
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusPdoUpdateRegistry: ZwSetValueKey", status);
    }
    ZwClose(hKey);

done:
    EXT("BusPdoUpdateRegistry: status 0x%08x\n", (ULONG)status);
    return status;
}
