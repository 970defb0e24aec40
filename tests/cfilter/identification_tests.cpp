// Identification and registration: a changer path registers with the changer bus
// under its serial number and SCSI address, taking part in failover unless
// something is missing or the changer filter's own registry switch says no.
#include "cfilter_fixture.h"

namespace cfiltertest {
namespace {

TEST(ChangerIdentification, AChangerThatAnswersRegistersItsSerialNumberAndAddressWithFailover) {
    ChangerPath path;
    path.AnswerIdentification("LIBSTUB0001", SCSI_ADDRESS{8, 2, 0, 11, 0});
    const CHGR_REG_DVC reg = path.Start();
    PDEVICE_OBJECT filter = path.Filter();
    ASSERT_NE(filter, nullptr);

    EXPECT_EQ(reg.fFailover, 1);
    EXPECT_EQ(Text(reg.szSN, sizeof reg.szSN), "LIBSTUB0001");
    EXPECT_EQ(reg.scScsiAddr.PortNumber, 2);
    EXPECT_EQ(reg.scScsiAddr.TargetId, 11);
    EXPECT_EQ(reg.pDvcObj, filter);
    EXPECT_EQ(reg.ePnp, static_cast<ULONG>(PNP_STARTED));
    EXPECT_EQ(reg.pBaseDriverExt, nullptr) << "the table address goes out as zero";
    EXPECT_EQ(reg.ulChangerNumber, 0u);
    EXPECT_EQ(reg.ulReserved1 | reg.ulReserved2 | reg.ulReserved3, 0u);
    {
        std::lock_guard lock(path.bus.mutex);
        ASSERT_FALSE(path.bus.inputLengths.empty());
        EXPECT_EQ(path.bus.inputLengths.front(), 80u) << "the changer bus's 80-byte record";
    }

    // The filter device: unnamed, of the changer type, secure open, with the flags of the device below.
    EXPECT_EQ(filter->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_CHANGER));
    EXPECT_NE(filter->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
    EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(filter->Flags & DO_BUFFERED_IO, 0u);
}

TEST(ChangerIdentification, OnlyTheSerialNumberAndTheAddressAreAskedForBeforeRegistering) {
    ChangerPath path;
    path.AnswerIdentification();
    path.Start();
    std::vector<ULONG> codes;
    for (const auto& s : path.script.SeenCopy()) {
        if (s.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(s.code);
    }
    EXPECT_EQ(codes, (std::vector<ULONG>{IOC_CHGR_GET_SERIAL_NUMBER, IOC_CHGR_GET_SCSI_ADDRESS, IOC_CHGR_SET_EXT_IN_BASE}))
        << "no inquiry, no identification page, no flags: a changer has no node name or exclusive access";
}

// A path whose library does not answer its serial number could belong to any library: it starts,
// but it is no changer of its own until the library answers; then it registers with its identity.
TEST(ChangerIdentification, AChangerThatFailsItsSerialNumberIsNoChangerUntilItAnswers) {
    ChangerPath path;
    path.script.Answer(IOC_CHGR_GET_SERIAL_NUMBER, STATUS_IO_DEVICE_ERROR);
    path.script.Answer(IOC_CHGR_GET_SCSI_ADDRESS, STATUS_SUCCESS, Bytes(SCSI_ADDRESS{8, 1, 0, 3, 0}));
    EXPECT_EQ(path.Add(), sim::DevNodeState::Started) << "the start succeeds whatever the answers";
    EXPECT_TRUE(path.bus.Registrations().empty()) << "no changer for a library nobody knows";

    path.AnswerIdentification("LIBSTUB0003", SCSI_ADDRESS{8, 1, 0, 3, 0});
    const auto registrations = path.bus.AwaitRegistrations(1, std::chrono::seconds(30));
    ASSERT_EQ(registrations.size(), 1u) << "identified again once the library answers";
    EXPECT_EQ(registrations[0].fFailover, 1);
    EXPECT_EQ(Text(registrations[0].szSN, sizeof registrations[0].szSN), "LIBSTUB0003");
    EXPECT_EQ(registrations[0].scScsiAddr.TargetId, 3);
}

TEST(ChangerIdentification, AChangerThatAnswersNothingStartsWithoutBecomingAChanger) {
    ChangerPath path;
    EXPECT_EQ(path.Add(), sim::DevNodeState::Started);
    EXPECT_TRUE(path.bus.Registrations().empty());
}

TEST(ChangerIdentification, ABlankSerialNumberIdentifiesNothingAndTurnsFailoverOff) {
    ChangerPath path;
    path.AnswerIdentification("          ");
    const CHGR_REG_DVC reg = path.Start();
    EXPECT_EQ(reg.fFailover, 0) << "every changer answering blanks would otherwise become one";
}

TEST(ChangerIdentification, AFailedAddressRequestTurnsFailoverOff) {
    ChangerPath path;
    path.AnswerIdentification();
    path.script.Answer(IOC_CHGR_GET_SCSI_ADDRESS, STATUS_INVALID_DEVICE_REQUEST);
    const CHGR_REG_DVC reg = path.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Text(reg.szSN, sizeof reg.szSN), "LIBSTUB0001");
}

// "FailoverDriver" under the changer filter's own key decides; the tape filter's value does not.
struct SwitchCase {
    std::optional<std::uint32_t> changerValue;
    std::optional<std::uint32_t> tapeValue;
    UCHAR expected;
    const char* name;
};

class FailoverSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(FailoverSwitch, TheChangerFiltersRegistryValueDecides) {
    const SwitchCase& c = GetParam();
    ChangerPath path(PathOptions{.failoverDriver = c.changerValue, .tapeFailoverDriver = c.tapeValue});
    path.AnswerIdentification();
    EXPECT_EQ(path.Start().fFailover, c.expected);
}

INSTANTIATE_TEST_SUITE_P(ChangerIdentification, FailoverSwitch,
                         ::testing::Values(SwitchCase{0u, std::nullopt, 0, "ZeroTurnsItOff"},
                                           SwitchCase{5u, std::nullopt, 1, "NonZeroLeavesItOn"},
                                           SwitchCase{std::nullopt, std::nullopt, 1, "AbsentLeavesItOn"},
                                           SwitchCase{std::nullopt, 0u, 1, "TheTapeFiltersValueDoesNotCount"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cfiltertest
