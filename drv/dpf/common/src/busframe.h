/*
 * The frame that the tape bus (vorkatbus) and the changer bus (vorkacbus) share: event records, the
 * failover rules, the status table of forwarded requests, the locked buffers of pass-through-direct
 * requests and the checks and conversions of pass-through records. Compiled into both bus images
 * (vorka_add_driver WITH_BUS_FRAME).
 *
 * Each bus driver supplies the few routines that depend on its own virtual-device extension:
 * BusPdoMdlQueue (where a virtual device keeps its locked buffers).
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include "defines.h"
#include "debug.h"
#include "passthru.h"
#include "common.h"

/* Pool tags (as they read in a pool dump). */
#define BUS_TAG_EVENT            'eSUB'   /* event information records */
#define BUS_TAG_STATUS_BLOCK     'hSUB'   /* further IRPS_WITH_STATUS blocks */
#define BUS_TAG_MDL_NODE         'hODP'   /* MDL list node */

/* ---- Device extensions ---- */

/* Header shared by a bus's control device extension (BUS_EXT) and its virtual devices' (PDO_EXT);
   the dispatch routines tell the two kinds apart by fIsFdo. */
#define BUS_DEVICE_EXT_HEADER \
    UCHAR fIsFdo;                 /* TRUE: control device (BUS_EXT); FALSE: virtual device (PDO_EXT) */ \
    PNP_STATE ePnpState;          /* current PnP state */ \
    PNP_STATE ePrevPnpState       /* state before the last transition */

typedef struct _DEVICE_EXT_HEADER {
    BUS_DEVICE_EXT_HEADER;
} DEVICE_EXT_HEADER, *PDEVICE_EXT_HEADER;

/* ---- Load, start and the list lock (busentry.cpp) ---- */

/* Events both buses write (each driver's message table has their texts). */
#define BUS_EVT_STARTED               ((NTSTATUS)0x40000001L)
#define BUS_EVT_INIT_FAILED           ((NTSTATUS)0xC0000002L)
#define BUS_EVT_STATUS_FAILOVER       ((NTSTATUS)0x80000004L)
#define BUS_EVT_NEW_PRIMARY           ((NTSTATUS)0x40000006L)
#define BUS_EVT_UNLOADING             ((NTSTATUS)0x40000007L)

/* The driver-wide IRPS_WITH_STATUS table as the driver-object extension ulId, zeroed with its lock
   initialised; on failure event 0xC0000002 is written. */
NTSTATUS BusAllocateStatusTable(PDRIVER_OBJECT pDriverObject, ULONG ulId);
/* Who may open a bus's named devices (CmnSecureDevice): System and Administrators everything.
   Backup Operators run the backup software, which opens the virtual drives and changers to write and
   read tapes and move cartridges, so they get read and write on the virtual devices: with it they may
   send every request the bus takes from user mode, pass-through included (those codes ask for read
   and write access), but not change the device's descriptor, take it over or delete it. The control
   device, whose only request from user mode is the administrator's device listing, is for System and
   Administrators alone. Nobody else opens any of them, not even for attributes. */
#define BUS_BACKUP_OPERATORS_ACCESS   (GENERIC_READ | GENERIC_WRITE)

/* The control device (bus extender, secure open, System and Administrators only, extension of
   cbExtension bytes zeroed) and its link; on failure nothing is left. */
NTSTATUS BusCreateControlDevice(PDRIVER_OBJECT pDriverObject, ULONG cbExtension, PCWSTR wszName, PCWSTR wszLink,
                                PDEVICE_OBJECT *ppFdo);
/* DriverEntry of a bus: the status table as driver-object extension ulId, then the dispatch table,
   then the callback object wszCallbackName through which the bus tells its path filters that its
   control device arrives or leaves (without it the bus still loads; the filters then learn of a
   new bus only from their paths' own starts). */
NTSTATUS BusLoad(PDRIVER_OBJECT pDriverObject, ULONG ulId, PCWSTR wszCallbackName);
/* Tells the path filters that the control device arrived (BUS_STATE_ARRIVED: filters without a bus
   open it and register their started paths before this returns) or leaves (BUS_STATE_LEAVING: they
   let go of the status table and of the control device before this returns). PASSIVE_LEVEL, no
   lock held: the filters send requests to the bus and their base drivers in this thread. */
VOID BusAnnounceState(ULONG ulState);
/* DriverUnload of a bus: the callback object goes. */
VOID BusReleaseStateCallback(VOID);
/* The rest of AddDevice once the control device and its extension exist: the list lock initialised
   and the device attached above the bus's root device (*ppNextLowerDevice), power pageable and
   initialised; when it cannot attach, the device, its link and the lock go again. */
