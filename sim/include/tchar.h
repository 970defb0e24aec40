/*
 * Generic-text names of the C runtime: the wide ones when _UNICODE is defined, else the
 * narrow ones, as in the Windows SDK.
 */
#pragma once

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#ifdef _UNICODE
typedef wchar_t _TCHAR;
typedef wchar_t _TSCHAR;
typedef wchar_t _TUCHAR;
#define __T(x) L##x
#define _tmain wmain
#define _tcslen wcslen
#define _tcscpy wcscpy
#define _tcsncpy wcsncpy
#define _tcscat wcscat
#define _tcscmp wcscmp
#define _tcsncmp wcsncmp
#define _tcsicmp _wcsicmp
#define _tcsnicmp _wcsnicmp
#define _tcschr wcschr
#define _tcsrchr wcsrchr
#define _tcsstr wcsstr
#define _tcsdup _wcsdup
#define _tcstol wcstol
#define _tcstoul wcstoul
#define _stprintf swprintf
#define _sntprintf _snwprintf
#define _vsntprintf _vsnwprintf
#define _tprintf wprintf
#else
typedef char _TCHAR;
typedef char _TSCHAR;
typedef unsigned char _TUCHAR;
#define __T(x) x
#define _tmain main
#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcsicmp _stricmp
#define _tcsnicmp _strnicmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _tcsdup _strdup
#define _tcstol strtol
#define _tcstoul strtoul
#define _stprintf sprintf
#define _sntprintf _snprintf
#define _vsntprintf _vsnprintf
#define _tprintf printf
#define _ftprintf fprintf
#endif
#define _T(x) __T(x)
#define _TEXT(x) __T(x)
