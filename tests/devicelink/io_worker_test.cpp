// The IoWorker on its own, over transports written for the test: transfers and runs of
// frames carried out in time, time-outs that cancel the transfer and leave the caller's
// buffer alone even when the transport answers late, and a long run of back-to-back
// transfers in which a lost wake-up would show as a time-out.
#include <devicelink/io_worker.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A transport whose transfers wait at a gate the test opens. With honourCancel off it
// ignores cancel() and answers late, as a stuck device might.
class GateTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    LinkResult transfer(PipeHandle, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        std::unique_lock lock(mutex_);
        ++started_;
        changed_.wait(lock, [this] { return open_ || (honourCancel_ && cancelled_); });
        if (!open_) return LinkResult::Canceled;
        std::memset(buffer, fill_, length);
        *transferred = length;
        ++finished_;
        changed_.notify_all();
        return fail_ ? LinkResult::IoFailed : LinkResult::Ok;
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
    void setHonourCancel(bool honour) { honourCancel_ = honour; }
    void setFail(bool fail) { fail_ = fail; }
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
    bool open_ = true, honourCancel_ = true, cancelled_ = false, fail_ = false;
    std::uint8_t fill_ = 0xAB;
    int started_ = 0, finished_ = 0, cancels_ = 0;
};

// Writes (pipe 2) are kept; reads (pipe 0) return the queued replies, a read with none
// left fails.
class ScriptTransport final : public LinkTransport {
public:
    PipeHandle OpenPipe(const char*) override { return 0; }
    void ClosePipe(PipeHandle) override {}
    LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        if (pipe == 2) {
            written.emplace_back(buffer, buffer + length);
            *transferred = length;
            return LinkResult::Ok;
        }
        if (replies.empty()) return LinkResult::IoFailed;
        const std::vector<std::uint8_t> reply = replies.front();
        replies.pop_front();
        std::memcpy(buffer, reply.data(), std::min<std::size_t>(length, reply.size()));
        *transferred = std::uint32_t(reply.size());
        return LinkResult::Ok;
    }
    void cancel() override {}
    void clearCancel() override {}

    std::vector<std::vector<std::uint8_t>> written;
    std::deque<std::vector<std::uint8_t>> replies;
};

} // namespace

TEST(IoWorkerTest, TransferInTimeOrFailed) {
    GateTransport gate;
    IoWorker worker(gate);
    std::array<std::uint8_t, 256> buffer{};
    std::uint32_t done = 0;
    ASSERT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 5), LinkResult::Ok);
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(buffer[255], 0xAB);
    gate.setFail(true);
    done = 7;
    buffer.fill(0);
    EXPECT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 5), LinkResult::IoFailed);
    EXPECT_EQ(worker.BulkWrite(2, buffer.data(), 256, &done, 5), LinkResult::IoFailed);
    EXPECT_EQ(done, 7u);
    EXPECT_EQ(buffer[0], 0);
}

TEST(IoWorkerTest, SilentTransferTimesOutAndIsCancelled) {
    GateTransport gate;
    gate.setOpen(false);
    IoWorker worker(gate, 2ms);
    std::array<std::uint8_t, 256> buffer{};
    std::uint32_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 40), LinkResult::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms); // 40 scaled seconds
    worker.waitIdle();
    // Unless the limit ran out before the worker even picked the request up, the transfer
    // was cancelled.
    EXPECT_EQ(gate.cancels(), gate.started());
    EXPECT_EQ(worker.BulkReadWithin(0, buffer.data(), 256, &done, 1ms), LinkResult::Timeout);

    gate.setOpen(true, 0x5A);
    ASSERT_EQ(worker.BulkRead(0, buffer.data(), 256, &done, 40), LinkResult::Ok);
    EXPECT_EQ(buffer[0], 0x5A);
}

TEST(IoWorkerTest, LateAnswerAfterTimeOutWritesIntoNothing) {
    GateTransport gate;
    gate.setOpen(false);
    gate.setHonourCancel(false);
    IoWorker worker(gate, 1ms);
    std::uint32_t done = 0;
    // The caller's buffer is freed as soon as the read has given up; a late write into it
    // is a use after free under AddressSanitizer.
    {
        auto buffer = std::make_unique<std::uint8_t[]>(256);
        EXPECT_EQ(worker.BulkRead(0, buffer.get(), 256, &done, 5), LinkResult::Timeout);
        EXPECT_EQ(gate.started(), 1);
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
}

TEST(IoWorkerTest, RunsOfFrames) {
    ScriptTransport script;
    IoWorker worker(script);
    // 600 bytes: three frames, the last zero-padded.
    std::vector<std::uint8_t> data(600);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i % 251 + 1);
    std::uint32_t frames = 0;
    ASSERT_EQ(worker.WriteFrames(2, data.data(), 600, 256, 5, &frames), LinkResult::Ok);
    EXPECT_EQ(frames, 3u);
    ASSERT_EQ(script.written.size(), 3u);
    EXPECT_TRUE(std::equal(data.begin() + 512, data.end(), script.written[2].begin()));
    EXPECT_TRUE(std::all_of(script.written[2].begin() + 88, script.written[2].end(),
                            [](auto b) { return b == 0; }));

    // Reads acknowledged one by one, the last with its own frame; a short read ends the run
    // without an acknowledgement.
    script.written.clear();
    const std::vector<std::uint8_t> ack(256, 3), lastAck(256, 0x73);
    for (std::uint8_t fill : {1, 2, 3})
        script.replies.emplace_back(256, fill);
    std::vector<std::uint8_t> out(3 * 256);
    std::uint32_t length = 0;
    ASSERT_EQ(
        worker.ReadAcked(0, 2, out.data(), 3, 256, ack.data(), lastAck.data(), 5, &frames, &length),
        LinkResult::Ok);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(out[256], 2);
    EXPECT_EQ(out[767], 3);
    EXPECT_EQ(script.written, (std::vector<std::vector<std::uint8_t>>{ack, ack, lastAck}));

    script.written.clear();
    script.replies = {std::vector<std::uint8_t>(256, 9), std::vector<std::uint8_t>(255, 9)};
    ASSERT_EQ(
        worker.ReadAcked(0, 2, out.data(), 3, 256, ack.data(), lastAck.data(), 5, &frames, &length),
        LinkResult::Ok);
    EXPECT_EQ(frames, 1u);
    EXPECT_EQ(length, 255u);
    EXPECT_EQ(script.written.size(), 1u);
    // A read that fails fails the run.
    EXPECT_EQ(
        worker.ReadAcked(0, 2, out.data(), 1, 256, ack.data(), lastAck.data(), 5, &frames, &length),
        LinkResult::IoFailed);
}

TEST(IoWorkerTest, ManyBackToBackTransfersLoseNoWakeUp) {
    ScriptTransport script;
    IoWorker worker(script);
    std::array<std::uint8_t, 256> frame{}, back{};
    std::uint32_t done = 0;
    // 5-second limits: a single lost wake-up turns into a time-out and fails the test.
    for (int i = 0; i < 3000; ++i) {
        frame[0] = std::uint8_t(i);
        frame[255] = std::uint8_t(i >> 8);
        ASSERT_EQ(worker.BulkWrite(2, frame.data(), 256, &done, 5), LinkResult::Ok) << i;
        script.replies.push_back(script.written.back());
        ASSERT_EQ(worker.BulkRead(0, back.data(), 256, &done, 5), LinkResult::Ok) << i;
        ASSERT_EQ(back, frame) << i;
    }
}
