// SPDX-License-Identifier: MIT
// Copying from the PC to the card: pieces and gauges, folder trees, name clashes, where a
// paste stops, and the paste handler.
#include "manager_fixture.h"

using CopyToSmcTest = ManagerTest;

TEST_F(CopyToSmcTest, FileIsWrittenInPiecesOfOneMebibyteWithTheGauges) {
    openFormattedCard(3);
    const auto data = patternBytes(2621440);
    writeFile(pc() / "x.bin", data);
    manager.pasteToCard("", {pcPath("x.bin")});

    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(cardRead("vx:\\X.BIN"), data);
    EXPECT_EQ(ui.recorder.itemMaxima, std::vector<std::int64_t>{2621440});
    EXPECT_EQ(ui.recorder.itemPositions, (std::vector<std::int64_t>{0, 1048576, 2097152, 2621440}));
    EXPECT_EQ(ui.recorder.totalMaxima, std::vector<std::int64_t>{2621440});
    EXPECT_EQ(ui.recorder.totalPositions,
              (std::vector<std::int64_t>{0, 1048576, 2097152, 2621440}));
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now copying file 'x.bin' (size : 2621440 bytes)");
    EXPECT_EQ(ui.recorder.animation, ProgressUi::Animation::CopyFile);
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::StepText));
    EXPECT_EQ(ui.recorder.shows, 1);
    EXPECT_FALSE(ui.recorder.shown);
    // The paste refreshes the card list.
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"x.bin"});
    EXPECT_EQ(manager.cardItems()[0].size, "2560KB");

    // An exact multiple of a piece, and an empty file.
    writeFile(pc() / "two.bin", patternBytes(2097152, 3));
    writeFile(pc() / "empty", {});
    ASSERT_TRUE(manager.copyToCard("vx:\\", {pcPath("two.bin"), pcPath("empty")}));
    EXPECT_EQ(cardRead("vx:\\TWO.BIN"), patternBytes(2097152, 3));
    EXPECT_TRUE(cardHas("vx:\\EMPTY") && cardRead("vx:\\EMPTY").empty());
    EXPECT_EQ(ui.recorder.totalPositions.back(), 2097152);
}

using CopyToCardTest = StorageTest;
VELA_ON_BOTH_STORAGES(CopyToCardTest);

TEST_P(CopyToCardTest, FolderTreeGoesIntoTheDroppedOnFolder) {
    open(2);
    writeFile(pc() / "album" / "a.mp3", patternBytes(300, 1));
    writeFile(pc() / "album" / "cd2" / "b.mp3", patternBytes(70000, 2));
    fs::create_directories(pc() / "album" / "cd2" / "empty");
    writeFile(pc() / "x.txt", patternBytes(10, 3));
    mkdir("GAME");
    manager.refreshCard();
    manager.pasteToCard("vx:\\game", {pcPath("album") + "/", pcPath("x.txt")});

    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(read("GAME/X.TXT"), patternBytes(10, 3));
    EXPECT_EQ(read("GAME/ALBUM/A.MP3"), patternBytes(300, 1));
    EXPECT_EQ(read("GAME/ALBUM/CD2/B.MP3"), patternBytes(70000, 2));
    EXPECT_TRUE(has("GAME/ALBUM/CD2/EMPTY"));
    EXPECT_EQ(ui.recorder.totalMaxima, std::vector<std::int64_t>{70310});
    EXPECT_EQ(ui.recorder.totalPositions.back(), 70310);
    EXPECT_EQ(ui.recorder.itemPositions.back(), 10);
}

