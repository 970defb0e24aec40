// The string calls of Windows programs: kernel32's lstr* family, user32's wsprintf and CharUpper/
// CharLower, the code-page conversions, and the formatter behind the C runtime's Microsoft-style
// printf names (_snprintf, _snwprintf, swprintf in a program module).
//
// Wide strings are 16-bit units throughout (WCHAR): a program built with -fshort-wchar must
// never reach glibc's wcs* functions, which count 32-bit units.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "windows.h"

namespace {

// ---- Characters --------------------------------------------------------------------------------

template <typename Char>
std::size_t Length(const Char* text) {
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

// Case of the Latin-1 range (the letters of the ANSI code page a program meets in device and
// file names); other characters keep their case.
char16_t Upper(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    if (c == 0xFF) return 0x178;
    return c;
}
char16_t Lower(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c == 0x178) return 0xFF;
    return c;
}

// Code page 1252: bytes 0x80-0x9F are not Latin-1's controls.
constexpr char16_t k1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

char16_t From1252(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0) return k1252High[byte - 0x80];
    return byte;
}

// The 1252 byte of a character, or -1 when the code page has none.
int To1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (int i = 0; i < 32; ++i)
        if (k1252High[i] == c && c != 0xFFFD) return 0x80 + i;
    return -1;
}

template <typename Char>
char16_t UpperOf(Char c) {
    if constexpr (sizeof(Char) == 1) return Upper(From1252(static_cast<unsigned char>(c)));
    else return Upper(static_cast<char16_t>(c));
}

