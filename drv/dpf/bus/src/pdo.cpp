/*
 * Virtual tape devices \Device\Tape<n>: creation and removal, their path lists and adapter
 * accounting, the SCSI device map entries of their paths, and their open and close rules.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

/* ---- Adapter usage (caller holds the adapter-list spin lock) ---- */

/*
 * Counts one more path through adapter ulAdapter and returns its record. A
 * new record is taken from *ppSpare (the caller allocated it beforehand, as
 * no allocation should fail here); NULL when one is needed and none is there.
 */
PADAPTER_USAGE BusAdapterAcquire(PBUS_EXT pExt, ULONG ulAdapter, PADAPTER_USAGE *ppSpare)
{
    PADAPTER_USAGE *ppLink = &pExt->pAdapterUsage;
    for (; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if ((*ppLink)->ulAdapter == ulAdapter) {
            (*ppLink)->ulRefCt++;
            DBG("BusPdoAddPath: Found adapter_usage.  Ref ct now %d\n", (*ppLink)->ulRefCt);
            return *ppLink;
        }
    }
    PADAPTER_USAGE pUsage = *ppSpare;
    if (pUsage != NULL) {
        *ppSpare = NULL;
        pUsage->pNext = NULL;
        pUsage->ulAdapter = ulAdapter;
        pUsage->ulRefCt = 1;
        pUsage->ulOpenUsage = 0;
        *ppLink = pUsage;
        DBG("BusPdoAddPath: Could not find adapter_usage.  Allocated struct for adapter %d at 0x%08x.\n", ulAdapter,
            DBG_PTR(pUsage));
    }
    return pUsage;
}

/* Counts one path less through the adapter; the record goes with its last path. */
VOID BusAdapterRelease(PBUS_EXT pExt, PADAPTER_USAGE pUsage)
{
    if (pUsage == NULL) {
        return;
    }
    DBG_ASSERT(pUsage->ulRefCt > 0);
    if (pUsage->ulRefCt > 0) {
        pUsage->ulRefCt--;
    }
    DBG("BusNotifyPnp: Adapter %d usage count now at %d.\n", pUsage->ulAdapter, pUsage->ulRefCt);
    if (pUsage->ulRefCt == 0) {
        DBG("BusNotifyPnp: Adapter %d usage count at 0.  Deleting.\n", pUsage->ulAdapter);
        for (PADAPTER_USAGE *ppLink = &pExt->pAdapterUsage; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if (*ppLink == pUsage) {
                *ppLink = pUsage->pNext;
                break;
            }
        }
        ExFreePoolWithTag(pUsage, BUS_TAG_ADAPTER);
    }
}

/* ---- Events ---- */

/* Writes 0x40000006 (new primary path) when failover events are on. The path is named by its SCSI
   address; the caller holds the bus-wide list lock, so its record is still there. */
VOID BusPdoPrimaryEvent(PDRIVER_OBJECT pDriverObject, PBUS_EXT pExt, PDEVICE_OBJECT pNewPrimary, PCSTR szSN)
{
    if (pNewPrimary == NULL || !pExt->fEventsEnabled) {
        return;
    }
    const SCSI_ADDRESS *pScsiAddr = NULL;
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL && pScsiAddr == NULL; pPdoData = pPdoData->pNext) {
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->pFDO == pNewPrimary) {
                pScsiAddr = &pPath->scScsiAddr;
                break;
            }
        }
    }
    if (pScsiAddr == NULL) {
        return;
    }
    WCHAR wszPath[BUS_PATH_TEXT_CHARS];
    BusPathText(wszPath, pScsiAddr);

    ANSI_STRING asSN;
    UNICODE_STRING usSN;
    RtlInitAnsiString(&asSN, szSN);
    NTSTATUS status = RtlAnsiStringToUnicodeString(&usSN, &asSN, TRUE);
    if (!NT_SUCCESS(status)) {
        DBG("could not convert ansi to Unicode. status = 0x%08x", (ULONG)status);
        return;
    }
    /* The event writer wants a terminated string. */
    WCHAR wszSN[34];
    SIZE_T cch = usSN.Length / sizeof(WCHAR);
    if (cch >= RTL_NUMBER_OF(wszSN)) {
        cch = RTL_NUMBER_OF(wszSN) - 1;
    }
    RtlCopyMemory(wszSN, usSN.Buffer, cch * sizeof(WCHAR));
    wszSN[cch] = 0;
    RtlFreeUnicodeString(&usSN);
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_NEW_PRIMARY, wszPath, wszSN);
}

/* ---- Creation and removal ---- */

/*
 * TRUE when one of this bus's own virtual devices already carries the number: its name would only
 * collide. Checked before IoCreateDevice so that numbering many drives does not cost a failed
 * creation for every number below. The caller holds the bus-wide list lock.
 */
