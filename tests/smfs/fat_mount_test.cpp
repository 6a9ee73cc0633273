// Mounting: the checks on the master boot record, the boot sector and the FAT copies, the
// choice of FAT copy, and the layout taken from a boot sector written by another system.
#include "test_card.h"

#include <common/le_bytes.h>

#include <gtest/gtest.h>

#include <cstring>

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

TEST(FatMountBlank, BlankCardIsUnformatted) {
    TestCard card(4);
    EXPECT_EQ(fat_mount(cs()), SmfsResult::Unformatted);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Unformatted);
    VolumeSpace space{};
    EXPECT_EQ(volume_space(cs(), &space), SmfsResult::Unformatted);
    std::uint32_t cluster = 0;
    EXPECT_EQ(fat_alloc_cluster(cs(), &cluster), SmfsResult::Unformatted);
    EXPECT_EQ(fat_volume(cs()), nullptr);
}

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

TEST_F(FatMountTest, PartitionInAnUnwrittenBlockHasNoBootSector) {
    // Sector 31990 lies on the card, in a logical block the format never wrote.
    card_.patchLogicalSector(0, [](std::uint8_t* s) { putLe32(s + 454, 31990); });
    EXPECT_EQ(fat_mount(cs()), SmfsResult::BadBootSector);
}

TEST_F(FatMountTest, NoValidFatCopy) {
    card_.patchLogicalSector(kFat1, [](std::uint8_t* s) { s[0] = 0xF0; });
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[2] = 0x00; });
    EXPECT_EQ(fat_mount(cs()), SmfsResult::NoValidFat);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Damaged);
}

TEST_F(FatMountTest, SecondCopyServesWhenTheFirstIsDamaged) {
    // Only the second copy says cluster 2 is in use.
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree);

    card_.patchLogicalSector(kFat1, [](std::uint8_t* s) { s[1] = 0x00; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
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

TEST_F(FatMountTest, LayoutFromAForeignBootSector) {
    // Two reserved sectors move both FAT copies one sector on; the first copy is then
    // found at 43, where we put a FAT that marks cluster 2 used.
    card_.patchLogicalSector(kBootSector, [](std::uint8_t* s) { putLe16(s + 14, 2); });
    card_.patchLogicalSector(kFat1 + 1, [](std::uint8_t* s) {
        const std::uint8_t head[] = {0xF8, 0xFF, 0xFF, 0xFF, 0x0F};
        std::memcpy(s, head, sizeof head);
    });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    const FatVolume* v = fat_volume(cs());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->fatStart, 43u);
    EXPECT_EQ(v->rootStart, 49u);
    EXPECT_EQ(v->dataStart, 65u);
    EXPECT_EQ(v->clusterCount, (31959u - 24u) / 32u);
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

int g_hookCalls = 0;

TEST_F(FatMountTest, MountTellsTheHookAndReplacesTheTable) {
    g_hookCalls = 0;
    fat_set_mount_hook(cs(), [](CardState&) { ++g_hookCalls; });
    fat_set_entry(cs(), 5, kFatEnd);
    ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 0);
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(fat_entry(cs(), 5), kFatFree);
    smc_card_removed(cs());
    EXPECT_EQ(fat_volume(cs()), nullptr);
    smc_card_inserted(cs());
    ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 2);
    fat_set_mount_hook(cs(), nullptr);
}

} // namespace