// lstrcmp's order: words compare letter by letter ignoring case first; only equal words are
// ordered by case, lower before upper ("a" < "A" < "b"), as CompareString's default does.
template <typename Char>
int Compare(const Char* a, const Char* b, bool ignoreCase) {
    if (!a) a = reinterpret_cast<const Char*>(u"");
    if (!b) b = reinterpret_cast<const Char*>(u"");
    int caseOrder = 0;
    for (std::size_t i = 0;; ++i) {
        const char16_t ca = UpperOf(a[i]), cb = UpperOf(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (!a[i]) break;
        if (!caseOrder && a[i] != b[i]) caseOrder = (Lower(ca) == static_cast<char16_t>(a[i])) ? -1 : 1;
    }
    return ignoreCase ? 0 : caseOrder;
}

template <typename Char>
Char ConvertCase(Char c, bool upper) {
    if constexpr (sizeof(Char) == 1) {
        const char16_t wide = From1252(static_cast<unsigned char>(c));
        const int back = To1252(upper ? Upper(wide) : Lower(wide));
        return back < 0 ? c : static_cast<Char>(back);
    } else {
        return static_cast<Char>(upper ? Upper(c) : Lower(c));
    }
}

// ---- Formatting ---------------------------------------------------------------------------------

enum class Style {
    User32,  // wsprintf: no floating point, no '*', at most 1024 characters
    Crt,     // the C runtime's printf family in Microsoft's dialect
};

template <typename Char>
void AppendNarrow(std::basic_string<Char>* out, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out->push_back(static_cast<Char>(static_cast<unsigned char>(text[i])));
}

// Formats `format` with Microsoft's conversions: %s is a string of the function's own width
// (%S, %hs, %ls choose), %c likewise, %I64/%I32/%I are sized integers, and a plain %ld is 32
// bits (a Windows long).
template <typename Char>
std::basic_string<Char> Format(const Char* format, va_list args, Style style) {
    std::basic_string<Char> out;
    for (const Char* p = format; *p; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        const Char* start = p++;
        std::string flags;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') flags.push_back(static_cast<char>(*p++));
        int width = -1, precision = -1;
        if (*p == '*' && style == Style::Crt) {
            width = va_arg(args, int);
            if (width < 0) {
                flags.push_back('-');
                width = -width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*' && style == Style::Crt) {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
            }
        }
        // Size: 0 = int, 8 = 8 bits, 16 = short, 64 = 64 bits, 'P' = pointer-sized, 'L' = long double
        int size = 0;
        int charWidth = 0;  // 1 narrow, 2 wide, 0 the function's own
        if (*p == 'h') {
            ++p;
            if (*p == 'h') {
                ++p;
                size = 8;
            } else {
                size = 16;
            }
            charWidth = 1;
        } else if (*p == 'l') {
            ++p;
            if (*p == 'l') {
                ++p;
                size = 64;
            }
            charWidth = 2;
        } else if (*p == 'w') {
            ++p;
            charWidth = 2;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            p += 3;
            size = 64;
        } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I') {
            ++p;
            size = 'P';
        } else if (*p == 'z' || *p == 't') {
            ++p;
            size = 'P';
        } else if (*p == 'j') {
            ++p;
            size = 64;
        } else if (*p == 'L') {
            ++p;
            size = 'L';
        }
        const Char conversion = *p;
        if (!conversion) {
            out.append(start, p);
            break;
        }
        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        if (precision >= 0) spec += "." + std::to_string(precision);
        char text[512];
        int n = -1;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            if (conversion == 'o' && style == Style::User32) break;
            const bool isSigned = conversion == 'd' || conversion == 'i';
            spec += "ll";
            spec += static_cast<char>(conversion);
            long long value;
            if (size == 64 || (size == 'P' && sizeof(void*) == 8)) {
                value = va_arg(args, long long);
            } else {
                const unsigned bits = va_arg(args, unsigned);
                if (size == 8) value = isSigned ? static_cast<signed char>(bits) : static_cast<unsigned char>(bits);
                else if (size == 16) value = isSigned ? static_cast<short>(bits) : static_cast<unsigned short>(bits);
                else value = isSigned ? static_cast<int>(bits) : bits;
            }
            n = std::snprintf(text, sizeof text, spec.c_str(), value);
            break;
        }
        case 'p': {
            // Windows prints a pointer as its full width of upper-case hex digits.
            const auto value = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
            n = std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                              static_cast<unsigned long long>(value));
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            if (style == Style::User32) break;
            if (size == 'L') spec += "L";
            spec += static_cast<char>(conversion);
            n = size == 'L' ? std::snprintf(text, sizeof text, spec.c_str(), va_arg(args, long double))
                            : std::snprintf(text, sizeof text, spec.c_str(), va_arg(args, double));
            break;
        }
        case 'c':
        case 'C':
        case 's':
        case 'S': {
            const bool own = conversion == 'c' || conversion == 's';
            bool wide = charWidth ? charWidth == 2 : (own ? sizeof(Char) == 2 : sizeof(Char) == 1);
            std::u16string value;
            if (conversion == 'c' || conversion == 'C') {
                const unsigned c = va_arg(args, unsigned);
                value.push_back(wide ? static_cast<char16_t>(c) : From1252(static_cast<unsigned char>(c)));
            } else {
                const void* string = va_arg(args, const void*);
                if (!string) {
                    value = u"(null)";
                } else if (wide) {
                    value = static_cast<const char16_t*>(string);
                } else {
                    for (auto* b = static_cast<const unsigned char*>(string); *b; ++b) value.push_back(From1252(*b));
                }
                if (precision >= 0 && value.size() > static_cast<std::size_t>(precision)) value.resize(precision);
            }
            const std::size_t pad = width > 0 && value.size() < static_cast<std::size_t>(width) ? width - value.size() : 0;
            const bool left = flags.find('-') != std::string::npos;
            if (!left) out.append(pad, static_cast<Char>(flags.find('0') != std::string::npos ? '0' : ' '));
            for (char16_t c : value) {
                if constexpr (sizeof(Char) == 1) {
                    const int b = To1252(c);
                    out.push_back(static_cast<Char>(b < 0 ? '?' : b));
                } else {
                    out.push_back(static_cast<Char>(c));
                }
            }
            if (left) out.append(pad, static_cast<Char>(' '));
            continue;
        }
        case '%': out.push_back('%'); continue;
        case 'n':
            if (style == Style::Crt) {
                // The count of characters written so far, into the program's int.
                *va_arg(args, int*) = static_cast<int>(out.size());
                continue;
            }
            break;
        default: break;
        }
        if (n < 0) {
            // Not a conversion this dialect knows: the character itself, as user32 prints it.
            out.push_back(conversion);
            continue;
        }
        AppendNarrow(&out, text, std::min<std::size_t>(n, sizeof text - 1));
    }
    if (style == Style::User32 && out.size() > 1023) out.resize(1023);
    return out;
}

template <typename Char>
int User32Format(Char* buffer, const Char* format, va_list args) {
    if (!buffer || !format) return 0;
    const auto text = Format(format, args, Style::User32);
    std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
    buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}

// ---- Code pages -----------------------------------------------------------------------------------

bool KnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == 1252 ||
           codePage == 437 || codePage == 20127 || codePage == CP_UTF8;
}

bool IsUtf8(UINT codePage) { return codePage == CP_UTF8; }

