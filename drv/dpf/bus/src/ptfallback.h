/*
 * Conversions of SCSI pass-through records between a 32-bit process's layout (44 bytes) and the
 * 64-bit layout (56 bytes), over byte buffers. Every offset and length in a record is checked
 * against both buffers; a record whose data or sense range lies outside its buffer is refused with
 * STATUS_INVALID_PARAMETER and nothing is written.
 */
#pragma once

#include <ntddk.h>

#define CMN_PT32_LENGTH 44
#define CMN_PT64_LENGTH 56
#define CMN_PT32_GROWTH_BUFFERED 20   /* the forwarded buffer grows by this for a 32-bit buffered record */
#define CMN_PT32_GROWTH_DIRECT   12

NTSTATUS CmnPassThru32To64(PVOID pDest, ULONG ulDestSize, const VOID *pSource, ULONG ulSourceLength, BOOLEAN fDirect,
                           PVOID pDataBuffer);
NTSTATUS CmnPassThru64To32(PVOID pCaller, ULONG ulCallerLength, const VOID *pForwarded, ULONG ulForwardedLength,
                           BOOLEAN fDirect);
BOOLEAN CmnPassThruRangesValid(const VOID *pRecord, ULONG ulLength, BOOLEAN fDirect);
