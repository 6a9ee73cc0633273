// Time-outs seen from the link: a machine that stays silent gives LINK_TIMEOUT once the
// (shrunk) limit has passed, the link is then not connected, and the worker serves the
// next operation. One second of a limit lasts 10 ms here.
#include "link_fixture.h"

using namespace std::chrono_literals;

class LinkTimeoutTest : public LinkTest {
protected:
    LinkTimeoutTest() : LinkTest(10ms) {}
};

TEST_F(LinkTimeoutTest, SilentConnectQuery) {
    sim.planFault(0, SimFault::silent());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->Connect(), LINK_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms); // the 5-second query limit
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_EQ(link->Connect(), LINK_OK);
}

TEST_F(LinkTimeoutTest, SilentListingThenTheNextOperationIsServed) {
    connect();
    sim.planFault(0, SimFault::silent());
    LinkList list;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms); // the 40-second reply limit
    EXPECT_FALSE(link->connected());
    // The pipes stay open; the manager may still send its next command.
    EXPECT_TRUE(link->pipesOpen());
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LINK_OK);
    EXPECT_TRUE(std::filesystem::is_directory(card("GAME")));
}

TEST_F(LinkTimeoutTest, TimeOutInsideAFileTransfer) {
    connect();
    const auto data = patternBytes(1000);
    sim.planFault(3, SimFault::silent()); // the chunk's acceptance
    EXPECT_EQ(link->PutFile(data.data(), 1000, "vx:\\", "a.bin"), LINK_TIMEOUT);
    EXPECT_FALSE(link->connected());

    sim.restart();
    writeFile(card("B.BIN"), data);
    sim.planFault(2, SimFault::silent()); // the first packet
    std::vector<std::uint8_t> got;
    EXPECT_EQ(link->GetFile("vx:\\b.bin", "b.bin", got), LINK_TIMEOUT);
    EXPECT_TRUE(got.empty());
}

TEST_F(LinkTimeoutTest, LateAnswerLeavesTheFrameAloneAndIsReadNextTime) {
    connect();
    sim.planFault(0, SimFault::hold());
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LINK_TIMEOUT);
    EXPECT_EQ(sim.releaseHeld(), 1u);
    // The abandoned read took nothing: the frame is as the time-out left it.
    EXPECT_EQ(link->frame(), SimFrame{});
    // The protocol has no resynchronisation: the next read gets the late reply.
    ASSERT_EQ(link->ReceiveFrame(5), LINK_OK);
    EXPECT_EQ(link->frame()[0], 0xA1);
}

TEST_F(LinkTimeoutTest, DisconnectWhileTheMachineIsGone) {
    connect();
    // Writes never block on this cable, so the machine going quiet shows at the next read.
    sim.planFault(0, SimFault::silent());
    sim.planFault(1, SimFault::silent());
    EXPECT_EQ(link->FormatCard(60), LINK_TIMEOUT);
    EXPECT_FALSE(link->connected());
    link->Reset();
    EXPECT_FALSE(link->pipesOpen());
}
