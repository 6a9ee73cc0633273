// SPDX-License-Identifier: MIT
// Where the page driver puts sector data and spare bytes in the image, for both page sizes,
// and how it identifies cards and rejects bad arguments.
#include "test_card.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, int seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(i * 7 + seed);
    return v;
}

TEST(PageLayout, SmallPageSectorSpansTwoPages) {
    TestCard card(1); // 2 MB, 256-byte pages
    auto data = pattern(512, 1);
    auto spare = pattern(16, 100);
    ASSERT_EQ(smc_write_sector(cs(), 3, data.data(), spare.data()), SmfsResult::Ok);

    auto first = card.readBytes(1024 + 6 * 264, 264);
    auto second = card.readBytes(1024 + 7 * 264, 264);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 256, first.begin()));
    EXPECT_TRUE(std::equal(spare.begin(), spare.begin() + 8, first.begin() + 256));
    EXPECT_TRUE(std::equal(data.begin() + 256, data.end(), second.begin()));
    EXPECT_TRUE(std::equal(spare.begin() + 8, spare.end(), second.begin() + 256));
    // Neighbouring records stay erased.
    auto before = card.readBytes(1024 + 5 * 264, 264);
    EXPECT_EQ(before, std::vector<std::uint8_t>(264, 0xFF));

    std::vector<std::uint8_t> readData(512), readSpare(16);
    ASSERT_EQ(smc_read_sector_data(cs(), 3, readData.data()), SmfsResult::Ok);
    ASSERT_EQ(smc_read_sector_spare(cs(), 3, readSpare.data()), SmfsResult::Ok);
    EXPECT_EQ(readData, data);
    EXPECT_EQ(readSpare, spare);
}

TEST(PageLayout, LargePageSectorIsOneRecord) {
    TestCard card(4); // 16 MB, 512-byte pages
    auto data = pattern(512, 2);
    auto spare = pattern(16, 50);
    ASSERT_EQ(smc_write_sector(cs(), 100, data.data(), spare.data()), SmfsResult::Ok);
    auto record = card.readBytes(1024 + 100 * 528, 528);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), record.begin()));
    EXPECT_TRUE(std::equal(spare.begin(), spare.end(), record.begin() + 512));
}

TEST(PageLayout, EraseWritesWholeBlockOfRecords) {
    TestCard card(6); // 64 MB: three row bytes in the erase address
    card.writeBytes(1024 + 160 * 528 - 1, std::vector<std::uint8_t>(32 * 528 + 2, 0x00));
    ASSERT_EQ(smc_erase_block(cs(), 5 * 32 * 512), SmfsResult::Ok);
    EXPECT_EQ(card.readBytes(1024 + 160 * 528, 32 * 528),
              std::vector<std::uint8_t>(32 * 528, 0xFF));
    // The bytes either side of the block are untouched.
    EXPECT_EQ(card.readBytes(1024 + 160 * 528 - 1, 1)[0], 0x00);
    EXPECT_EQ(card.readBytes(1024 + 192 * 528, 1)[0], 0x00);
}

TEST(PageLayout, HighRowsOnTheLargestCard) {
    TestCard card(7); // 128 MB: rows above 65535 need the fourth address byte
    std::uint32_t lastSector = 8192 * 32 - 1;
    auto data = pattern(512, 9);
    auto spare = pattern(16, 3);
    ASSERT_EQ(smc_write_sector(cs(), lastSector, data.data(), spare.data()), SmfsResult::Ok);
    auto record = card.readBytes(1024 + std::uint64_t(lastSector) * 528, 528);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), record.begin()));
    EXPECT_EQ(smc_write_sector(cs(), lastSector + 1, data.data(), spare.data()),
              SmfsResult::InvalidArgument);
}

TEST(Identification, MakersAndDeviceCodes) {
    EXPECT_EQ(card_type_from_id(0xEC, 0x73), 4);
    EXPECT_EQ(card_type_from_id(0x98, 0x73), 4);
    EXPECT_EQ(card_type_from_id(0x98, 0x6B), 2);
    EXPECT_EQ(card_type_from_id(0xEC, 0x64), 1);
    EXPECT_EQ(card_type_from_id(0xEC, 0x00), 0); // a zero entry is a code like any other
    EXPECT_EQ(card_type_from_id(0x98, 0x00), 0);
    EXPECT_EQ(card_type_from_id(0x12, 0x73), -1);
    EXPECT_EQ(card_type_from_id(0xEC, 0x42), -1);
    const std::uint64_t minimum[] = {1082368,  2163712,  4326400,  8651776,
                                     17302528, 34604032, 69207040, 138413056};
    for (int type = 0; type < kCardTypeCount; ++type)
        EXPECT_EQ(card_image_bytes(type), minimum[type]) << "type " << type;
}

