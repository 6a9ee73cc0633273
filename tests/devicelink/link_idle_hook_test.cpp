// The idle hook: while the link waits for the machine, the requesting thread is handed back
// to its owner about every interval, without changing the outcome or the time limit of the
// exchange, and an operation started from inside the hook is refused.
#include "link_fixture.h"

using namespace std::chrono_literals;

class IdleHookTest : public ::testing::Test {
protected:
    // A link to the simulated machine whose waits call onIdle.
    void open(std::chrono::microseconds second) {
        LinkOptions options;
        options.secondLength = second;
        options.quietTime = 1ms;
        options.idle = [this] {
            ++calls;
            if (whileIdle) whileIdle();
        };
        options.idleInterval = 1ms;
        link = std::make_unique<DeviceLink>(makeSimTransport(sim), options);
        ASSERT_EQ(link->Connect(), LinkResult::Ok);
        sim.clearReceived();
        calls = 0;
    }

    TempDir dir;
    SimMachine sim{dir / "card"};
    std::unique_ptr<DeviceLink> link;
    int calls = 0;
    std::function<void()> whileIdle;
};

TEST_F(IdleHookTest, CalledWhileTheMachineIsSlowAndNothingElseRuns) {
    open(1s); // a 60-second limit: never reached here
    sim.planFault(0, SimFault::hold());
    std::vector<LinkResult> refused;
    whileIdle = [&] {
        if (calls == 1) {
            LinkList list;
            refused.push_back(link->ListFiles("vx:\\", list));
            refused.push_back(link->Connect());
            refused.push_back(link->Disconnect());
            link->Reset(); // must leave the pipes of the exchange alone
        }
        if (calls >= 3) sim.releaseHeld();
    };
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LinkResult::Ok);
    EXPECT_GE(calls, 3);
    EXPECT_EQ(refused, std::vector<LinkResult>(3, LinkResult::IoFailed));
    // Only the make-folder exchange reached the machine.
    EXPECT_EQ(sim.receivedFrames(),
              (Frames{commandFrame(LinkCommand::MakeFolder), stringFrame("vx:\\game")}));
    EXPECT_TRUE(link->connected());
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    EXPECT_EQ(list.size(), 1u);
}

TEST_F(IdleHookTest, DeadlineUnchanged) {
    open(10ms);
    sim.planFault(1, SimFault::silent()); // the format's final reply
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->FormatCard(20), LinkResult::Timeout);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 200ms);
    EXPECT_LT(elapsed, 200ms + 5s); // slices never stretch the wait
    EXPECT_GE(calls, 2);
    EXPECT_FALSE(link->connected());
}
