// SPDX-License-Identifier: MIT
// Browsing: the card list and tree of both storages.
#include "manager_fixture.h"

class BrowseTest : public ManagerTest {};

TEST_F(BrowseTest, SubfolderBeyondTheFirst32NamesGivesNoButtonButIsListed) {
    openFormattedCard();
    cardMkdir("vx:\\BIG");
    for (int i = 0; i < 37; ++i)
        cardWrite("vx:\\BIG\\F" + std::to_string(i), {});
    cardMkdir("vx:\\BIG\\LATE"); // the 40th entry with "." and ".."
    manager.showCardRoot();
    manager.refreshCard();
    TreeNode* big = findChildNode(manager.cardRoot(), "big");
    ASSERT_NE(big, nullptr);
    EXPECT_FALSE(big->hasButton);
    manager.selectCardFolder(big);
    EXPECT_EQ(manager.cardPath(), "vx:\\big");
    EXPECT_EQ(manager.cardItems().back().caption, "late");
    manager.cardNodeExpanding(big);
    ASSERT_EQ(big->children.size(), 1u);
    EXPECT_EQ(big->children[0]->caption, "late");
}

TEST_F(BrowseTest, TreeListColumnsAndNavigation) {
    openFormattedCard();
    cardMkdir("vx:\\GAME");
    cardWrite("vx:\\GAME\\TUNE.MP3", patternBytes(5000));
    cardWrite("vx:\\GAME\\GAME.QXE", patternBytes(2048));
    cardWrite("vx:\\GAME\\README", patternBytes(1023));
    cardWrite("vx:\\GAME\\MP3", patternBytes(10));
    cardMkdir("vx:\\GAME\\SAVE");
    cardMkdir("vx:\\GAME\\SAVE\\SLOT1");
    cardMkdir("vx:\\MP3");
    manager.showCardRoot();
    manager.refreshCard();
    TreeNode* root = manager.cardRoot();
    ASSERT_TRUE(root->hasButton);
    ASSERT_EQ(root->children.size(), 2u);
    TreeNode* game = root->children[0].get();
    EXPECT_EQ(game->caption, "game");
    EXPECT_EQ(game->selectedImage, 1);
    EXPECT_TRUE(game->hasButton);
    EXPECT_FALSE(root->children[1]->hasButton);

    manager.selectCardFolder(game);
    EXPECT_EQ(manager.cardPathText(), "vx:\\game");
    const auto& items = manager.cardItems();
    EXPECT_EQ(captions(items),
              (std::vector<std::string>{"tune.mp3", "game.qxe", "readme", "mp3", "save"}));
    // A name without a dot has no extension.
    EXPECT_EQ(column(items, &ListItem::image), (std::vector<int>{3, 2, 5, 5, 0}));
    EXPECT_EQ(column(items, &ListItem::data), (std::vector<int>{0, 0, 0, 0, 1}));
    EXPECT_EQ(column(items, &ListItem::size),
              (std::vector<std::string>{"4KB", "2KB", "0KB", "0KB", ""}));
    EXPECT_EQ(items[0].type, "file");
    EXPECT_EQ(items[4].type, "folder");
    EXPECT_EQ(items[4].modified, "2002-07-31 09:05");
    manager.openCardItem(4);
    EXPECT_EQ(manager.cardPath(), "vx:\\game\\save");
    EXPECT_EQ(manager.cardPathOf(manager.selectedCardNode()), "vx:\\game\\save");
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"slot1"});
    EXPECT_TRUE(ui.messages.empty());

    // A current folder that went away is reported when the tree is revealed.
    ASSERT_EQ(openCard().rmdir("vx:\\GAME\\SAVE", 1), SmfsResult::Ok);
    manager.revealCardPath();
    EXPECT_EQ(ui.messages,
              std::vector<std::string>{"an error has occurred while getting folder information."});
}

TEST_F(BrowseTest, MachineListingAndTree) {
    fs::create_directories(machineCard("GAME/SAVE"));
    fs::create_directories(machineCard("MP3"));
    writeFile(machineCard("GAME/RUN.QXC"), patternBytes(3000));
    writeFile(machineCard("README"), patternBytes(1023));
    connectMachine();
    TreeNode* root = manager.cardRoot();
    manager.expandCardNode(root);
    ASSERT_EQ(root->children.size(), 2u);
    TreeNode* game = findChildNode(root, "game");
    ASSERT_NE(game, nullptr);
    EXPECT_TRUE(game->hasButton);
    EXPECT_FALSE(findChildNode(root, "mp3")->hasButton);

    manager.selectCardFolder(game);
    const auto& items = manager.cardItems();
    ASSERT_EQ(captions(items), (std::vector<std::string>{"run.qxc", "save"}));
    EXPECT_EQ(items[0].size, "3000"); // bytes, no unit, from the machine
    EXPECT_EQ(column(items, &ListItem::image), (std::vector<int>{2, 0}));
    EXPECT_EQ(column(items, &ListItem::type), (std::vector<std::string>{"file", "folder"}));
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(BrowseTest, MachineListingFailuresHaveTheirOwnWording) {
    connectMachine();
    sim.planFault(0, SimFault::replyCode(0xFF));
    manager.listCardFolder();
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"an error has occurred in Vela machine."});
    sim.restart();
    sim.planFault(0, SimFault::replyCode(0xFF));
    EXPECT_FALSE(manager.cardHasSubfolders("vx:\\"));
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"as error has occurred in Vela machine."});
    sim.restart();
    sim.planFault(0, SimFault::shortFrame(10));
    manager.listCardFolder();
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"communication error has occurred."});
}

TEST_F(BrowseTest, VirtualListingOfAMissingFolderIsReported) {
    openFormattedCard();
    manager.setCardPath("vx:\\nothere");
    manager.listCardFolder();
    EXPECT_EQ(ui.takeMessages(),
              std::vector<std::string>{"an error has occurred while getting file list"});
    EXPECT_FALSE(manager.cardHasSubfolders("vx:\\nothere"));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"Failed to get directory information."});
}
