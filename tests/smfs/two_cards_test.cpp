// SPDX-License-Identifier: MIT
// Two cards in one process, each used from its own thread: one thread reads files off a
// source card and hands them over, the other writes them onto a destination card, at the
// same time. Nothing is shared between the cards, so the copy is whole and the thread
// sanitizer build (./build.sh tsan) finds no race.
#include "test_card.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace {

struct Piece {
    std::string path;
    std::vector<std::uint8_t> bytes;
};

// The hand-over between the two threads: the only thing they share.
class Queue {
public:
    void push(std::optional<Piece> piece) {
        {
            std::lock_guard lock(mutex_);
            pieces_.push_back(std::move(piece));
        }
        ready_.notify_one();
    }
    std::optional<Piece> pop() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !pieces_.empty(); });
        std::optional<Piece> piece = std::move(pieces_.front());
        pieces_.pop_front();
        return piece;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::optional<Piece>> pieces_;
};

TEST(TwoCards, CopyFromOneImageToAnotherOnTwoThreads) {
    constexpr int kFiles = 12;
    MemoryStorage sourceImage(blankImage(2)), targetImage(blankImage(4));
    {
        SmfsCard source(sourceImage, testClock);
        std::uint32_t bad = 0;
        ASSERT_EQ(source.format("vx:", 0, &bad), SmfsResult::Ok);
        ASSERT_EQ(source.mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
        for (int i = 0; i < kFiles; ++i)
            ASSERT_EQ(apiWriteFile(source, "vx:\\GAMES\\F" + std::to_string(i) + ".BIN",
                                   apiPattern(3000 + 7000 * i, unsigned(i))),
                      SmfsResult::Ok);
    }

    Queue queue;
    SmfsResult readResult = SmfsResult::Ok, writeResult = SmfsResult::Ok;
    std::thread reader([&] {
        SmfsCard source(sourceImage, testClock);
        for (const std::string& name : apiList(source, "vx:\\GAMES")) {
            if (name == "." || name == "..") continue;
            Piece piece{"vx:\\" + name, {}};
            const SmfsResult r = apiReadFile(source, "vx:\\GAMES\\" + name, &piece.bytes);
            if (r != SmfsResult::Ok) readResult = r;
            queue.push(std::move(piece));
        }
        queue.push(std::nullopt);
    });
    std::thread writer([&] {
        SmfsCard target(targetImage, testClock);
        std::uint32_t bad = 0;
        writeResult = target.format("vx:", 0, &bad);
        while (std::optional<Piece> piece = queue.pop()) {
            const SmfsResult r = apiWriteFile(target, piece->path, piece->bytes, 4096);
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
        const std::string path = "vx:\\F" + std::to_string(i) + ".BIN";
        ASSERT_EQ(apiReadFile(target, path, &back), SmfsResult::Ok) << path;
        EXPECT_TRUE(back == apiPattern(3000 + 7000 * i, unsigned(i))) << path;
    }
    SmfsCheckReport report;
    ASSERT_EQ(target.check(&report), SmfsResult::Ok);
    EXPECT_TRUE(report.clean()) << apiFindingsText(report);
}

} // namespace
