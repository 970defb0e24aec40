/* Basic NT definitions; everything lives in vk/basetypes.h. */
#pragma once

#include "vk/basetypes.h"
#include "ntstatus.h"
