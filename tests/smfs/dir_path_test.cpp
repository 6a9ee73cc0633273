// Names and card paths: the 11-character entry form and back, the name checks, making paths
// full against the current folder, the drive check and resolving paths into folder clusters.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(full("..\\C", &r), "vx:\\A\\C");
    EXPECT_EQ(r, SmfsResult::Ok);
    EXPECT_EQ(full("..\\..\\C"), "vx:\\C");
    full("..\\..\\..\\C", &r);
    EXPECT_EQ(r, SmfsResult::AboveRoot);
    EXPECT_EQ(full("X.TXT"), "vx:\\A\\B\\X.TXT");
    EXPECT_EQ(full("\\X.TXT"), "vx:\\A\\B\\X.TXT");
    EXPECT_EQ(full("vx:\\Y"), "vx:\\Y");
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
    EXPECT_EQ(api().mkdir("..\\..\\..\\C", 0), SmfsResult::AboveRoot);
}

TEST_F(DirPathTest, DriveNames) {
    EXPECT_EQ(path_drive(cs(), "vx:\\"), 0);
    EXPECT_EQ(path_drive(cs(), "vx:"), 0);
    EXPECT_EQ(path_drive(cs(), "VX:\\"), 1);
    EXPECT_EQ(path_drive(cs(), "vxx:\\"), 1);
    EXPECT_EQ(path_drive(cs(), ":\\"), 1);
    EXPECT_EQ(path_drive(cs(), "vx"), 1);
    EXPECT_EQ(api().mkdir("vy:\\A", 0), SmfsResult::InvalidArgument);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("v:\\A", 0, &h), SmfsResult::InvalidArgument);

    ASSERT_EQ(api().setDriveName("cardslot10"), SmfsResult::Ok);
    EXPECT_EQ(api().setDriveName("cardslot10x"), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().setDriveName(""), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().setDriveName("a:b"), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_drive(cs(), "cardslot10:\\"), 0);
    ASSERT_EQ(api().mkdir("cardslot10:\\D", 0), SmfsResult::Ok);
    EXPECT_EQ(api().mkdir("vx:\\E", 0), SmfsResult::InvalidArgument);
    api().resetDriveName();
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"D"});
}

TEST_F(DirPathTest, ResolvingPathsIntoFolders) {
    ASSERT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES\\DEMO", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAMES\\DEMO\\F.BIN", apiPattern(10, 2)), SmfsResult::Ok);
    SmfsEntryInfo games, demo, file;
    ASSERT_EQ(api().info("vx:\\GAMES", &games), SmfsResult::Ok);
    ASSERT_EQ(api().info("vx:\\GAMES\\DEMO", &demo), SmfsResult::Ok);
    ASSERT_EQ(api().info("vx:\\GAMES\\DEMO\\F.BIN", &file), SmfsResult::Ok);

    std::uint32_t c = 99;
    bool folder = false;
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO\\", 1, &c), SmfsResult::Ok);
    EXPECT_EQ(c, games.firstCluster);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO\\", 0, &c, &folder), SmfsResult::Ok);
    EXPECT_EQ(c, demo.firstCluster);
    EXPECT_TRUE(folder);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO", 1, &c), SmfsResult::Ok);
    EXPECT_EQ(c, games.firstCluster);
    EXPECT_EQ(path_resolve(cs(), "vx:\\games\\demo\\f.bin", 0, &c, &folder), SmfsResult::Ok);
    EXPECT_EQ(c, file.firstCluster);
    EXPECT_FALSE(folder);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO\\..\\..", 0, &c), SmfsResult::Ok);
    EXPECT_EQ(c, kRootCluster);
    EXPECT_EQ(path_resolve(cs(), "vx:\\", 0, &c), SmfsResult::Ok);
    EXPECT_EQ(c, kRootCluster);

    EXPECT_EQ(path_resolve(cs(), "vx:\\", 1, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:", 0, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:GAMES", 0, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\\\DEMO", 0, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DE MO", 1, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:\\ABCDEFGHI.TXT", 1, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:\\ABC.TEXT\\X", 1, &c), SmfsResult::InvalidArgument);
    EXPECT_EQ(path_resolve(cs(), "vx:\\NONE\\X", 1, &c), SmfsResult::NotFound);
    // A file is never a folder on the way.
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO\\F.BIN\\X", 1, &c), SmfsResult::NotFound);
    EXPECT_EQ(path_resolve(cs(), "vx:\\GAMES\\DEMO\\F.BIN\\", 0, &c), SmfsResult::NotFound);

    std::string name;
    path_last_name("vx:\\GAMES\\DEMO\\", &name);
    EXPECT_EQ(name, "DEMO");
    path_last_name("vx:\\GAMES\\F.BIN", &name);
    EXPECT_EQ(name, "F.BIN");
    path_last_name("vx:\\", &name);
    EXPECT_EQ(name, "");

    // The same rules hold at the public calls.
    EXPECT_EQ(api().mkdir("vx:\\ABCDEFGHI.TXT", 0), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().mkdir("vx:\\ABC.TEXT", 0), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().mkdir("vx:\\MY GAME", 0), SmfsResult::InvalidArgument);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\A.B.C", 0, &h), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().create("vx:\\*.TXT", 0, &h), SmfsResult::InvalidArgument);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"GAMES"});

    // A name beginning with 0xE5 lists and opens under the name it was given.
    const std::string e5 = "\xE5"
                           "X.TXT";
    ASSERT_EQ(apiWriteFile(api(), "vx:\\" + e5, apiPattern(10, 3)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"GAMES", e5}));
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\" + e5, &back), SmfsResult::Ok);
    EXPECT_EQ(back, apiPattern(10, 3));
}

} // namespace
