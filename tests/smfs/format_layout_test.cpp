// A quick format of a blank card of each type, checked from the image bytes: the layout of
// the system area, the master boot record, the boot sector, the FAT copies, the retired
// block 0 and the CIS, and the mounted volume's layout and space figures.
#include "test_card.h"

#include <common/le_bytes.h>
#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct ExpectedLayout {
    std::uint32_t firstSector;
    std::uint32_t partitionSectors;
    FatType fatType;
    std::uint32_t sectorsPerFat;
    std::uint32_t systemBlocks;
};

// Worked out by hand from the card geometry.
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

    const FormatLayout layout = format_layout(g);
    EXPECT_EQ(layout.partitionFirstSector, want.firstSector);
    EXPECT_EQ(layout.partitionSectors, want.partitionSectors);
    EXPECT_EQ(layout.fatType, want.fatType);
    EXPECT_EQ(layout.sectorsPerFat, want.sectorsPerFat);
    EXPECT_EQ(layout.systemBlocks, want.systemBlocks);

    std::uint32_t bad = 99;
    ASSERT_EQ(quickFormat(cs(), &bad), SmfsResult::Ok);
    EXPECT_EQ(bad, 0u);

    // Master boot record.
    const std::vector<std::uint8_t> mbr = card.logicalSector(0);
    const std::uint32_t s = want.firstSector;
    const std::uint32_t startCylinder = s / g.sectorsPerTrack / g.heads;
    EXPECT_EQ(mbr[446], 0x80);
    EXPECT_EQ(mbr[447], (s / g.sectorsPerTrack) % g.heads);
    EXPECT_EQ(mbr[448], (((startCylinder >> 2) & 0xC0) | (s % g.sectorsPerTrack + 1)));
    EXPECT_EQ(mbr[449], startCylinder & 0xFF);
    EXPECT_EQ(mbr[450], 0x01);
    EXPECT_EQ(mbr[451], g.heads - 1);
    EXPECT_EQ(mbr[452], ((((g.cylinders - 1) >> 2) & 0xC0) | g.sectorsPerTrack));
    EXPECT_EQ(mbr[453], (g.cylinders - 1) & 0xFF);
    EXPECT_EQ(le32(&mbr[454]), s);
    EXPECT_EQ(le32(&mbr[458]), want.partitionSectors);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    for (std::size_t i = 0; i < 446; ++i)
        ASSERT_EQ(mbr[i], 0) << "MBR byte " << i;

    // Boot sector at the partition's first sector.
    const std::vector<std::uint8_t> bs = card.logicalSector(s);
    EXPECT_EQ(bs[0], 0xE9);
    EXPECT_EQ(std::memcmp(&bs[3], "SMFS1.0\0", 8), 0);
    EXPECT_EQ(le16(&bs[11]), 512);
    EXPECT_EQ(bs[13], spb);
    EXPECT_EQ(le16(&bs[14]), 1);
    EXPECT_EQ(bs[16], 2);
    EXPECT_EQ(le16(&bs[17]), 256);
    const bool small = want.partitionSectors < 65536;
    EXPECT_EQ(le16(&bs[19]), small ? want.partitionSectors : 0);
    EXPECT_EQ(le32(&bs[32]), small ? 0 : want.partitionSectors);
    EXPECT_EQ(bs[21], 0xF8);
    EXPECT_EQ(le16(&bs[22]), want.sectorsPerFat);
    EXPECT_EQ(le16(&bs[24]), g.sectorsPerTrack);
    EXPECT_EQ(le16(&bs[26]), g.heads);
    EXPECT_EQ(le32(&bs[28]), s);
    EXPECT_EQ(bs[36], 0x80);
    EXPECT_EQ(bs[38], 0x29);
    EXPECT_EQ(le32(&bs[39]), 0u);
    EXPECT_EQ(std::memcmp(&bs[43], "           ", 11), 0);
    EXPECT_EQ(std::memcmp(&bs[54], want.fatType == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8), 0);
    EXPECT_EQ(bs[510], 0x55);
    EXPECT_EQ(bs[511], 0xAA);

    // Two FAT copies, then a zero root; the last root sector ends where block k begins.
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        const std::uint32_t first = s + 1 + copy * want.sectorsPerFat;
        const std::vector<std::uint8_t> head = card.logicalSector(first);
        const std::uint8_t fourth = want.fatType == FatType::Fat16 ? 0xFF : 0x00;
        EXPECT_EQ(std::vector<std::uint8_t>(head.begin(), head.begin() + 4),
                  (std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, fourth}));
        for (std::size_t i = 4; i < 512; ++i)
            ASSERT_EQ(head[i], 0) << "FAT byte " << i;
    }
    const std::uint32_t rootStart = s + 1 + 2 * want.sectorsPerFat;
    EXPECT_EQ(rootStart + 16, want.systemBlocks * spb);
    for (std::uint32_t sector = rootStart + 15; sector > rootStart; sector -= 5)
        EXPECT_EQ(card.logicalSector(sector), std::vector<std::uint8_t>(512, 0));

    // Physical block 0 retired in every sector; the CIS in block 1 with field 0x0000.
    for (std::uint32_t sector = 0; sector < spb; ++sector)
        ASSERT_EQ(card.sectorSpare(sector)[5], 0xF0) << "block 0 sector " << sector;
    const std::vector<std::uint8_t> cis = card.sectorData(card.firstSectorOfBlock(1));
    const std::vector<std::uint8_t> cisHead = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF};
    const std::vector<std::uint8_t> cisTail = {0x30, 0x2E, 0x30, 0x00, 0xFF, 0x14, 0x00, 0xFF};
    EXPECT_TRUE(std::equal(cisHead.begin(), cisHead.end(), cis.begin()));
    EXPECT_TRUE(std::equal(cisTail.begin(), cisTail.end(), cis.begin() + 102));
    for (std::size_t i = 110; i < 512; ++i)
        ASSERT_EQ(cis[i], 0) << "CIS byte " << i;
    const std::vector<std::uint8_t> cisSpare = card.sectorSpare(card.firstSectorOfBlock(1));
    EXPECT_EQ(cisSpare[5], 0xFF);
    for (std::size_t i : {6, 7, 11, 12})
        EXPECT_EQ(cisSpare[i], 0) << "CIS spare byte " << i;
    std::vector<std::uint8_t> cisCopy = cis;
    EXPECT_EQ(ecc_check(cisCopy.data(), &cisSpare[13]), SmfsResult::Ok);
    EXPECT_EQ(ecc_check(cisCopy.data() + 256, &cisSpare[8]), SmfsResult::Ok);
    EXPECT_EQ(cisCopy, cis);
    EXPECT_EQ(media_phys_entry(cs(), 1), kFieldCis);

    // The mounted volume: data area at logical block k, clusters up to the card's end.
    const FatVolume* v = fat_volume(cs());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->partitionFirstSector, s);
    EXPECT_EQ(v->fatType, want.fatType);
    EXPECT_EQ(v->fatSectors, want.sectorsPerFat);
    EXPECT_EQ(v->dataStart, want.systemBlocks * spb);
    EXPECT_EQ(v->clusterCount, g.logBlocks - want.systemBlocks);
    EXPECT_STREQ(v->oemName, "SMFS1.0");
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree);

    VolumeSpace space{};
    ASSERT_EQ(volume_space(cs(), &space), SmfsResult::Ok);
    const std::uint64_t clusterBytes = spb * 512;
    EXPECT_EQ(space.totalBytes, (g.logBlocks - want.systemBlocks) * clusterBytes);
    EXPECT_EQ(space.usedBytes, 0u);
    EXPECT_EQ(space.freeBytes, space.totalBytes);
    EXPECT_EQ(space.badClusters, 0u);
    EXPECT_EQ(space.sectorsPerCluster, spb);
    EXPECT_EQ(space.bytesPerSector, 512u);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FormatLayoutTest, testing::Range(0, kCardTypeCount),
                         cardTypeName);

