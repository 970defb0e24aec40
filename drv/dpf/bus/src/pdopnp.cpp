/*
 * Plug and Play requests that some component sends directly to a virtual tape device. The virtual
 * devices are not children in the Plug and Play tree, so these requests are rare; each is answered
 * here and completed, since there is no device below a virtual device.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

static VOID BusPdoSetPnpState(PPDO_EXT pPdoExt, PNP_STATE eNewState)
{
    pPdoExt->ePrevPnpState = pPdoExt->ePnpState;
    pPdoExt->ePnpState = eNewState;
}

static VOID BusPdoRestorePnpState(PPDO_EXT pPdoExt, PNP_STATE ePending, PCSTR szRoutine)
{
    if (pPdoExt->ePnpState == ePending) {
        pPdoExt->ePnpState = pPdoExt->ePrevPnpState;
        DBG("%s: state restored to %s\n", szRoutine, DbgPnpStateName(pPdoExt->ePnpState));
    }
}

/* Unlinks pPdoData from the bus's drive list (the list itself is not freed here). */
static VOID BusPdoUnlinkPdoData(PBUS_EXT pBusExt, PPDO_DATA pPdoData)
{
    for (PPDO_DATA *ppLink = &pBusExt->pListOfPdos; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pPdoData) {
            *ppLink = pPdoData->pNext;
            pPdoData->pNext = NULL;
            return;
        }
    }
}

BOOLEAN BusPdoMarkRemoving(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoMarkRemoving: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    ExAcquireFastMutex(&pPdoExt->fmPnp);
    BOOLEAN fFirst = !pPdoExt->fRemoving;
    pPdoExt->fRemoving = TRUE;
    ExReleaseFastMutex(&pPdoExt->fmPnp);
    EXT("BusPdoMarkRemoving: %s\n", fFirst ? "marked" : "already being removed");
    return fFirst;
}

VOID BusPdoDeleteLink(PPDO_EXT pPdoExt)
{
    ENT("BusPdoDeleteLink: pPdoExt 0x%08x\n", DBG_PTR(pPdoExt));
    if (pPdoExt->fLinkCreated) {
        WCHAR wszLink[40];
        UNICODE_STRING usLink;
        if (NT_SUCCESS(RtlStringCchPrintfW(wszLink, RTL_NUMBER_OF(wszLink), L"\\DosDevices\\%ws",
                                           pPdoExt->wszName))) {
            RtlInitUnicodeString(&usLink, wszLink);
            IoDeleteSymbolicLink(&usLink);
        }
        pPdoExt->fLinkCreated = FALSE;
    }
    EXT("BusPdoDeleteLink: VOID status\n");
}

VOID BusPdoRetire(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoRetire: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    KIRQL irql;

    BusPdoMarkRemoving(pDeviceObject);
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPdoExt->pPdoData = NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    BusPdoSetPnpState(pPdoExt, PNP_ABSENT);

    /* Queued requests are cancelled and the workers end; then the requests still in a dispatch
       routine are waited for (the base count of 1 goes with the device). */
    BusPdoKillThread(pDeviceObject);
    ExAcquireFastMutex(&pPdoExt->fmPnp);
    LONG lCount = BusDecIoCount(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->fmPnp);
    DBG("BusPdoRetire: I/O count %d\n", (int)lCount);
    KeWaitForSingleObject(&pPdoExt->evRemove, Executive, KernelMode, FALSE, NULL);

    /* The bus goes next: an open handle's request must not reach it. */
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPdoExt->pBusExt = NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    BusPdoDeleteLink(pPdoExt);
    BusPdoReleaseReservationHolder(pPdoExt);
    IoDeleteDevice(pDeviceObject);
    EXT("BusPdoRetire: VOID status\n");
}

