/*
 * Structured exception handling for the host build.
 *
 * The normal syntax works:
 *
 *     __try {
 *         MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
 *     } __except (EXCEPTION_EXECUTE_HANDLER) {
 *         status = GetExceptionCode();
 *     }
 *
 * Each __try pushes a frame on the calling thread's frame stack and records a
 * setjmp point; ExRaiseStatus (and every kernel routine that raises, such as
 * MmProbeAndLockPages) jumps back to the innermost frame, whose __except filter
 * then decides: EXCEPTION_EXECUTE_HANDLER runs the handler,
 * EXCEPTION_CONTINUE_SEARCH passes the exception to the next outer frame. A
 * raise with no frame left is an unhandled kernel-mode exception (bug check).
 *
 * Limits of the host form, none of which the drivers rely on:
 * - the filter runs after the jump back, not at the raise point, so
 *   EXCEPTION_CONTINUE_EXECUTION cannot resume (the verifier reports it);
 * - as with setjmp, a non-volatile local changed inside the __try body and read
 *   in the handler may hold a stale value;
 * - only raised exceptions are caught; a hardware fault is still a crash;
 * - __finally is not provided; `return`, `break` and `continue` inside a __try
 *   body behave as in Windows.
 */
#pragma once

#include <setjmp.h>

#include "vk/basetypes.h"

VK_BEGIN_C

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

typedef struct _VK_SEH_FRAME {
    jmp_buf Buffer;
    struct _VK_SEH_FRAME *Previous;
    NTSTATUS Code;
    LONG Active;
} VK_SEH_FRAME, *PVK_SEH_FRAME;

NTKERNELAPI VOID NTAPI VkSehPush(PVK_SEH_FRAME Frame);
NTKERNELAPI VOID NTAPI VkSehPop(PVK_SEH_FRAME Frame);
NTKERNELAPI BOOLEAN NTAPI VkSehFilter(PVK_SEH_FRAME Frame, LONG Disposition);

/* Raises a software exception with the status as exception code; never returns. */
NTKERNELAPI __attribute__((noreturn)) VOID NTAPI ExRaiseStatus(NTSTATUS Status);
#define ExRaiseAccessViolation() ExRaiseStatus(STATUS_ACCESS_VIOLATION)

/* Check that a user-mode buffer lies in the calling process's memory (raise
   STATUS_ACCESS_VIOLATION or STATUS_DATATYPE_MISALIGNMENT otherwise). */
NTKERNELAPI VOID NTAPI ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment);

VK_END_C

#ifdef __cplusplus
/* One __try scope: pushes its frame on entry and pops it on every way out of the scope. */
struct VkSehScope {
    VK_SEH_FRAME Frame;
    VkSehScope() { VkSehPush(&Frame); }
    ~VkSehScope() { VkSehPop(&Frame); }
    VkSehScope(const VkSehScope &) = delete;
    VkSehScope &operator=(const VkSehScope &) = delete;
};

/* The host form under its own names, usable in any code. */
#define VK_TRY                                 \
    if (VkSehScope vk_seh_scope_; false) {     \
    } else if (setjmp(vk_seh_scope_.Frame.Buffer) == 0)
#define VK_EXCEPT(filter) else if (VkSehFilter(&vk_seh_scope_.Frame, (LONG)(filter)))
#define GetExceptionCode() (vk_seh_scope_.Frame.Code)
#define _exception_code() GetExceptionCode()

/* The Windows keywords, for driver code. Code built with C++ exceptions (the host
   side) keeps the C++ library's own meaning of __try and uses VK_TRY / VK_EXCEPT. */
#if !defined(__cpp_exceptions)
#undef __try
#undef __except
#define __try VK_TRY
#define __except(filter) VK_EXCEPT(filter)
#endif
#endif
