/*
 * The kernel's debug print filter (the WDK declares these routines in wdm.h; its dpfilter.h
 * holds the component numbers, which this kernel keeps in vk/rtl.h). A driver includes this
 * header after ntddk.h to ask whether a trace line would be recorded before it formats one.
 *
 * DbgQueryDebugFilterState: TRUE when output of the component at the level (a level 0-31, or a
 * mask of levels with DPFLTR_MASK set) is recorded, FALSE when DbgPrintEx drops it unformatted,
 * STATUS_INVALID_PARAMETER_1 for an unknown component.
 */
#pragma once

#include "vk/basetypes.h"

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI NTSTATUS NTAPI DbgQueryDebugFilterState(ULONG ComponentId, ULONG Level);
NTSYSAPI NTSTATUS NTAPI DbgSetDebugFilterState(ULONG ComponentId, ULONG Level, BOOLEAN State);

#ifdef __cplusplus
}
#endif
