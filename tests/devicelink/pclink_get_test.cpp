// GetFile against the simulated machine: the exact exchange across several chunks, an
// empty file, the progress callbacks, and replies that announce sizes and chunks the data
// does not fit. The hostile cases run under the sanitizers to show no byte lands outside
// the buffer.
#include "link_fixture.h"

namespace {

// The frames GetFile must send for a file of size bytes that the machine sends in chunks.
std::vector<SimFrame> expectedGet(const std::string& path, std::size_t size, std::size_t chunk) {
    std::vector<SimFrame> frames = {commandFrame(0x70), stringFrame(path)};
    if (size == 0) frames.push_back(commandFrame(0x73));
    for (std::size_t received = 0; received < size;) {
        const std::size_t length = std::min(chunk, size - received);
        frames.push_back(commandFrame(0x71));
        frames.push_back(commandFrame(0x72));
        for (std::size_t done = 0; done < length; done += 256) {
            const bool end = received + std::min<std::size_t>(length, done + 256) == size;
            frames.push_back(commandFrame(end ? 0x73 : 0x03));
        }
        received += length;
    }
    return frames;
}

} // namespace

struct GetCase {
    std::size_t size;
    std::uint16_t chunk;
};
class GetSizeTest : public LinkTest, public ::testing::WithParamInterface<GetCase> {};

TEST_P(GetSizeTest, ExchangeAndData) {
    const auto data = patternBytes(GetParam().size);
    writeFile(card("FILE.BIN"), data);
    sim.setSendChunk(GetParam().chunk);
    connect();
    std::vector<std::uint8_t> got(5, 0xCC);
    ASSERT_EQ(link->GetFile("vx:\\file.bin", "file.bin", got), LINK_OK);
    EXPECT_EQ(got, data);
    expectFrames(sim.receivedFrames(), expectedGet("vx:\\file.bin", data.size(), GetParam().chunk));
}

INSTANTIATE_TEST_SUITE_P(Sizes, GetSizeTest,
                         ::testing::Values(GetCase{0, 32768}, GetCase{1, 32768},
                                           GetCase{256, 32768}, GetCase{70000, 32768},
                                           GetCase{5000, 1000}, GetCase{131072, 65535}),
                         [](const auto& info) {
                             return "bytes" + std::to_string(info.param.size) + "_chunk" +
                                    std::to_string(info.param.chunk);
                         });

using GetTest = LinkTest;

TEST_F(GetTest, ProgressCallbacksSeeEveryStep) {
    writeFile(card("A.BIN"), patternBytes(600));
    sim.setSendChunk(512);
    connect();
    std::vector<std::string> calls;
    const LinkCallbacks callbacks = recordingCallbacks(calls);
    std::vector<std::uint8_t> got;
    ASSERT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got, callbacks), LINK_OK);
    EXPECT_EQ(calls, (std::vector<std::string>{"start vx:\\a.bin - a.bin 600", "chunk 512/600",
                                               "packet 256/600 +256", "packet 512/600 +256",
                                               "chunk 600/600", "packet 600/600 +88"}));
}

TEST_F(GetTest, CallbacksCancelAndFreeTheBuffer) {
    writeFile(card("A.BIN"), patternBytes(600));
    connect();
    std::vector<std::uint8_t> got;
    LinkCallbacks callbacks;
    callbacks.start = [](const LinkFileStart&) { return LINK_CANCELED; };
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got, callbacks), LINK_CANCELED);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(sim.receivedFrames().size(), 2u);

    sim.restart();
    callbacks.start = nullptr;
    callbacks.packet = [](const LinkPacketProgress& r) {
        return r.bytesSoFar == 512 ? LINK_CANCELED : 0;
    };
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got, callbacks), LINK_CANCELED);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(got.capacity(), 0u);
}

