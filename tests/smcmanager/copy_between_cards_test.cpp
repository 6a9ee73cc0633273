// SPDX-License-Identifier: MIT
// Copies from one card to another give back every name and byte; a cancel leaves no part of
// the file in hand, and clashes follow the user.
#include "manager_fixture.h"

#include <cstdlib>
#include <map>

namespace {

// The entries at a card's root as a copy takes them (folders end in a backslash).
std::vector<std::string> rootEntries(CardStorage& card) {
    std::vector<CardEntry> entries;
    EXPECT_TRUE(card.list(kCardRoot, CardListing::Walk, entries));
    std::vector<std::string> list;
    for (const CardEntry& entry : entries)
        list.push_back(kCardRoot + entry.name + (entry.folder ? "\\" : ""));
    return list;
}

// Every folder ("NAME/") and file below a PC folder, with the file's bytes.
std::map<std::string, std::vector<std::uint8_t>> pcTree(const fs::path& root) {
    std::map<std::string, std::vector<std::uint8_t>> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_directory())
            tree[name + "/"] = {};
        else
            tree[name] = readPcFile(entry.path());
    }
    return tree;
}

std::unique_ptr<CardStorage> openImage(const fs::path& image) {
    std::string failure;
    bool inUse = false;
    auto card = openVirtualCard(image, fixedClock, failure, inUse);
    EXPECT_TRUE(card) << failure;
    return card;
}

} // namespace

using CopyBetweenCardsTest = ManagerTest;

TEST_F(CopyBetweenCardsTest, MachineToImageToFreshMachineKeepsEveryNameAndByte) {
    fs::create_directories(machineCard("EMPTY"));
    writePcFile(machineCard("GAME/RUN.QXC"), pattern(3000, 1));
    writePcFile(machineCard("GAME/SAVE/SLOT1.DAT"), pattern(kPieceBytes + 700, 2));
    writePcFile(machineCard("MP3/A.MP3"), pattern(40000, 3));
    writePcFile(machineCard("README"), {});
    std::string deep = "DEEP"; // deeper than half the depth a copy refuses
    for (int level = 0; level < 70; ++level)
        deep += "/D";
    fs::create_directories(machineCard(deep));
    const auto machine = pcTree(machineCard());
    const std::unique_ptr<DeviceLink> link = makeLink(sim, std::chrono::seconds(1));
    link->Reset();
    ASSERT_EQ(link->Connect(), LinkResult::Ok);
    const std::unique_ptr<CardStorage> source = ::machineCard(*link);
    openFormattedCard(2);
    ASSERT_TRUE(manager.copyFromCard(*source, kCardRoot, rootEntries(*source)));
    EXPECT_EQ(ui.recorder.totalMaxima.back(), 2 * std::int64_t(kPieceBytes + 43700));
    EXPECT_EQ(ui.recorder.totalPositions.back(), ui.recorder.totalMaxima.back());

    // The FAT tools read the image's volume.
    MemoryStorage volume;
    ASSERT_EQ(manager.card()->exportVolume(volume, nullptr), SmfsResult::Ok);
    writePcFile(dir / "volume.raw", volume.bytes());
    fs::create_directories(dir / "mtools");
    ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mcopy -s -n -i '" + (dir / "volume.raw").string() +
                           "' '::*' '" + (dir / "mtools").string() + "/' >/dev/null 2>&1")
                              .c_str()),
              0);
    EXPECT_EQ(pcTree(dir / "mtools"), machine);

    // The image into a machine with an empty card.
    manager.closeStorage();
    const std::unique_ptr<CardStorage> second = openImage(dir / "card.smc");
    SimMachine fresh(dir / "fresh");
    ScriptedUi freshUi;
    SmcManager freshManager(freshUi, makeLink(fresh, std::chrono::seconds(1)));
    ASSERT_TRUE(freshManager.connectMachine());
    ASSERT_TRUE(freshManager.copyFromCard(*second, kCardRoot, rootEntries(*second)));
    EXPECT_EQ(pcTree(dir / "fresh"), machine);
    EXPECT_TRUE(ui.messages.empty() && freshUi.messages.empty());
}

TEST_F(CopyBetweenCardsTest, CancelLeavesNoPartOfTheFileAndClashesFollowTheUser) {
    openFormattedCard(2);
    cardWrite("vx:\\BIG.BIN", pattern(kPieceBytes + 10, 1));
    cardWrite("vx:\\SAME.TXT", pattern(10, 2));
    cardMkdir("vx:\\GAME");
    cardWrite("vx:\\GAME\\NEW.DAT", pattern(20, 3));
    manager.closeStorage();
    const std::unique_ptr<CardStorage> source = openImage(dir / "card.smc");
    ui.answers.push_back(true);
    ASSERT_TRUE(manager.openImage(blankCard(2, "copy.smc")));
    cardWrite("vx:\\SAME.TXT", pattern(5, 4));
    cardMkdir("vx:\\GAME");
    cardWrite("vx:\\GAME\\OLD.DAT", pattern(30, 5));
    ui.messages.clear();

    // Cancelled while the big file is read: nothing of it reaches the card.
    ui.recorder.cancelWhen = [](const RecordingProgress& p) {
        return !p.itemPositions.empty() && p.itemPositions.back() >= std::int64_t(kPieceBytes);
    };
    EXPECT_FALSE(manager.copyFromCard(*source, kCardRoot, rootEntries(*source)));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"operation canceled."});
    EXPECT_FALSE(cardHas("vx:\\BIG.BIN"));

    // The folder is left and the file kept, then both are copied into.
    ui.recorder.cancelWhen = nullptr;
    ui.answers = {false, true};
    ui.replaceAnswers = {ManagerUi::ReplaceAnswer::No, ManagerUi::ReplaceAnswer::YesToAll};
    for (const int round : {1, 2}) {
        EXPECT_TRUE(manager.copyFromCard(*source, kCardRoot, rootEntries(*source))) << round;
        EXPECT_EQ(cardRead("vx:\\SAME.TXT"), pattern(round == 1 ? 5 : 10, round == 1 ? 4 : 2));
        EXPECT_EQ(cardHas("vx:\\GAME\\NEW.DAT"), round == 2);
    }
    EXPECT_EQ(cardRead("vx:\\BIG.BIN"), pattern(kPieceBytes + 10, 1));
    EXPECT_EQ(cardRead("vx:\\GAME\\NEW.DAT"), pattern(20, 3));
    EXPECT_EQ(cardRead("vx:\\GAME\\OLD.DAT"), pattern(30, 5));
    EXPECT_TRUE(ui.messages.empty());
}
