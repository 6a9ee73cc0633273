// SPDX-License-Identifier: MIT
// The machine card on its own over the simulated machine: files stream through in chunks,
// a PC side that fails mid-way leaves nothing half-written on the machine, and a file to be
// replaced stays when its replacement cannot even be read.
#include "fakes/temp_dir.h"

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <smcmanager/card_storage.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

struct QuietTransfer final : CardTransfer {
    void step(const std::string&) override {}
    bool start(std::uint64_t) override { return true; }
    bool piece(std::uint64_t, std::uint32_t) override { return true; }
};

std::vector<std::uint8_t> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(MachineCardTest, PcSideFailuresLeaveTheMachineAsItWas) {
    TempDir dir;
    SimMachine sim(dir / "card");
    DeviceLink link(makeSimTransport(sim));
    ASSERT_EQ(link.Connect(), LinkResult::Ok);
    const auto card = machineCard(link);
    const std::vector<std::uint8_t> old = {1, 2, 3};
    std::ofstream(dir / "card" / "A.BIN", std::ios::binary).write("\1\2\3", 3);
    QuietTransfer transfer;
    // A file of two chunks and a bit; the PC file gives out after failAt bytes.
    std::vector<std::uint8_t> data(600000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7 + i / 251);
    const struct {
        const char* name;
        bool replace;
        std::size_t failAt;
        bool written;
    } cases[] = {
        {"a.bin", true, 0, false},          // unreadable: the old file stays
        {"b.bin", false, 300000, false},    // fails inside: nothing kept
        {"a.bin", true, data.size(), true}, // replaced, whole
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failAt);
        std::size_t pulled = 0;
        const CardSource source = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            if (pulled + bytes > c.failAt) return false;
            std::copy_n(data.begin() + long(pulled), bytes, buffer);
            pulled += bytes;
            return true;
        };
        const CardResult result =
            card->write("vx:\\", c.name, data.size(), c.replace, transfer, source);
        EXPECT_EQ(bool(result), c.written);
        EXPECT_EQ(result.message, "");
        const fs::path file = dir / "card" / (c.name[0] == 'a' ? "A.BIN" : "B.BIN");
        EXPECT_EQ(bytesOf(file), c.written ? data : c.replace ? old : std::vector<std::uint8_t>{});
    }
    // Read back in chunks; a sink that fails ends the read without a message of its own.
    std::vector<std::uint8_t> got;
    EXPECT_TRUE(card->read("vx:\\a.bin", transfer, [&](const std::uint8_t* p, std::uint32_t n) {
        got.insert(got.end(), p, p + n);
        return true;
    }));
    EXPECT_EQ(got, data);
    const CardResult failed = card->read("vx:\\a.bin", transfer,
                                         [](const std::uint8_t*, std::uint32_t) { return false; });
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.message, "");
    EXPECT_EQ(link.MakeFolder("vx:\\next"), LinkResult::Ok);
    EXPECT_EQ(card->write("vx:\\", "c.bin", kLargestCardBytes + 1ull, true, transfer, {}).message,
              "file is larger than any SMC.");
}
