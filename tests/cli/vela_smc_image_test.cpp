// SPDX-License-Identifier: MIT
// vela-smc on card images only: create, clone, missing, blank, full and held images, info,
// check --repair, export and import, foreign names, the progress bar and usage errors.
#include "vela_smc_run.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string makeImage(const TempDir& dir, const std::string& name, const char* vendor,
                      const char* mb, bool format = true) {
    const std::string image = (dir / name).string();
    std::vector<std::string> args = {"create", image, "--vendor", vendor, "--size", mb};
    if (format) args.push_back("--format");
    EXPECT_EQ(runSmc(args).exit, 0) << name;
    return image;
}

TEST(CloneTest, MakesANewImageWholeOrNotAtAllAndKeepsThePutClashPolicy) {
    TempDir dir;
    const std::string image = makeImage(dir, "card.smc", "samsung", "16");
    writeBytes(dir / "pc/album/a.mp3", patternBytes(70000, 1));
    writeBytes(dir / "pc/game.qxe", patternBytes(1500000, 3));
    const std::string pc = (dir / "pc").string();
    ASSERT_EQ(runSmc({"put", image, pc + "/album", pc + "/game.qxe", "/", "-r"}).exit, 0);
    const std::string copy = (dir / "copy.smc").string();
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
        std::vector<std::string> args = {"clone", image, copy};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const SmcRun run = runSmc(args);
        EXPECT_EQ(run.exit, r.exit) << run.err;
        EXPECT_EQ(r.err.empty() ? run.err : run.err.substr(0, r.err.size()), r.err);
        EXPECT_EQ(fs::exists(copy), &r != runs && &r != runs + 1) << run.err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3); // no temporary left
    EXPECT_EQ(runSmc({"tree", copy}).out, runSmc({"tree", image}).out);
}

