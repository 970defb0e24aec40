/*
 * vorkatflt: the tape path filter (see filter.h for its role). What it shares with the changer path
 * filter (request counting, pass-down, power, Plug and Play, the handshake) is in fltcommon.cpp.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "filter.h"
#include "vorkatflt.h"   /* generated from vorkatflt.mc */

static_assert(FLT_EVT_NOT_IDENTIFIED == VORKATFLT_NOT_IDENTIFIED, "identification event");

/* ---- Load and AddDevice ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));

    FltSetEntryPoints(pDriverObject);
    /* The tape filter reports closes made on its path device when the handle goes. */
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = FltDispatchCleanup;
    NTSTATUS status = FltOpenBusDevice(TAPE_BUS_DEVICE_NAME, TAPE_BUS_CALLBACK_NAME);

    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pDeviceObject = NULL;
    ENT("FltAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n", DBG_PTR(pDriverObject),
        DBG_PTR(pPhysicalDeviceObject));

    NTSTATUS status = FltCreateFilterDevice(pDriverObject, pPhysicalDeviceObject, sizeof(FLT_EXT), FLT_DEVICE_TYPE,
                                            &pDeviceObject);
    if (NT_SUCCESS(status)) {
        PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
        pExt->fExclusive = TRUE;
        RtlFillMemory(pExt->szSN, SERIAL_NUMBER_LENGTH, '0');
        pExt->szSN[SERIAL_NUMBER_LENGTH] = '\0';
        RtlFillMemory(pExt->szWwnn, 16, '0');
        pExt->szWwnn[16] = '\0';
        pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    EXT("FltAddDevice: status 0x%08x\n", (ULONG)status);
    return status;
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

/* FltGetWwnnString, the walk of the page, is in devdata.cpp. */

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

    status = FltSendToBus(pDeviceObject, IOC_REGISTER, &regDvc, sizeof(regDvc));
    if (NT_SUCCESS(status)) {
        FltSetStatusTable(pExt, (PIRPS_WITH_STATUS)regDvc.pBaseDriverExt);
        pExt->ulTapeNumber = regDvc.ulTapeNumber;
        DBG("FltRegisterDevice: registered as Tape%d, table 0x%08x\n", pExt->ulTapeNumber,
            DBG_PTR(pExt->pBaseDriverExt));
    } else {
        DBG_FAILED("FltRegisterDevice: IOC_REGISTER", status);
        FltSetStatusTable(pExt, NULL);
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
    return FltSendToBus(pDeviceObject, IOC_NOTIFY, &nfyDvc, sizeof(nfyDvc));
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

/* ---- Request handling ---- */

/* Passes a request down; when the bus forwarded it with a reservation key to preempt with, first asks
   the base driver to preempt the other path's reservation. */
static NTSTATUS FltPreemptAndPassDown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltPreemptAndPassDown: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    PSCSI_STATUS pScsiStatus = FltForwardedStatus(pExt, pIrp);
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

    if (FltForwardedStatus(pExt, pIrp) != NULL) {
        /* The bus forwarded this open: it has already applied its open rules. */
        status = FltPassDown(pExt, pIrp);
    } else {
        FltLockRegistration(pExt);
        status = FltNotifyIo(pDeviceObject, IO_OPEN_REQ);
        if (!NT_SUCCESS(status)) {
            DBG("FltDispatchCreate: bus driver returned 0x%08x.  Cannot open device.", (ULONG)status);
            FltCompleteRequest(pIrp, status);
        } else {
            /* Sent down and waited for, so that a failing open can give its count back at the bus. */
            status = CmnSendIrpSync(pDeviceObject, pIrp);
            if (NT_SUCCESS(status)) {
                InterlockedIncrement(&pExt->lDirectOpens);
            } else {
                DBG("FltDispatchCreate: Open failed, attempting to remove open counter.");
                NTSTATUS closeStatus = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
                if (!NT_SUCCESS(closeStatus)) {
                    DBG("FltDispatchCreate: bus driver returned 0x%08x.  DEVICE OBJECT LEFT OPEN!!!",
                        (ULONG)closeStatus);
                }
            }
        }
        FltUnlockRegistration(pExt);
    }

    FltLeaveDispatch(pExt);
    EXT("FltDispatchCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

/* A handle of the path device itself is gone: one open less, and the bus told, under the lock that
   registering the path again takes to tell the bus of every open. */
static NTSTATUS FltReportDirectClose(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltReportDirectClose: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    FltLockRegistration(pExt);
    InterlockedDecrement(&pExt->lDirectOpens);
    NTSTATUS status = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
    FltUnlockRegistration(pExt);
    EXT("FltReportDirectClose: status 0x%08x\n", (ULONG)status);
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
    BOOLEAN fForwarded = FltForwardedStatus(pExt, pIrp) != NULL;

    /* A file object that had its cleanup was reported closed then (FltDispatchCleanup); one closed
       without a cleanup (a kernel-mode reference, never a handle) is reported now. */
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    BOOLEAN fReported = pFileObject != NULL && (pFileObject->Flags & FO_CLEANUP_COMPLETE) != 0;

    /* Completed only after the bus was told, and with the status this routine returns. */
    status = CmnForwardIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(status) && !fForwarded && !fReported) {
        NTSTATUS notifyStatus = FltReportDirectClose(pDeviceObject);
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

/*
 * The last handle to a file object opened on the path device goes. The I/O manager sends this in
 * the closing thread before CloseHandle returns, while the close request follows only when the
 * last reference to the file object goes (a request of the handle still being completed keeps
 * one). The bus is told of the close here, so that an exclusive drive admits the next open as soon
 * as the application has closed its handle. The bus forwards no cleanups of its own.
 */
NTSTATUS FltDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltDispatchCleanup: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    if (!FltEnterDispatch(pExt)) {
        status = FltRefuseRemoved("FltDispatchCleanup", pIrp);
        EXT("FltDispatchCleanup: status 0x%08x\n", (ULONG)status);
        return status;
    }

    BOOLEAN fForwarded = FltForwardedStatus(pExt, pIrp) != NULL;
    status = CmnForwardIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(status) && !fForwarded) {
        NTSTATUS notifyStatus = FltReportDirectClose(pDeviceObject);
        if (!NT_SUCCESS(notifyStatus)) {
            DBG("FltDispatchCleanup: bus driver returned 0x%08x.  CANNOT CLOSE DEVICE!!!", (ULONG)notifyStatus);
            status = notifyStatus;
        }
    }
    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);

    FltLeaveDispatch(pExt);
    EXT("FltDispatchCleanup: status 0x%08x\n", (ULONG)status);
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
    if (FltPrivateFromUser(pIrp)) {
        return FltRefusePrivate("FltDispatchDeviceControl", pDeviceObject, pIrp);
    }
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

/* ---- Plug and Play ---- */

/* What a tape path is (inquiry, serial number, address, identification page, failover support and
   the drive's failover flags), then its registration; the number is the tape's. */
static ULONG FltIdentifyPath(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    ENT("FltIdentifyPath: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    UCHAR ucInquiry[STANDARD_INQUIRY_LENGTH];
    if (NT_SUCCESS(FltGetInquiry(pDeviceObject, ucInquiry))) {
        RtlCopyMemory(pExt->ucInquiry, ucInquiry, sizeof(ucInquiry));
    } else {
        pExt->fFailover = FALSE;
        pExt->fIdentifyAgain = TRUE;   /* the drive did not answer: identified again later */
    }

    if (!FltStoreSerial(pDeviceObject)) {
        pExt->fFailover = FALSE;
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
    pExt->fCanFailover = pExt->fFailover;
    if (!NT_SUCCESS(FltRegisterDevice(pDeviceObject))) {
        pExt->fFailover = FALSE;
    }
    EXT("FltIdentifyPath: Tape%d\n", pExt->ulTapeNumber);
    return pExt->ulTapeNumber;
}

ULONG FltRegisterAgain(PDEVICE_OBJECT pDeviceObject)
{
    PFLT_EXT pExt = (PFLT_EXT)pDeviceObject->DeviceExtension;
    LONG lDirectOpens = InterlockedCompareExchange(&pExt->lDirectOpens, 0, 0);
    ENT("FltRegisterAgain: pDeviceObject 0x%08x, lDirectOpens %d\n", DBG_PTR(pDeviceObject), lDirectOpens);
    pExt->fFailover = pExt->fCanFailover;
    if (!NT_SUCCESS(FltRegisterDevice(pDeviceObject))) {
        pExt->fFailover = FALSE;
    } else {
        /* Handles the path device already has count against the drive's exclusive access. */
        for (LONG i = 0; i < lDirectOpens; i++) {
            (VOID)FltNotifyIo(pDeviceObject, IO_OPEN_REQ);
        }
    }
    EXT("FltRegisterAgain: Tape%d\n", pExt->ulTapeNumber);
    return pExt->ulTapeNumber;
}

NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("FltIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = FltStartPath(pDeviceObject, pIrp, FltIdentifyPath, TRUE);
    EXT("FltIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
    return status;
}
