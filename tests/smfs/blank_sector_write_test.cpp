// The first write to an unmapped block leaves the sectors it does not touch blank, so that a
// later write into them goes in place; the block survives a map rebuild either way.
#include "card_image.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(seed + i * 7);
    return v;
}

class BlankSectorWrite : public ::testing::TestWithParam<int> {};

TEST_P(BlankSectorWrite, LaterWritesIntoBlankSectorsGoInPlace) {
    CardImage card(GetParam());
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    const std::uint64_t pagesPerSector = card.layout().dataBytes == 256 ? 2 : 1;
    const auto first = bytes(1024, 1);
    const auto second = bytes(1400, 2);

    chip_reset_counters();
    ASSERT_EQ(media_write(0, 5, 0, first.data(), 1024), SmfsResult::Ok);
    const ChipCounters fresh = chip_counters();
    EXPECT_EQ(fresh.blockErases, 1u);
    EXPECT_EQ(fresh.pagePrograms, 2 * pagesPerSector);
    const std::uint32_t phys = media_logical_entry(5);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(phys) + 2),
              std::vector<std::uint8_t>(16, 0xFF));

    // Sectors 2 to 4: no erase, no move, only their own programs.
    chip_reset_counters();
    ASSERT_EQ(media_write(0, 5, 1100, second.data(), 1400), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(5), phys);
    EXPECT_EQ(chip_counters().blockErases, 0u);
    EXPECT_EQ(chip_counters().pagePrograms, 3 * pagesPerSector);

    std::vector<std::uint8_t> expect(spb * 512, 0xFF);
    std::copy(first.begin(), first.end(), expect.begin());
    std::copy(second.begin(), second.end(), expect.begin() + 1100);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::uint8_t> back(expect.size());
        ASSERT_EQ(media_read(0, 5, 0, back.data(), std::uint32_t(back.size())), SmfsResult::Ok);
        EXPECT_EQ(back, expect) << "pass " << pass;
        // The second pass reads what the map rebuilt from the card finds.
        CardImage::resetLayers();
    }
}

TEST_P(BlankSectorWrite, FirstSectorIsProgrammedWhenTheWriteStartsLater) {
    CardImage card(GetParam());
    const auto data = bytes(512, 3);
    ASSERT_EQ(media_write(0, 7, 3 * 512, data.data(), 512), SmfsResult::Ok);
    const std::uint32_t phys = media_logical_entry(7);
    // The first sector carries the block address field the map is built from.
    EXPECT_NE(card.sectorSpare(card.firstSectorOfBlock(phys)), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(phys) + 1),
              std::vector<std::uint8_t>(16, 0xFF));

    CardImage::resetLayers();
    std::vector<std::uint8_t> back(4 * 512);
    ASSERT_EQ(media_read(0, 7, 0, back.data(), 4 * 512), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(7), phys);
    EXPECT_TRUE(
        std::all_of(back.begin(), back.begin() + 3 * 512, [](auto b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 3 * 512));
}

INSTANTIATE_TEST_SUITE_P(CardTypes, BlankSectorWrite, ::testing::Values(1, 4),
                         [](const auto& info) { return "Type" + std::to_string(info.param); });

} // namespace