TEST(ImageTest, MissingBlankFullExistingAndHeldImages) {
    TempDir dir;
    const std::string missing = (dir / "missing.smc").string();
    const std::string small = makeImage(dir, "small.smc", "toshiba", "1");
    const std::string blank = makeImage(dir, "blank.smc", "samsung", "2", false);
    writeBytes(dir / "big.bin", patternBytes(1200000, 4));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"df", missing}, "Failed to open virtual SMC file."},
        {{"info", "--", "-missing.smc"}, "Failed to open virtual SMC file."},
        {{"mount", missing, dir.path().string(), "-f"}, "Failed to open virtual SMC file."},
        {{"put", small, (dir / "big.bin").string(), "/"},
         "failed to write file in virtual SMC. ('vx:\\big.bin')"},
        {{"ls", blank}, "unformatted SMC"}, // not formatted behind the user's back
        {{"mount", blank, dir.path().string(), "-f"}, "unformatted SMC"},
        {{"create", small, "--vendor", "samsung", "--size", "2"},
         small + " already exists (use --overwrite to replace it)"},
    };
    for (const auto& c : cases) {
        const SmcRun run = runSmc(c.args);
        EXPECT_EQ(run.exit, 1) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(run.err, "vela-smc: " + c.err + "\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(runSmc({"ls", small}).out, "") << "no partial file stays behind";
    EXPECT_EQ(fs::file_size(small), 2049024u);
    EXPECT_EQ(runSmc({"create", blank, "--vendor", "samsung", "--size", "4", "--overwrite"}).exit,
              0);
    for (const std::vector<std::string>& format :
         {std::vector<std::string>{"format", blank}, {"format", small, "--full"}}) {
        const SmcRun run = runSmc(format);
        EXPECT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(run.out, "formatted successfully.\nbad block(s) : 0\n");
    }

    // A writer holds the image alone; readers (check, info, export) share it with a reader.
    const std::string refused =
        "vela-smc: '" + small +
        "' is in use by another program: Failed to open virtual SMC file.\n";
    ImageFile held;
    ASSERT_EQ(held.open(small, ImageFile::Access::Write), ImageFile::Status::Ok);
    for (const char* command : {"ls", "check", "info"})
        EXPECT_EQ(runSmc({command, small}).err, refused) << command;
    EXPECT_EQ(runSmc({"create", small, "--vendor", "toshiba", "--size", "1", "--overwrite"}).exit,
              1);
    ASSERT_TRUE(held.close());
    ASSERT_EQ(held.open(small, ImageFile::Access::Read), ImageFile::Status::Ok);
    EXPECT_EQ(runSmc({"check", small}).exit, 0);
    const SmcRun info = runSmc({"info", small});
    for (const char* want : {"card:     1 MB Toshiba (maker 0x98, device 0x00), card type 0",
                             "CIS:      physical block 1", "FAT12, partition from sector 13, 1987",
                             "data from sector 32", "clusters: 246 of 8 sectors (4096 bytes)"})
        EXPECT_NE(info.out.find(want), std::string::npos) << want << "\n" << info.out;
    EXPECT_EQ(runSmc({"export", small, (dir / "raw").string()}).exit, 0);
    EXPECT_EQ(runSmc({"mkdir", small, "/x"}).err, refused);
}

// What another system could have left on the card, written through the library: B.BIN
// and D.BIN under names no path can name, one with a space and one with an escape byte.
void damage(const std::string& image) {
    ImageFile file;
    ASSERT_EQ(file.open(image, ImageFile::Access::Write), ImageFile::Status::Ok);
    SmfsCard card(file);
    CardState& state = card.state();
    ASSERT_EQ(fat_ensure(state), SmfsResult::Ok);
    for (const char* raw : {"B B     BIN", "D\x1b"
                                           "D     BIN"}) {
        DirKey key;
        key.text = raw[0] == 'B' ? "B.BIN" : "D.BIN";
        DirSlot slot{};
        ASSERT_EQ(dir_find(state, kFindName, 0, key, &slot), SmfsResult::Ok);
        std::memcpy(slot.entry + kDeName, raw, kNameChars);
        ASSERT_EQ(dir_write_entry(state, slot), SmfsResult::Ok);
    }
}

// A foreign name is listed, reported and copied off without hiding its neighbours, and
// never drives the terminal; check finds each and --repair mends them.
TEST(DamagedCardTest, ListedCheckedAndRepaired) {
    TempDir dir;
    const std::string image = makeImage(dir, "card.smc", "samsung", "4");
    std::vector<std::string> put = {"put", image};
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"}) {
        writeBytes(dir / "pc" / name, patternBytes(3000, unsigned(name[0])));
        put.push_back((dir / "pc" / name).string());
    }
    put.push_back("/");
    ASSERT_EQ(runSmc(put).exit, 0);
    damage(image);

    SmcRun run = runSmc({"ls", image});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "a.bin\nB B.BIN\nc.bin\nD?D.BIN\n");
    EXPECT_NE(run.err.find("vx:\\B B.BIN: stored name is no 8.3 name"), std::string::npos)
        << run.err;
    EXPECT_EQ(runSmc({"get", image, "/B B.BIN", (dir / "pc").string()}).exit, 0);
    EXPECT_EQ(readText(dir / "pc/b b.bin"), readText(dir / "pc/b.bin"));

    const std::string found =
        "bad-name: vx:\\ slot 1: name \"B B     .BIN\" is no valid 8.3 name\n"
        "bad-name: vx:\\ slot 3: name \"D?D     .BIN\" is no valid 8.3 name\n";
    run = runSmc({"check", image});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.out, found);
    run = runSmc({"check", image, "--repair"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, found + "repaired: vx:\\ slot 1: renamed \"B B     .BIN\" to B_B.BIN\n"
                               "repaired: vx:\\ slot 3: renamed \"D?D     .BIN\" to D_D.BIN\n");
    EXPECT_NE(run.err.find("0 problems left after repair"), std::string::npos) << run.err;
    EXPECT_EQ(runSmc({"check", image}).exit, 0);
}

