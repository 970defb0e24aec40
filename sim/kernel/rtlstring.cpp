// Run-time library string routines exported to drivers: counted strings,
// integer conversion, GUID text, and the ntstrsafe copy/cat/length family.
#include <cstdint>
#include <cstring>

#include "ntstrsafe.h"
#include "sim/format.h"
#include "vk/ex.h"
#include "vk/rtl.h"

namespace {

// Buffers that Rtl routines allocate for the caller come from paged pool, as
// on Windows; the caller releases them with RtlFree*String (or ExFreePool).
constexpr ULONG kRtlStringTag = 0x67727453;  // "Strg" in memory
constexpr ULONG kMaxCountedBytes = 0xFFFE;

void* AllocateString(SIZE_T bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, kRtlStringTag); }

const char16_t* U(PCWSTR s) { return reinterpret_cast<const char16_t*>(s); }

std::size_t WideLen(PCWSTR s) { return sim::WideLength(U(s)); }

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

int DigitValue(unsigned c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A' + 10);
    return 99;
}

// Shared by RtlUnicodeStringToInteger and RtlCharToInteger: leading blanks, an
// optional sign, an optional 0x/0o/0b prefix when Base is 0, then digits up to
// the first character that is not a digit of the base.
template <class GetChar>
NTSTATUS ParseInteger(std::size_t length, GetChar at, ULONG base, PULONG value) {
    if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    if (!value) return STATUS_ACCESS_VIOLATION;
    std::size_t i = 0;
    while (i < length && at(i) <= ' ' && at(i) != 0) ++i;
    bool negative = false;
    if (i < length && (at(i) == '+' || at(i) == '-')) {
        negative = at(i) == '-';
        ++i;
    }
    if (base == 0) {
        base = 10;
        if (i + 1 < length && at(i) == '0') {
            unsigned p = at(i + 1);
            if (p == 'x') base = 16, i += 2;
            else if (p == 'o') base = 8, i += 2;
            else if (p == 'b') base = 2, i += 2;
        }
    }
    ULONG total = 0;
    for (; i < length && at(i) != 0; ++i) {
        int d = DigitValue(at(i));
        if (d >= static_cast<int>(base)) break;
        total = total * base + static_cast<ULONG>(d);
    }
    *value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

bool ValidCounted(PCUNICODE_STRING s) {
    return s && (s->Length % 2) == 0 && (s->MaximumLength % 2) == 0 && s->Length <= s->MaximumLength &&
           (s->Buffer || s->MaximumLength == 0);
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = WideLen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = std::strlen(SourceString);
    if (bytes > kMaxCountedBytes - 1) bytes = kMaxCountedBytes - 1;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                        : DestinationString->MaximumLength;
    n &= static_cast<USHORT>(~1u);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    std::size_t n = WideLen(Source) * sizeof(WCHAR);
    if (Destination->Length + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source, n);
    Destination->Length = static_cast<USHORT>(Destination->Length + n);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    std::size_t n = Source->Length;
    if (n == 0) return STATUS_SUCCESS;
    if (Destination->Length + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, n);
    Destination->Length = static_cast<USHORT>(Destination->Length + n);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    std::size_t n = n1 < n2 ? n1 : n2;
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    for (std::size_t i = 0; i < String1->Length / 2u; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t needed = (static_cast<std::size_t>(SourceString->Length) + 1) * sizeof(WCHAR);
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    std::size_t length = needed - sizeof(WCHAR);
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(AllocateString(needed));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (length >= DestinationString->MaximumLength) {
        // The converted text and its terminator must fit.
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    DestinationString->Buffer[SourceString->Length] = 0;
    DestinationString->Length = static_cast<USHORT>(length);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t chars = SourceString->Length / 2u;
    std::size_t needed = chars + 1;
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(AllocateString(needed));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > DestinationString->MaximumLength) {
        // Windows converts what fits (keeping room for the terminator) and reports the overflow.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        chars = DestinationString->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < chars; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(chars);
    return status;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(AllocateString(SourceString->Length ? SourceString->Length : 2));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = SourceString->Length;
    } else if (SourceString->Length > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < SourceString->Length / 2u; ++i)
        DestinationString->Buffer[i] = Upcase(SourceString->Buffer[i]);
    DestinationString->Length = SourceString->Length;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char digits[65];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value);
    std::size_t bytes = static_cast<std::size_t>(n) * sizeof(WCHAR);
    // The digits and a terminator must fit.
    if (bytes >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    return RtlInt64ToUnicodeString(Value, Base, String);
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    return ParseInteger(String->Length / 2u, [&](std::size_t i) { return static_cast<unsigned>(String->Buffer[i]); },
                        Base, Value);
}

NTSTATUS RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    return ParseInteger(std::strlen(String), [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(String[i])); },
                        Base, Value);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 0x20);
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);  // Greek
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);                // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    if (c >= 0x100 && c <= 0x17F && (c & 1) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F &&
        !(c >= 0x139 && c <= 0x148))
        return static_cast<WCHAR>(c - 1);  // Latin Extended-A pairs
    return c;
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c) {
    if (c >= 'A' && c <= 'Z') return static_cast<WCHAR>(c + 0x20);
    if (c < 0x80) return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 0x20);
    if (c == 0x178) return 0xFF;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F) return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 0x50);
    return c;
}

CHAR RtlUpperChar(CHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<CHAR>(c - 0x20) : c; }

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

