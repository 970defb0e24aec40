/* The requests of the vorkabuslower test filter, shared with the bus tests. */
#pragma once

#include <stdint.h>

#define BUSLOWER_SERVICE_NAME "vorkabuslower"

/* A buffered code that no driver of the package handles (device type 0x8000, function 0x900). */
#define BUSLOWER_IOCTL_PROBE   ((uint32_t)((0x8000u << 16) | (0x900u << 2)))

/* The status the filter answers the probe with: a customer-defined error code. */
#define BUSLOWER_PROBE_STATUS  ((int32_t)0xE0D51234)

/* Answers (ULONG output) how many IRP_MN_SET_POWER requests passed the filter. */
#define BUSLOWER_IOCTL_SET_POWER_COUNT ((uint32_t)((0x8000u << 16) | (0x901u << 2)))