NTSTATUS BusAttachControlDevice(PDEVICE_OBJECT pFdo, PDEVICE_OBJECT pPhysicalDeviceObject, PUNICODE_STRING pusLinkName,
                                PERESOURCE prsPdoList, PDEVICE_OBJECT *ppNextLowerDevice);
/* The control device goes: its link, its attachment (pNextLowerDevice, if any), the list lock and the
   device itself. */
VOID BusDeleteControlDevice(PDEVICE_OBJECT pFdo, PDEVICE_OBJECT pNextLowerDevice, PUNICODE_STRING pusLinkName,
                            PERESOURCE prsPdoList);
/* The outcome of AddDevice in the event log: event 0x40000001 on success, 0xC0000002 otherwise. */
VOID BusAddDeviceEvent(PDRIVER_OBJECT pDriverObject, PCWSTR wszControlName, NTSTATUS status);
/* Power of either device kind: the control device passes it down (CmnGetNextLowerDevice), a virtual
   device agrees to power changes and completes the rest as it came; a removed device refuses it. */
NTSTATUS BusPassPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* Event 0x40000001 with the driver object's and the control device's addresses. */
VOID BusStartedEvent(PDRIVER_OBJECT pDriverObject, PCWSTR wszControlName);
/* Event 0xC0000002 with the status. */
VOID BusInitFailedEvent(PDRIVER_OBJECT pDriverObject, NTSTATUS status);
/* A REG_DWORD flag of the Parameters key; missing, unreadable or of another type: FALSE. */
BOOLEAN BusReadFlag(PCWSTR wszName);
/* The bus-wide list lock, an ERESOURCE taken at PASSIVE_LEVEL inside a critical region. */
VOID BusLockPdoListExclusive(PERESOURCE prsPdoList);
VOID BusLockPdoListShared(PERESOURCE prsPdoList);
VOID BusUnlockPdoList(PERESOURCE prsPdoList);
/* Reads "FailoverDisabled" and "FailoverEventsEnabled" at the start of the control device; szKind
   ("DPF", "CPF") names the failover in the trace. */
VOID BusReadFailoverFlags(PUCHAR pfFailoverDisabled, PUCHAR pfEventsEnabled, PCSTR szKind);
/* A device's PnP state moves on, the old one kept as the previous state. */
VOID BusSetPnpState(PDEVICE_EXT_HEADER pHeader, PNP_STATE eNewState);
/* Passes a PnP request of the control device down unchanged. */
NTSTATUS BusPassDownPnp(PDEVICE_OBJECT pNextLowerDevice, PIRP pIrp);
/* Completes pIrp with status and transfer information; returns status. */
NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation);
/* System control of a virtual device: completed with STATUS_SUCCESS and no data. */
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* The dispatch table: every major function to BusSendToFilter, then the bus's own routines, which
   each bus driver defines under these names. */
