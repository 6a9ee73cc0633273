// The in-memory FAT and what reaches the card: FAT12 packing and FAT16 entries through a
// flush and a fresh mount, the widening of end-of-chain and bad values, deferred flushes,
// allocation of clusters and runs, cluster I/O and the space figures of a full card.
#include "test_card.h"

#include <gtest/gtest.h>

#include <random>

namespace {

class FatRoundTripTest : public testing::TestWithParam<int> {};

TEST_P(FatRoundTripTest, EveryEntrySurvivesFlushAndMount) {
    TestCard card(GetParam());
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    const std::uint32_t clusters = fat_volume(cs())->clusterCount;
    std::minstd_rand random(GetParam() + 1);
    std::vector<std::uint16_t> written(clusters + 2);
    for (std::uint32_t c = 2; c < clusters + 2; ++c) {
        // Free, bad, end of chain or a link to another cluster.
        const std::uint32_t kind = random() % 4;
        written[c] = kind == 0   ? kFatFree
                     : kind == 1 ? kFatBad
                     : kind == 2 ? kFatEnd
                                 : std::uint16_t(2 + random() % clusters);
        fat_set_entry(cs(), c, written[c]);
    }
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    for (std::uint32_t c = 2; c < clusters + 2; ++c)
        ASSERT_EQ(fat_entry(cs(), c), written[c]) << "cluster " << c;

    // Both copies carry the same table: the second alone gives it back as well.
    const FatVolume v = *fat_volume(cs());
    card.patchLogicalSector(v.fatStart, [](std::uint8_t* s) { s[0] = 0; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    for (std::uint32_t c = 2; c < clusters + 2; ++c)
        ASSERT_EQ(fat_entry(cs(), c), written[c]) << "second copy, cluster " << c;
}

INSTANTIATE_TEST_SUITE_P(SmallMidAndFat16, FatRoundTripTest, testing::Values(0, 4, 7),
                         cardTypeName);

TEST(FatTable, Fat12ValuesAreWidenedAndCutBack) {
    TestCard card(4);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    const std::uint32_t fat1 = fat_volume(cs())->fatStart;
    // Entry 2 = 0xFF8 (end of chain), entry 3 = 0xFF7 (bad), entry 4 = 0xFFD.
    card.patchLogicalSector(fat1, [](std::uint8_t* s) {
        s[3] = 0xF8, s[4] = 0x7F, s[5] = 0xFF;
        s[6] = 0xFD, s[7] = 0x0F;
    });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 0), 0xFF8);
    EXPECT_EQ(fat_entry(cs(), 1), 0xFFF);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
    EXPECT_EQ(fat_entry(cs(), 3), kFatBad);
    EXPECT_EQ(fat_entry(cs(), 4), kFatEnd);

    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        const std::vector<std::uint8_t> s = card.logicalSector(fat1 + copy * 3);
        const std::vector<std::uint8_t> head(s.begin(), s.begin() + 8);
        EXPECT_EQ(head, (std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x0F}))
            << "copy " << copy;
    }
    VolumeSpace space{};
    ASSERT_EQ(volume_space(cs(), &space), SmfsResult::Ok);
    EXPECT_EQ(space.badClusters, 1u);
    EXPECT_EQ(space.usedBytes, 2u * 16384u);
}

TEST(FatTable, Fat12EntriesAcrossASectorBoundary) {
    TestCard card(4);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    // Entry 341 starts in the last byte of the first FAT sector and ends in the second.
    fat_set_entry(cs(), 340, 341);
    fat_set_entry(cs(), 341, 342);
    fat_set_entry(cs(), 342, kFatEnd);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    const std::uint32_t fat1 = fat_volume(cs())->fatStart;
    EXPECT_EQ(card.logicalSector(fat1)[510], 0x55);
    EXPECT_EQ(card.logicalSector(fat1)[511], 0x61);
    EXPECT_EQ(card.logicalSector(fat1 + 1)[0], 0x15);
    EXPECT_EQ(card.logicalSector(fat1 + 1)[1], 0xFF);
    EXPECT_EQ(card.logicalSector(fat1 + 1)[2], 0x0F);
}

TEST(FatTable, Fat16EntriesOnTheLargestCard) {
    TestCard card(7);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(cs())->fatType, FatType::Fat16);
    EXPECT_EQ(fat_entry(cs(), 1), 0xFFFF);
    const std::uint32_t fat1 = fat_volume(cs())->fatStart;
    // Entry 2 = 0xFFF8 widens to end of chain; 7000 sits in the fourteenth FAT sector.
    card.patchLogicalSector(fat1, [](std::uint8_t* s) { s[4] = 0xF8, s[5] = 0xFF; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
    fat_set_entry(cs(), 7000, 0x1234);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    EXPECT_EQ(card.logicalSector(fat1)[4], 0xFF);
    EXPECT_EQ(card.logicalSector(fat1 + 7000 * 2 / 512)[7000 * 2 % 512], 0x34);
    EXPECT_EQ(card.logicalSector(fat1 + 32 + 7000 * 2 / 512)[7000 * 2 % 512 + 1], 0x12);
}

TEST(FatTable, DeferredFlushWritesNothingUntilCleared) {
    TestCard card(0);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    fat_set_deferred(cs(), true);
    fat_set_entry(cs(), 2, kFatEnd);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree);

    fat_set_entry(cs(), 2, kFatEnd);
    fat_set_deferred(cs(), false);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);

    fat_set_deferred(cs(), true);
    fat_reset(cs());
    EXPECT_FALSE(fat_deferred(cs()));
}

