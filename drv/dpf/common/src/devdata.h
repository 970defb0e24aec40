/*
 * Data a device returns that the path filters read: the designation descriptors of the device
 * identification page (VPD page 0x83) and the serial number the base driver gives from the unit
 * serial number page (VPD page 0x80). Every length in that data is the device's and is untrusted:
 * nothing is read outside the buffer the routines are given.
 *
 * Plain routines over byte buffers, compiled into both filter images (vorka_add_driver ...
 * WITH_FILTER). Any IRQL; no allocation, no lock.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"
#include "debug.h"

/* The device identification page as the base driver answers IOC_GET_DEVICE_ID_PAGE, and where a
   descriptor's length byte lies from its byte 1 (association and designator type). */
#define DEVICE_IDENTIFICATION_PAGE_LENGTH DEVICE_ID_PAGE_LENGTH
#define OFFSET_FROM_INDEX_TO_LENGTH 2

/* Walks the designation descriptors of the page at pDeviceIdPage (DEVICE_IDENTIFICATION_PAGE_LENGTH
   bytes) for the first one of association "logical unit" and designator type NAA, and writes its
   designator into szWwnn (17 bytes) as lower-case hexadecimal digits ended by NUL.
     STATUS_DATA_ERROR        no such descriptor, a designator of length 0, or one (or its length
                              byte) outside the page
     STATUS_BUFFER_TOO_SMALL  a designator longer than 8 bytes
   On failure szWwnn is left as it was. */
NTSTATUS FltGetWwnnString(PUCHAR pDeviceIdPage, PCHAR szWwnn);

/* TRUE when the serial number (SERIAL_NUMBER_LENGTH bytes, NUL-terminated when shorter) is empty or
   only blanks: it identifies nothing, as every device answering that way would be grouped as one.
   No byte past SERIAL_NUMBER_LENGTH is read. */
BOOLEAN FltSerialIsBlank(PCHAR szSerial);
