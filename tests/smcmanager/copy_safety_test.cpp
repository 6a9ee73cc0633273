// SPDX-License-Identifier: MIT
// Copies that never lose data: a copy that cannot work is refused before the card changes,
// and a replaced file gives way only to a whole new one.
#include "manager_fixture.h"

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<std::uint8_t> kOld = {1, 2, 3};

} // namespace

using CopySafetyTest = StorageTest;
VELA_ON_BOTH_STORAGES(CopySafetyTest);

TEST_P(CopySafetyTest, CopyThatCannotWorkIsRefusedBeforeTheCardChanges) {
    open();
    put("OLD.TXT", kOld);
    mkdir("ALBUM");
    put("ALBUM/A.MP3", {9});
    const std::string holder = onMachine() ? machineCard().string() : dir.path().string();
    const struct {
        const char* name;
        std::function<void()> prepare;
        std::string item; // the last of the list, after a new file and a replacing one
        std::string message;
    } cases[] = {
        {"a source that is gone", [] {}, pcPath("gone.bin"),
         "failed to open file '" + pcPath("gone.bin") + "'"},
        {"a file over a card folder", [&] { writePcFile(pc() / "album", {5}); }, pcPath("album"),
         "cannot replace folder 'album' on the card with a file."},
        {"a folder over a card file", [&] { writePcFile(pc() / "old.txt" / "in.txt", {5}); },
         pcPath("old.txt") + "/", "cannot replace file 'old.txt' on the card with a folder."},
        {"a named pipe", [&] { ASSERT_EQ(mkfifo(pcPath("pipe").c_str(), 0600), 0); },
         pcPath("pipe"), "'" + pcPath("pipe") + "' is not a regular file or folder."},
        {"the folder that holds the card", [] {}, holder + "/",
         "cannot copy '" + holder + "' into itself."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(pc());
        writePcFile(pc() / "new.txt", pattern(10));
        writePcFile(pc() / "x" / "old.txt", pattern(20));
        c.prepare();
        ui.replaceAnswers = {ManagerUi::ReplaceAnswer::YesToAll};
        EXPECT_FALSE(manager.copyToCard(
            kCardRoot, {pcPath("new.txt"), (pc() / "x" / "old.txt").string(), c.item}));
        EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{c.message});
        EXPECT_TRUE(ui.replaceQuestions.empty());
        EXPECT_FALSE(has("NEW.TXT"));
        EXPECT_EQ(read("OLD.TXT"), kOld);
        EXPECT_EQ(read("ALBUM/A.MP3"), std::vector<std::uint8_t>{9});
    }
}

TEST_P(CopySafetyTest, OddItemsInAFolderAreNamedAndTheRestIsCopied) {
    open();
    writePcFile(pc() / "odd" / "a.txt", pattern(10, 1));
    writePcFile(pc() / "odd" / "sub" / "b.txt", pattern(10, 2));
    writePcFile(pc() / "odd" / "z.txt", pattern(10, 3));
    writePcFile(pc() / "elsewhere" / "e.txt", pattern(10, 4));
    fs::create_directory_symlink(pc() / "elsewhere", pc() / "odd" / "dlink");
    fs::create_symlink(pc() / "odd" / "a.txt", pc() / "odd" / "flink");
    ASSERT_EQ(mkfifo(pcPath("odd/pipe").c_str(), 0600), 0);
    std::string expected = "these items were not copied:\n'" + pcPath("odd/dlink") +
                           "': a symbolic link, not followed\n'" + pcPath("odd/flink") +
                           "': a symbolic link, not followed\n";
    // The superuser reads any folder, so only others can meet one it cannot read.
    if (geteuid() != 0) {
        writePcFile(pc() / "odd" / "locked" / "c.txt", {7});
        fs::permissions(pc() / "odd" / "locked", fs::perms::none);
        expected += "'" + pcPath("odd/locked") + "': the folder could not be read\n";
    }
    expected += "'" + pcPath("odd/pipe") + "': not a regular file or folder";

    EXPECT_FALSE(manager.copyToCard(kCardRoot, {pcPath("odd") + "/"}));
    std::error_code error; // the temporary folder must be removable again
    fs::permissions(pc() / "odd" / "locked", fs::perms::owner_all, error);
    EXPECT_EQ(ui.takeMessages(), std::vector<std::string>{expected});
    EXPECT_EQ(read("ODD/A.TXT"), pattern(10, 1));
    EXPECT_EQ(read("ODD/SUB/B.TXT"), pattern(10, 2));
    EXPECT_EQ(read("ODD/Z.TXT"), pattern(10, 3));
    for (const char* name : {"ODD/DLINK", "ODD/FLINK", "ODD/PIPE", "ODD/LOCKED"})
        EXPECT_FALSE(has(name)) << name;
}

