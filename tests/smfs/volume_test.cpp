// SPDX-License-Identifier: MIT
// The FAT volume and its folders: mounting from damaged and hostile boot records, which FAT
// copy serves, names and paths, and hostile folders and chains.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// 16 MB card: partition at sector 41, FAT copies at 42 and 45, root at 48, data at 64.
constexpr std::uint32_t kBootSector = 41;
constexpr std::uint32_t kFat1 = 42;
constexpr std::uint32_t kFat2 = 45;

class FatMountTest : public testing::Test {
protected:
    TestCard card_{4, true};
};

TEST_F(FatMountTest, DamagedBootRecordsAreRefused) {
    const struct {
        const char* name;
        std::uint32_t sector, offset, width, value;
        SmfsResult mountResult;
    } cases[] = {
        {"MBR signature", 0, 511, 1, 0x00, SmfsResult::BadMbr},
        {"partition beyond the card", 0, 454, 4, 32000, SmfsResult::BadMbr},
        {"file-system type FAT32", kBootSector, 57, 1, '3', SmfsResult::BadBootSector},
        {"bytes per sector", kBootSector, 11, 2, 1024, SmfsResult::BadBootSector},
        {"media byte", kBootSector, 21, 1, 0xF0, SmfsResult::BadBootSector},
        {"boot signature", kBootSector, 510, 1, 0x00, SmfsResult::BadBootSector},
        {"no sectors per cluster", kBootSector, 13, 1, 0, SmfsResult::BadBootSector},
        {"three FATs", kBootSector, 16, 1, 3, SmfsResult::BadBootSector},
        {"no root entries", kBootSector, 17, 2, 0, SmfsResult::BadBootSector},
        {"no sectors", kBootSector, 19, 2, 0, SmfsResult::BadBootSector},
        {"no room past the root", kBootSector, 19, 2, 19, SmfsResult::BadBootSector},
    };
    const std::vector<std::uint8_t> image = card_.bytes();
    for (const auto& d : cases) {
        SCOPED_TRACE(d.name);
        card_.patchLogicalSector(d.sector, [&](std::uint8_t* s) {
            if (d.width == 1) s[d.offset] = std::uint8_t(d.value);
            if (d.width == 2) putLe16(s + d.offset, std::uint16_t(d.value));
            if (d.width == 4) putLe32(s + d.offset, d.value);
        });
        EXPECT_EQ(fat_mount(cs()), d.mountResult);
        EXPECT_EQ(fat_volume(cs()), nullptr);
        EXPECT_EQ(fat_ensure(cs()), SmfsResult::Damaged);
        card_.bytes() = image;
        ASSERT_EQ(api().reset(), SmfsResult::Ok);
        ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    }
}

// Only the second copy says cluster 2 is in use: it serves when the first is unreadable or
// damaged, and a volume with neither is refused.
TEST_F(FatMountTest, SecondCopyServesWhenTheFirstIsDamaged) {
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[3] = 0xFF, s[4] = 0x0F; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatFree);
    // Two flipped bits in the first copy's first sector: beyond what the ECC corrects.
    const std::uint32_t spb = card_.geometry().sectorsPerBlock;
    const std::uint32_t phys = media_logical_entry(cs(), kFat1 / spb) * spb + kFat1 % spb;
    const std::uint64_t at = card_.pageOffset(phys) + 100;
    const std::uint8_t was = card_.readBytes(at, 1)[0];
    card_.writeBytes(at, {std::uint8_t(was ^ 0x11)});
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
    card_.writeBytes(at, {was});
    card_.patchLogicalSector(kFat1, [](std::uint8_t* s) { s[1] = 0x00; });
    ASSERT_EQ(fat_mount(cs()), SmfsResult::Ok);
    EXPECT_EQ(fat_entry(cs(), 2), kFatEnd);
    card_.patchLogicalSector(kFat2, [](std::uint8_t* s) { s[2] = 0x00; });
    EXPECT_EQ(fat_mount(cs()), SmfsResult::NoValidFat);
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Damaged);
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
    TestCard card(0, true);
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

