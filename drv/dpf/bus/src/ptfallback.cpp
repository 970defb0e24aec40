/*
 * Pass-through record conversions (see ptfallback.h). Field offsets of the two layouts:
 *   32-bit: DataTransferLength 12, DataBuffer(Offset) 20 (4 bytes), SenseInfoOffset 24, Cdb 28
 *   64-bit: DataTransferLength 12, DataBuffer(Offset) 24 (8 bytes), SenseInfoOffset 32, Cdb 36
 */
#include <ntddk.h>
#include "ptfallback.h"

static ULONG PtGet32(const UCHAR *p) { ULONG v; RtlCopyMemory(&v, p, sizeof(v)); return v; }
static VOID PtPut32(UCHAR *p, ULONG v) { RtlCopyMemory(p, &v, sizeof(v)); }

/* TRUE when [ulOffset, ulOffset + ulLength) lies behind the record (ulMin) inside ulSize bytes. */
static BOOLEAN PtRangeInside(ULONG ulOffset, ULONG ulLength, ULONG ulMin, ULONG ulSize)
{
    if (ulLength == 0) {
        return TRUE;
    }
    return ulOffset >= ulMin && ulOffset <= ulSize && ulLength <= ulSize - ulOffset;
}

static ULONG PtAlign8(ULONG ulValue) { return (ulValue + 7) & ~7u; }