// A name that exists on the card: the user's answer decides, and an old file gives way only
// to a whole new one.
TEST_F(CopyToSmcTest, ExistingCardNamesAreAskedAbout) {
    using Answer = ManagerUi::ReplaceAnswer;
    struct Case {
        const char* name;
        std::vector<Answer> answers;
        bool mergeAnswer;
        bool copied;
        std::vector<std::uint8_t> x; // vx:\X.TXT afterwards
        bool albumCopied;            // vx:\ALBUM\A.MP3 is the PC's
        bool laterCopied;            // vx:\LATER.TXT
    };
    const std::vector<std::uint8_t> old = {1, 2, 3};
    const Case cases[] = {
        {"no keeps the card file", {Answer::No, Answer::No}, true, true, old, false, true},
        {"yes replaces it", {Answer::Yes, Answer::No}, true, true, patternBytes(10), false, true},
        {"yes to all asks once", {Answer::YesToAll}, true, true, patternBytes(10), true, true},
        {"cancel ends the copy", {Answer::Cancel}, true, false, old, false, false},
        {"a folder not merged is left", {Answer::Yes}, false, true, patternBytes(10), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        manager.closeStorage();
        fs::remove_all(pc());
        openFormattedCard();
        cardWrite("vx:\\X.TXT", old);
        cardMkdir("vx:\\ALBUM");
        cardWrite("vx:\\ALBUM\\A.MP3", {9});
        cardMkdir("vx:\\MORE");
        writeFile(pc() / "x.txt", patternBytes(10));
        writeFile(pc() / "album" / "a.mp3", patternBytes(20));
        writeFile(pc() / "more" / "m.txt", patternBytes(40));
        writeFile(pc() / "later.txt", patternBytes(30));
        ui.replaceAnswers.assign(c.answers.begin(), c.answers.end());
        ui.answers = {c.mergeAnswer};
        EXPECT_EQ(manager.copyToCard("vx:\\",
                                     {pcPath("x.txt"), pcPath("album") + "/", pcPath("later.txt")}),
                  c.copied);
        EXPECT_TRUE(ui.replaceAnswers.empty());
        EXPECT_EQ(cardRead("vx:\\X.TXT"), c.x);
        EXPECT_EQ(cardRead("vx:\\ALBUM\\A.MP3"),
                  c.albumCopied ? patternBytes(20) : std::vector<std::uint8_t>{9});
        EXPECT_EQ(cardHas("vx:\\LATER.TXT"), c.laterCopied);
        EXPECT_FALSE(cardHas("vx:\\VELA~NEW.TMP"));
    }
    EXPECT_EQ(ui.replaceQuestions.back(), "file 'x.txt' already exists on the card.\nreplace it?");
    EXPECT_EQ(ui.questions.back().text,
              "folder 'album' already exists on the card.\ncopy into it?");
}

// Names no card can hold are left out with their reason; the rest is copied.
TEST_F(CopyToSmcTest, NamesNoCardCanHoldAreSkippedAndListed) {
    openFormattedCard();
    writeFile(pc() / "My Long Folder Name" / "a.txt", patternBytes(5));
    writeFile(pc() / "bad*nm", patternBytes(5));
    writeFile(pc() / "good" / "toolongname.txt", patternBytes(5));
    writeFile(pc() / "good" / "ok.txt", patternBytes(6));
    writeFile(pc() / "last.txt", patternBytes(7));
    EXPECT_FALSE(manager.copyToCard("vx:\\", {pcPath("My Long Folder Name") + "/", pcPath("bad*nm"),
                                              pcPath("good") + "/", pcPath("last.txt")}));
    EXPECT_EQ(manager.skippedNames(),
              (std::vector<std::string>{"My Long Folder Name", "bad*nm", "toolongname.txt"}));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].find("'bad*nm': holds a space"), std::string::npos);
    EXPECT_NE(ui.messages[0].find("'toolongname.txt': longer than 8"), std::string::npos);
    EXPECT_EQ(cardRead("vx:\\GOOD\\OK.TXT"), patternBytes(6));
    EXPECT_EQ(cardRead("vx:\\LAST.TXT"), patternBytes(7));
    EXPECT_FALSE(cardHas("vx:\\MY LONG FOLDER NAME"));
}

