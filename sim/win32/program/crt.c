/*
 * The C runtime of a Windows program module, linked into every module with hidden visibility
 * (scripts/build-windows-program.sh) and compiled with 16-bit wchar_t as the program is:
 *   - the wide string and formatting functions count 16-bit units (the C library's count
 *     32-bit ones, so wcslen(L"\\\\.\\Tape1") would be 5 there);
 *   - strdup and the aligned allocations take their blocks from the process's heap, so that
 *     they pass the probes of I/O buffers;
 *   - the Microsoft names (_stricmp, _snprintf, _snwprintf, _fileno, _setmode, ...).
 */
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* Provided by the simulator's Win32 layer (libvwin32). */
size_t VkProgramFormatA(char* buffer, size_t capacity, const char* format, va_list args);
size_t VkProgramFormatW(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
void* VkProgramAlignedAlloc(size_t alignment, size_t size);
int WideCharToMultiByte(unsigned codePage, unsigned flags, const wchar_t* wide, int count, char* bytes, int size,
                        const char* fallback, int* used);

/* ---- 16-bit wide strings ------------------------------------------------------------------- */

size_t wcslen(const wchar_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}
size_t wcsnlen(const wchar_t* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}
wchar_t* wcscpy(wchar_t* to, const wchar_t* from) {
    wchar_t* d = to;
    while ((*d++ = *from++)) {
    }
    return to;
}
wchar_t* wcsncpy(wchar_t* to, const wchar_t* from, size_t n) {
    size_t i = 0;
    for (; i < n && from[i]; ++i) to[i] = from[i];
    for (; i < n; ++i) to[i] = 0;
    return to;
}
wchar_t* wcscat(wchar_t* to, const wchar_t* from) {
    wcscpy(to + wcslen(to), from);
    return to;
}
wchar_t* wcsncat(wchar_t* to, const wchar_t* from, size_t n) {
    wchar_t* d = to + wcslen(to);
    size_t i = 0;
    for (; i < n && from[i]; ++i) d[i] = from[i];
    d[i] = 0;
    return to;
}
int wcscmp(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return (unsigned short)*a < (unsigned short)*b ? -1 : 1;
        if (!*a) return 0;
    }
}
int wcsncmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return (unsigned short)a[i] < (unsigned short)b[i] ? -1 : 1;
        if (!a[i]) return 0;
    }
    return 0;
}
wchar_t* wcschr(const wchar_t* s, wchar_t c) {
    for (;; ++s) {
        if (*s == c) return (wchar_t*)s;
        if (!*s) return NULL;
    }
}
wchar_t* wcsrchr(const wchar_t* s, wchar_t c) {
    const wchar_t* found = NULL;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return (wchar_t*)found;
    }
}
wchar_t* wcsstr(const wchar_t* s, const wchar_t* part) {
    const size_t n = wcslen(part);
    for (; *s; ++s)
        if (wcsncmp(s, part, n) == 0) return (wchar_t*)s;
    return n ? NULL : (wchar_t*)s;
}
wchar_t* wmemcpy(wchar_t* to, const wchar_t* from, size_t n) { return memcpy(to, from, n * sizeof(wchar_t)); }
wchar_t* wmemmove(wchar_t* to, const wchar_t* from, size_t n) { return memmove(to, from, n * sizeof(wchar_t)); }
wchar_t* wmemset(wchar_t* to, wchar_t c, size_t n) {
    for (size_t i = 0; i < n; ++i) to[i] = c;
    return to;
}
int wmemcmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return (unsigned short)a[i] < (unsigned short)b[i] ? -1 : 1;
    return 0;
}
wchar_t* wmemchr(const wchar_t* s, wchar_t c, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (s[i] == c) return (wchar_t*)s + i;
    return NULL;
}

static wchar_t LowerW(wchar_t c) { return c >= L'A' && c <= L'Z' ? (wchar_t)(c + 32) : c; }
int _wcsicmp(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        const wchar_t x = LowerW(*a), y = LowerW(*b);
        if (x != y) return (unsigned short)x < (unsigned short)y ? -1 : 1;
        if (!x) return 0;
    }
}
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const wchar_t x = LowerW(a[i]), y = LowerW(b[i]);
        if (x != y) return (unsigned short)x < (unsigned short)y ? -1 : 1;
        if (!x) return 0;
    }
    return 0;
}
wchar_t* _wcsdup(const wchar_t* s) {
    const size_t n = (wcslen(s) + 1) * sizeof(wchar_t);
    wchar_t* copy = malloc(n);
    if (copy) memcpy(copy, s, n);
    return copy;
}
wchar_t* wcsdup(const wchar_t* s) { return _wcsdup(s); }

/* Numbers in wide text: the digits are ASCII, so the narrow conversions read them. */
static char* NarrowCopy(const wchar_t* s, char* buffer, size_t size, size_t* used) {
    size_t i = 0;
    for (; i + 1 < size && s[i] && s[i] < 0x80; ++i) buffer[i] = (char)s[i];
    buffer[i] = 0;
    *used = i;
    return buffer;
}
long wcstol(const wchar_t* s, wchar_t** end, int base) {
    char text[80];
    size_t used;
    char* stop;
    long value = strtol(NarrowCopy(s, text, sizeof text, &used), &stop, base);
    if (end) *end = (wchar_t*)s + (stop - text);
    return value;
}
unsigned long wcstoul(const wchar_t* s, wchar_t** end, int base) {
    char text[80];
    size_t used;
    char* stop;
    unsigned long value = strtoul(NarrowCopy(s, text, sizeof text, &used), &stop, base);
    if (end) *end = (wchar_t*)s + (stop - text);
    return value;
}
long long wcstoll(const wchar_t* s, wchar_t** end, int base) {
    char text[80];
    size_t used;
    char* stop;
    long long value = strtoll(NarrowCopy(s, text, sizeof text, &used), &stop, base);
    if (end) *end = (wchar_t*)s + (stop - text);
    return value;
}
unsigned long long wcstoull(const wchar_t* s, wchar_t** end, int base) {
    char text[80];
    size_t used;
    char* stop;
    unsigned long long value = strtoull(NarrowCopy(s, text, sizeof text, &used), &stop, base);
    if (end) *end = (wchar_t*)s + (stop - text);
    return value;
}
int _wtoi(const wchar_t* s) { return (int)wcstol(s, NULL, 10); }

