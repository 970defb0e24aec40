/* The checks of the SDK programs: each failed one prints its line; main returns how many failed. */
#pragma once
#include <stdio.h>

static int failures;
#define CHECK(condition)                                                   \
    do {                                                                   \
        if (!(condition)) {                                                \
            ++failures;                                                    \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                  \
    } while (0)
#define CHECK_ERROR(call_failed, error)                                                           \
    do {                                                                                          \
        int failed_ = (call_failed);                                                              \
        DWORD last_ = GetLastError();                                                             \
        if (!failed_ || last_ != (DWORD)(error)) {                                                \
            ++failures;                                                                           \
            printf("%s:%d: failed: %s with error %u (got %u)\n", __FILE__, __LINE__, #call_failed, \
                   (unsigned)(error), (unsigned)last_);                                           \
        }                                                                                         \
    } while (0)
