// SPDX-License-Identifier: MIT
// Cancelling a copy in both directions: it stops between pieces and leaves no part of the
// file in hand on either side, and the storage serves the next copy as usual.
#include "manager_fixture.h"

#include <algorithm>

namespace {

constexpr std::int64_t kMiB = 1048576;

// Cancel once the per-file gauge has reached position.
std::function<bool(const RecordingProgress&)> cancelAt(std::int64_t position) {
    return [position](const RecordingProgress& p) {
        return std::any_of(p.itemPositions.begin(), p.itemPositions.end(),
                           [position](std::int64_t at) { return at >= position; });
    };
}

} // namespace

using CancelTest = ManagerTest;

TEST_F(CancelTest, ToVirtualCardStopsAfterAPieceAndTakesTheFileAway) {
    openFormattedCard(3);
    writeFile(pc() / "big.bin", patternBytes(2 * kMiB + kMiB / 2, 1));
    writeFile(pc() / "small.bin", patternBytes(100, 2));
    const std::vector<std::string> paths = {pcPath("big.bin"), pcPath("small.bin")};
    ui.recorder.cancelWhen = cancelAt(kMiB);
    manager.pasteToCard("", paths);

    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"operation canceled."});
    EXPECT_TRUE(manager.cancelled());
    EXPECT_EQ(ui.recorder.itemPositions.back(), kMiB); // no second piece was written
    EXPECT_FALSE(cardHas("vx:\\big.bin"));
    EXPECT_FALSE(cardHas("vx:\\small.bin"));
    EXPECT_FALSE(ui.recorder.shown);
    EXPECT_TRUE(manager.cardItems().empty()); // refreshed

    // The card file was closed: the same paste runs to its end without a cancel.
    ui.recorder.cancelWhen = nullptr;
    manager.pasteToCard("", paths);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(manager.cancelled());
    EXPECT_EQ(cardRead("vx:\\big.bin"), patternBytes(2 * kMiB + kMiB / 2, 1));
    EXPECT_EQ(cardRead("vx:\\small.bin"), patternBytes(100, 2));
}

TEST_F(CancelTest, ToMachineInsideAFileLeavesNoFileThere) {
    connectMachine();
    // Two chunks: the machine refuses the cut file. One chunk: the machine takes the file
    // whole with a zero tail, and the manager removes it.
    for (const std::size_t size : {std::size_t(300000), std::size_t(1000)}) {
        SCOPED_TRACE(size);
        writeFile(pc() / "cut.bin", patternBytes(size, 1));
        writeFile(pc() / "next.bin", patternBytes(20, 2));
        ui.recorder = RecordingProgress();
        ui.recorder.cancelWhen = cancelAt(256);
        EXPECT_FALSE(manager.copyToCard(kCardRoot, {pcPath("cut.bin"), pcPath("next.bin")}));
        EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"operation canceled."});
        EXPECT_FALSE(fs::exists(machineCard("CUT.BIN")));
        EXPECT_FALSE(fs::exists(machineCard("NEXT.BIN")));
        EXPECT_TRUE(manager.link()->connected());
    }
}

using CancelFromCardTest = StorageTest;
VELA_ON_BOTH_STORAGES(CancelFromCardTest);

TEST_P(CancelFromCardTest, LeavesNothingOnThePc) {
    open(3);
    const std::int64_t piece = onMachine() ? 256 : kMiB; // a packet or a block
    put("BIG.BIN", patternBytes(std::size_t(2 * piece + 10), 1));
    mkdir("DIR");
    put("DIR/A.TXT", patternBytes(50, 2));
    put("DIR/B.TXT", patternBytes(50, 3));
    // A PC file of the same name must not be replaced by part of the card file.
    writeFile(pc() / "big.bin", patternBytes(7, 9));
    manager.refreshCard();
    selectCard({"big.bin"});
    ui.recorder.cancelWhen = cancelAt(piece);
    ui.replaceAnswers = {ManagerUi::ReplaceAnswer::Yes};
    manager.copySelectionToPc(pc().string());
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"operation canceled."});
    EXPECT_EQ(ui.recorder.itemPositions.back(), piece);
    EXPECT_EQ(readFile(pc() / "big.bin"), patternBytes(7, 9));

    // A cancel inside a folder stops the whole copy; pressed as the last piece came in, the
    // file is whole and kept, and the next one is not started.
    ui.recorder = RecordingProgress();
    ui.recorder.cancelWhen = cancelAt(50);
    EXPECT_FALSE(manager.copyToPc(pc().string(), {"vx:\\dir\\", "vx:\\big.bin"}));
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{"operation canceled."});
    EXPECT_EQ(readFile(pc() / "dir" / "a.txt"), patternBytes(50, 2));
    EXPECT_FALSE(fs::exists(pc() / "dir" / "b.txt"));
    EXPECT_EQ(readFile(pc() / "big.bin"), patternBytes(7, 9));
}
