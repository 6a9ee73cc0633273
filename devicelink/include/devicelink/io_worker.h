// IoWorker: the one thread that carries every transfer of a link, and the two calls with
// which the requesting thread hands it a transfer and waits for it under a time limit.
//
// There is a single request slot. The requester fills it, wakes the worker and sleeps on a
// condition variable until the worker reports the transfer done or the time limit passes;
// it never spins. Data moves through the worker's own staging buffer: a write is copied in
// before the request is posted, a read is copied out by the requester only when the
// transfer completed in time. So once BulkRead or BulkWrite has returned, whatever the
// transport still does can touch only the staging buffer, never the caller's.
//
// As threads cannot be killed safely, a time-out cancels the transfer in flight through the
// transport instead and the same worker serves the next request once the transport has
// given up. A request that finds the worker still busy waits for it within its own time
// limit. Time limits are given in the protocol's whole seconds; the length of one such
// second is set at construction so tests can shrink it.
//
// While it waits, the requester can be handed back to its owner: an idle hook, when set, is
// called on the requesting thread about every idle interval (a window thread repaints
// there). The wait is cut into slices for it; the deadline stays the same. A transfer asked
// for from inside the hook is refused, so the hook cannot start another exchange.
#pragma once

#include "devicelink/transport.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Results of BulkWrite and BulkRead besides 0 (done) and kTransferFailed.
inline constexpr int kBulkTimeout = -1;

class IoWorker {
public:
    // Starts the worker thread for transfers on transport, which must outlive the worker.
    // secondLength is the real length of one second of a time limit.
    explicit IoWorker(LinkTransport& transport,
                      std::chrono::microseconds secondLength = std::chrono::seconds(1));
    // Cancels any transfer in flight and ends the thread.
    ~IoWorker();
    IoWorker(const IoWorker&) = delete;
    IoWorker& operator=(const IoWorker&) = delete;

    // Writes length bytes from buffer on pipe through the worker. Returns 0 with *bytesDone
    // set when it completed within seconds, kBulkTimeout (-1) when it did not (the transfer
    // is cancelled), kTransferFailed when the transport reported a failure.
    [[nodiscard]] int BulkWrite(PipeHandle pipe, const std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* bytesDone, std::uint32_t seconds);
    // Reads up to length bytes into buffer from pipe; results as BulkWrite. Nothing is
    // stored in buffer unless the result is 0.
    [[nodiscard]] int BulkRead(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t* bytesDone, std::uint32_t seconds);
    // Waits until no transfer is in flight (a cancelled one has ended), so the pipes can be
    // closed safely.
    void waitIdle();
    // Calls hook on the requesting thread about every interval while a transfer is waited
    // for; an empty hook turns it off.
    void setIdleHook(std::function<void()> hook,
                     std::chrono::microseconds interval = std::chrono::milliseconds(50));

    // Whether the idle hook is running now (on the requesting thread).
    bool inIdleHook() const { return inIdleHook_; }

    std::chrono::microseconds secondLength() const { return secondLength_; }

private:
    enum class Slot { Idle, Posted, Running };

    int run(PipeHandle pipe, bool write, std::uint8_t* buffer, std::uint32_t length,
            std::uint32_t* bytesDone, std::uint32_t seconds);
    void body();
    template <class Predicate>
    bool waitUntil(std::unique_lock<std::mutex>& lock,
                   std::chrono::steady_clock::time_point deadline, Predicate ready);

    LinkTransport& transport_;
    const std::chrono::microseconds secondLength_;

    std::mutex mutex_;
    std::condition_variable workerWake_;
    std::condition_variable requesterWake_;
    Slot slot_ = Slot::Idle;
    bool stopping_ = false;
    std::uint64_t posted_ = 0;    // sequence number of the request in the slot
    std::uint64_t finished_ = 0;  // last request whose result stands in the slot
    std::uint64_t abandoned_ = 0; // last request its requester gave up on
    PipeHandle pipe_ = kInvalidPipe;
    std::uint32_t length_ = 0;
    std::uint32_t transferred_ = 0;
    int result_ = 0;
    std::vector<std::uint8_t> staging_;
    // Requesting thread only.
    std::function<void()> idleHook_;
    std::chrono::microseconds idleInterval_{std::chrono::milliseconds(50)};
    bool inIdleHook_ = false;

    std::thread thread_; // last: starts once everything above is ready
};
