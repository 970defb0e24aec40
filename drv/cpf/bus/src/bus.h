/*
 * Changer path-failover bus driver (vorkacbus): device extensions, records and routines shared by
 * the control device code (bus.cpp, busregister.cpp, buspnp.cpp) and the virtual changer code
 * (pdo.cpp, pdoroute.cpp, pdopnp.cpp).
 *
 * Every medium changer reached over several control paths gets one virtual changer
 * \Device\Changer<n>; its device-control requests are routed to one path in the caller's thread and
 * sent again on another path when the path fails them. There is no queue, no worker thread and no
 * tracked device state.
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include "defines.h"
#include "debug.h"
#include "common.h"
#include "list.h"
#include "busframe.h"

/* Pool tags (as they read in a pool dump). */
#define BUS_TAG_DATA             0x004F4450   /* PDO_DATA and PATH_DATA */
#define BUS_TAG_QUERY            0x63535542   /* IOC_QUERY_DEVICES answer being built */
#define BUS_TAG_FORWARD          'bODP'       /* system buffer, event and status block of a forwarded request */
#define BUS_TAG_TARGETS_USED     'fODP'       /* tried-paths array of a request */

/* Events: those of busframe.h (vorkacbus.mc has their changer texts). */

/* Sense-driven failovers of one request at most. */
#define BUS_MAX_SENSE_FAILOVERS  2
#define BUS_READY_TRIES          60     /* a library finishing a lost request: up to 30 s */
#define BUS_READY_DELAY_MS       500
#define BUS_CHECK_PATHS          8      /* paths a move's source and destination are read on, at most */

/* ---- Device extensions ---- */

/* Outstanding-request count of a device: 1 when idle. The idle event is set while the count is 1, the
   remove event once it drops to 0. The PnP mutex is taken before the count mutex; fRemoving, set under
   the PnP mutex, stops further requests from being counted in. */
typedef struct _BUS_IO_COUNT {
    LONG ulIoCount;
    KEVENT evIdle;                /* synchronization event, initially signalled */
    KEVENT evRemove;              /* synchronization event, initially not signalled */
    FAST_MUTEX fmIoCount;         /* guards ulIoCount */
    FAST_MUTEX fmPnp;             /* guards fRemoving */
    UCHAR fRemoving;
} BUS_IO_COUNT, *PBUS_IO_COUNT;

/* PATH_DATA.ucPrevent */
#define BUS_PREVENT_NONE         0      /* the login holds no lock */
#define BUS_PREVENT_HELD         1      /* it holds the application's lock */
#define BUS_PREVENT_UNKNOWN      2      /* it held one and may still: the path failed or stopped since */

/* One per registered control path. */
typedef struct _PATH_DATA {
    struct _PATH_DATA *pNext;
    PDEVICE_OBJECT pFDO;          /* the path's filter device object */
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;                /* the path is started */
    UCHAR fPrimary;               /* requests go to this path first; at most one path per changer */
    UCHAR fHoldsReserve;          /* this path's login holds the application's RESERVE(6) */
    UCHAR ucPrevent;              /* BUS_PREVENT_*: the medium-removal lock this path's login holds */
    PNP_STATE ePnp;               /* last reported PnP state */
    LONG lForwards;               /* requests being sent to pFDO; the record outlives them */
} PATH_DATA, *PPATH_DATA;
static_assert(sizeof(PATH_DATA) == 40, "PATH_DATA is 40 bytes");
static_assert(FIELD_OFFSET(PATH_DATA, scScsiAddr) == 16 && FIELD_OFFSET(PATH_DATA, fActive) == 24 &&
              FIELD_OFFSET(PATH_DATA, fHoldsReserve) == 26 && FIELD_OFFSET(PATH_DATA, ucPrevent) == 27 &&
              FIELD_OFFSET(PATH_DATA, ePnp) == 28 && FIELD_OFFSET(PATH_DATA, lForwards) == 32,
              "PATH_DATA layout");

/* One per virtual changer, in BUS_EXT.pListOfPdos ordered by pPdo. */
typedef struct _PDO_DATA {
    struct _PDO_DATA *pNext;
    PDEVICE_OBJECT pPdo;          /* the virtual changer's device object */
    UCHAR fFailover;
    PPATH_DATA pListOfPaths;      /* in registration order */
} PDO_DATA, *PPDO_DATA;
static_assert(sizeof(PDO_DATA) == 32 && FIELD_OFFSET(PDO_DATA, pListOfPaths) == 24, "PDO_DATA layout");

