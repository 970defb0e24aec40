/*
 * Request queue of a virtual tape device: the five worker threads, the queue with its high-priority
 * slot, the locked data buffers of pass-through-direct requests, and the status table through which
 * the lower drivers find the status record of each forwarded request.
 *
 * A tape is a stream: every request that reaches a drive through a virtual device runs on the
 * device's workers, one at a time. Worker 0 takes ordinary requests in arrival order. A request that
 * the bus sends to its own virtual device while processing one (BusPdoSendIoctlSync) claims the
 * high-priority slot, is put at the head of the queue and is served by the next worker up, while
 * the sender waits: the processing of a device is a single chain of workers.
 *
 * An application's queued request can be cancelled (CancelIo, the end of its thread or process): it
 * completes at once with STATUS_CANCELLED, without waiting for the requests ahead of it, which may
 * be a LOCATE or an ERASE of hours. Its node stays in the queue without it, for the worker that
 * reaches it to free. One handle may have at most BUS_QUEUE_HANDLE_LIMIT requests queued.
 */
#include <ntddk.h>
#include "bus.h"

/* ---- Completing queued requests ---- */

/*
 * Completes a request that went through the queue. An open or a close whose dispatch routine waits
 * for it (BusPdoQueueIrpAndWait) carries the waiter in its driver context: the waiter learns the
 * status and is woken once the request is completed.
 */
VOID BusPdoCompleteQueuedIrp(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    PBUS_QUEUE_WAITER pWaiter = NULL;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack != NULL &&
        (pIrpStack->MajorFunction == IRP_MJ_CREATE || pIrpStack->MajorFunction == IRP_MJ_CLOSE ||
         pIrpStack->MajorFunction == IRP_MJ_CLEANUP)) {
        pWaiter = (PBUS_QUEUE_WAITER)pIrp->Tail.Overlay.DriverContext[0];
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
    }
    if (pWaiter != NULL) {
        pWaiter->iStatus = status;
    }
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    if (pWaiter != NULL) {
        KeSetEvent(&pWaiter->evDone, IO_NO_INCREMENT, FALSE);
    }
}

/* ---- High-priority slot ---- */

/* Frees the slot when pIrp holds it. */
static VOID BusPdoFreeHighPriority(PPDO_EXT pPdoExt, PIRP pIrp)
{
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slHighPriority, &irql);
    if (pIrp != NULL && pPdoExt->pHighPriority == pIrp) {
        pPdoExt->pHighPriority = NULL;
        KeSetEvent(&pPdoExt->evHighPriorityFree, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pPdoExt->slHighPriority, irql);
}

/* Waits until the slot is free and takes it for pIrp. */
static VOID BusPdoClaimHighPriority(PPDO_EXT pPdoExt, PIRP pIrp)
{
    for (;;) {
        BOOLEAN fMine;
        KIRQL irql;
        KeWaitForSingleObject(&pPdoExt->evHighPriorityFree, Executive, KernelMode, FALSE, NULL);
        KeAcquireSpinLock(&pPdoExt->slHighPriority, &irql);
        if (pPdoExt->pHighPriority == NULL) {
            pPdoExt->pHighPriority = pIrp;
            KeClearEvent(&pPdoExt->evHighPriorityFree);
        }
        fMine = pPdoExt->pHighPriority == pIrp;
        KeReleaseSpinLock(&pPdoExt->slHighPriority, irql);
        if (fMine) {
            return;
        }
    }
}

/* ---- Cancelling queued requests ---- */

/* The queued requests of one handle, counted in its file object's FsContext (the virtual device
   keeps nothing else there). */
static BOOLEAN BusPdoCountHandleRequest(PIRP pIrp)
{
    PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
    if (pFileObject == NULL) {
        return TRUE;
    }
    LONG64 llQueued = InterlockedIncrement64((volatile LONG64 *)&pFileObject->FsContext);
    if (llQueued > BUS_QUEUE_HANDLE_LIMIT) {
        InterlockedDecrement64((volatile LONG64 *)&pFileObject->FsContext);
        return FALSE;
    }
    return TRUE;
}

/* Parts the request from its node: from now on the node is only the queue's. The caller holds the
   queue lock. */
static VOID BusPdoDetachIrp(PBUS_QUEUE_NODE pNode)
{
    PIRP pIrp = pNode->pIrp;
    if (pIrp == NULL) {
        return;
    }
    BusQueuedNode(pIrp) = NULL;
    pNode->pIrp = NULL;
    if (pNode->fCancelable) {
        PFILE_OBJECT pFileObject = IoGetCurrentIrpStackLocation(pIrp)->FileObject;
        if (pFileObject != NULL) {
            InterlockedDecrement64((volatile LONG64 *)&pFileObject->FsContext);
        }
    }
}

