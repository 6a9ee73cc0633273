// Building the block map from spare areas, free-block allocation, and block reads with ECC.
#include "card_image.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

namespace {

// Programs the first sector of a physical block with the given status and field bytes.
void markBlock(const CardImage& card, std::uint32_t physBlock, std::uint8_t status,
               std::uint16_t field) {
    std::vector<std::uint8_t> data(512, 0xFF), spare(16, 0xFF);
    spare[kSpareBlockStatus] = status;
    spare[kSpareAddr1] = std::uint8_t(field >> 8);
    spare[kSpareAddr1 + 1] = std::uint8_t(field);
    ASSERT_EQ(smc_write_sector(0, card.firstSectorOfBlock(physBlock), data.data(), spare.data()),
              SmfsResult::Ok);
}

class BlockMapPerType : public ::testing::TestWithParam<int> {};

TEST_P(BlockMapPerType, BuiltFromSpareAreas) {
    CardImage card(GetParam());
    std::uint32_t phys = card.geometry().physBlocks;
    markBlock(card, 1, 0xFF, kFieldCis);                     // the CIS block is no mapping
    markBlock(card, 2, 0xF0, block_address_field(7));        // retired
    markBlock(card, 4, 0xFE, block_address_field(7));        // one bit off: usable
    markBlock(card, 5, 0xFF, block_address_field(9) ^ 0x01); // wrong parity: ignored
    markBlock(card, 6, 0xFF, block_address_field(3));
    markBlock(card, 8, 0xFF, block_address_field(3)); // duplicate: the later block wins
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);

    EXPECT_EQ(media_phys_entry(0), kPhysFree);
    EXPECT_EQ(media_phys_entry(1), kFieldCis);
    EXPECT_EQ(media_phys_entry(2), kPhysRetired);
    EXPECT_EQ(media_phys_entry(3), kPhysFree);
    EXPECT_EQ(media_logical_entry(7), 4u);
    EXPECT_EQ(media_logical_entry(9), 0u);
    EXPECT_EQ(media_logical_entry(3), 8u);
    EXPECT_EQ(media_logical_entry(0), 0u);
    EXPECT_EQ(media_phys_entry(phys - 1), kPhysFree);
    EXPECT_LT(media_cursor(), phys);
}

TEST_P(BlockMapPerType, BlankCardMapsNothing) {
    CardImage card(GetParam());
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    for (std::uint32_t b = 0; b < card.geometry().physBlocks; ++b)
        ASSERT_EQ(media_phys_entry(b), kPhysFree);
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(media_read(0, 0, 0, buffer.data(), 512), SmfsResult::BlockNotMapped);
    EXPECT_EQ(media_read(0, card.geometry().logBlocks, 0, buffer.data(), 512),
              SmfsResult::InvalidArgument);
}