/* Extension of the control device \Device\VorkaCBusDvc. */
typedef struct _BUS_EXT {
    BUS_DEVICE_EXT_HEADER;
    PDEVICE_OBJECT pPhysicalDeviceObject;   /* root-enumerated device below; bus relations target */
    UNICODE_STRING usLinkName;              /* "\??\VorkaCBusDvcLnk" */
    PDEVICE_OBJECT pNextLowerDevice;
    BUS_IO_COUNT IoCount;
    PPDO_DATA pListOfPdos;
    UCHAR fFailoverDisabled;
    UCHAR fEventsEnabled;
    UCHAR fPersistentNaming;                /* "PersistentNaming": libraries keep their changer's name */
    ERESOURCE rsPdoList;                    /* bus-wide list lock: pListOfPdos and which paths each changer has */
} BUS_EXT, *PBUS_EXT;

/* Extension of a virtual changer \Device\Changer<n>. */
typedef struct _PDO_EXT {
    BUS_DEVICE_EXT_HEADER;
    ULONG ulChangerNumber;                  /* n of \Device\Changer<n> */
    CHAR szSN[SERIAL_NUMBER_LENGTH];        /* no terminator when all 32 characters are used */
    SCSI_ADDRESS scScsiAddr;                /* address of the current primary path */
    UCHAR fLinkCreated;                     /* \DosDevices\Changer<n> exists */
    PPDO_DATA pPdoData;                     /* NULL once the changer lost its last path or the bus went */
    KSPIN_LOCK slPathList;                  /* path list, fActive, fPrimary, lForwards, pPdoData */
    PBUS_EXT pBusExt;
    BUS_IO_COUNT IoCount;
    PIRPS_WITH_STATUS pIrpsWithStatus;      /* the driver-wide status table */
    PBUS_MDL_NODE pMdlQ;                    /* locked pass-through-direct buffers */
    KSPIN_LOCK slMdlQ;
    KEVENT evForwardDone;                   /* signalled whenever a path's lForwards drops to 0 */
    LONG lOpenHandles;                      /* handles open on the virtual changer (opens minus cleanups) */
    UCHAR fReserved;                        /* the application reserved the library (RESERVE(6)) */
    UCHAR fPrevent;                         /* the application locked medium removal */
} PDO_EXT, *PPDO_EXT;

/* ---- bus.cpp: entry, dispatch ---- */

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
/* Serial number of a changer as a wide string (at most 32 characters). */
VOID BusSerialToWide(PWCHAR wszOut, const CHAR *pSN);
/* Event 0x40000006 naming pNewPrimary's filter device object, when events are enabled. */
VOID BusPrimaryEvent(PVOID pIoObject, PIRP pIrp, PBUS_EXT pExt, PDEVICE_OBJECT pNewPrimary, PPDO_EXT pPdoExt);

/* ---- busregister.cpp: the control device's codes ----
 *
 * The bus-wide list lock (BUS_EXT.rsPdoList, an ERESOURCE at PASSIVE_LEVEL) is held exclusively by
 * IOC_REGISTER, IOC_NOTIFY and the bus removal, which add and remove changers and paths, and shared by
 * the walks of IOC_QUERY_DEVICES. A changer's path flags, its primary choice and its pPdoData change
 * under its path-list spin lock, which request routing takes without the list lock.
 */
NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);   /* completes pIrp itself */
PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);

/* ---- pdo.cpp: virtual changers and their paths (list lock held exclusively) ---- */
NTSTATUS BusCreatePdo(PDEVICE_OBJECT *ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusPdoAddPath(PPATH_DATA *ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc);
NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData);
/* Sets a path's PnP state and moves the primary flag; the caller holds the path-list spin lock.
   Returns the new primary path's filter device object when the primary moved, else NULL. */
PDEVICE_OBJECT BusPdoSetPathState(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PNP_STATE ePnp);
/* Unlinks pPath from its changer, waits until no request is being sent to it and frees it. Returns
   TRUE when the changer has no path left (requests then find none). *ppNewPrimary as above. */
BOOLEAN BusPdoRemovePath(PPDO_EXT pPdoExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PDEVICE_OBJECT *ppNewPrimary);
/* Whether a changer that lost its last path stays. One identified by its library's serial number
   does: its name and its open handles wait for the library's paths to come back, as a name freed
   now could be taken by another library or a path device, and an application's handle would then
   move another library's cartridges. A changer of a path without failover is that path's alone. */
