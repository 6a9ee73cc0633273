// SPDX-License-Identifier: MIT
// Opening and closing the storage: the format offer, files that cannot be opened, the size
// line, the machine's connect results, and the offer to open a machine plugged in.
#include "manager_fixture.h"

#include "smfs/media.h"

#include <functional>

#include <common/image_file.h>
#include <devicelink/usb_hotplug.h>
#include <smcmanager/machine_names.h>

#include <unistd.h>

using Kind = ManagerUi::QuestionKind;

class OpenStorageTest : public ManagerTest {};

TEST_F(OpenStorageTest, UnformattedCardIsOfferedAFormatAndThenShowsAnEmptyRoot) {
    ui.openFiles.push_back(blankCard(4));
    ui.answers.push_back(true);
    manager.openVirtualCard();

    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0].text,
              "unformatted SMC\ndo you want to format it? files on it would be lost.");
    EXPECT_EQ(ui.questions[0].kind, Kind::Information);
    EXPECT_EQ(ui.messages, std::vector<std::string>{"formatted successfully.\nbad block(s) : 0"});
    EXPECT_EQ(manager.storageKind(), StorageKind::VirtualCard);
    ASSERT_NE(manager.cardRoot(), nullptr);
    EXPECT_EQ(manager.cardRoot()->caption, "Virtual SMC 'card.smc'");
    EXPECT_FALSE(manager.cardRoot()->hasButton);
    EXPECT_EQ(manager.cardPathText(), "vx:\\");
    // A 16 MB card: the size line is the three figures in KB.
    EXPECT_EQ(ui.status,
              "total size:" + std::to_string(manager.totalSize() >> 10) +
                  "KB used size:0KB free size:" + std::to_string(manager.freeSize() >> 10) + "KB");
    EXPECT_GT(manager.totalSize(), 15u << 20);

    // Declined, the image stays open without panes, and a format later still works on it.
    ui.openFiles.push_back(blankCard(0, "other.smc"));
    ui.answers = {false, true};
    manager.openVirtualCard();
    EXPECT_EQ(manager.storageKind(), StorageKind::VirtualCard);
    EXPECT_EQ(manager.cardRoot(), nullptr);
    manager.formatCard();
    EXPECT_EQ(ui.questions.back().text, "do you really want to format smc?");
    EXPECT_EQ(ui.questions.back().kind, Kind::Confirmation);
    EXPECT_EQ(ui.messages,
              std::vector<std::string>(2, "formatted successfully.\nbad block(s) : 0"));
    ASSERT_NE(manager.cardRoot(), nullptr);
}