TEST_F(GetTest, ChunkAnnouncedPastTheEndOfTheFile) {
    // The machine announces 512 bytes but the file ends after 256: the chunk is refused
    // before its data is asked for, and the progress callbacks never see more than the size.
    writeFile(card("A.BIN"), patternBytes(256));
    connect();
    sim.planFault(1, SimFault::chunkLength(512));
    std::vector<std::uint8_t> got;
    LinkCallbacks callbacks;
    int chunkCalls = 0;
    callbacks.chunk = [&](const LinkChunkProgress&) { return ++chunkCalls, LINK_OK; };
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got, callbacks), LINK_BAD_REPLY);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(chunkCalls, 0);
    expectFrames(sim.receivedFrames(),
                 {commandFrame(0x70), stringFrame("vx:\\a.bin"), commandFrame(0x71)});
}

TEST_F(GetTest, DataPastTheAnnouncedSizeIsRefused) {
    // A chunk longer than what is left of the file: its second packet would run past the
    // end of a 300-byte buffer.
    writeFile(card("A.BIN"), patternBytes(300));
    connect();
    sim.planFault(1, SimFault::chunkLength(1024));
    std::vector<std::uint8_t> got;
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LINK_BAD_REPLY);
    EXPECT_TRUE(got.empty());

    // The same with a size reply that understates the file.
    sim.restart();
    writeFile(card("B.BIN"), patternBytes(5000));
    sim.planFault(0, SimFault::fileSize(10));
    EXPECT_EQ(link->GetFile("vx:\\b.bin", "b.bin", got), LINK_BAD_REPLY);
    EXPECT_TRUE(got.empty());
}

TEST_F(GetTest, AbsurdSizesAreRefusedWithoutAllocating) {
    writeFile(card("A.BIN"), patternBytes(300));
    connect();
    std::vector<std::uint8_t> got;
    for (std::uint32_t size : {0xFFFFFFFFu, kLargestCardBytes + 1}) {
        sim.restart();
        sim.clearReceived();
        sim.planFault(0, SimFault::fileSize(size));
        EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LINK_BAD_REPLY);
        EXPECT_EQ(got.capacity(), 0u);
        EXPECT_EQ(sim.receivedFrames().size(), 2u); // nothing after the size reply
    }
    // A file the machine does not have comes back with such a size.
    EXPECT_EQ(link->GetFile("vx:\\nothere.bin", "nothere.bin", got), LINK_BAD_REPLY);
}

TEST_F(GetTest, BrokenRepliesInsideTheTransfer) {
    writeFile(card("A.BIN"), patternBytes(1000));
    connect();
    std::vector<std::uint8_t> got;
    // Replies: size, chunk header, then the four packets.
    const struct {
        std::size_t reply;
        SimFault fault;
    } cases[] = {{0, SimFault::shortFrame(4)},
                 {1, SimFault::shortFrame(2)},
                 {1, SimFault::chunkLength(0)},
                 {3, SimFault::shortFrame(255)},
                 {5, SimFault::shortFrame(0)}};
    for (const auto& c : cases) {
        SCOPED_TRACE("reply " + std::to_string(c.reply));
        sim.restart();
        sim.planFault(c.reply, c.fault);
        EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LINK_BAD_REPLY);
        EXPECT_TRUE(got.empty());
    }
    sim.restart();
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LINK_OK);
    EXPECT_EQ(got, patternBytes(1000));
}

TEST_F(GetTest, PathOver254BytesIsNotSent) {
    connect();
    std::vector<std::uint8_t> got(3);
    EXPECT_EQ(link->GetFile("vx:\\" + std::string(251, 'A'), "a", got), LINK_TEXT_TOO_LONG);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(sim.receivedFrames().empty());
}

// Long "seconds": a loaded machine running the sanitizers can stall one frame past a real
// second, while a lost wake-up stalls forever, which the test's own time-out still catches.
class StressTest : public LinkTest {
protected:
    StressTest() : LinkTest(std::chrono::seconds(30)) {}
};

TEST_F(StressTest, LargeRoundTrip) {
    // Thousands of frames each way; a lost wake-up anywhere stalls on a limit.
    const auto data = patternBytes(2 << 20, 7);
    sim.setRecording(false);
    connect();
    ASSERT_EQ(link->PutFile(data.data(), std::uint32_t(data.size()), "vx:\\", "big.bin"), LINK_OK);
    std::vector<std::uint8_t> got;
    ASSERT_EQ(link->GetFile("vx:\\big.bin", "big.bin", got), LINK_OK);
    EXPECT_TRUE(got == data);
}