static NTSTATUS BusPdoMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PBUS_EXT pBusExt = NULL;
    PDEVICE_OBJECT pControlDevice = NULL;
    KIRQL irql;

    /*
     * 1. The drive's records: adapter usage, paths, the drive record itself. They are the bus's, so
     * the bus is used only when it still holds this drive, referenced and counted in until this
     * device is gone (its workers read the bus's extension). When the bus's own removal has begun it
     * deletes this device: this request then only counts itself out.
     */
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL && pPdoExt->pBusExt != NULL && pPdoExt->pBusExt->pDeviceObject != NULL) {
        pControlDevice = pPdoExt->pBusExt->pDeviceObject;
        ObReferenceObject(pControlDevice);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    BOOLEAN fEntered = pControlDevice != NULL && BusControlDeviceEnter(pControlDevice);
    if ((pControlDevice != NULL && !fEntered) || !BusPdoMarkRemoving(pDeviceObject)) {
        DBG("BusPdoMnRemoveDevice: the bus is removing this device.\n");
        if (fEntered) {
            BusDecIoCount(pControlDevice);
        }
        if (pControlDevice != NULL) {
            ObDereferenceObject(pControlDevice);
        }
        BusDecIoCount(pDeviceObject);
        EXT("BusPdoMnRemoveDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    if (fEntered) {
        pBusExt = pPdoExt->pBusExt;
        BusLockPdoListExclusive(&pBusExt->rsPdoList);
    }
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    PPDO_DATA pPdoData = pBusExt != NULL ? pPdoExt->pPdoData : NULL;
    PPATH_DATA pPaths = NULL;
    if (pPdoData != NULL) {
        pPaths = pPdoData->pListOfPaths;
        if (pBusExt->fLoadBalancing) {
            for (PPATH_DATA pPath = pPaths; pPath != NULL; pPath = pPath->pNext) {
                PADAPTER_USAGE pAdapter = pPath->pHBA;
                if (pAdapter == NULL) {
                    continue;
                }
                KIRQL irqlAdapter;
                KeAcquireSpinLock(&pBusExt->slAdapterList, &irqlAdapter);
                pAdapter->ulRefCt--;
                DBG_ASSERT(((signed)(pAdapter->ulRefCt)) >= 0);
                BOOLEAN fRemove = ((LONG)pAdapter->ulRefCt) <= 0;
                DBG("BusPdoMnRemoveDevice: Adapter %d ref ct now %d.%s\n", (int)pAdapter->ulAdapter,
                    (int)pAdapter->ulRefCt, fRemove ? "  Removing." : "");
                if (fRemove) {
                    for (PADAPTER_USAGE *ppLink = &pBusExt->pAdapterUsage; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
                        if (*ppLink == pAdapter) {
                            *ppLink = pAdapter->pNext;
                            break;
                        }
                    }
                    /* Other paths of this drive on the same adapter must not see the freed record. */
                    for (PPATH_DATA pOther = pPath->pNext; pOther != NULL; pOther = pOther->pNext) {
                        if (pOther->pHBA == pAdapter) {
                            pOther->pHBA = NULL;
                        }
                    }
                    ExFreePool(pAdapter);
                }
                pPath->pHBA = NULL;
                KeReleaseSpinLock(&pBusExt->slAdapterList, irqlAdapter);
            }
        }
        BusPdoUnlinkPdoData(pBusExt, pPdoData);
        pPdoExt->pPdoData = NULL;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pBusExt != NULL) {
        BusUnlockPdoList(&pBusExt->rsPdoList);
    }

    /* 2. Count out this request and the base count, then wait for the rest. */
    ExAcquireFastMutex(&pPdoExt->fmPnp);
    BusDecIoCount(pDeviceObject);
    BusDecIoCount(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->fmPnp);
    KeWaitForSingleObject(&pPdoExt->evRemove, Executive, KernelMode, FALSE, NULL);

    /* 3. Gone. The drive's records go only once the workers that read them have ended. */
    BusPdoSetPnpState(pPdoExt, PNP_ABSENT);
    BusPdoKillThread(pDeviceObject);
    if (pPdoData != NULL) {
        pPdoData->pListOfPaths = NULL;
        while (pPaths != NULL) {
            PPATH_DATA pNext = pPaths->pNext;
            ExFreePool(pPaths);
            pPaths = pNext;
        }
        ExFreePool(pPdoData);
    }
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    pPdoExt->pBusExt = NULL;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (fEntered) {
        BusDecIoCount(pControlDevice);
    }
    if (pControlDevice != NULL) {
        ObDereferenceObject(pControlDevice);
    }
    BusPdoDeleteLink(pPdoExt);
    BusPdoReleaseReservationHolder(pPdoExt);
    IoDeleteDevice(pDeviceObject);

    EXT("BusPdoMnRemoveDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoMnStopDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    BusDecIoCount(pDeviceObject);
    KeWaitForSingleObject(&pPdoExt->evIdle, Executive, KernelMode, FALSE, NULL);
    BusIncIoCount(pDeviceObject);
    BusPdoSetPnpState(pPdoExt, PNP_STOPPED);
    EXT("BusPdoMnStopDevice: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

static NTSTATUS BusPdoMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    NTSTATUS status;
    ENT("BusPdoMnQueryDeviceRelations: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    ULONG eType = (ULONG)pIrpStack->Parameters.QueryDeviceRelations.Type;
    if (eType == TargetDeviceRelation) {
        PDEVICE_RELATIONS pOldRelations = (PDEVICE_RELATIONS)pIrp->IoStatus.Information;
        if (!DBG_ASSERT(!pOldRelations)) {
            DBG("BusPdoMnQueryDeviceRelations: Someone above is handling TagerDeviceRelation\n");
        }
        /* The PnP manager frees the list; it is paged pool by convention. */
        PDEVICE_RELATIONS pRelations =
            (PDEVICE_RELATIONS)ExAllocatePool2(POOL_FLAG_PAGED, sizeof(DEVICE_RELATIONS), 'rSUB');
        if (pRelations == NULL) {
            DBG_NULL("BusPdoMnQueryDeviceRelations: pRelations");
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            pRelations->Count = 1;
            pRelations->Objects[0] = pDeviceObject;
            ObReferenceObject(pDeviceObject);
            pIrp->IoStatus.Information = (ULONG_PTR)pRelations;
            status = STATUS_SUCCESS;
        }
    } else {
        DBG("BusPdoMnQueryDeviceRelations: relation %d requested and not supported\n", (int)eType);
        status = pIrp->IoStatus.Status;
    }

    EXT("BusPdoMnQueryDeviceRelations: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusPdoPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;

    /* The count changes under its own mutex only: judge it by what the increment returns. */
    ExAcquireFastMutex(&pPdoExt->fmPnp);
    LONG lCount = BusIncIoCount(pDeviceObject);
    DBG_ASSERT(lCount > 1);
    ExReleaseFastMutex(&pPdoExt->fmPnp);

    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pIrpStack != NULL ? pIrpStack->MinorFunction : 0xFF;
    if (pIrpStack == NULL) {
        DBG_NULL("BusPdoPnp: pIrpStack");
        status = STATUS_INVALID_PARAMETER;
    } else {
        DBG("BusPdoPnp: %s\n", DbgPnpMinorFunctionName(ucMinor));
        switch (ucMinor) {
        case IRP_MN_START_DEVICE:
            BusPdoSetPnpState(pPdoExt, PNP_STARTED);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            BusPdoSetPnpState(pPdoExt, PNP_REMOVE_PENDING);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = BusPdoMnRemoveDevice(pDeviceObject, pIrp);   /* the device is gone afterwards */
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            BusPdoRestorePnpState(pPdoExt, PNP_REMOVE_PENDING, "BusPdoMnCancelRemoveDevice");
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
            status = BusPdoMnStopDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            BusPdoSetPnpState(pPdoExt, PNP_STOP_PENDING);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            BusPdoRestorePnpState(pPdoExt, PNP_STOP_PENDING, "BusPdoMnCancelStopDevice");
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            status = BusPdoMnQueryDeviceRelations(pDeviceObject, pIrp, pIrpStack);
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            DBG_ASSERT(!"This is a software device so should never be surprise-removed.");
            status = STATUS_SUCCESS;
            break;
        default:
            DBG("BusPdoPnp: Unhandled minor function.\n");
            status = STATUS_SUCCESS;
            break;
        }
    }

    pIrp->IoStatus.Status = status;
    if (ucMinor != IRP_MN_QUERY_DEVICE_RELATIONS) {
        pIrp->IoStatus.Information = 0;
    }
    DBG("BusPdoPnp: Status 0x%08x, Information 0x%x\n", (ULONG)status, (unsigned)pIrp->IoStatus.Information);
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);

    EXT("BusPdoPnp: status 0x%08x\n", (ULONG)status);
    return status;
}
