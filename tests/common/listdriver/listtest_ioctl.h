/*
 * Requests of the test driver vorkalisttest, which runs the multi-key sorted list inside the
 * simulated kernel on a list of records that it owns. Shared by the driver and the host tests; only
 * fixed-width types cross.
 *
 * Every record has the layout below. Records are named by the id that the test gives them; a
 * pointer key is taken from the record's `pointer` field, which the test sets.
 */
#pragma once

#include <stdint.h>

#define LISTTEST_SERVICE_NAME "vorkalisttest"
#define LISTTEST_DEVICE_NAME u"\\Device\\VorkaListTest"

/* Key types of the list, by their codes. */
#define LISTTEST_INT 0
#define LISTTEST_CHAR 1
#define LISTTEST_FLOAT 2
#define LISTTEST_DOUBLE 3
#define LISTTEST_LONG 4
#define LISTTEST_POINTER 5
#define LISTTEST_STRING 6

/* Byte offsets of the key fields inside a record. */
#define LISTTEST_OFFSET_INT 8
#define LISTTEST_OFFSET_LONG 12
#define LISTTEST_OFFSET_STRING 16
#define LISTTEST_OFFSET_POINTER 32
#define LISTTEST_OFFSET_CHAR 40
#define LISTTEST_OFFSET_FLOAT 44

/* The key fields of one record. */
typedef struct LISTTEST_VALUES {
    uint32_t id;            /* the test's name for the record; 0 means "no record" */
    int32_t intValue;
    int32_t longValue;
    char string[16];
    uint64_t pointer;
    int8_t charValue;
    uint8_t reserved[3];
    uint32_t floatBits;     /* bytes of a FLOAT key */
} LISTTEST_VALUES;

/* Up to two (type, offset) key pairs; `keys` of them are passed. */
typedef struct LISTTEST_KEYS {
    int32_t keys;
    int32_t type[2];
    int32_t offset[2];
} LISTTEST_KEYS;

#define LISTTEST_CODE(function) ((uint32_t)((0x8000u << 16) | ((0x900u + (function)) << 2)))

/* A new record with `values` goes in: by keys (InsertIntoMultiSortedList, or InsertIntoSortedList
   when `oneKeyForm` is set and keys == 1) or at the tail (InsertTail, when `tail` is set). */
#define LISTTEST_IOCTL_INSERT LISTTEST_CODE(0)
typedef struct LISTTEST_INSERT {
    LISTTEST_VALUES values;
    LISTTEST_KEYS keys;
    uint8_t tail;
    uint8_t oneKeyForm;
    uint8_t dupAllowed;      /* in: duplicates allowed; out: an equal record was found */
    uint8_t reserved;
    uint32_t resultId;       /* out: id of the record that the call returned; 0 for NULL */
    int32_t status;          /* out: the status out-parameter */
} LISTTEST_INSERT;

/* DeleteFromList with a probe record holding `values` (or no record at all when `wholeList` is
   set); with `nullList` the list head's address is passed as NULL. */
#define LISTTEST_IOCTL_DELETE LISTTEST_CODE(1)
typedef struct LISTTEST_DELETE {
    LISTTEST_VALUES values;
    LISTTEST_KEYS keys;
    uint8_t wholeList;
    uint8_t nullList;
    uint8_t deleted;         /* out: the result */
    uint8_t reserved;
    int32_t status;          /* out */
} LISTTEST_DELETE;

/* SequentialScan and FindInsertPointV2 for a probe record: the id of the record at the link each
   returns (0 at the end of the list) and the duplicate flag of FindInsertPointV2. */
#define LISTTEST_IOCTL_FIND LISTTEST_CODE(2)
typedef struct LISTTEST_FIND {
    LISTTEST_VALUES values;
    LISTTEST_KEYS keys;
    uint32_t scanId;         /* out */
    uint32_t insertPointId;  /* out */
    uint8_t dup;             /* out */
    uint8_t reserved[3];
    int32_t status;          /* out: building the key array */
} LISTTEST_FIND;

/* The ids of the records in list order. */
#define LISTTEST_IOCTL_DUMP LISTTEST_CODE(3)
typedef struct LISTTEST_DUMP {
    uint32_t count;          /* out */
    uint32_t ids[64];        /* out */
} LISTTEST_DUMP;
