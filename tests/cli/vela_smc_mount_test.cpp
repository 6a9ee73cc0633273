// SPDX-License-Identifier: MIT
// vela-smc mount end to end on a card image and on a machine served on a socket: the card
// mounted through FUSE in a child process, used with the PC's tools and system calls, then
// unmounted and read back with vela-smc. Skipped where there is no FUSE or no mount allowed.
#include "vela_smc_run.h"

#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <map>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

enum class Kind { Image, Machine };

bool inMountTable(const std::string& folder) {
    const std::string table = readText("/proc/self/mountinfo");
    return table.find(" " + folder + " ") != std::string::npos;
}

class MountTest : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse: FUSE is not available here";
        mountPoint_ = (dir_ / "mnt").string();
        fs::create_directory(mountPoint_);
        if (GetParam() == Kind::Image) {
            card_ = (dir_ / "card.smc").string();
            ASSERT_EQ(
                runSmc({"create", card_, "--vendor", "samsung", "--size", "16", "--format"}).exit,
                0);
        } else {
            fs::create_directories(machineFolder() / "GAME");
            machine_ = std::make_unique<SimMachine>(machineFolder());
            server_ = std::make_unique<SimSocketServer>(*machine_);
            ASSERT_TRUE(server_->start((dir_ / "link.sock").string()));
            card_ = "unix:" + (dir_ / "link.sock").string();
        }
    }

    void TearDown() override {
        // A test that failed with a file still open there needs the lazy unmount.
        if (mounted_ && std::system(("fusermount3 -u " + shellQuote(mountPoint_)).c_str()) != 0 &&
            std::system(("fusermount3 -uz " + shellQuote(mountPoint_)).c_str()) != 0)
            ADD_FAILURE() << "the card stays mounted on " << mountPoint_;
        if (child_ > 0) {
            // It ends by itself once unmounted; the signal also ends one that is not.
            kill(child_, SIGTERM);
            int status = 0;
            waitpid(child_, &status, 0);
        }
        if (server_) server_->stop();
    }

    fs::path machineFolder() const { return dir_ / "card"; }

    // Starts `vela-smc mount CARD FOLDER -f` and waits for the mount table to show it.
    void mount() {
        const std::string log = (dir_ / "mount.log").string();
        child_ = spawnSmc({"mount", card_, mountPoint_, "-f"}, log);
        ASSERT_GT(child_, 0);

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

    int waitForMount() {
        int status = 0;
        EXPECT_EQ(waitpid(child_, &status, 0), child_);
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void unmount() {
        ASSERT_EQ(std::system(("fusermount3 -u " + shellQuote(mountPoint_)).c_str()), 0);
        mounted_ = false;
        EXPECT_EQ(waitForMount(), 0) << readText(dir_ / "mount.log");
    }

    fs::path at(const std::string& rel) const { return fs::path(mountPoint_) / rel; }
    bool machine() const { return GetParam() == Kind::Machine; }

    TempDir dir_;
    std::string card_;
    std::string mountPoint_;
    std::unique_ptr<SimMachine> machine_;
    std::unique_ptr<SimSocketServer> server_;
    pid_t child_ = -1;
    bool mounted_ = false;
};

TEST_P(MountTest, CallsAnswerAsOnAnyFolder) {
    mount();
    // The mounted image has one writer: the mount.
    EXPECT_TRUE(machine() ||
                runSmc({"mkdir", card_, "/x"}).err.find("in use by another") != std::string::npos);
    writeBytes(at("Music/Tune.MP3"), patternBytes(20000, 4));
    fs::create_directory(at("empty"));
    // Refusals as a file manager shows them; names no card holds: long, a space, a leading dot.
    const int createFlags = O_CREAT | O_WRONLY;
    struct Case {
        const char* what;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"long name", [&] { return open(at("longername.txt").c_str(), createFlags, 0644); },
         ENAMETOOLONG},
        {"space", [&] { return mkdir(at("a b").c_str(), 0755); }, EINVAL},
        {"dot", [&] { return open(at(".hidden").c_str(), createFlags, 0644); }, EINVAL},
        {"stat long", [&] { return access(at("longername.txt").c_str(), F_OK); }, ENOENT},
        {"rmdir full", [&] { return rmdir(at("music").c_str()); }, ENOTEMPTY},
        {"unlink folder", [&] { return unlink(at("music").c_str()); }, EISDIR},
        {"mkdir taken", [&] { return mkdir(at("MUSIC").c_str(), 0755); }, EEXIST},
        {"rmdir file", [&] { return rmdir(at("music/tune.mp3").c_str()); }, ENOTDIR},
        {"folder into itself", [&] { return rename(at("music").c_str(), at("music/in").c_str()); },
         EINVAL},
        {"rename to a long name",
         [&] { return rename(at("empty").c_str(), at("longername").c_str()); }, ENAMETOOLONG},
        {"file over folder",
         [&] { return rename(at("music/tune.mp3").c_str(), at("empty").c_str()); }, EISDIR},
        {"chown to the owner", [&] { return chown(at("music").c_str(), getuid(), -1); }, 0},
        {"chown away", [&] { return chown(at("music").c_str(), getuid() + 1, -1); }, EPERM},
        {"past the largest file",
         [&] { return truncate(at("music/tune.mp3").c_str(), off_t(129) << 20); }, EFBIG},
        // The machine cannot rename a folder: mv copies it instead.
        {"rename folder", [&] { return rename(at("empty").c_str(), at("void").c_str()); },
         machine() ? EXDEV : 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        const int result = c.call();
        EXPECT_EQ(result < 0 ? errno : 0, c.expected);
    }

    // Names are matched without regard to case and listed in lower case.
    EXPECT_EQ(fs::directory_iterator(at("music"))->path().filename(), "tune.mp3");

    // A cut keeps the bytes before it and frees space in place; growing adds zeros.
    const fs::space_info before = fs::space(mountPoint_);
    fs::resize_file(at("music/tune.mp3"), 5000);
    EXPECT_TRUE(machine() || fs::space(mountPoint_).free > before.free);
    fs::resize_file(at("music/tune.mp3"), 9000);
    EXPECT_EQ(readText(at("music/tune.mp3")),
              patternBytes(20000, 4).substr(0, 5000) + std::string(4000, '\0'));

    // One file open twice: closing one descriptor leaves the other reading.
    const int first = open(at("music/tune.mp3").c_str(), O_RDONLY);
    const int second = open(at("music/tune.mp3").c_str(), O_RDONLY);
    EXPECT_EQ(close(first), 0);
    char last = 'x';
    EXPECT_EQ(pread(second, &last, 1, 8999), 1);
    EXPECT_EQ(last, '\0');
    EXPECT_EQ(close(second), 0);

    // An empty file grows by appending; a write far past the end leaves zeros.
    writeBytes(at("empty.txt"), {});
    std::ofstream(at("empty.txt"), std::ios::app) << "abc";
    const int fd = open(at("empty.txt").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, "z", 1, 100), 1);
    close(fd);
    EXPECT_EQ(readText(at("empty.txt")), "abc" + std::string(97, '\0') + "z");

    // Renames within and across folders and over an existing file (what editors do).
    writeBytes(at("old.txt"), patternBytes(10, 5));
    writeBytes(at("new.txt"), patternBytes(10, 6));
    fs::rename(at("old.txt"), at("new.txt"));
    EXPECT_FALSE(fs::exists(at("old.txt")));
    EXPECT_EQ(readText(at("new.txt")), patternBytes(10, 5));
    fs::rename(at("new.txt"), at("music/new.txt"));
    const auto written = std::chrono::file_clock::to_sys(fs::last_write_time(at("music/new.txt")));
    EXPECT_LT(abs(std::chrono::system_clock::now() - written), std::chrono::minutes(5));
    unmount();

    const std::string listed = runSmc({"ls", card_, "/music", "-l"}).out;
    EXPECT_NE(listed.find(" 9000 "), std::string::npos) << listed;
    EXPECT_NE(listed.find("new.txt"), std::string::npos) << listed;
    EXPECT_TRUE(machine() || runSmc({"check", card_}).exit == 0);
}

