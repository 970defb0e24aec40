/*
 * The C library's <wchar.h> for 16-bit wchar_t. The module defines the string and formatting
 * functions below for 16-bit units; the C library's other wide functions count 32-bit units
 * and are refused at build time.
 */
#include_next <wchar.h>
#include "vkcrt.h"

#ifndef VK_CRT_WCHAR_REFUSED
#define VK_CRT_WCHAR_REFUSED
#define VK_REFUSED __attribute__((__error__("not in the Win32 layer: the C library's version counts 32-bit wide characters")))
#ifdef __cplusplus
extern "C" {
#endif
VK_REFUSED int fwprintf(FILE*, const wchar_t*, ...);
VK_REFUSED int vfwprintf(FILE*, const wchar_t*, va_list);
VK_REFUSED int swscanf(const wchar_t*, const wchar_t*, ...);
VK_REFUSED int wscanf(const wchar_t*, ...);
VK_REFUSED int fwscanf(FILE*, const wchar_t*, ...);
VK_REFUSED double wcstod(const wchar_t*, wchar_t**);
VK_REFUSED size_t wcsftime(wchar_t*, size_t, const wchar_t*, const struct tm*);
VK_REFUSED wchar_t* wcstok(wchar_t*, const wchar_t*, wchar_t**);
VK_REFUSED size_t wcsspn(const wchar_t*, const wchar_t*);
VK_REFUSED size_t wcscspn(const wchar_t*, const wchar_t*);
#ifndef __cplusplus /* C++ has its const overloads of it */
VK_REFUSED wchar_t* wcspbrk(const wchar_t*, const wchar_t*);
#endif
VK_REFUSED int wcscoll(const wchar_t*, const wchar_t*);
VK_REFUSED size_t wcsxfrm(wchar_t*, const wchar_t*, size_t);
VK_REFUSED size_t mbstowcs(wchar_t*, const char*, size_t);
VK_REFUSED size_t wcstombs(char*, const wchar_t*, size_t);
VK_REFUSED size_t mbsrtowcs(wchar_t*, const char**, size_t, mbstate_t*);
VK_REFUSED size_t wcsrtombs(char*, const wchar_t**, size_t, mbstate_t*);
VK_REFUSED wint_t fgetwc(FILE*);
VK_REFUSED wint_t fputwc(wchar_t, FILE*);
VK_REFUSED wchar_t* fgetws(wchar_t*, int, FILE*);
VK_REFUSED int fputws(const wchar_t*, FILE*);
#ifdef __cplusplus
}
#endif
#endif
