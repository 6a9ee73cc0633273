// SPDX-License-Identifier: MIT
// Formatting, and the creation of blank card images.
#include "manager_fixture.h"

#include "fakes/file_size_limit.h"
#include "smfs/chip.h"

#include <algorithm>

class FormatCreateTest : public ManagerTest {};

TEST_F(FormatCreateTest, MachineFormatCreatesTheDefaultFolders) {
    writeFile(machineCard("OLD.TXT"), {1});
    connectMachine();
    ui.answers.push_back(true);
    manager.formatCard();
    EXPECT_EQ(ui.messages, std::vector<std::string>{"formatted successfully."});
    auto names = captions(manager.cardItems());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"game", "mp3", "vxetc", "vxmm", "vxsys"}));
    EXPECT_EQ(ui.recorder.stepTexts.front(), "now formatting...");
    EXPECT_EQ(ui.recorder.stepTexts.back(), "now creating folder 'vxetc'");
    EXPECT_FALSE(ui.recorder.shown);
    EXPECT_EQ(ui.recorder.hiddenWhileShown.size(), 3u); // a format shows its text alone
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::Animation));
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::ItemGauge));
    EXPECT_TRUE(ui.recorder.isVisible(ProgressUi::Part::TotalGauge));
    EXPECT_EQ(ui.status, ""); // no size line for the machine
}

TEST_F(FormatCreateTest, MachineFormatFailures) {
    connectMachine();
    sim.planFault(1, SimFault::replyCode(0xFF)); // the final reply
    EXPECT_FALSE(manager.formatOpenCard());
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"an error has occurred in Vela."});

    // A default folder that cannot be made stops the format without its closing message.
    sim.restart();
    sim.planFault(3, SimFault::replyCode(0xFF)); // mp3's creation
    EXPECT_FALSE(manager.formatOpenCard());
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"an error has occurred in Vela."});
    EXPECT_FALSE(fs::exists(machineCard("VXSYS")) || fs::exists(machineCard("vxsys")));
}

TEST_F(FormatCreateTest, FullFormatEmptiesTheCardAndCountsTheBadBlocks) {
    openFormattedCard();
    cardWrite("vx:\\A.TXT", patternBytes(3000));
    ui.answers.push_back(false);
    manager.formatCard();
    EXPECT_TRUE(cardHas("vx:\\A.TXT"));
    EXPECT_EQ(ui.recorder.shows, 0);
    // Block 7 of the 1 MB card fails to program while the surface test writes its pattern.
    bool failed = false;
    chip_set_fault_hook(openCard().state(), [&](ChipOp op, std::uint32_t page) {
        if (op != ChipOp::Program || page / card_geometry(0).pagesPerBlock != 7 || failed)
            return ChipFault::None;
        failed = true;
        return ChipFault::Fail;
    });
    manager.setFullFormat(true);
    ui.answers.push_back(true);
    manager.formatCard();
    chip_set_fault_hook(openCard().state(), nullptr);
    EXPECT_TRUE(failed) << "a quick format programs no test pattern";
    EXPECT_EQ(ui.messages, std::vector<std::string>{"formatted successfully.\nbad block(s) : 1"});
    EXPECT_FALSE(cardHas("vx:\\A.TXT"));
    EXPECT_TRUE(manager.cardItems().empty());
    EXPECT_EQ(manager.usedSize(), 0u);
    cardWrite("vx:\\AFTER.TXT", patternBytes(5000));
    EXPECT_TRUE(cardHas("vx:\\AFTER.TXT"));
}

TEST_F(FormatCreateTest, NewToshibaImageOf16MegabytesHasItsBytes) {
    openFormattedCard();
    const fs::path path = dir / "new.smc";
    ui.cards.push_back(CardChoice{1, 4});
    ui.saveFiles.push_back(path);
    ui.answers.push_back(false); // not opened now
    manager.createVirtualCard();

    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.questions.back().text,
              "a virtual SMC was written to '" + path.string() + "'.\nopen it?");
    EXPECT_EQ(ui.vendors, (std::vector<std::string>{"Samsung", "Toshiba"}));
    EXPECT_EQ(ui.sizes.back(), "128 MB");
    EXPECT_EQ(ui.offered.vendor, 0);
    EXPECT_EQ(ui.offered.size, 4);
    // The new file is not the card, and the card that was open is closed.
    EXPECT_EQ(manager.storageKind(), StorageKind::None);
    EXPECT_EQ(manager.cardRoot(), nullptr);

    const auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 17409024u);
    EXPECT_EQ(bytes[0], 0x98);
    EXPECT_EQ(bytes[1], 0x73);
    EXPECT_TRUE(
        std::all_of(bytes.begin() + 2, bytes.begin() + 1024, [](auto b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(bytes.begin() + 1024, bytes.end(), [](auto b) { return b == 0xFF; }));

    // Opened on the offer, its missing volume leads to the format question.
    ui.cards.push_back(CardChoice{1, 0});
    ui.saveFiles.push_back(path);
    ui.answers = {true, true};
    manager.createVirtualCard();
    EXPECT_EQ(manager.storageKind(), StorageKind::VirtualCard);
    EXPECT_EQ(ui.questions.back().text,
              "unformatted SMC\ndo you want to format it? files on it would be lost.");
}

TEST_F(FormatCreateTest, CreationCancelledOrFailing) {
    const std::uint64_t lengths[kSizeCount] = {2049024,  3073024,  5121024,  9217024,
                                               17409024, 34817024, 69207040, 138413056};
    for (int size = 0; size < kSizeCount; ++size)
        EXPECT_EQ(imageFileBytes(size), lengths[size]) << size;
    EXPECT_EQ(createVirtualImage(dir / "x.smc", 2, 0), ImageCreateResult::BadChoice);
    EXPECT_EQ(createVirtualImage(dir / "x.smc", 0, 8), ImageCreateResult::BadChoice);
    ui.cards.push_back(std::nullopt);
    manager.createVirtualCard();
    EXPECT_TRUE(ui.filters.empty()); // no save dialog after a cancelled choice

    ui.cards.push_back(CardChoice{0, 0});
    ui.saveFiles.push_back(std::nullopt);
    manager.createVirtualCard();
    EXPECT_TRUE(ui.messages.empty());

    ui.cards.push_back(CardChoice{0, 0});
    ui.saveFiles.push_back(dir / "no" / "such" / "folder.smc");
    manager.createVirtualCard();
    EXPECT_EQ(ui.messages, std::vector<std::string>{"filed to create a virtual SMC file."});

    // A disk that fills up part way: no short image is left to pass for a card, and the file
    // the new image was to replace stays as it was.
    writeFile(dir / "full.smc", patternBytes(4096, 7));
    const ImageCreateResult full = [&] {
        FileSizeLimit limit(1 << 20);
        return createVirtualImage(dir / "full.smc", 0, 0);
    }();
    EXPECT_EQ(full, ImageCreateResult::WriteFailed);
    EXPECT_EQ(readFile(dir / "full.smc"), patternBytes(4096, 7));
    EXPECT_FALSE(fs::exists(dir / ".full.smc.vela-part"));
}
