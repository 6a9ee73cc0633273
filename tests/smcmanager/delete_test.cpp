// SPDX-License-Identifier: MIT
// Deleting and creating folders on the card: the triggers, their confirmation, and a walk
// that stops at the first failure.
#include "manager_fixture.h"

using Kind = ManagerUi::QuestionKind;

using DeleteTest = ManagerTest;

TEST_F(DeleteTest, TheMachinesCardRootIsNeverSentForRemoval) {
    writeFile(machineCard("A.TXT"), {1});
    connectMachine();
    sim.clearReceived();
    EXPECT_FALSE(manager.deleteCardItems({"vx:\\"}));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"default error has occurred."});
    EXPECT_TRUE(sim.receivedFrames().empty());
    EXPECT_TRUE(fs::exists(machineCard("A.TXT")));
}

// Nothing selected, Cancel, the card itself or no node: nothing goes. The Delete key on a
// subfolder deletes its tree and shows the parent.
TEST_F(DeleteTest, DeleteKeyAndSelections) {
    openFormattedCard();
    cardMkdir("vx:\\GAME");
    cardMkdir("vx:\\GAME\\SAVE");
    cardMkdir("vx:\\GAME\\SAVE\\DEEP");
    cardWrite("vx:\\GAME\\SAVE\\DEEP\\X.BIN", patternBytes(5000));
    cardWrite("vx:\\GAME\\RUN.QXE", {1});
    manager.refreshCard();
    manager.setCardSelection({0});
    manager.collectCardSelection(); // Copy: kept through every delete below
    manager.setCardSelection({});
    manager.deleteListSelection();
    ASSERT_EQ(manager.selectedCardNode(), manager.cardRoot());
    manager.cardTreeKeyPressed(kKeyDelete);
    manager.selectCardNode(nullptr);
    manager.cardTreeKeyPressed(kKeyDelete);
    EXPECT_TRUE(ui.questions.empty());
    // The menu's delete asks anyway; OK only refreshes. Cancel deletes nothing.
    ui.answers = {true, false};
    manager.deleteSelection();
    manager.setCardSelection({0});
    manager.deleteListSelection();
    EXPECT_EQ(ui.questions.size(), 2u);
    EXPECT_TRUE(cardHas("vx:\\GAME\\SAVE"));

    manager.setCardPath("vx:\\game\\save");
    manager.refreshCard();
    manager.cardTreeKeyPressed(kKeyDelete + 1); // other keys do nothing
    EXPECT_EQ(ui.questions.size(), 2u);
    ui.answers.push_back(true);
    manager.cardTreeKeyPressed(kKeyDelete);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(cardHas("vx:\\GAME\\SAVE"));
    EXPECT_EQ(manager.cardPath(), "vx:\\game");
    EXPECT_EQ(manager.cardPathOf(manager.selectedCardNode()), "vx:\\game");
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"run.qxe"});
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now deleting folder 'save'...");
    EXPECT_EQ(manager.copiedCardItems(), std::vector<std::string>{"vx:\\game\\"});
}

using CardFolderTest = StorageTest;
VELA_ON_BOTH_STORAGES(CardFolderTest);

// The walk stops at the first entry that cannot go, in the storage's own words.
TEST_P(CardFolderTest, DeleteStopsAtTheSecondOfThree) {
    open();
    mkdir("ALBUM");
    mkdir("ALBUM/CD2");
    put("ALBUM/CD2/S.DAT", {1});
    put("B.TXT", {2});
    put("C.TXT", {3});
    manager.refreshCard();
    manager.setCardSelection({0, 1, 2});
    // b.txt cannot go now: it is open on the card, or the machine answers its removal badly
    // (after it removed the file).
    SmfsHandle held = 0;
    if (onMachine()) {
        sim.planFault(1, SimFault::replyCode(0xFF));
    } else {
        ASSERT_EQ(openCard().open("vx:\\B.TXT", kSmfsRead, &held), SmfsResult::Ok);
    }
    ui.answers.push_back(true);
    manager.deleteListSelection();
    if (!onMachine()) {
        EXPECT_EQ(openCard().close(held), SmfsResult::Ok);
    }

    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0].text, "do you really want to delete?");
    EXPECT_EQ(ui.questions[0].kind, Kind::Information);
    EXPECT_EQ(ui.messages,
              std::vector<std::string>{onMachine() ? "an error has occurred in Vela."
                                                   : "an error has occurred while deleting file in "
                                                     "virtual SMC."});
    EXPECT_FALSE(has("ALBUM"));
    EXPECT_TRUE(has("C.TXT"));
    EXPECT_EQ(captions(manager.cardItems()).back(), "c.txt");
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now deleting file 'b.txt'...");
    EXPECT_EQ(ui.recorder.animation, ProgressUi::Animation::DeleteFile);
    EXPECT_FALSE(ui.recorder.playing);
    // A step has no gauges to show; they come back for the next operation.
    EXPECT_EQ(
        ui.recorder.hiddenWhileShown,
        (std::set<ProgressUi::Part>{ProgressUi::Part::ItemGauge, ProgressUi::Part::TotalGauge}));
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::ItemGauge));
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::TotalGauge));
    EXPECT_FALSE(ui.recorder.shown);
}

TEST_P(CardFolderTest, CreateFolderAsksForAName) {
    open();
    mkdir("GAME");
    ui.texts = {"", "save", "vx:", "save"};
    manager.createFolder();
    EXPECT_EQ(ui.textQuestions, std::vector<std::string>{"folder name|please type folder name|"});
    EXPECT_EQ(ui.recorder.shows, 0);

    manager.setCardPath("vx:\\game");
    manager.createFolder();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"save"});
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now creating folder 'save'");

    // A name no card can hold is refused with its reason before anything is asked of it.
    manager.createFolder();
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"'vx:' cannot be stored on the card (8.3 names: up to 8 "
                                       "characters, a dot and 3 characters): holds a space, a "
                                       "second dot or one of * ? \" < > | + , ; = [ ]"});
    manager.setCardPath("vx:\\nothere");
    manager.createFolder();
    EXPECT_EQ(ui.takeMessages().front(),
              onMachine() ? "parent path doesn't exist." : "parent folder doesn't exist.");
    if (onMachine()) return;
    EXPECT_FALSE(manager.makeCardFolder("vx:\\game\\save"));
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"an error occurred while creating folder in virtual SMC."});
}
