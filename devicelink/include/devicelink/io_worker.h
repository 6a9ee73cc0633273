// SPDX-License-Identifier: MIT
// IoWorker: the one thread that carries every transfer of a link, and the calls with which
// the requesting thread hands it work and waits for it under a time limit.
//
// There is a single request slot. The requester fills it, wakes the worker and sleeps on a
// condition variable until the worker reports the request done or the time limit passes;
// it never spins. A request is one transfer, or a run of frames that the worker moves
// without handing back between them (a chunk's data frames; a chunk's packets read with
// the acknowledgement written after each, led by the command that asks for them), so a file
// transfer costs one hand-over per chunk instead of one per frame, and a command with its
// reply one hand-over. A limit counts from when the worker starts the transfer, and in
// a run from the last frame that moved.
//
// Data moves through the worker's own staging buffer: what is written is copied in before
// the request is posted, what is read is copied out by the requester only when the request
// completed in time. So once a call has returned, whatever the transport still does can
// touch only the staging buffer, never the caller's.
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

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

    // Writes length bytes from buffer on pipe. Ok with *bytesDone set when it completed
    // within seconds; Timeout when it did not (the transfer is cancelled); IoFailed when the
    // transport failed or the call came from inside the idle hook.
    [[nodiscard]] LinkResult BulkWrite(PipeHandle pipe, const std::uint8_t* buffer,
                                       std::uint32_t length, std::uint32_t* bytesDone,
                                       std::uint32_t seconds);
    // Reads up to length bytes into buffer from pipe; results as BulkWrite. Nothing is
    // stored in buffer unless the result is Ok.
    [[nodiscard]] LinkResult BulkRead(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                                      std::uint32_t* bytesDone, std::uint32_t seconds);
    // BulkRead with a limit of real time instead of protocol seconds.
    [[nodiscard]] LinkResult BulkReadWithin(PipeHandle pipe, std::uint8_t* buffer,
                                            std::uint32_t length, std::uint32_t* bytesDone,
                                            std::chrono::microseconds limit);

    // Writes bytes from data as frames of frameBytes, the last one zero-padded, each within
    // seconds of the one before. *framesDone: the frames written. Results as BulkWrite.
    [[nodiscard]] LinkResult WriteFrames(PipeHandle pipe, const std::uint8_t* data,
                                         std::uint32_t bytes, std::uint32_t frameBytes,
                                         std::uint32_t seconds, std::uint32_t* framesDone);
    // Writes lead (when given) on outPipe, then reads count frames of frameBytes from in
    // into out (count * frameBytes bytes), writing on outPipe ack after each but the last
    // (up to the transport's acknowledgementsAhead() of them before their frames arrive)
    // and lastAck (when given) after the last (all frameBytes long), each frame within
    // seconds of the one before. A lead the transport took only part of fails the run
    // (IoFailed); a read of another length ends it at once with no acknowledgement:
    // *framesDone counts the frames read whole, and *lastLength is the length of the last
    // read. Results as BulkWrite. With count 1 and no acknowledgement this is a command and
    // its reply in one request.
    [[nodiscard]] LinkResult ReadAcked(PipeHandle in, PipeHandle outPipe, const std::uint8_t* lead,
                                       std::uint8_t* out, std::uint32_t count,
                                       std::uint32_t frameBytes, const std::uint8_t* ack,
                                       const std::uint8_t* lastAck, std::uint32_t seconds,
                                       std::uint32_t* framesDone, std::uint32_t* lastLength);

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
    enum class Kind { Write, Read, WriteFrames, ReadAcked };
    struct Request {
        Kind kind = Kind::Read;
        PipeHandle pipe = kInvalidPipe;
        PipeHandle ackPipe = kInvalidPipe;
        std::uint32_t length = 0; // bytes of one transfer, or of one frame of a run
        std::uint32_t count = 1;  // frames in a run
        bool lead = false;        // ReadAcked: a frame to write first
        bool lastAck = false;     // ReadAcked: an acknowledgement after the last frame
    };
    struct Outcome {
        LinkResult result = LinkResult::Ok;
        std::uint32_t transferred = 0; // bytes of one transfer; length of a run's last read
        std::uint32_t frames = 0;      // frames of a run moved
    };

    // Stages the request's data once the slot is free, posts it and waits for it, limit
    // after its last progress. On Ok, outcome holds the worker's report and staging_ what
    // it read.
    LinkResult run(const Request& request, std::size_t stagingBytes,
                   const std::function<void(std::uint8_t*)>& stage, std::chrono::microseconds limit,
                   Outcome* outcome);
    Outcome carryOut(const Request& request, std::uint8_t* staging);
    void body();
    void progressed();
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
    std::uint64_t finished_ = 0;  // last request whose outcome stands in the slot
    std::uint64_t abandoned_ = 0; // last request its requester gave up on
    Request request_;
    Outcome outcome_;
    std::vector<std::uint8_t> staging_;
    // When the request in the slot last moved a frame (steady clock ticks): posted, or a
    // frame of a run done.
    std::atomic<std::chrono::steady_clock::rep> progressAt_{0};
    // Requesting thread only.
    std::function<void()> idleHook_;
    std::chrono::microseconds idleInterval_{std::chrono::milliseconds(50)};
    bool inIdleHook_ = false;

    std::thread thread_; // last: starts once everything above is ready
};
