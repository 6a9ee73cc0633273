// SPDX-License-Identifier: MIT
// Shared set-up of the device link tests: a simulated machine serving a temporary folder, a
// link to it in the same process, and the frames the PC must send, byte for byte.
#pragma once

#include "fakes/temp_dir.h"
#include "fakes/test_bytes.h"

#include <common/le_bytes.h>
#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using Frames = std::vector<SimFrame>;

inline SimFrame commandFrame(LinkCommand command) {
    SimFrame frame{};
    frame[0] = code(command);
    return frame;
}

inline SimFrame stringFrame(std::string_view text) {
    SimFrame frame{};
    frame[0] = std::uint8_t(text.size());
    std::copy(text.begin(), text.end(), frame.begin() + 1);
    return frame;
}

inline SimFrame valueFrame(std::uint32_t value) {
    SimFrame frame{};
    putLe32(frame.data(), value);
    return frame;
}

// Compares exchanges frame by frame, naming the first frame that differs.
inline void expectFrames(const Frames& actual, const Frames& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_EQ(actual[i], expected[i]) << "frame " << i;
}

class LinkTest : public ::testing::Test {
protected:
    // Real seconds by default; the machine queues replies before a read, so 1 ms drains.
    explicit LinkTest(std::chrono::microseconds second = std::chrono::seconds(1),
                      std::uint32_t acknowledgementsAhead = 0)
        : sim(dir / "card"),
          link(std::make_unique<DeviceLink>(makeSimTransport(sim, acknowledgementsAhead), [&] {
              LinkOptions options;
              options.secondLength = second;
              options.quietTime = std::chrono::milliseconds(1);
              return options;
          }())) {}

    void connect() {
        ASSERT_EQ(link->Connect(), LinkResult::Ok);
        sim.clearReceived();
    }

    std::filesystem::path card(const std::string& name) const { return dir / "card" / name; }

    TempDir dir;
    SimMachine sim;
    std::unique_ptr<DeviceLink> link;
};
