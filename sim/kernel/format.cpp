// Windows printf engine for the simulated kernel and the ntstrsafe printf
// family exported to drivers.
#include "sim/format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ntstrsafe.h"

namespace sim {
namespace {

enum class Size { Default, Char, Short, Long, LongLong, Wide };

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    Size size = Size::Default;
    bool wideFlag = false;   // 'l' or 'w' given: wide character/string
    bool narrowFlag = false; // 'h' given: narrow character/string
};

// Caps what one conversion can produce, independent of the output limit, so
// "%2147483647d" cannot make the engine loop for minutes.
constexpr std::size_t kMaxField = 1u << 20;

template <class Ch>
class Engine {
public:
    Engine(va_list args, std::size_t limit) : limit_(limit) { va_copy(ap_, args); }
    ~Engine() { va_end(ap_); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    FormatOutput<Ch> Run(const Ch* p) {
        while (*p && !Full()) {
            if (*p != Ch('%')) {
                Put(*p++);
                continue;
            }
            const Ch* start = p++;
            if (*p == Ch('%')) {
                Put(Ch('%'));
                ++p;
                continue;
            }
            Spec s;
            p = ParseSpec(p, s);
            if (!*p) {
                // A lone '%' (or an incomplete spec) at the end prints nothing, as the CRT does.
                break;
            }
            if (!Convert(*p, s)) {
                if (out_.refused) break;
                // Unknown conversion: print the conversion text unchanged.
                for (const Ch* q = start; q <= p; ++q) Put(*q);
            }
            ++p;
        }
        return std::move(out_);
    }

private:
    bool Full() const { return out_.truncated; }

    void Put(Ch c) {
        if (out_.text.size() >= limit_) {
            out_.truncated = true;
            return;
        }
        out_.text.push_back(c);
    }
    void PutRepeat(Ch c, std::size_t n) {
        for (std::size_t i = 0; i < n && !Full(); ++i) Put(c);
    }

    const Ch* ParseSpec(const Ch* p, Spec& s) {
        for (;; ++p) {
            if (*p == Ch('-')) s.left = true;
            else if (*p == Ch('+')) s.plus = true;
            else if (*p == Ch(' ')) s.space = true;
            else if (*p == Ch('#')) s.alt = true;
            else if (*p == Ch('0')) s.zero = true;
            else break;
        }
        if (*p == Ch('*')) {
            int w = va_arg(ap_, int);
            if (w < 0) {
                s.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            s.width = static_cast<std::size_t>(w);
            ++p;
        } else {
            while (*p >= Ch('0') && *p <= Ch('9')) {
                s.width = std::min<std::size_t>(s.width * 10 + (*p - Ch('0')), kMaxField);
                ++p;
            }
        }
        if (*p == Ch('.')) {
            ++p;
            s.hasPrecision = true;
            if (*p == Ch('*')) {
                int pr = va_arg(ap_, int);
                if (pr < 0) s.hasPrecision = false;
                else s.precision = static_cast<std::size_t>(pr);
                ++p;
            } else {
                while (*p >= Ch('0') && *p <= Ch('9')) {
                    s.precision = std::min<std::size_t>(s.precision * 10 + (*p - Ch('0')), kMaxField);
                    ++p;
                }
            }
        }
        s.width = std::min(s.width, kMaxField);
        s.precision = std::min(s.precision, kMaxField);
        // Length modifiers (Microsoft and C99 forms).
        for (;;) {
            if (*p == Ch('h')) {
                if (p[1] == Ch('h')) {
                    s.size = Size::Char;
                    ++p;
                } else {
                    s.size = Size::Short;
                }
                s.narrowFlag = true;
                ++p;
            } else if (*p == Ch('l')) {
                if (p[1] == Ch('l')) {
                    s.size = Size::LongLong;
                    ++p;
                } else {
                    s.size = Size::Long;  // 32 bits on Windows
                    s.wideFlag = true;
                }
                ++p;
            } else if (*p == Ch('w')) {
                s.wideFlag = true;
                ++p;
            } else if (*p == Ch('L')) {
                ++p;  // long double / ignored for integers
            } else if (*p == Ch('I')) {
                if (p[1] == Ch('6') && p[2] == Ch('4')) {
                    s.size = Size::LongLong;
                    p += 3;
                } else if (p[1] == Ch('3') && p[2] == Ch('2')) {
                    s.size = Size::Long;
                    p += 3;
                } else {
                    s.size = Size::LongLong;  // pointer sized on x64
                    ++p;
                }
            } else if (*p == Ch('z') || *p == Ch('j') || *p == Ch('t')) {
                s.size = Size::LongLong;
                ++p;
            } else {
                break;
            }
        }
        return p;
    }

    // Pads and emits an already converted field.
    void EmitField(const Spec& s, const std::basic_string<Ch>& body) {
        std::size_t pad = s.width > body.size() ? s.width - body.size() : 0;
        if (!s.left) PutRepeat(Ch(' '), pad);
        for (Ch c : body) {
            if (Full()) return;
            Put(c);
        }
        if (s.left) PutRepeat(Ch(' '), pad);
    }

    void EmitInteger(const Spec& s, std::uint64_t magnitude, bool negative, bool isSigned,
                     unsigned base, bool upper, const char* altPrefix) {
        std::basic_string<Ch> digits;
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        for (std::uint64_t v = magnitude; v; v /= base) digits.insert(digits.begin(), Ch(set[v % base]));
        std::size_t minDigits = s.hasPrecision ? s.precision : 1;
        if (digits.size() < minDigits) digits.insert(0, minDigits - digits.size(), Ch('0'));
        std::basic_string<Ch> prefix;
        if (isSigned) {
            if (negative) prefix = Ch('-');
            else if (s.plus) prefix = Ch('+');
            else if (s.space) prefix = Ch(' ');
        }
        if (altPrefix && magnitude != 0) {
            for (const char* a = altPrefix; *a; ++a) prefix.push_back(Ch(*a));
        }
        if (base == 8 && s.alt && (digits.empty() || digits[0] != Ch('0'))) digits.insert(digits.begin(), Ch('0'));
        std::size_t len = prefix.size() + digits.size();
        if (s.zero && !s.left && !s.hasPrecision && s.width > len) {
            digits.insert(0, s.width - len, Ch('0'));
        }
        EmitField(s, prefix + digits);
    }

    std::int64_t ReadSigned(const Spec& s) {
        switch (s.size) {
        case Size::Char: return static_cast<signed char>(va_arg(ap_, int));
        case Size::Short: return static_cast<short>(va_arg(ap_, int));
        case Size::LongLong: return va_arg(ap_, long long);
        default: return va_arg(ap_, int);
        }
    }
    std::uint64_t ReadUnsigned(const Spec& s) {
        switch (s.size) {
        case Size::Char: return static_cast<unsigned char>(va_arg(ap_, unsigned int));
        case Size::Short: return static_cast<unsigned short>(va_arg(ap_, unsigned int));
        case Size::LongLong: return va_arg(ap_, unsigned long long);
        default: return va_arg(ap_, unsigned int);
        }
    }

    static constexpr bool kWideOutput = sizeof(Ch) == 2;

    // Whether a %s / %c of this spec names a 16-bit argument.
    bool WideArgument(Ch conversion, const Spec& s) const {
        bool upper = conversion == Ch('S') || conversion == Ch('C');
        if (s.wideFlag) return true;
        if (s.narrowFlag) return false;
        return kWideOutput ? !upper : upper;
    }

    void EmitNarrowString(const Spec& s, const char* str, std::size_t length, bool counted) {
        std::basic_string<Ch> body;
        std::size_t max = s.hasPrecision ? s.precision : SIZE_MAX;
        for (std::size_t i = 0; i < max && (counted ? i < length : str[i] != 0); ++i) {
            body.push_back(Ch(static_cast<unsigned char>(str[i])));
            if (body.size() > kMaxField) break;
        }
        EmitField(s, body);
    }
    void EmitWideString(const Spec& s, const char16_t* str, std::size_t length, bool counted) {
        std::basic_string<Ch> body;
        std::size_t max = s.hasPrecision ? s.precision : SIZE_MAX;
        for (std::size_t i = 0; i < max && (counted ? i < length : str[i] != 0); ++i) {
            char16_t c = str[i];
            if constexpr (kWideOutput) body.push_back(c);
            else body.push_back(c < 0x100 ? static_cast<char>(c) : '?');
            if (body.size() > kMaxField) break;
        }
        EmitField(s, body);
    }
    void EmitNull(const Spec& s) { EmitNarrowString(s, "(null)", 6, true); }

    bool Convert(Ch c, Spec& s) {
        switch (static_cast<char32_t>(c)) {
        case U'd':
        case U'i': {
            std::int64_t v = ReadSigned(s);
            std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            EmitInteger(s, mag, v < 0, true, 10, false, nullptr);
            return true;
        }
        case U'u': EmitInteger(s, ReadUnsigned(s), false, false, 10, false, nullptr); return true;
        case U'o': EmitInteger(s, ReadUnsigned(s), false, false, 8, false, nullptr); return true;
        case U'x': EmitInteger(s, ReadUnsigned(s), false, false, 16, false, s.alt ? "0x" : nullptr); return true;
        case U'X': EmitInteger(s, ReadUnsigned(s), false, false, 16, true, s.alt ? "0X" : nullptr); return true;
        case U'p': {
            auto v = reinterpret_cast<std::uintptr_t>(va_arg(ap_, void*));
            Spec ps = s;
            ps.hasPrecision = true;
            ps.precision = 16;
            ps.zero = false;
            EmitInteger(ps, v, false, false, 16, true, s.alt ? "0X" : nullptr);
            return true;
        }
        case U'c':
        case U'C': {
            int v = va_arg(ap_, int);
            if (WideArgument(c, s)) {
                char16_t w = static_cast<char16_t>(v);
                EmitWideString(Spec{s.left, false, false, false, false, s.width}, &w, 1, true);
            } else {
                char n = static_cast<char>(v);
                EmitNarrowString(Spec{s.left, false, false, false, false, s.width}, &n, 1, true);
            }
            return true;
        }
        case U's':
        case U'S': {
            const void* arg = va_arg(ap_, const void*);
            if (!arg) EmitNull(s);
            else if (WideArgument(c, s)) EmitWideString(s, static_cast<const char16_t*>(arg), 0, false);
            else EmitNarrowString(s, static_cast<const char*>(arg), 0, false);
            return true;
        }
        case U'Z': {
            const void* arg = va_arg(ap_, const void*);
            if (s.wideFlag) {
                // UNICODE_STRING: Length in bytes, then MaximumLength, then Buffer at offset 8.
                auto* us = static_cast<const UNICODE_STRING*>(arg);
                if (!us || !us->Buffer) EmitNull(s);
                else EmitWideString(s, reinterpret_cast<const char16_t*>(us->Buffer), us->Length / 2, true);
            } else {
                auto* as = static_cast<const ANSI_STRING*>(arg);
                if (!as || !as->Buffer) EmitNull(s);
                else EmitNarrowString(s, as->Buffer, as->Length, true);
            }
            return true;
        }
        case U'n':
            // Writing through an argument is never allowed: the caller gets a refusal.
            out_.refused = true;
            return false;
        case U'e':
        case U'E':
        case U'f':
        case U'F':
        case U'g':
        case U'G':
        case U'a':
        case U'A': {
            double d = va_arg(ap_, double);
            char fmt[32];
            std::snprintf(fmt, sizeof fmt, "%%%s%s%s%s%s*.*%c", s.left ? "-" : "", s.plus ? "+" : "",
                          s.space ? " " : "", s.alt ? "#" : "", s.zero ? "0" : "", static_cast<char>(c));
            char buf[512];
            int n = std::snprintf(buf, sizeof buf, fmt, static_cast<int>(std::min<std::size_t>(s.width, 256)),
                                  s.hasPrecision ? static_cast<int>(std::min<std::size_t>(s.precision, 100)) : 6, d);
            for (int i = 0; i < n && i < static_cast<int>(sizeof buf) - 1; ++i) Put(Ch(buf[i]));
            return true;
        }
        default:
            return false;
        }
    }

    va_list ap_;
    std::size_t limit_;
    FormatOutput<Ch> out_;
};

}  // namespace

FormatOutput<char> FormatNarrowV(const char* format, va_list args, std::size_t limit) {
    return Engine<char>(args, limit).Run(format);
}

FormatOutput<char16_t> FormatWideV(const char16_t* format, va_list args, std::size_t limit) {
    return Engine<char16_t>(args, limit).Run(format);
}

std::string FormatNarrow(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    auto r = FormatNarrowV(format, ap, SIZE_MAX);
    va_end(ap);
    return std::move(r.text);
}

std::u16string FormatWide(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    auto r = FormatWideV(format, ap, SIZE_MAX);
    va_end(ap);
    return std::move(r.text);
}

std::string NarrowFromWide(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string WideFromNarrow(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<unsigned char>(c));
    return out;
}

std::string Utf8FromUtf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string Utf16FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        char32_t cp;
        std::size_t extra;
        if (b < 0x80) { cp = b; extra = 0; }
        else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; extra = 3; }
        else { out.push_back(0xFFFD); ++i; continue; }
        if (extra && i + extra >= text.size()) {
            out.push_back(0xFFFD);
            break;
        }
        bool ok = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cb = static_cast<unsigned char>(text[i + k]);
            if ((cb & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (cb & 0x3F);
        }
        if (!ok) { out.push_back(0xFFFD); ++i; continue; }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::size_t WideLength(const char16_t* text) {
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

}  // namespace sim

// ---- ntstrsafe printf family ----------------------------------------------
//
// Semantics of the WDK inline functions: the destination must be non-empty
// and at most NTSTRSAFE_MAX_CCH characters; the text is always terminated; a
// text that does not fit is cut and STATUS_BUFFER_OVERFLOW returned.

namespace {

template <class Ch>
NTSTATUS PrintfInto(Ch* dest, std::size_t cchDest, const Ch* format, va_list args) {
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) {
        if (dest && cchDest != 0) dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    sim::FormatOutput<Ch> r;
    if constexpr (sizeof(Ch) == 1) r = sim::FormatNarrowV(format, args, cchDest - 1);
    else r = sim::FormatWideV(reinterpret_cast<const char16_t*>(format), args, cchDest - 1);
    if (r.refused) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(dest, r.text.data(), r.text.size() * sizeof(Ch));
    dest[r.text.size()] = 0;
    return r.truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    return PrintfInto(pszDest, cchDest, pszFormat, argList);
}
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return PrintfInto(pszDest, cchDest, pszFormat, argList);
}
NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, va_list argList) {
    return PrintfInto(pszDest, cbDest, pszFormat, argList);
}
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    return PrintfInto(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS s = PrintfInto(pszDest, cchDest, pszFormat, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS s = PrintfInto(pszDest, cchDest, pszFormat, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS s = PrintfInto(pszDest, cbDest, pszFormat, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS s = PrintfInto(pszDest, cbDest / sizeof(WCHAR), pszFormat, ap);
    va_end(ap);
    return s;
}

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    if (!DestinationString || (DestinationString->Length % 2) || (DestinationString->MaximumLength % 2) ||
        DestinationString->Length > DestinationString->MaximumLength ||
        (!DestinationString->Buffer && DestinationString->MaximumLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!pszFormat) return STATUS_INVALID_PARAMETER;
    std::size_t cch = DestinationString->MaximumLength / 2;
    auto r = sim::FormatWideV(reinterpret_cast<const char16_t*>(pszFormat), argList, cch);
    if (r.refused) {
        DestinationString->Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // A counted string needs no terminator: the whole buffer may hold text.
    if (cch) std::memcpy(DestinationString->Buffer, r.text.data(), r.text.size() * 2);
    DestinationString->Length = static_cast<USHORT>(r.text.size() * 2);
    return r.truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS s = RtlUnicodeStringVPrintf(DestinationString, pszFormat, ap);
    va_end(ap);
    return s;
}

}  // extern "C"