NTSTATUS CmnPassThru32To64(PVOID pDest, ULONG ulDestSize, const VOID *pSource, ULONG ulSourceLength, BOOLEAN fDirect,
                           PVOID pDataBuffer)
{
    const UCHAR *pSrc = (const UCHAR *)pSource;
    UCHAR *pDst = (UCHAR *)pDest;
    if (pSrc == NULL || pDst == NULL || ulSourceLength < CMN_PT32_LENGTH || ulDestSize < CMN_PT64_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG ulDataLength = PtGet32(pSrc + 12);
    ULONG ulSenseLength = pSrc[7];
    ULONG ulSenseOld = PtGet32(pSrc + 24);
    ULONG ulDataOld = fDirect ? 0 : PtGet32(pSrc + 20);
    ULONG ulSenseNew = 0;
    ULONG ulDataNew = 0;
    if (!PtRangeInside(ulSenseOld, ulSenseLength, CMN_PT32_LENGTH, ulSourceLength) ||
        (!fDirect && !PtRangeInside(ulDataOld, ulDataLength, CMN_PT32_LENGTH, ulSourceLength))) {
        return STATUS_INVALID_PARAMETER;
    }
    if (fDirect) {
        ulSenseNew = ulSenseLength != 0 ? PtAlign8(ulSenseOld + 4) : 0;
    } else {
        ULONG ulData = ulDataLength != 0 ? ulDataOld + 4 : 0;
        ULONG ulSense = ulSenseLength != 0 ? ulSenseOld + 4 : 0;
        if (ulData != 0 && ulSense != 0) {
            /* Aligned keeping their order: the lower first, the higher moved by as much, then the higher alone. */
            BOOLEAN fDataLower = ulData <= ulSense;
            ULONG ulLow = fDataLower ? ulData : ulSense;
            ULONG ulHigh = fDataLower ? ulSense : ulData;
            ULONG ulShift = PtAlign8(ulLow) - ulLow;
            ulLow += ulShift;
            ulHigh = PtAlign8(ulHigh + ulShift);
            ulDataNew = fDataLower ? ulLow : ulHigh;
            ulSenseNew = fDataLower ? ulHigh : ulLow;
        } else {
            ulDataNew = ulData != 0 ? PtAlign8(ulData) : 0;
            ulSenseNew = ulSense != 0 ? PtAlign8(ulSense) : 0;
        }
    }
    if (ulSenseNew != 0 && ulSenseNew < CMN_PT64_LENGTH) {
        ulSenseNew = CMN_PT64_LENGTH;
    }
    if (ulDataNew != 0 && ulDataNew < CMN_PT64_LENGTH) {
        ulDataNew = CMN_PT64_LENGTH;
    }
    if (!PtRangeInside(ulSenseNew, ulSenseLength, CMN_PT64_LENGTH, ulDestSize) ||
        (!fDirect && !PtRangeInside(ulDataNew, ulDataLength, CMN_PT64_LENGTH, ulDestSize))) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(pDst, CMN_PT64_LENGTH);
    pDst[0] = CMN_PT64_LENGTH;
    RtlCopyMemory(pDst + 2, pSrc + 2, 7);            /* ScsiStatus .. DataIn */
    PtPut32(pDst + 12, ulDataLength);
    RtlCopyMemory(pDst + 16, pSrc + 16, 4);          /* TimeOutValue */
    if (fDirect) {
        ULONG_PTR ulBuffer = pDataBuffer != NULL ? (ULONG_PTR)pDataBuffer : (ULONG_PTR)PtGet32(pSrc + 20);
        RtlCopyMemory(pDst + 24, &ulBuffer, sizeof(ulBuffer));
    } else {
        ULONGLONG ullOffset = ulDataNew;
        RtlCopyMemory(pDst + 24, &ullOffset, sizeof(ullOffset));
        if (ulDataLength != 0) {
            RtlMoveMemory(pDst + ulDataNew, pSrc + ulDataOld, ulDataLength);
        }
    }
    PtPut32(pDst + 32, ulSenseNew);
    RtlCopyMemory(pDst + 36, pSrc + 28, 16);
    if (ulSenseLength != 0) {
        RtlMoveMemory(pDst + ulSenseNew, pSrc + ulSenseOld, ulSenseLength);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmnPassThru64To32(PVOID pCaller, ULONG ulCallerLength, const VOID *pForwarded, ULONG ulForwardedLength,
                           BOOLEAN fDirect)
{
    UCHAR *pDst = (UCHAR *)pCaller;
    const UCHAR *pSrc = (const UCHAR *)pForwarded;
    if (pSrc == NULL || pDst == NULL || ulCallerLength < CMN_PT32_LENGTH || ulForwardedLength < CMN_PT64_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!CmnPassThruRangesValid(pSrc, ulForwardedLength, fDirect)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulSense = pSrc[7] < pDst[7] ? pSrc[7] : pDst[7];
    ULONG ulData = PtGet32(pSrc + 12) < PtGet32(pDst + 12) ? PtGet32(pSrc + 12) : PtGet32(pDst + 12);
    ULONG ulSenseCaller = PtGet32(pDst + 24);
    ULONG ulDataCaller = PtGet32(pDst + 20);
    if (!PtRangeInside(ulSenseCaller, ulSense, CMN_PT32_LENGTH, ulCallerLength) ||
        (!fDirect && !PtRangeInside(ulDataCaller, ulData, CMN_PT32_LENGTH, ulCallerLength))) {
        return STATUS_INVALID_PARAMETER;
    }
    pDst[2] = pSrc[2];
    pDst[7] = (UCHAR)ulSense;
    PtPut32(pDst + 12, ulData);
    if (ulSense != 0) {
        RtlMoveMemory(pDst + ulSenseCaller, pSrc + PtGet32(pSrc + 32), ulSense);
    }
    if (!fDirect && ulData != 0) {
        ULONGLONG ullOffset;
        RtlCopyMemory(&ullOffset, pSrc + 24, sizeof(ullOffset));
        RtlMoveMemory(pDst + ulDataCaller, pSrc + (ULONG)ullOffset, ulData);
    }
    return STATUS_SUCCESS;
}

BOOLEAN CmnPassThruRangesValid(const VOID *pRecord, ULONG ulLength, BOOLEAN fDirect)
{
    const UCHAR *p = (const UCHAR *)pRecord;
    if (p == NULL || ulLength < CMN_PT64_LENGTH) {
        return FALSE;
    }
    if (!PtRangeInside(PtGet32(p + 32), p[7], CMN_PT64_LENGTH, ulLength)) {
        return FALSE;
    }
    if (!fDirect) {
        ULONGLONG ullOffset;
        RtlCopyMemory(&ullOffset, p + 24, sizeof(ullOffset));
        if (ullOffset > ulLength || !PtRangeInside((ULONG)ullOffset, PtGet32(p + 12), CMN_PT64_LENGTH, ulLength)) {
            return FALSE;
        }
    }
    return TRUE;
}
