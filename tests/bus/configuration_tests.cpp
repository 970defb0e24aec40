// What the tape bus's configuration values do, as an administrator sees it once two paths of one
// drive have registered: failover groups them under one virtual device (FailoverDisabled gives
// each its own), the new primary path is in the system event log (FailoverEventsEnabled), and
// virtual devices get persistent names from 5655361 on (PersistentNaming). Any non-zero DWORD
// turns a feature on; zero, a missing value or a value of another type leaves the default.
#include <gtest/gtest.h>

#include <string>

#include "registration_harness.h"

namespace vorka::test {
namespace {

constexpr NTSTATUS kEventNewPrimary = 0x40000006;
constexpr uint32_t kFirstPersistentNumber = 5655361;

struct Observed {
    bool failover = false;          // both paths behind one virtual device
    bool primaryLogged = false;     // the new primary path was logged
    bool persistentNames = false;   // the virtual device got a persistent number
};

using Values = void (*)(sim::Registry& registry, const std::u16string& key);

// A bus started with the Parameters values `write` puts there.
template <Values write>
class Configured : public TapeBusTest {
protected:
    void configureBus(sim::Registry& registry, std::u16string_view key) override { write(registry, std::u16string(key)); }

    // Two paths of drive CFG00001 register; what the configuration made of them.
    Observed Register() {
        createPaths(0, 2);
        PathSpec spec;
        spec.serial = "CFG00001";
        spec.port = 1;
        spec.target = 1;
        const uint32_t first = registerPath(0, spec).tapeNumber;
        spec.port = 2;
        const uint32_t second = registerPath(1, spec).tapeNumber;
        const QueryAnswer answer = query();
        Observed seen;
        seen.failover = first == second && answer.descriptors.size() == 2u && answer.descriptors[0].failover &&
                        answer.descriptors[1].failover;
        seen.primaryLogged = !machine().eventLog().entriesWithCode(kEventNewPrimary).empty();
        seen.persistentNames = first >= kFirstPersistentNumber;
        return seen;
    }
};

void Nothing(sim::Registry&, const std::u16string&) {}
void FeaturesOnValues(sim::Registry& registry, const std::u16string& key) {
    registry.setDword(key, u"FailoverEventsEnabled", 2);
    registry.setDword(key, u"PersistentNaming", 0xFFFFFFFF);
}
void FailoverOffValues(sim::Registry& registry, const std::u16string& key) {
    registry.setDword(key, u"FailoverDisabled", 1);
}
void ZeroValuesValues(sim::Registry& registry, const std::u16string& key) {
    registry.setDword(key, u"FailoverDisabled", 0);
    registry.setDword(key, u"FailoverEventsEnabled", 0);
    registry.setDword(key, u"PersistentNaming", 0);
}
void WrongTypesValues(sim::Registry& registry, const std::u16string& key) {
    registry.setString(key, u"FailoverDisabled", u"1");
    const uint8_t bytes[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    registry.setValue(key, u"FailoverEventsEnabled", REG_BINARY, bytes);
    registry.setString(key, u"PersistentNaming", u"1");
}

using NoConfiguration = Configured<Nothing>;
using FeaturesOn = Configured<FeaturesOnValues>;
using FailoverOff = Configured<FailoverOffValues>;
using ZeroValues = Configured<ZeroValuesValues>;
using WrongTypes = Configured<WrongTypesValues>;

TEST_F(NoConfiguration, FailoverIsOnAndEventsAndPersistentNamingAreOff) {
    Observed seen = Register();
    EXPECT_TRUE(seen.failover);
    EXPECT_FALSE(seen.primaryLogged);
    EXPECT_FALSE(seen.persistentNames);
}

TEST_F(FeaturesOn, AnyNonZeroValueTurnsEventsAndPersistentNamingOn) {
    Observed seen = Register();
    EXPECT_TRUE(seen.failover);
    EXPECT_TRUE(seen.primaryLogged);
    EXPECT_TRUE(seen.persistentNames);
}

TEST_F(FailoverOff, FailoverDisabledGivesEveryPathItsOwnDevice) {
    Observed seen = Register();
    EXPECT_FALSE(seen.failover);
    EXPECT_EQ(query().descriptors.size(), 2u);
}

TEST_F(ZeroValues, ZeroMeansOff) {
    Observed seen = Register();
    EXPECT_TRUE(seen.failover);
    EXPECT_FALSE(seen.primaryLogged);
    EXPECT_FALSE(seen.persistentNames);
}

TEST_F(WrongTypes, AValueOfAnotherTypeLeavesTheDefault) {
    Observed seen = Register();
    EXPECT_TRUE(seen.failover) << "a string \"1\" is not a number";
    EXPECT_FALSE(seen.primaryLogged);
    EXPECT_FALSE(seen.persistentNames);
}

}  // namespace
}  // namespace vorka::test