BOOLEAN BusPdoOutlivesPaths(PPDO_DATA pPdoData);
/* TRUE when a path of the changer besides pPath is active (a request could fail over to it). */
BOOLEAN BusPdoHasOtherPath(PPDO_EXT pPdoExt, PPATH_DATA pPath);
/* Takes a changer out of pListOfPdos and cuts its pPdoData (list lock held exclusively), then puts
   it on the *ppRetire chain. */
VOID BusPdoUnlink(PBUS_EXT pExt, PPDO_DATA pPdoData, PPDO_DATA *ppRetire);
/* Takes every changer of the chain out of the system, without the list lock: requests in flight
   waited for, link and device deleted, records freed. */
VOID BusPdoRetire(PPDO_DATA pRetire);

/* ---- busnames.cpp: persistent names of the virtual changers ---- */
#define BUS_CHANGER_NAME_BASE    5655361UL   /* first number of a recorded name */
/* The record's key of the library pRegDvc registers for ("SERNUM_" and 32 characters) into wszKey
   (at least 40 characters); FALSE when its changer gets no record (persistent naming off, a path
   without failover, a serial number a key cannot hold). */
BOOLEAN BusChangerNameKey(PBUS_EXT pExt, PREG_DVC pRegDvc, PWCHAR wszKey);
/* The number of the name recorded for wszKey, if a usable one is. */
BOOLEAN BusRecordedChangerNumber(PCWSTR wszKey, PULONG pulNumber);
/* The number a library seen for the first time gets, or the first free above it. */
ULONG BusNextChangerNumber(VOID);
/* Records Changer<ulNumber> for wszKey, and that no other library may get that number. */
NTSTATUS BusRecordChangerName(PCWSTR wszKey, ULONG ulNumber);

/* ---- buspnp.cpp ---- */
PBUS_IO_COUNT BusIoCountOf(PDEVICE_OBJECT pDeviceObject);
/* TRUE while the virtual changer has an open handle or a request in flight. */
BOOLEAN BusPdoInUse(PDEVICE_OBJECT pPdo);
LONG BusIncIoCount(PDEVICE_OBJECT pDeviceObject);
LONG BusDecIoCount(PDEVICE_OBJECT pDeviceObject);
/* Counts a request in; FALSE (nothing counted) once the device's removal has begun. PASSIVE_LEVEL. */
BOOLEAN BusEnterDevice(PDEVICE_OBJECT pDeviceObject);
/* Stops counting requests in on a device and waits for those counted in (the caller's own count, if
   any, is not among them). */
VOID BusDrainDevice(PDEVICE_OBJECT pDeviceObject, BOOLEAN fCallerCounted);
NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusIrpMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* ---- pdoroute.cpp: request routing and control path failover ---- */
NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
/* Caller holds the path-list spin lock. Chooses the path, grows the tried-paths array and counts a
   forward in on the chosen path (*ppPath), which the caller counts out with BusPdoForwardDone. */
PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT **pppTargetsUsed, PPATH_DATA *ppPath);
VOID BusPdoForwardDone(PPDO_EXT pPdoExt, PPATH_DATA pPath);

/* ---- pdostate.cpp: the reservation and lock carried from path to path ----
 * Path flags change under the path-list spin lock; the commands are sent without it, on a path the
 * caller keeps (lForwards). */
/* Before a request goes down pPath: its login gets the application's reservation and lock. FALSE
   when the application holds a reservation that this path's login could not take (another login
   holds the library: the application's old one on another path, or another host's). */
BOOLEAN BusPdoCarryLogin(PPDO_EXT pPdoExt, PPATH_DATA pPath);
/* After an application's request succeeded on pPath: the reservation or lock it set, if any (an
   unlock is sent on every other active path whose login may hold a lock). pBuffer is the forwarded
   buffer (the 64-bit pass-through record, or the caller's input). */
VOID BusPdoNoteLogin(PPDO_EXT pPdoExt, PPATH_DATA pPath, ULONG ulIoctl, const UCHAR *pBuffer, ULONG ulLength);
/* pPath's login (or every path's, after the library reported a reset) may have been lost. */
VOID BusPdoPathLoginUncertain(PPDO_EXT pPdoExt, PPATH_DATA pPath, BOOLEAN fEveryPath);
/* The same for a path that stops, with the path-list spin lock held. */
VOID BusPdoDeactivatedLogin(PPATH_DATA pPath);

/* ---- pdopnp.cpp ---- */
NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
