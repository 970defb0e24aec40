/*
 * The IOC_QUERY_DEVICES answer as both buses build it: one descriptor per path of every virtual
 * device, behind the size the whole answer needs. Each bus walks its own device and path records
 * under its own locks; building the answer and handing it to the caller is the same for both.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"

/* A zero-filled answer for ulPaths descriptors, its size field set; *pcbRequired = its size.
   NULL when there is no pool. Freed by the caller with ExFreePoolWithTag(answer, ulTag). */
PQUERY_DEVICES_OUTPUT BusAllocateQueryDevicesAnswer(ULONG ulPaths, ULONG ulTag, PULONG pcbRequired);

/* Fills one descriptor: the name szKind<ulNumber> ("Tape", "Changer"), at most SERIAL_NUMBER_LENGTH
   characters of szSN (it need not be terminated), the failover flag, the path's address and
   whether the path is active and primary. */
VOID BusFillDeviceDescriptor(PDEVICE_DESCRIPTOR pDesc, PCSTR szKind, ULONG ulNumber, PCSTR szSN, BOOLEAN fFailover,
                             const SCSI_ADDRESS *pScsiAddr, BOOLEAN fActive, BOOLEAN fPrimary);

/* Copies what fits of an answer of cbRequired bytes into the caller's buffer of ulOutput bytes
   (the size field and whole descriptors only, see BusQueryDevicesReturnLength) and returns the
   bytes copied, the request's Information. */
ULONG BusCopyQueryDevicesAnswer(PVOID pOutput, ULONG ulOutput, const QUERY_DEVICES_OUTPUT *pAnswer, ULONG cbRequired);