// The volume's contents are the card library's to test; here, that export writes the
// volume, import brings one back whole, and a volume of another card is refused.
TEST(ExportImportTest, VolumeGoesOutAndComesBack) {
    TempDir dir;
    const std::string image = makeImage(dir, "card.smc", "samsung", "16");
    writeBytes(dir / "pc/game.qxe", patternBytes(300000, 3));
    ASSERT_EQ(runSmc({"put", image, (dir / "pc/game.qxe").string(), "/"}).exit, 0);
    const std::string raw = (dir / "volume.raw").string();
    SmcRun run = runSmc({"export", image, raw});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(fs::file_size(raw), 31959u * 512);
    ASSERT_EQ(runSmc({"rm", image, "/game.qxe"}).exit, 0);

    const std::string other = makeImage(dir, "other.smc", "toshiba", "1");
    run = runSmc({"import", raw, other});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: import refused: the raw volume is not the size of the card's "
                       "partition\n");
    // A write the system refuses (past a file size limit) tells its reason and changes
    // nothing: the card and an earlier export stay as they were, and no copy is left over.
    const std::vector<std::string> cap{"sh", "-c", "trap '' XFSZ; ulimit -f 64; exec \"$@\"", "sh"};
    EXPECT_EQ(runSmc({"import", raw, image}, cap).err,
              "vela-smc: the card cannot be read or written: File too large\n");
    EXPECT_EQ(runSmc({"check", image}).exit, 0);
    EXPECT_EQ(runSmc({"export", image, raw}, cap).err,
              "vela-smc: failed to write to file in PC.: File too large\n");
    EXPECT_FALSE(fs::exists(dir / ".card.smc.vela-part") ||
                 fs::exists(dir / ".volume.raw.vela-part"));
    ASSERT_EQ(runSmc({"import", raw, image}).exit, 0);
    EXPECT_EQ(runSmc({"ls", image}).out, "game.qxe\n");
    EXPECT_EQ(runSmc({"check", image}).exit, 0);
}

TEST(ProgressTest, BarIsDrawnOnATerminal) {
    // script(1) gives the tool a terminal for its standard error.
    if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "script (util-linux) is not installed";
    TempDir dir;
    const std::string image = makeImage(dir, "card.smc", "samsung", "16");
    writeBytes(dir / "game.qxe", patternBytes(2621440, 3));
    const SmcRun run = runSmc(
        {"put", image, (dir / "game.qxe").string(), "/"},
        {"bash", "-c", "exec /usr/bin/script -qec \"$(printf '%q ' \"$@\")\" /dev/null", "bash"});
    ASSERT_EQ(run.exit, 0) << run.out;
    EXPECT_NE(run.out.find("[##############################] 100% now copying file 'game.qxe'"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\r\033[K"), std::string::npos) << "the bar is cleared at the end";
}

TEST(UsageTest, BadUsageIsOneLineAndExitTwo) {
    // Each line is split at its spaces.
    for (const std::string shown : {"",
                                    "frobnicate",
                                    "ls",
                                    "ls a.smc / extra",
                                    "ls a.smc --bogus",
                                    "put a.smc /",
                                    "put a.smc x / --overwrite --skip",
                                    "get a.smc /../x out",
                                    "rm a.smc /",
                                    "mkdir a.smc /",
                                    "create a.smc --vendor sony --size 16",
                                    "create a.smc --vendor samsung --size 3",
                                    "create a.smc --vendor",
                                    "check usb",
                                    "export a.smc",
                                    "ls usb:xyz",
                                    "clone a.smc",
                                    "clone a.smc a.smc",
                                    "clone a.smc b.smc --create acme 8",
                                    "clone a.smc b.smc --create samsung",
                                    "info a.smc --repair"}) {
        std::istringstream words(shown);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        const SmcRun run = runSmc(args);
        EXPECT_EQ(run.exit, 2) << shown << run.err;
        EXPECT_EQ(run.err.rfind("vela-smc: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << shown << run.err;
        EXPECT_EQ(run.out, "");
    }
    const SmcRun help = runSmc({"put", "--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_EQ(help.out.rfind("usage: vela-smc put", 0), 0u) << help.out;
    EXPECT_EQ(runSmc({"--help"}).exit, 0);
}

} // namespace
