// The stamp every block vorkasim writes carries, as it lands on the tape and as the verify reads it
// back: "VKS1", step and block index (little-endian), then a byte counter starting at
// step * 131 + block * 7 + offset. Blocks written by one build are read back by another, so the
// bytes on the medium are pinned here, not only the round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "ledger.h"

namespace {

using vorkasim::ReadStamp;
using vorkasim::Stamp;
using vorkasim::StampBlock;

std::vector<std::uint8_t> Stamped(std::size_t length, Stamp stamp)
{
    std::vector<std::uint8_t> block(length, 0xEE);
    StampBlock(block, stamp);
    return block;
}

// Block lengths around the edges of the filling runs (256 bytes after the 12-byte stamp) and the
// sizes the scenarios write.
const std::size_t kLengths[] = {12, 13, 267, 268, 269, 524, 525, 4096, 65536, 262144 + 7};
// Stamps whose counters start at 0, in the middle, and wrap past 255 at once.
const Stamp kStamps[] = {{0, 0}, {1, 2}, {7, 1000}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {123456, 789}};

TEST(BlockStamp, EveryByteOnTheMediumIsTheStampAndItsCounter)
{
    for (const Stamp stamp : kStamps) {
        for (const std::size_t length : kLengths) {
            const auto block = Stamped(length, stamp);
            ASSERT_EQ(block.size(), length);
            EXPECT_EQ(0, std::memcmp(block.data(), "VKS1", 4));
            const std::uint8_t head[8] = {
                static_cast<std::uint8_t>(stamp.step), static_cast<std::uint8_t>(stamp.step >> 8),
                static_cast<std::uint8_t>(stamp.step >> 16), static_cast<std::uint8_t>(stamp.step >> 24),
                static_cast<std::uint8_t>(stamp.block), static_cast<std::uint8_t>(stamp.block >> 8),
                static_cast<std::uint8_t>(stamp.block >> 16), static_cast<std::uint8_t>(stamp.block >> 24)};
            EXPECT_EQ(0, std::memcmp(block.data() + 4, head, sizeof head)) << stamp.text();
            std::size_t wrong = 0;
            for (std::size_t i = vorkasim::kStampBytes; i < length; ++i) {
                const auto expected = static_cast<std::uint8_t>(stamp.step * 131u + stamp.block * 7u + i);
                wrong += block[i] != expected ? 1 : 0;
            }
            EXPECT_EQ(wrong, 0u) << "stamp " << stamp.text() << ", " << length << " bytes";
            const auto read = ReadStamp(block);
            ASSERT_TRUE(read.has_value()) << stamp.text() << ", " << length << " bytes";
            EXPECT_EQ(*read, stamp);
        }
    }
}

TEST(BlockStamp, AnyChangedByteMakesTheBlockUnstamped)
{
    // Every position of a block three runs long, and the run edges and last bytes of a big one.
    for (const Stamp stamp : kStamps) {
        auto block = Stamped(800, stamp);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] ^= 0x01;
            const auto read = ReadStamp(block);
            if (i < vorkasim::kStampBytes) {
                // A changed step or block number never reads as the original stamp (the counter
                // follows only their low bits, so it may read as another block's stamp).
                EXPECT_NE(read, std::optional<Stamp>(stamp)) << "byte " << i << " of stamp " << stamp.text();
            } else {
                EXPECT_FALSE(read.has_value()) << "byte " << i << " of stamp " << stamp.text();
            }
            block[i] ^= 0x01;
        }
        ASSERT_EQ(ReadStamp(block), stamp);
    }
    auto big = Stamped(65536, Stamp{42, 17});
    for (const std::size_t i : {std::size_t{12}, std::size_t{267}, std::size_t{268}, std::size_t{269},
                                std::size_t{32768}, std::size_t{65535 - 256}, std::size_t{65534}, std::size_t{65535}}) {
        big[i] += 1;
        EXPECT_FALSE(ReadStamp(big).has_value()) << "byte " << i;
        big[i] -= 1;
    }
    EXPECT_EQ(ReadStamp(big), (Stamp{42, 17}));
}

TEST(BlockStamp, BlocksOfOtherOriginCarryNoStamp)
{
    // Too short for a stamp, no magic, and a block another stamp's pattern follows.
    EXPECT_FALSE(ReadStamp(std::vector<std::uint8_t>(11, 0)).has_value());
    EXPECT_FALSE(ReadStamp(std::vector<std::uint8_t>(4096, 0)).has_value());
    auto block = Stamped(4096, Stamp{3, 4});
    block[0] = 'X';
    EXPECT_FALSE(ReadStamp(block).has_value());
    auto mixed = Stamped(4096, Stamp{3, 4});
    const auto other = Stamped(4096, Stamp{3, 5});
    std::copy(other.begin() + 2048, other.end(), mixed.begin() + 2048);
    EXPECT_FALSE(ReadStamp(mixed).has_value());
}

}  // namespace
