// SPDX-License-Identifier: MIT
// vela-smc end to end on a machine served on a socket by this test ("unix:PATH"): its
// failures in the manager's words, and a copy stopped by a signal.
#include "vela_smc_run.h"

#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

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

// A machine served on a socket by this test, with an unformatted card.
TEST(MachineTest, UnformattedCardIsReportedAndFormatted) {
    TempDir dir;
    SimMachine machine(dir / "card");
    machine.setUnformatted(true);
    SimSocketServer server(machine);
    const std::string socket = (dir / "link.sock").string();
    ASSERT_TRUE(server.start(socket));
    const std::string card = "unix:" + socket;
    SmcRun run = runSmc({"ls", card});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "vela-smc: unformatted SMC\n");
    run = runSmc({"format", card});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "formatted successfully.\n") << "the complaints of the open are dropped";
    EXPECT_EQ(runSmc({"format", card, "--full"}).err,
              "vela-smc: --full is for card images: the machine formats its card itself\n");
}

// A signal in the middle of a replacing put: the copy is cancelled, the card keeps the old
// file, and the exit status tells the signal; a second Ctrl+C ends the tool at once.
TEST(MachineTest, StopSignalsCancelTheCopy) {
    const struct {
        const char* name;
        std::vector<int> signals;
        int exit;
        const char* err;
    } cases[] = {
        {"Ctrl+C", {SIGINT}, 130, "vela-smc: operation canceled.\n"},
        {"SIGTERM", {SIGTERM}, 143, "vela-smc: operation canceled.\n"},
        {"a second Ctrl+C", {SIGINT, SIGINT}, 130, ""},
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
        writeBytes(dir / "card/A.TXT", "\1\2\3");
        writeBytes(dir / "pc/a.txt", patternBytes(100000, 5));
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
        const pid_t pid =
            spawnSmc({"put", "unix:" + socket, (dir / "pc/a.txt").string(), "/", "--overwrite"},
                     dir / "out", dir / "err");
        ASSERT_GT(pid, 0);
        child = pid;
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exit);
        EXPECT_EQ(readText(dir / "err"), c.err);
        EXPECT_EQ(readText(dir / "card/A.TXT"), std::string("\1\2\3"));
        EXPECT_FALSE(fs::exists(dir / "card/VELA~NEW.TMP"));
    }
}

} // namespace