// A tree copied on with cp -r comes back whole, beside fio's checked writes. Many times the
// card is mounted and every folder listed at once: a short listing would be a folder read
// while the mount was setting up, or one listing disturbing another.
TEST_P(MountTest, WrittenFilesComeBackWholeAndListWholeEveryTime) {
    const fs::path src = dir_ / "game";
    for (const std::string folder : {"", "/src", "/src/lib", "/save"})
        for (int i = 0; i < 3; ++i) // empty, one cluster and more than one
            writeBytes(src.string() + folder + "/f" + std::to_string(i) + ".txt",
                       patternBytes(i * 20000, i));
    std::map<std::string, std::set<std::string>> expected = {{"", {"fio", "game"}}};
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        const fs::path rel = fs::relative(entry.path(), dir_.path());
        expected[rel.parent_path().string()].insert(rel.filename().string());
    }
    // fio checks every block it wrote, and once more after a fresh mount, as the card holds it.
    const bool fio = std::system("fio --version >/dev/null 2>&1") == 0;
    const std::string job = "fio --name=check --directory=" + shellQuote(at("fio").string()) +
                            " --numjobs=3 --nrfiles=2 --size=512k --bs=4k --rw=randwrite"
                            " --verify=crc32c --end_fsync=1 --verify_state_save=0"
                            " --filename_format='f$jobnum.$filenum' >" +
                            shellQuote((dir_ / "fio.log").string()) + " 2>&1";
    mount();
    const std::string copy = "cp -r " + shellQuote(src.string()) + " " + shellQuote(mountPoint_);
    ASSERT_EQ(std::system(copy.c_str()), 0);
    fs::create_directory(at("fio"));
    EXPECT_TRUE(!fio || std::system(job.c_str()) == 0) << readText(dir_ / "fio.log");
    unmount();

    const int rounds = machine() ? 8 : 15;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        mount();
        EXPECT_TRUE(round > 0 || !fio || std::system((job + " --verify_only").c_str()) == 0);
        std::vector<std::future<std::set<std::string>>> listings;
        for (const auto& [folder, names] : expected)
            listings.push_back(std::async(std::launch::async, [this, folder = folder] {
                std::set<std::string> found;
                std::error_code ec;
                for (const auto& entry : fs::directory_iterator(at(folder), ec))
                    found.insert(entry.path().filename().string());
                return found;
            }));
        auto listing = listings.begin();
        for (const auto& [folder, names] : expected)
            EXPECT_EQ((listing++)->get(), names) << "'" << folder << "'";
        unmount();
    }

    const fs::path back = dir_ / "back";
    fs::create_directory(back);
    const SmcRun got = runSmc({"get", card_, "/game", back.string(), "-r"});
    ASSERT_EQ(got.exit, 0) << got.err;
    EXPECT_EQ(pcTree(back / "game"), pcTree(src));
    EXPECT_TRUE(machine() || runSmc({"check", card_}).exit == 0);
}

