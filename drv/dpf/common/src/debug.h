/*
 * Trace and diagnostics facility of the drivers.
 *
 * Every routine traces its entry (ENT) with its parameters, its notable steps (DBG) and its exit (EXT)
 * with its final status. A line is the driver's prefix word, the line kind, the nesting depth (ENT/EXT)
 * or blanks (DBG), the source file name and line, then a printf-style message, all cut to
 * DEBUG_BUFFER_SIZE bytes and handed to DbgPrint.
 *
 * Each line is formatted in a buffer on the caller's stack, so lines of concurrent threads never mix
 * and tracing is legal at any IRQL up to DISPATCH_LEVEL (avoid %S/%wZ there: converting wide text is
 * only safe at PASSIVE_LEVEL). The depth counter is a display aid; it is kept with interlocked
 * operations so that it stays consistent across threads.
 *
 * The driver's prefix word (VORKA_TRACE_PREFIX, e.g. "VorkaTpBus") is a compile definition set by
 * the driver build; each driver has its own copy of this facility.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"

#ifndef VORKA_TRACE_PREFIX
#error "VORKA_TRACE_PREFIX (the driver's trace prefix word) must be defined by the driver build"
#endif

#define DEBUG_BUFFER_SIZE 256

/* Line kinds. */
#define DBG_LINE_ENT 0
#define DBG_LINE_EXT 1
#define DBG_LINE_DBG 2

/* The compiled file's name without directories. */
#if defined(__FILE_NAME__)
#define DBG_FILE_NAME __FILE_NAME__
#else
#define DBG_FILE_NAME DbgBaseName(__FILE__)
#endif

/* Format checking of the trace messages. Only in the host build: there ULONG is unsigned int, as
   %x expects; mingw's ULONG is a 32-bit unsigned long, which its printf checking takes for a mismatch. */
#if defined(__MINGW32__)
#define DBG_PRINTF_FORMAT(fmt, args)
#else
#define DBG_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

/* Emits one trace line of the given kind. */
void DbgTraceLine(ULONG ulKind, PCSTR szFile, LONG iLine, PCSTR szFormat, ...) DBG_PRINTF_FORMAT(4, 5);

/* File name part of a source path (after the last '\' or '/'). */
PCSTR DbgBaseName(PCSTR szPath);

/* Current nesting depth (number of traced routines entered and not yet left). */
LONG DbgGetDepth(void);

/* Trace macros: the message is a printf format with its arguments, ending in "\n". */
#define ENT(...) DbgTraceLine(DBG_LINE_ENT, DBG_FILE_NAME, __LINE__, __VA_ARGS__)
#define EXT(...) DbgTraceLine(DBG_LINE_EXT, DBG_FILE_NAME, __LINE__, __VA_ARGS__)
#define DBG(...) DbgTraceLine(DBG_LINE_DBG, DBG_FILE_NAME, __LINE__, __VA_ARGS__)

/* Common messages: "<routine>: <callee> failed with RC = 0x..." and "<routine>: <variable> == NULL." */
#define DBG_FAILED(szWhat, status) DBG("%s failed with RC = 0x%08x\n", (szWhat), (ULONG)(status))
#define DBG_NULL(szWhat) DBG("%s == NULL.\n", (szWhat))

/* Pointers are traced as 0x%08x (their low 32 bits), as the driver's messages always have. */
#define DBG_PTR(p) ((ULONG)(ULONG_PTR)(p))

/* Assertion: reports the expression text, the source path and the line through RtlAssert and goes on;
   the code after it carries the fallback. Evaluates to TRUE when the expression holds. */
#define DBG_ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID)#exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)

/* Name tables; an index past a table's end yields "???". */
PCSTR DbgMajorFunctionName(ULONG ulMajor);
PCSTR DbgPnpMinorFunctionName(ULONG ulMinor);
PCSTR DbgPowerMinorFunctionName(ULONG ulMinor);
PCSTR DbgPnpStateName(ULONG ePnpState);
PCSTR DbgIoKindName(ULONG ulKind);
PCSTR DbgRelationName(ULONG ulRelation);