static BOOLEAN BusPdoNumberTaken(PBUS_EXT pExt, LONG lNumber)
{
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        if (((PPDO_EXT)pPdoData->pPdo->DeviceExtension)->ulTapeNumber == lNumber) {
            return TRUE;
        }
    }
    return FALSE;
}

/*
 * Creates the virtual device of a newly seen drive, with its PDO_DATA in
 * pListOfPdos. The caller holds the bus-wide list lock exclusively.
 */
NTSTATUS BusCreatePdo(PDEVICE_OBJECT *ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    ENT("BusCreatePdo: ppNewPdo 0x%08x, pDeviceObject 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(ppNewPdo),
        DBG_PTR(pDeviceObject), DBG_PTR(pRegDvc));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT pPdo = NULL;
    PPDO_EXT pPdoExt = NULL;
    PPDO_DATA pPdoData = NULL;
    BOOLEAN fPersistent = pExt->fPersistentNaming;
    BOOLEAN fTriedStore = !fPersistent;
    BOOLEAN fFromStore = FALSE;
    BOOLEAN fRecordName = FALSE;
    BOOLEAN fInList = FALSE;
    LONG lCounter = fPersistent ? BUS_PERSISTENT_NUMBER_BASE : -1;
    LONG lNumber = -1;
    WCHAR wszName[BUS_PERSISTENT_NAME_CCH + 1];
    WCHAR wszDeviceName[BUS_PERSISTENT_NAME_CCH + 16];
    UNICODE_STRING usDeviceName;

    if (ppNewPdo == NULL || pRegDvc == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    *ppNewPdo = NULL;
    RtlZeroMemory(wszName, sizeof(wszName));

    /* 1. The name: the drive's recorded one, else the first free number. */
    for (;;) {
        if (!fTriedStore) {
            fTriedStore = TRUE;
            status = BusGetPersistentName(pDeviceObject, pRegDvc->szWwnn, pRegDvc->szSN, &pRegDvc->scScsiAddr,
                                          wszName, &lNumber);
            if (NT_SUCCESS(status)) {
                fFromStore = TRUE;
            } else {
                DBG("BusCreatePdo: BusGetPersistentName failed with status 0x%08x\n", (ULONG)status);
                /* Only a drive that has no record gets one; a record that cannot be used now stays. */
                fRecordName = status == STATUS_OBJECT_NAME_NOT_FOUND;
            }
        }
        if (!fFromStore) {
            if (lCounter == MAXLONG) {
                status = STATUS_OBJECT_NAME_COLLISION;
                goto done;
            }
            lCounter++;
            lNumber = lCounter;
            if (BusPdoNumberTaken(pExt, lNumber)) {
                continue;
            }
            RtlStringCchPrintfW(wszName, RTL_NUMBER_OF(wszName), L"Tape%d", lNumber);
            if (BusNamePersistentlyInUse(pDeviceObject, wszName)) {
                DBG("BusCreatePdo: %S persistently reserved.\n", wszName);
                continue;
            }
        }

        RtlStringCchPrintfW(wszDeviceName, RTL_NUMBER_OF(wszDeviceName), L"\\Device\\%ws", wszName);
        RtlInitUnicodeString(&usDeviceName, wszDeviceName);
        status = IoCreateDevice(pDeviceObject->DriverObject, sizeof(PDO_EXT), &usDeviceName, FILE_DEVICE_UNKNOWN,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &pPdo);
        if (NT_SUCCESS(status)) {
            break;
        }
        pPdo = NULL;
        if (status != STATUS_OBJECT_NAME_COLLISION) {
            DBG("%s failed with RC = 0x%08x\n", "BusCreatePdo: IoCreateDevice", (ULONG)status);
            goto done;
        }
        DBG("BusCreatePdo: %S is taken\n", wszDeviceName);
        /* A recorded name held by another device: number this drive for now, keep its record. */
        fFromStore = FALSE;
    }
    status = CmnSecureDevice(pPdo, BUS_BACKUP_OPERATORS_ACCESS);
    if (!NT_SUCCESS(status)) {
        goto done;
    }

    /* 3. The extension. */
    pPdoExt = (PPDO_EXT)pPdo->DeviceExtension;
    RtlZeroMemory(pPdoExt, sizeof(PDO_EXT));
    pPdoExt->ulTapeNumber = lNumber;
    RtlCopyMemory(pPdoExt->wszName, wszName, sizeof(pPdoExt->wszName));
    RtlCopyMemory(pPdoExt->szSN, pRegDvc->szSN, 32);
    pPdoExt->szSN[32] = 0;
    RtlCopyMemory(pPdoExt->szWwnn, pRegDvc->szWwnn, 16);
    pPdoExt->szWwnn[16] = 0;
    pPdoExt->scScsiAddr = pRegDvc->scScsiAddr;
    pPdoExt->pIrpsWithStatus = BusGetIrpsWithStatus(pDeviceObject->DriverObject);
    pPdoExt->pBusExt = pExt;
    pPdoExt->fExclusive = pRegDvc->fExclusive ? TRUE : FALSE;
    pPdoExt->fSME = pRegDvc->fSME ? TRUE : FALSE;
    pPdoExt->ulBlockSize = BUS_BLOCK_SIZE_UNKNOWN;
    KeInitializeSpinLock(&pPdoExt->slPathList);
    pPdoExt->fIsFdo = FALSE;
    pPdoExt->ePrevPnpState = PNP_ABSENT;
    pPdoExt->ePnpState = PNP_NOT_STARTED;
    pPdoExt->ulIoCount = 1;
    KeInitializeEvent(&pPdoExt->evIdle, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pPdoExt->evRemove, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pPdoExt->fmIoCount);
    ExInitializeFastMutex(&pPdoExt->fmPnp);

    /* 4. The drive record. */
    pPdoData = (PPDO_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PDO_DATA), BUS_TAG_PDO_DATA);
    if (pPdoData == NULL) {
        DBG("%s == NULL.\n", "BusCreatePdo: pPdoData");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pPdoData, sizeof(PDO_DATA));
    pPdoData->pPdo = pPdo;
    /* A drive without an identity of its own is never grouped: it keeps failover off, so that its
       path finds the same device again when it registers anew. */
    pPdoData->fFailover =
        (pRegDvc->fFailover && !pExt->fFailoverDisabled && !BusSerialIsPlaceholder(pRegDvc->szSN)) ? TRUE : FALSE;
    {
        BOOLEAN fDup = FALSE;
        PVOID pInserted = InsertIntoSortedList((PVOID *)&pExt->pListOfPdos, pPdoData, &fDup, LIST_KEY_POINTER,
                                               FIELD_OFFSET(PDO_DATA, pPdo), &status);
        DBG_ASSERT(!fDup);
        if (pInserted != pPdoData) {
            if (NT_SUCCESS(status)) {
                status = STATUS_INTERNAL_ERROR;
            }
            goto done;
        }
        fInList = TRUE;
    }

    /* 5. The link and the rest of the extension. */
    {
        WCHAR wszLink[BUS_PERSISTENT_NAME_CCH + 16];
        UNICODE_STRING usLink;
        RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\%ws", wszName);
        RtlInitUnicodeString(&usLink, wszLink);
        status = IoCreateSymbolicLink(&usLink, &usDeviceName);
        if (!NT_SUCCESS(status)) {
            DBG("%s failed with RC = 0x%08x\n", "BusCreatePdo: IoCreateSymbolicLink", (ULONG)status);
            goto done;
        }
        pPdoExt->fLinkCreated = TRUE;
    }
    pPdoExt->pPdoData = pPdoData;

    /* 6. The request queue and its workers; a failure stops the workers already started. */
    status = BusPdoStartThreads(pPdo);
    if (!NT_SUCCESS(status)) {
        DBG("%s failed with RC = 0x%08x\n", "BusCreatePdo: BusPdoStartThreads", (ULONG)status);
        goto done;
    }

    /* 7. Ready for requests. */
    pPdo->Flags |= DO_DIRECT_IO;
    pPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *ppNewPdo = pPdo;
    DBG("BusCreatePdo: created %S for serial number %s\n", wszDeviceName, pPdoExt->szSN);

    /* 2. Record the name of a drive that had none. */
    if (fRecordName) {
        WCHAR wszKey[BUS_PERSISTENT_KEY_CCH + 1];
        RtlZeroMemory(wszKey, sizeof(wszKey));
        NTSTATUS st = BusCreateWideStrFromWwnnAndSn(wszKey, pRegDvc->szWwnn, pRegDvc->szSN, &pRegDvc->scScsiAddr);
        if (NT_SUCCESS(st) && !BusIsZeroIdentityKey(wszKey)) {
            st = BusAddPersistentName(pDeviceObject, wszKey, wszName);
            if (!NT_SUCCESS(st)) {
                DBG("BusCreatePdo: Could not add %S as persistent name to registry\n", wszName);
            }
        }
    }

done:
    if (!NT_SUCCESS(status)) {
        /* 8. Nothing of a failed creation stays. */
        if (pPdo != NULL) {
            if (pPdoExt != NULL && pPdoExt->fLinkCreated) {
                WCHAR wszLink[BUS_PERSISTENT_NAME_CCH + 16];
                UNICODE_STRING usLink;
                RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\%ws", wszName);
                RtlInitUnicodeString(&usLink, wszLink);
                IoDeleteSymbolicLink(&usLink);
                pPdoExt->fLinkCreated = FALSE;
            }
            if (pPdoExt != NULL) {
                pPdoExt->pPdoData = NULL;
            }
            IoDeleteDevice(pPdo);
        }
        if (pPdoData != NULL) {
            if (fInList) {
                NTSTATUS st;
                DeleteFromList((PVOID *)&pExt->pListOfPdos, pPdoData, &st, 1, LIST_KEY_POINTER,
                               FIELD_OFFSET(PDO_DATA, pPdo));
            } else {
                ExFreePoolWithTag(pPdoData, BUS_TAG_PDO_DATA);
            }
        }
        if (ppNewPdo != NULL) {
            *ppNewPdo = NULL;
        }
    }
    EXT("BusCreatePdo: status 0x%08x\n", (ULONG)status);
    return status;
}

