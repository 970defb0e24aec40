/*
 * vorkacflt: the changer path filter. One instance sits on the device stack of every physical
 * medium-changer path, directly above the base changer driver. It identifies the changer behind its
 * path by serial number and SCSI address, registers the path with the changer bus driver, reports the
 * path's Plug and Play state to it, hands the base driver the bus's status table, and passes every
 * request down unchanged. Counting, power, Plug and Play and the handshake are the path filters'
 * shared routines (fltcommon.h).
 */
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include "fltcommon.h"

/* Device type of the filter device objects (FILE_DEVICE_CHANGER). */
#define FLT_DEVICE_TYPE 0x30

/* Per-path extension of a changer filter device object: the shared part (lower device, PnP state,
   serial number, SCSI address, status table, request counting) and the changer's number. */
typedef struct _FLT_EXT : public FLT_BASE_EXT {
    ULONG ulChangerNumber;                /* n of \Device\Changer<n>, from the registration reply */
} FLT_EXT, *PFLT_EXT;