/* Completes a request that leaves the queue without being processed; a locked data buffer is
   unlocked first, as the process that owns the pages may be ending. */
static VOID BusPdoCompleteUnprocessed(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    BusPdoDequeueMdl(pDeviceObject, pIrp);
    BusPdoCompleteQueuedIrp(pIrp, STATUS_CANCELLED, 0);
}

/* A node the queue is done with: its count was taken when it was queued. */
static VOID BusPdoFreeNode(PDEVICE_OBJECT pDeviceObject, PBUS_QUEUE_NODE pNode)
{
    BusDecIoCount(pDeviceObject);
    ExFreePoolWithTag(pNode, BUS_TAG_QUEUE_NODE);
}

/*
 * Takes the request of a node off the queue for processing or for removal; the caller holds the
 * queue lock. NULL when there is none: it was cancelled, or its cancel routine runs now (whoever
 * takes the cancel routine back owns the request) and completes it.
 */
static PIRP BusPdoTakeIrp(PBUS_QUEUE_NODE pNode)
{
    PIRP pIrp = pNode->pIrp;
    if (pIrp != NULL && pNode->fCancelable && IoSetCancelRoutine(pIrp, NULL) == NULL) {
        pIrp = NULL;
    }
    BusPdoDetachIrp(pNode);
    return pIrp;
}

/* Runs with the cancel spin lock held, at IRQL <= DISPATCH_LEVEL: it completes the request and
   leaves the node, which holds the device's I/O count, to the worker. */
static VOID BusPdoCancelQueued(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoCancelQueued: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slIrpQ, &irql);
    PBUS_QUEUE_NODE pNode = (PBUS_QUEUE_NODE)BusQueuedNode(pIrp);
    if (pNode != NULL) {
        BusPdoDetachIrp(pNode);
    }
    KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);
    BusPdoCompleteUnprocessed(pDeviceObject, pIrp);
    EXT("BusPdoCancelQueued: VOID status\n");
}

/* ---- Workers ---- */

NTSTATUS BusPdoStartThreads(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoStartThreads: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    pPdoExt->pIrpQ = NULL;
    pPdoExt->pIrpQTail = NULL;
    pPdoExt->ulThreadIndex = 0;
    pPdoExt->ulCurrentThread = 0;
    pPdoExt->fKillThreads = FALSE;
    KeInitializeSpinLock(&pPdoExt->slIrpQ);
    pPdoExt->fAcceptRequests = TRUE;
    pPdoExt->pHighPriority = NULL;
    KeInitializeSpinLock(&pPdoExt->slHighPriority);
    KeInitializeEvent(&pPdoExt->evHighPriorityFree, NotificationEvent, TRUE);
    pPdoExt->pMdlQ = NULL;
    KeInitializeSpinLock(&pPdoExt->slMdlQ);
    for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
        KeInitializeSemaphore(&pPdoExt->Workers[i].smWork, 0, MAXLONG);
        pPdoExt->Workers[i].fThreadRunning = FALSE;
        pPdoExt->Workers[i].pThread = NULL;
    }

    for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
        HANDLE hThread = NULL;
        status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, BusPdoProcessIrpQ, pPdoExt);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("BusPdoStartThreads: PsCreateSystemThread", status);
            break;
        }
        pPdoExt->Workers[i].fThreadRunning = TRUE;
        /* Removal waits for the thread through this reference, so that no worker outlives the
           extension it reads. */
        status = ObReferenceObjectByHandle(hThread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                           (PVOID *)&pPdoExt->Workers[i].pThread, NULL);
        ZwClose(hThread);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("BusPdoStartThreads: ObReferenceObjectByHandle", status);
            pPdoExt->Workers[i].pThread = NULL;
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        BusPdoKillThread(pDeviceObject);
    }

    EXT("BusPdoStartThreads: status 0x%08x\n", (ULONG)status);
    return status;
}

static PCSTR BusProcessCommandName(PBUS_PROCESS_COMMAND ProcessCommand)
{
    if (ProcessCommand == BusSendToFilter) {
        return "BusSendToFilter";
    }
    if (ProcessCommand == BusPdoDeviceControl) {
        return "BusPdoDeviceControl";
    }
    return "???";
}