NTSTATUS RtlStringFromGUID(const GUID* Guid, PUNICODE_STRING GuidString) {
    std::u16string text = sim::FormatWide(u"{%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid->Data1,
                                          Guid->Data2, Guid->Data3, Guid->Data4[0], Guid->Data4[1], Guid->Data4[2],
                                          Guid->Data4[3], Guid->Data4[4], Guid->Data4[5], Guid->Data4[6],
                                          Guid->Data4[7]);
    std::size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(AllocateString(bytes));
    if (!buffer) return STATUS_NO_MEMORY;
    std::memcpy(buffer, text.c_str(), bytes);
    GuidString->Buffer = buffer;
    GuidString->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    GuidString->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    static const char kShape[] = "{........-....-....-....-............}";
    if (GuidString->Length != (sizeof(kShape) - 1) * 2) return STATUS_INVALID_PARAMETER;
    unsigned char nibbles[32];
    int n = 0;
    for (std::size_t i = 0; i < sizeof(kShape) - 1; ++i) {
        unsigned c = GuidString->Buffer[i];
        if (kShape[i] != '.') {
            if (c != static_cast<unsigned char>(kShape[i])) return STATUS_INVALID_PARAMETER;
            continue;
        }
        int d = DigitValue(c);
        if (d > 15) return STATUS_INVALID_PARAMETER;
        nibbles[n++] = static_cast<unsigned char>(d);
    }
    auto take = [&](int from, int count) {
        ULONGLONG v = 0;
        for (int i = 0; i < count; ++i) v = (v << 4) | nibbles[from + i];
        return v;
    };
    Guid->Data1 = static_cast<ULONG>(take(0, 8));
    Guid->Data2 = static_cast<USHORT>(take(8, 4));
    Guid->Data3 = static_cast<USHORT>(take(12, 4));
    for (int i = 0; i < 8; ++i) Guid->Data4[i] = static_cast<UCHAR>(take(16 + 2 * i, 2));
    return STATUS_SUCCESS;
}

// ---- ntstrsafe copy / cat / length --------------------------------------

}  // extern "C"

namespace {

template <class Ch>
NTSTATUS CopyWorker(Ch* dest, std::size_t cchDest, const Ch* src, std::size_t cchToCopy) {
    std::size_t i = 0;
    while (i + 1 < cchDest && i < cchToCopy && src[i]) {
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    bool more = i < cchToCopy && src[i] != 0;
    return more ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <class Ch>
NTSTATUS Copy(Ch* dest, std::size_t cchDest, const Ch* src, std::size_t cchToCopy) {
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    if (!src || cchToCopy > NTSTRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return CopyWorker(dest, cchDest, src, cchToCopy);
}

template <class Ch>
NTSTATUS Cat(Ch* dest, std::size_t cchDest, const Ch* src) {
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    std::size_t len = 0;
    while (len < cchDest && dest[len]) ++len;
    if (len == cchDest) return STATUS_INVALID_PARAMETER;  // destination not terminated
    if (!src) return STATUS_INVALID_PARAMETER;
    return CopyWorker(dest + len, cchDest - len, src, NTSTRSAFE_MAX_CCH);
}

template <class Ch>
NTSTATUS Length(const Ch* psz, std::size_t cchMax, std::size_t* pcch) {
    if (!psz || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcch) *pcch = 0;
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t n = 0;
    while (n < cchMax && psz[n]) ++n;
    if (n == cchMax) {
        if (pcch) *pcch = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pcch) *pcch = n;
    return STATUS_SUCCESS;
}

// Counted destination: text may fill the whole buffer; no terminator.
NTSTATUS CountedPut(PUNICODE_STRING dest, const WCHAR* src, std::size_t srcChars, bool append) {
    if (!ValidCounted(dest)) return STATUS_INVALID_PARAMETER;
    std::size_t at = append ? dest->Length / 2u : 0;
    std::size_t room = dest->MaximumLength / 2u - at;
    std::size_t n = srcChars < room ? srcChars : room;
    if (n) std::memmove(dest->Buffer + at, src, n * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>((at + n) * sizeof(WCHAR));
    return n < srcChars ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return Copy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return Copy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return Copy(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return Copy(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}
NTSTATUS RtlStringCchCopyNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy) {
    return Copy(pszDest, cchDest, pszSrc, cchToCopy);
}
NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy) {
    return Copy(pszDest, cchDest, pszSrc, cchToCopy);
}
NTSTATUS RtlStringCbCopyNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy) {
    return Copy(pszDest, cbDest, pszSrc, cbToCopy);
}
NTSTATUS RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy) {
    return Copy(pszDest, cbDest / sizeof(WCHAR), pszSrc, cbToCopy / sizeof(WCHAR));
}
NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc) {
    return Cat(pszDest, cchDest, pszSrc);
}
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    return Cat(pszDest, cchDest, pszSrc);
}
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc) {
    return Cat(pszDest, cbDest, pszSrc);
}
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return Cat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return Length(psz, cchMax, pcchLength);
}
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return Length(psz, cchMax, pcchLength);
}
NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return Length(psz, cbMax, pcbLength);
}
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    NTSTATUS s = Length(psz, cbMax / sizeof(WCHAR), pcbLength);
    if (pcbLength) *pcbLength *= sizeof(WCHAR);
    return s;
}

NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (!pszSrc) return STATUS_INVALID_PARAMETER;
    return CountedPut(DestinationString, pszSrc, WideLen(pszSrc), false);
}
NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!ValidCounted(SourceString)) return STATUS_INVALID_PARAMETER;
    return CountedPut(DestinationString, SourceString->Buffer, SourceString->Length / 2u, false);
}
NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (!pszSrc) return STATUS_INVALID_PARAMETER;
    return CountedPut(DestinationString, pszSrc, WideLen(pszSrc), true);
}
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!ValidCounted(SourceString)) return STATUS_INVALID_PARAMETER;
    return CountedPut(DestinationString, SourceString->Buffer, SourceString->Length / 2u, true);
}

}  // extern "C"
