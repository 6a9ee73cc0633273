// SPDX-License-Identifier: MIT
// The machine on the USB cable as the manager meets it outside a command: plugged in while
// the window is open (the offer to open it), and present but closed to this user (the
// message that names the udev rule).
#include "manager_fixture.h"

#include <devicelink/usb_hotplug.h>

namespace {

const std::string kPrompt =
    "connect with Vela machine via USB cable\nand set the mode to 'PC-Link' mode.\nif ready, "
    "press button";

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
    fs::create_directories(machineCard("GAME"));
    ui.answers.push_back(true);
    watcher.plug();
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_NE(ui.questions[0].text.find("open SMC in Vela?"), std::string::npos);
    EXPECT_EQ(ui.messages, std::vector<std::string>{kPrompt});
    EXPECT_EQ(manager.storageKind(), StorageKind::Machine);
    EXPECT_EQ(captions(manager.cardItems()), std::vector<std::string>{"game"});

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

// A user whose question runs an event loop, in which the machine is plugged in again.
class ReenteringUi : public ScriptedUi {
public:
    bool askOkCancel(const std::string& text, QuestionKind kind) override {
        if (manager) manager->machineArrived();
        return ScriptedUi::askOkCancel(text, kind);
    }
    SmcManager* manager = nullptr;
};

TEST_F(MachineArrivalTest, ASecondArrivalDuringTheQuestionAsksNothingMore) {
    ReenteringUi reentering;
    SmcManager other(reentering, nullptr);
    reentering.manager = &other;
    reentering.answers.push_back(false);
    other.machineArrived();
    EXPECT_EQ(reentering.questions.size(), 1u);
}

TEST_F(MachineArrivalTest, MachineThisUserMayNotOpenNamesTheUdevRule) {
    sim.setAccessDenied(true);
    EXPECT_FALSE(manager.connectMachine());
    ASSERT_EQ(ui.messages.size(), 1u);
    const std::string& text = ui.messages[0];
    EXPECT_EQ(text.substr(0, text.find('\n')), "failed to open USB port.");
    EXPECT_NE(text.find("70-vela.rules"), std::string::npos) << text;
    EXPECT_NE(text.find("plug it in again"), std::string::npos) << text;
    EXPECT_EQ(manager.storageKind(), StorageKind::None);

    sim.setAccessDenied(false);
    EXPECT_TRUE(manager.connectMachine());
}

} // namespace
