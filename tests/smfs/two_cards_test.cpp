// SPDX-License-Identifier: MIT
// Two cards in one process, one thread each: one reads files off a card and hands each over,
// the other writes them onto a second card meanwhile; the copy is whole and the thread
// sanitizer build (./build.sh tsan) finds no race.
#include "test_card.h"

#include <future>
#include <thread>

namespace {

TEST(TwoCards, CopyFromOneImageToAnotherOnTwoThreads) {
    constexpr int kFiles = 12;
    const auto name = [](int i) { return "F" + std::to_string(i) + ".BIN"; };
    const auto bytes = [](int i) { return apiPattern(3000 + 7000 * std::size_t(i), unsigned(i)); };
    MemoryStorage sourceImage(blankImage(2)), targetImage(blankImage(4));
    {
        SmfsCard source(sourceImage, testClock);
        std::uint32_t bad = 0;
        ASSERT_EQ(source.format("vx:", 0, &bad), SmfsResult::Ok);
        ASSERT_EQ(source.mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
        for (int i = 0; i < kFiles; ++i)
            ASSERT_EQ(apiWriteFile(source, "vx:\\GAMES\\" + name(i), bytes(i)), SmfsResult::Ok);
    }

    std::vector<std::promise<std::vector<std::uint8_t>>> handOver(kFiles);
    SmfsResult readResult = SmfsResult::Ok, writeResult = SmfsResult::Ok;
    std::thread reader([&] {
        SmfsCard source(sourceImage, testClock);
        EXPECT_EQ(apiList(source, "vx:\\GAMES").size(), std::size_t(kFiles + 2));
        for (int i = 0; i < kFiles; ++i) {
            std::vector<std::uint8_t> piece;
            const SmfsResult r = apiReadFile(source, "vx:\\GAMES\\" + name(i), &piece);
            if (r != SmfsResult::Ok) readResult = r;
            handOver[std::size_t(i)].set_value(std::move(piece));
        }
    });
    std::thread writer([&] {
        SmfsCard target(targetImage, testClock);
        std::uint32_t bad = 0;
        writeResult = target.format("vx:", 0, &bad);
        for (int i = 0; i < kFiles; ++i) {
            const SmfsResult r = apiWriteFile(target, "vx:\\" + name(i),
                                              handOver[std::size_t(i)].get_future().get(), 4096);
            if (r != SmfsResult::Ok) writeResult = r;
        }
    });
    reader.join();
    writer.join();
    ASSERT_EQ(readResult, SmfsResult::Ok);
    ASSERT_EQ(writeResult, SmfsResult::Ok);

    SmfsCard target(targetImage, testClock);
    for (int i = 0; i < kFiles; ++i) {
        std::vector<std::uint8_t> back;
        EXPECT_EQ(apiReadFile(target, "vx:\\" + name(i), &back), SmfsResult::Ok) << name(i);
        EXPECT_TRUE(back == bytes(i)) << name(i);
    }
}

} // namespace