TEST(BadInput, UnknownCardFailsEveryCall) {
    for (std::uint8_t header : {std::uint8_t(0x12), std::uint8_t(0xEC)}) {
        TestCard card(4);
        card.writeBytes(0, {header, 0x42});
        (void)api().reset();
        std::vector<std::uint8_t> buffer(528);
        std::uint32_t phys = 0;
        EXPECT_EQ(smc_probe(cs()), SmfsResult::UnknownCard);
        EXPECT_EQ(smc_read_sector_data(cs(), 0, buffer.data()), SmfsResult::UnknownCard);
        EXPECT_EQ(smc_write_sector(cs(), 0, buffer.data(), buffer.data()), SmfsResult::UnknownCard);
        EXPECT_EQ(smc_erase_block(cs(), 0), SmfsResult::UnknownCard);
        EXPECT_EQ(media_build_map(cs()), SmfsResult::UnknownCard);
        EXPECT_EQ(media_find_block(cs(), 0, &phys), SmfsResult::UnknownCard);
        EXPECT_EQ(media_read(cs(), 0, 0, buffer.data(), 512), SmfsResult::UnknownCard);
        EXPECT_EQ(media_write(cs(), 0, 0, buffer.data(), 512), SmfsResult::UnknownCard);
        // Nothing was written into the image.
        EXPECT_EQ(card.readBytes(1024, 528), std::vector<std::uint8_t>(528, 0xFF));
    }
}

TEST(BadInput, LengthsPastAPageOrSpare) {
    std::vector<std::uint8_t> buffer(600);
    {
        TestCard card(4);
        EXPECT_EQ(smc_read_spare(cs(), 0, buffer.data(), 17), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_spare(cs(), 4, buffer.data(), 13), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_spare(cs(), 4, buffer.data(), 12), SmfsResult::Ok);
        EXPECT_EQ(smc_read_data(cs(), 0, buffer.data(), 529), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_data(cs(), 10, buffer.data(), 519), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_data_upper(cs(), 256, buffer.data(), 265), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_id(cs(), buffer.data(), 1), SmfsResult::InvalidArgument);
    }
    {
        TestCard card(0);
        EXPECT_EQ(smc_read_data_upper(cs(), 256, buffer.data(), 8), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_spare(cs(), 0, buffer.data(), 9), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_data(cs(), 0, buffer.data(), 265), SmfsResult::InvalidArgument);
    }
}

TEST(BadInput, TruncatedImageReadsErasedBytesAndNeverGrowsOnRead) {
    // Only the header and the first two blocks of a 16 MB image.
    TestCard card(4, kMakerSamsung, 1024 + 2 * 32 * 528);
    std::vector<std::uint8_t> data(512, 0x11), spare(16, 0x22);
    ASSERT_EQ(smc_read_sector_data(cs(), 500, data.data()), SmfsResult::Ok);
    ASSERT_EQ(smc_read_sector_spare(cs(), 500, spare.data()), SmfsResult::Ok);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0xFF));
    EXPECT_EQ(spare, std::vector<std::uint8_t>(16, 0xFF));
    // Building the map reads every block's spare; the blocks past the end look free.
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    EXPECT_EQ(media_phys_entry(cs(), 900), kPhysFree);
    EXPECT_EQ(card.bytes().size(), 1024u + 2 * 32 * 528);
}

TEST(CardEvents, RemovalDropsReadinessAndCallsBack) {
    TestCard card(3);
    int removals = 0;
    ASSERT_EQ(api().registerCallback(1, [&] { ++removals; }), SmfsResult::Ok);
    EXPECT_EQ(api().registerCallback(2, nullptr), SmfsResult::InvalidArgument);
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    smc_card_removed(cs());
    EXPECT_EQ(removals, 1);
    EXPECT_FALSE(smc_card_present(cs()));
    EXPECT_FALSE(media_map_built(cs()));
    EXPECT_EQ(smc_card_type(cs()), -1);
    ASSERT_EQ(api().registerCallback(1, nullptr), SmfsResult::Ok);
}

} // namespace
