// SPDX-License-Identifier: MIT
// Directories and paths: names and their entry form, relative paths and drive names,
// resolving paths, and folders and chains on a hostile card that loop or leave the volume.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string entryOf(const char* name, int* result = nullptr) {
    std::uint8_t out[kNameChars];
    const int r = name_to_entry(name, out);
    if (result) *result = r;
    return std::string(reinterpret_cast<char*>(out), kNameChars);
}

std::string nameOf(const char* entry11) {
    char out[13];
    entry_to_name(reinterpret_cast<const std::uint8_t*>(entry11), out);
    return out;
}

bool valid(const std::string& name) {
    return name_is_valid(name.data(), name.size());
}

TEST(DirNameTest, EntryFormAndBack) {
    int r = -1;
    EXPECT_EQ(entryOf("readme.txt", &r), "README  TXT");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(entryOf("GAME"), "GAME       ");
    EXPECT_EQ(entryOf("ABCDEFGH.A1"), "ABCDEFGHA1 ");
    EXPECT_EQ(entryOf("."), ".          ");
    EXPECT_EQ(entryOf(".."), "..         ");
    EXPECT_EQ(entryOf("x~1.b"), "X~1     B  ");
    EXPECT_EQ(entryOf("azaz.zip"), "AZAZ    ZIP"); // both ends of the lower-case letters
    // What the path checks never let through is reported as shortened.
    EXPECT_EQ(entryOf("ABCDEFGHIJ.TEXT", &r), "ABCDEFGHTEX");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(entryOf("A B", &r), "AB         ");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(entryOf("A.B.C", &r), "AB      C  ");
    EXPECT_EQ(r, 1);

    EXPECT_EQ(nameOf("README  TXT"), "README.TXT");
    EXPECT_EQ(nameOf("NOEXT      "), "NOEXT");
    EXPECT_EQ(nameOf(".          "), ".");
    EXPECT_EQ(nameOf("..         "), "..");
    EXPECT_EQ(nameOf("A       B  "), "A.B");
    EXPECT_EQ(nameOf("B B     T X"), "B B.T X"); // as another system stored it
    EXPECT_EQ(nameOf("\x05"
                     "BC     TXT"),
              "\xE5"
              "BC.TXT");
}

TEST(DirNameTest, OnlyNamesThatFitAnEntryPass) {
    for (const char* ok : {"A", "README.TXT", "ABCDEFGH.TXT", "ABC.", "A.B", ".", "..", "X~1.TXT",
                           "a_b-c.d!e", "12345678"})
        EXPECT_TRUE(valid(ok)) << ok;
    for (const char* bad : {"",      "ABCDEFGHI.TXT", "ABC.TEXT", "ABCDEFGHI",   "A B.TXT", " A",
                            "A.B.C", ".ABC",          "...",      "A*.TXT",      "A?",      "A+B",
                            "A,B",   "A;B",           "A=B",      "A[B]",        "A|B",     "A\"B",
                            "A<B>",  "A:B",           "A\tB",     "ABCDEFGHIJKL"})
        EXPECT_FALSE(valid(bad)) << bad;
    // The public form tells a name too long for 8.3 from one no card can hold.
    for (const char* tooLong : {"ABCDEFGHI.TXT", "ABC.TEXT", "ABCDEFGHI", "ABCDEFGHIJKL"})
        EXPECT_EQ(smfs_name_fit(tooLong), SmfsNameFit::TooLong) << tooLong;
    for (const char* invalid : {"", ".", "..", ".ABC", "A.B.C", "A B", "A*.TXT", "A\tB"})
        EXPECT_EQ(smfs_name_fit(invalid), SmfsNameFit::Invalid) << invalid;
    EXPECT_EQ(smfs_name_fit("README.TXT"), SmfsNameFit::Fits);
    EXPECT_EQ(smfs_name_fit(nullptr), SmfsNameFit::Invalid);
    // A first byte 0xE5 (a lead byte of the Japanese code page) is stored as 0x05, since
    // 0xE5 there would read as a deleted entry.
    EXPECT_TRUE(valid("\xE5"
                      "ABC"));
    EXPECT_EQ(entryOf("\xE5"
                      "abc.txt"),
              "\x05"
              "ABC    TXT");
}

