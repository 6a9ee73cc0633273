// SPDX-License-Identifier: MIT
// vela-smc end to end on card images: a whole session (create, format, put a tree, ls, get it
// back, rm -r, df), the clash policies of put and get, both card path forms, the card-level
// commands (info, check, export, import) with the host's FAT tools, usage errors and the
// failures that must come out as the manager's own messages.
#include "vela_smc_run.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A formatted 16 MB image in a temporary folder, with a small PC tree beside it.
class ImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = (dir_ / "card.smc").string();
        const SmcRun run =
            runSmc({"create", image_, "--vendor", "samsung", "--size", "16", "--format"});
        ASSERT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.out, "formatted successfully.\nbad block(s) : 0\n");
        writeBytes(dir_ / "pc/album/a.mp3", patternBytes(70000, 1));
        writeBytes(dir_ / "pc/album/cd2/b.mp3", patternBytes(1, 2));
        writeBytes(dir_ / "pc/album/cd2/empty.txt", {});
        writeBytes(dir_ / "pc/game.qxe", patternBytes(2621440, 3));
    }

    std::string pc(const std::string& rel) const { return (dir_ / "pc" / rel).string(); }

    TempDir dir_;
    std::string image_;
};

TEST_F(ImageTest, WholeSessionRoundTripsATree) {
    const SmcRun before = runSmc({"df", image_});
    ASSERT_EQ(before.exit, 0) << before.err;
    EXPECT_NE(before.out.find("used             0 bytes         0 KB"), std::string::npos)
        << before.out;

    SmcRun run = runSmc({"put", image_, pc("album"), pc("game.qxe"), "/", "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "") << "no progress bar when output is not a terminal";

    run = runSmc({"ls", image_});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "album/\ngame.qxe\n");
    run = runSmc({"ls", image_, "/album", "-l", "-R"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("file        70000"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("vx:\\album\\cd2:\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("b.mp3"), std::string::npos) << run.out;
    run = runSmc({"ls", image_, "vx:\\GAME.QXE", "-l"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("2621440"), std::string::npos) << run.out;
    run = runSmc({"tree", image_});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "vx:\\\n|-- album/\n|   |-- a.mp3\n|   `-- cd2/\n|       |-- b.mp3\n"
                       "|       `-- empty.txt\n`-- game.qxe\n");

    fs::create_directory(dir_ / "back");
    run = runSmc({"get", image_, "/album", "vx:\\game.qxe", (dir_ / "back").string(), "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(pcTree(dir_ / "back"), pcTree(dir_ / "pc"));

    run = runSmc({"rm", image_, "/album", "/game.qxe", "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    run = runSmc({"ls", image_});
    EXPECT_EQ(run.out, "");
    const SmcRun after = runSmc({"df", image_});
    EXPECT_EQ(after.out, before.out);
}

TEST_F(ImageTest, PutAndGetClashesFailSkipOrOverwrite) {
    ASSERT_EQ(runSmc({"mkdir", image_, "/game"}).exit, 0);
    ASSERT_EQ(runSmc({"put", image_, pc("game.qxe"), "/game"}).exit, 0);
    writeBytes(dir_ / "other/game.qxe", patternBytes(10, 9));
    const std::string other = (dir_ / "other/game.qxe").string();
    const std::string back = (dir_ / "back").string();
    auto cardCopy = [&]() {
        const SmcRun get = runSmc({"get", image_, "/game/game.qxe", back, "--overwrite"});
        EXPECT_EQ(get.exit, 0) << get.err;
        return readText(dir_ / "back/game.qxe");
    };

    SmcRun run = runSmc({"put", image_, pc("album/a.mp3"), other, "vx:\\game", "-r"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err,
              "vela-smc: vx:\\game\\game.qxe already exists (use --overwrite or --skip)\n");
    EXPECT_EQ(runSmc({"ls", image_, "/game"}).out, "game.qxe\n") << "nothing copied on a clash";
    // get stops at a PC file of the name, and leaves it with --skip.
    writeBytes(dir_ / "back/game.qxe", patternBytes(5, 5));
    run = runSmc({"get", image_, "/game/game.qxe", back});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find(" already exists (use --overwrite or --skip)"), std::string::npos);
    EXPECT_EQ(runSmc({"get", image_, "/game/game.qxe", back, "--skip"}).exit, 0);
    EXPECT_EQ(readText(dir_ / "back/game.qxe").size(), 5u);

    run = runSmc({"put", image_, pc("album/a.mp3"), other, "/game", "--skip"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(runSmc({"ls", image_, "/game"}).out, "game.qxe\na.mp3\n");
    EXPECT_EQ(cardCopy(), readText(pc("game.qxe")));

    run = runSmc({"put", image_, other, "/game", "--overwrite"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(cardCopy(), readText(other));
}

TEST_F(ImageTest, CloneMakesANewImageWholeOrNotAtAllAndKeepsThePutClashPolicy) {
    ASSERT_EQ(runSmc({"put", image_, pc("album"), pc("game.qxe"), "/", "-r"}).exit, 0);
    const std::string copy = (dir_ / "copy.smc").string();
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string err; // a part of standard error; empty: nothing
    } runs[] = {
        {{}, 1, "vela-smc: " + copy + ": no such card image (use --create VENDOR SIZE)"},
        {{"--create", "toshiba", "1"}, 1, "vela-smc: "}, // too small: no image is left
        {{"--create", "toshiba", "8"}, 0, ""},
        {{}, 1, "vela-smc: vx:\\album already exists (use --overwrite or --skip)"},
        {{"--skip"}, 0, ""},
        {{"--overwrite"}, 0, ""},
    };
    for (const auto& r : runs) {
        std::vector<std::string> args = {"clone", image_, copy};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const SmcRun run = runSmc(args);
        EXPECT_EQ(run.exit, r.exit) << run.err;
        EXPECT_EQ(r.err.empty() ? run.err : run.err.substr(0, r.err.size()), r.err);
        EXPECT_EQ(fs::exists(copy), &r != runs && &r != runs + 1) << run.err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 3); // no temporary left
    for (const std::string& card : {image_, copy}) {
        fs::create_directory(card + ".d");
        EXPECT_EQ(runSmc({"get", card, "/album", "/game.qxe", card + ".d", "-r"}).exit, 0);
    }
    EXPECT_EQ(pcTree(image_ + ".d"), pcTree(copy + ".d"));
}

TEST_F(ImageTest, FailuresComeOutInTheManagersWords) {
    const std::string missing = (dir_ / "missing.smc").string();
    const std::string small = (dir_ / "small.smc").string(), blank = (dir_ / "blank.smc").string();
    ASSERT_EQ(runSmc({"create", small, "--vendor", "toshiba", "--size", "1", "--format"}).exit, 0);
    ASSERT_EQ(runSmc({"create", blank, "--vendor", "samsung", "--size", "2"}).exit, 0);
    ASSERT_EQ(runSmc({"mkdir", image_, "/a"}).exit, 0);
    writeBytes(dir_ / "big.bin", patternBytes(1200000, 4));
    fs::create_directories(dir_ / "machine");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"ls", missing}, "vela-smc: Failed to open virtual SMC file.\n"},
        {{"info", missing}, "vela-smc: Failed to open virtual SMC file.\n"},
        {{"mkdir", image_, "/b/c"}, "vela-smc: parent folder doesn't exist.\n"},
        {{"mkdir", image_, "vx:\\A"},
         "vela-smc: an error occurred while creating folder in virtual SMC.\n"},
        {{"ls", image_, "/nothing"}, "vela-smc: /nothing: no such file or folder on the card\n"},
        {{"put", image_, pc("nothing.bin"), "/"},
         "vela-smc: failed to open file '" + pc("nothing.bin") + "'\n"},
        {{"put", image_, pc("album"), "/"},
         "vela-smc: " + pc("album") + ": is a folder (use -r)\n"},
        {{"put", small, (dir_ / "big.bin").string(), "/"},
         "vela-smc: failed to write file in virtual SMC. ('vx:\\big.bin')\n"},
        {{"ls", blank}, "vela-smc: unformatted SMC\n"}, // not formatted behind the user's back
        {{"format", "sim:" + (dir_ / "machine").string(), "--full"},
         "vela-smc: --full is for card images: the machine formats its card itself\n"},
    };
    for (const auto& c : cases) {
        const SmcRun run = runSmc(c.args);
        EXPECT_EQ(run.exit, 1) << c.args[0] << " " << c.args[1];
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(runSmc({"ls", small}).out, "") << "no partial file stays behind";
    for (const std::vector<std::string>& format :
         {std::vector<std::string>{"format", blank}, {"format", small, "--full"}}) {
        const SmcRun run = runSmc(format);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.out, "formatted successfully.\nbad block(s) : 0\n");
        EXPECT_EQ(runSmc({"check", format[1]}).exit, 0);
    }
}

TEST(ImageFailureTest, ReadOnlyImageCannotBeChangedButCanBeChecked) {
    // Root may write to any file, so as root the tool runs as the unprivileged user nobody.
    std::string prefix;
    if (geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "root without setpriv (util-linux)";
        prefix = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const std::string image = (dir / "ro.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "4", "--format"}).exit, 0);
    fs::permissions(image, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const SmcRun run = runSmc({"mkdir", image, "/x"}, prefix);
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: Failed to open virtual SMC file.\n");
    EXPECT_EQ(runSmc({"check", image}, prefix).exit, 0);
    EXPECT_EQ(runSmc({"info", image}, prefix).exit, 0);
    EXPECT_EQ(runSmc({"ls", image}).exit, 0) << "the image itself is fine";
}

TEST(CreateTest, NewImageHasTheCardsIdentityAndIsNotOverwritten) {
    TempDir dir;
    const std::string image = (dir / "t.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "Toshiba", "--size", "1"}).exit, 0);
    const std::string bytes = readText(image);
    ASSERT_EQ(bytes.size(), 2049024u);
    EXPECT_EQ(std::uint8_t(bytes[0]), 0x98);
    EXPECT_EQ(std::uint8_t(bytes[1]), 0x00);
    const SmcRun again = runSmc({"create", image, "--vendor", "samsung", "--size", "16"});
    EXPECT_EQ(again.exit, 1);
    EXPECT_EQ(readText(image).size(), 2049024u);
    EXPECT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "16", "--overwrite"}).exit,
              0);
    EXPECT_EQ(fs::file_size(image), 17409024u);
}

TEST(UsageTest, BadUsageIsOneLineAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"ls"},
        {"ls", "a.smc", "/", "extra"},
        {"ls", "a.smc", "--bogus"},
        {"ls", "a.smc", "-r"},
        {"put", "a.smc", "/"},
        {"put", "a.smc", "x", "/", "--overwrite", "--skip"},
        {"get", "a.smc", "/../x", "out"},
        {"rm", "a.smc", "/"},
        {"create", "a.smc", "--vendor", "sony", "--size", "16"},
        {"create", "a.smc", "--vendor", "samsung", "--size", "3"},
        {"create", "a.smc", "--vendor"},
        {"check", "usb"},
        {"export", "a.smc"},
        {"ls", "usb:xyz"},
        {"clone", "a.smc"},
        {"clone", "a.smc", "a.smc"},
        {"clone", "a.smc", "b.smc", "--create", "acme", "8"},
    };
    for (const auto& args : cases) {
        const SmcRun run = runSmc(args);
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        EXPECT_EQ(run.exit, 2) << shown << run.err;
        EXPECT_EQ(lineCount(run.err), 1) << shown << run.err;
        EXPECT_EQ(run.err.rfind("vela-smc: ", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const SmcRun help = runSmc({"put", "--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_EQ(help.out.rfind("usage: vela-smc put", 0), 0u) << help.out;
    EXPECT_EQ(runSmc({"--help"}).exit, 0);
}

// ---- Card-level commands ----

TEST_F(ImageTest, InfoDescribesCardAndVolume) {
    const SmcRun run = runSmc({"info", image_});
    ASSERT_EQ(run.exit, 0) << run.err;
    for (const char* want :
         {"card:     16 MB Samsung (maker 0xEC, device 0x73), card type 4",
          "1024 physical, 1000 logical; 1020 free, 2 used, 1 retired", "CIS:      physical block 1",
          "FAT12, partition from sector 41, 31959 sectors", "data from sector 64",
          "clusters: 998 of 32 sectors (16384 bytes)"})
        EXPECT_NE(run.out.find(want), std::string::npos) << want << "\n" << run.out;
}

TEST_F(ImageTest, CheckIsCleanThenFindsEachDamagedSector) {
    ASSERT_EQ(runSmc({"put", image_, pc("album"), "/", "-r"}).exit, 0);
    SmcRun run = runSmc({"check", image_});
    EXPECT_EQ(run.exit, 0) << run.out;
    EXPECT_EQ(run.out, "");
    // One bit and two bits flipped in the CIS block's first sector (physical block 1).
    const std::uint64_t cis = 1024 + 32 * 528;
    std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
    auto flip = [&](std::uint64_t at, int mask) {
        f.seekg(std::streamoff(at));
        char c = 0;
        f.get(c);
        f.seekp(std::streamoff(at));
        f.put(char(c ^ mask));
    };
    flip(cis + 3, 0x01);
    flip(cis + 300, 0x11);
    f.close();
    run = runSmc({"check", image_});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(lineCount(run.out), 3) << run.out;
    EXPECT_NE(run.out.find("ecc-corrected: physical block 1 sector 32 (first half)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ecc-uncorrectable: physical block 1 sector 32 (second half)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("cis-damaged:"), std::string::npos) << run.out;
}

std::string mtoolsRun(const std::string& args) {
    TempDir capture;
    const std::string out = (capture / "out").string();
    const int status = std::system(("MTOOLS_SKIP_CHECK=1 " + args + " >" + out + " 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0) << args << "\n" << readText(out);
    return readText(out);
}

TEST_F(ImageTest, ExportedVolumeIsReadByFatToolsAndImportBringsTheirChangesBack) {
    ASSERT_EQ(runSmc({"put", image_, pc("album"), pc("game.qxe"), "/", "-r"}).exit, 0);
    const std::string raw = (dir_ / "volume.raw").string();
    SmcRun run = runSmc({"export", image_, raw});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(fs::file_size(raw), 31959u * 512);

    expectFsckClean(raw);
    const std::string listing = mtoolsRun("mdir -/ -i " + shellQuote(raw) + " ::");
    EXPECT_NE(listing.find("GAME     QXE   2621440"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Directory for ::/ALBUM/CD2"), std::string::npos) << listing;

    writeBytes(dir_ / "new/hello.txt", patternBytes(30000, 8));
    mtoolsRun("mmd -i " + shellQuote(raw) + " ::/MUSIC");
    mtoolsRun("mcopy -i " + shellQuote(raw) + " " + shellQuote((dir_ / "new/hello.txt").string()) +
              " ::/MUSIC/HELLO.TXT");
    run = runSmc({"import", raw, image_});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(runSmc({"ls", image_, "/music"}).out, "hello.txt\n");
    fs::create_directory(dir_ / "back");
    run = runSmc({"get", image_, "/music/hello.txt", "/game.qxe", (dir_ / "back").string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(readText(dir_ / "back/hello.txt"), readText(dir_ / "new/hello.txt"));
    EXPECT_EQ(readText(dir_ / "back/game.qxe"), readText(pc("game.qxe")));
    EXPECT_EQ(runSmc({"check", image_}).exit, 0);
}

TEST_F(ImageTest, ImportRefusesAVolumeOfAnotherCard) {
    const std::string other = (dir_ / "other.smc").string();
    ASSERT_EQ(runSmc({"create", other, "--vendor", "samsung", "--size", "32", "--format"}).exit, 0);
    const std::string raw = (dir_ / "volume.raw").string();
    ASSERT_EQ(runSmc({"export", other, raw}).exit, 0);
    const std::string before = readText(image_);
    const SmcRun run = runSmc({"import", raw, image_});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: import refused: the raw volume is not the size of the card's "
                       "partition\n");
    EXPECT_EQ(readText(image_), before);
}

TEST_F(ImageTest, ProgressBarIsDrawnOnATerminal) {
    // script(1) gives the tool a terminal for its standard error.
    if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "script (util-linux) is not installed";
    TempDir capture;
    const std::string out = (capture / "typescript").string();
    const std::string command =
        "/usr/bin/script -qec " +
        shellQuote(shellQuote(VELA_SMC_PATH) + " put " + shellQuote(image_) + " " +
                   shellQuote(pc("game.qxe")) + " /") +
        " /dev/null >" + shellQuote(out) + " 2>&1 </dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string shown = readText(out);
    EXPECT_NE(shown.find("[##############################] 100% now copying file 'game.qxe'"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("\r\033[K"), std::string::npos) << "the bar is cleared at the end";
    EXPECT_EQ(runSmc({"ls", image_}).out, "game.qxe\n");
}

TEST_F(ImageTest, CardNamesCannotDriveTheTerminal) {
    writeBytes(dir_ / "pc/abc.txt", patternBytes(10, 6));
    ASSERT_EQ(runSmc({"put", image_, pc("abc.txt"), "/"}).exit, 0);
    // Plant an escape byte in the name on the card and a size its one cluster cannot hold,
    // with the sector's ECC made to match, as another system could have written them.
    std::string bytes = readText(image_);
    const std::size_t at = bytes.find("ABC     TXT");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 1] = '\x1b';
    bytes.replace(at + 28, 4, std::string("\xa0\x86\x01\x00", 4)); // 100000 bytes
    const std::size_t record = (at - 1024) / 528, inRecord = (at - 1024) % 528;
    ASSERT_LT(inRecord, 512u - 32u);
    const std::size_t data = 1024 + record * 528, half = inRecord / 256;
    ASSERT_EQ((inRecord + 31) / 256, half) << "the entry must lie in one half";
    std::uint8_t ecc[3];
    ecc_compute(reinterpret_cast<const std::uint8_t*>(bytes.data()) + data + half * 256, ecc);
    bytes.replace(data + 512 + (half == 0 ? kSpareEccLow : kSpareEccHigh), 3,
                  reinterpret_cast<const char*>(ecc), 3);
    writeBytes(image_, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));

    // The card library refuses such a name in a path, so the listing stops at it.
    SmcRun run = runSmc({"ls", image_});
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    run = runSmc({"check", image_});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.out, "bad-name: vx:\\ slot 0: name \"A?C     .TXT\" is no valid 8.3 name\n"
                       "chain-too-short: vx:\\A_C.TXT: size 100000 bytes needs 7 clusters, "
                       "chain has 1\n");
}

} // namespace
