/*
 * The Microsoft C runtime names of Windows programs (over the C library's headers, for program
 * modules only). Wide strings are 16-bit: the wcs* functions and the wide printf family of a
 * program module count 16-bit units; the C library's wide functions that the module does not
 * define are refused at build time.
 */
#pragma once

#include <stddef.h>
#include <stdarg.h>
#include <stdint.h>

struct _IO_FILE;

#ifdef __cplusplus
extern "C" {
#endif
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t n);
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n);
char* _strdup(const char* s);
wchar_t* _wcsdup(const wchar_t* s);
int _snprintf(char* buffer, size_t count, const char* format, ...);
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
int _fileno(struct _IO_FILE* stream);
int _setmode(int fd, int mode);
int _isatty(int fd);
intptr_t _get_osfhandle(int fd);
void* _aligned_malloc(size_t size, size_t alignment);
void* _aligned_realloc(void* block, size_t size, size_t alignment);
void _aligned_free(void* block);
#ifdef __cplusplus
}
#endif
#define stricmp _stricmp
#define strnicmp _strnicmp
#define _strcmpi _stricmp
#define wcsicmp _wcsicmp
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
#define _O_WTEXT 0x10000
#define _O_U16TEXT 0x20000
#define _O_U8TEXT 0x40000
#define O_BINARY _O_BINARY