TEST(DirNameTest, DatesAndTimesPackAsFatStoresThem) {
    const SmfsDateTime t{2024, 5, 17, 13, 45, 31};
    EXPECT_EQ(dir_pack_time(t), (13 << 11) | (45 << 5) | 15);
    EXPECT_EQ(dir_pack_date(t), ((2024 - 1980) << 9) | (5 << 5) | 17);
    EXPECT_EQ(dir_pack_date(SmfsDateTime{1970, 1, 1, 0, 0, 0}) >> 9, 0);
    EXPECT_EQ(dir_pack_date(SmfsDateTime{2200, 1, 1, 0, 0, 0}) >> 9, 127);
}

class DirPathTest : public testing::Test {
protected:
    TestCard card{2, true};

    std::string full(const char* path, SmfsResult* result = nullptr) {
        std::string out;
        const SmfsResult r = path_make_full(cs(), path, &out);
        if (result) *result = r;
        return out;
    }
};

TEST_F(DirPathTest, RelativePathsFollowTheCurrentFolder) {
    ASSERT_EQ(api().chdir("vx:\\A\\B"), SmfsResult::Ok);
    char cwd[64];
    ASSERT_EQ(api().getcwd(cwd, sizeof cwd), SmfsResult::Ok);
    EXPECT_STREQ(cwd, "vx:\\A\\B\\");
    EXPECT_EQ(api().getcwd(cwd, 8), SmfsResult::OutOfMemory);

    SmfsResult r = SmfsResult::Internal;
    EXPECT_EQ(full("..\\..\\C", &r), "vx:\\C");
    EXPECT_EQ(r, SmfsResult::Ok);
    EXPECT_EQ(full("\\X.TXT"), "vx:\\A\\B\\X.TXT");
    full(std::string(300, 'A').c_str(), &r);
    EXPECT_EQ(r, SmfsResult::OutOfMemory);
    EXPECT_EQ(api().chdir("GAMES"), SmfsResult::NotFound);
    EXPECT_EQ(api().chdir(("vx:\\" + std::string(241, 'A')).c_str()), SmfsResult::OutOfMemory);
    EXPECT_EQ(api().chdir(("vx:\\" + std::string(240, 'A')).c_str()), SmfsResult::Ok);

    // Relative paths reach the card through the public calls.
    ASSERT_EQ(api().mkdir("vx:\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(api().chdir("vx:\\A\\B\\"), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("..\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "F.TXT", apiPattern(10, 1)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\A"), (std::vector<std::string>{".", "..", "B", "C"}));
    EXPECT_EQ(apiList(api(), ".."), (std::vector<std::string>{".", "..", "B", "C"}));
    std::uint32_t size = 0;
    EXPECT_EQ(api().fileSize("vx:\\A\\B\\F.TXT", &size), SmfsResult::Ok);
}

TEST_F(DirPathTest, DriveNames) {
    EXPECT_EQ(path_drive(cs(), "vx:\\"), 0);
    EXPECT_EQ(path_drive(cs(), "vx:"), 0);
    EXPECT_EQ(path_drive(cs(), "VX:\\"), 1);
    EXPECT_EQ(path_drive(cs(), "vxx:\\"), 1);
    EXPECT_EQ(path_drive(cs(), ":\\"), 1);
    EXPECT_EQ(path_drive(cs(), "vx"), 1);

    ASSERT_EQ(api().setDriveName("cardslot10"), SmfsResult::Ok);
    EXPECT_EQ(api().setDriveName("cardslot10x"), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().setDriveName(""), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().setDriveName("a:b"), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_drive(cs(), "cardslot10:\\"), 0);
    ASSERT_EQ(api().mkdir("cardslot10:\\D", 0), SmfsResult::Ok);
    EXPECT_EQ(api().mkdir("vx:\\E", 0), SmfsResult::InvalidArgument);
    api().resetDriveName();
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"D"});
    // A name beginning with 0xE5 lists and opens under the name it was given.
    const std::string e5 = "\xE5"
                           "X.TXT";
    ASSERT_EQ(apiWriteFile(api(), "vx:\\" + e5, apiPattern(10, 3)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"D", e5}));
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\" + e5, &back), SmfsResult::Ok);
    EXPECT_EQ(back, apiPattern(10, 3));
}

// A raw 32-byte entry.
std::vector<std::uint8_t> entry(const char* name11, std::uint8_t attr, std::uint16_t cluster,
                                std::uint32_t size) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[kDeAttr] = attr;
    putLe16(e.data() + kDeCluster, cluster);
    putLe32(e.data() + kDeSize, size);
    return e;
}