// One byte of an 8-bit code page as a character; the OEM page's upper half and plain ASCII's
// are not mapped here and read as the default character.
char16_t FromSingleByte(UINT codePage, unsigned char byte) {
    if (codePage == 437 || codePage == CP_OEMCP || codePage == 20127) return byte < 0x80 ? byte : 0xFFFD;
    return From1252(byte);
}

int ToSingleByte(UINT codePage, char16_t c) {
    if (codePage == 437 || codePage == CP_OEMCP || codePage == 20127) return c < 0x80 ? c : -1;
    return To1252(c);
}

// Decodes UTF-8; false at the first invalid sequence when `strict`, else U+FFFD stands for it.
bool DecodeUtf8(const unsigned char* in, std::size_t n, bool strict, std::u16string* out) {
    for (std::size_t i = 0; i < n;) {
        const unsigned char b = in[i];
        std::uint32_t cp;
        std::size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if (b >= 0xC2 && b < 0xE0) {
            cp = b & 0x1F;
            extra = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            cp = b & 0x0F;
            extra = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            cp = b & 0x07;
            extra = 3;
        } else {
            if (strict) return false;
            out->push_back(0xFFFD);
            ++i;
            continue;
        }
        std::size_t j = 1;
        for (; j <= extra && i + j < n && (in[i + j] & 0xC0) == 0x80; ++j) cp = (cp << 6) | (in[i + j] & 0x3F);
        const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
        if (j <= extra || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            if (strict) return false;
            out->push_back(0xFFFD);
            i += j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

bool EncodeUtf8(const char16_t* in, std::size_t n, bool strict, std::string* out) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t cp = in[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp < 0xE000) {
            if (strict) return false;
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

}  // namespace

extern "C" {

// ---- kernel32's lstr* ----------------------------------------------------------------------------

int lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(Length(lpString)) : 0; }
int lstrlenW(LPCWSTR lpString) { return lpString ? static_cast<int>(Length(lpString)) : 0; }

LPSTR lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1, lpString2, Length(lpString2) + 1);
    return lpString1;
}
LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1, lpString2, (Length(lpString2) + 1) * sizeof(WCHAR));
    return lpString1;
}

}  // extern "C"

// At most iMaxLength - 1 characters and always the terminator: the string may be cut.
template <typename Char>
static Char* CopyN(Char* to, const Char* from, int max) {
    if (!to || !from) return nullptr;
    if (max <= 0) return to;
    int i = 0;
    for (; i < max - 1 && from[i]; ++i) to[i] = from[i];
    to[i] = 0;
    return to;
}

extern "C" {

LPSTR lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) { return CopyN(lpString1, lpString2, iMaxLength); }
LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    return CopyN(lpString1, lpString2, iMaxLength);
}

LPSTR lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1 + Length(lpString1), lpString2, Length(lpString2) + 1);
    return lpString1;
}
LPWSTR lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    std::memmove(lpString1 + Length(lpString1), lpString2, (Length(lpString2) + 1) * sizeof(WCHAR));
    return lpString1;
}

int lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) { return Compare(lpString1, lpString2, false); }
int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, false); }
int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) { return Compare(lpString1, lpString2, true); }
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, true); }

// ---- user32 ------------------------------------------------------------------------------------------

int wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) { return User32Format(lpOut, lpFmt, arglist); }
int wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist) { return User32Format(lpOut, lpFmt, arglist); }
int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    const int n = User32Format(lpOut, lpFmt, args);
    va_end(args);
    return n;
}
int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    const int n = User32Format(lpOut, lpFmt, args);
    va_end(args);
    return n;
}

}  // extern "C"

// A pointer whose high word is zero stands for one character, converted and returned in place.
template <typename Char>
static Char* CaseOfString(Char* text, bool upper) {
    const auto value = reinterpret_cast<std::uintptr_t>(text);
    if ((value >> 16) == 0) {
        return reinterpret_cast<Char*>(
            static_cast<std::uintptr_t>(static_cast<std::make_unsigned_t<Char>>(ConvertCase(static_cast<Char>(value), upper))));
    }
    for (Char* c = text; *c; ++c) *c = ConvertCase(*c, upper);
    return text;
}
template <typename Char>
static DWORD CaseOfBuffer(Char* text, DWORD length, bool upper) {
    if (!text) return 0;
    for (DWORD i = 0; i < length; ++i) text[i] = ConvertCase(text[i], upper);
    return length;
}

