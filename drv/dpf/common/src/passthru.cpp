/*
 * SCSI pass-through records of 32-bit processes: conversion to the 64-bit record the lower drivers
 * take, and of the outcome back. Every range named by a record is checked against its buffer before
 * a byte is copied; see passthru.h for the rules.
 */
#include <ntddk.h>
#include "debug.h"
#include "passthru.h"

/* A record's byte range: offset and length as the record gives them. */
typedef struct _CMN_PT_RANGE {
    ULONGLONG ullOffset;
    ULONG ulLength;
} CMN_PT_RANGE;

/* TRUE when the range is empty or lies wholly in [ulStart, ulSize). ulStart <= ulSize. */
static BOOLEAN CmnPtRangeInside(const CMN_PT_RANGE *pRange, ULONG ulStart, ULONG ulSize)
{
    if (pRange->ulLength == 0) {
        return TRUE;
    }
    return pRange->ullOffset >= ulStart && pRange->ullOffset <= ulSize &&
           pRange->ulLength <= ulSize - pRange->ullOffset;
}

/* TRUE when two ranges, each already inside a buffer, share no byte. */
static BOOLEAN CmnPtRangesApart(const CMN_PT_RANGE *pFirst, const CMN_PT_RANGE *pSecond)
{
    if (pFirst->ulLength == 0 || pSecond->ulLength == 0) {
        return TRUE;
    }
    return pFirst->ullOffset + pFirst->ulLength <= pSecond->ullOffset ||
           pSecond->ullOffset + pSecond->ulLength <= pFirst->ullOffset;
}

/* TRUE when the buffers [p1, p1 + ul1) and [p2, p2 + ul2) share no byte. */
static BOOLEAN CmnPtBuffersApart(const VOID *p1, ULONG ul1, const VOID *p2, ULONG ul2)
{
    ULONG_PTR ulp1 = (ULONG_PTR)p1;
    ULONG_PTR ulp2 = (ULONG_PTR)p2;
    return ulp1 + ul1 <= ulp2 || ulp2 + ul2 <= ulp1;
}

/* Smallest multiple of 8 not below ullValue. */
static ULONGLONG CmnPtAlign8(ULONGLONG ullValue)
{
    return (ullValue + 7) & ~(ULONGLONG)7;
}

/* Offset of a moved range in the 64-bit buffer: the old one plus the shift, rounded up to 8, and
   never inside the 64-bit record. */
static ULONGLONG CmnPtMovedOffset(ULONGLONG ullOffset, ULONGLONG ullShift)
{
    ULONGLONG ullNew = CmnPtAlign8(ullOffset + ullShift);
    return ullNew < CMN_PT64_LENGTH ? CMN_PT64_LENGTH : ullNew;
}

/* The header fields both layouts share (bytes 2 to 8, DataTransferLength, TimeOutValue) and the
   CDB, from a 32-bit record into a zeroed 64-bit one. */
static VOID CmnPtCopyHeader32To64(SCSI_PASS_THROUGH *pRec64, const VORKA_SCSI_PASS_THROUGH32 *pRec32)
{
    pRec64->Length = CMN_PT64_LENGTH;
    pRec64->ScsiStatus = pRec32->ScsiStatus;
    pRec64->PathId = pRec32->PathId;
    pRec64->TargetId = pRec32->TargetId;
    pRec64->Lun = pRec32->Lun;
    pRec64->CdbLength = pRec32->CdbLength;
    pRec64->SenseInfoLength = pRec32->SenseInfoLength;
    pRec64->DataIn = pRec32->DataIn;
    pRec64->DataTransferLength = pRec32->DataTransferLength;
    pRec64->TimeOutValue = pRec32->TimeOutValue;
    RtlCopyMemory(pRec64->Cdb, pRec32->Cdb, sizeof(pRec64->Cdb));
}

