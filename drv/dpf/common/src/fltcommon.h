/*
 * What the tape and the changer path filter share: the open of the bus control device, request
 * counting and draining, the synchronous private requests, identification by serial number and SCSI
 * address, the failover switch in the registry, the status-table handshake, pass-down, power and the
 * Plug and Play handling with its notifications to the bus.
 *
 * Compiled into each filter image (vorka_add_driver ... WITH_FILTER) with that filter's trace prefix,
 * service key and control codes (VORKA_CHANGER_DRIVER selects the changer's). The filter supplies:
 * DriverEntry, FltAddDevice (which calls FltInitExtension), FltIrpMnStartDevice, FltRegisterDevice,
 * FltNotifyPnp, and the create, close, read, write, device-control, internal device-control,
 * system-control and pass-through dispatch routines. VORKA_FAILOVER_KIND ("DPF" or "CPF") names the
 * kind of failover in the trace.
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include "defines.h"
#include "debug.h"
#include "common.h"
#include "devdata.h"

#ifndef VORKA_FAILOVER_KIND
#error "VORKA_FAILOVER_KIND (\"DPF\" or \"CPF\") must be defined by the filter build"
#endif

/* Pool tag of the filters' allocations (reads "FLTR" in a pool dump). */
#define FLT_TAG 'RTLF'

/* A filter's identification of its path: reads what the path is, registers it with the bus and gives
   the number the bus answered (it clears fFailover for a path that cannot fail over). */
typedef ULONG (*PFLT_IDENTIFY_PATH)(PDEVICE_OBJECT pDeviceObject);

/* The part of a filter's per-path extension that both filters have; each filter's FLT_EXT derives
   from it, so the shared routines find these fields at the start of every filter device's extension. */
typedef struct _FLT_BASE_EXT {
    PDEVICE_OBJECT pLowerDevice;          /* where every request goes */
    PDEVICE_OBJECT pPhysicalDeviceObject; /* the path's physical device object */
    BOOLEAN fFailover;                    /* the path takes part in failover */
    ULONG ePnp;                           /* PNP_STATE of the path */
    ULONG ePnpPrev;                       /* state before the last change */
    CHAR szSN[SERIAL_NUMBER_LENGTH + 1];  /* serial number of the device behind the path */
    SCSI_ADDRESS scScsiAddr;              /* SCSI address of the path */
    PIRPS_WITH_STATUS pBaseDriverExt;     /* the bus's status table, from the registration reply */
    LONG ulIoCount;                       /* requests in progress plus the device's own reference */
    KEVENT evIdle;                        /* signalled when no request is in progress */
    KEVENT evRemove;                      /* signalled when the count drops below 1 */
    KSPIN_LOCK slCount;                   /* guards ulIoCount, fRemoving and the two events; a spin lock,
                                             as power requests may arrive at DISPATCH_LEVEL */
    FAST_MUTEX fmDispatch;                /* taken by dispatch routines around their count changes */
    BOOLEAN fRemoving;                    /* the remove has begun: no request enters any more */
    /* What the filter keeps to register the path again without a start of its own (the bus came
       back) and to identify it again later (the device did not answer at the start). */
    PDEVICE_OBJECT pSelf;                 /* the filter device object of this extension */
    LIST_ENTRY lePath;                    /* in the driver's list of paths, in the order they came */
    BOOLEAN fCanFailover;                 /* what the identification found, before the registration */
    BOOLEAN fLendDeviceSlot;              /* the handshake lends the filter device's slot too */
    BOOLEAN fIdentifyAgain;               /* the device did not answer part of its identification */
    ULONG ulIdentifyTries;                /* identifications tried again since the path started */
    PFLT_IDENTIFY_PATH pfnIdentify;       /* the filter's identification and registration */
    KTIMER tmIdentify;                    /* when to identify again */
    KDPC dpcIdentify;                     /* queues pIdentifyItem when the timer fires */
    PIO_WORKITEM pIdentifyItem;           /* the armed retry's work item; NULL when none is armed */
    KMUTEX mtxRegister;                   /* one identification or registration of the path at a time */
} FLT_BASE_EXT, *PFLT_BASE_EXT;

static inline PFLT_BASE_EXT FltBaseExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PFLT_BASE_EXT)pDeviceObject->DeviceExtension;
}

/* The bus control device and the file object that keeps it open: opened at driver entry, let go
   when the bus leaves, opened again when it arrives. Read only through FltSendToBus. */
extern PDEVICE_OBJECT pGlobBusDvcObj;
extern PFILE_OBJECT pGlobBusFileObj;

/* Defaults of the identification retry: the first retry after FLT_IDENTIFY_FIRST_MS,
   each later one after twice the wait before it, at most FLT_IDENTIFY_LONGEST_MS, and at most
   "IdentifyRetries" retries (Parameters value; FLT_IDENTIFY_RETRIES when missing, 0 turns retrying
   off). */
#define FLT_IDENTIFY_FIRST_MS      1000
#define FLT_IDENTIFY_LONGEST_MS    60000
#define FLT_IDENTIFY_RETRIES       15

/* Event of a path whose device never answered its identification (each filter's message table). */
#define FLT_EVT_NOT_IDENTIFIED     ((NTSTATUS)0x80000001L)

/* ---- Routines each filter supplies ---- */

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject);
/* Registers a started path again with the identity it has (the bus came back): fFailover is what
   the identification found, and what the bus must know besides (a tape path's own open handles)
   is told again. Returns the number the bus answered, 0 when it refused. */
