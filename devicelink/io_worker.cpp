// IoWorker: hands single transfers to one worker thread and waits for them on a condition
// variable with a deadline. See io_worker.h for the rules that keep a late transfer away
// from the caller's buffer.
#include "devicelink/io_worker.h"

#include <algorithm>
#include <cstring>

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

int IoWorker::BulkWrite(PipeHandle pipe, const std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* bytesDone, std::uint32_t seconds) {
    // The buffer is only read from: the copy into the staging buffer happens in run().
    return run(pipe, true, const_cast<std::uint8_t*>(buffer), length, bytesDone, seconds);
}

int IoWorker::BulkRead(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                       std::uint32_t* bytesDone, std::uint32_t seconds) {
    return run(pipe, false, buffer, length, bytesDone, seconds);
}

void IoWorker::setIdleHook(std::function<void()> hook, std::chrono::microseconds interval) {
    idleHook_ = std::move(hook);
    idleInterval_ = std::max(interval, std::chrono::microseconds(1));
}

template <class Predicate>
bool IoWorker::waitUntil(std::unique_lock<std::mutex>& lock,
                         std::chrono::steady_clock::time_point deadline, Predicate ready) {
    if (!idleHook_) return requesterWake_.wait_until(lock, deadline, ready);
    for (;;) {
        // The predicate is checked under the lock before every sleep, so a wake-up that came
        // while the hook ran is not lost.
        const auto slice = std::min(deadline, std::chrono::steady_clock::now() + idleInterval_);
        if (requesterWake_.wait_until(lock, slice, ready)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return ready();
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

int IoWorker::run(PipeHandle pipe, bool write, std::uint8_t* buffer, std::uint32_t length,
                  std::uint32_t* bytesDone, std::uint32_t seconds) {
    // A limit of exactly the given time still counts as in time, so the deadline is
    // inclusive: wait_until only reports a time-out once it has passed.
    const auto deadline = std::chrono::steady_clock::now() + secondLength_ * seconds;
    // The slot is busy with the exchange whose wait called the hook.
    if (inIdleHook_) return kTransferFailed;
    std::unique_lock lock(mutex_);

    // A transfer abandoned earlier may still be winding down in the transport.
    if (!waitUntil(lock, deadline, [this] { return slot_ == Slot::Idle; })) return kBulkTimeout;

    if (staging_.size() < length) staging_.resize(length);
    if (write && length > 0) std::memcpy(staging_.data(), buffer, length);
    const std::uint64_t id = ++posted_;
    pipe_ = pipe;
    length_ = length;
    transferred_ = 0;
    result_ = 0;
    slot_ = Slot::Posted;
    // Woken after the lock is released, the worker does not have to wait for it again.
    lock.unlock();
    workerWake_.notify_one();
    lock.lock();

    const bool finished = waitUntil(lock, deadline, [this, id] { return finished_ == id; });
    if (!finished) {
        abandoned_ = id;
        if (slot_ == Slot::Posted) {
            // The worker never picked it up; taking it back is enough.
            slot_ = Slot::Idle;
        } else {
            transport_.cancel();
        }
        return kBulkTimeout;
    }
    if (result_ != kTransferDone) return kTransferFailed;
    if (!write) std::memcpy(buffer, staging_.data(), std::min(transferred_, length_));
    if (bytesDone) *bytesDone = transferred_;
    return 0;
}

void IoWorker::body() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workerWake_.wait(lock, [this] { return stopping_ || slot_ == Slot::Posted; });
        if (stopping_) return;

        const std::uint64_t id = posted_;
        const PipeHandle pipe = pipe_;
        const std::uint32_t length = length_;
        std::uint8_t* staging = staging_.data();
        // Under the lock, so that a cancel() for this transfer can only come after it.
        transport_.clearCancel();
        slot_ = Slot::Running;
        lock.unlock();

        std::uint32_t transferred = 0;
        const int result = transport_.transfer(pipe, staging, length, &transferred);

        lock.lock();
        slot_ = Slot::Idle;
        if (abandoned_ != id) {
            result_ = result;
            transferred_ = transferred;
            finished_ = id;
        }
        // Wakes both a requester waiting for this result and one waiting for the slot.
        lock.unlock();
        requesterWake_.notify_all();
        lock.lock();
    }
}
