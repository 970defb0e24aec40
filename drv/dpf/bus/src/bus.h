/*
 * Tape path-failover bus driver (vorkatbus): device extensions, records and routines shared by the
 * control device code (bus.cpp, buspnp.cpp) and the virtual tape device code (pdo.cpp, pdopnp.cpp).
 */
#pragma once

#include <ntddk.h>
#include <ntddtape.h>
#include <ntddscsi.h>
#include "defines.h"
#include "debug.h"
#include "common.h"
#include "list.h"
#include "passthru.h"
#include "busframe.h"

/* Version text traced at every open. */
#define BUS_VERSION_TEXT "7.0.2.1x64"

/* Pool tags (as they read in a pool dump). */
#define BUS_TAG_PDO_DATA         'dSUB'   /* PDO_DATA */
#define BUS_TAG_PATH_DATA        'pSUB'   /* PATH_DATA */
#define BUS_TAG_ADAPTER          'aSUB'   /* ADAPTER_USAGE */
#define BUS_TAG_PERSISTENT_NAME  'nSUB'   /* PERSISTENT_NAME */
#define BUS_TAG_QUERY            'qSUB'   /* IOC_QUERY_DEVICES answer being built */
#define BUS_TAG_KEY_INFO         'kSUB'   /* registry subkey enumeration buffer */
#define BUS_TAG_FORWARD_BUFFER   'bODP'   /* system buffer of a forwarded request */

/* Events of the message table (vorkatbus.mc) beyond those of busframe.h. */
#define BUS_EVT_RESERVING_HOST_KEY    ((NTSTATUS)0x40000008L)
#define BUS_EVT_RESERVATION_REFUSED   ((NTSTATUS)0xC0000007L)
#define BUS_EVT_SERIAL_CLASH          ((NTSTATUS)0x80000009L)

/* ---- Device extensions ---- */

/* Outstanding-request count of a device: 1 when idle. The idle event is set while the count is 1, the
   remove event once it drops to 0. The PnP mutex is taken before the count mutex. */
#define BUS_IO_COUNT_FIELDS \
    LONG ulIoCount; \
    KEVENT evIdle;                /* synchronization event, initially signalled */ \
    KEVENT evRemove;              /* synchronization event, initially not signalled */ \
    FAST_MUTEX fmIoCount;         /* guards ulIoCount */ \
    FAST_MUTEX fmPnp              /* held by the PnP dispatch while it counts a request in */

struct _PDO_DATA;
struct _PATH_DATA;
struct _ADAPTER_USAGE;
struct _PERSISTENT_NAME;

/* One per host adapter seen (load balancing). */
typedef struct _ADAPTER_USAGE {
    struct _ADAPTER_USAGE *pNext;
    ULONG ulAdapter;              /* SCSI port number */
    ULONG ulRefCt;                /* registered paths through this adapter */
    ULONG ulOpenUsage;            /* opens whose primary path went through this adapter */
} ADAPTER_USAGE, *PADAPTER_USAGE;

/* One per registered path. */
typedef struct _PATH_DATA {
    struct _PATH_DATA *pNext;
    PADAPTER_USAGE pHBA;          /* adapter record, NULL without load balancing */
    PDEVICE_OBJECT pFDO;          /* the path's filter device object */
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;                /* the path is started */
    UCHAR fPrimary;               /* the drive's primary path */
    PNP_STATE ePnp;               /* last reported PnP state */
    ULONGLONG ullKey;             /* the reservation key the path reserves with now (a preempt hands the
                                     holder's on) */
    ULONGLONG ullOwnKey;          /* the path's own key: random, drawn when the path was added */
    UCHAR fKeyGiven;              /* the own key was handed to the base driver below */
} PATH_DATA, *PPATH_DATA;

/* One per virtual device (drive), in BUS_EXT.pListOfPdos ordered by pPdo. */
typedef struct _PDO_DATA {
    struct _PDO_DATA *pNext;
    PDEVICE_OBJECT pPdo;          /* the virtual device object */
    UCHAR fFailover;
    PPATH_DATA pListOfPaths;      /* in registration order */
} PDO_DATA, *PPDO_DATA;

