/*
 * Conversions of SCSI pass-through records between the layout a 32-bit process sends (44 bytes) and
 * the 64-bit layout the lower drivers take (56 bytes), and the range check of a 64-bit record.
 *
 * They are plain functions over byte buffers, used by the bus drivers for the requests of 32-bit
 * processes. A buffered record carries its data and sense bytes inside the request's buffer at the
 * offsets the record names; a direct record carries a data-buffer address and only its sense bytes
 * inside the buffer. Every offset and length in a record is untrusted: a data or sense range is
 * accepted only when it lies wholly inside its buffer, behind the record (never over the record
 * itself), and, in the buffered form, apart from the other range. Offset plus length is computed
 * without wrapping. A refused record changes nothing in either buffer.
 *
 * Results:
 *   STATUS_SUCCESS               converted
 *   STATUS_BUFFER_TOO_SMALL      a buffer pointer is NULL or a buffer is shorter than its record
 *                                (44 bytes for the 32-bit record, 56 for the 64-bit one)
 *   STATUS_INFO_LENGTH_MISMATCH  a record's Length field is not its layout's (44 or 56)
 *   STATUS_INVALID_PARAMETER     a data or sense range lies outside its buffer, over the record or
 *                                over the other range, or the two buffers overlap
 *
 * Any IRQL; no allocation, no lock.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"

#define CMN_PT32_LENGTH 44   /* a 32-bit process's record (buffered and direct) */
#define CMN_PT64_LENGTH 56   /* the 64-bit record (buffered and direct) */

/* How much longer the forwarded buffer must be than the 32-bit caller's buffer: the record grows by
   12 bytes, and the buffered form's data and sense ranges move by at most 8 more in total while
   they are aligned to multiples of 8. */
#define CMN_PT32_GROWTH_BUFFERED 20
#define CMN_PT32_GROWTH_DIRECT   12

static_assert(CMN_PT32_LENGTH == VORKA_SPT32_LENGTH && CMN_PT64_LENGTH == VORKA_SPT64_LENGTH,
              "record lengths");

/* Converts the 32-bit record at the front of pSource (the caller's whole buffer, ulSourceLength
   bytes) into the 64-bit record at the front of pDest (ulDestSize bytes):
   - header fields copied, Length 56, the CDB moved from offset 28 to 36;
   - direct: DataBuffer becomes pDataBuffer (the system address of the locked data buffer) or, when
     pDataBuffer is NULL, the caller's 32-bit address widened; the sense offset becomes the old one
     plus 4 rounded up to a multiple of 8, and SenseInfoLength sense bytes are copied there;
   - buffered: data and sense offsets each become the old one plus 4; the lower of the two is
     rounded up to a multiple of 8 and the higher one moves with it, then the higher one is rounded
     up alone (48/80 become 56/88); DataTransferLength data bytes and SenseInfoLength sense bytes
     are copied to the new offsets.
   A moved range never starts inside the 64-bit record: one that would (a range right behind the
   32-bit record, at offset 44) starts at offset 56 instead; the growth above covers that too.
   An empty range (length 0) takes no part and its offset in pDest is 0.
   Bytes of pDest outside the record and the two ranges are left as they are. pDest of
   (ulSourceLength + growth) rounded up to 8 bytes is always large enough. */
NTSTATUS CmnPassThru32To64(PVOID pDest, ULONG ulDestSize, const VOID *pSource, ULONG ulSourceLength,
                           BOOLEAN fDirect, PVOID pDataBuffer);

/* Writes the outcome of the forwarded 64-bit record (at the front of pForwarded, ulForwardedLength
   bytes) into the caller's 32-bit record (at the front of pCaller, ulCallerLength bytes): ScsiStatus,
   SenseInfoLength and the sense bytes, DataTransferLength and, buffered, the data bytes, each range
   from the forwarded record's offset to the caller's. Lengths the lower drivers report beyond what
   the caller asked for are cut to the caller's (a lower driver never returns more than asked).
   Nothing else of the caller's record changes; in particular its direct DataBuffer stays. */
NTSTATUS CmnPassThru64To32(PVOID pCaller, ULONG ulCallerLength, const VOID *pForwarded,
                           ULONG ulForwardedLength, BOOLEAN fDirect);

/* TRUE when the 64-bit record at the front of pRecord (a buffer of ulLength bytes) has its sense
   range and, buffered, its data range inside the buffer behind the record and apart from each
   other; empty ranges always pass. FALSE for a NULL record or a buffer shorter than 56 bytes. The
   Length field is not looked at. */
BOOLEAN CmnPassThruRangesValid(const VOID *pRecord, ULONG ulLength, BOOLEAN fDirect);
