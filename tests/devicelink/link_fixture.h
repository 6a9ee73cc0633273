// Shared set-up of the device link tests: a simulated machine serving a temporary folder,
// a link to it over the in-process transport, and builders for the frames the PC is
// expected to send, so a test can compare whole exchanges byte for byte.
#pragma once

#include "fakes/temp_dir.h"

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline SimFrame commandFrame(std::uint8_t code) {
    SimFrame frame{};
    frame[0] = code;
    return frame;
}

inline SimFrame stringFrame(std::string_view text) {
    SimFrame frame{};
    frame[0] = std::uint8_t(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        frame[1 + i] = std::uint8_t(text[i]);
    return frame;
}

inline SimFrame valueFrame(std::uint32_t value) {
    SimFrame frame{};
    for (int i = 0; i < 4; ++i)
        frame[i] = std::uint8_t(value >> (8 * i));
    return frame;
}

inline SimFrame dataFrame(const std::uint8_t* bytes, std::size_t count) {
    SimFrame frame{};
    for (std::size_t i = 0; i < count; ++i)
        frame[i] = bytes[i];
    return frame;
}

// Compares exchanges frame by frame so a failure names the first frame that differs.
inline void expectFrames(const std::vector<SimFrame>& actual,
                         const std::vector<SimFrame>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_EQ(actual[i], expected[i]) << "frame " << i;
}

// Callbacks that log every call of a transfer into calls, one line each, and go on.
inline LinkCallbacks recordingCallbacks(std::vector<std::string>& calls) {
    LinkCallbacks callbacks;
    callbacks.start = [&calls](const LinkFileStart& r) {
        calls.push_back(std::string("start ") + r.path + " " + (r.folder ? r.folder : "-") + " " +
                        r.name + " " + std::to_string(r.size));
        return -12; // what the manager returns: go on
    };
    callbacks.chunk = [&calls](const LinkChunkProgress& r) {
        calls.push_back("chunk " + std::to_string(r.bytesSoFar) + "/" + std::to_string(r.total));
        return 0;
    };
    callbacks.packet = [&calls](const LinkPacketProgress& r) {
        calls.push_back("packet " + std::to_string(r.bytesSoFar) + "/" + std::to_string(r.total) +
                        " +" + std::to_string(r.packetBytes));
        return -12;
    };
    return callbacks;
}

// Bytes that differ from one position to the next, so a shifted or repeated frame shows.
inline std::vector<std::uint8_t> patternBytes(std::size_t count, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = std::uint8_t(state >> 16);
    }
    return bytes;
}

inline void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A machine reduced to a script: every read returns the frame reply(n) for the n-th read,
// and writes are only counted. For replies no well-behaved machine would give.
class ScriptedTransport final : public LinkTransport {
public:
    explicit ScriptedTransport(std::function<SimFrame(std::size_t)> reply)
        : reply_(std::move(reply)) {}
    PipeHandle OpenPipe(const char* name) override { return std::string(name) == kPipeIn ? 0 : 2; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        if (pipe == 2) {
            ++writes;
        } else {
            const SimFrame frame = reply_(reads++);
            std::copy_n(frame.begin(), std::min<std::size_t>(length, frame.size()), buffer);
        }
        *transferred = length;
        return kTransferDone;
    }
    void cancel() override {}
    void clearCancel() override {}

    std::atomic<std::size_t> reads{0}, writes{0};

private:
    std::function<SimFrame(std::size_t)> reply_;
};

class LinkTest : public ::testing::Test {
protected:
    // Real seconds: the machine answers at once, so no limit is ever reached here.
    explicit LinkTest(std::chrono::microseconds second = std::chrono::seconds(1))
        : sim(dir / "card"),
          link(std::make_unique<DeviceLink>(makeSimTransport(sim), options(second))) {}

    static LinkOptions options(std::chrono::microseconds second) {
        LinkOptions options;
        options.secondLength = second;
        return options;
    }

    void connect() {
        ASSERT_EQ(link->Connect(), LINK_OK);
        sim.clearReceived();
    }

    std::filesystem::path card(const std::string& name) const { return dir / "card" / name; }

    TempDir dir;
    SimMachine sim;
    std::unique_ptr<DeviceLink> link;
};
