// PutFile against the simulated machine: the exact frame sequence for sizes around the
// chunk and frame boundaries, the progress callbacks and cancelling through them, and the
// result of every reply step.
#include "link_fixture.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The frames PutFile must send for data, folder and name with the given chunk size.
std::vector<SimFrame> expectedPut(const std::vector<std::uint8_t>& data, const std::string& folder,
                                  const std::string& name, std::uint32_t chunk) {
    std::vector<SimFrame> frames = {commandFrame(0xD0), stringFrame(folder), stringFrame(name),
                                    valueFrame(std::uint32_t(data.size()))};
    for (std::size_t sent = 0; sent < data.size();) {
        const std::size_t k = std::min<std::size_t>(chunk, data.size() - sent);
        frames.push_back(valueFrame(std::uint32_t(k)));
        for (std::size_t done = 0; done < k; done += 256)
            frames.push_back(
                dataFrame(data.data() + sent + done, std::min<std::size_t>(256, k - done)));
        sent += k;
    }
    frames.push_back(valueFrame(0));
    return frames;
}

} // namespace

class PutSizeTest : public LinkTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(PutSizeTest, FramesAndEndMarker) {
    connect();
    ASSERT_EQ(link->chunkSize(), 262144u);
    const auto data = patternBytes(GetParam());
    ASSERT_EQ(link->PutFile(data.data(), std::uint32_t(data.size()), "vx:\\", "file.bin"), LINK_OK);
    expectFrames(sim.receivedFrames(), expectedPut(data, "vx:\\", "file.bin", 262144));
    EXPECT_EQ(readFile(card("FILE.BIN")), data);
}

// 0: no chunk at all; 300: a short last frame; 262144: one full chunk of 1024 frames;
// 262145: a second chunk of one byte.
INSTANTIATE_TEST_SUITE_P(Sizes, PutSizeTest, ::testing::Values(0u, 300u, 262144u, 262145u),
                         [](const auto& info) { return "bytes" + std::to_string(info.param); });

using PutTest = LinkTest;

TEST_F(PutTest, OldFirmwareSendsSmallerChunks) {
    sim.setFirmware(1, 4);
    fs::create_directory(card("GAME"));
    connect();
    const auto data = patternBytes(100000);
    ASSERT_EQ(link->PutFile(data.data(), 100000, "vx:\\game\\", "level.dat"), LINK_OK);
    expectFrames(sim.receivedFrames(), expectedPut(data, "vx:\\game\\", "level.dat", 32768));
    EXPECT_EQ(readFile(card("GAME") / "LEVEL.DAT"), data);
}

TEST_F(PutTest, ProgressCallbacksSeeEveryStep) {
    connect();
    const auto data = patternBytes(300);
    std::vector<std::string> calls;
    const LinkCallbacks callbacks = recordingCallbacks(calls);
    ASSERT_EQ(link->PutFile(data.data(), 300, "vx:\\", "a.bin", callbacks), LINK_OK);
    EXPECT_EQ(calls, (std::vector<std::string>{"start a.bin vx:\\ a.bin 300", "chunk 300/300",
                                               "packet 256/300 +256", "packet 300/300 +44"}));
}

TEST_F(PutTest, CallbacksCancelTheTransfer) {
    connect();
    const auto data = patternBytes(1000);
    LinkCallbacks callbacks;
    callbacks.start = [](const LinkFileStart&) { return LINK_CANCELED; };
    EXPECT_EQ(link->PutFile(data.data(), 1000, "vx:\\", "a.bin", callbacks), LINK_CANCELED);
    EXPECT_TRUE(sim.receivedFrames().empty());

    // Cancelled before the first chunk: the end marker goes out at once, short of the size.
    callbacks.start = nullptr;
    callbacks.chunk = [](const LinkChunkProgress&) { return LINK_CANCELED; };
    EXPECT_EQ(link->PutFile(data.data(), 1000, "vx:\\", "a.bin", callbacks), LINK_CANCELED);
    expectFrames(sim.receivedFrames(), {commandFrame(0xD0), stringFrame("vx:\\"),
                                        stringFrame("a.bin"), valueFrame(1000), valueFrame(0)});
    EXPECT_FALSE(fs::exists(card("A.BIN")));
    EXPECT_FALSE(link->cancelledPutKept());

    // Cancelled inside the chunk: the rest of it goes out as zeros, then the end marker.
    sim.clearReceived();
    callbacks.chunk = nullptr;
    int packets = 0;
    callbacks.packet = [&](const LinkPacketProgress&) {
        return ++packets == 2 ? LINK_CANCELED : 0;
    };
    EXPECT_EQ(link->PutFile(data.data(), 1000, "vx:\\", "b.bin", callbacks), LINK_CANCELED);
    const std::vector<std::uint8_t> zeros(256, 0);
    expectFrames(sim.receivedFrames(),
                 {commandFrame(0xD0), stringFrame("vx:\\"), stringFrame("b.bin"), valueFrame(1000),
                  valueFrame(1000), dataFrame(data.data(), 256), dataFrame(data.data() + 256, 256),
                  dataFrame(zeros.data(), 256), dataFrame(zeros.data(), 232), valueFrame(0)});
    EXPECT_TRUE(link->connected());
    // That chunk was the file's last, so the machine took a file of full length with a
    // zero tail; removing it is the caller's part, and the machine is ready for it.
    EXPECT_TRUE(link->cancelledPutKept());
    EXPECT_EQ(link->RemoveFile("vx:\\b.bin"), LINK_OK);
    EXPECT_FALSE(fs::exists(card("B.BIN")));
    EXPECT_EQ(link->PutFile(data.data(), 1000, "vx:\\", "b.bin"), LINK_OK);
    EXPECT_EQ(readFile(card("B.BIN")), data);
}

