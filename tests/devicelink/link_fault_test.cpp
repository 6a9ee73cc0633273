// SPDX-License-Identifier: MIT
// Time-outs and late replies: a silent machine gives Timeout and the link is not connected;
// a late reply is never taken by a later operation; a wait hands the thread to an idle hook.
// A second of a limit lasts 25 ms, so a loaded machine does not stall a frame past one.
#include "link_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class LinkFaultTest : public LinkTest {
protected:
    LinkFaultTest() : LinkTest(25ms) {}
};

TEST_F(LinkFaultTest, SilentRepliesTimeOutAndTheNextOperationIsServed) {
    sim.planFault(0, SimFault::silent());
    EXPECT_EQ(link->Connect(), LinkResult::Timeout);
    EXPECT_FALSE(link->pipesOpen());
    connect();

    writeFile(card("B.BIN"), patternBytes(1000));
    const auto data = patternBytes(1000);
    std::vector<std::uint8_t> got;
    LinkList list;
    const struct {
        const char* what;
        std::size_t reply;
        std::function<LinkResult()> op;
    } cases[] = {
        {"listing", 0, [&] { return link->ListFiles("vx:\\", list); }},
        {"chunk acceptance", 3, [&] { return link->PutFile(data.data(), 1000, "vx:\\", "a.bin"); }},
        {"packet inside a chunk", 3, [&] { return link->GetFile("vx:\\b.bin", "b.bin", got); }},
        {"final format reply", 1, [&] { return link->FormatCard(20); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.planFault(c.reply, SimFault::silent());
        EXPECT_EQ(c.op(), LinkResult::Timeout);
        EXPECT_FALSE(link->connected());
        // The pipes stay open; the manager may still send its next command.
        EXPECT_TRUE(link->pipesOpen());
        sim.restart();
        EXPECT_EQ(link->MakeFolder("vx:\\game"), LinkResult::Ok);
        EXPECT_EQ(link->RemoveFolder("vx:\\game"), LinkResult::Ok);
    }
    link->Reset();
    EXPECT_FALSE(link->pipesOpen());
}

TEST_F(LinkFaultTest, LateRepliesAreNeverTakenForLaterOnes) {
    fs::create_directory(card("GAME"));
    connect();
    // The machine answers the make-folder only after the link gave up on it.
    sim.planFault(0, SimFault::hold());
    EXPECT_EQ(link->MakeFolder("vx:\\game\\a"), LinkResult::Timeout);
    EXPECT_EQ(sim.releaseHeld(), 1u);
    // A stale "folder made" would turn these into successes.
    EXPECT_EQ(link->MakeFolder("vx:\\no\\sub"), LinkResult::NoPath);
    EXPECT_EQ(link->MakeFolder("vx:\\game\\a"), LinkResult::DeviceError);

    // A listing answered late, entries and all, then a fresh connect.
    sim.planFault(0, SimFault::hold());
    LinkList list;
    EXPECT_EQ(link->ListFolders("vx:\\", list), LinkResult::Timeout);
    EXPECT_EQ(sim.releaseHeld(), 1u);
    link->Reset();
    ASSERT_EQ(link->Connect(), LinkResult::Ok);
    EXPECT_EQ(link->firmwareMajor(), 2);
    ASSERT_EQ(link->ListFiles("vx:\\game\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].name, "A");
}

TEST_F(LinkFaultTest, BrokenExchangeLeavesNothingForTheNext) {
    connect();
    // A format's first reply must be the start; the final reply follows anyway.
    for (std::uint8_t reply : {0x42, 0xFE, 0xFF}) {
        sim.planFault(0, SimFault::replyCode(reply));
        EXPECT_EQ(link->FormatCard(60), LinkResult::BadReply);
        EXPECT_EQ(link->MakeFolder("vx:\\no\\sub"), LinkResult::NoPath);
    }
    const struct {
        SimFault fault;
        LinkResult result;
    } finals[] = {{SimFault::replyCode(0xFF), LinkResult::DeviceError},
                  {SimFault::replyCode(0xFE), LinkResult::BadReply},
                  {SimFault::shortFrame(10), LinkResult::BadReply}};
    for (const auto& c : finals) {
        sim.planFault(1, c.fault);
        EXPECT_EQ(link->FormatCard(60), c.result);
    }
    // A listing broken off after one entry: the machine waits for an acknowledgement.
    fs::create_directory(card("A"));
    fs::create_directory(card("B"));
    sim.planFault(1, SimFault::shortFrame(100));
    LinkList list;
    EXPECT_EQ(link->ListFolders("vx:\\", list), LinkResult::BadReply);
    EXPECT_EQ(link->RemoveFolder("vx:\\b"), LinkResult::Ok);
    EXPECT_EQ(link->ListFolders("vx:\\", list), LinkResult::Ok);
    EXPECT_EQ(list.size(), 1u);
}

TEST_F(LinkFaultTest, IdleHookRunsWhileTheMachineIsSlowAndCannotUseTheLink) {
    connect();
    sim.planFault(0, SimFault::hold());
    int calls = 0;
    std::vector<LinkResult> refused;
    link->setIdleHook(
        [&] {
            if (++calls == 1) {
                LinkList list;
                refused = {link->ListFiles("vx:\\", list), link->Connect(), link->Disconnect()};
                link->Reset(); // must leave the pipes of the exchange alone
            }
            if (calls >= 3) sim.releaseHeld();
        },
        1ms);
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LinkResult::Ok);
    EXPECT_EQ(refused, std::vector<LinkResult>(3, LinkResult::IoFailed));
    // Only the make-folder exchange reached the machine.
    EXPECT_EQ(sim.receivedFrames(),
              (Frames{commandFrame(LinkCommand::MakeFolder), stringFrame("vx:\\game")}));
    EXPECT_TRUE(link->connected());
    EXPECT_EQ(link->RemoveFolder("vx:\\game"), LinkResult::Ok);
}
