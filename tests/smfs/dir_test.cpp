// SPDX-License-Identifier: MIT
// Directories and paths: names and their entry form, relative paths and drive names, and
// folders and chains on a hostile card that loop or leave the volume.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(DirNameTest, EntryFormsValidityAndFit) {
    // Names and their entry forms, then names the path checks never let through, reported
    // as shortened; a first byte 0xE5 (a lead byte of the Japanese code page) is
    // stored as 0x05, since 0xE5 there would read as a deleted entry.
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
    const Pair names[] = {
        {"README  TXT", "README.TXT"},   {"NOEXT      ", "NOEXT"}, {".          ", "."},
        {"..         ", ".."},           {"A       B  ", "A.B"},   {"B B     T X", "B B.T X"},
        {"\005BC     TXT", "\345BC.TXT"}};
    for (const auto& [entry, name] : names) {
        char out[13];
        entry_to_name(reinterpret_cast<const std::uint8_t*>(entry), out);
        EXPECT_STREQ(out, name);
    }
    // Names that fit an entry pass; the public form tells a name too long for 8.3 from one
    // no card can hold.
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

    const SmfsDateTime t{2024, 5, 17, 13, 45, 31};
    EXPECT_EQ(dir_pack_time(t), (13 << 11) | (45 << 5) | 15);
    EXPECT_EQ(dir_pack_date(t), ((2024 - 1980) << 9) | (5 << 5) | 17);
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
    // Relative paths reach the card through the public calls.
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
    // A name beginning with 0xE5 lists and opens under the name it was given.
    const std::string e5 = "\345X.TXT";
    ASSERT_EQ(apiWriteFile(api(), "vx:\\" + e5, apiPattern(10, 3)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"A", "D", e5}));
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\" + e5, &back), SmfsResult::Ok);
    EXPECT_EQ(back, apiPattern(10, 3));
}

// Writes a raw 32-byte entry into the root.
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

// A hostile card: folder D's chain loops on itself through a cluster of live entries, so no
// end marker stops a walk; folder Z names cluster 0 (not the root); LOOP.BIN's chain comes
// back to its start; CUT.BIN's breaks after its second cluster; HUGE.BIN claims far more
// than its one cluster; OUT.BIN starts outside the volume. Each call meets its damage as a
// result and the rest of the card is unharmed.
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
    // Written out and read again from the card, as a reader meeting the damage would.
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
    // A read that ends where the chain breaks has all it asked for.
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