extern "C" {

LPSTR CharUpperA(LPSTR lpsz) { return CaseOfString(lpsz, true); }
LPWSTR CharUpperW(LPWSTR lpsz) { return CaseOfString(lpsz, true); }
LPSTR CharLowerA(LPSTR lpsz) { return CaseOfString(lpsz, false); }
LPWSTR CharLowerW(LPWSTR lpsz) { return CaseOfString(lpsz, false); }
DWORD CharUpperBuffA(LPSTR lpsz, DWORD cchLength) { return CaseOfBuffer(lpsz, cchLength, true); }
DWORD CharUpperBuffW(LPWSTR lpsz, DWORD cchLength) { return CaseOfBuffer(lpsz, cchLength, true); }
DWORD CharLowerBuffA(LPSTR lpsz, DWORD cchLength) { return CaseOfBuffer(lpsz, cchLength, false); }
DWORD CharLowerBuffW(LPWSTR lpsz, DWORD cchLength) { return CaseOfBuffer(lpsz, cchLength, false); }

// ---- Code pages ---------------------------------------------------------------------------------------

UINT GetACP(void) { return 1252; }
UINT GetOEMCP(void) { return 437; }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar && (!lpWideCharStr || static_cast<const void*>(lpMultiByteStr) == lpWideCharStr)))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!KnownCodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
    if (IsUtf8(CodePage) ? (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0
                         : (dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS | MB_USEGLYPHCHARS)) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    // -1: the string and its terminator.
    const std::size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    std::u16string wide;
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    if (IsUtf8(CodePage)) {
        if (!DecodeUtf8(bytes, n, strict, &wide)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const char16_t c = FromSingleByte(CodePage, bytes[i]);
            if (c == 0xFFFD && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
            wide.push_back(c);
        }
    }
    if (cchWideChar == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<std::size_t>(cchWideChar)) {
        // What fits is written, as kernel32 does, and the call fails.
        std::memcpy(lpWideCharStr, wide.data(), cchWideChar * sizeof(WCHAR));
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte && (!lpMultiByteStr || static_cast<const void*>(lpMultiByteStr) == lpWideCharStr)))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!KnownCodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
    // UTF-8 has no default character.
    if (IsUtf8(CodePage) && (lpDefaultChar || lpUsedDefaultChar)) return Fail(ERROR_INVALID_PARAMETER);
    if (IsUtf8(CodePage) ? (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0
                         : (dwFlags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK | WC_DEFAULTCHAR |
                                                           WC_DISCARDNS | WC_SEPCHARS)) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    const auto* wide = reinterpret_cast<const char16_t*>(lpWideCharStr);
    const std::size_t n = cchWideChar < 0 ? Length(wide) + 1 : static_cast<std::size_t>(cchWideChar);
    std::string bytes;
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (IsUtf8(CodePage)) {
        if (!EncodeUtf8(wide, n, (dwFlags & WC_ERR_INVALID_CHARS) != 0, &bytes))
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
    } else {
        const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        for (std::size_t i = 0; i < n; ++i) {
            const int b = ToSingleByte(CodePage, wide[i]);
            if (b < 0) {
                bytes.push_back(fallback);
                if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
            } else {
                bytes.push_back(static_cast<char>(b));
            }
        }
    }
    if (cbMultiByte == 0) return static_cast<int>(bytes.size());
    if (bytes.size() > static_cast<std::size_t>(cbMultiByte)) {
        std::memcpy(lpMultiByteStr, bytes.data(), cbMultiByte);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

// ---- The C runtime's formatter, for program modules (runtime and crt) ------------------------------

// Formats into `buffer` (at most `capacity` characters, the terminator included when it fits)
// and returns the length of the whole text, as C99's vsnprintf counts it.
std::size_t VkProgramFormatA(char* buffer, std::size_t capacity, const char* format, va_list args) {
    const auto text = Format(format, args, Style::Crt);
    if (capacity) {
        const std::size_t n = std::min(text.size(), capacity);
        std::memcpy(buffer, text.data(), n);
        if (n < capacity) buffer[n] = 0;
    }
    return text.size();
}

std::size_t VkProgramFormatW(char16_t* buffer, std::size_t capacity, const char16_t* format, va_list args) {
    const auto text = Format(format, args, Style::Crt);
    if (capacity) {
        const std::size_t n = std::min(text.size(), capacity);
        std::memcpy(buffer, text.data(), n * sizeof(char16_t));
        if (n < capacity) buffer[n] = 0;
    }
    return text.size();
}

}  // extern "C"
