// Mounting: the checks on the master boot record, the boot sector and the FAT copies, the
// choice of FAT copy, and the layout taken from a boot sector written by another system.
#include "format_fixture.h"

#include "smfs/bytes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// 16 MB card: partition at sector 41, FAT copies at 42 and 45, root at 48, data at 64.
constexpr std::uint32_t kBootSector = 41;
constexpr std::uint32_t kFat1 = 42;
constexpr std::uint32_t kFat2 = 45;

class FatMountTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(quickFormat(), SmfsResult::Ok); }
    CardImage card_{4};
};

TEST(FatMountBlank, BlankCardIsUnformatted) {
    CardImage card(4);
    EXPECT_EQ(fat_mount(0), SmfsResult::Unformatted);
    EXPECT_EQ(fat_ensure(0), SmfsResult::Unformatted);
    VolumeSpace space{};
    EXPECT_EQ(volume_space(0, &space), SmfsResult::Unformatted);
    std::uint32_t cluster = 0;
    EXPECT_EQ(fat_alloc_cluster(0, &cluster), SmfsResult::Unformatted);
    EXPECT_EQ(fat_volume(0), nullptr);
    EXPECT_EQ(fat_mount(1), SmfsResult::InvalidArgument);
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
        {"partition beyond the card", 0, [](std::uint8_t* s) { put_le32(s + 454, 32000); },
         SmfsResult::BadMbr},
        {"file-system type", kBootSector,
         [](std::uint8_t* s) { std::memcpy(s + 54, "FAT32   ", 8); }, SmfsResult::BadBootSector},
        {"bytes per sector", kBootSector, [](std::uint8_t* s) { put_le16(s + 11, 1024); },
         SmfsResult::BadBootSector},
        {"media byte", kBootSector, [](std::uint8_t* s) { s[21] = 0xF0; },
         SmfsResult::BadBootSector},
        {"boot signature", kBootSector, [](std::uint8_t* s) { s[510] = 0x00; },
         SmfsResult::BadBootSector},
        {"no sectors per cluster", kBootSector, [](std::uint8_t* s) { s[13] = 0; },
         SmfsResult::BadBootSector},
        {"three FATs", kBootSector, [](std::uint8_t* s) { s[16] = 3; }, SmfsResult::BadBootSector},
        {"no root entries", kBootSector, [](std::uint8_t* s) { put_le16(s + 17, 0); },
         SmfsResult::BadBootSector},
        {"no sectors", kBootSector, [](std::uint8_t* s) { put_le16(s + 19, 0); },
         SmfsResult::BadBootSector},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        std::vector<std::uint8_t> original(kSectorBytes);
        ASSERT_EQ(media_read_sector(0, d.sector, 0, original.data(), kSectorBytes), SmfsResult::Ok);
        patchLogicalSector(card_, d.sector, d.edit);
        EXPECT_EQ(fat_mount(0), d.mountResult);
        EXPECT_EQ(fat_volume(0), nullptr);
        EXPECT_EQ(fat_ensure(0), SmfsResult::Unformatted);
        patchLogicalSector(card_, d.sector,
                           [&](std::uint8_t* s) { std::memcpy(s, original.data(), kSectorBytes); });
        ASSERT_EQ(fat_ensure(0), SmfsResult::Ok);
    }
}

TEST_F(FatMountTest, PartitionInAnUnwrittenBlockHasNoBootSector) {
    // Sector 31990 lies on the card, in a logical block the format never wrote.
    patchLogicalSector(card_, 0, [](std::uint8_t* s) { put_le32(s + 454, 31990); });
    EXPECT_EQ(fat_mount(0), SmfsResult::BadBootSector);
}

TEST_F(FatMountTest, NoValidFatCopy) {
    patchLogicalSector(card_, kFat1, [](std::uint8_t* s) { s[0] = 0xF0; });
    patchLogicalSector(card_, kFat2, [](std::uint8_t* s) { s[2] = 0x00; });
    EXPECT_EQ(fat_mount(0), SmfsResult::NoValidFat);
    EXPECT_EQ(fat_ensure(0), SmfsResult::Unformatted);
}

