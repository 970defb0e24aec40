// The trace facility as a driver developer reads it on the debugger: aligned depth columns, lines cut
// to the buffer, names of request codes and states, lines of concurrent threads never mixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include "cmntest_fixture.h"

using namespace vorka_test;

namespace {

// "VorkaCmnTst: ENT: 9 ->10: cmntest.cpp, 43: CmnTestNest: ulLevels 3"
const std::regex kEntExt(R"(^VorkaCmnTst: (ENT|EXT): ( ?\d+ ?-> ?\d+): cmntest\.cpp, \d+: CmnTestNest: (.*)$)");

struct DepthLine {
    std::string kind;     // ENT or EXT
    std::string column;   // the depth column as printed, e.g. "9 ->10"
    std::string line;
};

std::vector<DepthLine> NestLines(const TraceWindow& window) {
    std::vector<DepthLine> found;
    for (auto& line : window.linesContaining("CmnTestNest")) {
        std::smatch m;
        if (std::regex_match(line, m, kEntExt)) {
            found.push_back({m[1], m[2], line});
        }
    }
    return found;
}

class TraceFacility : public CmnTestDriver {
protected:
    void Nest(uint32_t levels) {
        CMNTEST_NEST nest{levels};
        ASSERT_EQ(Request(CMNTEST_IOCTL_NEST, &nest).status, STATUS_SUCCESS);
    }
    void Trace(const std::string& text, bool atDispatch = false) {
        CMNTEST_TRACE trace{};
        trace.atDispatch = atDispatch ? 1 : 0;
        std::snprintf(trace.text, sizeof(trace.text), "%s", text.c_str());
        ASSERT_EQ(Request(CMNTEST_IOCTL_TRACE, &trace).status, STATUS_SUCCESS);
    }
    std::string Name(uint32_t table, uint32_t index) {
        CMNTEST_NAME name{table, index, {}};
        EXPECT_EQ(Request(CMNTEST_IOCTL_NAME, &name).status, STATUS_SUCCESS);
        return name.name;
    }
};

}  // namespace

TEST_F(TraceFacility, NestedRoutinesShowTheirDepthInASixCharacterColumn) {
    TraceWindow window(machine());
    Nest(13);
    auto lines = NestLines(window);
    ASSERT_EQ(lines.size(), 26u);

    // Entries at depth 0..12 and exits back from 13 to 0, with the spacing variants that keep the
    // column six characters wide.
    std::vector<std::string> entries, exits;
    for (auto& l : lines) {
        (l.kind == "ENT" ? entries : exits).push_back(l.column);
    }
    EXPECT_EQ(entries[0], "0 -> 1");
    EXPECT_EQ(entries[8], "8 -> 9");
    EXPECT_EQ(entries[9], "9 ->10");
    EXPECT_EQ(entries[10], "10->11");
    EXPECT_EQ(entries[12], "12->13");
    EXPECT_EQ(exits[0], "13->12");
    EXPECT_EQ(exits[2], "11->10");
    EXPECT_EQ(exits[3], "10-> 9");
    EXPECT_EQ(exits[4], "9 -> 8");
    EXPECT_EQ(exits[12], "1 -> 0");
    for (auto& column : entries) EXPECT_EQ(column.size(), 6u) << column;
    for (auto& column : exits) EXPECT_EQ(column.size(), 6u) << column;

    // A step line puts its file name in the same column as the entry and exit lines.
    Trace("a step\n");
    auto step = window.linesContaining("a step");
    ASSERT_EQ(step.size(), 1u);
    EXPECT_EQ(step[0].find("VorkaCmnTst: DBG:         cmntest.cpp, "), 0u) << step[0];
    EXPECT_EQ(step[0].find("cmntest.cpp"), lines[9].line.find("cmntest.cpp"));
    EXPECT_EQ(step[0].find("cmntest.cpp"), lines[20].line.find("cmntest.cpp"));
}

