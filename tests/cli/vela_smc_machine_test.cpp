// SPDX-License-Identifier: MIT
// vela-smc end to end on the machine: the simulated machine in the tool's own process
// ("sim:FOLDER") for a whole session, a machine served on a socket by this test ("unix:PATH"),
// the machine's failures in the manager's words, and a copy stopped by a signal.
#include "vela_smc_run.h"

#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Starts vela-smc with args, standard output and error into files; returns its process id.
pid_t spawnSmc(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    // The test runner may ignore or block the signals the tool is to meet.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(VELA_SMC_PATH)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, VELA_SMC_PATH, &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Whether signal waits to be delivered to process pid.
bool signalPending(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if ((line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) &&
            (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1))
            return true;
    }
    return false;
}

TEST(MachineTest, SimulatedMachineSessionRoundTripsATree) {
    TempDir dir;
    const std::string card = "sim:" + (dir / "card").string();
    writeBytes(dir / "pc/save/slot1.dat", patternBytes(300000, 1));
    writeBytes(dir / "pc/save/slot2.dat", patternBytes(256, 2));
    writeBytes(dir / "pc/demo.qxe", patternBytes(0, 3));

    SmcRun run = runSmc({"format", card});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "formatted successfully.\n");
    run = runSmc({"ls", card});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "game/\nmp3/\nvxetc/\nvxmm/\nvxsys/\n");

    run = runSmc({"put", card, (dir / "pc/save").string(), (dir / "pc/demo.qxe").string(),
                  "vx:\\game", "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    run = runSmc({"ls", card, "/game", "-l", "-R"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("300000"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("vx:\\game\\save:"), std::string::npos) << run.out;

    fs::create_directory(dir / "back");
    run = runSmc({"get", card, "/game/save", "/game/demo.qxe", (dir / "back").string(), "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(pcTree(dir / "back"), pcTree(dir / "pc"));

    run = runSmc({"rm", card, "/game/save", "-r"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(runSmc({"ls", card, "/game"}).out, "demo.qxe\n");
    run = runSmc({"df", card});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: the SMC in the machine reports no size information\n");
}

TEST(MachineTest, SocketServedMachineTakesAndGivesFiles) {
    TempDir dir;
    SimMachine machine(dir / "card");
    SimSocketServer server(machine);
    const std::string socket = (dir / "link.sock").string();
    ASSERT_TRUE(server.start(socket));
    writeBytes(dir / "pc/tune.mp3", patternBytes(70000, 4));
    fs::create_directory(dir / "card/MP3");

    const std::string card = "unix:" + socket;
    SmcRun run = runSmc({"put", card, (dir / "pc/tune.mp3").string(), "/mp3"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(readText(dir / "card/MP3/TUNE.MP3"), readText(dir / "pc/tune.mp3"));
    run = runSmc({"put", card, (dir / "pc/tune.mp3").string(), "/mp3"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: vx:\\mp3\\tune.mp3 already exists (use --overwrite or --skip)\n");
    run = runSmc({"mkdir", card, "/nothing/deeper"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: parent path doesn't exist.\n");
}

TEST(MachineTest, MachineFailuresUseTheManagersMessages) {
    TempDir dir;
    SimMachine machine(dir / "card");
    machine.setUnformatted(true);
    SimSocketServer server(machine);
    const std::string socket = (dir / "link.sock").string();
    ASSERT_TRUE(server.start(socket));
    SmcRun run = runSmc({"ls", "unix:" + socket});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: unformatted SMC\n");
    run = runSmc({"format", "unix:" + socket});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "formatted successfully.\n") << "the complaints of the open are dropped";
    EXPECT_EQ(runSmc({"ls", "unix:" + socket}).out, "game/\nmp3/\nvxetc/\nvxmm/\nvxsys/\n");
    // Nothing listens at this socket, and no device has this vendor and product.
    for (const std::string& card :
         {"unix:" + (dir / "none.sock").string(), std::string("usb:ffff:fffe")}) {
        run = runSmc({"ls", card});
        EXPECT_EQ(run.exit, 1) << card;
        EXPECT_EQ(run.err, "vela-smc: failed to open USB port.\n") << card;
    }
}

// A signal in the middle of a replacing put: the copy is cancelled, the card keeps the old
// file, and the exit status tells the signal; a second Ctrl+C ends the tool at once.
TEST(MachineTest, StopSignalsCancelTheCopy) {
    const struct {
        const char* name;
        std::vector<int> signals;
        int exit;
        const char* err;
        bool clone = false; // card to card instead of a put from the PC
    } cases[] = {
        {"Ctrl+C", {SIGINT}, 130, "vela-smc: operation canceled.\n"},
        {"SIGTERM", {SIGTERM}, 143, "vela-smc: operation canceled.\n"},
        {"a second Ctrl+C", {SIGINT, SIGINT}, 130, ""},
        {"Ctrl+C in a clone", {SIGINT}, 130, "vela-smc: operation canceled.\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::atomic<pid_t> child{0};
        bool signalled = false;
        SimMachine machine(dir / "card");
        SimSocketServer server(machine);
        const std::string socket = (dir / "link.sock").string();
        ASSERT_TRUE(server.start(socket));
        writeBytes(dir / "card/A.TXT", {1, 2, 3});
        writeBytes(dir / "pc/a.txt", patternBytes(100000, 5));
        writeBytes(dir / "other/A.TXT", patternBytes(100000, 6));
        // The signals come as the machine takes the first chunk of the file.
        for (std::size_t reply = 0; reply < 64; ++reply)
            machine.planFault(reply, SimFault::editFrame([&](SimFrame& frame) {
                                  if (frame[0] != std::uint8_t(LinkReply::PutChunkOk) || signalled)
                                      return;
                                  signalled = true;
                                  while (child == 0)
                                      std::this_thread::yield();
                                  for (int signal : c.signals) {
                                      kill(child, signal);
                                      while (signalPending(child, signal))
                                          std::this_thread::yield();
                                  }
                              }));
        const std::vector<std::string> args =
            c.clone ? std::vector<std::string>{"clone", "sim:" + (dir / "other").string(),
                                               "unix:" + socket, "--overwrite"}
                    : std::vector<std::string>{"put", "unix:" + socket, (dir / "pc/a.txt").string(),
                                               "/", "--overwrite"};
        const pid_t pid = spawnSmc(args, dir / "out", dir / "err");
        ASSERT_GT(pid, 0);
        child = pid;
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.exit);
        EXPECT_EQ(readText(dir / "err"), c.err);
        EXPECT_EQ(readText(dir / "card/A.TXT"), std::string("\1\2\3"));
        EXPECT_FALSE(fs::exists(dir / "card/VELA~NEW.TMP"));
    }
}

} // namespace
