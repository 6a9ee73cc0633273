// SPDX-License-Identifier: MIT
// The Unix-domain socket transport against a raw peer that sends frames of the wrong size.
// Transfers through the simulated machine's server are the command line's tests.
#include "link_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace {

// A listening socket for a peer written inside a test: accepts one connection per script,
// one after the other, and runs the script on it, in a thread of its own.
class RawPeer {
public:
    RawPeer(const std::string& path, std::vector<std::function<void(int)>> scripts) : path_(path) {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(path.begin(), path.end(), address.sun_path);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0)
            ADD_FAILURE() << "cannot listen at " << path;
        thread_ = std::thread([this, scripts] {
            for (const auto& script : scripts) {
                const int connection = accept(listener_, nullptr, nullptr);
                if (connection < 0) return;
                script(connection);
                close(connection);
            }
        });
    }
    ~RawPeer() {
        thread_.join();
        close(listener_);
        unlink(path_.c_str());
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

void sendBytes(int connection, std::size_t count, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(count);
    if (count > 0) bytes[0] = first;
    send(connection, bytes.data(), count, MSG_NOSIGNAL);
}

// The connect exchange: the query, then the connect reply.
bool answerConnect(int connection) {
    if (!readFrame(connection)) return false;
    sendBytes(connection, 256, code(LinkReply::Connected));
    return true;
}

} // namespace

TEST(SocketTransportTest, WrongFramesHangUpsAndPipesNeverGiven) {
    TempDir dir;
    const std::string path = (dir / "peer.sock").string();
    std::promise<void> hungUp;
    RawPeer peer(path, {[](int connection) {
                            if (!readFrame(connection)) return;
                            sendBytes(connection, 100, code(LinkReply::Connected));
                            readFrame(connection); // ends when the link closes
                        },
                        [](int connection) {
                            if (!answerConnect(connection)) return;
                            for (int i = 0; i < 2; ++i)
                                readFrame(connection); // MakeFolder
                            // One message longer than a frame.
                            sendBytes(connection, 300, code(LinkReply::FolderMade));
                            readFrame(connection);
                        },
                        [&hungUp](int connection) {
                            answerConnect(connection);
                            shutdown(connection, SHUT_RDWR);
                            hungUp.set_value();
                        },
                        [](int connection) { readFrame(connection); }});
    LinkOptions options;
    options.quietTime = std::chrono::milliseconds(5);
    DeviceLink link(makeSocketTransport(path), options);
    EXPECT_EQ(link.Connect(), LinkResult::BadReply);
    ASSERT_EQ(link.Connect(), LinkResult::Ok);
    EXPECT_EQ(link.MakeFolder("vx:\\a"), LinkResult::BadReply);
    EXPECT_EQ(link.lastReadLength(), 300u);
    EXPECT_EQ(link.Disconnect(), LinkResult::Ok);
    // A peer that has gone fails the next write, and a pipe the transport never gave fails.
    ASSERT_EQ(link.Connect(), LinkResult::Ok);
    hungUp.get_future().wait();
    EXPECT_EQ(link.MakeFolder("vx:\\a"), LinkResult::IoFailed);
    link.Reset();
    // The connection lasts until the last pipe closes.
    auto transport = makeSocketTransport(path);
    ASSERT_EQ(transport->OpenPipe(kPipeIn), 0);
    ASSERT_EQ(transport->OpenPipe(kPipeOut), 2);
    std::uint8_t frame[256] = {};
    std::uint32_t moved = 0;
    EXPECT_EQ(transport->transfer(1, frame, 256, &moved), LinkResult::IoFailed);
    transport->ClosePipe(0);
    EXPECT_EQ(transport->transfer(2, frame, 256, &moved), LinkResult::Ok);
    const std::string longPath = "/" + std::string(200, 'x');
    DeviceLink tooLong(makeSocketTransport(longPath)), nobody(makeSocketTransport(path + "x"));
    EXPECT_EQ(tooLong.Connect(), LinkResult::NoDevice);
    EXPECT_EQ(nobody.Connect(), LinkResult::NoDevice);
    // The simulated machine's server goes on after an empty reply (read as a hang-up).
    SimMachine sim(dir / "card");
    EXPECT_FALSE(SimSocketServer(sim).start(longPath));
    SimSocketServer server(sim);
    ASSERT_TRUE(server.start((dir / "sim.sock").string()));
    DeviceLink simLink(makeSocketTransport((dir / "sim.sock").string()), options);
    ASSERT_EQ(simLink.Connect(), LinkResult::Ok);
    sim.planFault(0, SimFault::shortFrame(0));
    EXPECT_EQ(simLink.MakeFolder("vx:\\a"), LinkResult::IoFailed);
    EXPECT_EQ(simLink.MakeFolder("vx:\\b"), LinkResult::Ok);
}
