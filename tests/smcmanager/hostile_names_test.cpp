// SPDX-License-Identifier: MIT
// Names from a card or a machine are untrusted: nothing is ever written outside the PC folder
// the user chose. Hostile entries are written straight into a card's directory.
#include "manager_fixture.h"

#include "smfs/dir.h"

#include <cstring>
#include <set>

namespace {

// Renames the entry name83 ("NAME.EXT") of the card folder to the raw 11 entry characters.
void rawRename(const std::string& folder, const char* name83, const char (&raw)[12]) {
    SmfsEntryInfo folderInfo{}; // the root is cluster 0
    if (folder != "vx:\\") {
        ASSERT_EQ(openCard().info(folder.c_str(), &folderInfo), SmfsResult::Ok);
    }
    DirKey key;
    key.text = name83;
    DirSlot slot{};
    ASSERT_EQ(dir_find(openCard().state(), kFindName, folderInfo.firstCluster, key, &slot),
              SmfsResult::Ok);
    std::memcpy(slot.entry + kDeName, raw, kNameChars);
    ASSERT_EQ(dir_write_entry(openCard().state(), slot), SmfsResult::Ok);
}

// Every file and folder below root, relative.
std::set<std::string> everything(const fs::path& root) {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        found.insert(fs::relative(entry.path(), root).string());
    return found;
}

} // namespace

class HostileNamesTest : public ManagerTest {};

TEST_F(HostileNamesTest, CardEntriesThatLeaveTheFolderAreRefused) {
    openFormattedCard();
    cardMkdir("vx:\\HOST");
    cardMkdir("vx:\\HOST\\INNER");
    cardWrite("vx:\\HOST\\CLIMB.TXT", pattern(10, 1));
    cardWrite("vx:\\HOST\\SLASH.TXT", pattern(10, 2));
    cardWrite("vx:\\HOST\\CTRL.TXT", pattern(10, 3));
    cardWrite("vx:\\HOST\\GOOD.TXT", pattern(10, 4));
    rawRename("vx:\\HOST", "CLIMB.TXT", "..\\..\\X    ");
    rawRename("vx:\\HOST", "SLASH.TXT", "A/B     TXT");
    rawRename("vx:\\HOST", "CTRL.TXT",
              "A\x01"
              "B     TXT");
    rawRename("vx:\\HOST", "INNER", "..\\..   EXE");

    const fs::path target = pc() / "target";
    fs::create_directories(target);
    const auto before = everything(dir.path());
    EXPECT_FALSE(manager.copyToPc(target.string(), {"vx:\\host\\"}));

    // Four refusals, one per hostile entry, and nothing else; the good file is copied.
    EXPECT_EQ(ui.messages, std::vector<std::string>(4, "failed to create file in PC."));
    EXPECT_EQ(readPcFile(target / "host" / "good.txt"), pattern(10, 4));
    auto after = everything(dir.path());
    for (const auto& path : before)
        after.erase(path);
    EXPECT_EQ(after, (std::set<std::string>{"pc/target/host", "pc/target/host/good.txt"}));
}

TEST_F(HostileNamesTest, SelectedCardPathsWithHostileLastNamesWriteNothing) {
    openFormattedCard();
    cardWrite("vx:\\A.TXT", pattern(10));
    const fs::path target = pc() / "target";
    fs::create_directories(target);
    const auto before = everything(dir.path());
    EXPECT_FALSE(manager.copyFileToPc(target.string(), "vx:\\.."));
    EXPECT_FALSE(manager.copyFileToPc(target.string(), "vx:\\a/b"));
    EXPECT_FALSE(manager.copyFolderToPc(target.string(), "vx:\\.."));
    EXPECT_EQ(ui.messages, std::vector<std::string>(3, "failed to create file in PC."));
    EXPECT_EQ(everything(dir.path()), before);
}

// Entries another system (or damage) stored under names no path can name: each is listed
// as stored among its neighbours, copies off the card by its position, and hides nothing.
TEST_F(HostileNamesTest, EntriesStoredUnderForeignNamesAreListedAndCopied) {
    struct Case {
        const char raw[12];
        const char* caption; // as stored
        const char* pcName;
    };
    const Case cases[] = {
        {"Bbb     TXT", "Bbb.TXT", "bbb.txt"},
        {"B B     TXT", "B B.TXT", "b b.txt"},
        {"C*D     BIN", "C*D.BIN", "c*d.bin"},
        // A plain twin of the same letters: the stored name picks the entry, not the lookup.
        {"Ddd     TXT", "Ddd.TXT", "ddd.txt"},
    };
    openFormattedCard();
    cardWrite("vx:\\AAA.TXT", pattern(100, 1));
    cardWrite("vx:\\DDD.TXT", pattern(70, 2));
    std::vector<std::string> expected = {"aaa.txt", "ddd.txt"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string plain = "F" + std::to_string(i) + ".TXT";
        cardWrite("vx:\\" + plain, pattern(3000 + i, unsigned(10 + i)));
        rawRename("vx:\\", plain.c_str(), cases[i].raw);
        expected.push_back(cases[i].caption);
    }
    for (int i = 0; i < 30; ++i) { // the folder's first batch of names comes back full
        cardWrite("vx:\\Z" + std::to_string(i), {});
        expected.push_back("z" + std::to_string(i));
    }

    manager.refreshCard();
    EXPECT_EQ(captions(manager.cardItems()), expected);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].caption);
        EXPECT_TRUE(manager.cardItems()[2 + i].foreignName);
        EXPECT_EQ(manager.cardFileSize(std::string("vx:\\") + cases[i].caption),
                  std::int64_t(3000 + i));
        EXPECT_TRUE(manager.copyToPc(pc().string(), {std::string("vx:\\") + cases[i].caption}));
        EXPECT_EQ(readPcFile(pc() / cases[i].pcName), pattern(3000 + i, unsigned(10 + i)));
    }
    // A neighbour copies as ever.
    EXPECT_FALSE(manager.cardItems()[0].foreignName);
    EXPECT_TRUE(manager.copyToPc(pc().string(), {"vx:\\aaa.txt"}));
    EXPECT_EQ(readPcFile(pc() / "aaa.txt"), pattern(100, 1));
    EXPECT_TRUE(ui.messages.empty());
}
