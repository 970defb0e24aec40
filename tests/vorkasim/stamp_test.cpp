// The stamp a backup job puts in every block it writes, and the check of a block read back:
// the pattern after the stamp is (131 * step + 7 * block + offset) mod 256 at every offset.
#include <gtest/gtest.h>

#include "ledger.h"

namespace {

using vorkasim::Stamp;

std::uint8_t Expected(Stamp stamp, std::size_t offset)
{
    return static_cast<std::uint8_t>(stamp.step * 131u + stamp.block * 7u + offset);
}

TEST(BlockStamp, EveryBlockSizeCarriesTheStampAndThePatternAtEveryOffset)
{
    const std::size_t sizes[] = {vorkasim::kStampBytes, 13, 255, 256, 257, 268, 511, 512, 4096, 65536, 65536 + 7};
    for (std::size_t size : sizes) {
        const Stamp stamp{1234567, 89};
        std::vector<std::uint8_t> block(size, 0xA5);
        vorkasim::StampBlock(block, stamp);
        EXPECT_EQ(block[0], 'V');
        EXPECT_EQ(block[3], '1');
        std::size_t wrong = 0;
        for (std::size_t i = vorkasim::kStampBytes; i < size; ++i) wrong += block[i] != Expected(stamp, i);
        EXPECT_EQ(wrong, 0u) << size << "-byte block";
        const auto read = vorkasim::ReadStamp(block);
        ASSERT_TRUE(read.has_value()) << size << "-byte block";
        EXPECT_EQ(read->step, stamp.step);
        EXPECT_EQ(read->block, stamp.block);
    }
}

TEST(BlockStamp, OneWrongByteAnywhereMakesTheBlockReadAsNoneOrAnotherStamp)
{
    std::vector<std::uint8_t> block(65536 + 7);
    vorkasim::StampBlock(block, Stamp{7, 3});
    for (std::size_t at : {std::size_t{0}, std::size_t{5}, std::size_t{11}, std::size_t{12}, std::size_t{255},
                           std::size_t{256}, std::size_t{4096}, std::size_t{65535}, block.size() - 1}) {
        block[at] ^= 0x01;
        // A change in the stamp's numbers may still read as a stamp, but never as this one.
        const auto read = vorkasim::ReadStamp(block);
        EXPECT_FALSE(read.has_value() && *read == (Stamp{7, 3})) << "byte " << at << " changed";
        if (at < 4 || at >= vorkasim::kStampBytes) EXPECT_FALSE(read.has_value()) << "byte " << at << " changed";
        block[at] ^= 0x01;
    }
    ASSERT_TRUE(vorkasim::ReadStamp(block).has_value());
    EXPECT_EQ(*vorkasim::ReadStamp(block), (Stamp{7, 3}));
    // Another block's pattern under this block's stamp is no match either.
    std::vector<std::uint8_t> other(block.size());
    vorkasim::StampBlock(other, Stamp{7, 4});
    std::copy(block.begin(), block.begin() + vorkasim::kStampBytes, other.begin());
    EXPECT_FALSE(vorkasim::ReadStamp(other).has_value());
    EXPECT_FALSE(vorkasim::ReadStamp(std::span<const std::uint8_t>(block.data(), 11)).has_value()) << "too short";
}

}  // namespace
