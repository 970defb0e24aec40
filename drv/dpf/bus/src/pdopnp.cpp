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

static NTSTATUS BusPdoMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PBUS_EXT pBusExt = NULL;
    PDEVICE_OBJECT pControlDevice = NULL;
    KIRQL irql;

    /*
     * 1. The drive's records: adapter usage, paths, the drive record itself. They are the bus's: a
     * device whose bus was removed has none left, and the bus's extension and list lock may be gone.
     * So the bus is used only when it still holds this drive, referenced and counted in meanwhile.
     */
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL && pPdoExt->pBusExt != NULL && pPdoExt->pBusExt->pDeviceObject != NULL) {
        pControlDevice = pPdoExt->pBusExt->pDeviceObject;
        ObReferenceObject(pControlDevice);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pControlDevice != NULL && BusControlDeviceEnter(pControlDevice)) {
        pBusExt = pPdoExt->pBusExt;
        BusLockPdoListExclusive(pBusExt);
    }
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    /* Without the bus, a drive record still here is freed by the bus's own removal. */
    PPDO_DATA pPdoData = pBusExt != NULL ? pPdoExt->pPdoData : NULL;
    PPATH_DATA pPaths = NULL;
    if (pPdoData != NULL) {
        pPaths = pPdoData->pListOfPaths;
        pPdoData->pListOfPaths = NULL;
        if (pBusExt != NULL && pBusExt->fLoadBalancing) {
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
        if (pBusExt != NULL) {
            BusPdoUnlinkPdoData(pBusExt, pPdoData);
        }
        pPdoExt->pPdoData = NULL;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pBusExt != NULL) {
        BusUnlockPdoList(pBusExt);
        BusDecIoCount(pControlDevice);
    }
    if (pControlDevice != NULL) {
        ObDereferenceObject(pControlDevice);
    }

    while (pPaths != NULL) {
        PPATH_DATA pNext = pPaths->pNext;
        ExFreePool(pPaths);
        pPaths = pNext;
    }
    if (pPdoData != NULL) {
        ExFreePool(pPdoData);
    }

    /* 2. Count out this request and the base count, then wait for the rest. */
    ExAcquireFastMutex(&pPdoExt->fmPnp);
    BusDecIoCount(pDeviceObject);
    BusDecIoCount(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->fmPnp);
    KeWaitForSingleObject(&pPdoExt->evRemove, Executive, KernelMode, FALSE, NULL);

    /* 3. Gone. */
    BusPdoSetPnpState(pPdoExt, PNP_ABSENT);
    BusPdoKillThread(pDeviceObject);
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

    ExAcquireFastMutex(&pPdoExt->fmPnp);
    DBG_ASSERT(pPdoExt->ulIoCount);
    BusIncIoCount(pDeviceObject);
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
