/* The C program's entry for the tests: 0 and a report, or non-zero and the error's text. */
#pragma once
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
int CProgramReport(const char* device, char* out, size_t outSize);
#ifdef __cplusplus
}
#endif