TEST_P(CopySafetyTest, FileCopiedToThePcReplacesTheOldOnlyWhenWhole) {
    open();
    put("X.TXT", pattern(50, 1));
    const fs::path target = pc() / "x.txt";
    const fs::path temporary = pc() / ".x.txt.vela-part";
    const struct {
        const char* name;
        std::string cardFile;
        std::function<void()> prepare;
        bool copied;
        std::vector<std::uint8_t> after; // x.txt on the PC
    } cases[] = {
        {"a card file that is gone keeps the old", "vx:\\gone.txt",
         [&] { writePcFile(pc() / "gone.txt", kOld); }, false, kOld},
        {"a link planted at the temporary name is not written through", "vx:\\x.txt",
         [&] { fs::create_symlink(pc() / "outside.txt", temporary); }, true, pattern(50, 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(pc());
        writePcFile(target, kOld);
        writePcFile(pc() / "outside.txt", kOld);
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        c.prepare();
        ui.replaceAnswers = {ManagerUi::ReplaceAnswer::Yes};
        EXPECT_EQ(manager.copyToPc(pc().string(), {c.cardFile}), c.copied);
        ui.messages.clear();
        EXPECT_EQ(readPcFile(target), c.after);
        EXPECT_EQ(readPcFile(pc() / "outside.txt"), kOld);
        EXPECT_FALSE(fs::exists(fs::symlink_status(temporary)));
        // Who may read the file is kept.
        EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }
}

using CopySafetyMachineTest = ManagerTest;

// The machine cannot rename: the new file goes under a temporary name first, the old one is
// removed only once that copy is whole, and a failure after that keeps the new one.
TEST_F(CopySafetyMachineTest, ReplacedFileAlwaysHasAWholeCopyOnTheCard) {
    using Answer = ManagerUi::ReplaceAnswer;
    const std::string failed = "unknown error has occurred.";
    const struct {
        const char* name;
        Answer answer;
        int failingPut; // 1: the temporary one, 2: the one under the file's own name
        bool copied;
        std::vector<std::uint8_t> file, temporary; // X.TXT and VELA~NEW.TMP afterwards
        std::string message;
    } cases[] = {
        {"no leaves it", Answer::No, 0, true, kOld, {}, ""},
        {"yes replaces it", Answer::Yes, 0, true, pattern(10), {}, ""},
        {"a failed first put keeps the old", Answer::Yes, 1, false, kOld, {}, failed},
        {"a failed second put keeps the new", Answer::Yes, 2, false, pattern(10), pattern(10),
         failed + "\nthe new file is kept as 'vx:\\VELA~NEW.TMP'."},
    };
    writePcFile(pc() / "x.txt", pattern(10));
    connectMachine();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(machineCard("VELA~NEW.TMP"));
        writePcFile(machineCard("X.TXT"), kOld);
        // The machine writes the file and then answers that it failed.
        const auto puts = std::make_shared<int>(0);
        for (std::size_t reply = 0; reply < 64; ++reply)
            sim.planFault(reply, SimFault::editFrame([puts, at = c.failingPut](SimFrame& frame) {
                              if (frame[0] == std::uint8_t(LinkReply::PutDone) && ++*puts == at)
                                  frame[0] = std::uint8_t(LinkReply::DeviceError);
                          }));
        ui.replaceAnswers = {c.answer};
        EXPECT_EQ(manager.copyToCard(kCardRoot, {pcPath("x.txt")}), c.copied);
        EXPECT_EQ(ui.takeMessages(), c.message.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{c.message});
        EXPECT_EQ(readPcFile(machineCard("X.TXT")), c.file);
        EXPECT_EQ(readPcFile(machineCard("VELA~NEW.TMP")), c.temporary);
    }
}

// The machine card on its own: a PC side that fails part way leaves nothing half written on
// the machine, and a file to be replaced stays when its replacement cannot even be read.
TEST_F(CopySafetyMachineTest, PcSideFailuresLeaveTheMachineAsItWas) {
    DeviceLink link(makeSimTransport(sim));
    ASSERT_EQ(link.Connect(), LinkResult::Ok);
    const auto card = ::machineCard(link);
    writePcFile(machineCard("A.BIN"), kOld);
    struct : CardTransfer {
        void step(const std::string&) override {}
        bool start(std::uint64_t) override { return true; }
        bool piece(std::uint64_t, std::uint32_t) override { return true; }
    } transfer;
    const auto data = pattern(600000); // two chunks and a bit
    const struct {
        const char* name;
        bool replace;
        std::size_t failAt; // the PC file gives out after these bytes
        bool written;
    } cases[] = {
        {"a.bin", true, 0, false},          // unreadable: the old file stays
        {"b.bin", false, 300000, false},    // fails inside: nothing kept
        {"a.bin", true, data.size(), true}, // replaced, whole
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failAt);
        std::size_t pulled = 0;
        const CardSource source = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            if (pulled + bytes > c.failAt) return false;
            std::copy_n(data.begin() + long(pulled), bytes, buffer);
            pulled += bytes;
            return true;
        };
        const CardResult result =
            card->write("vx:\\", c.name, data.size(), c.replace, transfer, source);
        EXPECT_EQ(bool(result), c.written);
        EXPECT_EQ(result.message, "");
        const auto file = readPcFile(machineCard(c.name[0] == 'a' ? "A.BIN" : "B.BIN"));
        EXPECT_EQ(file, c.written ? data : c.replace ? kOld : std::vector<std::uint8_t>{});
    }
    EXPECT_EQ(card->write("vx:\\", "c.bin", kLargestCardBytes + 1ull, true, transfer, {}).message,
              "file is larger than any SMC.");
}
