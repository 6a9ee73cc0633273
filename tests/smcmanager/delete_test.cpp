// SPDX-License-Identifier: MIT
// Deleting and creating on the card: the three delete triggers and their confirmation, a
// walk that stops at the first failure, the Delete key on the card tree, and the folder
// creation command, on both backends.
#include "manager_fixture.h"

#include <algorithm>

using Kind = ManagerUi::QuestionKind;

class DeleteTest : public ManagerTest {
protected:
    void selectAll() {
        std::vector<int> all(manager.cardItems().size());
        for (std::size_t i = 0; i < all.size(); ++i)
            all[i] = int(i);
        manager.setCardSelection(all);
    }
};

TEST_F(DeleteTest, VirtualDeleteStopsAtTheSecondOfThree) {
    openFormattedCard();
    cardWrite("vx:\\A.TXT", {1});
    cardWrite("vx:\\B.TXT", {2});
    cardWrite("vx:\\C.TXT", {3});
    manager.refreshCard();
    selectAll();
    SmfsHandle open = 0;
    ASSERT_EQ(openCard().open("vx:\\B.TXT", kSmfsRead, &open), SmfsResult::Ok); // b cannot go now
    ui.answers.push_back(true);
    manager.deleteListSelection();
    EXPECT_EQ(openCard().close(open), SmfsResult::Ok);

    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0].text, "do you really want to delete?");
    EXPECT_EQ(ui.questions[0].kind, Kind::Information);
    EXPECT_EQ(ui.messages, std::vector<std::string>{
                               "an error has occurred while deleting file in virtual SMC."});
    EXPECT_FALSE(cardHas("vx:\\A.TXT"));
    EXPECT_TRUE(cardHas("vx:\\B.TXT"));
    EXPECT_TRUE(cardHas("vx:\\C.TXT"));
    EXPECT_EQ(captions(manager.cardItems()), (std::vector<std::string>{"b.txt", "c.txt"}));
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

TEST_F(DeleteTest, MachineDeleteStopsAtTheSecondOfThree) {
    fs::create_directories(machineCard("ALBUM/CD2"));
    writePcFile(machineCard("ALBUM/CD2/S.DAT"), {1});
    writePcFile(machineCard("B.TXT"), {2});
    writePcFile(machineCard("C.TXT"), {3});
    connectMachine();
    selectAll();
    sim.planFault(1, SimFault::replyCode(0xFF)); // the reply to b.txt's removal
    ui.answers.push_back(true);
    manager.deleteSelection();
    EXPECT_EQ(ui.messages, std::vector<std::string>{"an error has occurred in Vela."});
    EXPECT_FALSE(fs::exists(machineCard("ALBUM")));
    // (The simulated machine removed b.txt before its reply was spoiled.)
    EXPECT_TRUE(fs::exists(machineCard("C.TXT")));
    EXPECT_EQ(ui.recorder.stepTexts.front(), "now deleting folder 'album'...");
}

TEST_F(DeleteTest, NothingSelectedOrCancelledDeletesNothing) {
    openFormattedCard();
    cardWrite("vx:\\A.TXT", {1});
    manager.refreshCard();
    manager.setCardSelection({});
    manager.deleteListSelection();
    EXPECT_TRUE(ui.questions.empty());

    // The menu's delete asks anyway; OK only refreshes.
    ui.answers.push_back(true);
    manager.deleteSelection();
    EXPECT_EQ(ui.questions.size(), 1u);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(cardHas("vx:\\A.TXT"));

    // Cancel deletes nothing; the Delete key on the card itself or on no node asks nothing.
    manager.setCardSelection({0});
    ui.answers.push_back(false);
    manager.deleteListSelection();
    ASSERT_EQ(manager.selectedCardNode(), manager.cardRoot());
    manager.cardTreeKeyPressed(kKeyDelete);
    manager.selectCardNode(nullptr);
    manager.cardTreeKeyPressed(kKeyDelete);
    EXPECT_EQ(ui.questions.size(), 2u);
    EXPECT_TRUE(cardHas("vx:\\A.TXT"));
}

TEST_F(DeleteTest, DeleteKeyOnASubfolderDeletesItsTreeAndShowsTheParent) {
    openFormattedCard();
    cardMkdir("vx:\\GAME");
    cardMkdir("vx:\\GAME\\SAVE");
    cardMkdir("vx:\\GAME\\SAVE\\DEEP");
    cardWrite("vx:\\GAME\\SAVE\\DEEP\\X.BIN", pattern(5000));
    cardWrite("vx:\\GAME\\RUN.QXE", {1});
    manager.setCardPath("vx:\\game\\save");
    manager.refreshCard();
    ASSERT_EQ(manager.cardPathOf(manager.selectedCardNode()), "vx:\\game\\save");

    manager.cardTreeKeyPressed(kKeyDelete + 1); // other keys do nothing
    EXPECT_TRUE(ui.questions.empty());
    ui.answers.push_back(true);
    manager.cardTreeKeyPressed(kKeyDelete);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(cardHas("vx:\\GAME\\SAVE"));
    EXPECT_EQ(manager.cardPath(), "vx:\\game");
    EXPECT_EQ(manager.cardPathOf(manager.selectedCardNode()), "vx:\\game");
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"run.qxe"});
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now deleting folder 'save'...");
}

TEST_F(DeleteTest, TheMachinesCardRootIsNeverSentForRemoval) {
    writePcFile(machineCard("A.TXT"), {1});
    connectMachine();
    sim.clearReceived();
    EXPECT_FALSE(manager.deleteCardItems({"vx:\\"}));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"default error has occurred."});
    EXPECT_TRUE(sim.receivedFrames().empty());
    EXPECT_TRUE(fs::exists(machineCard("A.TXT")));
}

TEST_F(DeleteTest, CreateFolderOnTheVirtualCard) {
    openFormattedCard();
    cardMkdir("vx:\\GAME");
    ui.texts.push_back("");
    manager.createFolder();
    EXPECT_EQ(ui.textQuestions, std::vector<std::string>{"folder name|please type folder name|"});
    EXPECT_EQ(ui.recorder.shows, 0);

    ui.texts.push_back("game");
    manager.createFolder();
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"an error occurred while creating folder in virtual SMC."});

    manager.setCardPath("vx:\\game");
    ui.texts.push_back("save");
    manager.createFolder();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(cardIsFolder("vx:\\GAME\\SAVE"));
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"save"});
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now creating folder 'save'");

    EXPECT_FALSE(manager.makeCardFolder("vx:\\nothere\\sub"));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"parent folder doesn't exist."});

    // A name no card can hold is refused with its reason before anything is asked of it.
    ui.texts.push_back("vx:");
    manager.createFolder();
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"'vx:' cannot be stored on the card (8.3 names: up to 8 "
                                       "characters, a dot and 3 characters): holds a space, a "
                                       "second dot or one of * ? \" < > | + , ; = [ ]"});
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"save"});
}

TEST_F(DeleteTest, CreateFolderOnTheMachine) {
    connectMachine();
    manager.setCardPath("vx:\\nothere");
    ui.texts.push_back("save");
    manager.createFolder();
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_EQ(ui.messages.front(), "parent path doesn't exist.");
    ui.messages.clear();

    manager.setCardPath("vx:\\");
    ui.texts.push_back("game");
    manager.createFolder();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(fs::is_directory(machineCard("GAME")) || fs::is_directory(machineCard("game")));
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"game"});
}
