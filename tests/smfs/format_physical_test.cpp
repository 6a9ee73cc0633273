// The physical pass of the format: which blocks the quick and the full format count as bad,
// leave, erase or mark, with faults injected through the chip's test seam; the retired
// block 0 and the place of the CIS.
#include "test_card.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <set>

namespace {

class FormatPhysicalTest : public testing::Test {
protected:
    // The first spare of a block, and its status byte set to a value.
    void setStatus(std::uint32_t block, std::uint8_t status) {
        card_.writeBytes(spareOffset(block) + kSpareBlockStatus, {status});
    }
    std::uint8_t status(std::uint32_t block) {
        return card_.readBytes(spareOffset(block) + kSpareBlockStatus, 1)[0];
    }
    std::uint64_t spareOffset(std::uint32_t block) {
        return card_.pageOffset(block * card_.geometry().pagesPerBlock) + card_.layout().dataBytes;
    }
    std::vector<std::uint8_t> firstPage(std::uint32_t block) {
        return card_.readBytes(card_.pageOffset(block * card_.geometry().pagesPerBlock),
                               card_.layout().recordBytes);
    }
    void writeData(std::uint32_t block, std::uint8_t value) {
        card_.writeBytes(card_.pageOffset(block * card_.geometry().pagesPerBlock),
                         std::vector<std::uint8_t>(64, value));
    }
    // Faults for the pages of chosen blocks.
    void failIn(ChipOp op, std::set<std::uint32_t> blocks, ChipFault fault) {
        const std::uint32_t pagesPerBlock = card_.geometry().pagesPerBlock;
        chip_set_fault_hook(cs(), [=](ChipOp seen, std::uint32_t page) {
            return seen == op && blocks.count(page / pagesPerBlock) ? fault : ChipFault::None;
        });
    }

    TestCard card_{2}; // 4 MB: 512 blocks of 16 sectors, 512-byte pages
};

TEST_F(FormatPhysicalTest, QuickFormatLeavesMarkedBlocksAndErasesTheRest) {
    setStatus(10, 0x00);
    writeData(10, 0x12);
    setStatus(11, 0xFE);
    writeData(11, 0x34);
    setStatus(12, 0x3F); // six one bits
    setStatus(13, 0x7F); // seven
    writeData(14, 0x56);

    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 2u);
    EXPECT_EQ(status(10), 0x00);
    EXPECT_EQ(firstPage(10)[0], 0x12) << "a bad block is left as it is";
    EXPECT_EQ(status(12), 0x3F);
    const std::vector<std::uint8_t> erased(card_.layout().recordBytes, 0xFF);
    EXPECT_EQ(firstPage(11), erased);
    EXPECT_EQ(firstPage(13), erased);
    EXPECT_EQ(firstPage(14), erased);
    EXPECT_EQ(media_phys_entry(cs(), 10), kPhysRetired);
    EXPECT_EQ(media_phys_entry(cs(), 11), kPhysFree);
}

TEST_F(FormatPhysicalTest, BlockZeroIsRetiredButNeverCounted) {
    setStatus(0, 0x00);
    writeData(0, 0x21);
    std::uint32_t bad = 9;
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 0u);
    for (std::uint32_t s = 0; s < 16; ++s) {
        EXPECT_EQ(card_.sectorSpare(s)[kSpareBlockStatus], 0xF0);
        EXPECT_EQ(card_.sectorData(s), std::vector<std::uint8_t>(512, 0xFF));
    }
    // A reformat finds block 0 marked by the previous one: still no bad block.
    for (int mode : {kFormatQuick, kFormatFull}) {
        ASSERT_EQ(media_low_format(cs(), mode, &bad), SmfsResult::Ok);
        EXPECT_EQ(bad, 0u) << "mode " << mode;
    }
    setStatus(5, 0x00);
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 1u);
}

TEST_F(FormatPhysicalTest, CisGoesToTheFirstGoodBlockAfterBlockZero) {
    setStatus(1, 0x00);
    setStatus(2, 0x0F);
    std::uint32_t bad = 0;
    ASSERT_EQ(quickFormat(cs(), &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 2u);
    EXPECT_EQ(status(1), 0x00);
    const std::vector<std::uint8_t> cis = card_.sectorData(card_.firstSectorOfBlock(3));
    EXPECT_EQ(cis[0], 0x01);
    EXPECT_EQ(cis[2], 0xD9);
    EXPECT_EQ(cis[109], 0xFF);
    EXPECT_EQ(media_phys_entry(cs(), 3), kFieldCis);
    for (std::uint32_t logBlock = 0; logBlock < card_.geometry().logBlocks; ++logBlock)
        ASSERT_NE(media_logical_entry(cs(), logBlock), 3u);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Ok);
}

