// SPDX-License-Identifier: MIT
// Format: the logical layout of every card type, and the physical pass with its bad blocks.
#include "test_card.h"

#include "smfs/ecc.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

struct ExpectedLayout {
    std::uint32_t firstSector;
    std::uint32_t partitionSectors;
    FatType fatType;
    std::uint32_t sectorsPerFat;
    std::uint32_t systemBlocks;
};

const ExpectedLayout kExpected[kCardTypeCount] = {
    {13, 1987, FatType::Fat12, 1, 4},    {11, 3989, FatType::Fat12, 2, 4},
    {27, 7973, FatType::Fat12, 2, 3},    {25, 15975, FatType::Fat12, 3, 3},
    {41, 31959, FatType::Fat12, 3, 2},   {35, 63965, FatType::Fat12, 6, 2},
    {55, 127945, FatType::Fat12, 12, 3}, {47, 255953, FatType::Fat16, 32, 4},
};

class FormatLayoutTest : public testing::TestWithParam<int> {};

TEST_P(FormatLayoutTest, QuickFormatOfBlankCard) {
    TestCard card(GetParam());
    const CardGeometry& g = card.geometry();
    const ExpectedLayout& want = kExpected[GetParam()];
    const std::uint32_t spb = g.sectorsPerBlock;

    std::uint32_t bad = 99;
    ASSERT_EQ(api().format("vx:", 0, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 0u);
    const std::uint32_t s = want.firstSector;
    const std::uint32_t cyl = s / g.sectorsPerTrack / g.heads;
    const bool small = want.partitionSectors < 65536;
    const struct {
        std::uint32_t sector, offset, width, value;
    } fields[] = {{0, 446, 1, 0x80},
                  {0, 447, 1, (s / g.sectorsPerTrack) % g.heads},
                  {0, 448, 1, ((cyl >> 2) & 0xC0) | (s % g.sectorsPerTrack + 1)},
                  {0, 449, 1, cyl & 0xFF},
                  {0, 450, 1, 0x01},
                  {0, 451, 1, g.heads - 1u},
                  {0, 452, 1, (((g.cylinders - 1) >> 2) & 0xC0) | g.sectorsPerTrack},
                  {0, 453, 1, (g.cylinders - 1) & 0xFF},
                  {0, 454, 4, s},
                  {0, 458, 4, want.partitionSectors},
                  {0, 510, 2, 0xAA55},
                  {s, 0, 1, 0xE9},
                  {s, 11, 2, 512},
                  {s, 13, 1, spb},
                  {s, 14, 2, 1},
                  {s, 16, 1, 2},
                  {s, 17, 2, 256},
                  {s, 19, 2, small ? want.partitionSectors : 0},
                  {s, 21, 1, 0xF8},
                  {s, 22, 2, want.sectorsPerFat},
                  {s, 24, 2, g.sectorsPerTrack},
                  {s, 26, 2, g.heads},
                  {s, 28, 4, s},
                  {s, 32, 4, small ? 0 : want.partitionSectors},
                  {s, 36, 1, 0x80},
                  {s, 38, 1, 0x29},
                  {s, 39, 4, 0},
                  {s, 510, 2, 0xAA55}};
    const std::vector<std::uint8_t> mbr = card.logicalSector(0);
    const std::vector<std::uint8_t> bs = card.logicalSector(s);
    for (const auto& f : fields) {
        const std::uint8_t* at = (f.sector == 0 ? mbr : bs).data() + f.offset;
        const std::uint32_t value = f.width == 1 ? at[0] : f.width == 2 ? le16(at) : le32(at);
        EXPECT_EQ(value, f.value) << "sector " << f.sector << " byte " << f.offset;
    }
    EXPECT_TRUE(std::all_of(mbr.begin(), mbr.begin() + 446, [](auto b) { return b == 0; }));
    EXPECT_EQ(std::memcmp(&bs[3], "SMFS1.0\0", 8), 0);
    EXPECT_EQ(std::memcmp(&bs[43], "           ", 11), 0);
    EXPECT_EQ(std::memcmp(&bs[54], want.fatType == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8), 0);

    // Two FAT copies, then a zero root ending where the data blocks begin.
    std::vector<std::uint8_t> fatHead(512, 0);
    fatHead[0] = 0xF8, fatHead[1] = fatHead[2] = 0xFF;
    fatHead[3] = want.fatType == FatType::Fat16 ? 0xFF : 0x00;
    for (std::uint32_t copy = 0; copy < 2; ++copy)
        EXPECT_EQ(card.logicalSector(s + 1 + copy * want.sectorsPerFat), fatHead) << copy;
    const std::uint32_t rootStart = s + 1 + 2 * want.sectorsPerFat;
    EXPECT_EQ(rootStart + 16, want.systemBlocks * spb);
    EXPECT_EQ(card.logicalSector(rootStart + 15), std::vector<std::uint8_t>(512, 0));

    // Block 0 retired in every sector; the CIS in block 1.
    for (std::uint32_t sector = 0; sector < spb; ++sector)
        ASSERT_EQ(card.sectorSpare(sector)[5], 0xF0) << "block 0 sector " << sector;
    const std::vector<std::uint8_t> cis = card.sectorData(card.firstSectorOfBlock(1));
    const std::vector<std::uint8_t> cisHead = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF};
    const std::vector<std::uint8_t> cisTail = {0x30, 0x2E, 0x30, 0x00, 0xFF, 0x14, 0x00, 0xFF};
    EXPECT_TRUE(std::equal(cisHead.begin(), cisHead.end(), cis.begin()));
    EXPECT_TRUE(std::equal(cisTail.begin(), cisTail.end(), cis.begin() + 102));
    EXPECT_TRUE(std::all_of(cis.begin() + 110, cis.end(), [](auto b) { return b == 0; }));
    const std::vector<std::uint8_t> cisSpare = card.sectorSpare(card.firstSectorOfBlock(1));
    for (std::size_t i : {5, 6, 7, 11, 12})
        EXPECT_EQ(cisSpare[i], i == 5 ? 0xFF : 0) << "CIS spare byte " << i;
    EXPECT_EQ(media_phys_entry(cs(), 1), kFieldCis);
    ASSERT_NE(fat_volume(cs()), nullptr);
    EXPECT_EQ(fat_volume(cs())->clusterCount, g.logBlocks - want.systemBlocks);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FormatLayoutTest, testing::Range(0, kCardTypeCount),
                         cardTypeName);

