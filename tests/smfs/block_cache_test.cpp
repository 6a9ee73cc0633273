// The chip's block cache: within a session reads see every program and erase made before
// them, writes reach the image file by the end of each operation, and nothing cached
// outlives a session or an image change.
#include "card_image.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(seed + i * 5);
    return v;
}

std::vector<std::uint8_t> readBlock(std::uint32_t logBlock, std::uint32_t lengthBytes) {
    std::vector<std::uint8_t> back(lengthBytes);
    EXPECT_EQ(media_read(0, logBlock, 0, back.data(), lengthBytes), SmfsResult::Ok);
    return back;
}

TEST(BlockCache, ReadsInASessionSeeItsProgramsAndErases) {
    CardImage card(4);
    const auto a = bytes(1024, 1);
    const auto b = bytes(512, 2);
    ChipSession session;
    ASSERT_EQ(media_write(0, 3, 0, a.data(), 1024), SmfsResult::Ok);
    EXPECT_EQ(readBlock(3, 1024), a);
    // A copy on write: the new block is read back, and the old one reads erased.
    const std::uint32_t old = media_logical_entry(3);
    ASSERT_EQ(media_write(0, 3, 0, b.data(), 512), SmfsResult::Ok);
    ASSERT_NE(media_logical_entry(3), old);
    auto expect = a;
    std::copy(b.begin(), b.end(), expect.begin());
    EXPECT_EQ(readBlock(3, 1024), expect);
    std::vector<std::uint8_t> spare(16);
    ASSERT_EQ(smc_read_sector_spare(0, card.firstSectorOfBlock(old), spare.data()), SmfsResult::Ok);
    EXPECT_EQ(spare, std::vector<std::uint8_t>(16, 0xFF));
    // The image file already holds the new block.
    EXPECT_EQ(card.sectorData(card.firstSectorOfBlock(media_logical_entry(3))),
              std::vector<std::uint8_t>(b.begin(), b.end()));
}

TEST(BlockCache, HeldBackWritesReachTheImageWhenTheSessionEnds) {
    CardImage card(1);
    const auto data = bytes(512, 3);
    std::vector<std::uint8_t> spare(16, 0xFF);
    spare[6] = 0x10, spare[7] = 0x01;
    {
        ChipSession session;
        ASSERT_EQ(smc_erase_block(0, 40 * 8 * 512), SmfsResult::Ok);
        ASSERT_EQ(smc_write_sector(0, 40 * 8 + 2, data.data(), spare.data()), SmfsResult::Ok);
    }
    EXPECT_EQ(card.sectorData(40 * 8 + 2), data);
    EXPECT_EQ(card.sectorSpare(40 * 8 + 2), spare);
}

TEST(BlockCache, AnEraseReachesABlockProgrammedOnlyBeyondItsFirstSector) {
    CardImage card(4);
    const auto data = bytes(512, 6);
    std::vector<std::uint8_t> spare(16, 0xFF);
    ASSERT_EQ(smc_write_sector(0, 12 * 32 + 5, data.data(), spare.data()), SmfsResult::Ok);
    {
        ChipSession session;
        ASSERT_EQ(smc_erase_block(0, 12 * 32 * 512), SmfsResult::Ok);
        // An already erased block next to it: its erase changes nothing.
        ASSERT_EQ(smc_erase_block(0, 13 * 32 * 512), SmfsResult::Ok);
    }
    EXPECT_EQ(card.sectorData(12 * 32 + 5), std::vector<std::uint8_t>(512, 0xFF));
}

TEST(BlockCache, ChangesToTheImageBetweenOperationsAreSeen) {
    CardImage card(4);
    const auto data = bytes(2048, 4);
    ASSERT_EQ(media_write(0, 6, 0, data.data(), 2048), SmfsResult::Ok);
    EXPECT_EQ(readBlock(6, 2048), data);
    const std::uint64_t at = card.pageOffset(card.firstSectorOfBlock(media_logical_entry(6))) + 7;
    card.writeBytes(at, {std::uint8_t(data[7] ^ 0x42)});
    std::vector<std::uint8_t> part(16);
    ASSERT_EQ(media_read(0, 6, 0, part.data(), 16), SmfsResult::Ok);
    EXPECT_EQ(part[7], std::uint8_t(data[7] ^ 0x42));
}

TEST(BlockCache, AnotherImageIsReadAfterTheSlotChanges) {
    CardImage first(4);
    const auto data = bytes(512, 5);
    ASSERT_EQ(media_write(0, 2, 0, data.data(), 512), SmfsResult::Ok);
    const std::uint32_t phys = media_logical_entry(2);
    CardImage second(4); // blank, installed in the slot
    smc_set_image(first.stream());
    ChipSession session;
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read_physical(0, phys, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    smc_set_image(second.stream());
    ASSERT_EQ(media_read_physical(0, phys, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, std::vector<std::uint8_t>(512, 0xFF));
    smc_set_image(first.stream());
}

} // namespace
