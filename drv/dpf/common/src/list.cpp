/*
 * Multi-key sorted list (see list.h). Records stay in ascending
 * lexicographic order of their key tuples; the list itself holds no lock.
 */
#include "list.h"
#include "debug.h"

/* The link field that starts every node. */
static inline PVOID *NextLink(PVOID pNode)
{
    return (PVOID *)pNode;
}

static const char *KeyTypeName(int iType)
{
    static const char *const szNames[LIST_KEY_TYPE_COUNT] = {
        "INT", "CHAR", "FLOAT", "DOUBLE", "LONG", "POINTER", "STRING",
    };
    if (iType < 0 || iType >= LIST_KEY_TYPE_COUNT) {
        return "UNKNOWN";
    }
    return szNames[iType];
}

/*
 * Compares one key of record A with the same key of record B: -1 when A's is
 * less, 0 when equal, 1 when greater. Types that cannot be compared count as
 * greater after the assertion.
 */
static int CompareKey(const void *pA, const void *pB, int iType)
{
    switch (iType) {
    case LIST_KEY_INT: {
        LONG a = *(const LONG *)pA;
        LONG b = *(const LONG *)pB;
        DBG("Comparing int %d with %d\n", a, b);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    case LIST_KEY_CHAR: {
        SCHAR a = *(const SCHAR *)pA;
        SCHAR b = *(const SCHAR *)pB;
        DBG("Comparing char %c (%d) with %c (%d)\n", a, a, b, b);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    case LIST_KEY_LONG: {
        LONG a = *(const LONG *)pA;
        LONG b = *(const LONG *)pB;
        DBG("Comparing long %d with %d\n", a, b);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    case LIST_KEY_POINTER: {
        ULONG_PTR a = *(const ULONG_PTR *)pA;
        ULONG_PTR b = *(const ULONG_PTR *)pB;
        DBG("Comparing ptr 0x%08x with 0x%08x\n", (ULONG)a, (ULONG)b);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    case LIST_KEY_STRING: {
        const UCHAR *a = (const UCHAR *)pA;
        const UCHAR *b = (const UCHAR *)pB;
        DBG("Comparing string %s with %s\n", (const char *)a, (const char *)b);
        while (*a != 0 && *a == *b) {
            a++;
            b++;
        }
        return *a < *b ? -1 : (*a > *b ? 1 : 0);
    }
    default:
        /* FLOAT, DOUBLE and unknown codes have no order. */
        DBG_ASSERT(FALSE);
        return 1;
    }
}

/* Compares key i of two records. */
static inline int CompareRecords(PVOID pA, PVOID pB, const VARS *pVar)
{
    return CompareKey((const UCHAR *)pA + pVar->iOffset, (const UCHAR *)pB + pVar->iOffset, pVar->iType);
}

static BOOLEAN AllKeysEqual(PVOID pA, PVOID pB, int iNum, const VARS *pVars)
{
    for (int i = 0; i < iNum; i++) {
        if (CompareRecords(pA, pB, &pVars[i]) != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

PVARS VAListToVars(va_list *pVAList, NTSTATUS *pStatus, int iNum)
{
    ENT("VAListToVars: pVAList 0x%08x, iNum %d\n", (ULONG)(ULONG_PTR)pVAList, iNum);
    NTSTATUS status = STATUS_SUCCESS;
    PVARS pVars = NULL;

    if (iNum < 1) {
        DBG("VAListToVars: %d keys.  Cannot insert\n", iNum);
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }

    pVars = (PVARS)ExAllocatePoolWithTag(NonPagedPool, sizeof(VARS) * (SIZE_T)iNum, LIST_VARS_TAG);
    if (pVars == NULL) {
        DBG("%s == NULL.\n", "VAListToVars: pVars");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pVars, sizeof(VARS) * (SIZE_T)iNum);

    for (int i = 0; i < iNum; i++) {
        pVars[i].iType = va_arg(*pVAList, int);
        pVars[i].iOffset = va_arg(*pVAList, int);
        DBG("VAListToVars: key %d type %s offset %d\n", i, KeyTypeName(pVars[i].iType), pVars[i].iOffset);
        if (pVars[i].iType < 0 || pVars[i].iType >= LIST_KEY_TYPE_COUNT) {
            DBG("VAListToVars: Unknown type %d.  Cannot insert\n", pVars[i].iType);
            ExFreePoolWithTag(pVars, LIST_VARS_TAG);
            pVars = NULL;
            status = STATUS_INVALID_PARAMETER;
            goto done;
        }
    }

done:
    if (pStatus != NULL) {
        *pStatus = status;
    }
    EXT("VAListToVars: status 0x%08x\n", status);
    return pVars;
}

PVOID *FindInsertPointV2(PVOID *ppList, PVOID pNode, int iNum, PVARS pVars, PBOOLEAN pfDup)
{
    ENT("FindInsertPointV2: ppList 0x%08x, pNode 0x%08x, iNum %d\n", (ULONG)(ULONG_PTR)ppList,
        (ULONG)(ULONG_PTR)pNode, iNum);
    PVOID *ppLink = ppList;

    *pfDup = FALSE;
    if (*ppList != NULL) {
        /*
         * Key by key: within the run of records whose more significant keys
         * are not greater than pNode's, pass those whose key i is smaller.
         * The list is sorted, so the run ends at the first record that is
         * not smaller as a whole.
         */
        for (int i = 0; i < iNum && *ppLink != NULL; i++) {
            while (*ppLink != NULL) {
                PVOID pCur = *ppLink;
                if (CompareRecords(pCur, pNode, &pVars[i]) >= 0) {
                    break;
                }
                BOOLEAN fHigherKeysNotGreater = TRUE;
                for (int j = 0; j < i; j++) {
                    if (CompareRecords(pCur, pNode, &pVars[j]) > 0) {
                        fHigherKeysNotGreater = FALSE;
                        break;
                    }
                }
                if (!fHigherKeysNotGreater) {
                    break;
                }
                ppLink = NextLink(pCur);
            }
        }
        /* A duplicate is a record whose whole key tuple equals pNode's. */
        if (*ppLink != NULL && AllKeysEqual(*ppLink, pNode, iNum, pVars)) {
            *pfDup = TRUE;
        }
    }

    EXT("FindInsertPointV2: link 0x%08x, fDup %d, status 0x%08x\n", (ULONG)(ULONG_PTR)ppLink, *pfDup,
        STATUS_SUCCESS);
    return ppLink;
}

/* Shared body of the two insert forms; the key pairs come from pVAList. */
static PVOID InsertWithVAList(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS *pStatus, int iNum,
                              va_list *pVAList)
{
    PVOID pResult = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    DBG_ASSERT(ppList);
    DBG_ASSERT(pNode);
    DBG_ASSERT(pDupAllowed);
    if (ppList == NULL || pNode == NULL || pDupAllowed == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        PVARS pVars = VAListToVars(pVAList, &status, iNum);
        if (pVars != NULL) {
            BOOLEAN fDup = FALSE;
            PVOID *ppInsertPoint = FindInsertPointV2(ppList, pNode, iNum, pVars, &fDup);
            DBG_ASSERT(ppInsertPoint);
            if (ppInsertPoint != NULL) {
                if (!fDup || *pDupAllowed) {
                    DBG("InsertIntoMultiSortedList: performing insertion\n");
                    *NextLink(pNode) = *ppInsertPoint;
                    *ppInsertPoint = pNode;
                }
                pResult = *ppInsertPoint;
            }
            *pDupAllowed = fDup;
            ExFreePoolWithTag(pVars, LIST_VARS_TAG);
        }
    }

    if (pStatus != NULL) {
        *pStatus = status;
    }
    return pResult;
}

PVOID InsertIntoMultiSortedList(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS *pStatus, int iNum,
                                ...)
{
    ENT("InsertIntoMultiSortedList: ppList 0x%08x, pNode 0x%08x, fDupAllowed %d, iNum %d\n",
        (ULONG)(ULONG_PTR)ppList, (ULONG)(ULONG_PTR)pNode, pDupAllowed != NULL ? *pDupAllowed : 0, iNum);
    NTSTATUS status = STATUS_SUCCESS;
    va_list args;
    va_start(args, iNum);
    PVOID pResult = InsertWithVAList(ppList, pNode, pDupAllowed, &status, iNum, &args);
    va_end(args);
    if (pStatus != NULL) {
        *pStatus = status;
    }
    EXT("InsertIntoMultiSortedList: result 0x%08x, status 0x%08x\n", (ULONG)(ULONG_PTR)pResult, status);
    return pResult;
}

/* Forwards the single pair to the variadic form. */
static PVOID InsertOneKey(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS *pStatus, int iNum, ...)
{
    va_list args;
    va_start(args, iNum);
    PVOID pResult = InsertWithVAList(ppList, pNode, pDupAllowed, pStatus, iNum, &args);
    va_end(args);
    return pResult;
}

PVOID InsertIntoSortedList(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, int iType, int iOffset,
                           NTSTATUS *pStatus)
{
    ENT("InsertIntoSortedList: ppList 0x%08x, pNode 0x%08x, type %s, offset %d\n", (ULONG)(ULONG_PTR)ppList,
        (ULONG)(ULONG_PTR)pNode, KeyTypeName(iType), iOffset);
    NTSTATUS status = STATUS_SUCCESS;
    PVOID pResult = InsertOneKey(ppList, pNode, pDupAllowed, &status, 1, iType, iOffset);
    if (pStatus != NULL) {
        *pStatus = status;
    }
    EXT("InsertIntoSortedList: result 0x%08x, status 0x%08x\n", (ULONG)(ULONG_PTR)pResult, status);
    return pResult;
}

PVOID InsertTail(PVOID *ppList, PVOID pNode)
{
    ENT("InsertTail: ppList 0x%08x, pNode 0x%08x\n", (ULONG)(ULONG_PTR)ppList, (ULONG)(ULONG_PTR)pNode);
    DBG_ASSERT(ppList);
    DBG_ASSERT(pNode);
    if (ppList != NULL && pNode != NULL) {
        PVOID *ppLink = ppList;
        while (*ppLink != NULL) {
            ppLink = NextLink(*ppLink);
        }
        *NextLink(pNode) = NULL;
        *ppLink = pNode;
    }
    EXT("InsertTail: status 0x%08x\n", STATUS_SUCCESS);
    return pNode;
}

PVOID *SequentialScan(PVOID *ppList, PVOID pNode, int iNum, PVARS pVars)
{
    ENT("SequentialScan: ppList 0x%08x, pNode 0x%08x, iNum %d\n", (ULONG)(ULONG_PTR)ppList,
        (ULONG)(ULONG_PTR)pNode, iNum);
    PVOID *ppLink = ppList;
    while (*ppLink != NULL && !AllKeysEqual(*ppLink, pNode, iNum, pVars)) {
        ppLink = NextLink(*ppLink);
    }
    EXT("SequentialScan: link 0x%08x, found %d, status 0x%08x\n", (ULONG)(ULONG_PTR)ppLink, *ppLink != NULL,
        STATUS_SUCCESS);
    return ppLink;
}

BOOLEAN DeleteFromList(PVOID *ppList, PVOID pNode, NTSTATUS *pStatus, int iNum, ...)
{
    ENT("DeleteFromList: ppList 0x%08x, pNode 0x%08x, iNum %d\n", (ULONG)(ULONG_PTR)ppList,
        (ULONG)(ULONG_PTR)pNode, iNum);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN fDeleted = FALSE;

    if (ppList == NULL || *ppList == NULL) {
        DBG("DeleteFromList: list is empty\n");
        fDeleted = TRUE;
    } else if (pNode == NULL) {
        /* Free the whole list. */
        while (*ppList != NULL) {
            PVOID pFree = *ppList;
            *ppList = *NextLink(pFree);
            ExFreePool(pFree);
        }
        DBG("DeleteFromList: whole list freed\n");
        fDeleted = TRUE;
    } else {
        va_list args;
        va_start(args, iNum);
        PVARS pVars = VAListToVars(&args, &status, iNum);
        va_end(args);
        if (pVars != NULL) {
            PVOID *ppLink = SequentialScan(ppList, pNode, iNum, pVars);
            PVOID pFound = *ppLink;
            if (pFound != NULL) {
                *ppLink = *NextLink(pFound);
                DBG("DeleteFromList: deleting node 0x%08x\n", (ULONG)(ULONG_PTR)pFound);
                ExFreePool(pFound);
                fDeleted = TRUE;
            } else {
                DBG("DeleteFromList: no matching node\n");
            }
            ExFreePoolWithTag(pVars, LIST_VARS_TAG);
        }
    }

    if (pStatus != NULL) {
        *pStatus = status;
    }
    EXT("DeleteFromList: deleted %d, status 0x%08x\n", fDeleted, status);
    return fDeleted;
}
