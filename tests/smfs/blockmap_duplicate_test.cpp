// Two physical blocks claiming one logical block, as a copy on write cut off by power loss
// leaves them: the map keeps the copy that holds everything and erases the other before
// the next write.
#include "card_image.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kLogBlock = 5;

// Programs sectors [0, count) of a physical block for kLogBlock, sector s filled with
// fill + s. With torn set the last of them gets only its first page (256-byte pages).
void programCopy(const CardImage& card, std::uint32_t physBlock, std::uint32_t count,
                 std::uint8_t fill, bool torn = false) {
    const std::uint16_t field = block_address_field(kLogBlock);
    for (std::uint32_t s = 0; s < count; ++s) {
        std::vector<std::uint8_t> data(512, std::uint8_t(fill + s));
        std::uint8_t spare[16];
        spare_build(data.data(), field, spare);
        const std::uint32_t sector = card.firstSectorOfBlock(physBlock) + s;
        if (torn && s + 1 == count) {
            ASSERT_EQ(smc_program_page(0, sector * 512, data.data(), spare), SmfsResult::Ok);
        } else {
            ASSERT_EQ(smc_write_sector(0, sector, data.data(), spare), SmfsResult::Ok);
        }
    }
}

std::uint8_t firstByteRead(std::uint32_t sectorInBlock) {
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(media_read(0, kLogBlock, sectorInBlock * 512, buffer.data(), 512), SmfsResult::Ok);
    return buffer[0];
}

class BlockMapDuplicate : public ::testing::TestWithParam<int> {};

TEST_P(BlockMapDuplicate, UnfinishedCopyLosesWhereverItLies) {
    for (std::uint32_t copyAt : {10u, 30u}) {
        SCOPED_TRACE(copyAt);
        CardImage card(GetParam());
        const std::uint32_t n = card.geometry().sectorsPerBlock;
        programCopy(card, 20, n, 0x10);
        programCopy(card, copyAt, n - 1, 0x80);
        ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
        EXPECT_EQ(media_logical_entry(kLogBlock), 20u);
        EXPECT_EQ(firstByteRead(n - 1), 0x10 + n - 1);
    }
}

TEST_P(BlockMapDuplicate, CopyWithTornLastSectorLoses) {
    CardImage card(GetParam());
    if (card.layout().dataBytes != 256) GTEST_SKIP() << "a 512-byte page is programmed whole";
    const std::uint32_t n = card.geometry().sectorsPerBlock;
    programCopy(card, 20, n, 0x10);
    programCopy(card, 30, n, 0x80, true);
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(kLogBlock), 20u);
}

TEST_P(BlockMapDuplicate, FinishedCopyWinsOverBlockWithBlankSectors) {
    CardImage card(GetParam());
    const std::uint32_t n = card.geometry().sectorsPerBlock;
    programCopy(card, 30, 3, 0x10); // written in place, the rest still blank
    programCopy(card, 10, n, 0x80);
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(kLogBlock), 10u);
    EXPECT_EQ(firstByteRead(n - 1), 0x80 + n - 1);
}

TEST_P(BlockMapDuplicate, TwoWholeBlocksKeepTheLaterOne) {
    CardImage card(GetParam());
    const std::uint32_t n = card.geometry().sectorsPerBlock;
    programCopy(card, 10, n, 0x10);
    programCopy(card, 30, n, 0x80);
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(kLogBlock), 30u);
}

TEST_P(BlockMapDuplicate, LoserIsErasedAtTheNextWriteNotByTheBuild) {
    CardImage card(GetParam());
    const std::uint32_t n = card.geometry().sectorsPerBlock;
    programCopy(card, 20, n, 0x10);
    programCopy(card, 30, 2, 0x80);
    const std::uint32_t loserSector = card.firstSectorOfBlock(30);
    const std::vector<std::uint8_t> before = card.sectorSpare(loserSector);

    // Building the map (a read-only check does) leaves the card as it is.
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(card.sectorSpare(loserSector), before);
    EXPECT_EQ(media_phys_entry(30), block_address_field(kLogBlock));

    std::vector<std::uint8_t> data(512, 0x42);
    ASSERT_EQ(media_write(0, kLogBlock + 1, 0, data.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(card.sectorSpare(loserSector), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(media_phys_entry(30), kPhysFree);

    // Copying the kept block later leaves one claim, whatever the cursor picks.
    ASSERT_EQ(media_write(0, kLogBlock, 0, data.data(), 512), SmfsResult::Ok);
    CardImage::resetLayers();
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    EXPECT_EQ(firstByteRead(0), 0x42);
    EXPECT_EQ(firstByteRead(n - 1), 0x10 + n - 1);
}

INSTANTIATE_TEST_SUITE_P(Cards, BlockMapDuplicate, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "type" + std::to_string(info.param);
                         });

} // namespace
