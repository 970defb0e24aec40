/*
 * Run-time library of the simulated kernel: counted strings, integer
 * conversion, debug print, assertions and the registry query helpers.
 * The exported routines are extern "C" with their Windows names and take
 * WCHAR (16 bits in both kinds of code), so drivers and host code link to the
 * same functions.
 */
#pragma once

#include "vk/basetypes.h"
#include "vk/regdefs.h"

VK_BEGIN_C

typedef const char *PCSZ;

/* ---- Counted strings ---------------------------------------------------- */

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                               PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSYSAPI NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI CHAR NTAPI RtlUpperChar(CHAR Character);
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(const GUID *Guid, PUNICODE_STRING GuidString);
NTSYSAPI NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID *Guid);

#ifdef __cplusplus
} /* extern "C" */
/* The character type of a string literal or array, without const, so that
   RTL_CONSTANT_STRING works for both ANSI and wide literals. */
template <class T> struct VkCharOf;
template <class T, size_t N> struct VkCharOf<T[N]> { typedef T type; };
template <class T, size_t N> struct VkCharOf<const T[N]> { typedef T type; };
template <class T, size_t N> struct VkCharOf<T (&)[N]> { typedef T type; };
template <class T, size_t N> struct VkCharOf<const T (&)[N]> { typedef T type; };
#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), const_cast<VkCharOf<decltype(s)>::type *>(s) }
extern "C" {
#else
#define RTL_CONSTANT_STRING(s) { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (s) }
#endif

/* ---- Debug output and assertions ---------------------------------------- */

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_SYSTEM_ID 0
#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVBUS_ID 78

/* Windows printf conventions (%wZ, %I64x, %ws, ...), so no GCC format checking. */
NTSYSAPI ULONG __cdecl DbgPrint(PCSTR Format, ...);
NTSYSAPI ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTSYSAPI ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist);
NTSYSAPI ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level,
                                           PCCH Format, va_list arglist);

/* Records a failed assertion (expression, file, line, optional message) and returns:
   execution goes on with the code after the assertion. */
NTSYSAPI VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                              PSTR MutableMessage);

/* Assertions are active in every build of the simulator. */
#define ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID)#exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID)#exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
#define NT_VERIFY(exp) ASSERT(exp)
#define RTL_SOFT_ASSERT(exp) ASSERT(exp)

#define KdPrint(x) DbgPrint x
#define KdPrintEx(x) DbgPrintEx x

/* ---- Registry query helpers --------------------------------------------- */

typedef NTSTATUS(NTAPI *PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

#ifdef __cplusplus
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56, "RTL_QUERY_REGISTRY_TABLE x64 layout");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultType) == 32, "x64 layout");
#endif

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_NOSTRING 0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                               PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                               PVOID Context, PVOID Environment);
NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment);
NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                              ULONG ValueType, PVOID ValueData, ULONG ValueLength);
NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSYSAPI NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSYSAPI NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);

/* ---- Key and value information records (ZwQueryKey / ZwQueryValueKey) ---- */

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,
    KeyCachedInformation = 4,
    KeyFlagsInformation = 5,
    KeyVirtualizationInformation = 6,
    KeyHandleTagsInformation = 7,
    MaxKeyInfoClass = 8
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength; /* bytes */
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
    KeyValueFullInformationAlign64 = 3,
    KeyValuePartialInformationAlign64 = 4,
    MaxKeyValueInfoClass = 5
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

#ifdef __cplusplus
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16, "x64 layout");
static_assert(offsetof(KEY_NODE_INFORMATION, Name) == 24, "x64 layout");
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44, "x64 layout");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "x64 layout");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20, "x64 layout");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "x64 layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "x64 layout");
#endif

VK_END_C

/*
 * 16-bit wide string helpers. The C library's wcs* functions work on a 32-bit
 * wchar_t on this host, so code must never reach them with WCHAR strings. These
 * overloads take WCHAR: in code compiled with -fshort-wchar WCHAR is wchar_t, so
 * wcslen(L"...") binds here; in host C++ WCHAR is char16_t and they coexist with
 * the C library's wchar_t versions as overloads. Such code must not include
 * <wchar.h> (it would declare the same names with C linkage for wchar_t).
 */
#ifdef __cplusplus
inline size_t wcslen(const WCHAR *s) {
    const WCHAR *p = s;
    while (*p) ++p;
    return (size_t)(p - s);
}
inline size_t wcsnlen(const WCHAR *s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}
inline int wcscmp(const WCHAR *a, const WCHAR *b) {
    while (*a && *a == *b) { ++a; ++b; }
    return (int)(USHORT)*a - (int)(USHORT)*b;
}
inline int wcsncmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (; n; --n, ++a, ++b) {
        if (*a != *b) return (int)(USHORT)*a - (int)(USHORT)*b;
        if (!*a) return 0;
    }
    return 0;
}
inline WCHAR vk_wupcase(WCHAR c) {
    return (c >= 'a' && c <= 'z') ? (WCHAR)(c - ('a' - 'A')) : RtlUpcaseUnicodeChar(c);
}
inline WCHAR towupper(WCHAR c) { return vk_wupcase(c); }
inline int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    for (;; ++a, ++b) {
        WCHAR ca = vk_wupcase(*a), cb = vk_wupcase(*b);
        if (ca != cb || !ca) return (int)(USHORT)ca - (int)(USHORT)cb;
    }
}
inline int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t n) {
    for (; n; --n, ++a, ++b) {
        WCHAR ca = vk_wupcase(*a), cb = vk_wupcase(*b);
        if (ca != cb) return (int)(USHORT)ca - (int)(USHORT)cb;
        if (!ca) return 0;
    }
    return 0;
}
inline WCHAR *wcscpy(WCHAR *d, const WCHAR *s) {
    WCHAR *r = d;
    while ((*d++ = *s++)) {}
    return r;
}
/* Like the C routine: pads with zeros up to n and does not terminate a source of n or more. */
inline WCHAR *wcsncpy(WCHAR *d, const WCHAR *s, size_t n) {
    size_t i = 0;
    for (; i < n && s[i]; ++i) d[i] = s[i];
    for (; i < n; ++i) d[i] = 0;
    return d;
}
inline WCHAR *wcscat(WCHAR *d, const WCHAR *s) {
    wcscpy(d + wcslen(d), s);
    return d;
}
inline WCHAR *wcschr(const WCHAR *s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return (WCHAR *)s;
        if (!*s) return NULL;
    }
}
inline WCHAR *wcsrchr(const WCHAR *s, WCHAR c) {
    const WCHAR *found = NULL;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return (WCHAR *)found;
    }
}
inline WCHAR *wcsstr(const WCHAR *h, const WCHAR *n) {
    size_t ln = wcslen(n);
    if (!ln) return (WCHAR *)h;
    for (; *h; ++h)
        if (!wcsncmp(h, n, ln)) return (WCHAR *)h;
    return NULL;
}
#endif