NTSTATUS CmnPassThru32To64(PVOID pDest, ULONG ulDestSize, const VOID *pSource, ULONG ulSourceLength,
                           BOOLEAN fDirect, PVOID pDataBuffer)
{
    NTSTATUS status = STATUS_SUCCESS;
    ENT("CmnPassThru32To64: pDest 0x%08x, ulDestSize %u, pSource 0x%08x, ulSourceLength %u, fDirect %u, "
        "pDataBuffer 0x%08x\n", DBG_PTR(pDest), (ULONG)ulDestSize, DBG_PTR(pSource), (ULONG)ulSourceLength,
        (ULONG)fDirect, DBG_PTR(pDataBuffer));

    /* The direct and the buffered 32-bit records differ only in the meaning of the field at 20, so
       one local copy serves both; so does one 64-bit copy, written out at the end in one piece. */
    VORKA_SCSI_PASS_THROUGH32 rec32;
    SCSI_PASS_THROUGH rec64;
    CMN_PT_RANGE data = {0, 0};
    CMN_PT_RANGE sense = {0, 0};
    CMN_PT_RANGE newData = {0, 0};
    CMN_PT_RANGE newSense = {0, 0};

    if (pSource == NULL || ulSourceLength < CMN_PT32_LENGTH || pDest == NULL || ulDestSize < CMN_PT64_LENGTH) {
        DBG("CmnPassThru32To64: buffer too small (source %u, destination %u)\n", (ULONG)ulSourceLength,
            (ULONG)ulDestSize);
        status = STATUS_BUFFER_TOO_SMALL;
        goto Exit;
    }
    if (!CmnPtBuffersApart(pDest, ulDestSize, pSource, ulSourceLength)) {
        DBG("CmnPassThru32To64: source and destination overlap\n");
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    RtlCopyMemory(&rec32, pSource, sizeof(rec32));
    if (rec32.Length != CMN_PT32_LENGTH) {
        DBG("CmnPassThru32To64: Length %u is not %u\n", (ULONG)rec32.Length, (ULONG)CMN_PT32_LENGTH);
        status = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }

    sense.ullOffset = rec32.SenseInfoOffset;
    sense.ulLength = rec32.SenseInfoLength;
    if (!fDirect) {
        data.ullOffset = rec32.DataBufferOffset;
        data.ulLength = rec32.DataTransferLength;
    }
    if (!CmnPtRangeInside(&sense, CMN_PT32_LENGTH, ulSourceLength) ||
        !CmnPtRangeInside(&data, CMN_PT32_LENGTH, ulSourceLength) || !CmnPtRangesApart(&data, &sense)) {
        DBG("CmnPassThru32To64: data %u bytes at %u or sense %u bytes at %u outside the %u-byte buffer\n",
            data.ulLength, (ULONG)data.ullOffset, sense.ulLength, (ULONG)sense.ullOffset, (ULONG)ulSourceLength);
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    /* New places of the ranges. Buffered: the lower range is aligned first and the higher one keeps
       its distance from it, then is aligned itself, so their order and gap survive. */
    newData.ulLength = data.ulLength;
    newSense.ulLength = sense.ulLength;
    if (data.ulLength != 0 && sense.ulLength != 0) {
        CMN_PT_RANGE *pLow = data.ullOffset < sense.ullOffset ? &data : &sense;
        CMN_PT_RANGE *pHigh = pLow == &data ? &sense : &data;
        CMN_PT_RANGE *pNewLow = pLow == &data ? &newData : &newSense;
        CMN_PT_RANGE *pNewHigh = pLow == &data ? &newSense : &newData;
        pNewLow->ullOffset = CmnPtMovedOffset(pLow->ullOffset, 4);
        pNewHigh->ullOffset = CmnPtMovedOffset(pHigh->ullOffset, pNewLow->ullOffset - pLow->ullOffset);
    } else if (data.ulLength != 0) {
        newData.ullOffset = CmnPtMovedOffset(data.ullOffset, 4);
    } else if (sense.ulLength != 0) {
        newSense.ullOffset = CmnPtMovedOffset(sense.ullOffset, 4);
    }
    if (!CmnPtRangeInside(&newSense, CMN_PT64_LENGTH, ulDestSize) ||
        !CmnPtRangeInside(&newData, CMN_PT64_LENGTH, ulDestSize)) {
        DBG("CmnPassThru32To64: data %u bytes at %u or sense %u bytes at %u do not fit the %u-byte destination\n",
            newData.ulLength, (ULONG)newData.ullOffset, newSense.ulLength, (ULONG)newSense.ullOffset,
            (ULONG)ulDestSize);
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    RtlZeroMemory(&rec64, sizeof(rec64));
    CmnPtCopyHeader32To64(&rec64, &rec32);
    rec64.SenseInfoOffset = (ULONG)newSense.ullOffset;
    if (fDirect) {
        PVOID pBuffer = pDataBuffer != NULL ? pDataBuffer : (PVOID)(ULONG_PTR)rec32.DataBufferOffset;
        RtlCopyMemory((PUCHAR)&rec64 + FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer), &pBuffer,
                      sizeof(pBuffer));
    } else {
        rec64.DataBufferOffset = (ULONG_PTR)newData.ullOffset;
    }

    RtlCopyMemory(pDest, &rec64, sizeof(rec64));
    if (newSense.ulLength != 0) {
        RtlCopyMemory((PUCHAR)pDest + newSense.ullOffset, (const UCHAR *)pSource + sense.ullOffset,
                      sense.ulLength);
    }
    if (newData.ulLength != 0) {
        RtlCopyMemory((PUCHAR)pDest + newData.ullOffset, (const UCHAR *)pSource + data.ullOffset, data.ulLength);
    }
    DBG("CmnPassThru32To64: data %u bytes %u -> %u, sense %u bytes %u -> %u\n", data.ulLength,
        (ULONG)data.ullOffset, (ULONG)newData.ullOffset, sense.ulLength, (ULONG)sense.ullOffset,
        (ULONG)newSense.ullOffset);

Exit:
    EXT("CmnPassThru32To64: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS CmnPassThru64To32(PVOID pCaller, ULONG ulCallerLength, const VOID *pForwarded,
                           ULONG ulForwardedLength, BOOLEAN fDirect)
{
    NTSTATUS status = STATUS_SUCCESS;
    ENT("CmnPassThru64To32: pCaller 0x%08x, ulCallerLength %u, pForwarded 0x%08x, ulForwardedLength %u, "
        "fDirect %u\n", DBG_PTR(pCaller), (ULONG)ulCallerLength, DBG_PTR(pForwarded), (ULONG)ulForwardedLength,
        (ULONG)fDirect);

    VORKA_SCSI_PASS_THROUGH32 rec32;
    SCSI_PASS_THROUGH rec64;
    CMN_PT_RANGE fwdData = {0, 0};
    CMN_PT_RANGE fwdSense = {0, 0};
    CMN_PT_RANGE data = {0, 0};
    CMN_PT_RANGE sense = {0, 0};
    ULONG ulTransferred;

    if (pCaller == NULL || ulCallerLength < CMN_PT32_LENGTH || pForwarded == NULL ||
        ulForwardedLength < CMN_PT64_LENGTH) {
        DBG("CmnPassThru64To32: buffer too small (caller %u, forwarded %u)\n", (ULONG)ulCallerLength,
            (ULONG)ulForwardedLength);
        status = STATUS_BUFFER_TOO_SMALL;
        goto Exit;
    }
    if (!CmnPtBuffersApart(pCaller, ulCallerLength, pForwarded, ulForwardedLength)) {
        DBG("CmnPassThru64To32: caller's and forwarded buffers overlap\n");
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    RtlCopyMemory(&rec32, pCaller, sizeof(rec32));
    RtlCopyMemory(&rec64, pForwarded, sizeof(rec64));
    if (rec32.Length != CMN_PT32_LENGTH || rec64.Length != CMN_PT64_LENGTH) {
        DBG("CmnPassThru64To32: Length %u / %u is not %u / %u\n", (ULONG)rec32.Length, (ULONG)rec64.Length,
            (ULONG)CMN_PT32_LENGTH, (ULONG)CMN_PT64_LENGTH);
        status = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }

    /* What the lower drivers report, cut to what the caller asked for. */
    ulTransferred = rec64.DataTransferLength < rec32.DataTransferLength ? rec64.DataTransferLength
                                                                         : rec32.DataTransferLength;
    sense.ullOffset = rec32.SenseInfoOffset;
    sense.ulLength = rec64.SenseInfoLength < rec32.SenseInfoLength ? rec64.SenseInfoLength : rec32.SenseInfoLength;
    fwdSense.ullOffset = rec64.SenseInfoOffset;
    fwdSense.ulLength = sense.ulLength;
    if (!fDirect) {
        data.ullOffset = rec32.DataBufferOffset;
        data.ulLength = ulTransferred;
        fwdData.ullOffset = rec64.DataBufferOffset;
        fwdData.ulLength = ulTransferred;
    }
    if (!CmnPtRangeInside(&sense, CMN_PT32_LENGTH, ulCallerLength) ||
        !CmnPtRangeInside(&data, CMN_PT32_LENGTH, ulCallerLength) || !CmnPtRangesApart(&data, &sense) ||
        !CmnPtRangeInside(&fwdSense, CMN_PT64_LENGTH, ulForwardedLength) ||
        !CmnPtRangeInside(&fwdData, CMN_PT64_LENGTH, ulForwardedLength)) {
        DBG("CmnPassThru64To32: data %u bytes at %u -> %u or sense %u bytes at %u -> %u outside the buffers "
            "(%u, %u bytes)\n", data.ulLength, (ULONG)fwdData.ullOffset, (ULONG)data.ullOffset, sense.ulLength,
            (ULONG)fwdSense.ullOffset, (ULONG)sense.ullOffset, (ULONG)ulForwardedLength, (ULONG)ulCallerLength);
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    rec32.ScsiStatus = rec64.ScsiStatus;
    rec32.SenseInfoLength = (UCHAR)sense.ulLength;
    rec32.DataTransferLength = ulTransferred;
    RtlCopyMemory(pCaller, &rec32, sizeof(rec32));
    if (sense.ulLength != 0) {
        RtlCopyMemory((PUCHAR)pCaller + sense.ullOffset, (const UCHAR *)pForwarded + fwdSense.ullOffset,
                      sense.ulLength);
    }
    if (data.ulLength != 0) {
        RtlCopyMemory((PUCHAR)pCaller + data.ullOffset, (const UCHAR *)pForwarded + fwdData.ullOffset,
                      data.ulLength);
    }
    DBG("CmnPassThru64To32: ScsiStatus 0x%02x, %u data bytes, %u sense bytes\n", (ULONG)rec32.ScsiStatus,
        ulTransferred, sense.ulLength);

Exit:
    EXT("CmnPassThru64To32: status 0x%08x\n", (ULONG)status);
    return status;
}

BOOLEAN CmnPassThruRangesValid(const VOID *pRecord, ULONG ulLength, BOOLEAN fDirect)
{
    BOOLEAN fValid = FALSE;
    ENT("CmnPassThruRangesValid: pRecord 0x%08x, ulLength %u, fDirect %u\n", DBG_PTR(pRecord), (ULONG)ulLength,
        (ULONG)fDirect);

    if (pRecord != NULL && ulLength >= CMN_PT64_LENGTH) {
        SCSI_PASS_THROUGH rec64;
        RtlCopyMemory(&rec64, pRecord, sizeof(rec64));
        CMN_PT_RANGE sense = {rec64.SenseInfoOffset, rec64.SenseInfoLength};
        CMN_PT_RANGE data = {0, 0};
        if (!fDirect) {
            data.ullOffset = rec64.DataBufferOffset;
            data.ulLength = rec64.DataTransferLength;
        }
        fValid = CmnPtRangeInside(&sense, CMN_PT64_LENGTH, ulLength) &&
                 CmnPtRangeInside(&data, CMN_PT64_LENGTH, ulLength) && CmnPtRangesApart(&data, &sense);
    }

    EXT("CmnPassThruRangesValid: %u\n", (ULONG)fValid);
    return fValid;
}