TEST_F(TraceFacility, DepthReturnsToZeroAfterEveryRequest) {
    Nest(5);
    TraceWindow window(machine());
    Nest(1);
    auto lines = NestLines(window);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].column, "0 -> 1");
    EXPECT_EQ(lines[1].column, "1 -> 0");
}

// A machine that is not being debugged drops DbgPrint's component at its level: the drivers' lines
// are then neither formatted nor recorded, other components' output still is, and once the filter
// lets them through again the depth column is where the routines really are.
TEST_F(TraceFacility, WithTheDebugPrintFilterOffNoLineIsRecordedAndTheDepthStaysRight) {
    constexpr uint32_t kDefaultComponent = 101, kInfoLevel = 3, kErrorLevel = 0, kIhvDriver = 77;
    sim::TraceLog& log = machine().trace();
    EXPECT_EQ(log.filterState(kDefaultComponent, kInfoLevel), 1) << "everything is recorded at boot";

    ASSERT_TRUE(log.setFilter(kDefaultComponent, kInfoLevel, false));
    EXPECT_EQ(log.filterState(kDefaultComponent, kInfoLevel), 0);
    EXPECT_EQ(log.filterState(kDefaultComponent, kErrorLevel), 1) << "only the level turned off is off";
    EXPECT_EQ(log.filterState(kIhvDriver, kInfoLevel), 1) << "only the component turned off is off";
    EXPECT_EQ(log.filterState(kDefaultComponent, 0x80000000u | (1u << kInfoLevel)), 0) << "as a mask";
    EXPECT_EQ(log.filterState(sim::TraceLog::kFilterComponents, kInfoLevel), -1);
    EXPECT_FALSE(log.setFilter(sim::TraceLog::kFilterComponents, kInfoLevel, true));
    {
        TraceWindow window(machine());
        Nest(4);
        Trace("not recorded\n");
        EXPECT_TRUE(NestLines(window).empty());
        EXPECT_FALSE(window.contains("not recorded"));
    }

    ASSERT_TRUE(log.setFilter(kDefaultComponent, kInfoLevel, true));
    TraceWindow window(machine());
    Nest(2);
    auto lines = NestLines(window);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].column, "0 -> 1") << "the depth is back at zero";
    EXPECT_EQ(lines[3].column, "1 -> 0");
}

TEST_F(TraceFacility, OverlongMessageIsCutToTheBufferAndTheNextLineStartsClean) {
    TraceWindow window(machine());
    std::string longText(400, 'x');
    Trace(longText + "\n");
    Trace("after the long one\n");

    auto lines = window.lines();
    auto cut = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.find("xxxx") != std::string::npos; });
    ASSERT_NE(cut, lines.end());
    // 256 bytes of buffer: 255 characters of text (the last one the line end) and the terminator.
    EXPECT_EQ(cut->size(), 254u) << *cut;
    EXPECT_EQ(cut->find("VorkaCmnTst: DBG:         cmntest.cpp, "), 0u);
    EXPECT_EQ(cut->find_first_not_of('x', cut->find("xxxx")), std::string::npos) << "only the message follows the prefix";

    auto next = window.linesContaining("after the long one");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].find("VorkaCmnTst: DBG:"), 0u) << "the next line is a line of its own: " << next[0];
    EXPECT_EQ(next[0].find('x'), std::string::npos);
}

TEST_F(TraceFacility, TracingUnderASpinLockIsLegal) {
    // The verifier fails the test if the facility waits or touches pageable memory at DISPATCH_LEVEL.
    TraceWindow window(machine());
    Trace("traced at dispatch level\n", /*atDispatch=*/true);
    EXPECT_TRUE(window.contains("traced at dispatch level"));
}

