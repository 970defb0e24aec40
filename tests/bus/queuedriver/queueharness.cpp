/*
 * vorkaqharness: a device whose reads, writes, device controls, opens and closes go through the tape
 * bus's request queue (pdoqueue.cpp, compiled in unchanged) to a scripted processing routine. The
 * routine logs which worker runs each request, can wait at a gate the test opens, and can send
 * nested requests to its own device the way the failover engine does.
 */
#include <ntddk.h>
#include "bus.h"
#include "queueharness_ioctl.h"

static PDEVICE_OBJECT g_pDevice;
static PDO_DATA g_PdoData;
static PIRPS_WITH_STATUS g_pTable;
static KEVENT g_Gates[QH_GATES];
static KSPIN_LOCK g_slLog;
static QH_LOG g_Log;
static PKTHREAD g_Threads[16];
static ULONG g_ulThreads;
/* Requests entered in the status table by QH_IOCTL_TABLE. */
static PIRPS_WITH_STATUS g_pEnteredBlock[256];
static ULONG g_ulEnteredIndex[256];
static ULONG g_ulEntered;
static SCSI_STATUS g_Record;

static VOID QhLog(ULONG ulId, ULONG ulPhase)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)g_pDevice->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&g_slLog, &irql);
    ULONG ulThread = 0;
    for (ULONG i = 0; i < g_ulThreads; i++) {
        if (g_Threads[i] == KeGetCurrentThread()) {
            ulThread = i + 1;
        }
    }
    if (ulThread == 0 && g_ulThreads < RTL_NUMBER_OF(g_Threads)) {
        g_Threads[g_ulThreads++] = KeGetCurrentThread();
        ulThread = g_ulThreads;
    }
    if (g_Log.ulCount < QH_LOG_ENTRIES) {
        QH_LOG_ENTRY *pEntry = &g_Log.Entries[g_Log.ulCount++];
        pEntry->ulId = ulId;
        pEntry->ulThread = ulThread;
        pEntry->ulDepth = (ULONG)InterlockedCompareExchange(&pPdoExt->ulCurrentThread, 0, 0);
        pEntry->ulPhase = ulPhase;
    }
    KeReleaseSpinLock(&g_slLog, irql);
}

/* The scripted processing routine of every queued request. */
NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    if (pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        pStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        /* A locked pass-through-direct buffer: released when the request is done. */
        QhLog(BusPdoGetMdl(pDeviceObject, pIrp) != NULL ? 0x5D : 0x5E, 0);
        BusPdoDequeueMdl(pDeviceObject, pIrp);
        BusPdoCompleteQueuedIrp(pIrp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    if (pStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        ULONG ulId = pStack->MajorFunction == IRP_MJ_CREATE ? QH_CREATE_ID : QH_CREATE_ID + 1;
        QhLog(ulId, 0);
        QhLog(ulId, 1);
        BusPdoCompleteQueuedIrp(pIrp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    QH_OP op;
    RtlCopyMemory(&op, pIrp->AssociatedIrp.SystemBuffer, sizeof(op));
    QH_OP_RESULT result;
    RtlZeroMemory(&result, sizeof(result));
    QhLog(op.ulId, 0);
    result.ulDepth = (ULONG)InterlockedCompareExchange(&pPdoExt->ulCurrentThread, 0, 0);
    if (op.ulGate != 0 && op.ulGate <= QH_GATES) {
        KeWaitForSingleObject(&g_Gates[op.ulGate - 1], Executive, KernelMode, FALSE, NULL);
    }
    if (op.ulNest != 0) {
        QH_OP nested;
        QH_OP_RESULT nestedResult;
        RtlZeroMemory(&nested, sizeof(nested));
        RtlZeroMemory(&nestedResult, sizeof(nestedResult));
        nested.ulId = op.ulId + 1;
        nested.ulNest = op.ulNest - 1;
        NTSTATUS st = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, QH_IOCTL_OP, &nested, sizeof(nested),
                                          &nestedResult, sizeof(nestedResult));
        /* The deepest failure travels up. */
        result.iNestedStatus = NT_SUCCESS(st) ? nestedResult.iNestedStatus : st;
    }
    QhLog(op.ulId, 1);
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &result, sizeof(result));
    BusPdoCompleteQueuedIrp(pIrp, STATUS_SUCCESS, sizeof(result));
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BusSendToFilter(pDeviceObject, pIrp);
}

static NTSTATUS QhComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static ULONG QhBlocks(VOID)
{
    ULONG n = 0;
    for (PIRPS_WITH_STATUS p = g_pTable; p != NULL; p = p->pNext) {
        n++;
    }
    return n;
}

static ULONG QhBlockNumber(PIRPS_WITH_STATUS pBlock)
{
    ULONG n = 0;
    for (PIRPS_WITH_STATUS p = g_pTable; p != NULL && p != pBlock; p = p->pNext) {
        n++;
    }
    return n;
}

static NTSTATUS QhTable(PIRP pIrp)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)g_pDevice->DeviceExtension;
    PQH_TABLE pTable = (PQH_TABLE)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    if (pTable->ulOp == 1) {
        for (ULONG i = 0; i < pTable->ulCount && g_ulEntered < RTL_NUMBER_OF(g_pEnteredBlock); i++) {
            PIRPS_WITH_STATUS pBlock = g_pTable;
            ULONG ulIndex = 0;
            /* Any distinct address stands for a forwarded request. */
            status = BusIrpsWithStatusSet(&pBlock, &ulIndex, (PIRP)(ULONG_PTR)(0x1000 + 16 * g_ulEntered),
                                          &g_Record);
            if (!NT_SUCCESS(status)) {
                break;
            }
            g_pEnteredBlock[g_ulEntered] = pBlock;
            g_ulEnteredIndex[g_ulEntered] = ulIndex;
            pTable->ulLastIndex = ulIndex;
            pTable->ulLastBlock = QhBlockNumber(pBlock);
            g_ulEntered++;
        }
    } else if (pTable->ulOp == 2 || pTable->ulOp == 3) {
        while (g_ulEntered > 0) {
            g_ulEntered--;
            BusIrpsWithStatusClear(pPdoExt->pIrpsWithStatus, g_pEnteredBlock[g_ulEntered], g_ulEnteredIndex[g_ulEntered]);
            if (pTable->ulOp == 2) {
                break;
            }
        }
    }
    pTable->iStatus = status;
    pTable->ulBlocks = QhBlocks();
    pTable->ulEntered = g_ulEntered;
    return QhComplete(pIrp, STATUS_SUCCESS, sizeof(QH_TABLE));
}

