// Windows printf semantics for the simulated kernel (DbgPrint, ntstrsafe) and
// the text conversions between the kernel's 16-bit strings and host strings.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

// Outcome of one formatting call.
template <class Ch>
struct FormatOutput {
    std::basic_string<Ch> text;  // at most `limit` characters (no terminator counted)
    bool truncated = false;      // the full text would have been longer than `limit`
    bool refused = false;        // the format asked for %n; formatting stopped there
};

// Formats like the Windows CRT/kernel printf family on x64 (LLP64): %ld is 32
// bits, %I64d / %lld 64 bits, %p prints 16 uppercase hex digits, %wZ / %Z print
// a UNICODE_STRING / ANSI_STRING, %S / %ws in narrow output print a 16-bit
// string (in wide output %s is wide and %S narrow). Variable arguments are read
// as the C type the conversion names, so an int conversion given a 64-bit
// value sees its low 32 bits as on Windows. Output stops after `limit`
// characters, so a huge width cannot exhaust memory.
FormatOutput<char> FormatNarrowV(const char* format, va_list args, std::size_t limit);
FormatOutput<char16_t> FormatWideV(const char16_t* format, va_list args, std::size_t limit);

// Conveniences for host code and tests (no practical limit).
std::string FormatNarrow(const char* format, ...);
std::u16string FormatWide(const char16_t* format, ...);

// Code-page conversions the kernel uses where Windows uses its ANSI code page:
// 16-bit units below 0x100 map to the same byte, anything else to '?'.
std::string NarrowFromWide(std::u16string_view text);
std::u16string WideFromNarrow(std::string_view text);

// Proper Unicode conversions for host-facing text (file names, JSON, display).
// Unpaired surrogates become U+FFFD in UTF-8; invalid UTF-8 bytes become U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view text);

// Length of a NUL-terminated 16-bit string.
std::size_t WideLength(const char16_t* text);

}  // namespace sim