// Images that open but show no volume: no format is offered, the reason is named, and
// nothing stays open on them.
TEST_F(OpenStorageTest, ImagesWithoutAUsableVolumeAreNotOfferedAFormat) {
    const struct {
        const char* name;
        std::function<fs::path()> make;
        const char* message;
    } cases[] = {
        {"unknown card",
         [&] {
             const fs::path path = blankCard(0, "unknown.smc");
             std::fstream image(path, std::ios::in | std::ios::out | std::ios::binary);
             image.put(char(0x12)); // neither maker code
             return path;
         },
         "an error has occurred while gathering size information."},
        {"damaged volume",
         [&] {
             openFormattedCard();
             cardWrite("vx:\\KEEP.BIN", patternBytes(5000));
             // The master boot record loses its signature; the file's blocks stay written.
             const std::uint8_t zeros[2] = {0, 0};
             EXPECT_EQ(media_write(openCard().state(), 0, 510, zeros, 2), SmfsResult::Ok);
             EXPECT_EQ(openCard().sync(), SmfsResult::Ok);
             manager.closeCard();
             return dir / "card.smc";
         },
         "damaged SMC: run vela-smc check --repair on the image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = c.make();
        ui.messages.clear();
        EXPECT_FALSE(manager.openImage(path));
        EXPECT_EQ(ui.messages, std::vector<std::string>{c.message});
        EXPECT_TRUE(ui.questions.empty());
        EXPECT_EQ(manager.storageKind(), StorageKind::None);
        EXPECT_EQ(manager.cardRoot(), nullptr);
    }
}

TEST_F(OpenStorageTest, ImageHeldByAnotherOpenIsRefusedAndLeftAsItWas) {
    const fs::path path = blankCard(0);
    const std::vector<std::uint8_t> before = readFile(path);
    {
        // Another program's writer (a lock on its own open of the file).
        ImageFile elsewhere;
        ASSERT_EQ(elsewhere.open(path, ImageFile::Access::Write), ImageFile::Status::Ok);
        EXPECT_FALSE(manager.openImage(path));
        EXPECT_EQ(ui.takeMessages(),
                  std::vector<std::string>{"'card.smc' is in use by another program: Failed to "
                                           "open virtual SMC file."});
        EXPECT_TRUE(manager.imageInUse());
        EXPECT_EQ(manager.storageKind(), StorageKind::None);
        // Creating a new image over it leaves it as it was.
        EXPECT_EQ(createVirtualImage(path, 1, 2), ImageCreateResult::CreateFailed);
    }
    EXPECT_EQ(readFile(path), before);
}

// However the card goes away, the panes and the size line no longer show it.
TEST_F(OpenStorageTest, NoCardOpenMeansEmptyCardPanesAndSizeLine) {
    writeFile(dir / "text.smc", patternBytes(100));
    const struct {
        const char* name;
        std::function<void()> leave;
    } cases[] = {
        {"close", [&] { manager.closeCard(); }},
        {"no card file",
         [&] {
             ui.openFiles.push_back(dir / "text.smc");
             manager.openVirtualCard();
             ui.messages.clear();
         }},
        {"no machine",
         [&] {
             sim.planFault(0, SimFault::shortFrame(10));
             (void)manager.connectMachine();
             ui.messages.clear();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        manager.closeStorage();
        openFormattedCard();
        ASSERT_NE(ui.status, "");
        ASSERT_NE(manager.cardRoot(), nullptr);
        c.leave();
        EXPECT_EQ(manager.storageKind(), StorageKind::None);
        EXPECT_EQ(manager.cardRoot(), nullptr);
        EXPECT_TRUE(manager.cardItems().empty());
        EXPECT_EQ(manager.cardPathText(), "");
        EXPECT_EQ(ui.status, "");
        EXPECT_TRUE(ui.messages.empty());
        // Pastes and deletes have nowhere to go.
        writeFile(pc() / "a.txt", {1});
        manager.pasteToCard("", {pcPath("a.txt")});
        manager.pasteToPc(pc().string());
        manager.setCardSelection({0});
        manager.deleteListSelection();
        EXPECT_EQ(ui.recorder.shows, 0);
        EXPECT_TRUE(ui.questions.empty());
    }
}

class ConnectTest : public ManagerTest {
protected:
    // One second of a link time limit lasts 2 ms.
    ConnectTest() : ManagerTest(std::chrono::milliseconds(2)) {}
};

// Each way the machine cannot be opened is named, and no storage is left open.
TEST_F(ConnectTest, FailuresAreNamed) {
    sim.setUnplugged(true);
    EXPECT_FALSE(manager.connectMachine());
    sim.setUnplugged(false);
    sim.setAccessDenied(true);
    EXPECT_FALSE(manager.connectMachine());
    sim.setAccessDenied(false);
    sim.planFault(0, SimFault::silent());
    EXPECT_FALSE(manager.connectMachine());
    EXPECT_EQ(manager.storageKind(), StorageKind::None);
    SmcManager noLink(ui, nullptr);
    EXPECT_FALSE(noLink.connectMachine());
    const auto texts = ui.takeMessages();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1].substr(0, texts[1].find('\n')), texts[0]);
    EXPECT_NE(texts[1].find("70-vela.rules"), std::string::npos) << texts[1];
    EXPECT_EQ(texts, (std::vector<std::string>{"failed to open USB port.", texts[1],
                                               "timed out trying to connect with Vela machine.",
                                               "failed to open USB port."}));
    EXPECT_TRUE(manager.connectMachine());
}

// The machine names every tool accepts, and the link each makes.
TEST(MachineNamesTest, NamesAndLinks) {
    const struct {
        std::string name;
        bool machine;
        bool linked;
    } cases[] = {
        {"usb", true, true},          {"usb:1234:abcd", true, true}, {"unix:/tmp/x", true, true},
        {"sim:", true, false},        {"card.smc", false, false},    {"usbstick.smc", false, false},
        {"simple.smc", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(namesMachine(c.name), c.machine);
        MachineConnection connection;
        std::string failure;
        EXPECT_EQ(linkForMachine(c.name, connection, failure), c.linked);
        EXPECT_EQ(connection.link != nullptr, c.linked);
        EXPECT_EQ(failure.empty(), c.linked);
    }
}

// The machine plugged in while the window is open: the offer to open it.
namespace {

class MachineArrivalTest : public ManagerTest {
protected:
    MachineArrivalTest() {
        (void)watcher.start([this](HotplugEvent event) {
            if (event == HotplugEvent::Arrived) manager.machineArrived();
        });
    }
    FakeHotplugWatcher watcher;
};

TEST_F(MachineArrivalTest, AcceptedOfferOpensTheMachineAsTheMenuCommandDoes) {
    fs::create_directories(machineCard("GAME/SAVE"));
    ui.answers.push_back(true);
    watcher.plug();
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_NE(ui.questions[0].text.find("open SMC in Vela?"), std::string::npos);
    EXPECT_EQ(ui.messages, std::vector<std::string>{"connect with Vela machine via USB "
                                                    "cable\nand set the mode to 'PC-Link' "
                                                    "mode.\nif ready, press button"});
    EXPECT_EQ(manager.storageKind(), StorageKind::Machine);
    EXPECT_EQ(manager.cardRoot()->caption, "SMC in Vela");
    EXPECT_TRUE(manager.cardRoot()->hasButton);
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"game"});
    EXPECT_EQ(ui.status, ""); // no size line for the machine

    // Plugged in again while the machine is open: nothing is asked.
    watcher.plug();
    EXPECT_EQ(ui.questions.size(), 1u);
}

TEST_F(MachineArrivalTest, DeclinedOrWithACardOpenNothingHappens) {
    ui.answers.push_back(false);
    watcher.plug();
    EXPECT_EQ(ui.questions.size(), 1u);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(manager.storageKind(), StorageKind::None);
    EXPECT_TRUE(sim.receivedFrames().empty());

    openFormattedCard();
    watcher.plug();
    watcher.unplug();
    EXPECT_TRUE(ui.questions.empty());
    EXPECT_EQ(manager.storageKind(), StorageKind::VirtualCard);
}

} // namespace
