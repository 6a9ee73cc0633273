// Writes in place and by copy on write, completing blocks, and the sector buffer pool.
#include "card_image.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(seed + i * 3);
    return v;
}

class CopyOnWrite : public ::testing::TestWithParam<int> {};

TEST_P(CopyOnWrite, RewriteMovesTheBlockAndKeepsOldSectors) {
    CardImage card(GetParam());
    std::uint32_t blockBytes = card.geometry().sectorsPerBlock * 512;
    auto first = bytes(512, 1);
    auto second = bytes(700, 2);
    // A mapped block with only its first sector programmed, as format leaves them.
    std::uint32_t previous = 99;
    ASSERT_EQ(media_assign_block(0, 4, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 0u);
    ASSERT_EQ(media_write_sectors(0, 4, 0, first.data(), 512), SmfsResult::Ok);
    std::uint32_t oldPhys = media_logical_entry(4);
    ASSERT_NE(oldPhys, 0u);
    // Into blank sectors 1 and 2 of the mapped block: in place.
    ASSERT_EQ(media_write(0, 4, 600, second.data(), 700), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(4), oldPhys);

    // Sector 0 again: the block moves.
    auto third = bytes(50, 3);
    ASSERT_EQ(media_write(0, 4, 100, third.data(), 50), SmfsResult::Ok);
    std::uint32_t newPhys = media_logical_entry(4);
    EXPECT_NE(newPhys, oldPhys);
    EXPECT_EQ(media_phys_entry(oldPhys), kPhysFree);
    EXPECT_EQ(media_phys_entry(newPhys), block_address_field(4));
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(oldPhys)),
              std::vector<std::uint8_t>(16, 0xFF));
    // Every sector of the new block is programmed.
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s)
        EXPECT_NE(card.sectorSpare(card.firstSectorOfBlock(newPhys) + s),
                  std::vector<std::uint8_t>(16, 0xFF));

    std::vector<std::uint8_t> expect(blockBytes, 0xFF);
    std::copy(first.begin(), first.end(), expect.begin());
    std::copy(second.begin(), second.end(), expect.begin() + 600);
    std::copy(third.begin(), third.end(), expect.begin() + 100);
    std::vector<std::uint8_t> back(1300);
    ASSERT_EQ(media_read(0, 4, 0, back.data(), 1300), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expect.begin()));

    // The same after building the map again from the card.
    CardImage::resetLayers();
    std::fill(back.begin(), back.end(), 0);
    ASSERT_EQ(media_read(0, 4, 0, back.data(), 1300), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expect.begin()));
    EXPECT_EQ(media_logical_entry(4), newPhys);
}

TEST_P(CopyOnWrite, CompleteBlockProgramsBlankSectors) {
    CardImage card(GetParam());
    auto data = bytes(512, 9);
    ASSERT_EQ(media_write(0, 2, 512, data.data(), 512), SmfsResult::Ok);
    std::uint32_t phys = media_logical_entry(2);
    ASSERT_EQ(media_complete_block(0, 2), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(2), phys);
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s) {
        auto spare = card.sectorSpare(card.firstSectorOfBlock(phys) + s);
        EXPECT_EQ(spare[kSpareAddr1] << 8 | spare[kSpareAddr1 + 1], block_address_field(2));
    }
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read(0, 2, 512, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    EXPECT_EQ(media_complete_block(0, 3), SmfsResult::BlockNotMapped);
}

TEST_P(CopyOnWrite, WholeBlockWritesRoundTripAcrossTheCard) {
    CardImage card(GetParam());
    const CardGeometry& g = card.geometry();
    std::uint32_t blockBytes = g.sectorsPerBlock * 512;
    std::vector<std::uint32_t> blocks{0, 1, g.logBlocks / 2, g.logBlocks - 1};
    for (std::uint32_t l : blocks) {
        auto data = bytes(blockBytes, std::uint8_t(l));
        ASSERT_EQ(media_write(0, l, 0, data.data(), blockBytes), SmfsResult::Ok) << l;
    }
    CardImage::resetLayers();
    for (std::uint32_t l : blocks) {
        std::vector<std::uint8_t> back(blockBytes);
        ASSERT_EQ(media_read(0, l, 0, back.data(), blockBytes), SmfsResult::Ok) << l;
        EXPECT_EQ(back, bytes(blockBytes, std::uint8_t(l))) << l;
        if (g.physBlocks >= 1024) {
            EXPECT_EQ(media_logical_entry(l) / 1024, l / 1000);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CardTypes, CopyOnWrite, ::testing::Range(0, kCardTypeCount),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

TEST(SectorBuffers, PoolIsLastInFirstOutAndEmptyGives28) {
    CardImage card(3);
    std::uint8_t* a = sector_buffer_take();
    std::uint8_t* b = sector_buffer_take();
    std::uint8_t* c = sector_buffer_take();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(sector_buffer_take(), nullptr);
    auto data = bytes(512, 4);
    EXPECT_EQ(media_write(0, 1, 0, data.data(), 512), SmfsResult::OutOfMemory);
    sector_buffer_give(c);
    EXPECT_EQ(sector_buffer_take(), c);
    sector_buffer_give(c);
    EXPECT_EQ(media_write(0, 1, 0, data.data(), 512), SmfsResult::Ok);
    sector_buffer_give(b);
    sector_buffer_give(a);
}

TEST(WriteSectors, RejectsRangesOutsideTheBlock) {
    CardImage card(4);
    auto data = bytes(1024, 1);
    ASSERT_EQ(media_write(0, 1, 0, data.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(media_write_sectors(0, 1, 100, data.data(), 512), SmfsResult::InvalidArgument);
    EXPECT_EQ(media_write_sectors(0, 1, 31 * 512, data.data(), 1024), SmfsResult::InvalidArgument);
    EXPECT_EQ(media_write_sectors(0, 2, 0, data.data(), 512), SmfsResult::BlockNotMapped);
    EXPECT_EQ(media_write(0, 1, 16000, data.data(), 1000), SmfsResult::InvalidArgument);
}

} // namespace
