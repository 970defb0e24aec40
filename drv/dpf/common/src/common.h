/*
 * Common kernel services of the drivers: passing a request down and waiting for it, reading a value
 * from the driver's own Parameters key, creating a key below it, and zero-padding a string.
 *
 * The Parameters key is the driver's service key (VORKA_SERVICE_NAME, a compile definition set by
 * the driver build) below \Registry\Machine\System\CurrentControlSet\Services.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"

#ifndef VORKA_SERVICE_NAME
#error "VORKA_SERVICE_NAME (the driver's service name) must be defined by the driver build"
#endif

#define CMN_PARAMETERS_KEY \
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" VORKA_SERVICE_NAME L"\\Parameters"

/* Room for a composed key path: 255 characters and the terminator. */
#define CMN_KEY_PATH_CHARS 256

/* The next lower device object of pDeviceObject's stack (the device it attached to), or NULL.
   Every driver that carries the common services defines it from its own device extensions. */
PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject);

/* Passes pIrp (its current stack location) to the next lower device of pDeviceObject and waits for
   it without completing it: the caller finishes its own work and completes the request with the
   status it returns. PASSIVE_LEVEL. */
NTSTATUS CmnForwardIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* Passes pIrp (its current stack location) to the next lower device of pDeviceObject, waits for it
   and completes it. Returns the request's final status; the caller must not touch pIrp afterwards.
   PASSIVE_LEVEL. */
NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

/* Completion routine of CmnSendIrpSync; pContext is the KEVENT to signal. */
NTSTATUS CmnIrpSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

/* Reads the value szwName from the Parameters key, or from its subkey szwSubkey when given, into the
   caller's storage: a ULONG for ulType REG_DWORD, a UNICODE_STRING for REG_SZ (with a NULL Buffer the
   query allocates one from pool, which the caller frees with ExFreePool). A value of any other type
   is refused with STATUS_OBJECT_TYPE_MISMATCH and the storage is left unchanged, as it is when the
   value is missing. PASSIVE_LEVEL. */
NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName, PCWSTR szwSubkey, ULONG ulType = REG_DWORD);

/* Opens or creates the subkey wszKey below the Parameters key; the caller closes *phKey. */
NTSTATUS CmnCreateRegistryKey(PHANDLE phKey, PCWSTR wszKey);

/* Gives pDeviceObject a DACL of its own in place of the I/O manager's default: System and
   Administrators all access; Backup Operators amBackupOperators (generic rights), none when it is 0;
   nobody else. An open asking for more than its account is granted fails with STATUS_ACCESS_DENIED,
   and the control codes' access bits then decide which requests a handle may send. Bus drivers only
   (the bus frame's sources). PASSIVE_LEVEL. */
NTSTATUS CmnSecureDevice(PDEVICE_OBJECT pDeviceObject, ACCESS_MASK amBackupOperators);

/* Opens the named callback object wszName (creating it when it does not exist yet, with any number
   of registrations) into *ppCallback, or sets it NULL and returns the failure. PASSIVE_LEVEL. */
NTSTATUS CmnOpenCallback(PCWSTR wszName, PCALLBACK_OBJECT *ppCallback);

/* Right-aligns szString in a field of ulWidth characters, filling the left with '0'. A string as long
   as the width or longer stays unchanged. The buffer holds at least ulWidth + 1 characters. */
VOID CmnPadWithZeros(PCHAR szString, ULONG ulWidth);
