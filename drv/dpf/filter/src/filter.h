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
#include "fltcommon.h"

/* Device type of the filter device objects. */
#define FLT_DEVICE_TYPE 0x20

/* Per-path extension of a tape filter device object: the shared part (lower device, PnP state, serial
   number, SCSI address, status table, request counting) and the tape's own fields. */
typedef struct _FLT_EXT : public FLT_BASE_EXT {
    BOOLEAN fExclusive;                   /* at most one open handle across the drive */
    BOOLEAN fPersistentNaming;            /* the drive asks for persistent Tape numbers */
    BOOLEAN fSME;                         /* the drive uses system-managed encryption */
    UCHAR ucInquiry[STANDARD_INQUIRY_LENGTH];
    CHAR szWwnn[17];
    ULONG ulTapeNumber;                   /* n of \Device\Tape<n>, from the registration reply */
    LONG lDirectOpens;                    /* handles open on the path device itself, as told to the bus */
} FLT_EXT, *PFLT_EXT;

/* Identification of the drive behind the path. */
NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject, PUCHAR pInquiry);
NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject);

/* Talking to the bus and handing its table to the base driver. */
NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulIoKind);
/* Cleanup of a file object opened on the path device: reports the close to the bus. */
NTSTATUS FltDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
