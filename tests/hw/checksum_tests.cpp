// The drive's block checksum (CRC32C) and the copy of every block it keeps: what it stores
// must be the host's data as it was when the write was acknowledged, with the checksum of
// exactly those bytes, however the checksum is computed and however often the data moves.
#include <random>

#include "hw_fixture.h"

namespace hwtest {
namespace {

// The definition, one bit at a time: shift-register division by the reflected Castagnoli
// polynomial, with the usual inversion before and after.
uint32_t crc32cByDefinition(std::span<const uint8_t> bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    c ^= byte;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? 0x82F63B78u : 0);
  }
  return ~c;
}

std::vector<uint8_t> randomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(generator());
  return v;
}

TEST(Crc32c, KnownCheckValues) {
  const std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32c(digits), 0xE3069283u);
  EXPECT_EQ(crc32c(std::vector<uint8_t>(32, 0x00)), 0x8A9136AAu);
  EXPECT_EQ(crc32c(std::vector<uint8_t>(32, 0xFF)), 0x62A8AB43u);
  std::vector<uint8_t> ascending(32);
  for (std::size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(crc32c(ascending), 0x46DD794Eu);
  EXPECT_EQ(crc32c({}), 0u);
}

TEST(Crc32c, EverySizeAndAlignmentGivesTheValueOfTheDefinition) {
  // Around the word size, the 4 KiB stretches a long block is split into, three of them
  // (one round), the block sizes a backup writes, and odd lengths past them; from aligned and
  // unaligned starts.
  const std::size_t sizes[] = {0,     1,     7,     8,     9,     4095,  4096,       4097,        12287,
                               12288, 12289, 24583, 36864, 65535, 65536, 65536 + 13, 262144,      262144 + 3};
  const std::vector<uint8_t> data = randomBytes(262144 + 16, 20261209);
  for (std::size_t size : sizes) {
    for (std::size_t offset : {0, 1, 3, 8}) {
      const std::span<const uint8_t> block(data.data() + offset, size);
      EXPECT_EQ(crc32c(block), crc32cByDefinition(block)) << size << " bytes from offset " << offset;
    }
  }
  // A one-bit change anywhere in a long block changes its checksum, in every stretch.
  std::vector<uint8_t> block(data.begin(), data.begin() + 65536);
  const uint32_t before = crc32c(block);
  for (std::size_t at : {std::size_t{0}, std::size_t{4100}, std::size_t{8200}, std::size_t{12300}, std::size_t{65535}}) {
    block[at] ^= 0x10;
    EXPECT_NE(crc32c(block), before) << "bit flipped at " << at;
    EXPECT_EQ(crc32c(block), crc32cByDefinition(block));
    block[at] ^= 0x10;
  }
}

DriveConfig withBuffer(bool buffered) {
  DriveConfig c = TwoPathDrive::defaultConfig();
  c.buffered = buffered;
  return c;
}

class BlockCopies : public TwoPathDrive, public testing::WithParamInterface<bool> {
 protected:
  BlockCopies() : TwoPathDrive(withBuffer(GetParam())) {}
  // Written data reaches the medium: WRITE FILEMARKS with a count of 0 flushes the buffer.
  void flush() { ASSERT_TRUE(a.writeFilemarks(0).good()); }
};

TEST_P(BlockCopies, TheMediumHoldsTheHostsDataAsWrittenEvenWhenTheHostReusesItsBuffer) {
  // A backup program writes 64 KiB blocks from one buffer, refilled after each write.
  std::vector<uint8_t> buffer = randomBytes(65536, 1);
  const std::vector<uint8_t> first = buffer;
  ASSERT_TRUE(a.write(false, 65536, buffer).good());
  buffer = randomBytes(65536, 2);
  const std::vector<uint8_t> second = buffer;
  ASSERT_TRUE(a.write(false, 65536, buffer).good());
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  flush();

  const auto records = drive->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data, first);
  EXPECT_EQ(records[1].data, second);
  for (const Record& r : records) {
    EXPECT_EQ(r.crc, crc32cByDefinition(r.data));
    EXPECT_FALSE(r.writtenWithProtection);
  }
  // And it reads back as it was written.
  ASSERT_TRUE(b.rewind().good());
  const CommandResult read = b.read(false, false, 65536, 65536);
  ASSERT_TRUE(read.good());
  EXPECT_EQ(read.dataIn, first);
}

TEST_P(BlockCopies, EachFixedBlockOfOneWriteIsStoredWithItsOwnChecksum) {
  ASSERT_TRUE(a.setBlockLength(4096).good());
  const std::vector<uint8_t> data = randomBytes(3 * 4096, 3);
  ASSERT_TRUE(a.write(true, 3, data).good());
  flush();
  const auto records = drive->records();
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<uint8_t> block(data.begin() + i * 4096, data.begin() + (i + 1) * 4096);
    EXPECT_EQ(records[i].data, block) << "block " << i;
    EXPECT_EQ(records[i].crc, crc32cByDefinition(block)) << "block " << i;
  }
}

TEST_P(BlockCopies, AProtectedBlockKeepsTheGuardTheHostSentAndABadGuardStoresNothing) {
  // Control data protection page: CRC32C, 4 bytes, LBP_W and LBP_R.
  std::vector<uint8_t> list = {0, 0, 0, 0, 0x4A, 0xF0, 0x00, 0x1C, 0x02, 0x04, 0xC0};
  list.resize(4 + 32, 0);
  ASSERT_TRUE(a.send({0x15, 0x10, 0, 0, static_cast<uint8_t>(list.size()), 0}, 0, list).good());
  const std::vector<uint8_t> payload = randomBytes(65536 - 4, 4);
  const uint32_t guard = crc32cByDefinition(payload);
  std::vector<uint8_t> wire = payload;
  for (int i = 3; i >= 0; --i) wire.push_back(static_cast<uint8_t>(guard >> (8 * i)));

  std::vector<uint8_t> corrupt = wire;
  corrupt[40000] ^= 0x01;  // in the block's third 4 KiB stretch and beyond
  EXPECT_TRUE(hasSense(a.write(false, 65536, corrupt), sense_key::kAbortedCommand, 0x10, 0x01));
  ASSERT_TRUE(a.write(false, 65536, wire).good());
  flush();
  const auto records = drive->records();
  ASSERT_EQ(records.size(), 1u) << "the block with the bad guard is not written";
  EXPECT_EQ(records[0].data, payload);
  EXPECT_EQ(records[0].crc, guard);
  EXPECT_TRUE(records[0].writtenWithProtection);
}

INSTANTIATE_TEST_SUITE_P(Drive, BlockCopies, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "Buffered" : "Unbuffered"; });

}  // namespace
}  // namespace hwtest