VOID BusSetEntryPoints(PDRIVER_OBJECT pDriverObject);
NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
VOID BusUnload(PDRIVER_OBJECT pDriverObject);
NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchPnP(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* IOCTL_SCSI_GET_ADDRESS of a virtual device: its primary path's address, read under the path-list
   lock. Returns the status to complete with (the caller completes). */
NTSTATUS BusPdoAnswerScsiAddress(PIRP pIrp, PKSPIN_LOCK pslPathList, const SCSI_ADDRESS *pScsiAddr,
                                 PULONG_PTR pulInformation);
/* IOCTL_STORAGE_GET_DEVICE_NUMBER of a virtual device: the device's own type and number (n of
   \Device\Tape<n> or \Device\Changer<n>), never a path's, so that a program matching devices by
   number finds the virtual device; tapes and changers have no partitions (-1). Answered without a
   path. Returns the status to complete with (the caller completes). */
NTSTATUS BusPdoAnswerDeviceNumber(PIRP pIrp, DEVICE_TYPE ulDeviceType, ULONG ulNumber, PULONG_PTR pulInformation);

/* ---- Event records (busevent.cpp) ---- */

/* Event information record: the event code and its insertion strings, each with its NUL, ended by
   an empty string. 240 bytes, like the error-log packet it becomes. */
#define BUS_EVENT_INFO_SIZE      240
#define BUS_EVENT_STRING_CHARS   ((BUS_EVENT_INFO_SIZE - sizeof(ULONG)) / sizeof(WCHAR))   /* 118 */
typedef struct _EVENT_INFO {
    NTSTATUS iEventCode;
    WCHAR wszStrings[BUS_EVENT_STRING_CHARS];
} EVENT_INFO, *PEVENT_INFO;
static_assert(sizeof(EVENT_INFO) == BUS_EVENT_INFO_SIZE, "event information record is 240 bytes");

/* Error-log packet: 240 bytes, strings where the dump data would start, at most 100 characters. */
#define BUS_ERROR_LOG_PACKET_SIZE     240
#define BUS_ERROR_LOG_STRING_OFFSET   40
#define BUS_ERROR_LOG_MAX_CHARS       ((BUS_ERROR_LOG_PACKET_SIZE - BUS_ERROR_LOG_STRING_OFFSET) / sizeof(WCHAR))

/* Events: BusTwoParmEvent builds the record from up to two insertion strings (a missing one is left
   out) and writes it with BusWriteEvent. pIoObject is a device object or the driver object; pIrp may
   be NULL. Callable at IRQL <= DISPATCH_LEVEL. */
NTSTATUS BusTwoParmEvent(PVOID pIoObject, PIRP pIrp, NTSTATUS iEventCode, PCWSTR wszParm1, PCWSTR wszParm2);
NTSTATUS BusWriteEvent(PVOID pIoObject, PIRP pIrp, PEVENT_INFO pEventInfo);
/* A path as an event names it: by its SCSI address ("port 2 bus 0 target 3 lun 0"). The event log
   is readable by every user, so no event gives the address of a kernel object. */
#define BUS_PATH_TEXT_CHARS 48
VOID BusPathText(PWCHAR wszOut, const SCSI_ADDRESS *pScsiAddr);

/* ---- Failover rules (busrules.cpp) ---- */

/* The failover sense table (0xFF-like wildcards for ASC and ASCQ) and the no-failover status list. */
BOOLEAN BusSenseCausesFailover(UCHAR ucSenseKey, UCHAR ucAsc, UCHAR ucAscq);
BOOLEAN BusStatusPreventsFailover(NTSTATUS status);
/* A sense that reports a condition of the drive itself, the same on every path: never a path failure. */
BOOLEAN BusSenseIsDriveCondition(UCHAR ucSenseKey, UCHAR ucAsc, UCHAR ucAscq);
/* TRUE for device-control codes a virtual device takes: METHOD_BUFFERED codes (not the base
   drivers' private ones from user mode) and IOCTL_SCSI_PASS_THROUGH_DIRECT. Requests on a virtual
   device reach the paths as kernel-mode requests that the bus built, so a code whose buffer is not
   a system buffer of the stated length, or that carries addresses, would hand the caller kernel
   memory. */
BOOLEAN BusPdoIoctlAccepted(PIRP pIrp, ULONG ulIoctl);
/* The sense of a completed 64-bit pass-through record at the front of pBuffer (ulLength bytes) into
   pScsiStatus: only when the device reported CHECK CONDITION with at least 14 sense bytes that lie
   inside the buffer. Sense bytes an application left in its buffer before a clean command never
   count. TRUE when sense was taken; *pfExtended when bytes 15 to 17 were returned too. */
BOOLEAN BusPassThruTakeSense(const UCHAR *pBuffer, ULONG ulLength, PSCSI_STATUS pScsiStatus, PBOOLEAN pfExtended);

/* ---- The status table of forwarded requests (busrules.cpp) ---- */

/* Enters pIrp and its status record in the table whose head block is *ppIrpsWithStatus (lowest free
   slot from 2, further blocks chained as needed); *ppIrpsWithStatus and *pulIndex then name the
   slot. The table's lock is released on every return. */
NTSTATUS BusIrpsWithStatusSet(PIRPS_WITH_STATUS *ppIrpsWithStatus, PULONG pulIndex, PIRP pIrp,
                              PSCSI_STATUS pScsiStatus);
/* Clears the slot; a chained block that became empty is freed. */
NTSTATUS BusIrpsWithStatusClear(PIRPS_WITH_STATUS pHead, PIRPS_WITH_STATUS pIrpsWithStatus, ULONG ulIndex);

/* ---- Locked pass-through-direct buffers (bussptd.cpp) ---- */

/* One locked pass-through-direct data buffer, owned by its request until the request completes. */
typedef struct _BUS_MDL_NODE {
    struct _BUS_MDL_NODE *pNext;
    PMDL pMdl;
    PIRP pIrp;
} BUS_MDL_NODE, *PBUS_MDL_NODE;
static_assert(sizeof(BUS_MDL_NODE) == 24, "an MDL list node is 24 bytes");

/* Supplied by each bus driver: the queue of locked buffers of a virtual device and its lock. */
VOID BusPdoMdlQueue(PDEVICE_OBJECT pDeviceObject, PBUS_MDL_NODE **pppHead, PKSPIN_LOCK *ppLock);

/* Locks the data buffer of a pass-through-direct request in the caller's context and queues it with
   the request; completes pIrp itself on failure. */
NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoQueueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PMDL pMdl);
PMDL BusPdoGetMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* Unlocks and frees the request's locked buffer, if it has one. */
NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* ---- Pass-through records of forwarded requests (buspassthru.cpp) ---- */

