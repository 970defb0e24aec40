// Message tables: the host message compiler, the table a driver image
// exports, and the event viewer's insertion rules.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "mcfile.h"
#include "sample.h"  // generated from data/sample.mc, like a driver's windmc header
#include "sim/msgtable.h"
#include "vk/basetypes.h"

extern "C" const unsigned char VorkaMessageTable[];  // generated from data/sample.mc

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MessageCompiler, SymbolicNamesCarrySeverityFacilityAndCode) {
    EXPECT_EQ(static_cast<ULONG>(SAMPLE_STARTED), 0x40000001u);
    EXPECT_EQ(static_cast<ULONG>(SAMPLE_STATUS) >> 30, 2u);  // warning
    EXPECT_EQ(static_cast<ULONG>(SAMPLE_INIT_FAILED), 0xC0000002u);
    EXPECT_EQ(static_cast<ULONG>(SAMPLE_TWO_LINES), 0xC0000003u);  // empty MessageId: previous code + 1
    EXPECT_EQ(static_cast<ULONG>(SAMPLE_IO_FACILITY), 0x40040007u);
    EXPECT_TRUE(NT_ERROR(SAMPLE_INIT_FAILED));
    EXPECT_TRUE(NT_INFORMATION(SAMPLE_STARTED));
}

TEST(MessageCompiler, TheExportedTableHoldsEveryTextWithItsInserts) {
    sim::MessageTable table(VorkaMessageTable);
    EXPECT_EQ(table.ids(), (std::vector<std::uint32_t>{0x40000001, 0x40040007, 0x80000004, 0xC0000002, 0xC0000003}));
    EXPECT_EQ(table.find(SAMPLE_STATUS),
              u"Sample driver received status %2 on IOCTL %3.  Failover will be attempted.\r\n");
    EXPECT_EQ(table.find(SAMPLE_TWO_LINES), u"First line of %1.\r\nSecond line, 100%% done.%0\r\n");
    EXPECT_EQ(table.find(SAMPLE_IO_FACILITY), u"ab\r\n");  // an entry that needs padding
    EXPECT_FALSE(table.find(0xC0000004));
    EXPECT_FALSE(table.find(0x00000001));
    EXPECT_FALSE(sim::MessageTable().find(SAMPLE_STATUS));
}

TEST(MessageCompiler, ProducesTheSameTableBytesAsWindmc) {
#ifndef VORKA_WINDMC_TABLE
    GTEST_SKIP() << "windmc is not installed";
#else
    std::string error;
    auto file = vkmc::Parse(ReadFile(VORKA_SAMPLE_MC), vkmc::Options{}, &error);
    ASSERT_TRUE(file) << error;
    auto ours = vkmc::BuildTable(*file, 0x409);
    std::string theirs = ReadFile(VORKA_WINDMC_TABLE);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(std::string(ours.begin(), ours.end()), theirs);
#endif
}

TEST(MessageCompiler, CustomerBitOptionMarksEveryId) {
    std::string error;
    auto file = vkmc::Parse(ReadFile(VORKA_SAMPLE_MC), vkmc::Options{true}, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->messages.front().id, 0x60000001u);
}

TEST(MessageCompiler, LineEndingsOfTheFileAreKeptAsWindmcDoes) {
    std::string error;
    auto file = vkmc::Parse("MessageId=1 SymbolicName=A\nLanguage=English\nfirst\nsecond%0\n.\n", {}, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->messages[0].texts.at(0x409), u"first\nsecond%0\n");
    EXPECT_EQ(file->messages[0].id, 1u);
}

TEST(MessageCompiler, ReportsMistakesWithTheirLine) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"MessageId=1\nLanguage=English\nno end\n", "not ended"},
        {"MessageId=1 Severity=Fatal\nLanguage=English\nx\n.\n", "line 1: unknown severity Fatal"},
        {"MessageId=1\nLanguage=English\nx\n.\nMessageId=1\nLanguage=English\ny\n.\n", "line 5: message id repeats"},
        {"Language=English\nx\n.\n", "line 1: Language before the first MessageId"},
        {"MessageId=1\nLanguage=German\nx\n.\n", "line 2: language German"},
        {"MessageId=0x10000\nLanguage=English\nx\n.\n", "does not fit in 16 bits"},
        {"SeverityNames=(Low=0x5)\n", "out of range"},
        {"FacilityNames=(A=1\n", "not closed"},
        {"MessageId=1 SymbolicName=X\n", "has no text"},
    };
    for (auto& c : cases) {
        std::string error;
        EXPECT_FALSE(vkmc::Parse(c.text, {}, &error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error;
    }
}

TEST(MessageCompiler, HeaderDefinesNamesLikeWindmc) {
    std::string error;
    auto file = vkmc::Parse("MessageId=5 SymbolicName=PLAIN\nLanguage=English\nx\n.\n", {}, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_NE(vkmc::BuildHeader(*file, "plain.mc").find("#define PLAIN  0x5\n"), std::string::npos);
    auto typed = vkmc::Parse(ReadFile(VORKA_SAMPLE_MC), {}, &error);
    ASSERT_TRUE(typed);
    std::string header = vkmc::BuildHeader(*typed, "sample.mc");
    EXPECT_NE(header.find("#define SAMPLE_STATUS (NTSTATUS) 0x80000004\n"), std::string::npos);
    EXPECT_NE(header.find("#define STATUS_SEVERITY_WARNING 0x2\n"), std::string::npos);
    EXPECT_NE(header.find(" // Message table of a small test driver"), std::string::npos);  // ';' comments kept
}

TEST(EventViewerText, InsertsAndEscapesExpandAsInTheViewer) {
    std::vector<std::u16string> inserts{u"\\Driver\\vorkatbus", u"0xC000000E", u"0x2D4800"};
    EXPECT_EQ(sim::ExpandMessage(u"%1 got %2 on %3.\r\n", inserts), u"\\Driver\\vorkatbus got 0xC000000E on 0x2D4800.\r\n");
    EXPECT_EQ(sim::ExpandMessage(u"%2!s! and %4", inserts), u"0xC000000E and %4");  // a missing insert stays
    EXPECT_EQ(sim::ExpandMessage(u"a%nb%tc%bd%%e%.%!", inserts), u"a\r\nb\tc d%e.!");
    EXPECT_EQ(sim::ExpandMessage(u"First line of %1.\r\nSecond, 100%% done.%0\r\n", {u"X"}),
              u"First line of X.\r\nSecond, 100% done.");
    EXPECT_EQ(sim::DisplayMessage(u"Line one\r\nLine two\r\n"), "Line one\nLine two");
}

}  // namespace
