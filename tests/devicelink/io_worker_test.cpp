// SPDX-License-Identifier: MIT
// The IoWorker on its own, over a transport written for the test: a time-out that leaves
// the caller's buffer alone even when the transport answers late, and a long run of
// back-to-back requests in which a lost wake-up would show as a time-out. Runs of frames
// are seen in whole exchanges by the protocol's tests.
#include <devicelink/io_worker.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// A transport whose transfers wait at a gate the test opens. It ignores cancel() and answers
// late, as a stuck device might.
class GateTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    LinkResult transfer(PipeHandle, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
        std::memset(buffer, fill_, length);
        *transferred = length;
        ++finished_;
        changed_.notify_all();
        return LinkResult::Ok;
    }
    // Ignored unless the test lets a cancel open the gate.
    void cancel() override {
        if (cancelOpens_) setOpen(true);
    }
    void clearCancel() override {}
    void setCancelOpens() { cancelOpens_ = true; }

    void setOpen(bool open, std::uint8_t fill = 0xAB) {
        std::lock_guard lock(mutex_);
        open_ = open;
        fill_ = fill;
        changed_.notify_all();
    }
    void waitFinished(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finished_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    std::uint8_t fill_ = 0xAB;
    int finished_ = 0;
    std::atomic<bool> cancelOpens_{false};
};

} // namespace

TEST(IoWorkerTest, LateAnswerAfterTimeOutWritesIntoNothing) {
    GateTransport gate;
    gate.setOpen(false);
    IoWorker worker(gate, 1ms);
    std::uint32_t done = 0;
    // The caller's buffer is freed as soon as the read has given up; a late write into it
    // is a use after free under AddressSanitizer.
    {
        auto buffer = std::make_unique<std::uint8_t[]>(256);
        EXPECT_EQ(worker.BulkRead(0, buffer.get(), 256, &done, 5), LinkResult::Timeout);
    }
    std::array<std::uint8_t, 256> kept;
    kept.fill(0x11);
    // While the stuck transfer goes on, a new request waits within its own limit only.
    EXPECT_EQ(worker.BulkRead(0, kept.data(), 256, &done, 5), LinkResult::Timeout);

    gate.setOpen(true, 0xEE);
    gate.waitFinished(1);
    worker.waitIdle();
    EXPECT_TRUE(std::all_of(kept.begin(), kept.end(), [](auto b) { return b == 0x11; }));
    ASSERT_EQ(worker.BulkRead(0, kept.data(), 256, &done, 5000), LinkResult::Ok);
    EXPECT_EQ(kept[0], 0xEE);
    // Ending the worker cancels a transfer that hangs, or its thread would wait for ever.
    gate.setOpen(false);
    EXPECT_EQ(worker.BulkRead(0, kept.data(), 256, &done, 5), LinkResult::Timeout);
    gate.setCancelOpens();
}

TEST(IoWorkerTest, ManyBackToBackTransfersLoseNoWakeUp) {
    GateTransport gate;
    IoWorker worker(gate);
    std::array<std::uint8_t, 256> frame{};
    std::uint32_t done = 0;
    // 5-second limits: a single lost wake-up turns into a time-out and fails the test.
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(worker.BulkWrite(2, frame.data(), 256, &done, 5), LinkResult::Ok) << i;
        ASSERT_EQ(worker.WriteFrames(2, frame.data(), 200, 256, 5, &done), LinkResult::Ok) << i;
        ASSERT_EQ(done, 1u) << i;
        ASSERT_EQ(worker.BulkRead(0, frame.data(), 256, &done, 5), LinkResult::Ok) << i;
    }
}