TEST_F(PutTest, CancelBeforeTheLastChunkLeavesNoFile) {
    sim.setFirmware(1, 4); // chunks of 32768 bytes
    connect();
    const auto data = patternBytes(40000);
    LinkCallbacks callbacks;
    callbacks.packet = [](const LinkPacketProgress&) { return LINK_CANCELED; };
    EXPECT_EQ(link->PutFile(data.data(), 40000, "vx:\\", "c.bin", callbacks), LINK_CANCELED);
    const auto frames = sim.receivedFrames();
    // Command, folder, name, size, chunk length, the chunk's 128 frames, the end marker.
    ASSERT_EQ(frames.size(), 134u);
    EXPECT_EQ(frames[5], dataFrame(data.data(), 256));
    EXPECT_EQ(frames[6], SimFrame{});
    EXPECT_EQ(frames.back(), valueFrame(0));
    EXPECT_FALSE(fs::exists(card("C.BIN")));
    EXPECT_FALSE(link->cancelledPutKept());
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_OK);
    EXPECT_TRUE(list.empty());
}

TEST_F(PutTest, ResultOfEachReplyStep) {
    connect();
    const auto data = patternBytes(600);
    const auto put = [&](const char* folder = "vx:\\", const char* name = "a.bin") {
        return link->PutFile(data.data(), 600, folder, name);
    };
    EXPECT_EQ(put("vx:\\nothere\\"), LINK_NO_PATH);                // folder reply 0xFE
    EXPECT_EQ(put("vx:\\", "not an 8.3 name"), LINK_DEVICE_ERROR); // name reply 0xFF

    // Reply order: folder, name, size, chunk accepted, chunk stored, end.
    const struct {
        std::size_t reply;
        SimFault fault;
        int result;
    } cases[] = {
        {0, SimFault::replyCode(0xFF), LINK_DEVICE_ERROR},
        {0, SimFault::replyCode(0x42), LINK_BAD_REPLY},
        {1, SimFault::replyCode(0xFE), LINK_BAD_REPLY},
        {2, SimFault::replyCode(0xFF), LINK_DEVICE_ERROR},
        {2, SimFault::replyCode(0xD4), LINK_BAD_REPLY},
        {3, SimFault::replyCode(0xFF), LINK_DEVICE_ERROR},
        {3, SimFault::shortFrame(255), LINK_BAD_REPLY},
        {4, SimFault::replyCode(0xD3), LINK_BAD_REPLY},
        {5, SimFault::replyCode(0xFF), LINK_DEVICE_ERROR},
        {5, SimFault::replyCode(0xD2), LINK_BAD_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("reply " + std::to_string(c.reply));
        sim.planFault(c.reply, c.fault);
        EXPECT_EQ(put(), c.result);
        sim.restart();
    }
    EXPECT_EQ(put(), LINK_OK);
    EXPECT_EQ(readFile(card("A.BIN")), data);
}

TEST_F(PutTest, TextsOver254BytesAreNotSent) {
    connect();
    const std::uint8_t byte = 1;
    EXPECT_EQ(link->PutFile(&byte, 1, "vx:\\" + std::string(251, 'A'), "a"), LINK_TEXT_TOO_LONG);
    EXPECT_EQ(link->PutFile(&byte, 1, "vx:\\", std::string(255, 'A')), LINK_TEXT_TOO_LONG);
    EXPECT_TRUE(sim.receivedFrames().empty());
}