TEST_F(TraceFacility, LinesOfConcurrentThreadsNeverMix) {
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    TraceWindow window(machine());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; i++) {
                char text[200];
                std::snprintf(text, sizeof(text), "storm %d %03d %s\n", t, i, std::string(120, char('a' + t)).c_str());
                Trace(text);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::set<std::string> seen;
    const std::regex whole(R"(^VorkaCmnTst: DBG:         cmntest\.cpp, \d+: storm (\d) (\d{3}) ([a-d]{120})$)");
    for (auto& line : window.linesContaining("storm")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << "mixed or damaged line: " << line;
        int t = std::stoi(m[1]);
        EXPECT_EQ(m[3].str(), std::string(120, char('a' + t))) << line;
        seen.insert(m[1].str() + " " + m[2].str());
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}

TEST_F(TraceFacility, RequestCodesAndStatesReadAsTheirNames) {
    // The PnP minor table follows the Windows code values, including the one code Windows never assigned.
    const std::pair<UCHAR, const char*> pnp[] = {
        {IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE"},
        {IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE"},
        {IRP_MN_QUERY_DEVICE_RELATIONS, "IRP_MN_QUERY_DEVICE_RELATIONS"},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, "IRP_MN_FILTER_RESOURCE_REQUIREMENTS"},
        {0x0E, "IRP_MN_VALUE UNKNOWN"},
        {IRP_MN_READ_CONFIG, "IRP_MN_READ_CONFIG"},
        {IRP_MN_QUERY_ID, "IRP_MN_QUERY_ID"},
        {IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL"},
        {0x18, "IRP_MN_QUERY_LEGACY_BUS_INFORMATION"},
    };
    for (auto& [code, name] : pnp) {
        EXPECT_EQ(Name(CMNTEST_TABLE_PNP_MINOR, code), name) << int(code);
    }
    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_MINOR, 0x19), "???");
    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_MINOR, 0xFF), "???");

    const std::pair<UCHAR, const char*> major[] = {
        {IRP_MJ_CREATE, "IRP_MJ_CREATE"},
        {IRP_MJ_READ, "IRP_MJ_READ"},
        {IRP_MJ_DEVICE_CONTROL, "IRP_MJ_DEVICE_CONTROL"},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, "IRP_MJ_INTERNAL_DEVICE_CONTROL"},
        {IRP_MJ_CLEANUP, "IRP_MJ_CLEANUP"},
        {IRP_MJ_POWER, "IRP_MJ_POWER"},
        {IRP_MJ_SYSTEM_CONTROL, "IRP_MJ_SYSTEM_CONTROL"},
        {IRP_MJ_PNP, "IRP_MJ_PNP"},
    };
    for (auto& [code, name] : major) {
        EXPECT_EQ(Name(CMNTEST_TABLE_MAJOR, code), name) << int(code);
    }
    EXPECT_EQ(Name(CMNTEST_TABLE_MAJOR, 0x1C), "???");

    EXPECT_EQ(Name(CMNTEST_TABLE_POWER_MINOR, IRP_MN_SET_POWER), "IRP_MN_SET_POWER");
    EXPECT_EQ(Name(CMNTEST_TABLE_POWER_MINOR, IRP_MN_QUERY_POWER), "IRP_MN_QUERY_POWER");
    EXPECT_EQ(Name(CMNTEST_TABLE_POWER_MINOR, 4), "???");

    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_STATE, 0), "PNP_ABSENT");
    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_STATE, 4), "PNP_SURPRISE_REMOVE");
    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_STATE, 6), "PNP_STOPPED");
    EXPECT_EQ(Name(CMNTEST_TABLE_PNP_STATE, 7), "???");

    EXPECT_EQ(Name(CMNTEST_TABLE_IO_KIND, 1), "IO_CLOSE_REQ");
    EXPECT_EQ(Name(CMNTEST_TABLE_IO_KIND, 2), "???");

    EXPECT_EQ(Name(CMNTEST_TABLE_RELATION, TargetDeviceRelation), "TargetDeviceRelation");
    EXPECT_EQ(Name(CMNTEST_TABLE_RELATION, 5), "SingleBusRelations");
    EXPECT_EQ(Name(CMNTEST_TABLE_RELATION, 6), "???");
}