TEST(FormatLayout, ReformatOfAUsedVolumeWithALabel) {
    TestCard card(4);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    std::uint32_t cluster = 0;
    ASSERT_EQ(fat_alloc_cluster(cs(), &cluster), SmfsResult::Ok);
    fat_set_entry(cs(), cluster, kFatEnd);
    const std::vector<std::uint8_t> data(100, 0x42);
    ASSERT_EQ(cluster_write(cs(), cluster, 0, data.data(), 100), SmfsResult::Ok);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, 0, data.data(), 32), SmfsResult::Ok);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);

    std::uint32_t bad = 0;
    ASSERT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::Ok);
    ASSERT_EQ(format_volume(cs(), "VELA GAMES AND MORE"), SmfsResult::Ok);
    EXPECT_STREQ(fat_volume(cs())->label, "VELA GAMES ");
    VolumeSpace space{};
    ASSERT_EQ(volume_space(cs(), &space), SmfsResult::Ok);
    EXPECT_EQ(space.usedBytes, 0u);
    EXPECT_EQ(space.totalBytes, 998u * 16384u);
    std::uint8_t root[32];
    ASSERT_EQ(cluster_read(cs(), kRootCluster, 0, root, 32), SmfsResult::Ok);
    EXPECT_EQ(root[0], 0);
}

TEST(FormatLayout, UnknownCardIsRefusedUntouched) {
    TestCard card(4);
    card.writeBytes(0, {0x12, 0x73});
    (void)api().reset();
    std::uint32_t bad = 7;
    EXPECT_EQ(media_low_format(cs(), kFormatQuick, &bad), SmfsResult::UnknownCard);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(format_volume(cs(), ""), SmfsResult::UnknownCard);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::UnknownCard);
    EXPECT_EQ(card.readBytes(card.pageOffset(0), 528), std::vector<std::uint8_t>(528, 0xFF));
}

} // namespace
