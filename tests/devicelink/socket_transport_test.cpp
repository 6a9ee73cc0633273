// The Unix-domain socket transport: the link against the simulated machine served on a
// SOCK_SEQPACKET socket by a second thread, and against raw peers that send frames of the
// wrong size, go quiet or close the connection in the middle of a transfer.
#include "link_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A listening socket for a peer written inside a test.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) : path_(path) {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(path.begin(), path.end(), address.sun_path);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0)
            ADD_FAILURE() << "cannot listen at " << path;
    }
    ~RawPeer() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    // Accepts one connection per script, one after the other, and runs the script on it,
    // all in a thread of its own.
    void serve(std::vector<std::function<void(int)>> scripts) {
        thread_ = std::thread([this, scripts] {
            for (const auto& script : scripts) {
                const int connection = accept(listener_, nullptr, nullptr);
                if (connection < 0) return;
                script(connection);
                close(connection);
            }
        });
    }

private:
    std::string path_;
    int listener_ = -1;
    std::thread thread_;
};

bool readFrame(int connection) {
    std::uint8_t frame[256];
    return recv(connection, frame, sizeof frame, 0) == 256;
}

void sendBytes(int connection, std::size_t count, std::uint8_t first = 0x41) {
    std::vector<std::uint8_t> bytes(count);
    if (count > 0) bytes[0] = first;
    send(connection, bytes.data(), count, MSG_NOSIGNAL);
}

} // namespace

TEST(SocketTransportTest, PutAndGetRoundTripWithTheSimulatedMachine) {
    TempDir dir;
    SimMachine sim(dir / "card");
    SimSocketServer server(sim);
    const std::string path = (dir / "vela.sock").string();
    ASSERT_TRUE(server.start(path));

    auto transport = makeTransport("unix:" + path, false);
    ASSERT_NE(transport, nullptr);
    DeviceLink link(std::move(transport));
    ASSERT_EQ(link.Connect(), LINK_OK);
    const auto data = patternBytes(300000, 3);
    ASSERT_EQ(link.PutFile(data.data(), std::uint32_t(data.size()), "vx:\\", "round.bin"), LINK_OK);
    std::vector<std::uint8_t> got;
    ASSERT_EQ(link.GetFile("vx:\\round.bin", "round.bin", got), LINK_OK);
    EXPECT_TRUE(got == data);
    LinkList list;
    ASSERT_EQ(link.ListFiles("vx:\\", list), LINK_OK);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].size, 300000u);
    EXPECT_EQ(link.Disconnect(), LINK_OK);

    // The server takes the next client once the first has gone.
    ASSERT_EQ(link.Connect(), LINK_OK);
    EXPECT_EQ(link.RemoveFile("vx:\\round.bin"), LINK_OK);
}

TEST(SocketTransportTest, NobodyListeningIsNoDevice) {
    TempDir dir;
    DeviceLink link(makeSocketTransport((dir / "nobody.sock").string()));
    EXPECT_EQ(link.Connect(), LINK_NO_DEVICE);
    DeviceLink tooLong(makeSocketTransport("/" + std::string(200, 'x')));
    EXPECT_EQ(tooLong.Connect(), LINK_NO_DEVICE);
}

TEST(SocketTransportTest, PeerClosingMidTransferFailsTheOperation) {
    TempDir dir;
    const std::string path = (dir / "peer.sock").string();
    RawPeer peer(path);
    peer.serve({[](int connection) {
        if (!readFrame(connection)) return; // the connect query
        sendBytes(connection, 256);
        for (int i = 0; i < 2; ++i)
            readFrame(connection); // PutFile's command and folder
    }});
    DeviceLink link(makeSocketTransport(path));
    ASSERT_EQ(link.Connect(), LINK_OK);
    const auto data = patternBytes(1000);
    // Real limits: a hang here would last 40 seconds, not return.
    EXPECT_EQ(link.PutFile(data.data(), 1000, "vx:\\", "a.bin"), LINK_IO_FAILED);
    LinkList list;
    EXPECT_EQ(link.ListFiles("vx:\\", list), LINK_IO_FAILED);
}

TEST(SocketTransportTest, FramesOfTheWrongSizeAreBadReplies) {
    TempDir dir;
    const std::string path = (dir / "peer.sock").string();
    RawPeer peer(path);
    peer.serve({[](int connection) {
                    if (!readFrame(connection)) return;
                    sendBytes(connection, 100); // a short connect reply
                    readFrame(connection);      // ends when the link closes
                },
                [](int connection) {
                    if (!readFrame(connection)) return;
                    sendBytes(connection, 256);
                    for (int i = 0; i < 2; ++i)
                        readFrame(connection);        // MakeFolder
                    sendBytes(connection, 300, 0xA1); // one message longer than a frame
                    readFrame(connection);
                }});
    DeviceLink link(makeSocketTransport(path));
    EXPECT_EQ(link.Connect(), LINK_BAD_REPLY);
    ASSERT_EQ(link.Connect(), LINK_OK);
    EXPECT_EQ(link.MakeFolder("vx:\\a"), LINK_BAD_REPLY);
    EXPECT_EQ(link.lastReadLength(), 300u);
    EXPECT_EQ(link.Disconnect(), LINK_OK);
}

TEST(SocketTransportTest, QuietPeerTimesOutAndTheNextOperationIsServed) {
    TempDir dir;
    const std::string path = (dir / "peer.sock").string();
    RawPeer peer(path);
    std::mutex mutex;
    std::condition_variable changed;
    bool timedOut = false;
    peer.serve({[&](int connection) {
        if (!readFrame(connection)) return;
        sendBytes(connection, 256);
        for (int i = 0; i < 2; ++i)
            readFrame(connection); // a listing: no answer
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return timedOut; });
        }
        for (int i = 0; i < 2; ++i)
            readFrame(connection); // the listing again: answered
        sendBytes(connection, 256, 0x97);
    }});
    LinkOptions options;
    options.secondLength = 10ms;
    DeviceLink link(makeSocketTransport(path), options);
    EXPECT_EQ(link.Connect(), LINK_OK); // no ASSERT: the peer must be let go below
    LinkList list;
    EXPECT_EQ(link.ListFiles("vx:\\", list), LINK_TIMEOUT);
    EXPECT_FALSE(link.connected());
    {
        std::lock_guard lock(mutex);
        timedOut = true;
    }
    changed.notify_all();
    EXPECT_EQ(link.ListFiles("vx:\\", list), LINK_OK);
}

TEST(SocketTransportTest, ServerLeavesATakenPathAloneAndCleansUpItsOwn) {
    TempDir dir;
    SimMachine sim(dir / "card");
    SimSocketServer first(sim), second(sim);
    const std::string path = (dir / "vela.sock").string();
    ASSERT_TRUE(first.start(path));
    EXPECT_FALSE(second.start(path));
    second.stop();
    DeviceLink link(makeSocketTransport(path));
    EXPECT_EQ(link.Connect(), LINK_OK);
    EXPECT_EQ(link.Disconnect(), LINK_OK);
    first.stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(link.Connect(), LINK_NO_DEVICE);
}
