// SPDX-License-Identifier: MIT
// The FAT volume: mounting from the boot records (damaged, foreign and hostile ones), which
// FAT copy serves, and cluster arguments from the card kept inside the volume.
#include "test_card.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// 16 MB card: partition at sector 41, FAT copies at 42 and 45, root at 48, data at 64.
constexpr std::uint32_t kBootSector = 41;
constexpr std::uint32_t kFat1 = 42;
constexpr std::uint32_t kFat2 = 45;

class FatMountTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok); }
    TestCard card_{4};
};

struct Damage {
    const char* name;
    std::uint32_t sector;
    std::function<void(std::uint8_t*)> edit;
    SmfsResult mountResult;
};

TEST_F(FatMountTest, DamagedBootRecordsAreRefused) {
    const Damage cases[] = {
        {"MBR signature", 0, [](std::uint8_t* s) { s[511] = 0x00; }, SmfsResult::BadMbr},
        {"partition beyond the card", 0, [](std::uint8_t* s) { putLe32(s + 454, 32000); },
         SmfsResult::BadMbr},
        {"file-system type", kBootSector,
         [](std::uint8_t* s) { std::memcpy(s + 54, "FAT32   ", 8); }, SmfsResult::BadBootSector},
        {"bytes per sector", kBootSector, [](std::uint8_t* s) { putLe16(s + 11, 1024); },
         SmfsResult::BadBootSector},
        {"media byte", kBootSector, [](std::uint8_t* s) { s[21] = 0xF0; },
         SmfsResult::BadBootSector},
        {"boot signature", kBootSector, [](std::uint8_t* s) { s[510] = 0x00; },
         SmfsResult::BadBootSector},
        {"no sectors per cluster", kBootSector, [](std::uint8_t* s) { s[13] = 0; },
         SmfsResult::BadBootSector},
        {"three FATs", kBootSector, [](std::uint8_t* s) { s[16] = 3; }, SmfsResult::BadBootSector},
        {"no root entries", kBootSector, [](std::uint8_t* s) { putLe16(s + 17, 0); },
         SmfsResult::BadBootSector},
        {"no sectors", kBootSector, [](std::uint8_t* s) { putLe16(s + 19, 0); },
         SmfsResult::BadBootSector},
        {"no room past the root", kBootSector, [](std::uint8_t* s) { putLe16(s + 19, 19); },
         SmfsResult::BadBootSector},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        std::vector<std::uint8_t> original(kSectorBytes);
        ASSERT_EQ(media_read_sector(cs(), d.sector, 0, original.data(), kSectorBytes),
                  SmfsResult::Ok);
        card_.patchLogicalSector(d.sector, d.edit);
        EXPECT_EQ(fat_mount(cs()), d.mountResult);
        EXPECT_EQ(fat_volume(cs()), nullptr);
        EXPECT_EQ(fat_ensure(cs()), SmfsResult::Damaged);
        card_.patchLogicalSector(
            d.sector, [&](std::uint8_t* s) { std::memcpy(s, original.data(), kSectorBytes); });
        ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    }
}

TEST_F(FatMountTest, SecondCopyServesWhenTheFirstIsDamaged) {
    // Only the second copy says cluster 2 is in use.
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree);
    card_.patchLogicalSector(kFat1, [](std::uint8_t* s) { s[1] = 0x00; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[2] = 0x00; });
    EXPECT_EQ(fat_mount(cs()), SmfsResult::NoValidFat);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Damaged);
}

TEST_F(FatMountTest, UnreadableFirstCopyFallsBackToTheSecond) {
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    // Two flipped bits in the first copy's first sector: beyond what the ECC corrects.
    const std::uint32_t spb = card_.geometry().sectorsPerBlock;
    const std::uint32_t phys = media_logical_entry(cs(), kFat1 / spb) * spb + kFat1 % spb;
    const std::uint64_t at = card_.pageOffset(phys) + 100;
    card_.writeBytes(at, {std::uint8_t(card_.readBytes(at, 1)[0] ^ 0x11)});
    std::vector<std::uint8_t> probe(kSectorBytes);
    ASSERT_EQ(media_read_sector(cs(), kFat1, 0, probe.data(), kSectorBytes),
              SmfsResult::EccUncorrectable);

    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
}

TEST_F(FatMountTest, SizesFromTheBootSectorAreBounded) {
    // No FAT size: the layout is derived as this system's format lays it out.
    card_.patchLogicalSector(kBootSector, [](std::uint8_t* s) { putLe16(s + 22, 0); });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(cs())->dataStart, 64u);
    EXPECT_EQ(fat_volume(cs())->clusterCount, 998u);

    // One FAT sector holds 341 FAT12 entries: clusters beyond 340 cannot be recorded.
    card_.patchLogicalSector(kBootSector, [](std::uint8_t* s) { putLe16(s + 22, 1); });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(cs())->clusterCount, 339u);
    EXPECT_EQ(fat_entry(cs(), 341), 0);
    fat_set_entry(cs(), 341, kFatEnd);
    EXPECT_EQ(fat_entry(cs(), 341), 0);

    // A volume claiming more sectors than the card has ends with the card.
    card_.patchLogicalSector(0, [](std::uint8_t* s) { putLe32(s + 458, 900000); });
    card_.patchLogicalSector(kBootSector, [](std::uint8_t* s) {
        putLe16(s + 22, 3);
        putLe16(s + 19, 0);
        putLe32(s + 32, 900000);
    });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(cs())->clusterCount, 998u);
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
    EXPECT_EQ(cluster_write(cs(), kRootCluster, 16 * 512 - 4, buffer, 8),
              SmfsResult::InvalidArgument);
    EXPECT_EQ(cluster_fill(cs(), kRootCluster, 0), SmfsResult::Internal);
    EXPECT_EQ(cluster_fill(cs(), 300, 0), SmfsResult::BrokenChain);
    EXPECT_EQ(fat_entry(cs(), 248), 0);
    EXPECT_FALSE(fat_is_data_cluster(cs(), 248));
    EXPECT_TRUE(fat_is_data_cluster(cs(), 247));
    EXPECT_FALSE(fat_is_data_cluster(cs(), kFatEnd));
}

} // namespace
