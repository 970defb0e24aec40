/*
 * Plug and Play and power handling of the control device, and the outstanding-request count that
 * stop and remove of both device kinds wait on.
 */
#include <ntddk.h>
#include "bus.h"

/* ---- Request counting ---- */

typedef struct _BUS_IO_COUNT_REF {
    PLONG plCount;
    PKEVENT pevIdle;
    PKEVENT pevRemove;
    PFAST_MUTEX pfmCount;
    PFAST_MUTEX pfmPnp;
} BUS_IO_COUNT_REF;

/* The control device's or the virtual device's count, by the kind of device. */
static BUS_IO_COUNT_REF BusIoCountOf(PDEVICE_OBJECT pDeviceObject)
{
    BUS_IO_COUNT_REF ref;
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader->fIsFdo) {
        PBUS_EXT pExt = (PBUS_EXT)pHeader;
        ref = { &pExt->ulIoCount, &pExt->evIdle, &pExt->evRemove, &pExt->fmIoCount, &pExt->fmPnp };
    } else {
        PPDO_EXT pPdoExt = (PPDO_EXT)pHeader;
        ref = { &pPdoExt->ulIoCount, &pPdoExt->evIdle, &pPdoExt->evRemove, &pPdoExt->fmIoCount, &pPdoExt->fmPnp };
    }
    return ref;
}

LONG BusIncIoCount(PDEVICE_OBJECT pDeviceObject)
{
    BUS_IO_COUNT_REF ref = BusIoCountOf(pDeviceObject);
    ExAcquireFastMutex(ref.pfmCount);
    LONG lCount = ++*ref.plCount;
    if (lCount == 2) {
        KeClearEvent(ref.pevIdle);   /* a request is in flight */
    }
    ExReleaseFastMutex(ref.pfmCount);
    DBG("BusIncIoCount: pDeviceObject 0x%08x, I/O count %d\n", DBG_PTR(pDeviceObject), (int)lCount);
    return lCount;
}