TEST_F(FatMountTest, SecondCopyServesWhenTheFirstIsDamaged) {
    // Only the second copy says cluster 2 is in use.
    patchLogicalSector(card_, kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(0, 2), kFatFree);

    patchLogicalSector(card_, kFat1, [](std::uint8_t* s) { s[1] = 0x00; });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(0, 2), kFatEnd);
}

TEST_F(FatMountTest, UnreadableFirstCopyFallsBackToTheSecond) {
    patchLogicalSector(card_, kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    // Two flipped bits in the first copy's first sector: beyond what the ECC corrects.
    const std::uint32_t spb = card_.geometry().sectorsPerBlock;
    const std::uint32_t phys = media_logical_entry(kFat1 / spb) * spb + kFat1 % spb;
    const std::uint64_t at = card_.pageOffset(phys) + 100;
    card_.writeBytes(at, {std::uint8_t(card_.readBytes(at, 1)[0] ^ 0x11)});
    std::vector<std::uint8_t> probe(kSectorBytes);
    ASSERT_EQ(media_read_sector(0, kFat1, 0, probe.data(), kSectorBytes),
              SmfsResult::EccUncorrectable);

    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(0, 2), kFatEnd);
}

TEST_F(FatMountTest, LayoutFromAForeignBootSector) {
    // Two reserved sectors move both FAT copies one sector on; the first copy is then
    // found at 43, where we put a FAT that marks cluster 2 used.
    patchLogicalSector(card_, kBootSector, [](std::uint8_t* s) { put_le16(s + 14, 2); });
    patchLogicalSector(card_, kFat1 + 1, [](std::uint8_t* s) {
        const std::uint8_t head[] = {0xF8, 0xFF, 0xFF, 0xFF, 0x0F};
        std::memcpy(s, head, sizeof head);
    });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    const FatVolume* v = fat_volume(0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->fatStart, 43u);
    EXPECT_EQ(v->rootStart, 49u);
    EXPECT_EQ(v->dataStart, 65u);
    EXPECT_EQ(v->clusterCount, (31959u - 24u) / 32u);
    EXPECT_EQ(fat_entry(0, 2), kFatEnd);
}

TEST_F(FatMountTest, SizesFromTheBootSectorAreBounded) {
    // No FAT size: the layout is derived as this system's format lays it out.
    patchLogicalSector(card_, kBootSector, [](std::uint8_t* s) { put_le16(s + 22, 0); });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(0)->dataStart, 64u);
    EXPECT_EQ(fat_volume(0)->clusterCount, 998u);

    // One FAT sector holds 341 FAT12 entries: clusters beyond 340 cannot be recorded.
    patchLogicalSector(card_, kBootSector, [](std::uint8_t* s) { put_le16(s + 22, 1); });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(0)->clusterCount, 339u);
    EXPECT_EQ(fat_entry(0, 341), 0);
    fat_set_entry(0, 341, kFatEnd);
    EXPECT_EQ(fat_entry(0, 341), 0);

    // A volume claiming more sectors than the card has ends with the card.
    patchLogicalSector(card_, 0, [](std::uint8_t* s) { put_le32(s + 458, 900000); });
    patchLogicalSector(card_, kBootSector, [](std::uint8_t* s) {
        put_le16(s + 22, 3);
        put_le16(s + 19, 0);
        put_le32(s + 32, 900000);
    });
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(fat_volume(0)->clusterCount, 998u);
}

int g_hookCalls = 0;

TEST_F(FatMountTest, MountTellsTheHookAndReplacesTheTable) {
    g_hookCalls = 0;
    fat_set_mount_hook([](unsigned) { ++g_hookCalls; });
    fat_set_entry(0, 5, kFatEnd);
    ASSERT_EQ(fat_ensure(0), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 0);
    ASSERT_EQ(fat_mount(0), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(fat_entry(0, 5), kFatFree);
    smc_card_removed(0);
    EXPECT_EQ(fat_volume(0), nullptr);
    smc_card_inserted(0);
    ASSERT_EQ(fat_ensure(0), SmfsResult::Ok);
    EXPECT_EQ(g_hookCalls, 2);
    fat_set_mount_hook(nullptr);
}

} // namespace
