// SPDX-License-Identifier: MIT
// PutFile and GetFile against the simulated machine: the exact frames for sizes around the
// chunk and frame boundaries, the progress callbacks, cancelling through them (and the
// command after a cancel), and the result of every reply step.
#include "link_fixture.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The frames PutFile must send for data with the given chunk size.
Frames expectedPut(const std::vector<std::uint8_t>& data, const std::string& folder,
                   const std::string& name, std::uint32_t chunk) {
    Frames frames = {commandFrame(LinkCommand::PutFile), stringFrame(folder), stringFrame(name),
                     valueFrame(std::uint32_t(data.size()))};
    for (std::size_t sent = 0; sent < data.size();) {
        const std::size_t k = std::min<std::size_t>(chunk, data.size() - sent);
        frames.push_back(valueFrame(std::uint32_t(k)));
        for (std::size_t done = 0; done < k; done += 256) {
            SimFrame frame{};
            std::copy_n(data.begin() + long(sent + done), std::min<std::size_t>(256, k - done),
                        frame.begin());
            frames.push_back(frame);
        }
        sent += k;
    }
    frames.push_back(valueFrame(0));
    return frames;
}

// The frames GetFile must send for a file of size bytes sent in chunks of chunk bytes.
Frames expectedGet(const std::string& path, std::size_t size, std::size_t chunk) {
    Frames frames = {commandFrame(LinkCommand::GetFile), stringFrame(path)};
    if (size == 0) frames.push_back(commandFrame(LinkCommand::GetEnd));
    for (std::size_t received = 0; received < size;) {
        const std::size_t length = std::min(chunk, size - received);
        frames.push_back(commandFrame(LinkCommand::GetChunk));
        frames.push_back(commandFrame(LinkCommand::GetData));
        for (std::size_t done = 0; done < length; done += 256) {
            const bool end = received + std::min(length, done + 256) == size;
            frames.push_back(commandFrame(end ? LinkCommand::GetEnd : LinkCommand::Next));
        }
        received += length;
    }
    return frames;
}

// Callbacks that log every call, one line each, and go on.
LinkCallbacks recordingCallbacks(std::vector<std::string>& calls) {
    LinkCallbacks callbacks;
    callbacks.start = [&calls](const LinkFileStart& r) {
        calls.push_back(std::string("start ") + r.path + " " + (r.folder ? r.folder : "-") + " " +
                        r.name + " " + std::to_string(r.size));
        return LinkResult::Ok;
    };
    callbacks.chunk = [&calls](const LinkChunkProgress& r) {
        calls.push_back("chunk " + std::to_string(r.bytesSoFar) + "/" + std::to_string(r.total));
        return LinkResult::Ok;
    };
    callbacks.packet = [&calls](const LinkPacketProgress& r) {
        calls.push_back("packet " + std::to_string(r.bytesSoFar) + "/" + std::to_string(r.total) +
                        " +" + std::to_string(r.packetBytes));
        return LinkResult::IoFailed; // anything but Canceled goes on
    };
    return callbacks;
}

} // namespace

struct SizeCase {
    std::uint32_t size;
    std::uint8_t major, minor; // before 1.5: chunks of 32768 bytes to the machine, else 262144
    std::uint16_t sendChunk;   // the machine's chunks to the PC
    std::uint32_t ahead;       // acknowledgements sent ahead of a get's packets: same frames
};
class TransferSizeTest : public LinkTest, public ::testing::WithParamInterface<SizeCase> {
protected:
    TransferSizeTest() : LinkTest(std::chrono::seconds(1), GetParam().ahead) {}
};

TEST_P(TransferSizeTest, ExactFramesBothWays) {
    const SizeCase c = GetParam();
    sim.setFirmware(c.major, c.minor);
    sim.setSendChunk(c.sendChunk);
    fs::create_directory(card("GAME"));
    connect();
    const bool old = c.major == 0 || (c.major == 1 && c.minor < 5);
    EXPECT_EQ(link->firmwareMajor(), c.major);
    EXPECT_EQ(link->deviceInfo()[kInfoFirmwareMinor], c.minor);
    const auto data = patternBytes(c.size);
    ASSERT_EQ(link->PutFile(data.data(), c.size, "vx:\\game\\", "file.bin"), LinkResult::Ok);
    expectFrames(sim.receivedFrames(),
                 expectedPut(data, "vx:\\game\\", "file.bin", old ? 32768 : 262144));
    EXPECT_EQ(readFile(card("GAME") / "FILE.BIN"), data);

    sim.clearReceived();
    std::vector<std::uint8_t> got(5, 0xCC);
    ASSERT_EQ(link->GetFile("vx:\\game\\file.bin", "file.bin", got), LinkResult::Ok);
    EXPECT_TRUE(got == data);
    expectFrames(sim.receivedFrames(), expectedGet("vx:\\game\\file.bin", c.size, c.sendChunk));
}