static NTSTATUS QhDispatchControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    KIRQL irql;
    switch (ulCode) {
    case QH_IOCTL_GATE: {
        ULONG ulGate = *(PULONG)pIrp->AssociatedIrp.SystemBuffer;
        if (ulGate < QH_GATES) {
            KeSetEvent(&g_Gates[ulGate], IO_NO_INCREMENT, FALSE);
        }
        return QhComplete(pIrp, STATUS_SUCCESS, 0);
    }
    case QH_IOCTL_LOG:
        KeAcquireSpinLock(&g_slLog, &irql);
        RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &g_Log, sizeof(g_Log));
        KeReleaseSpinLock(&g_slLog, irql);
        return QhComplete(pIrp, STATUS_SUCCESS, sizeof(g_Log));
    case QH_IOCTL_KILL:
        BusPdoKillThread(pDeviceObject);
        return QhComplete(pIrp, STATUS_SUCCESS, 0);
    case QH_IOCTL_TABLE:
        return QhTable(pIrp);
    case QH_IOCTL_STATE: {
        PQH_STATE pState = (PQH_STATE)pIrp->AssociatedIrp.SystemBuffer;
        RtlZeroMemory(pState, sizeof(*pState));
        pState->ulCurrentThread = InterlockedCompareExchange(&pPdoExt->ulCurrentThread, 0, 0);
        pState->fHighPriorityFree = KeReadStateEvent(&pPdoExt->evHighPriorityFree) != 0;
        KeAcquireSpinLock(&pPdoExt->slIrpQ, &irql);
        for (PBUS_QUEUE_NODE p = pPdoExt->pIrpQ; p != NULL; p = p->pNext) {
            pState->ulQueued++;
        }
        KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);
        for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
            pState->ulWorkersRunning += pPdoExt->Workers[i].pThread != NULL;
        }
        return QhComplete(pIrp, STATUS_SUCCESS, sizeof(QH_STATE));
    }
    default: {
        BOOLEAN fSptd = ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
        if (fSptd) {
            NTSTATUS st = BusPdoLockSptdBuffer(pDeviceObject, pIrp);
            if (!NT_SUCCESS(st)) {
                return st;   /* completed */
            }
        }
        NTSTATUS status = BusPdoQueueIrp(pDeviceObject, pIrp, BusPdoDeviceControl);
        if (status != STATUS_PENDING) {
            if (fSptd) {
                BusPdoDequeueMdl(pDeviceObject, pIrp);
            }
            QhComplete(pIrp, status, 0);
        }
        return status;
    }
    }
}