// A 4 MB card: 512 blocks of 16 sectors. mark() sets a block's status byte and data.
class FormatPhysicalTest : public testing::Test {
protected:
    void mark(std::uint32_t block, int status, int data = -1) {
        const std::uint64_t at = card_.pageOffset(block * 16);
        if (status >= 0) card_.writeBytes(at + 512 + kSpareBlockStatus, {std::uint8_t(status)});
        if (data >= 0) card_.writeBytes(at, std::vector<std::uint8_t>(64, std::uint8_t(data)));
    }
    std::vector<std::uint8_t> firstPage(std::uint32_t b) {
        return card_.readBytes(card_.pageOffset(b * 16), 528);
    }
    std::uint8_t status(std::uint32_t block) { return firstPage(block)[512 + kSpareBlockStatus]; }
    // The chip fails an operation in the pages of chosen blocks (page -1: any page).
    void failIn(std::map<std::uint32_t, std::pair<ChipOp, ChipFault>> blocks, int page = -1) {
        chip_set_fault_hook(cs(), [=](ChipOp op, std::uint32_t p) {
            const auto it = blocks.find(p / 16);
            const bool hit = it != blocks.end() && it->second.first == op &&
                             (page < 0 || int(p % 16) == page || op == ChipOp::Erase);
            return hit ? it->second.second : ChipFault::None;
        });
    }
    const std::vector<std::uint8_t> erased_ = std::vector<std::uint8_t>(528, 0xFF);
    TestCard card_{2};
};

TEST_F(FormatPhysicalTest, QuickFormatKeepsMarkedBlocksMarksFailuresAndErasesTheRest) {
    mark(0, 0x00, 0x21); // never counted
    mark(1, 0x00);       // the CIS goes to block 3
    mark(2, 0x0F);
    mark(10, 0x00, 0x12);
    mark(11, 0xFE, 0x34);
    mark(12, 0x3F); // six one bits
    mark(13, 0x7F); // seven
    mark(14, -1, 0x56);
    mark(20, -1, 0x77);
    failIn({{20, {ChipOp::Erase, ChipFault::Fail}}});
    std::uint32_t bad = 0;
    ASSERT_EQ(api().format("vx:", 0, &bad), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_EQ(bad, 5u);
    EXPECT_EQ(status(10), 0x00);
    EXPECT_EQ(firstPage(10)[0], 0x12) << "a bad block is left as it is";
    EXPECT_EQ(status(12), 0x3F);
    EXPECT_EQ(status(20), 0xF0);
    for (std::uint32_t b : {11u, 13u, 14u})
        EXPECT_EQ(firstPage(b), erased_) << "block " << b;
    for (std::uint32_t b : {1u, 2u, 10u, 12u, 20u})
        EXPECT_EQ(media_phys_entry(cs(), b), kPhysRetired) << "block " << b;
    EXPECT_EQ(media_phys_entry(cs(), 11), kPhysFree);
    const std::vector<std::uint8_t> cis = card_.sectorData(card_.firstSectorOfBlock(3));
    EXPECT_TRUE(cis[0] == 0x01 && cis[109] == 0xFF);
    EXPECT_EQ(media_phys_entry(cs(), 3), kFieldCis);
    for (std::uint32_t logBlock = 0; logBlock < card_.geometry().logBlocks; ++logBlock)
        ASSERT_NE(media_logical_entry(cs(), logBlock), 3u);
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 5u);
}

TEST_F(FormatPhysicalTest, FullFormatFindsBlocksThatFailTheSurfaceTest) {
    failIn({{30, {ChipOp::Program, ChipFault::Fail}},
            {31, {ChipOp::Program, ChipFault::Corrupt}},
            {32, {ChipOp::Erase, ChipFault::Fail}}},
           9);
    mark(40, 0x01);       // one bit: counted without a test
    mark(41, 0xF0, 0x99); // retired before, but retested and good
    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatFull, &bad), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_EQ(bad, 4u);
    for (std::uint32_t b : {30u, 31u, 32u})
        EXPECT_TRUE(status(b) == 0xF0 && media_phys_entry(cs(), b) == kPhysRetired) << b;
    EXPECT_EQ(status(40), 0x01);
    EXPECT_EQ(firstPage(41), erased_);
    EXPECT_EQ(firstPage(29), erased_) << "a good block does not keep the test pattern";
    EXPECT_EQ(card_.sectorData(card_.firstSectorOfBlock(33) + 15),
              std::vector<std::uint8_t>(512, 0xFF));
    failIn({{9, {ChipOp::Program, ChipFault::Timeout}}});
    EXPECT_EQ(media_low_format(cs(), kFormatFull, &bad), SmfsResult::StatusTimeout);
    failIn({{7, {ChipOp::Erase, ChipFault::Timeout}}});
    EXPECT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::StatusTimeout);
}

} // namespace