TEST_P(BlockMapPerType, FirstWriteOfLogicalZeroLandsInBlockThree) {
    CardImage card(GetParam());
    std::vector<std::uint8_t> data(512, 0x5A);
    media_seed(12345);
    ASSERT_EQ(media_write(0, 0, 0, data.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(0), 3u);
    auto spare = card.sectorSpare(card.firstSectorOfBlock(3));
    EXPECT_EQ(spare[kSpareAddr1], 0x10);
    EXPECT_EQ(spare[kSpareAddr1 + 1], 0x01);
    EXPECT_EQ(spare[kSpareAddr2], 0x10);
    EXPECT_EQ(spare[kSpareAddr2 + 1], 0x01);
    EXPECT_EQ(card.sectorData(card.firstSectorOfBlock(3)), data);

    // A fresh map from the card finds the same mapping.
    CardImage::resetLayers();
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(0), 3u);
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read(0, 0, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
}

TEST_P(BlockMapPerType, AllocationStaysInTheZoneAndNeverUsesBlockZero) {
    CardImage card(GetParam());
    const CardGeometry& g = card.geometry();
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    media_set_cursor(0);
    std::uint32_t last = g.logBlocks - 1;
    std::uint32_t phys = 0;
    ASSERT_EQ(media_find_block(0, last, &phys), SmfsResult::Ok);
    EXPECT_NE(phys, 0u);
    if (g.physBlocks >= 1024) {
        EXPECT_EQ(phys / 1024, last / 1000);
    }
    EXPECT_EQ(media_find_block(0, g.logBlocks, &phys), SmfsResult::InvalidArgument);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, BlockMapPerType, ::testing::Range(0, kCardTypeCount),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

TEST(BlockMap, FieldNumbersBeyondTheZoneAreIgnored) {
    CardImage card(5); // 32 MB: two zones of 1024 blocks, 1000 logical blocks each
    std::uint16_t field = std::uint16_t(0x1000 | (1005 << 1));
    if (!block_address_field_valid(field)) field |= 1;
    markBlock(card, 10, 0xFF, field);
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(1005), 0u);
}

TEST(BlockMap, ZoneWithoutFreeBlockGives12) {
    CardImage card(0); // 256 blocks in one zone
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    for (std::uint32_t b = 1; b < 256; ++b)
        markBlock(card, b, 0xF0, 0xFFFF);
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    std::uint32_t phys = 0;
    EXPECT_EQ(media_find_block(0, 5, &phys), SmfsResult::NoFreeBlock);
    std::vector<std::uint8_t> data(512, 1);
    EXPECT_EQ(media_write(0, 5, 0, data.data(), 512), SmfsResult::NoFreeBlock);
}

TEST(BlockRead, EccCorrectsOneBitAndReportsTwo) {
    CardImage card(4);
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 13);
    ASSERT_EQ(media_write(0, 9, 0, data.data(), 1024), SmfsResult::Ok);
    std::uint32_t phys = media_logical_entry(9);
    std::uint64_t sector0 = card.pageOffset(card.firstSectorOfBlock(phys));

    // One flipped bit in the second half of sector 0: corrected on a whole-sector read.
    auto byte = card.readBytes(sector0 + 300, 1);
    card.writeBytes(sector0 + 300, {std::uint8_t(byte[0] ^ 0x10)});
    std::vector<std::uint8_t> back(1024);
    ASSERT_EQ(media_read(0, 9, 0, back.data(), 1024), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    // Partial reads are not checked: they see the flipped bit.
    std::vector<std::uint8_t> part(100);
    ASSERT_EQ(media_read(0, 9, 290, part.data(), 100), SmfsResult::Ok);
    EXPECT_EQ(part[10], std::uint8_t(data[300] ^ 0x10));

    // A second flipped bit in the same half: reported, and the data is delivered as read.
    card.writeBytes(sector0 + 301, {std::uint8_t(data[301] ^ 0x01)});
    EXPECT_EQ(media_read(0, 9, 0, back.data(), 1024), SmfsResult::EccUncorrectable);
    EXPECT_EQ(back[301], std::uint8_t(data[301] ^ 0x01));
    EXPECT_TRUE(std::equal(data.begin() + 512, data.end(), back.begin() + 512));
}

TEST(BlockRead, RangesOnSmallPages) {
    CardImage card(1);
    std::vector<std::uint8_t> data(8 * 512);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i ^ (i >> 8));
    ASSERT_EQ(media_write(0, 17, 0, data.data(), std::uint32_t(data.size())), SmfsResult::Ok);
    // Head, whole sectors and tail, crossing page boundaries.
    for (auto [offset, length] : {std::pair{10u, 100u},
                                  {250u, 20u},
                                  {200u, 1500u},
                                  {0u, 4096u},
                                  {3000u, 1096u},
                                  {511u, 2u}}) {
        std::vector<std::uint8_t> back(length);
        ASSERT_EQ(media_read(0, 17, offset, back.data(), length), SmfsResult::Ok);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + offset))
            << offset << "+" << length;
    }
    std::vector<std::uint8_t> back(8);
    EXPECT_EQ(media_read(0, 17, 4090, back.data(), 8), SmfsResult::InvalidArgument);
}

} // namespace
