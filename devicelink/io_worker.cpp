// SPDX-License-Identifier: MIT
// IoWorker: hands requests to one worker thread and waits for them on a condition variable
// with a deadline that moves with each frame of a run. See io_worker.h for the rules that
// keep a late transfer away from the caller's buffer.
#include "devicelink/io_worker.h"

#include <algorithm>
#include <cstring>

using Clock = std::chrono::steady_clock;

LinkResult LinkTransport::writeFrames(PipeHandle pipe, std::uint8_t* frames,
                                      std::uint32_t frameBytes, std::uint32_t count,
                                      std::uint32_t* framesDone,
                                      const std::function<void()>& frameDone) {
    *framesDone = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t written = 0;
        const LinkResult result =
            transfer(pipe, frames + std::size_t(i) * frameBytes, frameBytes, &written);
        if (result != LinkResult::Ok) return result;
        ++*framesDone;
        frameDone();
    }
    return LinkResult::Ok;
}

IoWorker::IoWorker(LinkTransport& transport, std::chrono::microseconds secondLength)
    : transport_(transport), secondLength_(secondLength), thread_([this] { body(); }) {}

IoWorker::~IoWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (slot_ == Slot::Running) transport_.cancel();
    }
    workerWake_.notify_one();
    thread_.join();
}

LinkResult IoWorker::BulkWrite(PipeHandle pipe, const std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t* bytesDone, std::uint32_t seconds) {
    Outcome outcome;
    const LinkResult result = run(
        {Kind::Write, pipe, kInvalidPipe, length, 1}, length,
        [&](std::uint8_t* staging) { std::memcpy(staging, buffer, length); },
        secondLength_ * seconds, &outcome);
    if (result == LinkResult::Ok && bytesDone) *bytesDone = outcome.transferred;
    return result;
}

LinkResult IoWorker::BulkRead(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t* bytesDone, std::uint32_t seconds) {
    return BulkReadWithin(pipe, buffer, length, bytesDone, secondLength_ * seconds);
}

LinkResult IoWorker::BulkReadWithin(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                                    std::uint32_t* bytesDone, std::chrono::microseconds limit) {
    Outcome outcome;
    const LinkResult result =
        run({Kind::Read, pipe, kInvalidPipe, length, 1}, length, nullptr, limit, &outcome);
    if (result != LinkResult::Ok) return result;
    std::memcpy(buffer, staging_.data(), std::min(outcome.transferred, length));
    if (bytesDone) *bytesDone = outcome.transferred;
    return result;
}

LinkResult IoWorker::WriteFrames(PipeHandle pipe, const std::uint8_t* data, std::uint32_t bytes,
                                 std::uint32_t frameBytes, std::uint32_t seconds,
                                 std::uint32_t* framesDone) {
    const std::uint32_t count = (bytes + frameBytes - 1) / frameBytes;
    const std::size_t staged = std::size_t(count) * frameBytes;
    Outcome outcome;
    const LinkResult result = run(
        {Kind::WriteFrames, pipe, kInvalidPipe, frameBytes, count}, staged,
        [&](std::uint8_t* staging) {
            std::memcpy(staging, data, bytes);
            std::memset(staging + bytes, 0, staged - bytes);
        },
        secondLength_ * seconds, &outcome);
    *framesDone = result == LinkResult::Ok ? outcome.frames : 0;
    return result;
}

LinkResult IoWorker::ReadAcked(PipeHandle in, PipeHandle outPipe, const std::uint8_t* lead,
                               std::uint8_t* out, std::uint32_t count, std::uint32_t frameBytes,
                               const std::uint8_t* ack, const std::uint8_t* lastAck,
                               std::uint32_t seconds, std::uint32_t* framesDone,
                               std::uint32_t* lastLength) {
    // Staged after the frames read: the acknowledgement, the last one, the lead.
    const std::size_t reads = std::size_t(count) * frameBytes;
    const auto stage = [&](std::uint8_t* staging, std::size_t slot, const std::uint8_t* frame) {
        if (frame) std::memcpy(staging + reads + slot * frameBytes, frame, frameBytes);
    };
    Request request{Kind::ReadAcked, in, outPipe, frameBytes, count};
    request.lead = lead != nullptr;
    request.lastAck = lastAck != nullptr;
    Outcome outcome;
    const LinkResult result = run(
        request, reads + 3 * std::size_t(frameBytes),
        [&](std::uint8_t* staging) {
            stage(staging, 0, ack);
            stage(staging, 1, lastAck);
            stage(staging, 2, lead);
        },
        secondLength_ * seconds, &outcome);
    *framesDone = 0;
    *lastLength = 0;
    if (result != LinkResult::Ok) return result;
    *framesDone = outcome.frames;
    *lastLength = outcome.transferred;
    std::memcpy(out, staging_.data(), std::size_t(outcome.frames) * frameBytes);
    return result;
}

void IoWorker::setIdleHook(std::function<void()> hook, std::chrono::microseconds interval) {
    idleHook_ = std::move(hook);
    idleInterval_ = std::max(interval, std::chrono::microseconds(1));
}

template <class Predicate>
bool IoWorker::waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                         Predicate ready) {
    if (!idleHook_) return requesterWake_.wait_until(lock, deadline, ready);
    for (;;) {
        // The predicate is checked under the lock before every sleep, so a wake-up that came
        // while the hook ran is not lost.
        const auto slice = std::min(deadline, Clock::now() + idleInterval_);
        if (requesterWake_.wait_until(lock, slice, ready)) return true;
        if (Clock::now() >= deadline) return ready();
        // Without the lock: the hook may take its time, and the worker must be able to
        // finish meanwhile.
        lock.unlock();
        inIdleHook_ = true;
        idleHook_();
        inIdleHook_ = false;
        lock.lock();
    }
}

