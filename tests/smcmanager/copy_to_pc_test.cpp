// SPDX-License-Identifier: MIT
// Copying from the card to the PC: lower-case names in the chosen folder, merging into
// existing folders, and what stands in the way.
#include "manager_fixture.h"

#include <algorithm>
#include <functional>

using CopyToPcTest = ManagerTest;
using CopyFromCardTest = StorageTest;
VELA_ON_BOTH_STORAGES(CopyFromCardTest);

TEST_P(CopyFromCardTest, FolderTreeArrivesInLowerCaseInsideTheChosenFolder) {
    open(3);
    mkdir("GAME");
    mkdir("GAME/SAVE");
    put("GAME/RUN.QXE", patternBytes(2097152, 1));
    put("GAME/SAVE/SLOT1.DAT", patternBytes(700, 2));
    put("GAME/SAVE/EMPTY.DAT", {});
    put("TUNE.MP3", patternBytes(3000, 3));
    const fs::path target = pc() / "Target Folder";
    fs::create_directories(target);
    manager.refreshCard();
    selectCard({"tune.mp3"});
    manager.collectCardSelection();
    selectCard({"tune.mp3", "game"});
    manager.copySelectionToPc(target.string());

    EXPECT_TRUE(ui.messages.empty());
    // A drop leaves what Copy put aside for the next paste.
    EXPECT_EQ(manager.copiedCardItems(), std::vector<std::string>{"vx:\\tune.mp3"});
    EXPECT_EQ(readFile(target / "tune.mp3"), patternBytes(3000, 3));
    EXPECT_EQ(readFile(target / "game" / "run.qxe"), patternBytes(2097152, 1));
    EXPECT_EQ(readFile(target / "game" / "save" / "slot1.dat"), patternBytes(700, 2));
    EXPECT_TRUE(fs::is_regular_file(target / "game" / "save" / "empty.dat"));
    EXPECT_EQ(ui.recorder.totalMaxima, std::vector<std::int64_t>{2097152 + 700 + 3000});
    EXPECT_EQ(ui.recorder.totalPositions.back(), 2097152 + 700 + 3000);
    EXPECT_EQ(ui.recorder.itemPositions.back(), 3000);
    EXPECT_EQ(ui.recorder.shows, 1);
    EXPECT_FALSE(ui.recorder.shown);
}

TEST_F(CopyToPcTest, FolderOfFortyEntriesMergesIntoAnExistingFolder) {
    openFormattedCard(1);
    cardMkdir("vx:\\MANY");
    for (int i = 0; i < 38; ++i)
        cardWrite("vx:\\MANY\\F" + std::to_string(i), patternBytes(20, i));
    writeFile(pc() / "many" / "f0", patternBytes(99, 99));
    writeFile(pc() / "many" / "mine", patternBytes(5, 5));
    writeFile(pc() / "many" / "f1", patternBytes(99, 98));
    ui.replaceAnswers = {ManagerUi::ReplaceAnswer::No, ManagerUi::ReplaceAnswer::Yes};
    EXPECT_TRUE(manager.copyToPc(pc().string(), {"vx:\\many\\"}));
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.replaceQuestions, (std::vector<std::string>{
                                       "file 'f0' already exists in the PC folder.\nreplace it?",
                                       "file 'f1' already exists in the PC folder.\nreplace it?"}));
    EXPECT_EQ(readFile(pc() / "many" / "f0"), patternBytes(99, 99));
    for (int i = 1; i < 38; ++i)
        EXPECT_EQ(readFile(pc() / "many" / ("f" + std::to_string(i))), patternBytes(20, i)) << i;
    EXPECT_EQ(readFile(pc() / "many" / "mine"), patternBytes(5, 5));
}

class MachineTimeoutTest : public ManagerTest {
protected:
    // One second of a link time limit lasts 10 ms.
    MachineTimeoutTest() : ManagerTest(std::chrono::milliseconds(10)) {}
};

TEST_F(MachineTimeoutTest, TimeOutOnTheSecondOfThreeFiles) {
    writeFile(machineCard("A.BIN"), patternBytes(100, 1));
    writeFile(machineCard("B.BIN"), patternBytes(100, 2));
    writeFile(machineCard("C.BIN"), patternBytes(100, 3));
    connectMachine();
    manager.setCardSelection({0, 1, 2});
    manager.collectCardSelection();
    // Three listings of four replies for the sizes, three replies for a.bin, then b.bin's
    // size reply never comes.
    sim.planFault(15, SimFault::silent());
    EXPECT_FALSE(manager.copyToPc(pc().string(), manager.copiedCardItems()));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"timed out while copying file."});
    EXPECT_EQ(readFile(pc() / "a.bin"), patternBytes(100, 1));
    EXPECT_FALSE(fs::exists(pc() / "b.bin"));
    EXPECT_FALSE(fs::exists(pc() / "c.bin"));
    EXPECT_FALSE(manager.link()->connected());
}

// What is in the way on the PC stops the copy with its message, and nothing is left half
// written or replaced.
TEST_F(CopyToPcTest, PcSideObstaclesAreReported) {
    openFormattedCard();
    cardMkdir("vx:\\DIR");
    cardWrite("vx:\\DIR\\A.TXT", patternBytes(10));
    cardWrite("vx:\\B.TXT", patternBytes(20));
    const struct {
        const char* name;
        std::function<void()> obstacle;
        std::vector<std::string> list;
        const char* message;
    } cases[] = {
        {"no PC folder", [] {}, {"vx:\\b.txt"}, "failed to create file in PC."},
        {"a PC file has the folder's name",
         [&] { writeFile(pc() / "out" / "dir", {7}); },
         {"vx:\\dir\\"},
         "failed to create folder in PC."},
        {"a PC folder has the name of a file inside the folder",
         [&] { fs::create_directories(pc() / "out" / "dir" / "a.txt"); },
         {"vx:\\dir\\"},
         "failed to create file in PC."},
        {"a PC folder has the file's name",
         [&] { fs::create_directories(pc() / "out" / "b.txt" / "kept"); },
         {"vx:\\b.txt"},
         "failed to create file in PC."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(pc() / "out");
        c.obstacle();
        EXPECT_FALSE(manager.copyToPc(pcPath("out"), c.list));
        EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{c.message});
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(pc() / "out", error))
            EXPECT_EQ(entry.path().filename().string().find(".vela-part"), std::string::npos);
    }
    EXPECT_TRUE(fs::is_directory(pc() / "out" / "b.txt" / "kept"));
}