TEST_F(FormatPhysicalTest, QuickFormatMarksABlockThatWillNotErase) {
    writeData(20, 0x77);
    failIn(ChipOp::Erase, {20}, ChipFault::Fail);
    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 1u);
    EXPECT_EQ(status(20), 0xF0);
    EXPECT_EQ(media_phys_entry(cs(), 20), kPhysRetired);
}

TEST_F(FormatPhysicalTest, FullFormatFindsBlocksThatFailTheSurfaceTest) {
    // Block 30 refuses a program; block 31 stores a wrong byte; block 32 will not erase.
    const std::uint32_t pagesPerBlock = card_.geometry().pagesPerBlock;
    chip_set_fault_hook(cs(), [=](ChipOp op, std::uint32_t page) {
        const std::uint32_t block = page / pagesPerBlock;
        if (op == ChipOp::Program && block == 30 && page % pagesPerBlock == 5)
            return ChipFault::Fail;
        if (op == ChipOp::Program && block == 31 && page % pagesPerBlock == 9)
            return ChipFault::Corrupt;
        if (op == ChipOp::Erase && block == 32) return ChipFault::Fail;
        return ChipFault::None;
    });
    setStatus(40, 0x01); // one bit: counted without a test
    setStatus(41, 0xF0); // retired before, but retested and good
    writeData(41, 0x99);

    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatFull, &bad), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_EQ(bad, 4u);
    for (std::uint32_t block : {30u, 31u, 32u}) {
        EXPECT_EQ(status(block), 0xF0) << "block " << block;
        EXPECT_EQ(media_phys_entry(cs(), block), kPhysRetired) << "block " << block;
    }
    EXPECT_EQ(status(40), 0x01);
    const std::vector<std::uint8_t> erased(card_.layout().recordBytes, 0xFF);
    EXPECT_EQ(firstPage(41), erased);
    EXPECT_EQ(firstPage(29), erased) << "a good block does not keep the test pattern";
    EXPECT_EQ(card_.sectorData(card_.firstSectorOfBlock(33) + 15),
              std::vector<std::uint8_t>(512, 0xFF));

    ASSERT_EQ(format_volume(cs(), ""), SmfsResult::Ok);
    VolumeSpace space{};
    ASSERT_EQ(volume_space(cs(), &space), SmfsResult::Ok);
    EXPECT_EQ(space.usedBytes, 0u);
    EXPECT_EQ(space.badClusters, 0u);
}

TEST_F(FormatPhysicalTest, DriverFailuresStopThePass) {
    failIn(ChipOp::Erase, {7}, ChipFault::Timeout);
    std::uint32_t bad = 0;
    EXPECT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::StatusTimeout);
    chip_set_fault_hook(cs(), nullptr);
    (void)api().reset();
    failIn(ChipOp::Program, {9}, ChipFault::Timeout);
    EXPECT_EQ(media_low_format(cs(), kFormatFull, &bad), SmfsResult::StatusTimeout);
}

TEST_F(FormatPhysicalTest, OtherModeSkipsTheBlockPass) {
    writeData(50, 0x11);
    setStatus(51, 0x00);
    std::uint32_t bad = 9;
    ASSERT_EQ(media_low_format(cs(), 2, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(firstPage(50)[0], 0x11);
    EXPECT_EQ(status(0), 0xF0);
    EXPECT_EQ(media_phys_entry(cs(), 1), kFieldCis);
}

TEST(FormatPhysicalSmallPages, FullFormatOnTwoPageSectors) {
    TestCard card(0); // 256-byte pages: each sector is two pages
    const std::uint32_t pagesPerBlock = card.geometry().pagesPerBlock;
    chip_set_fault_hook(cs(), [=](ChipOp op, std::uint32_t page) {
        return op == ChipOp::Program && page == 100 * pagesPerBlock + 3 ? ChipFault::Corrupt
                                                                        : ChipFault::None;
    });
    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatFull, &bad), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_EQ(bad, 1u);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(100))[kSpareBlockStatus], 0xF0);
    ASSERT_EQ(format_volume(cs(), ""), SmfsResult::Ok);
}

} // namespace
