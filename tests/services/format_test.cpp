// The Windows printf rules that driver traces and ntstrsafe callers rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ntstrsafe.h"
#include "sim/format.h"

namespace {

using sim::FormatNarrow;
using sim::FormatWide;

TEST(WindowsPrintf, PointersPrintAsSixteenUppercaseDigitsWithoutPrefix) {
    void* p = reinterpret_cast<void*>(0x00007ffdeadbeef0ULL);
    EXPECT_EQ(FormatNarrow("%p", p), "00007FFDEADBEEF0");
    EXPECT_EQ(FormatNarrow("0x%p", nullptr), "0x0000000000000000");
    EXPECT_EQ(FormatNarrow("[%20p]", p), "[    00007FFDEADBEEF0]");
}

TEST(WindowsPrintf, IntConversionOfAPointerArgumentSeesItsLow32Bits) {
    // Drivers trace pointers with 0x%08x; on x64 Windows that shows the low half.
    void* p = reinterpret_cast<void*>(0xffffa0012345abcdULL);
    EXPECT_EQ(FormatNarrow("0x%08x", p), "0x2345abcd");
    EXPECT_EQ(FormatNarrow("%x %x", p, 7), "2345abcd 7");  // the next argument is not shifted
}

TEST(WindowsPrintf, LongIsThirtyTwoBitsAndI64OrLlIsSixtyFour) {
    EXPECT_EQ(FormatNarrow("%lx", 0xffffffffUL), "ffffffff");
    EXPECT_EQ(FormatNarrow("%I64x", 0x123456789aULL), "123456789a");
    EXPECT_EQ(FormatNarrow("%llu", 18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(FormatNarrow("%I64d", -5LL), "-5");
    EXPECT_EQ(FormatNarrow("%Iu %zu", size_t{1} << 40, size_t{3}), "1099511627776 3");
    EXPECT_EQ(FormatNarrow("%ld", -1), "-1");
    EXPECT_EQ(FormatNarrow("%hd %hhu", 70000, 257), "4464 1");
}

TEST(WindowsPrintf, NtStatusCodesInTheTraceStyle) {
    EXPECT_EQ(FormatNarrow("status 0x%08x", static_cast<int>(0xC0000034)), "status 0xc0000034");
    EXPECT_EQ(FormatNarrow("(NTSTATUS 0x%08X)", 0x80000005), "(NTSTATUS 0x80000005)");
    EXPECT_EQ(FormatNarrow("(SCSI CHECK %X/%X/%X)", 6, 0x29, 0), "(SCSI CHECK 6/29/0)");
}

TEST(WindowsPrintf, WidthPrecisionAndFlags) {
    EXPECT_EQ(FormatNarrow("[%5d|%-5d|%05d]", 42, 42, -42), "[   42|42   |-0042]");
    EXPECT_EQ(FormatNarrow("[%+d|% d|%.3d|%#x|%#o|%#X]", 5, 5, 7, 255, 8, 0), "[+5| 5|007|0xff|010|0]");
    EXPECT_EQ(FormatNarrow("[%*d|%-*d|%.*s]", 4, 1, -3, 2, 2, "abcdef"), "[   1|2  |ab]");
    EXPECT_EQ(FormatNarrow("[%.0d]", 0), "[]");
    EXPECT_EQ(FormatNarrow("[%08.3d]", 5), "[     005]");  // a precision turns zero padding off
    EXPECT_EQ(FormatNarrow("100%%"), "100%");
}

TEST(WindowsPrintf, TraceLinePrefixesKeepTheirColumns) {
    const char* ent9 = "VorkaTpBus: ENT: %d ->%d: %s, %d: ";
    EXPECT_EQ(FormatNarrow(ent9, 9, 10, "bus.c", 120), "VorkaTpBus: ENT: 9 ->10: bus.c, 120: ");
    EXPECT_EQ(FormatNarrow("VorkaTpBus: DBG:         %s, %d: ", "pdo.c", 7), "VorkaTpBus: DBG:         pdo.c, 7: ");
}

TEST(WindowsPrintf, NarrowOutputPrintsWideStringsWithCapitalSOrWs) {
    const char16_t* wide = u"Tape0";
    EXPECT_EQ(FormatNarrow("%S|%ws|%ls", wide, wide, wide), "Tape0|Tape0|Tape0");
    EXPECT_EQ(FormatNarrow("%s|%hs", "abc", "def"), "abc|def");
    EXPECT_EQ(FormatNarrow("[%-7S]", wide), "[Tape0  ]");
    EXPECT_EQ(FormatNarrow("%.2S", wide), "Ta");
    EXPECT_EQ(FormatNarrow("%c%C%wc", 'a', u'b', u'c'), "abc");
    EXPECT_EQ(FormatNarrow("%S", u"\u00e9\u4e2d"), "\xe9?");  // outside the code page: '?'
}

TEST(WindowsPrintf, CountedStringsPrintOnlyTheirLength) {
    char16_t buffer[] = u"Tape12garbage";
    UNICODE_STRING us{12, sizeof buffer, reinterpret_cast<PWSTR>(buffer)};
    EXPECT_EQ(FormatNarrow("%wZ", &us), "Tape12");
    char abuffer[] = "SERNUM_XYZ";
    ANSI_STRING as{6, sizeof abuffer, abuffer};
    EXPECT_EQ(FormatNarrow("%Z", &as), "SERNUM");
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(FormatNarrow("%wZ|%s|%S", &empty, static_cast<char*>(nullptr), static_cast<char16_t*>(nullptr)),
              "(null)|(null)|(null)");
}

TEST(WindowsPrintf, WideOutputTreatsLowercaseSAsWideAndCapitalSAsNarrow) {
    EXPECT_EQ(FormatWide(u"%s-%S-%hs-%ls", u"wide", "narrow", "h", u"l"), u"wide-narrow-h-l");
    EXPECT_EQ(FormatWide(u"%c%C", u'w', 'n'), u"wn");
    EXPECT_EQ(FormatWide(u"Tape%d", 5655361), u"Tape5655361");
}

TEST(WindowsPrintf, PercentNIsRefusedAndHugeWidthsStayBounded) {
    int count = 0;
    auto refused = [&] {
        char out[32];
        return RtlStringCbPrintfA(out, sizeof out, "ab%n", &count);
    };
    EXPECT_EQ(refused(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0);
    char small[8];
    EXPECT_EQ(RtlStringCbPrintfA(small, sizeof small, "%2000000000d", 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(small, "       ");
}

// ---- ntstrsafe ---------------------------------------------------------------

TEST(BoundedPrintf, TextThatFitsExactlySucceedsAndOneMoreByteOverflows) {
    char buf[6];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "abcde"), STATUS_SUCCESS);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "abcde");  // cut and always terminated
}

TEST(BoundedPrintf, ATraceMessageLongerThanTheBufferIsCutAtItsEnd) {
    // The trace facility formats a message into what is left of its 256-byte buffer.
    char buffer[256] = {};
    int used = std::snprintf(buffer, sizeof buffer, "VorkaTpBus: DBG:         %s, %d: ", "bus.c", 42);
    std::string longText(400, 'x');
    NTSTATUS s = RtlStringCbPrintfA(buffer + used, sizeof buffer - used, "%s\n", longText.c_str());
    EXPECT_EQ(s, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::strlen(buffer), 255u);
    EXPECT_EQ(buffer[254], 'x');
}

TEST(BoundedPrintf, ZeroOrOversizedDestinationsAreInvalid) {
    char buf[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(RtlStringCbPrintfA(buf, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(buf, "abc");  // nothing written
    EXPECT_EQ(RtlStringCchPrintfA(buf, size_t{NTSTRSAFE_MAX_CCH} + 1, "x"), STATUS_INVALID_PARAMETER);
    WCHAR w[1];
    EXPECT_EQ(RtlStringCbPrintfW(w, 1, u"x"), STATUS_INVALID_PARAMETER);  // less than one character
}

TEST(BoundedPrintf, WideFormsCountCharactersOrBytes) {
    WCHAR w[8];
    EXPECT_EQ(RtlStringCbPrintfW(w, sizeof w, u"Tape%d", 12), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"Tape12");
    EXPECT_EQ(RtlStringCchPrintfW(w, 5, u"%s", u"Changer"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(w), u"Chan");
    EXPECT_EQ(RtlStringCbPrintfW(w, 9, u"%s", u"abcdefgh"), STATUS_BUFFER_OVERFLOW);  // 9 bytes hold 4 characters
    EXPECT_EQ(std::u16string(w), u"abc");
}

TEST(BoundedPrintf, CountedStringPrintfUsesTheWholeBufferWithoutTerminator) {
    WCHAR storage[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
    UNICODE_STRING us{0, 8, storage};  // room for 4 characters
    EXPECT_EQ(RtlUnicodeStringPrintf(&us, u"%d", 1234), STATUS_SUCCESS);
    EXPECT_EQ(us.Length, 8);
    EXPECT_EQ(storage[4], u'#');  // no terminator beyond MaximumLength
    EXPECT_EQ(RtlUnicodeStringPrintf(&us, u"%d", 123456), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(storage), 4), u"1234");
    UNICODE_STRING bad{6, 4, storage};
    EXPECT_EQ(RtlUnicodeStringPrintf(&bad, u"x"), STATUS_INVALID_PARAMETER);
}

TEST(BoundedStrings, CopyCatAndLengthReportCutsAndMissingTerminators) {
    char buf[8];
    EXPECT_EQ(RtlStringCbCopyA(buf, sizeof buf, "vorka"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatA(buf, sizeof buf, "tbus"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "vorkatb");
    size_t len = 99;
    EXPECT_EQ(RtlStringCbLengthA(buf, sizeof buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 7u);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RtlStringCbLengthA(unterminated, sizeof unterminated, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(RtlStringCbCatA(unterminated, sizeof unterminated, "x"), STATUS_INVALID_PARAMETER);

    WCHAR w[6];
    EXPECT_EQ(RtlStringCchCopyW(w, 6, u"SERNUM_"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(w), u"SERNU");
    EXPECT_EQ(RtlStringCbLengthW(w, sizeof w, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 10u);  // bytes
    EXPECT_EQ(RtlStringCchCopyNW(w, 6, u"WWNN_0001", 4), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(w), u"WWNN");
}

}  // namespace
