// Error-log packets as the bus driver builds them, and the entries tests read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sample.h"
#include "sim/eventlog.h"

extern "C" const unsigned char VorkaMessageTable[];  // generated from data/sample.mc

namespace {

int gDriver;  // stands for a driver object
int gDevice;  // stands for a device object

sim::EventSource Source() {
    sim::EventSource s;
    s.ioObject = &gDevice;
    s.driverObject = &gDriver;
    s.objectName = u"\\Device\\VorkaTBusDvc";
    s.driverName = u"\\Driver\\vorkatbus";
    s.messageTable = VorkaMessageTable;
    return s;
}

// Fills a packet the way the bus driver does: strings right after the header.
void Fill(void* packet, NTSTATUS code, std::initializer_list<std::u16string> strings, UCHAR major = 0) {
    auto* p = static_cast<IO_ERROR_LOG_PACKET*>(packet);
    p->MajorFunctionCode = major;
    p->ErrorCode = code;
    p->NumberOfStrings = static_cast<USHORT>(strings.size());
    p->StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    auto* at = reinterpret_cast<char16_t*>(reinterpret_cast<char*>(packet) + p->StringOffset);
    for (auto& s : strings) {
        std::memcpy(at, s.c_str(), (s.size() + 1) * 2);
        at += s.size() + 1;
    }
}

TEST(EventLog, PacketsAreZeroedAndLimitedToTheMaximumSize) {
    sim::EventLog log;
    EXPECT_EQ(log.allocatePacket(Source(), ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    void* packet = log.allocatePacket(Source(), ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(packet, nullptr);
    auto* bytes = static_cast<unsigned char*>(packet);
    for (int i = 0; i < ERROR_LOG_MAXIMUM_SIZE; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(log.outstandingPackets(), 1u);
    EXPECT_EQ(log.freePacket(packet), "");
    EXPECT_EQ(log.outstandingPackets(), 0u);
    EXPECT_EQ(log.size(), 0u);  // a freed packet writes nothing
}

TEST(EventLog, AWrittenEventRendersItsTextWithObjectNameAndStrings) {
    sim::EventLog log;
    void* packet = log.allocatePacket(Source(), ERROR_LOG_MAXIMUM_SIZE);
    Fill(packet, SAMPLE_STATUS, {u"(SCSI CHECK 6/29/0)", u"0x2D4800"}, 0x0E);
    ASSERT_EQ(log.writePacket(packet), "");
    auto entries = log.entriesWithCode(SAMPLE_STATUS);
    ASSERT_EQ(entries.size(), 1u);
    const auto& e = entries[0];
    EXPECT_EQ(e.majorFunctionCode, 0x0E);
    EXPECT_EQ(e.numberOfStrings, 2);
    EXPECT_EQ(e.stringOffset, 40);
    EXPECT_EQ(e.stringUtf8(1), "0x2D4800");
    EXPECT_TRUE(e.hasText);
    EXPECT_EQ(e.text, u"Sample driver received status (SCSI CHECK 6/29/0) on IOCTL 0x2D4800.  Failover will be attempted.\r\n");
    EXPECT_EQ(e.displayText(),
              "Sample driver received status (SCSI CHECK 6/29/0) on IOCTL 0x2D4800.  Failover will be attempted.");
    EXPECT_EQ(e.source.driverName, u"\\Driver\\vorkatbus");
    EXPECT_GT(e.timestamp, 0);

    void* two = log.allocatePacket(Source(), ERROR_LOG_MAXIMUM_SIZE);
    Fill(two, SAMPLE_TWO_LINES, {});
    ASSERT_EQ(log.writePacket(two), "");
    EXPECT_EQ(log.entries().back().text, u"First line of \\Device\\VorkaTBusDvc.\r\nSecond line, 100% done.");
    EXPECT_EQ(log.entries().back().sequence, 2u);
}

TEST(EventLog, EventsWithoutStringsOrWithoutAMessageStillRecord) {
    sim::EventLog log;
    void* packet = log.allocatePacket(Source(), sizeof(IO_ERROR_LOG_PACKET));
    Fill(packet, 0x40000007, {});
    ASSERT_EQ(log.writePacket(packet), "");
    auto e = log.entries().back();
    EXPECT_EQ(e.numberOfStrings, 0);
    EXPECT_EQ(e.stringOffset, 40);
    EXPECT_FALSE(e.hasText);  // the sample table has no 0x40000007
    EXPECT_TRUE(e.text.empty());

    sim::EventSource noTable = Source();
    noTable.messageTable = nullptr;
    void* other = log.allocatePacket(noTable, 100);
    Fill(other, SAMPLE_STARTED, {u"0x1", u"0x2"});
    ASSERT_EQ(log.writePacket(other), "");
    EXPECT_FALSE(log.entries().back().hasText);
    EXPECT_EQ(log.entries().back().strings.size(), 2u);
}

TEST(EventLog, DoubleWritesAndFreesAndForeignPointersAreReported) {
    sim::EventLog log;
    void* packet = log.allocatePacket(Source(), 64);
    Fill(packet, SAMPLE_STARTED, {u"a"});
    ASSERT_EQ(log.writePacket(packet), "");
    EXPECT_NE(log.writePacket(packet).find("not an allocated error log packet"), std::string::npos);
    EXPECT_NE(log.freePacket(packet), "");
    int local = 0;
    EXPECT_NE(log.freePacket(&local), "");
    EXPECT_EQ(log.size(), 1u);
}

TEST(EventLog, PacketsWhoseStringsLeaveThePacketAreRefused) {
    sim::EventLog log;
    void* packet = log.allocatePacket(Source(), 48);
    auto* p = static_cast<IO_ERROR_LOG_PACKET*>(packet);
    p->ErrorCode = SAMPLE_STARTED;
    p->NumberOfStrings = 1;
    p->StringOffset = 40;
    std::memcpy(reinterpret_cast<char*>(packet) + 40, u"abcd", 8);  // fills to the end, no terminator
    std::string problem = log.writePacket(packet);
    EXPECT_NE(problem.find("not terminated within the packet"), std::string::npos) << problem;

    void* bad = log.allocatePacket(Source(), 100);
    p = static_cast<IO_ERROR_LOG_PACKET*>(bad);
    p->NumberOfStrings = 1;
    p->StringOffset = 200;
    EXPECT_NE(log.writePacket(bad).find("StringOffset 200"), std::string::npos);
    void* dump = log.allocatePacket(Source(), 48);
    static_cast<IO_ERROR_LOG_PACKET*>(dump)->DumpDataSize = 16;
    EXPECT_NE(log.writePacket(dump).find("DumpDataSize"), std::string::npos);
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.outstandingPackets(), 0u);  // refused packets are released
}

TEST(EventLog, InjectedFailuresAndLeakedPacketsOfAnUnloadingDriver) {
    sim::EventLog log;
    log.failNextAllocations(2);
    EXPECT_EQ(log.allocatePacket(Source(), 64), nullptr);
    EXPECT_EQ(log.allocatePacket(Source(), 64), nullptr);
    void* kept = log.allocatePacket(Source(), 64);
    ASSERT_NE(kept, nullptr);
    int otherDriver = 0;
    sim::EventSource other = Source();
    other.driverObject = &otherDriver;
    void* foreign = log.allocatePacket(other, 64);
    auto leaks = log.takeOutstandingPacketsOf(&gDriver);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("neither written nor freed"), std::string::npos);
    EXPECT_EQ(log.outstandingPackets(), 1u);
    EXPECT_EQ(log.freePacket(foreign), "");
}

}  // namespace