/* ---- Formatting ---------------------------------------------------------------------------- */

/* C99's vswprintf: -1 when the text does not fit (the buffer still ends with a terminator). */
int vswprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
    const size_t n = VkProgramFormatW(buffer, count, format, args);
    if (n >= count) {
        if (count) buffer[count - 1] = 0;
        return -1;
    }
    return (int)n;
}
int swprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vswprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

/* Microsoft's _vsnprintf: the text and a terminator when it fits; exactly `count` characters
 * and no terminator when the text is that long; -1 (and no terminator) when it is longer. */
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    const size_t n = VkProgramFormatA(buffer, count, format, args);
    return n > count ? -1 : (int)n;
}
int _snprintf(char* buffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}
int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
    const size_t n = VkProgramFormatW(buffer, count, format, args);
    return n > count ? -1 : (int)n;
}
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

/* Wide output goes to the captured stdout as UTF-8. */
int vwprintf(const wchar_t* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const size_t n = VkProgramFormatW(NULL, 0, format, copy);
    va_end(copy);
    wchar_t* wide = malloc((n + 1) * sizeof(wchar_t));
    if (!wide) return -1;
    VkProgramFormatW(wide, n + 1, format, args);
    int written = -1;
    const int bytes = n ? WideCharToMultiByte(65001, 0, wide, (int)n, NULL, 0, NULL, NULL) : 0;
    char* narrow = malloc((size_t)bytes + 1);
    if (narrow) {
        if (n) WideCharToMultiByte(65001, 0, wide, (int)n, narrow, bytes, NULL, NULL);
        written = fwrite(narrow, 1, (size_t)bytes, stdout) == (size_t)bytes ? (int)n : -1;
        free(narrow);
    }
    free(wide);
    return written;
}
int wprintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vwprintf(format, args);
    va_end(args);
    return n;
}

/* ---- Narrow strings and memory ------------------------------------------------------------- */

int _stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int x = tolower((unsigned char)*a), y = tolower((unsigned char)*b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}
int _strnicmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int x = tolower((unsigned char)a[i]), y = tolower((unsigned char)b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
    return 0;
}
char* strdup(const char* s) {
    const size_t n = strlen(s) + 1;
    char* copy = malloc(n);
    if (copy) memcpy(copy, s, n);
    return copy;
}
char* strndup(const char* s, size_t max) {
    const size_t n = strnlen(s, max);
    char* copy = malloc(n + 1);
    if (copy) {
        memcpy(copy, s, n);
        copy[n] = 0;
    }
    return copy;
}
char* _strdup(const char* s) { return strdup(s); }

static int PowerOfTwo(size_t n) { return n && (n & (n - 1)) == 0; }

void* aligned_alloc(size_t alignment, size_t size) {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return NULL;
    }
    return VkProgramAlignedAlloc(alignment, size);
}
void* memalign(size_t alignment, size_t size) { return aligned_alloc(alignment, size); }
int posix_memalign(void** block, size_t alignment, size_t size) {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*)) return EINVAL;
    void* p = VkProgramAlignedAlloc(alignment, size);
    if (!p) return ENOMEM;
    *block = p;
    return 0;
}
/* The blocks of _aligned_malloc are heap blocks of their own alignment: _aligned_free and
 * _aligned_realloc take them back. */
void* _aligned_malloc(size_t size, size_t alignment) {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return NULL;
    }
    return VkProgramAlignedAlloc(alignment < sizeof(void*) ? sizeof(void*) : alignment, size);
}
void _aligned_free(void* block) { free(block); }
void* _aligned_realloc(void* block, size_t size, size_t alignment) {
    if (!block) return _aligned_malloc(size, alignment);
    if (!size) {
        free(block);
        return NULL;
    }
    void* moved = _aligned_malloc(size, alignment);
    if (!moved) return NULL;
    /* The old block's size is not kept here: copy what both can hold. */
    extern size_t VkProgramBlockSize(const void* block);
    const size_t old = VkProgramBlockSize(block);
    memcpy(moved, block, old < size ? old : size);
    free(block);
    return moved;
}

/* ---- Low-level I/O ------------------------------------------------------------------------- */

int _fileno(FILE* stream) {
    if (stream == stdin) return 0;
    if (stream == stdout) return 1;
    if (stream == stderr) return 2;
    return -1;
}
/* The standard streams are byte streams already: every mode is accepted, the old one is text. */
int _setmode(int fd, int mode) {
    if (fd < 0 || fd > 2) {
        errno = EBADF;
        return -1;
    }
    if (mode != 0x4000 && mode != 0x8000 && mode != 0x10000 && mode != 0x20000 && mode != 0x40000) {
        errno = EINVAL;
        return -1;
    }
    return 0x4000;
}
/* The program's streams are captured by the simulator, never a console. */
int _isatty(int fd) { return 0; }
intptr_t _get_osfhandle(int fd) {
    if (fd < 0 || fd > 2) {
        errno = EBADF;
        return -1;
    }
    return -10 - fd; /* STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE: names, not open files */
}