using MachineMountTest = MountTest;

// The cable is pulled while a changed file goes back to the machine: close(2) fails, the
// mount ends itself with a message, the card keeps the file as it was and every file
// written back before, and the new bytes are kept in a PC file.
TEST_P(MachineMountTest, CablePulledMidWriteKeepsTheCardsFiles) {
    const std::string old = patternBytes(300000, 7);
    writeBytes(machineFolder() / "GAME/SAVE.DAT", old);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    mount();
    unsetenv("XDG_STATE_HOME");
    writeBytes(at("game/keep.dat"), patternBytes(5000, 8));

    const int fd = open(at("game/save.dat").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    const std::string fresh = patternBytes(600000, 9);
    ASSERT_EQ(write(fd, fresh.data(), fresh.size()), ssize_t(fresh.size()));
    // The write-back's first chunk is taken; the next answer never comes: the socket closes.
    std::promise<void> chunkTaken;
    machine_->planFault(4, SimFault::editFrame([&](SimFrame&) { chunkTaken.set_value(); }));
    machine_->planFault(5, SimFault::hold());
    std::thread puller([&] {
        chunkTaken.get_future().wait();
        server_->stop();
    });
    errno = 0;
    EXPECT_EQ(close(fd), -1);
    EXPECT_EQ(errno, EIO);
    puller.join();

    mounted_ = false;
    EXPECT_EQ(waitForMount(), 1);
    // The loss is told once; what could not go back is kept in a PC file below the state folder.
    const std::string log = readText(dir_ / "mount.log");
    const std::string told =
        "vela-smc: the link to the machine is lost (cable pulled?): unmounting\n"
        "vela-smc: changes to 'vx:\\game\\save.dat' could not be written to "
        "the card; they are kept in '";
    ASSERT_EQ(log.substr(0, told.size()), told) << log;
    const std::string kept = log.substr(told.size(), log.find('\'', told.size()) - told.size());
    EXPECT_EQ(kept.rfind((dir_ / "state").string() + "/", 0), 0u) << kept;
    EXPECT_EQ(readText(kept), fresh);
    EXPECT_FALSE(inMountTable(mountPoint_));
    EXPECT_EQ(readText(machineFolder() / "GAME/SAVE.DAT"), old);
    EXPECT_EQ(readText(machineFolder() / "GAME/KEEP.DAT"), patternBytes(5000, 8));
}

INSTANTIATE_TEST_SUITE_P(Cards, MountTest, testing::Values(Kind::Image, Kind::Machine),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Image ? "Image" : "Machine";
                         });
INSTANTIATE_TEST_SUITE_P(Socket, MachineMountTest, testing::Values(Kind::Machine));

} // namespace