LONG BusDecIoCount(PDEVICE_OBJECT pDeviceObject)
{
    BUS_IO_COUNT_REF ref = BusIoCountOf(pDeviceObject);
    ExAcquireFastMutex(ref.pfmCount);
    LONG lCount = --*ref.plCount;
    if (lCount == 1) {
        KeSetEvent(ref.pevIdle, IO_NO_INCREMENT, FALSE);
    }
    if (lCount <= 0) {
        KeSetEvent(ref.pevRemove, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(ref.pfmCount);
    DBG("BusDecIoCount: pDeviceObject 0x%08x, I/O count %d\n", DBG_PTR(pDeviceObject), (int)lCount);
    return lCount;
}

BOOLEAN BusEnterDevice(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusEnterDevice: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    PFAST_MUTEX pfmPnp;
    PUCHAR pfRemoving;
    if (pHeader->fIsFdo) {
        pfmPnp = &((PBUS_EXT)pHeader)->fmPnp;
        pfRemoving = &((PBUS_EXT)pHeader)->fRemoving;
    } else {
        pfmPnp = &((PPDO_EXT)pHeader)->fmPnp;
        pfRemoving = &((PPDO_EXT)pHeader)->fRemoving;
    }
    BOOLEAN fEntered = FALSE;
    ExAcquireFastMutex(pfmPnp);
    /* Every removal marks the device before its count drops to 0: nothing may count in after that. */
    if (!*pfRemoving) {
        BusIncIoCount(pDeviceObject);
        fEntered = TRUE;
    }
    ExReleaseFastMutex(pfmPnp);
    EXT("BusEnterDevice: %s\n", fEntered ? "counted in" : "device removed");
    return fEntered;
}

BOOLEAN BusControlDeviceEnter(PDEVICE_OBJECT pControlDevice)
{
    return BusEnterDevice(pControlDevice);
}

/* ---- PnP dispatch ---- */

NTSTATUS BusDispatchPnP(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchPnP: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pIrpStack != NULL ? pIrpStack->MinorFunction : 0xFF;
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;

    BOOLEAN fCounted = TRUE;
    if (!pHeader->fIsFdo) {
        /* Counts the request in and completes it; a removed virtual device refuses it uncounted. */
        PPDO_EXT pPdoExt = (PPDO_EXT)pHeader;
        ExAcquireFastMutex(&pPdoExt->fmPnp);
        fCounted = !pPdoExt->fRemoving;
        ExReleaseFastMutex(&pPdoExt->fmPnp);
        if (fCounted) {
            status = BusPdoPnp(pDeviceObject, pIrp);
        } else {
            DBG("BusDispatchPnP: virtual device removed, completing IRP\n");
            status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
        }
    } else {
        PBUS_EXT pExt = (PBUS_EXT)pHeader;
        ExAcquireFastMutex(&pExt->fmPnp);
        LONG lCount = BusIncIoCount(pDeviceObject);   /* the count changes under its own mutex only */
        DBG_ASSERT(lCount > 1);
        ExReleaseFastMutex(&pExt->fmPnp);

        if (pIrpStack == NULL) {
            DBG_NULL("BusDispatchPnP: pIrpStack");
            status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
        } else {
            DBG("BusDispatchPnP: %s\n", DbgPnpMinorFunctionName(ucMinor));
            switch (ucMinor) {
            case IRP_MN_START_DEVICE:
                status = BusIrpMnStartDevice(pDeviceObject, pIrp);
                break;
            case IRP_MN_QUERY_REMOVE_DEVICE:
                pIrp->IoStatus.Status = BusIrpMnQueryRemoveDevice(pDeviceObject, pIrp);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            case IRP_MN_REMOVE_DEVICE:
                status = BusIrpMnRemoveDevice(pDeviceObject, pIrp);
                break;
            case IRP_MN_CANCEL_REMOVE_DEVICE:
                status = BusIrpMnCancelRemoveDevice(pDeviceObject, pIrp);
                break;
            case IRP_MN_STOP_DEVICE:
                pIrp->IoStatus.Status = BusIrpMnStopDevice(pDeviceObject, pIrp);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            case IRP_MN_QUERY_STOP_DEVICE:
                pIrp->IoStatus.Status = BusIrpMnQueryStopDevice(pDeviceObject, pIrp);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            case IRP_MN_CANCEL_STOP_DEVICE:
                status = BusIrpMnCancelStopDevice(pDeviceObject, pIrp);
                break;
            case IRP_MN_QUERY_DEVICE_RELATIONS:
                /* Reports no child: the request goes down unchanged. */
                BusIrpMnQueryDeviceRelations(pDeviceObject, pIrp);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            case IRP_MN_SURPRISE_REMOVAL:
                pIrp->IoStatus.Status = BusIrpMnSurpriseRemoval(pDeviceObject, pIrp);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            default:
                DBG("BusDispatchPnp: unhandled minor function 0x%08x\n", (ULONG)ucMinor);
                status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
                break;
            }
        }
    }

    /* The remove handler has counted its request out and the device is gone. */
    if (fCounted && ucMinor != IRP_MN_REMOVE_DEVICE) {
        LONG lCount = BusDecIoCount(pDeviceObject);
        DBG("BusDispatchPnP: status 0x%08x, I/O count: %d\n", (ULONG)status, (int)lCount);
    }

    EXT("BusDispatchPnP: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Control device handlers ---- */

NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;

    /* The devices below start first; the configuration is read whatever they answer. */
    NTSTATUS status = CmnSendIrpSync(pDeviceObject, pIrp);

    BusReadFailoverFlags(&pExt->fFailoverDisabled, &pExt->fEventsEnabled, "DPF");

    pExt->fPersistentNaming = BusReadFlag(L"PersistentNaming");
    if (pExt->fPersistentNaming) {
        DBG("BusIrpMnStartDevice: Persistent Naming Enabled\n");
    } else {
        DBG("BusIrpMnStartDevice: Persistent Naming Disabled, unless  overridden by tape drive.\n");
    }

    if (!NT_SUCCESS(BusQueryForPersistentNames(pDeviceObject))) {
        DBG("BusIrpMnStartDevice: Could not retrieve persistent naming information from registry\n");
    }

    BusSetPnpState((PDEVICE_EXT_HEADER)pExt, PNP_STARTED);
    /* Paths that lost an earlier instance of the bus (removed, or its driver unloaded) register
       again now, so the drives come back under their names without any event of their own. */
    BusAnnounceState(BUS_STATE_ARRIVED);

    EXT("BusIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnQueryRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    BusSetPnpState((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension, PNP_REMOVE_PENDING);
    EXT("BusIrpMnQueryRemoveDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnQueryStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    BusSetPnpState((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension, PNP_STOP_PENDING);
    EXT("BusIrpMnQueryStopDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

/* Cancel of a query: the devices below first, then the state from before the query, but only when the
   query's pending state still holds. */
static NTSTATUS BusCancelPending(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PNP_STATE ePending, PCSTR szRoutine)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    NTSTATUS status = CmnSendIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(status) && pHeader->ePnpState == ePending) {
        pHeader->ePnpState = pHeader->ePrevPnpState;
        DBG("%s: state restored to %s\n", szRoutine, DbgPnpStateName(pHeader->ePnpState));
    }
    return status;
}

NTSTATUS BusIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnCancelRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusCancelPending(pDeviceObject, pIrp, PNP_REMOVE_PENDING, "BusIrpMnCancelRemoveDevice");
    EXT("BusIrpMnCancelRemoveDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnCancelStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusCancelPending(pDeviceObject, pIrp, PNP_STOP_PENDING, "BusIrpMnCancelStopDevice");
    EXT("BusIrpMnCancelStopDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;

    /* Wait until every other request in flight has been counted out, then count this one in again so
       that the dispatch routine's count-out balances. */
    BusDecIoCount(pDeviceObject);   /* traces the count it leaves */
    KeWaitForSingleObject(&pExt->evIdle, Executive, KernelMode, FALSE, NULL);
    BusIncIoCount(pDeviceObject);
    BusSetPnpState((PDEVICE_EXT_HEADER)pExt, PNP_STOPPED);

    EXT("BusIrpMnStopDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusIrpMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnQueryDeviceRelations: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    /* The virtual devices are reached by name only; they are never reported as children. */
    DBG("BusIrpMnQueryDeviceRelations: status 0x%08x, %d relations reported.\n", (ULONG)STATUS_SUCCESS, 0);
    EXT("BusIrpMnQueryDeviceRelations: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnSurpriseRemoval: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    DBG_ASSERT(!"This is a software bus so should never be surprise-removed.");
    BusSetPnpState((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension, PNP_SURPRISE_REMOVE);
    EXT("BusIrpMnSurpriseRemoval: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

/*
 * Takes every drive away from the bus. Each drive is first cut from its virtual device under the
 * device's path-list spin lock (an open reaches the adapter records through the drive's paths under
 * that lock, so the paths lose their adapter pointers there too); only then do the adapter records
 * go. Each virtual device is then retired (workers stopped, requests in flight waited for, link and
 * object deleted), and only after that are its path and drive records freed, as the workers read
 * them until they end. The caller has waited for every request on the control device.
 */
static VOID BusFreeDriveRecords(PBUS_EXT pExt)
{
    KIRQL irql;
    BusLockPdoListExclusive(&pExt->rsPdoList);
    PPDO_DATA pPdoData = pExt->pListOfPdos;
    pExt->pListOfPdos = NULL;
    for (PPDO_DATA pScan = pPdoData; pScan != NULL; pScan = pScan->pNext) {
        if (pScan->pPdo != NULL) {
            BusPdoMarkRemoving(pScan->pPdo);
            PPDO_EXT pPdoExt = (PPDO_EXT)pScan->pPdo->DeviceExtension;
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            pPdoExt->pPdoData = NULL;
            for (PPATH_DATA pPath = pScan->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
                pPath->pHBA = NULL;
            }
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        }
    }

    if (pExt->fLoadBalancing) {
        KeAcquireSpinLock(&pExt->slAdapterList, &irql);
        PADAPTER_USAGE pAdapter = pExt->pAdapterUsage;
        pExt->pAdapterUsage = NULL;
        KeReleaseSpinLock(&pExt->slAdapterList, irql);
        while (pAdapter != NULL) {
            PADAPTER_USAGE pNext = pAdapter->pNext;
            ExFreePool(pAdapter);
            pAdapter = pNext;
        }
    }
    BusDeletePersistentNames(&pExt->pPersistentNames);
    BusUnlockPdoList(&pExt->rsPdoList);

    /* The workers may wait for the list lock; the devices are retired without it. */
    while (pPdoData != NULL) {
        PPDO_DATA pNextPdoData = pPdoData->pNext;
        if (pPdoData->pPdo != NULL) {
            BusPdoRetire(pPdoData->pPdo);
        }
        PPATH_DATA pPath = pPdoData->pListOfPaths;
        pPdoData->pListOfPaths = NULL;
        while (pPath != NULL) {
            PPATH_DATA pNextPath = pPath->pNext;
            ExFreePool(pPath);
            pPath = pNextPath;
        }
        ExFreePool(pPdoData);
        pPdoData = pNextPdoData;
    }
}

NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;

    /* Filters keep the control device open and may still send to it; from here on nothing more is
       counted in. Count out this request and the base count of 1, then wait for everything in
       flight (a registration that went on after the records were freed would leave a drive behind,
       so the wait comes first). */
    ExAcquireFastMutex(&pExt->fmPnp);
    pExt->fRemoving = TRUE;
    BusDecIoCount(pDeviceObject);
    BusDecIoCount(pDeviceObject);
    ExReleaseFastMutex(&pExt->fmPnp);
    KeWaitForSingleObject(&pExt->evRemove, Executive, KernelMode, FALSE, NULL);

    DBG("BusIrpMnRemoveDevice: deleting pListOfPdos.\n");
    BusFreeDriveRecords(pExt);
    /* Nothing is forwarded any more: the filters let go of the status table and close the control
       device, so that it goes with this removal and the driver can unload. */
    BusAnnounceState(BUS_STATE_LEAVING);

    BusSetPnpState((PDEVICE_EXT_HEADER)pExt, PNP_ABSENT);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    DBG("BusIrpMnRemoveDevice: Sending IRP down.\n");
    PDEVICE_OBJECT pNextLowerDevice = pExt->pNextLowerDevice;
    IoSkipCurrentIrpStackLocation(pIrp);
    NTSTATUS status = IoCallDriver(pNextLowerDevice, pIrp);

    BusDeleteControlDevice(pDeviceObject, pNextLowerDevice, &pExt->usLinkName, &pExt->rsPdoList);

    EXT("BusIrpMnRemoveDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Power ---- */

NTSTATUS BusDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchPower: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPassPower(pDeviceObject, pIrp);
    EXT("BusDispatchPower: status 0x%08x\n", (ULONG)status);
    return status;
}
