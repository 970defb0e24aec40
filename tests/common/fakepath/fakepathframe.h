/*
 * The frame both fake path drivers stand on (vorkafakepath in the tape bus tests, vorkafakecpath in
 * the changer bus tests): a control device the tests drive, one device object per simulated path
 * (the filter device object the bus knows the path by), requests sent to the bus control device in
 * kernel mode from the calling thread as a path filter sends them, and named devices standing in
 * for other drivers'. What differs lies in the driver's g_FakeDriver; what a path answers and which
 * requests the control device takes are the driver's own FakePathRequest and FakeControlRequest.
 */
#pragma once
#include <ntddk.h>
#include "defines.h"

/* Every device extension of a fake path driver starts with this. */
typedef struct _FAKE_PATH_HEADER {
    ULONG ulPath;
} FAKE_PATH_HEADER;

typedef struct _FAKE_DRIVER_CONFIG {
    PCWSTR pszBusDevice;      /* the bus control device paths register with */
    PCWSTR pszControlDevice;  /* the control device the tests open */
    DEVICE_TYPE dtPath;       /* type of the path (and occupied) device objects */
    ULONG ulExtensionSize;    /* of every device: FAKE_PATH_HEADER and the driver's counters */
    ULONG ulMaxPaths;
    PDEVICE_OBJECT *apPaths;  /* ulMaxPaths slots, owned by the frame once DriverEntry ran */
} FAKE_DRIVER_CONFIG;

/* Defined by each fake path driver. */
extern const FAKE_DRIVER_CONFIG g_FakeDriver;
NTSTATUS FakePathRequest(PDEVICE_OBJECT pPath, PIRP pIrp);
NTSTATUS FakeControlRequest(PIRP pIrp, ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut);

NTSTATUS FakeComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation);

/* The path's device object, referenced (the caller dereferences it), or NULL. */
PDEVICE_OBJECT FakeTakePath(ULONG ulPath);

/* A buffered device-control request to the bus control device, built in the kernel, and waited for. */
NTSTATUS FakeSendToBus(ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut);

/* Path device objects [ulFirst, ulFirst + ulCount): created (replacing any there) or deleted. */
NTSTATUS FakeCreatePaths(ULONG ulFirst, ULONG ulCount);
NTSTATUS FakeDeletePaths(ULONG ulFirst, ULONG ulCount);

/* Creates a named device of this driver (at most four), or with fRemove deletes all of them
   (STATUS_NOT_FOUND when there were none). pszName holds cchName characters; the last is
   overwritten with the terminator. */
NTSTATUS FakeOccupy(PWCHAR pszName, ULONG cchName, BOOLEAN fRemove);

/* The bus's status table, from its reply to a registration, and the record it keeps for a request
   it sent down (NULL for anyone else's request, or before any registration). */
VOID FakeRememberTable(PIRPS_WITH_STATUS pTable);
PSCSI_STATUS FakeStatusRecord(PIRP pIrp);

/* A case of FakeControlRequest: a request of fixed-width record `type`, in and out, handled by
   `routine`, which returns the request's status. */
#define FAKE_HANDLE(code, type, routine)                                                    \
    case code:                                                                              \
        if (pBuffer == NULL || ulIn < sizeof(type) || ulOut < sizeof(type)) {               \
            return FakeComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);                      \
        } else {                                                                            \
            NTSTATUS status = routine((type *)pBuffer);                                     \
            return FakeComplete(pIrp, status, NT_SUCCESS(status) ? sizeof(type) : 0);       \
        }