std::uint32_t clusterOf(const char* path) {
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info(path, &info), SmfsResult::Ok) << path;
    return info.firstCluster;
}

// Writes the FAT and starts again from the card, as a reader meeting the damage would.
void remount() {
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
}

class DirHostileTest : public testing::Test {
protected:
    TestCard card{0, true};
};

TEST_F(DirHostileTest, FolderChainLoopingOnItself) {
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    const std::uint32_t d = clusterOf("vx:\\D");
    // Every slot of the cluster holds a live entry, so no end marker stops a walk.
    std::vector<std::uint8_t> slots(card.clusterBytes());
    ASSERT_EQ(cluster_read(cs(), d, 0, slots.data(), 64), SmfsResult::Ok);
    for (std::uint32_t at = 64; at < card.clusterBytes(); at += 32) {
        std::string name = "F" + std::to_string(at / 32);
        name.resize(11, ' ');
        const auto e = entry(name.c_str(), kAttrArchive, 0, 0);
        std::memcpy(slots.data() + at, e.data(), 32);
    }
    ASSERT_EQ(cluster_write(cs(), d, 0, slots.data(), card.clusterBytes()), SmfsResult::Ok);
    fat_set_entry(cs(), d, static_cast<std::uint16_t>(d));
    ASSERT_NO_FATAL_FAILURE(remount());

    SmfsResult r = SmfsResult::Ok;
    apiList(api(), "vx:\\D", &r);
    EXPECT_EQ(r, SmfsResult::BrokenChain);
    std::uint32_t count = 0;
    EXPECT_EQ(api().count("vx:\\D", &count), SmfsResult::BrokenChain);
    SmfsEntryInfo info;
    EXPECT_EQ(api().info("vx:\\D\\NOPE", &info), SmfsResult::BrokenChain);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\D\\NEW", 0, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\D", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(api().rmdir("vx:\\D", 1), SmfsResult::BrokenChain);
    // The rest of the card is unharmed.
    ASSERT_EQ(apiWriteFile(api(), "vx:\\OK.TXT", apiPattern(100, 1)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"D", "OK.TXT"}));
}

TEST_F(DirHostileTest, FolderEntryNamingClusterZeroIsNotTheRoot) {
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.TXT", apiPattern(100, 2)), SmfsResult::Ok);
    const auto z = entry("Z          ", kAttrFolder, 0, 0);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "Z", z.data()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(remount());

    SmfsResult r = SmfsResult::Ok;
    apiList(api(), "vx:\\Z\\", &r);
    EXPECT_EQ(r, SmfsResult::BrokenChain);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\Z\\KEEP.TXT", 1, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\Z", 1), SmfsResult::BrokenChain);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(apiReadFile(api(), "vx:\\KEEP.TXT", &bytes), SmfsResult::Ok);
    EXPECT_EQ(bytes, apiPattern(100, 2));
}

TEST_F(DirHostileTest, FileChainsThatLoopOrLeaveTheVolume) {
    const std::uint32_t cb = card.clusterBytes();
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOOP.BIN", apiPattern(3 * cb, 3)), SmfsResult::Ok);
    const std::uint32_t first = clusterOf("vx:\\LOOP.BIN");
    const std::uint32_t second = fat_entry(cs(), first);
    const std::uint32_t third = fat_entry(cs(), second);
    fat_set_entry(cs(), third, static_cast<std::uint16_t>(first));
    // A second file claims a size far beyond its one cluster, and a third starts outside.
    const auto huge =
        entry("HUGE    BIN", kAttrArchive, static_cast<std::uint16_t>(first), 0x7FFFFFF0u);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "HUGE.BIN", huge.data()), SmfsResult::Ok);
    const auto outside = entry("OUT     BIN", kAttrArchive, 0xFFF0, 100);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "OUT.BIN", outside.data()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(remount());

    std::vector<std::uint8_t> buffer(4 * cb);
    std::uint32_t count = 0;
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\HUGE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), std::uint32_t(buffer.size()), &count), SmfsResult::Ok);
    EXPECT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Internal);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    ASSERT_EQ(api().open("vx:\\OUT.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), 10, &count), SmfsResult::Internal);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(api().write(h, buffer.data(), 10), SmfsResult::BrokenChain);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    EXPECT_EQ(api().remove("vx:\\LOOP.BIN"), SmfsResult::BrokenChain);
    EXPECT_EQ(api().remove("vx:\\OUT.BIN"), SmfsResult::BrokenChain);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"HUGE.BIN"});
}

} // namespace
