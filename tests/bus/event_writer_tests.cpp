// The tape bus's system event writer (BusTwoParmEvent / BusWriteEvent), driven through the common
// library's test driver, which carries the writer and the tape bus's message table: what reaches
// the system log, and that oversized or malformed insertion strings never leave their buffers.
#include <gtest/gtest.h>

#include "cmntest_fixture.h"
#include "sim/eventlog.h"
#include "sim/pool.h"

using namespace vorka_test;

namespace {

constexpr NTSTATUS kNewPrimaryEvent = 0x40000006;
constexpr NTSTATUS kUnloadEvent = 0x40000007;
constexpr NTSTATUS kHostKeyEvent = 0x40000008;

class EventWriter : public CmnTestDriver {
protected:
    NTSTATUS Write(NTSTATUS code, const std::u16string* parm1, const std::u16string* parm2) {
        CMNTEST_EVENT event{};
        event.eventCode = code;
        if (parm1 != nullptr) {
            event.hasParm1 = 1;
            parm1->copy(event.parm1, 159);
        }
        if (parm2 != nullptr) {
            event.hasParm2 = 1;
            parm2->copy(event.parm2, 159);
        }
        EXPECT_EQ(Request(CMNTEST_IOCTL_EVENT, &event).status, STATUS_SUCCESS);
        return event.status;
    }
    std::vector<sim::EventLogEntry> Logged(NTSTATUS code) { return machine().eventLog().entriesWithCode(code); }
};

}  // namespace

TEST_F(EventWriter, EventWithoutStringsHasNoStringsAndStartsThemAtOffset40) {
    EXPECT_EQ(Write(kUnloadEvent, nullptr, nullptr), STATUS_SUCCESS);
    auto logged = Logged(kUnloadEvent);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].numberOfStrings, 0);
    EXPECT_EQ(logged[0].stringOffset, 40);
    EXPECT_EQ(logged[0].majorFunctionCode, 0) << "not about a request";
    EXPECT_EQ(logged[0].dumpDataSize, 0);
    EXPECT_EQ(logged[0].eventCategory, 0);
    EXPECT_EQ(logged[0].packetSize, 240u);
    EXPECT_EQ(logged[0].displayText(), "Vorka Tape Bus Enumerator is unloading.");
}

TEST_F(EventWriter, TwoStringsFillTheMessageInserts) {
    std::u16string key = u"0123456789ABCDEF", wwpn = u"5ABCDEF000ABCDEF";
    EXPECT_EQ(Write(kHostKeyEvent, &key, &wwpn), STATUS_SUCCESS);
    auto logged = Logged(kHostKeyEvent);
    ASSERT_EQ(logged.size(), 1u);
    ASSERT_EQ(logged[0].strings.size(), 2u);
    EXPECT_EQ(logged[0].strings[0], key);
    EXPECT_EQ(logged[0].strings[1], wwpn);
    EXPECT_EQ(logged[0].displayText(),
              "Vorka Tape Bus Enumerator Reserving host key: 0123456789ABCDEF WWPN: 5ABCDEF000ABCDEF.");
}

TEST_F(EventWriter, ALoneSecondStringBecomesTheFirstInsert) {
    std::u16string serial = u"SN0042ABCD";
    EXPECT_EQ(Write(kNewPrimaryEvent, nullptr, &serial), STATUS_SUCCESS);
    auto logged = Logged(kNewPrimaryEvent);
    ASSERT_EQ(logged.size(), 1u);
    ASSERT_EQ(logged[0].strings.size(), 1u);
    EXPECT_EQ(logged[0].strings[0], serial);
}

TEST_F(EventWriter, StringsOfMoreThanOneHundredCharactersAreNotLogged) {
    // 49 + 49 characters and their terminators fill the packet exactly.
    std::u16string a49(49, u'a'), b49(49, u'b');
    EXPECT_EQ(Write(kHostKeyEvent, &a49, &b49), STATUS_SUCCESS);
    auto logged = Logged(kHostKeyEvent);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].strings.at(0), a49);
    EXPECT_EQ(logged[0].strings.at(1), b49);

    // 50 + 50 need 102: nothing is written, and the packet goes back unwritten.
    TraceWindow window(machine());
    std::u16string a50(50, u'a'), b50(50, u'b');
    EXPECT_EQ(Write(kHostKeyEvent, &a50, &b50), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Logged(kHostKeyEvent).size(), 1u);
    EXPECT_EQ(machine().eventLog().outstandingPackets(), 0u);
    EXPECT_TRUE(window.contains("BusWriteEvent: 2 strings requiring 102 wchars"));
    EXPECT_TRUE(window.contains("BusWriteEvent: more string data than allocated memory.  Not logging error"));
}

TEST_F(EventWriter, StringsBeyondTheEventRecordAreRefusedBeforeAnyCopy) {
    // 150 + 9 characters do not even fit the 118-character record the writer builds first.
    std::u16string longText(150, u'x'), shortText = u"0x00000001";
    TraceWindow window(machine());
    EXPECT_EQ(Write(kHostKeyEvent, &longText, &shortText), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Logged(kHostKeyEvent).empty());
    EXPECT_EQ(machine().eventLog().outstandingPackets(), 0u);
    EXPECT_TRUE(window.contains("BusTwoParmEvent: more string data than allocated memory.  Not logging error"));
}

TEST_F(EventWriter, RecordWithoutItsClosingEmptyStringIsNotLogged) {
    CMNTEST_WRITE_EVENT write{};
    const uint32_t code = kHostKeyEvent;
    std::memcpy(write.record, &code, sizeof(code));
    for (size_t i = 4; i + 1 < sizeof(write.record); i += 2) {
        write.record[i] = 'A';   // 118 characters, no terminator anywhere
    }
    ASSERT_EQ(Request(CMNTEST_IOCTL_WRITE_EVENT, &write).status, STATUS_SUCCESS);
    EXPECT_EQ(write.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Logged(kHostKeyEvent).empty());
    EXPECT_EQ(machine().eventLog().outstandingPackets(), 0u);
}

TEST_F(EventWriter, EventAboutARequestCarriesItsMajorFunction) {
    CMNTEST_WRITE_EVENT write{};
    const uint32_t code = kNewPrimaryEvent;
    std::memcpy(write.record, &code, sizeof(code));
    const char16_t parm[] = u"0xFFFFF80012345678";
    std::memcpy(write.record + 4, parm, sizeof(parm));
    ASSERT_EQ(Request(CMNTEST_IOCTL_WRITE_EVENT, &write).status, STATUS_SUCCESS);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    auto logged = Logged(kNewPrimaryEvent);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].majorFunctionCode, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(logged[0].strings.at(0), u"0xFFFFF80012345678");
}

TEST_F(EventWriter, EventIsLostQuietlyWhenNoPacketOrRecordIsAvailable) {
    std::u16string serial = u"SN0042ABCD";
    machine().eventLog().failNextAllocations(1);
    EXPECT_EQ(Write(kNewPrimaryEvent, nullptr, &serial), STATUS_INSUFFICIENT_RESOURCES);

    machine().pool().failTag(sim::PoolTag("eSUB"));
    EXPECT_EQ(Write(kNewPrimaryEvent, nullptr, &serial), STATUS_INSUFFICIENT_RESOURCES);
    machine().pool().clearFailures();

    EXPECT_TRUE(Logged(kNewPrimaryEvent).empty());
    EXPECT_EQ(machine().eventLog().outstandingPackets(), 0u);
    EXPECT_EQ(Write(kNewPrimaryEvent, nullptr, &serial), STATUS_SUCCESS) << "the next event goes through";
}
