// Opening, switching and closing the storage: the format offer of an unformatted image,
// files that cannot be opened, the size line, the machine's connect results, and the one
// image slot shared by every manager of the process.
#include "manager_fixture.h"

#include <common/image_file.h>

#include <unistd.h>

using Kind = ManagerUi::QuestionKind;

class OpenStorageTest : public ManagerTest {};

TEST_F(OpenStorageTest, UnformattedCardIsOfferedAFormatAndThenShowsAnEmptyRoot) {
    ui.openFiles.push_back(blankCard(4));
    ui.answers.push_back(true);
    manager.VirtualSMC1Click();

    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0].text, "unformatted SMC\ndo you want to format it?");
    EXPECT_EQ(ui.questions[0].kind, Kind::Information);
    EXPECT_EQ(ui.filters, std::vector<std::string>{"Vela Virtual SMC File (*.smc)|*.smc"});
    EXPECT_EQ(ui.messages, std::vector<std::string>{"formatted successfully.\nbad block(s) : 0"});
    EXPECT_EQ(manager.storageKind(), kStorageVirtual);
    EXPECT_EQ(manager.imageName(), "card.smc");
    ASSERT_NE(manager.smcRoot(), nullptr);
    EXPECT_EQ(manager.smcRoot()->caption, "Virtual SMC 'card.smc'");
    EXPECT_EQ(manager.smcRoot()->image, 5);
    EXPECT_FALSE(manager.smcRoot()->hasButton);
    EXPECT_EQ(manager.selectedSmcNode(), manager.smcRoot());
    EXPECT_TRUE(manager.SmcItems().empty());
    EXPECT_EQ(manager.smcPathText(), "vx:\\");
    // The progress window came and went, and left its controls visible for the next copy.
    EXPECT_FALSE(ui.progress.shown);
    EXPECT_EQ(ui.progress.msg1.front(), "now formatting...");
    EXPECT_TRUE(ui.progress.isVisible(ProgressUi::Control::Avi));
    EXPECT_TRUE(ui.progress.isVisible(ProgressUi::Control::Prog1));
    EXPECT_TRUE(ui.progress.isVisible(ProgressUi::Control::Prog2));

    // A 16 MB card: the size line is the three figures in KB.
    EXPECT_EQ(ui.status,
              "total size:" + std::to_string(manager.totalSize() >> 10) +
                  "KB used size:0KB free size:" + std::to_string(manager.freeSize() >> 10) + "KB");
    EXPECT_EQ(manager.usedSize(), 0u);
    EXPECT_EQ(manager.totalSize(), manager.freeSize());
    EXPECT_GT(manager.totalSize(), 15u << 20);
}

TEST_F(OpenStorageTest, DeclinedFormatLeavesTheStorageOpenWithoutPanes) {
    ui.openFiles.push_back(blankCard(0));
    ui.answers.push_back(false);
    manager.VirtualSMC1Click();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(manager.storageKind(), kStorageVirtual);
    EXPECT_EQ(manager.smcRoot(), nullptr);
    // Formatting later still works on the open image.
    ui.answers.push_back(true);
    manager.Format1Click();
    EXPECT_EQ(ui.questions.back().text, "do you really want to format smc?");
    EXPECT_EQ(ui.questions.back().kind, Kind::Confirmation);
    EXPECT_EQ(ui.messages, std::vector<std::string>{"formatted successfully.\nbad block(s) : 0"});
    ASSERT_NE(manager.smcRoot(), nullptr);
}

TEST_F(OpenStorageTest, FilesThatCannotBeOpenedForWritingAreRefused) {
    ui.openFiles.push_back(dir / "missing.smc");
    manager.VirtualSMC1Click();
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"Failed to open virtual SMC file."});
    EXPECT_EQ(manager.storageKind(), kStorageNone);

    fs::create_directory(dir / "folder.smc");
    EXPECT_FALSE(manager.OpenVirtualSmc(dir / "folder.smc"));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"Failed to open virtual SMC file."});

    if (geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
    const fs::path readOnly = blankCard(0);
    fs::permissions(readOnly, fs::perms::owner_read);
    EXPECT_FALSE(manager.OpenVirtualSmc(readOnly));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"Failed to open virtual SMC file."});
    EXPECT_EQ(manager.storageKind(), kStorageNone);
}

TEST_F(OpenStorageTest, ImageOfUnknownCardReportsTheSizeQueryFailure) {
    const fs::path path = blankCard(0);
    {
        std::fstream image(path, std::ios::in | std::ios::out | std::ios::binary);
        image.put(char(0x12)); // neither maker code
    }
    EXPECT_FALSE(manager.OpenVirtualSmc(path));
    EXPECT_EQ(ui.messages,
              std::vector<std::string>{"an error has occurred while gathering size information."});
    EXPECT_EQ(manager.storageKind(), kStorageVirtual);
    EXPECT_EQ(manager.smcRoot(), nullptr);
}

