// SPDX-License-Identifier: MIT
// vela-smc end to end on both kinds of card, a card image and the simulated machine in the
// tool's own process ("sim:FOLDER"): a whole session (put a tree, ls, tree, get it back,
// rm -r, df), the clash policies of put and get, and the tool's own refusals.
#include "vela_smc_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

enum class Kind { Image, Machine };

// A formatted card with an empty folder "demo", and a small PC tree beside it.
class SessionTest : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        card_ = image() ? (dir_ / "card.smc").string() : "sim:" + (dir_ / "card").string();
        const SmcRun made =
            image() ? runSmc({"create", card_, "--vendor", "samsung", "--size", "16", "--format"})
                    : runSmc({"format", card_});
        ASSERT_EQ(made.exit, 0) << made.err;
        ASSERT_EQ(runSmc({"mkdir", card_, "/demo"}).exit, 0);
        writeBytes(dir_ / "pc/album/a.mp3", patternBytes(70000, 1));
        writeBytes(dir_ / "pc/album/cd2/b.mp3", patternBytes(1, 2));
        writeBytes(dir_ / "pc/album/cd2/empty.txt", {});
        writeBytes(dir_ / "pc/game.qxe", patternBytes(300000, 3));
    }

    bool image() const { return GetParam() == Kind::Image; }
    std::string pc(const std::string& rel) const { return (dir_ / "pc" / rel).string(); }

    TempDir dir_;
    std::string card_;
};

TEST_P(SessionTest, WholeSessionRoundTripsATree) {
    const SmcRun before = runSmc({"df", card_});
    SmcRun run = runSmc({"put", card_, pc("album/"), pc("game.qxe"), "vx:\\demo", "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "") << "no progress bar when output is not a terminal";

    EXPECT_EQ(runSmc({"ls", card_, "/demo"}).out, "album/\ngame.qxe\n");
    run = runSmc({"ls", card_, "/demo/album", "-l", "-R"});
    for (const char* want : {"vx:\\demo\\album:\nfile        70000 ",
                             "\n\nvx:\\demo\\album\\cd2:\n", "  b.mp3\n", "folder          - "})
        EXPECT_NE(run.out.find(want), std::string::npos) << want << "\n" << run.out << run.err;
    EXPECT_EQ(runSmc({"tree", card_}).out,
              image() ? "vx:\\\n`-- demo/\n    |-- album/\n    |   |-- a.mp3\n    |   `-- cd2/\n"
                        "    |       |-- b.mp3\n    |       `-- empty.txt\n    `-- game.qxe\n"
                      : "vx:\\\n|-- demo/\n|   |-- album/\n|   |   |-- a.mp3\n|   |   `-- cd2/\n"
                        "|   |       |-- b.mp3\n|   |       `-- empty.txt\n|   `-- game.qxe\n"
                        "|-- game/\n|-- mp3/\n|-- vxetc/\n|-- vxmm/\n`-- vxsys/\n");

    fs::create_directory(dir_ / "back");
    run = runSmc(
        {"get", card_, "/demo/album", "vx:\\demo\\game.qxe", (dir_ / "back/").string(), "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(pcTree(dir_ / "back"), pcTree(dir_ / "pc"));

    ASSERT_EQ(runSmc({"rm", card_, "/demo/album", "/demo/game.qxe", "-r"}).exit, 0);
    EXPECT_EQ(runSmc({"ls", card_, "/demo"}).out, "");
    const SmcRun after = runSmc({"df", card_});
    if (image()) {
        EXPECT_NE(before.out.find("used"), std::string::npos) << before.out;
        EXPECT_EQ(after.out, before.out);
    } else {
        EXPECT_EQ(after.exit, 1);
        EXPECT_EQ(after.err, "vela-smc: the SMC in the machine reports no size information\n");
    }
}

TEST_P(SessionTest, PutAndGetClashesFailSkipOrOverwrite) {
    ASSERT_EQ(runSmc({"put", card_, pc("game.qxe"), "/demo"}).exit, 0);
    writeBytes(dir_ / "other/game.qxe", patternBytes(10, 9));
    const std::string other = (dir_ / "other/game.qxe").string();
    const std::string back = (dir_ / "back").string();
    const auto cardSize = [&] { return runSmc({"ls", card_, "vx:\\DEMO\\GAME.QXE", "-l"}).out; };

    SmcRun run = runSmc({"put", card_, pc("album/a.mp3"), other, "vx:\\demo", "-r"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err,
              "vela-smc: vx:\\demo\\game.qxe already exists (use --overwrite or --skip)\n");
    EXPECT_EQ(runSmc({"ls", card_, "/demo"}).out, "game.qxe\n") << "nothing copied on a clash";
    // get stops at a PC file of the name, and leaves it with --skip.
    writeBytes(dir_ / "back/game.qxe", patternBytes(5, 5));
    run = runSmc({"get", card_, "/demo/game.qxe", back});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err,
              "vela-smc: " + back + "/game.qxe already exists (use --overwrite or --skip)\n");
    EXPECT_EQ(runSmc({"get", card_, "/demo/game.qxe", back, "--skip"}).exit, 0);
    EXPECT_EQ(readText(dir_ / "back/game.qxe").size(), 5u);

    EXPECT_EQ(runSmc({"put", card_, pc("album/a.mp3"), other, "/demo", "--skip"}).exit, 0);
    // The machine lists its folders sorted.
    EXPECT_EQ(runSmc({"ls", card_, "/demo"}).out,
              image() ? "game.qxe\na.mp3\n" : "a.mp3\ngame.qxe\n");
    EXPECT_NE(cardSize().find(" 300000 "), std::string::npos) << cardSize();
    EXPECT_EQ(runSmc({"put", card_, other, "/demo", "--overwrite"}).exit, 0);
    EXPECT_NE(cardSize().find("     10 "), std::string::npos) << cardSize();
}

// What vela-smc itself refuses, in the same words on both kinds of card.
TEST_P(SessionTest, RefusalsNameWhatIsWrong) {
    const std::string none = (dir_ / "none").string();
    const struct {
        std::vector<std::string> args; // after the command and the card
        std::string err;
    } cases[] = {
        {{"ls", "/nothing"}, "/nothing: no such file or folder on the card"},
        {{"rm", "/demo"}, "/demo: is a folder (use -r)"},
        {{"rm", "/nothing"}, "/nothing: no such file or folder on the card"},
        {{"get", "/demo", dir_.path().string()}, "/demo: is a folder (use -r)"},
        {{"get", "/demo/x", none}, none + ": no such folder on the PC"},
        {{"put", pc("album"), "/"}, pc("album") + ": is a folder (use -r)"},
        {{"put", pc("game.qxe"), "/nothing"}, "/nothing: no such folder on the card"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {c.args[0], card_};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        const SmcRun run = runSmc(args);
        EXPECT_EQ(run.exit, 1) << args[0] << " " << args[2];
        EXPECT_EQ(run.err, "vela-smc: " + c.err + "\n");
        EXPECT_EQ(run.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, SessionTest, testing::Values(Kind::Image, Kind::Machine),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Image ? "Image" : "Machine";
                         });

} // namespace