/* Extension of the control device \Device\VorkaTBusDvc. */
typedef struct _BUS_EXT {
    BUS_DEVICE_EXT_HEADER;
    PDEVICE_OBJECT pDeviceObject;           /* the control device itself */
    PDEVICE_OBJECT pPhysicalDeviceObject;   /* root-enumerated device below; bus relations target */
    UNICODE_STRING usLinkName;              /* "\??\VorkaTBusDvcLnk" */
    PDEVICE_OBJECT pNextLowerDevice;        /* the device the control device is attached to */
    BUS_IO_COUNT_FIELDS;
    PPDO_DATA pListOfPdos;
    UCHAR fFailoverDisabled;
    UCHAR fEventsEnabled;
    UCHAR fLoadBalancing;
    UCHAR fPersistentNaming;
    struct _PERSISTENT_NAME *pPersistentNames;
    PADAPTER_USAGE pAdapterUsage;           /* adapter usage list, guarded by slAdapterList */
    KSPIN_LOCK slAdapterList;
    ERESOURCE rsPdoList;                    /* bus-wide list lock: pListOfPdos, path lists, names */
    UCHAR fRemoving;                        /* the PnP removal has begun: no request is counted in (fmPnp) */
    LONG64 llKeysDrawn;                     /* reservation keys drawn so far (BusNewReservationKey) */
} BUS_EXT, *PBUS_EXT;

/* ---- Request queue of a virtual device (pdoqueue.cpp) ---- */

#define BUS_TAG_QUEUE_NODE       'gODP'   /* queue node */
#define BUS_WORKER_COUNT         5        /* worker threads per virtual device; nesting is one less deep */
#define BUS_WORKER_PRIORITY      16

