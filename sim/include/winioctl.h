/*
 * Device I/O control codes for applications: CTL_CODE, device types and the
 * storage requests (shared with the kernel headers).
 */
#pragma once

#include "devioctl.h"
#include "ntddstor.h"