TEST_F(CopyToSmcTest, DeletedCardEntriesDoNotMeetAFolderCopy) {
    openFormattedCard();
    // Entries deleted from the card leave names behind that the copy must not take for live.
    cardMkdir("vx:\\GAME");
    cardMkdir("vx:\\GAME\\ALBUM");
    cardWrite("vx:\\GAME\\ALBUM\\B.MP3", {9});
    ASSERT_EQ(openCard().rmdir("vx:\\GAME\\ALBUM", 1), SmfsResult::Ok);
    writeFile(pc() / "album2" / "a.mp3", patternBytes(10));
    fs::create_directories(pc() / "album2" / "b.mp3"); // a folder where the card has a file
    cardMkdir("vx:\\ALBUM2");
    ASSERT_EQ(openCard().rmdir("vx:\\ALBUM2", 1), SmfsResult::Ok);
    EXPECT_TRUE(manager.copyToCard("vx:\\", {pcPath("album2") + "/"}));
    EXPECT_TRUE(cardHas("vx:\\ALBUM2\\B.MP3"));
}

TEST_F(CopyToSmcTest, CardFullClosesAndRemovesThePartialFile) {
    openFormattedCard(0);
    const std::uint64_t freeBefore = manager.freeSize();
    writeFile(pc() / "big.bin", patternBytes(std::size_t(freeBefore) + 65536));
    EXPECT_FALSE(manager.copyToCard("vx:\\", {pcPath("big.bin")}));
    EXPECT_EQ(ui.messages,
              std::vector<std::string>{"failed to write file in virtual SMC. ('vx:\\big.bin')"});
    EXPECT_FALSE(cardHas("vx:\\BIG.BIN"));
    manager.showSpace();
    EXPECT_EQ(manager.freeSize(), freeBefore);
    // No handle was left open: ten files can still be open at once.
    SmfsHandle handles[kSmfsMaxOpenFiles];
    for (int i = 0; i < kSmfsMaxOpenFiles; ++i) {
        ASSERT_EQ(openCard().create(("vx:\\F" + std::to_string(i)).c_str(), 2, &handles[i]),
                  SmfsResult::Ok);
    }
    for (SmfsHandle handle : handles)
        EXPECT_EQ(openCard().close(handle), SmfsResult::Ok);
}

TEST_F(CopyToSmcTest, PasteGoesIntoTheCurrentCardFolder) {
    openFormattedCard();
    cardMkdir("vx:\\GAME");
    writeFile(pc() / "a.txt", patternBytes(10, 1));
    manager.refreshCard();
    // Double-clicks on no item and a paste of nothing do nothing.
    manager.openCardItem(-1);
    manager.openCardItem(int(manager.cardItems().size()));
    manager.pasteToCard("", {});
    EXPECT_EQ(ui.recorder.shows, 0);
    EXPECT_EQ(manager.cardPath(), "vx:\\");

    manager.openCardItem(0);
    manager.pasteToCard("", {pcPath("a.txt")});
    EXPECT_EQ(cardRead("vx:\\GAME\\A.TXT"), patternBytes(10, 1));
    EXPECT_EQ(ui.recorder.shows, 1);
    EXPECT_FALSE(ui.recorder.shown);
    // The card list shows what was pasted.
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(ui.messages.empty());
}

// A file that fails inside a folder ends the whole paste there.
TEST_F(CopyToSmcTest, FailedFileInsideAFolderEndsThePaste) {
    openFormattedCard();
    cardMkdir("vx:\\ALBUM");
    cardMkdir("vx:\\ALBUM\\B.MP3"); // a folder where the PC has a file
    writeFile(pc() / "album" / "a.mp3", patternBytes(10));
    writeFile(pc() / "album" / "b.mp3", patternBytes(10));
    writeFile(pc() / "later.txt", patternBytes(10));
    ui.answers = {true}; // copy into the existing folder
    EXPECT_FALSE(manager.copyToCard("vx:\\", {pcPath("album") + "/", pcPath("later.txt")}));
    EXPECT_EQ(ui.messages, std::vector<std::string>{
                               "failed to create file in virtual SMC. ('vx:\\album\\b.mp3')"});
    EXPECT_EQ(cardRead("vx:\\ALBUM\\A.MP3"), patternBytes(10));
    EXPECT_FALSE(cardHas("vx:\\LATER.TXT"));
}