TEST_F(OpenStorageTest, OpeningAgainClosesTheFirstImageEvenWhenCancelled) {
    openFormattedCard();
    cardMkdir("vx:\\game");
    ui.openFiles.push_back(std::nullopt);
    manager.VirtualSMC1Click();
    EXPECT_EQ(manager.storageKind(), kStorageNone);
    // No storage: card operations do nothing and ask nothing.
    manager.SetSmcSelection({0});
    manager.Delete2Click();
    EXPECT_TRUE(ui.questions.empty());
    ui.texts.push_back("new");
    manager.CreateFolder1Click();
    EXPECT_TRUE(ui.messages.empty());

    // The first image was closed with its folder on it.
    ASSERT_TRUE(manager.OpenVirtualSmc(dir / "card.smc"));
    EXPECT_EQ(captions(manager.SmcItems()), std::vector<std::string>{"game"});
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(OpenStorageTest, TwoManagersServeTwoCardsAtOnce) {
    openFormattedCard();
    cardMkdir("vx:\\game");
    {
        ScriptedUi otherUi;
        otherUi.answers.push_back(true); // format the blank card
        SmcManager other(otherUi, nullptr);
        ASSERT_TRUE(other.OpenVirtualSmc(blankCard(0, "other.smc")));
        ASSERT_EQ(other.card()->mkdir("vx:\\music", 0), SmfsResult::Ok);
        other.RefreshSmc();
        EXPECT_EQ(captions(other.SmcItems()), std::vector<std::string>{"music"});
    }
    // Neither the second manager's card nor its end touched the first one's.
    manager.RefreshSmc();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(captions(manager.SmcItems()), std::vector<std::string>{"game"});
}

TEST_F(OpenStorageTest, ImageHeldByAnotherOpenIsRefusedAndTheOpenHoldsItAlone) {
    const fs::path path = blankCard(0);
    const std::vector<std::uint8_t> before = readPcFile(path);
    {
        // Another program's writer (a lock on its own open of the file).
        ImageFile elsewhere;
        ASSERT_EQ(elsewhere.open(path, ImageFile::Access::Write), ImageFile::Status::Ok);
        EXPECT_FALSE(manager.OpenVirtualSmc(path));
        EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"Failed to open virtual SMC file."});
        EXPECT_TRUE(manager.imageInUse());
        EXPECT_EQ(manager.storageKind(), kStorageNone);
        // Creating a new image over it leaves it as it was.
        EXPECT_EQ(CreateVirtualImage(path, 1, 2), ImageCreateResult::CreateFailed);
    }
    EXPECT_EQ(readPcFile(path), before);

    ui.answers.push_back(true);
    ASSERT_TRUE(manager.OpenVirtualSmc(path));
    EXPECT_FALSE(manager.imageInUse());
    ImageFile reader;
    EXPECT_EQ(reader.open(path, ImageFile::Access::Read), ImageFile::Status::Locked);
    manager.Close1Click();
    EXPECT_EQ(reader.open(path, ImageFile::Access::Write), ImageFile::Status::Ok);
}

TEST_F(OpenStorageTest, CloseEmptiesTheCardPanesAndKeepsTheStatusLine) {
    openFormattedCard();
    const std::string status = ui.status;
    manager.Close1Click();
    EXPECT_EQ(manager.storageKind(), kStorageNone);
    EXPECT_EQ(manager.smcRoot(), nullptr);
    EXPECT_TRUE(manager.SmcItems().empty());
    EXPECT_EQ(manager.smcPathText(), "");
    EXPECT_EQ(ui.status, status);
}

TEST_F(OpenStorageTest, MachineConnectsAfterThePromptAndListsItsRoot) {
    fs::create_directories(machineCard("GAME"));
    writePcFile(machineCard("TUNE.MP3"), pattern(2000));
    manager.ThroughUSBPort1Click();
    EXPECT_EQ(ui.messages, std::vector<std::string>{"connect with Vela machine via USB "
                                                    "cable\nand set the mode to 'PC-Link' "
                                                    "mode.\nif ready, press button"});
    EXPECT_EQ(manager.storageKind(), kStorageMachine);
    ASSERT_NE(manager.smcRoot(), nullptr);
    EXPECT_EQ(manager.smcRoot()->caption, "SMC in Vela");
    EXPECT_TRUE(manager.smcRoot()->hasButton);
    EXPECT_EQ(captions(manager.SmcItems()), (std::vector<std::string>{"game", "tune.mp3"}));
    EXPECT_EQ(ui.status, ""); // the status bar is not touched for the machine
}

TEST_F(OpenStorageTest, MachineThatIsNotThereIsReported) {
    sim.setUnplugged(true);
    EXPECT_FALSE(manager.ConnectMachine());
    EXPECT_EQ(ui.messages, std::vector<std::string>{"failed to open USB port."});
    EXPECT_EQ(manager.storageKind(), kStorageNone);

    ScriptedUi otherUi;
    SmcManager noLink(otherUi, nullptr);
    EXPECT_FALSE(noLink.ConnectMachine());
    EXPECT_EQ(otherUi.messages, std::vector<std::string>{"failed to open USB port."});
}

TEST_F(OpenStorageTest, ClosingTheMachineDisconnectsOnce) {
    connectMachine();
    sim.clearReceived();
    manager.Close1Click();
    manager.Close1Click();
    int disconnects = 0;
    for (const auto& frame : sim.receivedFrames())
        disconnects += frame[0] == 0x10;
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(manager.link()->connected());
}

class OpenStorageTimeoutTest : public ManagerTest {
protected:
    OpenStorageTimeoutTest() : ManagerTest(std::chrono::milliseconds(2)) {}
};

TEST_F(OpenStorageTimeoutTest, SilentMachineTimesOutTheConnect) {
    sim.planFault(0, SimFault::silent());
    EXPECT_FALSE(manager.ConnectMachine());
    EXPECT_EQ(ui.messages,
              std::vector<std::string>{"timed out trying to connect with Vela machine."});
    EXPECT_EQ(manager.storageKind(), kStorageNone);
}