/* Processing routine of a queued request: takes the virtual device and the request, completes it. */
typedef NTSTATUS (*PBUS_PROCESS_COMMAND)(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* Requests one handle may have queued at a time; more are refused with STATUS_INSUFFICIENT_RESOURCES.
   A tape application keeps a few in flight: the bound only stops one handle from filling pool. */
#define BUS_QUEUE_HANDLE_LIMIT   1024

/* One queued request. A cancelled request is completed at once and leaves its node behind, without
   a request, for the worker that reaches it (the node holds the device's I/O count until then). */
typedef struct _BUS_QUEUE_NODE {
    struct _BUS_QUEUE_NODE *pNext;
    PIRP pIrp;                    /* NULL once the request was cancelled */
    PBUS_PROCESS_COMMAND ProcessCommand;
    UCHAR fHighPriority;          /* the request held the high-priority slot */
    UCHAR fCancelable;            /* an application's request: its cancel routine is set while queued */
} BUS_QUEUE_NODE, *PBUS_QUEUE_NODE;
static_assert(sizeof(BUS_QUEUE_NODE) == 32, "a queue node is 32 bytes");

/* An open or close dispatch routine waiting for its queued request: the processing routine stores
   the completion status and signals the event once the request is completed. */
typedef struct _BUS_QUEUE_WAITER {
    KEVENT evDone;
    NTSTATUS iStatus;
} BUS_QUEUE_WAITER, *PBUS_QUEUE_WAITER;

/* One worker thread of a virtual device. */
typedef struct _BUS_WORKER_SLOT {
    KSEMAPHORE smWork;            /* released once per request for this worker, and once to stop it */
    UCHAR fThreadRunning;
    PKTHREAD pThread;             /* referenced thread object: removal waits for the thread to end */
} BUS_WORKER_SLOT, *PBUS_WORKER_SLOT;

/* Extension of a virtual tape device \Device\Tape<n>. */
/* Logical block protection as the application set it: Set is nonzero while protection is on. */
typedef struct _BUS_LBP_SETTINGS {
    UCHAR ucSet;
    UCHAR ucCapable;
    UCHAR ucMethod;
    UCHAR ucLength;
    UCHAR ucWrite;
    UCHAR ucRead;
    UCHAR ucRDBP;
} BUS_LBP_SETTINGS, *PBUS_LBP_SETTINGS;
static_assert(sizeof(BUS_LBP_SETTINGS) == 7, "LBP settings are 7 bytes");

#define BUS_BLOCK_SIZE_UNKNOWN   0xFFFFFFFF
#define BUS_AMU_UNKNOWN          0xFF

/* PDO_EXT.ucCompression: the application has not chosen (the drive's own default on each path),
   or it turned compression off or on (TAPE_SET_DRIVE_PARAMETERS, or the data compression page of a
   MODE SELECT). A path the drive is reached through anew gets the application's choice, with the
   rest of the drive parameters it last set (or, when it set none, those the path has). */
#define BUS_COMPRESSION_DRIVE    0
#define BUS_COMPRESSION_OFF      1
#define BUS_COMPRESSION_ON       2
/* How much the bus knows of the block size while fBlockSizeValid is FALSE. */
#define BUS_BLOCK_SIZE_ON_DRIVE  0      /* the drive holds the application's: read it back */
#define BUS_BLOCK_SIZE_DOUBTFUL  1      /* the application's last set failed: the drive holds the old or the new one */
#define BUS_BLOCK_SIZE_FORGOTTEN 2      /* ... and then the drive went back to its default: nobody knows it */

/* Marks a request the bus sends to its own virtual device (BusPdoSendIoctlSync), so that the
   engine tells the bus's own requests from the application's. */
#define BUS_OWN_REQUEST_MARK     ((PVOID)(ULONG_PTR)0x6E774F42)
#define BusIsOwnRequest(pIrp)    ((pIrp)->Tail.Overlay.DriverContext[1] == BUS_OWN_REQUEST_MARK)
/* A queued request's node, while it is in the queue (guarded by the queue lock). */
#define BusQueuedNode(pIrp)      ((pIrp)->Tail.Overlay.DriverContext[2])

/* Finishing a write after part of it reached the tape; one per run of BusPdoSendToFilter. */
typedef struct _FOOW_STATE {
    UCHAR bFOOW;                  /* a write is being finished: only the rest is sent */
    UCHAR fFOOWDone;              /* all of it turned out to be on tape */
    ULONG ulFOOWTotal;            /* bytes (filemarks: marks) known written */
    ULONG ulFOOWRemaining;        /* length (filemarks: count) of the rest being sent */
} FOOW_STATE, *PFOOW_STATE;

typedef struct _PDO_EXT {
    BUS_DEVICE_EXT_HEADER;
    LONG ulTapeNumber;                      /* n of \Device\Tape<n> */
    WCHAR wszName[17];                      /* the name below \Device\ and \DosDevices\ ("Tape<n>" or a recorded one) */
    CHAR szSN[33];                          /* serial number of the drive */
    CHAR szWwnn[17];                        /* world-wide node name */
    SCSI_ADDRESS scScsiAddr;                /* address of the current primary path */
    UCHAR fLinkCreated;                     /* \DosDevices\Tape<n> exists */
    PPDO_DATA pPdoData;                     /* NULL once the drive lost all paths */
    KSPIN_LOCK slPathList;                  /* guards the path list, path flags and primary choice */
    PBUS_EXT pBusExt;
    BUS_IO_COUNT_FIELDS;
    PIRPS_WITH_STATUS pIrpsWithStatus;      /* the driver-wide status table */
    LONG ulOpenHandles;                     /* opens on the device and reported on its paths */
    UCHAR fExclusive;
    UCHAR fSME;
    UCHAR fBlockSizeValid;
    UCHAR fPositionValid;                   /* the tracked tape position is exact */
    UCHAR fRewound;                         /* a rewind succeeded and nothing moved the medium since */
    /* Request queue (pdoqueue.cpp). */
    PBUS_QUEUE_NODE pIrpQ;                  /* FIFO, except that high-priority nodes go to the head */
    PBUS_QUEUE_NODE pIrpQTail;              /* last node, so that a request is queued at once */
    BUS_WORKER_SLOT Workers[BUS_WORKER_COUNT];
    LONG ulThreadIndex;                     /* next worker index to hand out */
    LONG ulCurrentThread;                   /* nested requests in progress = worker that serves the next */
    UCHAR fKillThreads;
    KSPIN_LOCK slIrpQ;                      /* pIrpQ, pIrpQTail, fAcceptRequests, hand-over of pHighPriority,
                                               the queued requests' nodes */
    UCHAR fAcceptRequests;
    PIRP pHighPriority;                     /* the request that owns the high-priority slot */
    KSPIN_LOCK slHighPriority;              /* claiming of pHighPriority */
    KEVENT evHighPriorityFree;              /* notification event, signalled while the slot is free */
    PBUS_MDL_NODE pMdlQ;                    /* locked pass-through-direct buffers */
    KSPIN_LOCK slMdlQ;
    /* Tape state model (pdostate.cpp) and failover bookkeeping (pdoengine.cpp). */
    ULONGLONG ulPosition;                   /* logical block position; 64-bit: cartridges hold more than 2^32 blocks */
    IO_STACK_LOCATION SavedIrpStack;        /* stack location of the caller's request being forwarded */
    ULONG ulBlockSize;                      /* bytes; 0 variable; BUS_BLOCK_SIZE_UNKNOWN never learned */
    PDEVICE_OBJECT pReservationHolder;      /* path (filter device object) holding the reservation */
    ULONGLONG ulReservationKey;             /* key the lower layers preempt with */
    UCHAR fExplicitlySetPRKey;              /* the application chose the key */
    UCHAR fDoNotFailover;                   /* skip the failover decision for the request being forwarded */
    BUS_LBP_SETTINGS LbpSettings;
    UCHAR fPAMR;                            /* medium removal prevented (TAPE_LOCK) */
    UCHAR ucAMU;                            /* 0xFF unknown */
    UCHAR fSMP;                             /* a settings restore is in progress on this device */
    UCHAR fSettingsLost;                    /* a reset or a lost connection put the drive's settings back to
                                               its defaults: restore them before the next request */
    UCHAR fPositionCheck;                   /* a path came back: its start-up commands may have taken the notice of a
                                               reset, so the next request compares the drive's position first */
    LONG lPathEvents;                       /* BUS_PATH_EVENT_* bits the PnP side sets (interlocked) for the engine,
                                               which takes them into fSettingsLost and fPositionCheck */
    UCHAR fUnflushedWrites;                 /* writes the drive acknowledged may still sit in its buffer: nothing that
                                               writes the buffer out has succeeded since on the path they went through */
    PDEVICE_OBJECT pUnflushedPath;          /* that path: only it hears of a later failure to write them out */
    ULONGLONG ulUnflushedEnd;               /* the position after them */
    UCHAR ucBlockSizeDoubt;                 /* BUS_BLOCK_SIZE_ON_DRIVE, _DOUBTFUL or _FORGOTTEN */
    LONG iUnitAttention;                    /* status of a reset, medium change or deferred error that one of the bus's own
                                               requests met and the application has not been told of; 0 none */
    ULONG ulPassThruLength;                 /* DataTransferLength of the pass-through being forwarded, as sent */
    UCHAR ucCompression;                    /* BUS_COMPRESSION_*: data compression as the application chose it */
    UCHAR fDriveParamsSet;                  /* DriveParams holds the application's last TAPE_SET_DRIVE_PARAMETERS */
    TAPE_SET_DRIVE_PARAMETERS DriveParams;  /* ECC, padding, setmark reporting and EOT warning zone it chose */
    UCHAR fUnlockOthers;                    /* the application unlocked the medium: the other paths get ALLOW too */
    UCHAR fUnlockPending;                   /* a path could not get that ALLOW: it gets it when a path starts */
    UCHAR fLockLeftOnPath;                  /* a path left while the medium was locked: it may still prevent
                                               removal when it comes back, so unlocks stay pending for it */
    ULONGLONG ulEraseStart;                 /* where the erase being forwarded began */
    UCHAR fEraseStartValid;                 /* ulEraseStart is exact */
    UCHAR fRemoving;                        /* removal has begun: no request is counted in (fmPnp) */
    PDEVICE_OBJECT pLastAnswered;           /* path the drive last answered through (compared, never used to send) */
    ULONGLONG ulRequestStart;               /* where the application's request being forwarded began */
    UCHAR fRequestStartValid;               /* ulRequestStart is exact and such a request is being forwarded */
    UCHAR fRequestSetsPosition;             /* that request is a rewind or a locate */
    UCHAR fCheckingLogin;                   /* a new login's reset notice is being checked against the tape */
    PDEVICE_OBJECT pOwnReset;               /* path through which the bus reset the drive: the next reset notice
                                               there is the bus's own (compared, never used to send) */
} PDO_EXT, *PPDO_EXT;

/* What a path's return means for the engine (PDO_EXT.lPathEvents). */
#define BUS_PATH_EVENT_SETTINGS_LOST  0x1   /* the path's connection may have reset the drive's settings */
#define BUS_PATH_EVENT_POSITION_CHECK 0x2   /* its start-up commands may have taken a reset's notice */
#define BUS_PATH_EVENT_LEFT           0x4   /* a path left the drive (its nexus may remain, with its lock) */

/* ---- bus.cpp ---- */

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);


