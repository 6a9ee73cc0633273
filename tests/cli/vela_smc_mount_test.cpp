// SPDX-License-Identifier: MIT
// vela-smc mount end to end: a card image mounted through FUSE in a child process, used with
// the PC's own tools and system calls, unmounted with fusermount3, then read back with
// vela-smc and checked by fsck.fat. Skipped where the machine has no FUSE or refuses mounts.
#include "vela_smc_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char** environ;

namespace {

bool inMountTable(const std::string& folder) {
    const std::string table = readText("/proc/self/mountinfo");
    return table.find(" " + folder + " ") != std::string::npos;
}

class MountTest : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse: FUSE is not available here";
        image_ = (dir_ / "card.smc").string();
        mountPoint_ = (dir_ / "mnt").string();
        fs::create_directory(mountPoint_);
        const SmcRun made =
            runSmc({"create", image_, "--vendor", "samsung", "--size", "16", "--format"});
        ASSERT_EQ(made.exit, 0) << made.err;
        mount();
    }

    void TearDown() override {
        // A test that failed with a file still open there needs the lazy unmount.
        const std::string unmount = "fusermount3 -u " + shellQuote(mountPoint_);
        if (mounted_ && std::system(unmount.c_str()) != 0 &&
            std::system(("fusermount3 -uz " + shellQuote(mountPoint_)).c_str()) != 0)
            ADD_FAILURE() << "the card stays mounted on " << mountPoint_;
        if (child_ > 0) {
            // It ends by itself once unmounted; the signal also ends one that is not.
            kill(child_, SIGTERM);
            int status = 0;
            waitpid(child_, &status, 0);
        }
    }

    // Starts `vela-smc mount IMAGE FOLDER -f` and waits for the mount table to show it.
    void mount() {
        const std::string log = (dir_ / "mount.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<std::string> words = {VELA_SMC_PATH, "mount", image_, mountPoint_, "-f"};
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&child_, VELA_SMC_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);

        // The mount table signals every change to a poller; the tries only bound the wait.
        const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(table, 0);
        for (int tries = 0; tries < 100 && !mounted_; ++tries) {
            mounted_ = inMountTable(mountPoint_);
            int status = 0;
            if (!mounted_ && waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                close(table);
                GTEST_SKIP() << "the mount was refused here: " << readText(log);
            }
            pollfd change{table, POLLPRI, 0};
            if (!mounted_) poll(&change, 1, 100);
        }
        close(table);
        ASSERT_TRUE(mounted_) << "the mount did not appear; " << readText(log);
    }

    // Unmounts and expects the mounting process to end with status 0.
    void unmount() {
        ASSERT_EQ(std::system(("fusermount3 -u " + shellQuote(mountPoint_)).c_str()), 0);
        mounted_ = false;
        int status = 0;
        ASSERT_EQ(waitpid(child_, &status, 0), child_);
        child_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readText(dir_ / "mount.log");
    }

    fs::path at(const std::string& rel) const { return fs::path(mountPoint_) / rel; }

    TempDir dir_;
    std::string image_;
    std::string mountPoint_;
    pid_t child_ = -1;
    bool mounted_ = false;
};

TEST_F(MountTest, CopiedTreeIsOnTheCardAfterUnmount) {
    const fs::path src = dir_ / "game";
    writeBytes(src / "game.qxe", patternBytes(40000, 1)); // more than one cluster
    writeBytes(src / "readme", patternBytes(300, 2));
    writeBytes(src / "save/slot1.dat", patternBytes(4096, 3));
    writeBytes(src / "save/old/empty.txt", {});
    ASSERT_EQ(
        std::system(("cp -r " + shellQuote(src.string()) + " " + shellQuote(mountPoint_)).c_str()),
        0);
    unmount();

    const SmcRun listed = runSmc({"ls", image_, "-R"});
    ASSERT_EQ(listed.exit, 0) << listed.err;
    for (const char* name :
         {"game/", "game.qxe", "readme", "save/", "slot1.dat", "old/", "empty.txt"})
        EXPECT_NE(listed.out.find(name), std::string::npos) << name << "\n" << listed.out;
    const fs::path back = dir_ / "back";
    fs::create_directory(back);
    ASSERT_EQ(runSmc({"get", image_, "/game", back.string(), "-r"}).exit, 0);
    EXPECT_EQ(pcTree(back / "game"), pcTree(src));

    const std::string raw = (dir_ / "volume.raw").string();
    ASSERT_EQ(runSmc({"export", image_, raw}).exit, 0);
    expectFsckClean(raw);
}

