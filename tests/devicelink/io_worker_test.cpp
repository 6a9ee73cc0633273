// The IoWorker on its own, over transports written for the test: transfers carried out in
// time, time-outs that cancel the transfer and leave the caller's buffer alone even when
// the transport answers late, and a long run of back-to-back transfers in which a lost
// wake-up would show as a time-out.
#include <devicelink/io_worker.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// A transport whose transfers wait at a gate the test opens. With honourCancel off it
// ignores cancel() and answers late, as a stuck device might.
class GateTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_ || (honourCancel_ && cancelled_); });
        if (!open_) return kTransferCancelled;
        std::memset(buffer, fill_, length);
        *transferred = length;
        ++finished_;
        changed_.notify_all();
        return kTransferDone;
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        ++cancels_;
        changed_.notify_all();
    }
    void clearCancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }

    void setOpen(bool open, std::uint8_t fill = 0xAB) {
        std::lock_guard lock(mutex_);
        open_ = open;
        fill_ = fill;
        changed_.notify_all();
    }
    void setHonourCancel(bool honour) {
        std::lock_guard lock(mutex_);
        honourCancel_ = honour;
    }
    void waitFinished(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finished_ >= count; });
    }
    int cancels() {
        std::lock_guard lock(mutex_);
        return cancels_;
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    bool honourCancel_ = true;
    bool cancelled_ = false;
    std::uint8_t fill_ = 0xAB;
    int started_ = 0, finished_ = 0, cancels_ = 0;
};

// Completes at once: a write stores the frame, a read returns the last frame written.
class LoopbackTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        if (pipe == 2)
            std::memcpy(stored_.data(), buffer, std::min<std::size_t>(length, stored_.size()));
        else
            std::memcpy(buffer, stored_.data(), std::min<std::size_t>(length, stored_.size()));
        *transferred = length;
        return kTransferDone;
    }
    void cancel() override {}
    void clearCancel() override {}

private:
    std::array<std::uint8_t, 256> stored_{};
};

class FailingTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle, std::uint8_t*, std::uint32_t, std::uint32_t*) override {
        return kTransferFailed;
    }
    void cancel() override {}
    void clearCancel() override {}
};

} // namespace

TEST(IoWorkerTest, TransferInTimeDeliversTheBytes) {
    GateTransport gate;
    IoWorker worker(gate);
    std::array<std::uint8_t, 256> buffer{};
    std::uint32_t done = 0;
    ASSERT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 5), 0);
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[255], 0xAB);
}

TEST(IoWorkerTest, TransportFailureIsReported) {
    FailingTransport failing;
    IoWorker worker(failing);
    std::array<std::uint8_t, 256> buffer{};
    std::uint32_t done = 7;
    EXPECT_EQ(worker.BulkWrite(2, buffer.data(), 256, &done, 5), kTransferFailed);
    EXPECT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 5), kTransferFailed);
    EXPECT_EQ(done, 7u);
}

TEST(IoWorkerTest, SilentTransferTimesOutAndIsCancelled) {
    GateTransport gate;
    gate.setOpen(false);
    IoWorker worker(gate, 2ms);
    std::array<std::uint8_t, 256> buffer{};
    std::uint32_t done = 0;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 40), kBulkTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms); // 40 scaled seconds
    worker.waitIdle();
    // Unless the limit ran out before the worker even picked the request up, the transfer
    // was cancelled.
    EXPECT_EQ(gate.cancels(), gate.started());

    // The same worker serves the next request.
    gate.setOpen(true, 0x5A);
    ASSERT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 40), 0);
    EXPECT_EQ(buffer[0], 0x5A);
}

TEST(IoWorkerTest, LateAnswerAfterTimeOutWritesIntoNothing) {
    GateTransport gate;
    gate.setOpen(false);
    gate.setHonourCancel(false);
    IoWorker worker(gate, 1ms);
    std::uint32_t done = 0;

    // The caller's buffer is freed as soon as the read has given up; a late write into
    // it is a use after free under AddressSanitizer.
    // A request the worker never picked up is simply taken back; repeat until one is stuck
    // inside the transport.
    do {
        auto buffer = std::make_unique<std::uint8_t[]>(256);
        EXPECT_EQ(worker.BulkRead(0, buffer.get(), 256, &done, 5), kBulkTimeout);
    } while (gate.started() == 0);
    std::array<std::uint8_t, 256> kept;
    kept.fill(0x11);
    // While the stuck transfer goes on, a new request waits within its own limit only.
    EXPECT_EQ(worker.BulkRead(0, kept.data(), 256, &done, 5), kBulkTimeout);

    gate.setOpen(true, 0xEE);
    gate.waitFinished(1);
    worker.waitIdle();
    EXPECT_TRUE(std::all_of(kept.begin(), kept.end(), [](auto b) { return b == 0x11; }));

    ASSERT_EQ(worker.BulkRead(0, kept.data(), 256, &done, 5000), 0);
    EXPECT_EQ(kept[0], 0xEE);
}

TEST(IoWorkerTest, WriteDataIsTakenWhenPosted) {
    LoopbackTransport loop;
    IoWorker worker(loop);
    std::array<std::uint8_t, 256> frame{}, back{};
    std::uint32_t done = 0;
    frame.fill(0x42);
    ASSERT_EQ(worker.BulkWrite(2, frame.data(), 256, &done, 5), 0);
    frame.fill(0);
    ASSERT_EQ(worker.BulkRead(0, back.data(), 256, &done, 5), 0);
    EXPECT_EQ(back[200], 0x42);
}

TEST(IoWorkerTest, ManyBackToBackTransfersLoseNoWakeUp) {
    LoopbackTransport loop;
    IoWorker worker(loop);
    std::array<std::uint8_t, 256> frame{}, back{};
    std::uint32_t done = 0;
    // 5-second limits: a single lost wake-up turns into a time-out and fails the test.
    for (int i = 0; i < 10000; ++i) {
        frame[0] = std::uint8_t(i);
        frame[255] = std::uint8_t(i >> 8);
        ASSERT_EQ(worker.BulkWrite(2, frame.data(), 256, &done, 5), 0) << "transfer " << i;
        ASSERT_EQ(worker.BulkRead(0, back.data(), 256, &done, 5), 0) << "transfer " << i;
        ASSERT_EQ(back, frame) << "transfer " << i;
    }
}