TEST(DirNameTest, EntryFormsValidityAndFit) {
    // A first byte 0xE5 (a code-page lead byte) is stored as 0x05, which is no deleted mark.
    using Pair = std::pair<const char*, const char*>;
    const Pair exact[] = {{"readme.txt", "README  TXT"},  {"GAME", "GAME       "},
                          {"ABCDEFGH.A1", "ABCDEFGHA1 "}, {".", ".          "},
                          {"..", "..         "},          {"x~1.b", "X~1     B  "},
                          {"azaz.zip", "AZAZ    ZIP"},    {"\345abc.txt", "\005ABC    TXT"}};
    const Pair shortened[] = {
        {"ABCDEFGHIJ.TEXT", "ABCDEFGHTEX"}, {"A B", "AB         "}, {"A.B.C", "AB      C  "}};
    auto expectForm = [](const Pair& form, int result) {
        std::uint8_t out[kNameChars];
        EXPECT_EQ(name_to_entry(form.first, out), result) << form.first;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), kNameChars), form.second);
    };
    for (const Pair& form : exact)
        expectForm(form, 0);
    for (const Pair& form : shortened)
        expectForm(form, 1);
    char out[13];
    entry_to_name(reinterpret_cast<const std::uint8_t*>("B B     T X"), out);
    EXPECT_STREQ(out, "B B.T X");
    for (const char* ok : {"A", "ABCDEFGH.TXT", "ABC.", ".", "..", "a_b-c.d!e", "\345ABC"})
        EXPECT_TRUE(name_is_valid(ok, std::strlen(ok))) << ok;
    for (const char* tooLong : {"ABCDEFGHI.TXT", "ABC.TEXT", "ABCDEFGHI", "ABCDEFGHIJKL"}) {
        EXPECT_FALSE(name_is_valid(tooLong, std::strlen(tooLong))) << tooLong;
        EXPECT_EQ(smfs_name_fit(tooLong), SmfsNameFit::TooLong) << tooLong;
    }
    for (const char* bad : {"", ".ABC", "...", "A.B.C", "A B", " A", "A*.TXT", "A?", "A+B", "A,B",
                            "A;B", "A=B", "A[B]", "A|B", "A\"B", "A<B>", "A:B", "A\tB"}) {
        EXPECT_FALSE(name_is_valid(bad, std::strlen(bad))) << bad;
        EXPECT_EQ(smfs_name_fit(bad), SmfsNameFit::Invalid) << bad;
    }
    EXPECT_EQ(smfs_name_fit("."), SmfsNameFit::Invalid);
    EXPECT_EQ(smfs_name_fit("README.TXT"), SmfsNameFit::Fits);
    EXPECT_EQ(smfs_name_fit(nullptr), SmfsNameFit::Invalid);

    // Dates before 1980 and after 2107 are clamped to the years a FAT entry holds.
    EXPECT_EQ(dir_pack_date(SmfsDateTime{1970, 1, 1, 0, 0, 0}) >> 9, 0);
    EXPECT_EQ(dir_pack_date(SmfsDateTime{2200, 1, 1, 0, 0, 0}) >> 9, 127);
}

TEST(DirPathTest, RelativePathsAndDriveNames) {
    TestCard card(2, true);
    ASSERT_EQ(api().chdir("vx:\\A\\B"), SmfsResult::Ok);
    char cwd[64];
    ASSERT_EQ(api().getcwd(cwd, sizeof cwd), SmfsResult::Ok);
    EXPECT_STREQ(cwd, "vx:\\A\\B\\");
    EXPECT_EQ(api().getcwd(cwd, 8), SmfsResult::OutOfMemory);
    std::string full;
    EXPECT_EQ(path_make_full(cs(), "..\\..\\C", &full), SmfsResult::Ok);
    EXPECT_EQ(full, "vx:\\C");
    EXPECT_EQ(path_make_full(cs(), "\\X.TXT", &full), SmfsResult::Ok);
    EXPECT_EQ(full, "vx:\\A\\B\\X.TXT");
    EXPECT_EQ(path_make_full(cs(), std::string(300, 'A').c_str(), &full), SmfsResult::OutOfMemory);
    EXPECT_EQ(api().chdir("GAMES"), SmfsResult::NotFound);
    EXPECT_EQ(api().chdir(("vx:\\" + std::string(241, 'A')).c_str()), SmfsResult::OutOfMemory);
    EXPECT_EQ(api().chdir(("vx:\\" + std::string(240, 'A')).c_str()), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(api().chdir("vx:\\A\\B\\"), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("..\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "F.TXT", apiPattern(10, 1)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), ".."), (std::vector<std::string>{".", "..", "B", "C"}));
    std::uint32_t size = 0;
    EXPECT_EQ(api().fileSize("vx:\\A\\B\\F.TXT", &size), SmfsResult::Ok);

    for (const char* other : {"VX:\\", "vxx:\\", ":\\", "vx"})
        EXPECT_EQ(path_drive(cs(), other), 1) << other;
    EXPECT_EQ(path_drive(cs(), "vx:"), 0);
    ASSERT_EQ(api().setDriveName("cardslot10"), SmfsResult::Ok);
    for (const char* bad : {"cardslot10x", "", "a:b"})
        EXPECT_EQ(api().setDriveName(bad), SmfsResult::InvalidArgument) << bad;
    EXPECT_EQ(path_drive(cs(), "cardslot10:\\"), 0);
    ASSERT_EQ(api().mkdir("cardslot10:\\D", 0), SmfsResult::Ok);
    EXPECT_EQ(api().mkdir("vx:\\E", 0), SmfsResult::InvalidArgument);
    api().resetDriveName();
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"A", "D"}));
}

