// How the path filter identifies the drive behind its path and registers it with
// the tape bus: with the real base driver over the SAN, and with a scripted base
// driver for answers no drive of the SAN gives.
#include "filter_fixture.h"

namespace tapetest {
namespace {

std::string Field(const CHAR* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

std::string LowerHex(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

class Identification : public ::testing::TestWithParam<bool> {};

TEST_P(Identification, ADriveIsRegisteredWithItsSerialNodeNameAndAddress) {
    SinglePath one(RigOptions{.forcePending = GetParam()});
    const TAPE_REG_DVC reg = one.Registration();
    EXPECT_EQ(reg.fFailover, 1);
    EXPECT_EQ(Field(reg.szSN, 33), "HX77001");
    EXPECT_EQ(Field(reg.szWwnn, 17), LowerHex(one.drive->wwnn())) << "the page 0x83 NAA name in lower-case hex";
    EXPECT_EQ(reg.scScsiAddr.PortNumber, 0);
    EXPECT_EQ(reg.scScsiAddr.TargetId, 5);
    EXPECT_EQ(reg.ePnp, static_cast<ULONG>(PNP_STARTED));
    EXPECT_EQ(reg.fExclusive, 1) << "DPF flags word 1: exclusive access";
    EXPECT_EQ(reg.fPersistentNaming, 0);
    EXPECT_EQ(reg.fSME, 0);
    EXPECT_EQ(reg.pBaseDriverExt, nullptr) << "the filter sends no table address";
    auto stack = one.rig.StackOf(*one.path);
    ASSERT_TRUE(stack.has_value());
    EXPECT_EQ(reg.pDvcObj, stack->filter);
    // The start sends no notification: the registration carries the new state.
    EXPECT_TRUE(one.rig.Bus().NotificationsOf(stack->filter).empty());
}

TEST_P(Identification, DpfFlagsWordSixTurnsExclusiveOffAndNamingAndEncryptionOn) {
    SinglePath one(RigOptions{.forcePending = GetParam()}, [](sim::hw::DriveConfig& c) { c.dpfFlags = 6; });
    const TAPE_REG_DVC reg = one.Registration();
    EXPECT_EQ(reg.fExclusive, 0);
    EXPECT_EQ(reg.fPersistentNaming, 1);
    EXPECT_EQ(reg.fSME, 1);
}

INSTANTIATE_TEST_SUITE_P(Filter, Identification, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ForcedPending" : "AnsweredAtOnce"; });

class FailoverSetting : public ::testing::TestWithParam<std::optional<std::uint32_t>> {};

TEST_P(FailoverSetting, OnlyAZeroFailoverDriverValueTurnsFailoverOff) {
    SinglePath one(RigOptions{.failoverDriver = GetParam()});
    const TAPE_REG_DVC reg = one.Registration();
    EXPECT_EQ(reg.fFailover, GetParam() == 0u ? 0 : 1);
    EXPECT_EQ(Field(reg.szSN, 33), "HX77001") << "the identity is sent either way";
}

INSTANTIATE_TEST_SUITE_P(Registry, FailoverSetting,
                         ::testing::Values(std::optional<std::uint32_t>{0}, std::optional<std::uint32_t>{5},
                                           std::optional<std::uint32_t>{}),
                         [](const auto& info) {
                             return info.param ? "Value" + std::to_string(*info.param) : std::string("Absent");
                         });

class BlankSerial : public ::testing::TestWithParam<std::string> {};

TEST_P(BlankSerial, ADriveWithoutAUsableSerialNumberIsNeverGrouped) {
    // Every drive answering this way would otherwise become one drive at the bus.
    SinglePath one({}, {}, GetParam());
    const TAPE_REG_DVC reg = one.Registration();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szSN, 33), std::string(32, '0'));
}

INSTANTIATE_TEST_SUITE_P(Serials, BlankSerial, ::testing::Values(std::string(), std::string("        ")),
                         [](const auto& info) { return info.param.empty() ? "Empty" : "Blanks"; });

// ---- With a scripted base driver --------------------------------------------------------------

class IdentificationByStub : public ::testing::TestWithParam<bool> {};

TEST_P(IdentificationByStub, ABaseDriverThatAnswersNothingStillStartsThePath) {
    StubPath stub(GetParam());
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szSN, 33), std::string(32, '0'));
    EXPECT_EQ(Field(reg.szWwnn, 17), std::string(16, '0'));
    EXPECT_EQ(reg.ePnp, static_cast<ULONG>(PNP_STARTED));
    EXPECT_EQ(reg.fExclusive, 1) << "the defaults stay when the flags cannot be read";
    // The registration still answered with the table: the base driver got it.
    EXPECT_EQ(stub.script.SeenWithCode(IOC_TAPE_SET_EXT_IN_BASE).size(), 1u);
}

TEST_P(IdentificationByStub, AnEightByteLogicalUnitNaaNameBecomesLowerCaseHex) {
    StubPath stub(GetParam());
    stub.AnswerIdentification(Page83({{0x01, {'T', '1', '0'}},
                                      {0x13, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}},  // target port NAA
                                      {0x03, {0x5A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0xC4, 0xFF}}}));
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 1);
    EXPECT_EQ(Field(reg.szWwnn, 17), "5abcdef01122c4ff");
    EXPECT_EQ(Field(reg.szSN, 33), "STUB0001");
    EXPECT_EQ(reg.scScsiAddr.PortNumber, 4);
    EXPECT_EQ(reg.scScsiAddr.TargetId, 9);
}

TEST_P(IdentificationByStub, APageWithoutALogicalUnitNaaNameTurnsFailoverOff) {
    StubPath stub(GetParam());
    stub.AnswerIdentification(Page83({{0x01, {'T', '1', '0'}}, {0x13, {1, 2, 3, 4, 5, 6, 7, 8}}}));
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szWwnn, 17), std::string(16, '0'));
    EXPECT_EQ(Field(reg.szSN, 33), "STUB0001");
}

TEST_P(IdentificationByStub, ASixteenByteNaaNameTurnsFailoverOff) {
    StubPath stub(GetParam());
    stub.AnswerIdentification(Page83({{0x03, std::vector<std::uint8_t>(16, 0x61)}}));
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szWwnn, 17), std::string(16, '0'));
}

TEST_P(IdentificationByStub, ALogicalUnitNaaDescriptorInThePagesLastBytesIsNotTaken) {
    // Padding descriptors put the last one's type byte on byte 558: its length byte would be the
    // page's byte 560, one past the page.
    std::vector<std::uint8_t> page = Page83({{0x01, std::vector<std::uint8_t>(255, 'P')},
                                             {0x01, std::vector<std::uint8_t>(255, 'Q')},
                                             {0x01, std::vector<std::uint8_t>(31, 'R')}});
    ASSERT_EQ(page.size(), 560u);
    page[557] = 0x01;
    page[558] = 0x03;
    page[559] = 0x00;
    StubPath stub(GetParam());
    stub.AnswerIdentification(page);
    const TAPE_REG_DVC reg = stub.Start();
    EXPECT_EQ(reg.fFailover, 0);
    EXPECT_EQ(Field(reg.szWwnn, 17), std::string(16, '0'));
}

INSTANTIATE_TEST_SUITE_P(Filter, IdentificationByStub, ::testing::Bool(),
                         [](const auto& info) { return AnswerName(info.param); });

}  // namespace
}  // namespace tapetest