TEST_F(MountTest, NamesRenamesAndSizesBehaveAsOnAnyFolder) {
    // The mounted image has one writer: the mount.
    const SmcRun other = runSmc({"mkdir", image_, "/other"});
    EXPECT_EQ(other.exit, 1);
    EXPECT_NE(other.err.find("is in use by another program"), std::string::npos) << other.err;

    // Names the card cannot hold: too long, a forbidden character, a leading dot.
    EXPECT_LT(open(at("longername.txt").c_str(), O_CREAT | O_WRONLY, 0644), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_LT(mkdir(at("a b").c_str(), 0755), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_LT(open(at(".hidden").c_str(), O_CREAT | O_WRONLY, 0644), 0);
    EXPECT_EQ(errno, EINVAL);
    struct stat st {};
    EXPECT_LT(stat(at("longername.txt").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);

    // Names are matched without regard to case and listed in lower case.
    writeBytes(at("Music/Tune.MP3"), patternBytes(20000, 4));
    EXPECT_TRUE(fs::exists(at("MUSIC/tune.mp3")));
    EXPECT_EQ(fs::directory_iterator(at("music"))->path().filename(), "tune.mp3");

    // Cutting and growing keep the bytes before the cut; a grown part reads as zeros.
    fs::resize_file(at("music/tune.mp3"), 5000);
    std::vector<std::uint8_t> expected = patternBytes(20000, 4);
    expected.resize(5000);
    expected.resize(9000, 0);
    fs::resize_file(at("music/tune.mp3"), 9000);
    EXPECT_EQ(readText(at("music/tune.mp3")), std::string(expected.begin(), expected.end()));

    // An empty file grows by appending; a write far past the end leaves zeros.
    writeBytes(at("empty.txt"), {});
    {
        std::ofstream append(at("empty.txt"), std::ios::binary | std::ios::app);
        append << "abc";
    }
    const int fd = open(at("empty.txt").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, "z", 1, 100), 1);
    close(fd);
    EXPECT_EQ(readText(at("empty.txt")), "abc" + std::string(97, '\0') + "z");

    // Renames within and across folders, over an existing file, and of a folder.
    writeBytes(at("old.txt"), patternBytes(10, 5));
    writeBytes(at("new.txt"), patternBytes(10, 6));
    fs::rename(at("old.txt"), at("new.txt"));
    EXPECT_FALSE(fs::exists(at("old.txt")));
    const std::vector<std::uint8_t> moved = patternBytes(10, 5);
    EXPECT_EQ(readText(at("new.txt")), std::string(moved.begin(), moved.end()));
    fs::rename(at("new.txt"), at("music/new.txt"));
    fs::rename(at("music"), at("songs"));
    EXPECT_TRUE(fs::exists(at("songs/new.txt")));
    EXPECT_LT(rmdir(at("songs").c_str()), 0);
    EXPECT_EQ(errno, ENOTEMPTY);
    unmount();

    const SmcRun checked = runSmc({"check", image_});
    EXPECT_EQ(checked.exit, 0) << checked.out << checked.err;
    const SmcRun listed = runSmc({"ls", image_, "/songs", "-l"});
    EXPECT_NE(listed.out.find("9000"), std::string::npos) << listed.out;
}

} // namespace

TEST(MountUsageTest, AMissingImageMountsNothing) {
    TempDir dir;
    const SmcRun run = runSmc({"mount", (dir / "none.smc").string(), dir.path().string(), "-f"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: Failed to open virtual SMC file.\n");
    EXPECT_FALSE(inMountTable(dir.path().string()));
}