TEST(FatTable, AllocationOfClustersAndRuns) {
    TestCard card(0);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    std::uint32_t c = 0;
    ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree) << "allocation leaves the entry to the caller";
    fat_set_entry(cs(), 2, kFatEnd);
    fat_set_entry(cs(), 4, kFatBad);
    ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
    EXPECT_EQ(c, 3u);

    // Free: 3, then 5 onward except 10.
    fat_set_entry(cs(), 10, kFatEnd);
    std::uint32_t start = 0, length = 0;
    ASSERT_EQ(fat_alloc_run(cs(), 5, &start, &length), SmfsResult::Ok);
    EXPECT_EQ(start, 5u);
    EXPECT_EQ(length, 5u);
    ASSERT_EQ(fat_alloc_run(cs(), 6, &start, &length), SmfsResult::Ok);
    EXPECT_EQ(start, 11u);
    ASSERT_EQ(fat_alloc_run(cs(), 1000, &start, &length), SmfsResult::Ok);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 246u + 1 - 10); // clusters 11 to 247
    EXPECT_EQ(fat_alloc_run(cs(), 0, &start, &length), SmfsResult::InvalidArgument);
}

TEST(FatTable, FullCardReportsNoFreeSpace) {
    TestCard card(0);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    std::uint32_t c = 0;
    std::uint32_t allocated = 0;
    while (fat_alloc_cluster(cs(), &c) == SmfsResult::Ok) {
        fat_set_entry(cs(), c, kFatEnd);
        ++allocated;
    }
    EXPECT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::CardFull);
    EXPECT_EQ(allocated, 246u);
    EXPECT_EQ(c, 247u) << "the last cluster of the data area was handed out";
    VolumeSpace space{};
    ASSERT_EQ(volume_space(cs(), &space), SmfsResult::Ok);
    EXPECT_EQ(space.freeBytes, 0u);
    EXPECT_EQ(space.usedBytes, space.totalBytes);
    EXPECT_EQ(space.totalBytes, 246u * 4096u);
    // The last cluster lies in the card's last logical block.
    const std::vector<std::uint8_t> data(4096, 0xC3);
    ASSERT_EQ(cluster_write(cs(), 247, 0, data.data(), 4096), SmfsResult::Ok);
    EXPECT_NE(media_logical_entry(cs(), 249), 0u);
}

TEST(FatTable, ClusterReadsAndWrites) {
    TestCard card(0);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    // The root (16 sectors) spans logical blocks 2 and 3 of the 1 MB card.
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, 3800, data.data(), 1000), SmfsResult::Ok);
    std::vector<std::uint8_t> back(1000);
    ASSERT_EQ(cluster_read(cs(), kRootCluster, 3800, back.data(), 1000), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    EXPECT_EQ(card.logicalSector(16 + 7)[3800 % 512], data[0]);
    EXPECT_EQ(card.logicalSector(16 + 8)[0], data[4096 - 3800]);

    ASSERT_EQ(cluster_write(cs(), 5, 100, data.data(), 1000), SmfsResult::Ok);
    ASSERT_EQ(cluster_read(cs(), 5, 100, back.data(), 1000), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    EXPECT_EQ(card.logicalSector(32 + 3 * 8)[100], data[0]);

    ASSERT_EQ(cluster_fill(cs(), 5, 0xAB), SmfsResult::Ok);
    std::vector<std::uint8_t> whole(4096);
    ASSERT_EQ(cluster_read(cs(), 5, 0, whole.data(), 4096), SmfsResult::Ok);
    EXPECT_EQ(whole, std::vector<std::uint8_t>(4096, 0xAB));
}

TEST(FatTable, ClusterArgumentsFromTheCardAreBounded) {
    TestCard card(0);
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(cluster_read(cs(), 1, 0, buffer, 8), SmfsResult::BrokenChain);
    EXPECT_EQ(cluster_read(cs(), 248, 0, buffer, 8), SmfsResult::BrokenChain);
    EXPECT_EQ(cluster_write(cs(), 0xFFF0, 0, buffer, 8), SmfsResult::BrokenChain);
    EXPECT_EQ(cluster_read(cs(), 247, 4090, buffer, 8), SmfsResult::InvalidArgument);
    EXPECT_EQ(cluster_read(cs(), 2, 0xFFFFFFFF, buffer, 8), SmfsResult::InvalidArgument);
    EXPECT_EQ(cluster_write(cs(), kRootCluster, 16 * 512 - 4, buffer, 8), SmfsResult::InvalidArgument);
    EXPECT_EQ(cluster_fill(cs(), kRootCluster, 0), SmfsResult::Internal);
    EXPECT_EQ(cluster_fill(cs(), 300, 0), SmfsResult::BrokenChain);
    EXPECT_EQ(fat_entry(cs(), 248), 0);
    EXPECT_FALSE(fat_is_data_cluster(cs(), 248));
    EXPECT_TRUE(fat_is_data_cluster(cs(), 247));
    EXPECT_FALSE(fat_is_data_cluster(cs(), kFatEnd));
}

} // namespace