// Sizes around the frame and chunk boundaries; firmware around 1.5.
INSTANTIATE_TEST_SUITE_P(
    Sizes, TransferSizeTest,
    ::testing::Values(SizeCase{0, 2, 0, 32768, 0}, SizeCase{1, 1, 5, 32768, 0},
                      SizeCase{300, 2, 0, 256, 7}, SizeCase{5000, 0, 9, 1000, 0},
                      SizeCase{5000, 0, 9, 1000, 7}, SizeCase{100000, 1, 4, 65535, 7},
                      SizeCase{262144, 2, 0, 32768, 0}, SizeCase{262145, 1, 5, 65535, 32}),
    [](const auto& info) {
        return "bytes" + std::to_string(info.param.size) + "ahead" +
               std::to_string(info.param.ahead);
    });

using TransferTest = LinkTest;

TEST_F(TransferTest, ProgressCallbacksSeeEveryStep) {
    sim.setSendChunk(512);
    connect();
    const auto data = patternBytes(600);
    std::vector<std::string> calls;
    ASSERT_EQ(link->PutFile(data.data(), 600, "vx:\\", "a.bin", recordingCallbacks(calls)),
              LinkResult::Ok);
    EXPECT_EQ(calls, (std::vector<std::string>{"start a.bin vx:\\ a.bin 600", "chunk 600/600",
                                               "packet 256/600 +256", "packet 512/600 +256",
                                               "packet 600/600 +88"}));
    calls.clear();
    std::vector<std::uint8_t> got;
    ASSERT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got, recordingCallbacks(calls)), LinkResult::Ok);
    EXPECT_EQ(calls, (std::vector<std::string>{"start vx:\\a.bin - a.bin 600", "chunk 512/600",
                                               "packet 256/600 +256", "packet 512/600 +256",
                                               "chunk 600/600", "packet 600/600 +88"}));
}

TEST_F(TransferTest, StoppedPutEndsItsExchange) {
    sim.setFirmware(1, 4); // chunks of 32768 bytes
    connect();
    const auto data = patternBytes(40000);
    // Cancelled at the start, at a chunk, inside one, inside the last, or the source failing
    // at the second: frames sent (a chunk goes whole, then the end marker), file kept.
    const auto at = [](std::uint32_t bytes) {
        return [bytes](const LinkPacketProgress& p) {
            return p.bytesSoFar == bytes ? LinkResult::Canceled : LinkResult::Ok;
        };
    };
    const struct {
        LinkCallbacks callbacks;
        std::size_t frames;
        bool kept;
        std::uint32_t sourceFailsAt = 40000;
    } cases[] = {
        {{[](const LinkFileStart&) { return LinkResult::Canceled; }, nullptr, nullptr}, 0, false},
        {{nullptr, [](const LinkChunkProgress&) { return LinkResult::Canceled; }, nullptr},
         5,
         false},
        {{nullptr, nullptr, at(512)}, 4 + 1 + 128 + 1, false},
        {{}, 4 + 1 + 128 + 1, false, 32768},
        {{nullptr, nullptr, at(33024)}, 4 + 1 + 128 + 1 + 29 + 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        sim.clearReceived();
        std::uint32_t pulled = 0;
        const LinkSource source = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            if (pulled == c.sourceFailsAt) return false;
            std::copy_n(data.begin() + pulled, bytes, buffer);
            pulled += bytes;
            return true;
        };
        EXPECT_EQ(link->PutFile(40000, source, "vx:\\", "a.bin", c.callbacks),
                  c.sourceFailsAt < 40000 ? LinkResult::ReadFailed : LinkResult::Canceled);
        EXPECT_EQ(sim.receivedFrames().size(), c.frames);
        EXPECT_EQ(c.frames > 0 ? sim.receivedFrames().back() : valueFrame(0), valueFrame(0));
        EXPECT_EQ(link->cancelledPutKept(), c.kept);
        EXPECT_EQ(fs::exists(card("A.BIN")), c.kept);
    }
    // Removing the kept file is the caller's part, and the machine is ready for it.
    EXPECT_EQ(link->RemoveFile("vx:\\a.bin"), LinkResult::Ok);
}

