/*
 * Multi-key sorted list over caller-allocated records.
 *
 * A list is a pointer to its first node; the caller owns the head pointer and
 * passes its address (ppList). Every node starts with the pointer to the next
 * node (NULL at the end). Records are compared by keys that the caller names
 * at each call as (type, offset) pairs, key 0 being the most significant, so
 * one set of routines serves records of any layout.
 *
 * The list takes no locks: every caller serialises the lists it owns.
 * Nodes handed to DeleteFromList must come from pool; it frees them.
 */
#pragma once

#include <ntddk.h>
#include <stdarg.h>

/* Key types of a (type, offset) pair. */
typedef enum _LIST_KEY_TYPE {
    LIST_KEY_INT = 0,     /* signed 32-bit integer */
    LIST_KEY_CHAR = 1,    /* signed 8-bit character */
    LIST_KEY_FLOAT = 2,   /* not comparable: asserts, the record counts as greater */
    LIST_KEY_DOUBLE = 3,  /* not comparable: as FLOAT */
    LIST_KEY_LONG = 4,    /* signed 32-bit integer */
    LIST_KEY_POINTER = 5, /* 64-bit pointer value, unsigned */
    LIST_KEY_STRING = 6,  /* NUL-terminated byte string, compared as strcmp does */
    LIST_KEY_TYPE_COUNT = 7
} LIST_KEY_TYPE;

/* One key description: its type and its byte offset inside the record. */
typedef struct _VARS {
    int iType;
    int iOffset;
} VARS, *PVARS;

/* Pool tag of the temporary key array ("LstV"). */
#define LIST_VARS_TAG 0x5674734C

/*
 * Builds the key array from iNum (type, offset) pairs of *pVAList.
 * Returns the array (non-paged pool, freed by the caller with ExFreePoolWithTag
 * and LIST_VARS_TAG) or NULL: STATUS_INSUFFICIENT_RESOURCES without memory,
 * STATUS_INVALID_PARAMETER for an unknown key type or a key count below 1.
 */
PVARS VAListToVars(va_list *pVAList, NTSTATUS *pStatus, int iNum);

/*
 * Returns the link in front of which pNode belongs: after every record whose
 * key tuple is smaller, in front of the first record whose tuple is not.
 * *pfDup becomes TRUE when the record at that link has all iNum keys equal to
 * pNode's.
 */
PVOID *FindInsertPointV2(PVOID *ppList, PVOID pNode, int iNum, PVARS pVars, PBOOLEAN pfDup);

/*
 * Inserts pNode in key order. *pDupAllowed is an input (nonzero: insert even
 * when an equal record exists) and an output (TRUE when an equal record was
 * found). The variable arguments are iNum (int type, int offset) pairs.
 * Returns pNode when it was inserted, the existing equal record when the
 * duplicate was refused, NULL when the key list could not be built.
 */
PVOID InsertIntoMultiSortedList(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS *pStatus,
                                int iNum, ...);

/* The one-key form of InsertIntoMultiSortedList. */
PVOID InsertIntoSortedList(PVOID *ppList, PVOID pNode, PBOOLEAN pDupAllowed, int iType, int iOffset,
                           NTSTATUS *pStatus);

/* Appends pNode at the end of the list; returns pNode. */
PVOID InsertTail(PVOID *ppList, PVOID pNode);

/*
 * Returns the first link whose record has all iNum keys equal to pNode's, or
 * the final NULL link when there is none.
 */
PVOID *SequentialScan(PVOID *ppList, PVOID pNode, int iNum, PVARS pVars);

/*
 * pNode NULL: frees every node and leaves the head NULL. Otherwise unlinks and
 * frees the first node whose keys (iNum (type, offset) pairs follow) equal
 * pNode's. TRUE when a node was deleted, the whole list freed, or the list
 * was empty (or ppList NULL); FALSE when nothing matched or the key list could
 * not be built.
 */
BOOLEAN DeleteFromList(PVOID *ppList, PVOID pNode, NTSTATUS *pStatus, int iNum, ...);
