/*
 * vorkacflt: the changer path filter (see filter.h for its role).
 */
#include <ntddk.h>
#include "filter.h"
#include "vorkacflt.h"   /* generated from vorkacflt.mc */

static_assert(FLT_EVT_NOT_IDENTIFIED == VORKACFLT_NOT_IDENTIFIED, "identification event");

static_assert(FLT_DEVICE_TYPE == FILE_DEVICE_CHANGER, "changer filter devices are of the changer type");
static_assert(sizeof(REG_DVC) == 80 && sizeof(NFY_DVC) == 16, "the changer bus's records");

/* ---- Load and AddDevice ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));

    FltSetEntryPoints(pDriverObject);
    /* Without the changer bus's control device the filter does not load: the bus must run first. */
    NTSTATUS status = FltOpenBusDevice(CHGR_BUS_DEVICE_NAME, CHGR_BUS_CALLBACK_NAME);

    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pDeviceObject = NULL;
    ENT("FltAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n", DBG_PTR(pDriverObject),
        DBG_PTR(pPhysicalDeviceObject));

    /* The serial number stays empty until the start reads it. */
    NTSTATUS status = FltCreateFilterDevice(pDriverObject, pPhysicalDeviceObject, sizeof(FLT_EXT), FLT_DEVICE_TYPE,
                                            &pDeviceObject);
    if (NT_SUCCESS(status)) {
        pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    EXT("FltAddDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Registration and notification ---- */

/* The registration record with the path in state ePnp (its own, or PNP_STOPPED for a path that is
   kept inactive in its changer while the library does not answer). */
static NTSTATUS FltRegisterInState(PDEVICE_OBJECT pDeviceObject, ULONG ePnp);

NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    return FltRegisterInState(pDeviceObject, pExt->ePnp);
}

static NTSTATUS FltRegisterInState(PDEVICE_OBJECT pDeviceObject, ULONG ePnp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltRegisterDevice: pDeviceObject 0x%08x, ePnp %s\n", DBG_PTR(pDeviceObject), DbgPnpStateName(ePnp));

    REG_DVC regDvc;
    RtlZeroMemory(&regDvc, sizeof(regDvc));
    regDvc.fFailover = pExt->fFailover;
    RtlCopyMemory(regDvc.szSN, pExt->szSN, SERIAL_NUMBER_LENGTH);
    regDvc.scScsiAddr = pExt->scScsiAddr;
    regDvc.pDvcObj = pDeviceObject;
    regDvc.ePnp = ePnp;
    regDvc.pBaseDriverExt = NULL;

    status = FltSendToBus(pDeviceObject, IOC_REGISTER, &regDvc, sizeof(regDvc));
    if (NT_SUCCESS(status)) {
        FltSetStatusTable(pExt, (PIRPS_WITH_STATUS)regDvc.pBaseDriverExt);
        pExt->ulChangerNumber = regDvc.ulChangerNumber;
        DBG("FltRegisterDevice: registered as Changer%d, table 0x%08x\n", pExt->ulChangerNumber,
            DBG_PTR(pExt->pBaseDriverExt));
    } else {
        DBG_FAILED("FltRegisterDevice: IOC_REGISTER", status);
        FltSetStatusTable(pExt, NULL);
        pExt->ulChangerNumber = 0;
    }

    EXT("FltRegisterDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltNotifyPnp: pDeviceObject 0x%08x, ePnp %s\n", DBG_PTR(pDeviceObject), DbgPnpStateName(pExt->ePnp));

    NFY_DVC nfyDvc;
    RtlZeroMemory(&nfyDvc, sizeof(nfyDvc));
    nfyDvc.pDvcObj = pDeviceObject;
    nfyDvc.ePnp = pExt->ePnp;
    NTSTATUS status = FltSendToBus(pDeviceObject, IOC_NOTIFY, &nfyDvc, sizeof(nfyDvc));

    EXT("FltNotifyPnp: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Request handling: everything goes down unchanged ---- */

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    /* Opens are not reported to the bus: a changer has no exclusive access. */
    return FltCountedPassDown("FltDispatchCreate", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltDispatchClose", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltDispatchRead", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltDispatchWrite", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (FltPrivateFromUser(pIrp)) {
        return FltRefusePrivate("FltDispatchDeviceControl", pDeviceObject, pIrp);
    }
    return FltCountedPassDown("FltDispatchDeviceControl", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltDispatchInternalDeviceControl", pDeviceObject, pIrp);
}

NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltDispatchSystemControl", pDeviceObject, pIrp);
}

NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltCountedPassDown("FltPassThrough", pDeviceObject, pIrp);
}

/* ---- Start of a path ---- */

/*
 * A path whose library did not answer its serial number cannot be told apart from a path of another
 * library: it must never become a changer of its own, which would name the same robot twice and take
 * a name an application may hold for another library. A path identified at an earlier start stays in
 * its changer, inactive, with the identity it had; a path never identified is not registered at all.
 * Either is identified again on a timer (fltcommon) and then registers as usual.
 */
static ULONG FltRegisterIdentified(PDEVICE_OBJECT pDeviceObject, BOOLEAN fKnown, BOOLEAN fKnownFailover)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    if (!pExt->fIdentifyAgain) {
        status = FltRegisterDevice(pDeviceObject);
    } else if (fKnown) {
        DBG("FltIdentifyPath: library silent, the path stays inactive in Changer%d\n", pExt->ulChangerNumber);
        pExt->fFailover = fKnownFailover;
        pExt->fCanFailover = fKnownFailover;
        status = FltRegisterInState(pDeviceObject, PNP_STOPPED);
    } else {
        DBG("FltIdentifyPath: library silent, the path is not registered until it answers\n");
        pExt->ulChangerNumber = 0;
        status = STATUS_DEVICE_NOT_READY;
    }
    if (!NT_SUCCESS(status)) {
        pExt->fFailover = FALSE;
    }
    return pExt->ulChangerNumber;
}

/* What a changer path is, then its registration; the number is the changer's, the one the base
   changer driver needs (it gets slot 0 only, not the filter device). */
static ULONG FltIdentifyPath(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltIdentifyPath: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    /* The identity of an earlier start, kept if the library does not answer this time. */
    const BOOLEAN fKnown = pExt->szSN[0] != '\0';
    const BOOLEAN fKnownFailover = pExt->fCanFailover;
    if (!FltStoreSerial(pDeviceObject)) {
        pExt->fFailover = FALSE;
    }
    if (!NT_SUCCESS(FltGetScsi(pDeviceObject, &pExt->scScsiAddr))) {
        pExt->fFailover = FALSE;
    }
    if (pExt->fFailover) {
        pExt->fFailover = FltFailoverSupported(pDeviceObject);
    }
    pExt->fCanFailover = pExt->fFailover;
    ULONG ulNumber = FltRegisterIdentified(pDeviceObject, fKnown, fKnownFailover);
    EXT("FltIdentifyPath: Changer%d\n", ulNumber);
    return ulNumber;
}

ULONG FltRegisterAgain(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltRegisterAgain: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    pExt->fFailover = pExt->fCanFailover;
    ULONG ulNumber = FltRegisterIdentified(pDeviceObject, pExt->szSN[0] != '\0', pExt->fCanFailover);
    EXT("FltRegisterAgain: Changer%d\n", ulNumber);
    return ulNumber;
}

NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("FltIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = FltStartPath(pDeviceObject, pIrp, FltIdentifyPath, FALSE);
    EXT("FltIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
    return status;
}