/*
 * Deletes a drive's virtual device and its PDO_DATA. Open handles keep the
 * device object (not the PDO_DATA) until they close; their requests find
 * pPdoData NULL and fail. The caller holds the bus-wide list lock exclusively.
 */
VOID BusPdoDelete(PBUS_EXT pExt, PPDO_DATA pPdoData)
{
    PDEVICE_OBJECT pPdo = pPdoData->pPdo;
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdo->DeviceExtension;
    KIRQL irql;
    NTSTATUS status;

    DBG("BusNotifyPnp: removing PDO 0x%08x with device object 0x%08x\n", DBG_PTR(pPdoData),
        DBG_PTR(pPdo));
    BusPdoMarkRemoving(pPdo);
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPdoExt->pPdoData = NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    pPdoExt->ePrevPnpState = pPdoExt->ePnpState;
    pPdoExt->ePnpState = PNP_ABSENT;

    /* The worker threads of the request queue stop before the device object goes. */
    BusPdoKillThread(pPdo);

    if (pPdoExt->fLinkCreated) {
        WCHAR wszLink[BUS_PERSISTENT_NAME_CCH + 16];
        UNICODE_STRING usLink;
        RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\%ws", pPdoExt->wszName);
        RtlInitUnicodeString(&usLink, wszLink);
        IoDeleteSymbolicLink(&usLink);
        pPdoExt->fLinkCreated = FALSE;
    }
    DeleteFromList((PVOID *)&pExt->pListOfPdos, pPdoData, &status, 1, LIST_KEY_POINTER, FIELD_OFFSET(PDO_DATA, pPdo));
    BusPdoReleaseReservationHolder(pPdoExt);
    IoDeleteDevice(pPdo);
}