ULONG FltRegisterAgain(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* ---- Shared routines ---- */

/* Opens the bus control device wszBusName into pGlobBusDvcObj and pGlobBusFileObj, sets up the
   driver-wide locks and the list of paths, and registers for the bus's announcements on the
   callback object wszCallbackName. A failure to open the bus is the driver entry's status: the
   filter does not load. */
NTSTATUS FltOpenBusDevice(PCWSTR wszBusName, PCWSTR wszCallbackName);

VOID FltSetEntryPoints(PDRIVER_OBJECT pDriverObject);
VOID FltUnload(PDRIVER_OBJECT pDriverObject);

/* Creates the unnamed filter device object with a zero-filled extension of ulExtSize bytes (an
   FLT_EXT that derives from FLT_BASE_EXT), initialises the shared part (PNP_NOT_STARTED, count 1,
   events and locks), attaches it above pPhysicalDeviceObject and copies the lower device's flags.
   The caller fills its own fields, then clears DO_DEVICE_INITIALIZING. */
NTSTATUS FltCreateFilterDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject, ULONG ulExtSize,
                               DEVICE_TYPE ulDeviceType, PDEVICE_OBJECT *ppDeviceObject);

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                          ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize);
/* A record to the bus control device, the same record back; STATUS_NO_SUCH_DEVICE without a bus. */
NTSTATUS FltSendToBus(PDEVICE_OBJECT pDeviceObject, ULONG ulIoctl, PVOID pRecord, ULONG ulSize);
/* The status record of a request the bus forwarded to this path, NULL for any other request; the
   table is read under the lock that the bus's leaving takes to clear it. */
PSCSI_STATUS FltForwardedStatus(PFLT_BASE_EXT pExt, PIRP pIrp);
/* The status table of the registration reply (NULL: none). */
VOID FltSetStatusTable(PFLT_BASE_EXT pExt, PIRPS_WITH_STATUS pTable);
/* Held around what the bus must count exactly once (a path device's own open or close and its
   notice), so that registering the path again (which tells the bus of every such open) never
   runs between the two; also held by every identification and registration of the path. */
VOID FltLockRegistration(PFLT_BASE_EXT pExt);
VOID FltUnlockRegistration(PFLT_BASE_EXT pExt);

/* Request counting. FltIncIoCount returns FALSE once the remove has begun (nothing enters any more);
   FltDecIoCount returns the count after the decrement; the decrement that ends the last request of a
   path being removed is the caller's last touch of the extension. FltEnterDispatch and
   FltLeaveDispatch do the same under the dispatch lock, as dispatch routines count. */
BOOLEAN FltIncIoCount(PFLT_BASE_EXT pExt);
LONG FltDecIoCount(PFLT_BASE_EXT pExt);
BOOLEAN FltEnterDispatch(PFLT_BASE_EXT pExt);
VOID FltLeaveDispatch(PFLT_BASE_EXT pExt);
/* Completes a request that reached a path being removed, without touching the device below. */
NTSTATUS FltRefuseRemoved(PCSTR szRoutine, PIRP pIrp);

/* Passes the request to the base driver unchanged; the caller's count stays until it returns. */
NTSTATUS FltPassDown(PFLT_BASE_EXT pExt, PIRP pIrp);
/* Takes a count, passes the request down unchanged and gives the count back. */
NTSTATUS FltCountedPassDown(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* Completes pIrp with status and no data. */
VOID FltCompleteRequest(PIRP pIrp, NTSTATUS status);
BOOLEAN FltPrivateFromUser(PIRP pIrp);   /* a private request an application sent */
NTSTATUS FltRefusePrivate(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* Identification through the base driver's private requests. */
NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PCHAR szSerial);
NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PSCSI_ADDRESS pScsiAddr);
/* FltSerialIsBlank (devdata.h) tells a serial number that identifies nothing. */
/* Reads the serial number into the extension's szSN; FALSE when there is none to group by. */
BOOLEAN FltStoreSerial(PDEVICE_OBJECT pDeviceObject);
BOOLEAN FltFailoverSupported(PDEVICE_OBJECT pDeviceObject);

/* Hands the bus's status table to the base driver: while IOC_SET_EXT_IN_BASE travels down, slot 0 of
   the head block names a pool value holding ulNumber (the virtual device's number) and, when
   fLendDeviceSlot is set, slot 1 names the filter device object. STATUS_INSUFFICIENT_RESOURCES when
   the value's pool cannot be had. */
NTSTATUS FltShareStatusTable(PDEVICE_OBJECT pDeviceObject, ULONG ulNumber, BOOLEAN fLendDeviceSlot);
NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject);
/* The start of a path as both filters run it: the start goes down first (a failed start is completed
   with its status); the path then counts as started and taking part in failover, and the filter's
   pfnIdentify reads what the path is, registers it with the bus and gives the number the bus answered
   (it clears fFailover for a path that cannot fail over). With a status table from the bus, the table
   goes to the base driver (fLendDeviceSlot as FltShareStatusTable takes it). The start is completed
   with the status returned: a path whose handshake storage cannot be had fails its start. When the
   device did not answer part of the identification (pfnIdentify set fIdentifyAgain), the path is
   identified again later, on a timer with a growing wait, a bounded number of times. */
NTSTATUS FltStartPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PFLT_IDENTIFY_PATH pfnIdentify, BOOLEAN fLendDeviceSlot);

/* Power and Plug and Play. */
NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
VOID FltSetPnpState(PFLT_BASE_EXT pExt, ULONG eNewState);
NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