void rawEntry(const char* name, const char* name11, std::uint8_t attr, std::uint16_t cluster,
              std::uint32_t size) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[kDeAttr] = attr;
    putLe16(e.data() + kDeCluster, cluster);
    putLe32(e.data() + kDeSize, size);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, name, e.data()), SmfsResult::Ok);
}

std::uint32_t clusterOf(const char* path) {
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info(path, &info), SmfsResult::Ok) << path;
    return info.firstCluster;
}

// Folder D's chain loops through a cluster of live entries; folder Z names cluster 0;
// LOOP.BIN's chain comes back to its start; CUT.BIN's breaks after two clusters; HUGE.BIN
// claims far more than its cluster; OUT.BIN starts outside the volume.
TEST(DirHostileTest, LoopingAndWildChainsAreResultsNotHangs) {
    TestCard card(0, true);
    const std::uint32_t cb = card.clusterBytes();
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOOP.BIN", apiPattern(3 * cb, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.TXT", apiPattern(100, 2)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\CUT.BIN", apiPattern(2 * cb, 4)), SmfsResult::Ok);
    const std::uint32_t d = clusterOf("vx:\\D");
    std::vector<std::uint8_t> slots(cb);
    ASSERT_EQ(cluster_read(cs(), d, 0, slots.data(), 64), SmfsResult::Ok);
    for (std::uint32_t at = 64; at < cb; at += 32) {
        std::string name = "F" + std::to_string(at / 32);
        name.resize(11, ' ');
        std::memcpy(slots.data() + at, name.data(), 11);
        slots[at + kDeAttr] = kAttrArchive;
    }
    ASSERT_EQ(cluster_write(cs(), d, 0, slots.data(), cb), SmfsResult::Ok);
    fat_set_entry(cs(), d, static_cast<std::uint16_t>(d));
    const std::uint32_t first = clusterOf("vx:\\LOOP.BIN");
    fat_set_entry(cs(), fat_entry(cs(), fat_entry(cs(), first)), std::uint16_t(first));
    fat_set_entry(cs(), fat_entry(cs(), clusterOf("vx:\\CUT.BIN")), kFatFree);
    rawEntry("Z", "Z          ", kAttrFolder, 0, 0);
    rawEntry("HUGE.BIN", "HUGE    BIN", kAttrArchive, std::uint16_t(first), 0x7FFFFFF0u);
    rawEntry("OUT.BIN", "OUT     BIN", kAttrArchive, 0xFFF0, 100);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsResult r = SmfsResult::Ok;
    for (const char* folder : {"vx:\\D", "vx:\\Z\\"}) {
        apiList(api(), folder, &r);
        EXPECT_EQ(r, SmfsResult::BrokenChain) << folder;
    }
    std::uint32_t count = 0;
    EXPECT_EQ(api().count("vx:\\D", &count), SmfsResult::BrokenChain);
    SmfsEntryInfo info;
    EXPECT_EQ(api().info("vx:\\D\\NOPE", &info), SmfsResult::BrokenChain);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\D\\NEW", 0, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().create("vx:\\Z\\KEEP.TXT", 1, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\D", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(api().rmdir("vx:\\D", 1), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\Z", 1), SmfsResult::BrokenChain);

    std::vector<std::uint8_t> buffer(4 * cb);
    ASSERT_EQ(api().open("vx:\\HUGE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), std::uint32_t(buffer.size()), &count), SmfsResult::Ok);
    EXPECT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Internal);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    ASSERT_EQ(api().open("vx:\\OUT.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), 10, &count), SmfsResult::Internal);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(api().write(h, buffer.data(), 10), SmfsResult::BrokenChain);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    ASSERT_EQ(api().open("vx:\\CUT.BIN", kSmfsRead, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), 2 * cb, &count), SmfsResult::Ok);
    EXPECT_EQ(count, 2 * cb);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(api().remove("vx:\\LOOP.BIN"), SmfsResult::BrokenChain);
    EXPECT_EQ(api().remove("vx:\\OUT.BIN"), SmfsResult::BrokenChain);

    ASSERT_EQ(apiReadFile(api(), "vx:\\KEEP.TXT", &buffer), SmfsResult::Ok);
    EXPECT_EQ(buffer, apiPattern(100, 2));
    ASSERT_EQ(apiWriteFile(api(), "vx:\\OK.TXT", apiPattern(100, 1)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"),
              (std::vector<std::string>{"D", "OK.TXT", "KEEP.TXT", "CUT.BIN", "Z", "HUGE.BIN"}));
}

} // namespace