/* TRUE for the two SCSI pass-through control codes. */
BOOLEAN BusIsPassThrough(ULONG ulIoctl);
/* Checks that the caller's record is there and that its Length is its process's layout (44 bytes
   from a 32-bit process, 56 from any other); see buspassthru.cpp. */
NTSTATUS BusPassThruCheckLength(PIRP pIrp);
/* Checks the caller's record and notes what forwarding needs; see buspassthru.cpp. */
NTSTATUS BusPdoSetPassThruVars(PMDL *ppMdl, PVOID *ppPassThru, PBOOLEAN pf32bit, PULONG pul32bitDataBuffer,
                               PVOID *ppDataBuffer, PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoAdjustSizeFor32bit(PIRP pIrp, PIO_STACK_LOCATION pNewStack, PULONG pulSize);
NTSTATUS BusPdoCopy32bitTo64bit(PVOID pDest, ULONG ulDestSize, PVOID pSource, ULONG ulSourceLength, BOOLEAN fDirect,
                                PMDL pMdl);
NTSTATUS BusPdoCopy64bitTo32bit(PVOID pCaller, ULONG ulCallerLength, PVOID pForwarded, ULONG ulForwardedLength,
                                BOOLEAN fDirect, PMDL pMdl);

/* ---- The buffer of a forwarded device-control request (busforward.cpp) ---- */

typedef struct _BUS_FORWARD {
    PIO_STACK_LOCATION pIrpStack;   /* the caller's */
    BOOLEAN fPassThru;
    BOOLEAN fDirect;
    BOOLEAN f32bit;                 /* the caller's record is converted from the 32-bit layout */
    PMDL pMdl;                      /* locked pass-through-direct data buffer, or NULL */
    ULONG ul32bitDataBuffer;        /* the caller's data-buffer values, put back at completion */
    PVOID pDataBuffer;
    ULONG ulCallerBuffer;           /* bytes of the caller's system buffer */
    ULONG ulInput;                  /* forwarded input length */
    ULONG ulOutput;                 /* data part of the forwarded buffer, before its SCSI_STATUS */
} BUS_FORWARD, *PBUS_FORWARD;

/* Sizes the forwarded buffer of the device-control request pFwd->pIrpStack describes and checks a
   pass-through record (the caller set pIrpStack). */
NTSTATUS BusForwardPrepare(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_FORWARD pFwd);
/* Fills the data part of a zeroed forwarded buffer from the caller's system buffer. */
NTSTATUS BusForwardFill(PIRP pIrp, PBUS_FORWARD pFwd, PUCHAR pBuffer);
/* Copies the outcome back into the caller's buffer, never past it nor past the data part; bounds
   *pulInformation by the caller's output length. Returns the status to complete with. */
NTSTATUS BusForwardCopyBack(PIRP pIrp, PBUS_FORWARD pFwd, const UCHAR *pBuffer, NTSTATUS status,
                            PULONG_PTR pulInformation);
/* Puts the caller's own data-buffer address back into its pass-through-direct record. */
VOID BusForwardRestoreCaller(PIRP pIrp, PBUS_FORWARD pFwd);
/* The file object a request sent down a path carries: the caller's only for its open and close. */
VOID BusForwardFileObject(PIO_STACK_LOCATION pNextStack);
/* One request of the bus's own straight to a path's filter device (not through a virtual device),
   waited for; *pulInformation (when given) is the bytes returned. */
NTSTATUS BusSendToPath(PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput, ULONG ulInput, PVOID pOutput, ULONG ulOutput,
                       PULONG_PTR pulInformation);
/* The same with the status record pScsiStatus (zeroed by the caller) entered in the bus's status
   table, so that the base driver reports there the sense the device answered with. */
NTSTATUS BusSendToPathWithStatus(PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput, ULONG ulInput, PVOID pOutput,
                                 ULONG ulOutput, PULONG_PTR pulInformation, PIRPS_WITH_STATUS pIrpsWithStatus,
                                 PSCSI_STATUS pScsiStatus);