static NTSTATUS QhDispatchCreateClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    /* Only the handles of applications go through the queue: the test's own kernel requests open
       the device too, and must not wait behind the requests they are about to look at. */
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PFILE_OBJECT pFileObject = pStack->FileObject;
    if (pStack->MajorFunction == IRP_MJ_CREATE && pFileObject != NULL && pIrp->RequestorMode == UserMode) {
        pFileObject->FsContext = (PVOID)1;
    }
    if (pFileObject == NULL || pFileObject->FsContext != (PVOID)1) {
        return QhComplete(pIrp, STATUS_SUCCESS, 0);
    }
    NTSTATUS iOutcome;
    NTSTATUS status = BusPdoQueueIrpAndWait(pDeviceObject, pIrp, BusSendToFilter, &iOutcome);
    if (status != STATUS_PENDING) {
        /* A handle closes whatever happens. */
        status = pStack->MajorFunction == IRP_MJ_CLOSE ? STATUS_SUCCESS : status;
        QhComplete(pIrp, status, 0);
    }
    return status;
}

static NTSTATUS QhDispatchCleanup(PDEVICE_OBJECT, PIRP pIrp)
{
    return QhComplete(pIrp, STATUS_SUCCESS, 0);
}

static VOID QhUnload(PDRIVER_OBJECT)
{
    UNICODE_STRING usLink;
    RtlInitUnicodeString(&usLink, QH_LINK_NAME);
    IoDeleteSymbolicLink(&usLink);
    BusPdoKillThread(g_pDevice);
    IoDeleteDevice(g_pDevice);
    ExFreePoolWithTag(g_pTable, 'tHQV');
}

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING)
{
    UNICODE_STRING usName;
    UNICODE_STRING usLink;
    RtlInitUnicodeString(&usName, QH_DEVICE_NAME);
    RtlInitUnicodeString(&usLink, QH_LINK_NAME);
    pDriverObject->DriverUnload = QhUnload;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = QhDispatchCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = QhDispatchCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = QhDispatchCleanup;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QhDispatchControl;
    for (ULONG i = 0; i < QH_GATES; i++) {
        KeInitializeEvent(&g_Gates[i], NotificationEvent, FALSE);
    }
    KeInitializeSpinLock(&g_slLog);
    g_pTable = (PIRPS_WITH_STATUS)ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), 'tHQV');
    if (g_pTable == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(g_pTable, sizeof(IRPS_WITH_STATUS));
    KeInitializeSpinLock(&g_pTable->slLock);

    NTSTATUS status = IoCreateDevice(pDriverObject, sizeof(PDO_EXT), &usName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &g_pDevice);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(g_pTable, 'tHQV');
        return status;
    }
    PPDO_EXT pPdoExt = (PPDO_EXT)g_pDevice->DeviceExtension;
    RtlZeroMemory(pPdoExt, sizeof(PDO_EXT));
    KeInitializeSpinLock(&pPdoExt->slPathList);
    g_PdoData.pPdo = g_pDevice;
    pPdoExt->pPdoData = &g_PdoData;
    pPdoExt->pIrpsWithStatus = g_pTable;
    status = BusPdoStartThreads(g_pDevice);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&usLink, &usName);
    }
    if (!NT_SUCCESS(status)) {
        BusPdoKillThread(g_pDevice);
        IoDeleteDevice(g_pDevice);
        ExFreePoolWithTag(g_pTable, 'tHQV');
        return status;
    }
    g_pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* The common services ask every driver for the device below one of its own; this one has none. */
PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT)
{
    return NULL;
}

/* The queue keeps each queued request counted in on its device; the harness device has no stop or
   remove to wait on that count, so a plain interlocked count is enough (and is checked to balance). */
LONG BusIncIoCount(PDEVICE_OBJECT pDeviceObject)
{
    return InterlockedIncrement(&((PPDO_EXT)pDeviceObject->DeviceExtension)->ulIoCount);
}

LONG BusDecIoCount(PDEVICE_OBJECT pDeviceObject)
{
    return InterlockedDecrement(&((PPDO_EXT)pDeviceObject->DeviceExtension)->ulIoCount);
}