/* ---- Paths ---- */

/*
 * A reservation key for a path of its own. Any initiator on the SAN, and any holder of a handle, can
 * read the keys a drive has registered (PERSISTENT RESERVE IN), so a key must say nothing about this
 * host: it is drawn from the clocks and a count of the keys drawn before, mixed so that consecutive
 * keys share no bits, and never made of an address. Never 0, which means "no preempt" in a record.
 */
ULONGLONG BusNewReservationKey(PBUS_EXT pExt)
{
    ENT("BusNewReservationKey: pExt 0x%08x\n", DBG_PTR(pExt));
    LARGE_INTEGER liCounter = KeQueryPerformanceCounter(NULL);
    LARGE_INTEGER liTime;
    KeQuerySystemTime(&liTime);
    ULONGLONG ullKey = (ULONGLONG)liCounter.QuadPart ^ ((ULONGLONG)liTime.QuadPart << 21) ^
                       ((ULONGLONG)InterlockedIncrement64(&pExt->llKeysDrawn) * 0x9E3779B97F4A7C15ULL);
    /* The finaliser of a 64-bit mix: every input bit reaches every output bit. */
    ullKey = (ullKey ^ (ullKey >> 30)) * 0xBF58476D1CE4E5B9ULL;
    ullKey = (ullKey ^ (ullKey >> 27)) * 0x94D049BB133111EBULL;
    ullKey ^= ullKey >> 31;
    if (ullKey == 0) {
        ullKey = 0x5A5A5A5A5A5A5A5AULL;
    }
    EXT("BusNewReservationKey: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return ullKey;
}

/*
 * Appends the path of a registration to its drive and accounts its adapter.
 * The adapter is accounted before the path is linked, so a path is never
 * in a list without its adapter record.
 */
NTSTATUS BusPdoAddPath(PPATH_DATA *ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc)
{
    ENT("BusPdoAddPath: ppNewPath 0x%08x, pPdoData 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(ppNewPath),
        DBG_PTR(pPdoData), DBG_PTR(pRegDvc));
    NTSTATUS status = STATUS_SUCCESS;
    PPATH_DATA pPath = NULL;
    PADAPTER_USAGE pSpare = NULL;
    BOOLEAN fNewPrimary = FALSE;
    PPDO_EXT pPdoExt;
    PBUS_EXT pExt;
    KIRQL irql;

    if (ppNewPath == NULL || pPdoData == NULL || pRegDvc == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    *ppNewPath = NULL;
    pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    pExt = pPdoExt->pBusExt;

    pPath = (PPATH_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PATH_DATA), BUS_TAG_PATH_DATA);
    if (pPath == NULL) {
        DBG("%s == NULL.\n", "BusPdoAddPath: pPathData");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pPath, sizeof(PATH_DATA));
    pPath->pFDO = pRegDvc->pDvcObj;
    pPath->scScsiAddr = pRegDvc->scScsiAddr;
    pPath->ePnp = (PNP_STATE)pRegDvc->ePnp;
    pPath->fActive = pRegDvc->ePnp == PNP_STARTED;
    pPath->ullOwnKey = BusNewReservationKey(pExt);
    pPath->ullKey = pPath->ullOwnKey;

    if (pExt->fLoadBalancing) {
        /* Allocated up front: a new adapter's record cannot be allocated under the locks. */
        pSpare = (PADAPTER_USAGE)ExAllocatePoolWithTag(NonPagedPool, sizeof(ADAPTER_USAGE), BUS_TAG_ADAPTER);
        if (pSpare != NULL) {
            RtlZeroMemory(pSpare, sizeof(ADAPTER_USAGE));
        }
    }

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pExt->fLoadBalancing) {
        KeAcquireSpinLockAtDpcLevel(&pExt->slAdapterList);
        pPath->pHBA = BusAdapterAcquire(pExt, pPath->scScsiAddr.PortNumber, &pSpare);
        KeReleaseSpinLockFromDpcLevel(&pExt->slAdapterList);
        if (pPath->pHBA == NULL) {
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            DBG("%s == NULL.\n", "BusPdoAddPath: pAdapterUsage");
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
    }
    if (pPath->fActive && BusPdoPrimaryPath(pPdoData) == NULL) {
        pPath->fPrimary = TRUE;
        pPdoExt->scScsiAddr = pPath->scScsiAddr;
        fNewPrimary = TRUE;
    }
    InsertTail((PVOID *)&pPdoData->pListOfPaths, pPath);
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    *ppNewPath = pPath;
    pPath = NULL;
    if (fNewPrimary) {
        BusPdoPrimaryEvent(pPdoData->pPdo->DriverObject, pExt, pRegDvc->pDvcObj, pPdoExt->szSN);
    }

done:
    if (pPath != NULL) {
        ExFreePoolWithTag(pPath, BUS_TAG_PATH_DATA);
    }
    if (pSpare != NULL) {
        ExFreePoolWithTag(pSpare, BUS_TAG_ADAPTER);
    }
    EXT("BusPdoAddPath: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The drive's primary path, or NULL. The caller holds the path-list spin lock. */
PPATH_DATA BusPdoPrimaryPath(PPDO_DATA pPdoData)
{
    for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        if (pPath->fPrimary) {
            return pPath;
        }
    }
    return NULL;
}

/* Makes the first active path primary; the caller holds the path-list spin lock. */
static PPATH_DATA BusPdoChooseFirstActive(PPDO_EXT pPdoExt, PPDO_DATA pPdoData)
{
    for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        if (pPath->fActive) {
            pPath->fPrimary = TRUE;
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            DBG("BusNotifyPnp: Setting new primary FDO 0x%08x for PDO 0x%08x\n", DBG_PTR(pPath->pFDO),
                DBG_PTR(pPdoData->pPdo));
            return pPath;
        }
    }
    DBG("BusNotifyPnp: Could not find primary path\n");
    return NULL;
}

/*
 * Applies a path's new PnP state: a started path is active and becomes
 * primary when the drive has none; any other state deactivates it and moves
 * the primary flag to the first active path. *ppNewPrimary receives the
 * filter device object of a path that became primary.
 */
BOOLEAN BusPdoSetPathState(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PNP_STATE ePnp,
                           PDEVICE_OBJECT *ppNewPrimary)
{
    PPATH_DATA pNewPrimary = NULL;
    KIRQL irql;

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPath->ePnp = ePnp;
    DBG("BusNotifyPnp: Setting state of FDO 0x%08x to %s\n", DBG_PTR(pPath->pFDO), DbgPnpStateName(ePnp));
    if (ePnp == PNP_STARTED) {
        pPath->fActive = TRUE;
        if (BusPdoPrimaryPath(pPdoData) == NULL) {
            pPath->fPrimary = TRUE;
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            DBG("BusNotifyPnp: Setting new primary FDO 0x%08x for PDO 0x%08x\n", DBG_PTR(pPath->pFDO),
                DBG_PTR(pPdoData->pPdo));
            pNewPrimary = pPath;
        }
    } else {
        DBG("BusNotifyPnp: deactivating FDO 0x%08x\n", DBG_PTR(pPath->pFDO));
        pPath->fActive = FALSE;
        if (pPath->fPrimary) {
            pPath->fPrimary = FALSE;
            pNewPrimary = BusPdoChooseFirstActive(pPdoExt, pPdoData);
        }
    }
    if (pNewPrimary != NULL && ppNewPrimary != NULL) {
        *ppNewPrimary = pNewPrimary->pFDO;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return pNewPrimary != NULL;
}

/*
 * Unlinks and frees a path, gives back its adapter count, and deletes the
 * drive's virtual device with its last path. Returns TRUE when the device
 * went. The caller holds the bus-wide list lock exclusively.
 */
BOOLEAN BusPdoRemovePath(PBUS_EXT pExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PDEVICE_OBJECT *ppNewPrimary)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    PPATH_DATA pNewPrimary = NULL;
    BOOLEAN fEmpty;
    KIRQL irql;

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    for (PPATH_DATA *ppLink = &pPdoData->pListOfPaths; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pPath) {
            *ppLink = pPath->pNext;
            break;
        }
    }
    if (pPath->fPrimary) {
        pPath->fPrimary = FALSE;
        pNewPrimary = BusPdoChooseFirstActive(pPdoExt, pPdoData);
    }
    if (pPath->pHBA != NULL) {
        KeAcquireSpinLockAtDpcLevel(&pExt->slAdapterList);
        BusAdapterRelease(pExt, pPath->pHBA);
        KeReleaseSpinLockFromDpcLevel(&pExt->slAdapterList);
        pPath->pHBA = NULL;
    }
    fEmpty = pPdoData->pListOfPaths == NULL;
    if (fEmpty) {
        /* From here on opens and requests on the device find no drive. */
        pPdoExt->pPdoData = NULL;
    } else {
        /* Removed in order, the path keeps its connection to the drive, and a medium lock taken
           through it: the engine remembers that it needs the application's unlock too. */
        InterlockedOr(&pPdoExt->lPathEvents, BUS_PATH_EVENT_LEFT);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    if (pNewPrimary != NULL && ppNewPrimary != NULL) {
        *ppNewPrimary = pNewPrimary->pFDO;
    }
    ExFreePoolWithTag(pPath, BUS_TAG_PATH_DATA);
    if (fEmpty) {
        BusPdoDelete(pExt, pPdoData);
    }
    return fEmpty;
}

/*
 * Points the path's SCSI device map entry at the virtual device. The entry
 * is the port driver's; its value "DeviceName" is what tools read to find the
 * device of a SCSI address.
 */
NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData)
{
    ENT("BusPdoUpdateRegistry: pDeviceObject 0x%08x, pPathData 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pPathData));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    HANDLE hKey = NULL;
    WCHAR wszKey[160];
    UNICODE_STRING usKey;
    UNICODE_STRING usValueName;
    OBJECT_ATTRIBUTES oa;

    RtlStringCchPrintfW(wszKey, RTL_NUMBER_OF(wszKey),
                        L"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %d\\Scsi Bus %d\\Target Id "
                        L"%d\\Logical Unit Id %d",
                        pPathData->scScsiAddr.PortNumber, pPathData->scScsiAddr.PathId,
                        pPathData->scScsiAddr.TargetId, pPathData->scScsiAddr.Lun);
    RtlInitUnicodeString(&usKey, wszKey);
    InitializeObjectAttributes(&oa, &usKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&hKey, KEY_READ | KEY_WRITE, &oa);
    if (!NT_SUCCESS(status)) {
        DBG("%s failed with RC = 0x%08x\n", "BusPdoUpdateRegistry: ZwOpenKey", (ULONG)status);
        goto done;
    }
    RtlInitUnicodeString(&usValueName, L"DeviceName");
    {
        /* The characters of "Tape<n>" without a terminating NUL. */
        WCHAR wszName[BUS_PERSISTENT_NAME_CCH + 1];
        size_t cch = 0;
        RtlStringCchPrintfW(wszName, RTL_NUMBER_OF(wszName), L"Tape%d", (int)pPdoExt->ulTapeNumber);
        RtlStringCchLengthW(wszName, RTL_NUMBER_OF(wszName), &cch);
        status = ZwSetValueKey(hKey, &usValueName, 0, REG_SZ, wszName, (ULONG)(cch * sizeof(WCHAR)));
    }
    if (!NT_SUCCESS(status)) {
        DBG("%s failed with RC = 0x%08x\n", "BusPdoUpdateRegistry: ZwSetValueKey", (ULONG)status);
    }
    ZwClose(hKey);

done:
    EXT("BusPdoUpdateRegistry: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Open and close ---- */

BOOLEAN BusPdoIsGone(PPDO_EXT pPdoExt)
{
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    BOOLEAN fGone = pPdoExt->pPdoData == NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    return fGone;
}

/*
 * Picks the primary path for a new open by adapter usage: the first path
 * whose adapter has served strictly fewer opens than every earlier path's
 * takes over when it has served fewer than the current primary's. The
 * caller holds the path-list spin lock; FALSE when no path can be primary.
 */
static BOOLEAN BusPdoBalanceLoad(PPDO_EXT pPdoExt, PPDO_DATA pPdoData)
{
    PBUS_EXT pExt = pPdoExt->pBusExt;
    PPATH_DATA pLowest = NULL;
    PPATH_DATA pPrimary = NULL;
    PPATH_DATA pFirstActive = NULL;
    BOOLEAN fOk = TRUE;

    KeAcquireSpinLockAtDpcLevel(&pExt->slAdapterList);
    for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        /* A stopped path cannot carry the drive's requests, however little it was used. */
        if (pPath->fActive && pPath->pHBA != NULL &&
            (pLowest == NULL || pPath->pHBA->ulOpenUsage < pLowest->pHBA->ulOpenUsage)) {
            pLowest = pPath;
        }
        if (pPath->fPrimary && pPrimary == NULL) {
            pPrimary = pPath;
        }
        if (pPath->fActive && pFirstActive == NULL) {
            pFirstActive = pPath;
        }
    }
    if (pPrimary == NULL) {
        pPrimary = pFirstActive;
        if (pPrimary != NULL) {
            pPrimary->fPrimary = TRUE;
            pPdoExt->scScsiAddr = pPrimary->scScsiAddr;
        }
    }
    if (pPrimary == NULL) {
        fOk = FALSE;
    } else {
        if (pLowest != NULL && pPrimary->pHBA != NULL && pLowest->pHBA->ulOpenUsage < pPrimary->pHBA->ulOpenUsage) {
            DBG("Setting new primary path 0x%08x based on load balancing.\n", DBG_PTR(pLowest->pFDO));
            pPrimary->fPrimary = FALSE;
            pLowest->fPrimary = TRUE;
            pPrimary = pLowest;
            /* IOCTL_SCSI_GET_ADDRESS reports the primary path. */
            pPdoExt->scScsiAddr = pPrimary->scScsiAddr;
        } else {
            DBG("no load balancing performed. primary path has the lowest usage (%d).\n",
                pPrimary->pHBA != NULL ? pPrimary->pHBA->ulOpenUsage : 0);
        }
        if (pPrimary->pHBA != NULL) {
            pPrimary->pHBA->ulOpenUsage++;
        }
    }
    KeReleaseSpinLockFromDpcLevel(&pExt->slAdapterList);
    return fOk;
}

/* The file object of an open granted no data access (FsContext2): it took no part of the open count. */
#define BUS_OPEN_UNCOUNTED ((PVOID)(ULONG_PTR)1)

/* Access that reads or writes the drive's data, mapped or still generic. */
static BOOLEAN BusAccessMovesData(PIO_STACK_LOCATION pIrpStack)
{
    const ACCESS_MASK data = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_READ | GENERIC_WRITE |
                             GENERIC_ALL | MAXIMUM_ALLOWED;
    PIO_SECURITY_CONTEXT pSecurity = pIrpStack->Parameters.Create.SecurityContext;
    return pSecurity == NULL || (pSecurity->DesiredAccess & data) != 0;
}

static BOOLEAN BusPdoFileUncounted(PIRP pIrp)
{
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    return pFileObject != NULL && pFileObject->FsContext2 == BUS_OPEN_UNCOUNTED;
}

NTSTATUS BusPdoCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoCreate: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    if (!BusAccessMovesData(pIrpStack) && pIrpStack->FileObject != NULL) {
        /* An open for attributes only (a monitoring tool, a device query) neither takes the exclusive
           drive's only slot nor begins a session: it is not sent to the drive, and its handle reaches
           the drive only through requests that need no data access. */
        pIrpStack->FileObject->FsContext2 = BUS_OPEN_UNCOUNTED;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        status = pPdoExt->pPdoData == NULL ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        DBG("BusPdoCreate: open without data access, not counted\n");
        BusCompleteRequest(pIrp, status, 0);
        EXT("BusPdoCreate: status 0x%08x\n", (ULONG)status);
        return status;
    }

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPDO_DATA pPdoData = pPdoExt->pPdoData;
    if (pPdoData == NULL) {
        status = STATUS_DELETE_PENDING;
    } else if (pPdoExt->fExclusive && pPdoExt->ulOpenHandles != 0) {
        DBG("BusDispatchCreate: Handle already open.  Access denied.\n");
        status = STATUS_ACCESS_DENIED;
    } else {
        /* The first handle starts from what the drive says: another host, or this one without the
           package, may have used it since the last close. A handle opened beside others joins their
           session, whose block size and position the bus keeps tracking for every handle: forgetting
           them would let a failover put the drive back to its default block size under them. */
        if (pPdoExt->ulOpenHandles == 0) {
            pPdoExt->fBlockSizeValid = FALSE;
            pPdoExt->ucBlockSizeDoubt = BUS_BLOCK_SIZE_ON_DRIVE;
            pPdoExt->fPositionValid = FALSE;
            pPdoExt->fRewound = FALSE;
            DBG("BusDispatchCreate: fBlockSizeValid set to FALSE\n");
        }
        /* Load is balanced when a session begins: moving the path under handles already open
           would leave their settings behind on the old one. */
        if (pPdoExt->pBusExt->fLoadBalancing && !pPdoExt->fPAMR && pPdoExt->ulOpenHandles == 0 &&
            !BusPdoBalanceLoad(pPdoExt, pPdoData)) {
            status = STATUS_DELETE_PENDING;
        } else {
            InterlockedIncrement(&pPdoExt->ulOpenHandles);
        }
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    if (!NT_SUCCESS(status)) {
        pIrp->IoStatus.Status = status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    } else {
        /* Queued like every request that reaches the drive, so that it never runs beside another;
           waited for, so that a failed open gives its count back before the caller learns of it. */
        NTSTATUS iOutcome;
        status = BusPdoQueueIrpAndWait(pDeviceObject, pIrp, BusSendToFilter, &iOutcome);
        if (status != STATUS_PENDING) {
            pIrp->IoStatus.Status = status;
            pIrp->IoStatus.Information = 0;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        }
        if (!NT_SUCCESS(iOutcome)) {
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            LONG lHandles = BusDecrementOpenHandles(pPdoExt);
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            DBG("BusDispatchCreate on PDO failed. There are now %d open handles\n", lHandles);
        }
    }
    EXT("BusPdoCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

/*
 * Gives back the open count of one file object on the virtual device. The tracked position is
 * forgotten only at the close (fForgetPosition): at cleanup a request of the handle may still be
 * on the worker, and the position model is that request's until it ends.
 */
static LONG BusPdoReleaseOpen(PPDO_EXT pPdoExt, BOOLEAN fRelease, BOOLEAN fForgetPosition)
{
    KIRQL irql;
    LONG lHandles = -1;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (fRelease) {
        lHandles = BusDecrementOpenHandles(pPdoExt);
    }
    if (fForgetPosition) {
        pPdoExt->fPositionValid = FALSE;
        pPdoExt->fRewound = FALSE;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    DBG("BusPdoReleaseOpen: There are now %d open handles\n", lHandles);
    return lHandles;
}

/*
 * The application's last handle to a file object goes. The I/O manager sends this in the closing
 * thread before CloseHandle returns, while the close request follows only when the last reference
 * to the file object goes: a request of the handle still queued or being completed keeps one. The
 * open count is given back here, so that an exclusive drive admits the next open as soon as the
 * application has closed its handle.
 */
NTSTATUS BusPdoCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoCleanup: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;

    NTSTATUS status = STATUS_SUCCESS;
    if (!BusPdoFileUncounted(pIrp) && BusPdoReleaseOpen(pPdoExt, TRUE, FALSE) == 0 && !BusPdoIsGone(pPdoExt)) {
        /* The application's last handle: the worker gives a missed unlock to every path first. */
        NTSTATUS iOutcome;
        status = BusPdoQueueIrpAndWait(pDeviceObject, pIrp, BusPdoCleanupLastHandle, &iOutcome);
        if (status == STATUS_PENDING) {
            EXT("BusPdoCleanup: status 0x%08x\n", (ULONG)status);
            return status;
        }
        status = STATUS_SUCCESS;
    }
    BusCompleteRequest(pIrp, status, 0);

    EXT("BusPdoCleanup: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    NTSTATUS status;
    BOOLEAN fGone;
    KIRQL irql;

    if (BusPdoFileUncounted(pIrp)) {
        /* Never counted and never sent to the drive: nothing to give back or to close below. */
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
        EXT("BusPdoClose: status 0x%08x\n", (ULONG)status);
        return status;
    }
    /* A file object that had its cleanup gave its count back then; one closed without a cleanup
       (a kernel-mode reference, never a handle) gives it back now. */
    BusPdoReleaseOpen(pPdoExt, pFileObject == NULL || (pFileObject->Flags & FO_CLEANUP_COMPLETE) == 0, TRUE);
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    fGone = pPdoExt->pPdoData == NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);

    if (fGone) {
        /* The drive lost its paths; the handle still closes. */
        status = STATUS_SUCCESS;
        pIrp->IoStatus.Status = status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    } else {
        /* Queued behind the requests sent before it; the handle closes whatever the drive says. */
        NTSTATUS iOutcome;
        status = BusPdoQueueIrpAndWait(pDeviceObject, pIrp, BusSendToFilter, &iOutcome);
        if (status != STATUS_PENDING) {
            DBG_FAILED("BusPdoClose: BusPdoQueueIrp", status);
            status = STATUS_SUCCESS;
            pIrp->IoStatus.Status = status;
            pIrp->IoStatus.Information = 0;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        }
    }
    EXT("BusPdoClose: status 0x%08x\n", (ULONG)status);
    return status;
}
