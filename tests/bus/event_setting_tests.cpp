// Which events the tape bus writes depends on "FailoverEventsEnabled": a new primary path is logged
// only when it is on, while the start of the bus is logged either way.
#include <gtest/gtest.h>

#include "registration_harness.h"
#include "sim/eventlog.h"

namespace vorka::test {
namespace {

constexpr NTSTATUS kStartEvent = 0x40000001;
constexpr NTSTATUS kNewPrimaryEvent = 0x40000006;

class EventsOff : public TapeBusTest {};

class EventsOn : public TapeBusTest {
protected:
    BusConfig busConfig() const override {
        BusConfig config;
        config.eventsEnabled = true;
        return config;
    }
};

PathSpec Drive(const std::string& serial, uint8_t port)
{
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = 5;
    return spec;
}

TEST_F(EventsOff, ANewPrimaryPathIsNotLoggedButTheStartIs) {
    createPaths(0, 2);
    registerPath(0, Drive("EVTOFF0001", 1));
    registerPath(1, Drive("EVTOFF0001", 2));
    EXPECT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess) << "the second path becomes primary";
    EXPECT_TRUE(machine().eventLog().entriesWithCode(kNewPrimaryEvent).empty());
    EXPECT_EQ(machine().eventLog().entriesWithCode(kStartEvent).size(), 1u);
}

TEST_F(EventsOn, EveryNewPrimaryPathIsLoggedWithTheDrivesSerialNumber) {
    createPaths(0, 2);
    registerPath(0, Drive("EVTON0001", 1));
    registerPath(1, Drive("EVTON0001", 2));
    EXPECT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess);
    auto logged = machine().eventLog().entriesWithCode(kNewPrimaryEvent);
    ASSERT_EQ(logged.size(), 2u) << "the first path at registration, the second one at the stop";
    for (const auto& entry : logged) {
        ASSERT_EQ(entry.strings.size(), 2u);
        EXPECT_EQ(entry.stringUtf8(1), "EVTON0001");
        EXPECT_EQ(entry.displayText(), "Vorka Tape Bus Enumerator: " + entry.stringUtf8(0) +
                                           " is new primary path for device with serial number EVTON0001.");
    }
    EXPECT_NE(logged[0].stringUtf8(0), logged[1].stringUtf8(0));
    EXPECT_EQ(machine().eventLog().entriesWithCode(kStartEvent).size(), 1u);
}

}  // namespace
}  // namespace vorka::test
