// SPDX-License-Identifier: MIT
// vela-smc end to end on the machine: the simulated machine in the tool's own process
// ("sim:FOLDER") for a whole session, a machine served on a socket by this test ("unix:PATH"),
// and the machine's failures in the manager's words.
#include "vela_smc_run.h"

#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

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

} // namespace
