/*
 * vorkatflt: the tape path filter. One instance sits on the device stack of every physical tape path,
 * directly above the base tape driver. It identifies the drive behind its path, registers the path with
 * the tape bus driver, keeps the bus informed of the path's Plug and Play state and of opens and closes
 * made directly on the path device, hands the base driver the bus's status table, and passes every
 * request down, running a reservation preempt first when a request forwarded by the bus asks for one.
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include "defines.h"
#include "debug.h"
#include "common.h"

/* Pool tag of the filter's allocations (reads "FLTR" in a pool dump). */
#define FLT_TAG 'RTLF'

/* Device type of the filter device objects. */
#define FLT_DEVICE_TYPE 0x20

/* Walk limits of the device identification page. */
#define DEVICE_IDENTIFICATION_PAGE_LENGTH DEVICE_ID_PAGE_LENGTH
#define OFFSET_FROM_INDEX_TO_LENGTH 2

/* Per-path extension of a filter device object. */
typedef struct _FLT_EXT {
    PDEVICE_OBJECT pLowerDevice;          /* where every request goes */
    PDEVICE_OBJECT pPhysicalDeviceObject; /* the path's physical device object */
    BOOLEAN fFailover;                    /* the path takes part in failover */
    BOOLEAN fExclusive;                   /* at most one open handle across the drive */
    BOOLEAN fPersistentNaming;            /* the drive asks for persistent Tape numbers */
    BOOLEAN fSME;                         /* the drive uses system-managed encryption */
    ULONG ePnp;                           /* PNP_STATE of the path */
    ULONG ePnpPrev;                       /* state before the last change */
    UCHAR ucInquiry[STANDARD_INQUIRY_LENGTH];
    CHAR szSN[SERIAL_NUMBER_LENGTH + 1];
    SCSI_ADDRESS scScsiAddr;
    CHAR szWwnn[17];
    PIRPS_WITH_STATUS pBaseDriverExt;     /* the bus's status table, from the registration reply */
    ULONG ulTapeNumber;                   /* n of \Device\Tape<n>, from the registration reply */
    LONG ulIoCount;                       /* requests in progress plus the device's own reference */
    KEVENT evIdle;                        /* signalled when no request is in progress */
    KEVENT evRemove;                      /* signalled when the count drops below 1 */
    KSPIN_LOCK slCount;                   /* guards ulIoCount, fRemoving and the two events; a spin lock,
                                             as power requests may arrive at DISPATCH_LEVEL */
    FAST_MUTEX fmDispatch;                /* taken by dispatch routines around their count changes */
    BOOLEAN fRemoving;                    /* the remove has begun: no request enters any more */
} FLT_EXT, *PFLT_EXT;

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);

VOID FltSetEntryPoints(PDRIVER_OBJECT pDriverObject);
VOID FltUnload(PDRIVER_OBJECT pDriverObject);
NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                          ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize);

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* Identification of the drive behind the path. */
NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject, PUCHAR pInquiry);
NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject, PCHAR szSerial);
NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject, PSCSI_ADDRESS pScsiAddr);
NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltGetWwnnString(PUCHAR pDeviceIdPage, PCHAR szWwnn);
BOOLEAN FltFailoverSupported(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject);

/* Talking to the bus and handing its table to the base driver. */
NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulIoKind);
NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltShareStatusTable(PDEVICE_OBJECT pDeviceObject);

/* Plug and Play. */
NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