void IoWorker::waitIdle() {
    std::unique_lock lock(mutex_);
    requesterWake_.wait(lock, [this] { return slot_ == Slot::Idle; });
}

void IoWorker::progressed() {
    progressAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

LinkResult IoWorker::run(const Request& request, std::size_t stagingBytes,
                         const std::function<void(std::uint8_t*)>& stage,
                         std::chrono::microseconds limit, Outcome* outcome) {
    // A limit of exactly the given time still counts as in time, so the deadline is
    // inclusive: wait_until only reports a time-out once it has passed.
    const auto deadline = Clock::now() + limit;
    // The slot is busy with the exchange whose wait called the hook.
    if (inIdleHook_) return LinkResult::IoFailed;
    std::unique_lock lock(mutex_);

    // A request abandoned earlier may still be winding down in the transport.
    if (!waitUntil(lock, deadline, [this] { return slot_ == Slot::Idle; }))
        return LinkResult::Timeout;

    if (staging_.size() < stagingBytes) staging_.resize(stagingBytes);
    if (stage) stage(staging_.data());
    const std::uint64_t id = ++posted_;
    request_ = request;
    outcome_ = {};
    progressed();
    slot_ = Slot::Posted;
    // Woken after the lock is released, the worker does not have to wait for it again.
    lock.unlock();
    workerWake_.notify_one();
    lock.lock();

    const auto finished = [this, id] { return finished_ == id; };
    for (;;) {
        const Clock::time_point since{Clock::duration(progressAt_.load(std::memory_order_relaxed))};
        if (waitUntil(lock, since + limit, finished)) break;
        // The limit is the transfer's: one the worker has not started yet (it was slow to be
        // scheduled) gets its whole limit once it starts, or a short limit would pass
        // before anything was read.
        if (slot_ == Slot::Posted) {
            progressed();
            continue;
        }
        // A run that moved a frame meanwhile has its limit counted from there.
        const Clock::time_point moved{Clock::duration(progressAt_.load(std::memory_order_relaxed))};
        if (moved > since && Clock::now() <= moved + limit) continue;
        abandoned_ = id;
        transport_.cancel();
        return LinkResult::Timeout;
    }
    if (outcome_.result != LinkResult::Ok) return LinkResult::IoFailed;
    *outcome = outcome_;
    return LinkResult::Ok;
}

IoWorker::Outcome IoWorker::carryOut(const Request& r, std::uint8_t* staging) {
    Outcome done;
    switch (r.kind) {
    case Kind::Write:
    case Kind::Read:
        done.result = transport_.transfer(r.pipe, staging, r.length, &done.transferred);
        return done;
    case Kind::WriteFrames:
        done.result = transport_.writeFrames(r.pipe, staging, r.length, r.count, &done.frames,
                                             [this] { progressed(); });
        return done;
    case Kind::ReadAcked: {
        std::uint8_t* const acks = staging + std::size_t(r.count) * r.length;
        std::uint32_t written = 0;
        if (r.lead) {
            done.result = transport_.transfer(r.ackPipe, acks + 2 * r.length, r.length, &written);
            if (done.result == LinkResult::Ok && written != r.length)
                done.result = LinkResult::IoFailed;
            if (done.result != LinkResult::Ok) return done;
            progressed();
        }
        // Frames whose acknowledgement has gone out; never the last, whose acknowledgement
        // depends on the run's end. Ahead of the frames, acknowledgements go in bursts of
        // half the window, so that each side finds several frames waiting when it wakes.
        const std::uint32_t ahead = transport_.acknowledgementsAhead();
        std::uint32_t acknowledged = 0;
        for (std::uint32_t i = 0; i < r.count; ++i) {
            done.transferred = 0;
            done.result = transport_.transfer(r.pipe, staging + std::size_t(i) * r.length, r.length,
                                              &done.transferred);
            if (done.result != LinkResult::Ok || done.transferred != r.length) return done;
            ++done.frames;
            progressed();
            if (i + 1 < r.count) {
                if (acknowledged > i + 1 + ahead / 2) continue;
                for (const std::uint32_t upTo = std::min(i + 1 + ahead, r.count - 1);
                     acknowledged < upTo; ++acknowledged) {
                    done.result = transport_.transfer(r.ackPipe, acks, r.length, &written);
                    if (done.result != LinkResult::Ok) return done;
                }
                progressed();
            } else if (r.lastAck) {
                done.result = transport_.transfer(r.ackPipe, acks + r.length, r.length, &written);
                if (done.result != LinkResult::Ok) return done;
                progressed();
            }
        }
        return done;
    }
    }
    return done;
}

void IoWorker::body() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workerWake_.wait(lock, [this] { return stopping_ || slot_ == Slot::Posted; });
        if (stopping_) return;

        const std::uint64_t id = posted_;
        const Request request = request_;
        std::uint8_t* staging = staging_.data();
        // Under the lock, so that a cancel() for this request can only come after it.
        transport_.clearCancel();
        slot_ = Slot::Running;
        progressed();
        lock.unlock();

        const Outcome done = carryOut(request, staging);

        lock.lock();
        slot_ = Slot::Idle;
        if (abandoned_ != id) {
            outcome_ = done;
            finished_ = id;
        }
        // Wakes both a requester waiting for this result and one waiting for the slot.
        lock.unlock();
        requesterWake_.notify_all();
        lock.lock();
    }
}