VOID BusPdoProcessIrpQ(PVOID pContext)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pContext;
    PDEVICE_OBJECT pDeviceObject = NULL;
    KIRQL irql;
    ENT("BusPdoProcessIrpQ: pPdoExt 0x%08x\n", DBG_PTR(pPdoExt));

    /* The device object is noted once: the drive record may go while requests are still served. */
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL) {
        pDeviceObject = pPdoExt->pPdoData->pPdo;
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    LONG lIndex = InterlockedIncrement(&pPdoExt->ulThreadIndex) - 1;
    if (pDeviceObject == NULL || lIndex < 0 || lIndex >= BUS_WORKER_COUNT) {
        DBG("BusPdoProcessIrpQ exit: terminating thread\n");
        EXT("BusPdoProcessIrpQ: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    KeSetPriorityThread(KeGetCurrentThread(), BUS_WORKER_PRIORITY);

    for (;;) {
        KeWaitForSingleObject(&pPdoExt->Workers[lIndex].smWork, Executive, KernelMode, FALSE, NULL);

        KeAcquireSpinLock(&pPdoExt->slIrpQ, &irql);
        BOOLEAN fKill = pPdoExt->fKillThreads;
        PBUS_QUEUE_NODE pNode = NULL;
        PIRP pIrp = NULL;
        if (!fKill) {
            pNode = pPdoExt->pIrpQ;
            if (pNode != NULL) {
                pPdoExt->pIrpQ = pNode->pNext;
                if (pPdoExt->pIrpQ == NULL) {
                    pPdoExt->pIrpQTail = NULL;
                }
                pIrp = BusPdoTakeIrp(pNode);
            }
        }
        KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);

        if (fKill) {
            DBG("BusPdoProcessIrpQ exit: terminating thread\n");
            EXT("BusPdoProcessIrpQ: status 0x%08x\n", (ULONG)STATUS_SUCCESS);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        if (pNode == NULL) {
            continue;   /* woken with an empty queue */
        }
        PBUS_PROCESS_COMMAND ProcessCommand = pNode->ProcessCommand;
        ExFreePoolWithTag(pNode, BUS_TAG_QUEUE_NODE);
        if (pIrp != NULL && ProcessCommand != NULL) {
            NTSTATUS status = ProcessCommand(pDeviceObject, pIrp);
            DBG("BusPdoProcessIrpQ: ProcessCommand (%s, 0x%p) returned 0x%08x\n",
                BusProcessCommandName(ProcessCommand), (PVOID)pIrp, (ULONG)status);
        }
        BusDecIoCount(pDeviceObject);   /* counted in when it was queued; a cancelled one's too */
    }
}

/* ---- Queueing ---- */

static NTSTATUS BusPdoQueueIrpEx(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand,
                                 PBUS_QUEUE_WAITER pWaiter)
{
    ENT("BusPdoQueueIrp: pDeviceObject 0x%08x, pIrp 0x%08x, ProcessCommand 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp), DBG_PTR(ProcessCommand));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN fHighPriority;
    BOOLEAN fCancelled = FALSE;
    LONG lWorker = 0;
    KIRQL irql;

    /* Only the sender that claimed the slot stores its request there, and it waits in this very
       call chain: the slot cannot change under this check. */
    KeAcquireSpinLock(&pPdoExt->slHighPriority, &irql);
    fHighPriority = pIrp != NULL && pPdoExt->pHighPriority == pIrp;
    KeReleaseSpinLock(&pPdoExt->slHighPriority, irql);

    PBUS_QUEUE_NODE pNode = (PBUS_QUEUE_NODE)ExAllocatePoolWithTag(NonPagedPool, sizeof(BUS_QUEUE_NODE),
                                                                   BUS_TAG_QUEUE_NODE);
    if (pNode == NULL) {
        DBG_NULL("BusPdoQueueIrp: pIrpQ");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pNode, sizeof(BUS_QUEUE_NODE));
    pNode->pIrp = pIrp;
    pNode->ProcessCommand = ProcessCommand;
    pNode->fHighPriority = fHighPriority;
    {
        /* Opens, cleanups and closes are waited for and never cancelled; the bus's own nested
           requests hold the high-priority slot. */
        UCHAR ucMajor = IoGetCurrentIrpStackLocation(pIrp)->MajorFunction;
        pNode->fCancelable = !fHighPriority && pWaiter == NULL && ucMajor != IRP_MJ_CREATE &&
                             ucMajor != IRP_MJ_CLEANUP && ucMajor != IRP_MJ_CLOSE;
    }
    if (pNode->fCancelable && !BusPdoCountHandleRequest(pIrp)) {
        ExFreePoolWithTag(pNode, BUS_TAG_QUEUE_NODE);
        DBG("BusPdoQueueIrp: the handle has %d requests queued already\n", (int)BUS_QUEUE_HANDLE_LIMIT);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    pIrp->Tail.Overlay.DriverContext[0] = pWaiter;

    /* A queued request stays counted in until its worker is done with it or it is cancelled, so that
       stop and remove of the device wait for it. Whoever queues holds a count already, so the
       device cannot be past its removal here. */
    BusIncIoCount(pDeviceObject);
    KeAcquireSpinLock(&pPdoExt->slIrpQ, &irql);
    if (!pPdoExt->fAcceptRequests) {
        BusQueuedNode(pIrp) = pNode;
        BusPdoDetachIrp(pNode);   /* gives the handle's count back */
        KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);
        BusDecIoCount(pDeviceObject);
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
        ExFreePoolWithTag(pNode, BUS_TAG_QUEUE_NODE);
        DBG("BusPdoQueueIrp: Remove pending.  Cancelling IRP\n");
        status = STATUS_CANCELLED;
        goto done;
    }
    if (fHighPriority) {
        lWorker = pPdoExt->ulCurrentThread;
        if (lWorker >= BUS_WORKER_COUNT) {
            KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);
            BusDecIoCount(pDeviceObject);
            pIrp->Tail.Overlay.DriverContext[0] = NULL;
            ExFreePoolWithTag(pNode, BUS_TAG_QUEUE_NODE);
            DBG("BusPdoQueueIrp: nested %d deep, no worker left\n", (int)lWorker);
            status = STATUS_INVALID_THREAD;
            goto done;
        }
        /* Behind the high-priority nodes already at the head (at most one per nesting level),
           ahead of every ordinary one. */
        PBUS_QUEUE_NODE *ppLink = &pPdoExt->pIrpQ;
        while (*ppLink != NULL && (*ppLink)->fHighPriority) {
            ppLink = &(*ppLink)->pNext;
        }
        pNode->pNext = *ppLink;
        *ppLink = pNode;
        if (pNode->pNext == NULL) {
            pPdoExt->pIrpQTail = pNode;
        }
    } else {
        if (pPdoExt->pIrpQTail != NULL) {
            pPdoExt->pIrpQTail->pNext = pNode;
        } else {
            pPdoExt->pIrpQ = pNode;
        }
        pPdoExt->pIrpQTail = pNode;
    }
    BusQueuedNode(pIrp) = pNode;
    /* Marked before a worker can see it. */
    IoMarkIrpPending(pIrp);
    if (pNode->fCancelable) {
        IoSetCancelRoutine(pIrp, BusPdoCancelQueued);
        if (pIrp->Cancel && IoSetCancelRoutine(pIrp, NULL) != NULL) {
            /* Cancelled before the routine was set: nobody else completes it. */
            BusPdoDetachIrp(pNode);
            fCancelled = TRUE;
        }
    }
    KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);
    if (fCancelled) {
        BusPdoCompleteUnprocessed(pDeviceObject, pIrp);
    }

    if (fHighPriority) {
        BusPdoFreeHighPriority(pPdoExt, pIrp);
        fHighPriority = FALSE;
    }
    KeReleaseSemaphore(&pPdoExt->Workers[lWorker].smWork, IO_NO_INCREMENT, 1, FALSE);

done:
    /* A refused request gives the slot back too, or the next nested request would wait forever. */
    if (fHighPriority) {
        BusPdoFreeHighPriority(pPdoExt, pIrp);
    }
    EXT("BusPdoQueueIrp: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand)
{
    return BusPdoQueueIrpEx(pDeviceObject, pIrp, ProcessCommand, NULL);
}

/* TRUE on one of the device's own workers. */
static BOOLEAN BusPdoOnOwnWorker(PPDO_EXT pPdoExt)
{
    PKTHREAD pCurrent = KeGetCurrentThread();
    for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
        if (pPdoExt->Workers[i].pThread == pCurrent) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS BusPdoQueueIrpAndWait(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand,
                               PNTSTATUS pCompletionStatus)
{
    ENT("BusPdoQueueIrpAndWait: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    if (BusPdoOnOwnWorker((PPDO_EXT)pDeviceObject->DeviceExtension)) {
        /* A close can arrive on a worker: completing a request may drop the last reference to its
           file object there, and whoever sends the close waits for it. The worker cannot wait for
           itself, and nothing else runs on the device meanwhile: the close is processed here. */
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
        IoMarkIrpPending(pIrp);
        *pCompletionStatus = ProcessCommand(pDeviceObject, pIrp);
        EXT("BusPdoQueueIrpAndWait: status 0x%08x\n", (ULONG)STATUS_PENDING);
        return STATUS_PENDING;
    }
    BUS_QUEUE_WAITER waiter;
    KeInitializeEvent(&waiter.evDone, NotificationEvent, FALSE);
    waiter.iStatus = STATUS_PENDING;
    NTSTATUS status = BusPdoQueueIrpEx(pDeviceObject, pIrp, ProcessCommand, &waiter);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&waiter.evDone, Executive, KernelMode, FALSE, NULL);
        *pCompletionStatus = waiter.iStatus;
    } else {
        *pCompletionStatus = status;
    }
    EXT("BusPdoQueueIrpAndWait: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Removal ---- */

VOID BusPdoKillThread(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoKillThread: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PBUS_QUEUE_NODE pCancelled;
    KIRQL irql;

    /* 1. Later requests are refused, the queued ones taken off (with their requests, unless a
       cancel routine has them already), the workers told to end. */
    KeAcquireSpinLock(&pPdoExt->slIrpQ, &irql);
    pPdoExt->fAcceptRequests = FALSE;
    pPdoExt->fKillThreads = TRUE;
    pCancelled = pPdoExt->pIrpQ;
    pPdoExt->pIrpQ = NULL;
    pPdoExt->pIrpQTail = NULL;
    for (PBUS_QUEUE_NODE pNode = pCancelled; pNode != NULL; pNode = pNode->pNext) {
        PIRP pIrp = BusPdoTakeIrp(pNode);
        pNode->pIrp = pIrp;   /* the node is off the queue: only this routine sees it now */
    }
    KeReleaseSpinLock(&pPdoExt->slIrpQ, irql);

    /* 2. Every queued request completes once, with STATUS_CANCELLED. */
    while (pCancelled != NULL) {
        PBUS_QUEUE_NODE pNext = pCancelled->pNext;
        if (pCancelled->pIrp != NULL) {
            BusPdoCompleteUnprocessed(pDeviceObject, pCancelled->pIrp);
        }
        BusPdoFreeNode(pDeviceObject, pCancelled);
        pCancelled = pNext;
    }

    /* 3. Wake every worker and wait for it to end: the extension it reads goes with the device. */
    for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
        PBUS_WORKER_SLOT pSlot = &pPdoExt->Workers[i];
        if (pSlot->fThreadRunning) {
            KeReleaseSemaphore(&pSlot->smWork, IO_NO_INCREMENT, 1, FALSE);
            pSlot->fThreadRunning = FALSE;
        }
    }
    for (ULONG i = 0; i < BUS_WORKER_COUNT; i++) {
        PBUS_WORKER_SLOT pSlot = &pPdoExt->Workers[i];
        PKTHREAD pThread = pSlot->pThread;
        if (pThread == NULL) {
            continue;
        }
        pSlot->pThread = NULL;
        if (pThread != KeGetCurrentThread()) {
            KeWaitForSingleObject(pThread, Executive, KernelMode, FALSE, NULL);
        } else {
            DBG_ASSERT(!"BusPdoKillThread called by a worker of the device");
        }
        ObDereferenceObject(pThread);
    }

    EXT("BusPdoKillThread: VOID status\n");
}

/* ---- Nested requests ---- */

NTSTATUS BusPdoSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                             ULONG ulInputLength, PVOID pOutput, ULONG ulOutputLength)
{
    ENT("BusPdoSendIoctlSync: pDeviceObject 0x%08x, pTarget 0x%08x, ulIoctl 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pTarget), ulIoctl);
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pInput, ulInputLength, pOutput, ulOutputLength,
                                              FALSE, &event, &ioStatus);
    if (pIrp == NULL) {
        DBG_NULL("BusPdoSendIoctlSync: pIrp");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }

    pIrp->Tail.Overlay.DriverContext[1] = BUS_OWN_REQUEST_MARK;
    BusPdoClaimHighPriority(pPdoExt, pIrp);
    InterlockedIncrement(&pPdoExt->ulCurrentThread);
    status = IoCallDriver(pTarget, pIrp);
    /* Queueing frees the slot; a request refused before it reached the queue must free it too. The
       request may be gone already: only its address is compared. */
    BusPdoFreeHighPriority(pPdoExt, pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    InterlockedDecrement(&pPdoExt->ulCurrentThread);

done:
    EXT("BusPdoSendIoctlSync: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Locked data buffers of pass-through-direct requests ---- */

VOID BusPdoMdlQueue(PDEVICE_OBJECT pDeviceObject, PBUS_MDL_NODE **pppHead, PKSPIN_LOCK *ppLock)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    *pppHead = &pPdoExt->pMdlQ;
    *ppLock = &pPdoExt->slMdlQ;
}
