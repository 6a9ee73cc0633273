// The idle hook: while the link waits for the machine, the requesting thread is handed back
// to its owner about every interval, without changing the outcome or the time limit of the
// exchange, and an operation started from inside the hook is refused.
#include "link_fixture.h"

using namespace std::chrono_literals;

namespace {

LinkOptions hookOptions(std::chrono::microseconds second, std::function<void()> hook) {
    LinkOptions options;
    options.secondLength = second;
    options.idle = std::move(hook);
    options.idleInterval = 1ms;
    return options;
}

} // namespace

class IdleHookTest : public ::testing::Test {
protected:
    // A link to the simulated machine whose waits call onIdle.
    void open(std::chrono::microseconds second) {
        link = std::make_unique<DeviceLink>(makeSimTransport(sim),
                                            hookOptions(second, [this] { onIdle(); }));
        ASSERT_EQ(link->Connect(), LINK_OK);
        sim.clearReceived();
        calls = 0;
    }

    void onIdle() {
        ++calls;
        if (whileIdle) whileIdle();
    }

    TempDir dir;
    SimMachine sim{dir / "card"};
    std::unique_ptr<DeviceLink> link;
    int calls = 0;
    std::function<void()> whileIdle;
};

TEST_F(IdleHookTest, CalledWhileTheMachineIsSlowResultUnchanged) {
    open(1s); // a 60-second limit: never reached here
    // The reply is held back until the hook has run three times.
    sim.planFault(0, SimFault::hold());
    whileIdle = [this] {
        if (calls >= 3) sim.releaseHeld();
    };
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LINK_OK);
    EXPECT_GE(calls, 3);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "card" / "GAME"));
    EXPECT_TRUE(link->connected());
}

TEST_F(IdleHookTest, DeadlineUnchanged) {
    open(10ms);
    sim.planFault(1, SimFault::silent()); // the format's final reply
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->FormatCard(20), LINK_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 200ms);
    EXPECT_LT(elapsed, 200ms + 5s); // slices never stretch the wait
    EXPECT_GE(calls, 2);
    EXPECT_FALSE(link->connected());
}

TEST_F(IdleHookTest, NoOperationFromInsideTheHook) {
    open(1s);
    sim.planFault(0, SimFault::hold());
    std::vector<int> refused;
    whileIdle = [&] {
        if (calls == 1) {
            LinkList list;
            refused.push_back(link->ListFiles("vx:\\", list));
            refused.push_back(link->Connect());
            refused.push_back(link->Disconnect());
            link->Reset(); // must leave the pipes of the exchange alone
        }
        if (calls >= 2) sim.releaseHeld();
    };
    EXPECT_EQ(link->MakeFolder("vx:\\game"), LINK_OK);
    EXPECT_EQ(refused, (std::vector<int>{LINK_IO_FAILED, LINK_IO_FAILED, LINK_IO_FAILED}));
    // Only the make-folder exchange reached the machine.
    EXPECT_EQ(sim.receivedFrames(),
              (std::vector<SimFrame>{commandFrame(0xA0), stringFrame("vx:\\game")}));
    EXPECT_TRUE(link->pipesOpen());
    EXPECT_TRUE(link->connected());
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_OK);
    EXPECT_EQ(list.size(), 1u);
}