TEST_F(TransferTest, StoppedGetEndsItsExchangeAndTheNextCommandIsServed) {
    writeFile(card("A.BIN"), patternBytes(1000));
    sim.setSendChunk(512);
    connect();
    const Frames atPacket = {commandFrame(LinkCommand::GetChunk),
                             commandFrame(LinkCommand::GetData), commandFrame(LinkCommand::Next),
                             commandFrame(LinkCommand::Next), commandFrame(LinkCommand::GetEnd)};
    const struct {
        const char* what;
        LinkCallbacks callbacks;
        Frames frames;
        bool sinkFails = false;
    } cases[] = {
        {"at the start",
         {[](const LinkFileStart&) { return LinkResult::Canceled; }, nullptr, nullptr},
         {commandFrame(LinkCommand::GetEnd)}},
        {"at a chunk header",
         {nullptr, [](const LinkChunkProgress&) { return LinkResult::Canceled; }, nullptr},
         {commandFrame(LinkCommand::GetChunk), commandFrame(LinkCommand::GetEnd)}},
        {"at a packet",
         {nullptr, nullptr, [](const LinkPacketProgress&) { return LinkResult::Canceled; }},
         atPacket},
        {"by its sink", {}, atPacket, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.clearReceived();
        const LinkSink sink = [&c](const std::uint8_t*, std::uint32_t) { return !c.sinkFails; };
        EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", sink, c.callbacks),
                  c.sinkFails ? LinkResult::WriteFailed : LinkResult::Canceled);
        Frames frames = {commandFrame(LinkCommand::GetFile), stringFrame("vx:\\a.bin")};
        frames.insert(frames.end(), c.frames.begin(), c.frames.end());
        expectFrames(sim.receivedFrames(), frames);
        EXPECT_EQ(link->MakeFolder("vx:\\no\\sub"), LinkResult::NoPath);
        EXPECT_EQ(link->MakeFolder("vx:\\new"), LinkResult::Ok);
        EXPECT_EQ(link->RemoveFolder("vx:\\new"), LinkResult::Ok);
    }
}

TEST_F(TransferTest, PutResultOfEachReplyStep) {
    connect();
    const auto data = patternBytes(600);
    const auto put = [&](const char* folder = "vx:\\", const char* name = "a.bin") {
        return link->PutFile(data.data(), 600, folder, name);
    };
    EXPECT_EQ(put("vx:\\nothere\\"), LinkResult::NoPath);
    EXPECT_EQ(put("vx:\\", "not an 8.3 name"), LinkResult::DeviceError);
    // Reply order: folder, name, size, chunk accepted, chunk stored, end.
    const struct {
        std::size_t reply;
        SimFault fault;
        LinkResult result;
    } cases[] = {
        {0, SimFault::replyCode(0xFF), LinkResult::DeviceError},
        {0, SimFault::replyCode(0x42), LinkResult::BadReply},
        {3, SimFault::replyCode(0xFE), LinkResult::BadReply},
        {1, SimFault::replyCode(0xFE), LinkResult::BadReply},
        {1, SimFault::replyCode(0xFF), LinkResult::DeviceError},
        {2, SimFault::replyCode(0xFF), LinkResult::DeviceError},
        {2, SimFault::replyCode(0xFE), LinkResult::BadReply},
        {3, SimFault::replyCode(0xFF), LinkResult::DeviceError},
        {3, SimFault::shortFrame(255), LinkResult::BadReply},
        {4, SimFault::replyCode(code(LinkReply::PutChunkOk)), LinkResult::BadReply},
        {5, SimFault::replyCode(0xFF), LinkResult::DeviceError},
        {5, SimFault::replyCode(code(LinkReply::PutReady)), LinkResult::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("reply " + std::to_string(c.reply));
        sim.planFault(c.reply, c.fault);
        EXPECT_EQ(put(), c.result);
        sim.restart();
    }
    EXPECT_EQ(put(), LinkResult::Ok);
    EXPECT_EQ(readFile(card("A.BIN")), data);
}

TEST_F(TransferTest, GetRefusesSizesAndChunksTheDataDoesNotFit) {
    writeFile(card("A.BIN"), patternBytes(1000));
    connect();
    // Replies: size, chunk header, then the four packets.
    const struct {
        std::size_t reply;
        SimFault fault;
        std::size_t framesSent; // by the PC; nothing after the broken reply
    } cases[] = {
        {0, SimFault::shortFrame(4), 2},
        {0, SimFault::fileSize(kLargestCardBytes + 1), 2},
        {0, SimFault::fileSize(kLargestCardBytes), 9}, // the largest is asked for
        {0, SimFault::fileSize(10), 3},                // the chunk header announces more than that
        {1, SimFault::shortFrame(2), 3},
        {1, SimFault::chunkLength(0), 3},
        {1, SimFault::chunkLength(1001), 3},
        {3, SimFault::shortFrame(255), 5},
        {5, SimFault::shortFrame(0), 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        sim.restart();
        sim.clearReceived();
        sim.planFault(c.reply, c.fault);
        std::vector<std::uint8_t> got;
        EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LinkResult::BadReply);
        EXPECT_EQ(got.capacity(), 0u);
        EXPECT_EQ(sim.receivedFrames().size(), c.framesSent);
    }
    std::vector<std::uint8_t> got;
    EXPECT_EQ(link->GetFile("vx:\\nothere.bin", "nothere.bin", got), LinkResult::BadReply);
    sim.restart();
    EXPECT_EQ(link->GetFile("vx:\\a.bin", "a.bin", got), LinkResult::Ok);
    EXPECT_EQ(got, patternBytes(1000));
}