/* The driver-wide IRPS_WITH_STATUS table (head block). */
PIRPS_WITH_STATUS BusGetIrpsWithStatus(PDRIVER_OBJECT pDriverObject);


/* Control-code handlers (path registration). */
NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyIo(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);   /* completes pIrp itself */

/* ---- Path registration and persistent naming ----
 *
 * The bus-wide list lock (BUS_EXT.rsPdoList, an ERESOURCE taken at PASSIVE_LEVEL) guards pListOfPdos,
 * which paths each drive has, and the persistent-name list: exclusive to add or remove drives or
 * paths or to change names, shared to walk. A path's flags and the primary choice change under its
 * drive's path-list spin lock. Lock order: the list lock, then a path-list spin lock, then the
 * adapter-list spin lock.
 */

/* Numbers of drives named with persistent naming on start after this one. */
#define BUS_PERSISTENT_NUMBER_BASE   5655360
/* Longest recorded device name ("Tape<n>", without "\Device\") and drive key, in characters. */
#define BUS_PERSISTENT_NAME_CCH      16
#define BUS_PERSISTENT_KEY_CCH       74

/* One recorded name per drive; list in BUS_EXT.pPersistentNames, newest first. */
typedef struct _PERSISTENT_NAME {
    struct _PERSISTENT_NAME *pNext;
    WCHAR wszKey[BUS_PERSISTENT_KEY_CCH + 1];    /* "WWNN_<16 hex>" or "SERNUM_<32 characters>" */
    WCHAR wszName[BUS_PERSISTENT_NAME_CCH + 1];  /* "Tape<n>" */
} PERSISTENT_NAME, *PPERSISTENT_NAME;

PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
/* TRUE for a serial number that identifies nothing: empty, or the all-'0' placeholder of failed
   identification. Such a drive is never grouped with another. */
BOOLEAN BusSerialIsPlaceholder(PCSTR szSN);

/* Persistent names (the callers of the lookups hold the list lock). */
NTSTATUS BusQueryForPersistentNames(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusAddPersistentNameToList(PDEVICE_OBJECT pDeviceObject, PCWSTR wszName);
NTSTATUS BusCreateWideStrFromWwnnAndSn(PWCHAR wszRegKey, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr);
NTSTATUS BusGetPersistentName(PDEVICE_OBJECT pDeviceObject, PCSTR szWwnn, PCSTR szSN, PSCSI_ADDRESS pScsiAddr,
                              PWCHAR wszDvcName, PLONG pDvcNum);
NTSTATUS BusAddPersistentName(PDEVICE_OBJECT pDeviceObject, PCWSTR wszKey, PCWSTR wszName);
BOOLEAN BusNamePersistentlyInUse(PDEVICE_OBJECT pDeviceObject, PCWSTR wszDeviceName);
VOID BusDeletePersistentNames(struct _PERSISTENT_NAME **ppPersistentNames);
/* TRUE for the key shared by every drive whose identification failed ("SERNUM_" and 32 '0'). */
BOOLEAN BusIsZeroIdentityKey(PCWSTR wszKey);

/* Virtual devices and their paths (pdo.cpp; the list lock is held exclusively where noted). */
NTSTATUS BusCreatePdo(PDEVICE_OBJECT *ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusPdoAddPath(PPATH_DATA *ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc);
ULONGLONG BusNewReservationKey(PBUS_EXT pExt);
NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData);
BOOLEAN BusPdoSetPathState(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPathData, PNP_STATE ePnp,
                           PDEVICE_OBJECT *ppNewPrimary);
BOOLEAN BusPdoRemovePath(PBUS_EXT pExt, PPDO_DATA pPdoData, PPATH_DATA pPathData, PDEVICE_OBJECT *ppNewPrimary);
VOID BusPdoDelete(PBUS_EXT pExt, PPDO_DATA pPdoData);
PPATH_DATA BusPdoPrimaryPath(PPDO_DATA pPdoData);
VOID BusPdoPrimaryEvent(PDRIVER_OBJECT pDriverObject, PBUS_EXT pExt, PDEVICE_OBJECT pNewPrimary, PCSTR szSN);
/* TRUE once the virtual device lost its drive record: its requests fail with STATUS_DELETE_PENDING. */
BOOLEAN BusPdoIsGone(PPDO_EXT pPdoExt);
/* Lowers ulOpenHandles, never below zero; the caller holds the path-list spin lock. */
LONG BusDecrementOpenHandles(PPDO_EXT pPdoExt);

/* Adapter usage records; the caller holds the adapter-list spin lock. */
PADAPTER_USAGE BusAdapterAcquire(PBUS_EXT pExt, ULONG ulAdapter, PADAPTER_USAGE *ppSpare);
VOID BusAdapterRelease(PBUS_EXT pExt, PADAPTER_USAGE pUsage);

/* ---- End of path registration and persistent naming ---- */
/* ---- buspnp.cpp ---- */

LONG BusIncIoCount(PDEVICE_OBJECT pDeviceObject);
/* Counts a request in on the control device; FALSE (nothing counted) once its removal has begun. */
BOOLEAN BusControlDeviceEnter(PDEVICE_OBJECT pControlDevice);
/* Counts a request in on either kind of device; FALSE (nothing counted) once the device's removal
   has begun or a virtual device is gone. Every TRUE is matched by one BusDecIoCount. PASSIVE_LEVEL. */
BOOLEAN BusEnterDevice(PDEVICE_OBJECT pDeviceObject);
/* Marks a virtual device as being removed, so that no further request is counted in on it; FALSE
   when another removal had marked it already (that one deletes the device). */
BOOLEAN BusPdoMarkRemoving(PDEVICE_OBJECT pDeviceObject);
/* Takes a virtual device whose drive record is already cut away out of the system: its workers stop,
   the requests in flight on it are waited for, its link and its device object are deleted. Open
   handles keep the object; their requests fail with STATUS_DELETE_PENDING. PASSIVE_LEVEL, without
   the bus-wide list lock. */
VOID BusPdoRetire(PDEVICE_OBJECT pDeviceObject);
/* Deletes \DosDevices\<name> of a virtual device when it exists. */
VOID BusPdoDeleteLink(PPDO_EXT pPdoExt);
LONG BusDecIoCount(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* ---- pdo.cpp: virtual tape devices ---- */

/* Open and close of a virtual device (admission rules, then the failover engine). */
NTSTATUS BusPdoCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* ---- pdoqueue.cpp: the request queue of a virtual device ----
 *
 * Everything that reaches a drive through a virtual device (opens, closes, reads, writes, device
 * controls) is queued and runs on the device's workers: worker 0 takes ordinary requests in arrival
 * order; a request that the bus sends to its own virtual device while processing one
 * (BusPdoSendIoctlSync) takes the high-priority slot, goes to the head of the queue and is served by
 * the next worker up while the sender waits.
 */

/* Initialises the queue fields of a new virtual device and starts its workers. On failure the
   workers already started are stopped and waited for. PASSIVE_LEVEL. */
NTSTATUS BusPdoStartThreads(PDEVICE_OBJECT pDeviceObject);
/* STATUS_PENDING when queued (the request is marked pending); otherwise a failure status and the
   caller completes the request. Frees the high-priority slot when pIrp holds it, on every return. */
NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand);
VOID BusPdoProcessIrpQ(PVOID pContext);
/* Queues an open or close and waits until it is completed; *pCompletionStatus is its final status
   (the queueing status when it was not queued, and then the caller completes the request). Returns
   the queueing status. */
/* The last handle's cleanup, run by the device's worker: an unlock a path missed goes to every path
   before CloseHandle returns, so that a changer may take the cartridge next. Completes the request. */
NTSTATUS BusPdoCleanupLastHandle(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoQueueIrpAndWait(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand,
                               PNTSTATUS pCompletionStatus);
/* Completes a request taken from the queue (and wakes the dispatch routine waiting for it). */
VOID BusPdoCompleteQueuedIrp(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation);
/* Refuses later requests, cancels the queued ones and waits for the workers to end. Idempotent;
   PASSIVE_LEVEL, never from a worker of the same device. */
VOID BusPdoKillThread(PDEVICE_OBJECT pDeviceObject);
/* Sends a buffered device-control request to pTarget (the virtual device itself) through the
   high-priority slot and waits for it. PASSIVE_LEVEL, from a worker of the device. */
NTSTATUS BusPdoSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                             ULONG ulInputLength, PVOID pOutput, ULONG ulOutputLength);

/* Pass-through-direct buffers: locked in the caller's context before queueing. */
/* ---- pdoengine.cpp: path choice and the failover rules ---- */
/* Caller holds the path-list spin lock. */
PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed, BOOLEAN fPrimaryOnly);
/* ---- pdostate.cpp ---- */
NTSTATUS BusPdoReadPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize);
NTSTATUS BusPdoSetPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize, ULONGLONG ulBlock);
NTSTATUS BusPdoGetBlockSize(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize);
NTSTATUS BusPdoSetBlockSize(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize);
NTSTATUS BusPdoSetPAMR(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoSetLBP(PDEVICE_OBJECT pDeviceObject, PBUS_LBP_SETTINGS pLbp);
NTSTATUS BusPdoSetAMU(PDEVICE_OBJECT pDeviceObject, UCHAR ucValue);
NTSTATUS BusPdoSetDriveParameters(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoQueryAMU(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoRequestSense(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer, ULONG ulSize);
/* What a forwarded request is, read from SavedIrpStack and the forwarded buffer. */
BOOLEAN BusPdoNeedsPosition(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
BOOLEAN BusPdoSetsPosition(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
BOOLEAN BusPdoIsUnload(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
#define BUS_CARTRIDGE_NONE      0
#define BUS_CARTRIDGE_LOAD      1
#define BUS_CARTRIDGE_UNLOAD    2
#define BUS_CARTRIDGE_IMMEDIATE 0x80   /* with one of the two: it returns once the drive took it */
UCHAR BusPdoCartridgeMotion(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
BOOLEAN BusPdoIsReadWrite(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
BOOLEAN BusPdoFindsLostWrites(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
#define BUS_BUFFER_UNTOUCHED 0
#define BUS_BUFFER_FILLS     1   /* a write or immediate filemarks: the drive may buffer them */
#define BUS_BUFFER_FLUSHES   2   /* the drive writes out its buffer before it answers */
UCHAR BusPdoBufferEffect(PPDO_EXT pPdoExt, PUCHAR pBuffer, ULONG ulBuffer);
NTSTATUS BusPdoPreProcessPos(PDEVICE_OBJECT pDeviceObject, PUCHAR pBuffer, ULONG ulBuffer);
NTSTATUS BusPdoPostProcessPos(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PUCHAR pBuffer, ULONG ulBuffer,
                              PSCSI_STATUS pScsiStatus, PBOOLEAN pfDidIo, PFOOW_STATE pFoow);
NTSTATUS BusPdoAdjustPosOnSense(PDEVICE_OBJECT pDeviceObject, PSCSI_STATUS pScsiStatus);

/* ---- pdoengine.cpp: processing routines of queued requests ---- */

/* Forward the caller's request to its drive and complete it. */
NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* Drops the reference the virtual device holds on the path that holds its reservation; called
   before the virtual device object is deleted. */
VOID BusPdoReleaseReservationHolder(PPDO_EXT pPdoExt);
NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* ---- pdopnp.cpp ---- */

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
