// SPDX-License-Identifier: MIT
// The storage a card lives on: the byte array of a virtual SMC image (the 1024-byte header,
// then every page record), reached by positioned reads and writes and a sync. The card never
// opens, grows or closes it; the caller hands the card one storage and keeps it alive while
// the card exists. A storage serves one card at a time; two cards on two storages may run on
// two threads.
//
// Implementations: the locked image file (common/image_file.h), MemoryStorage for tests,
// fuzz targets and benchmarks, and FaultStorage, which fails chosen calls of another storage
// the way a disk that fills up or goes away does.
#pragma once

#include <smfs/result.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class SmfsStorage {
public:
    virtual ~SmfsStorage() = default;

    // Reads length bytes at offsetBytes into buffer; *got receives how many the storage holds
    // there (fewer when it ends first; the bytes past them are left as they were). ImageIo
    // when the read fails.
    [[nodiscard]] virtual SmfsResult read(std::uint64_t offsetBytes, std::uint8_t* buffer,
                                          std::size_t length, std::size_t* got) = 0;
    // Writes length bytes at offsetBytes. ImageIo when not all of them were written.
    [[nodiscard]] virtual SmfsResult write(std::uint64_t offsetBytes, const std::uint8_t* data,
                                           std::size_t length) = 0;
    // Makes every write so far durable as far as the storage can. ImageIo when it cannot.
    [[nodiscard]] virtual SmfsResult sync() = 0;
    // The storage's size in bytes. ImageIo when it cannot be told.
    [[nodiscard]] virtual SmfsResult size(std::uint64_t* bytes) = 0;
};

// A storage in memory: the bytes vector is the image. Writes past the end grow it, unless
// the size is fixed: then they fail with ImageIo, as on a disk that is full (a fuzzed short
// image never grows to the size its header claims).
class MemoryStorage final : public SmfsStorage {
public:
    MemoryStorage() = default;
    explicit MemoryStorage(std::vector<std::uint8_t> bytes, bool fixedSize = false)
        : bytes_(std::move(bytes)), fixedSize_(fixedSize) {}

    [[nodiscard]] SmfsResult read(std::uint64_t offsetBytes, std::uint8_t* buffer,
                                  std::size_t length, std::size_t* got) override;
    [[nodiscard]] SmfsResult write(std::uint64_t offsetBytes, const std::uint8_t* data,
                                   std::size_t length) override;
    [[nodiscard]] SmfsResult sync() override { return SmfsResult::Ok; }
    [[nodiscard]] SmfsResult size(std::uint64_t* bytes) override;

    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    bool fixedSize_ = false;
};

// Wraps another storage and fails its calls as a plan says, counting every read, write and
// sync from 1. A failed write may cut the write short first (as a full disk does), leaving a
// prefix of its bytes on the storage below.
class FaultStorage final : public SmfsStorage {
public:
    enum class Call : std::uint8_t { Read, Write, Sync, Size };
    // Asked before each counted call with its number and kind: true makes it fail.
    using Plan = std::function<bool(std::uint64_t call, Call kind)>;

    explicit FaultStorage(SmfsStorage& below) : below_(below) {}

    // Fails call n alone (transient), or every call from n on (sticky).
    void failCall(std::uint64_t n) {
        plan_ = [n](std::uint64_t call, Call) { return call == n; };
    }
    void failFrom(std::uint64_t n) {
        plan_ = [n](std::uint64_t call, Call) { return call >= n; };
    }
    void setPlan(Plan plan) { plan_ = std::move(plan); }
    // A failed write first writes this many of its bytes (0 by default).
    void setTornBytes(std::size_t bytes) { tornBytes_ = bytes; }
    void clear() { plan_ = nullptr; }

    std::uint64_t calls() const { return calls_; }
    std::uint64_t failures() const { return failures_; }

    [[nodiscard]] SmfsResult read(std::uint64_t offsetBytes, std::uint8_t* buffer,
                                  std::size_t length, std::size_t* got) override;
    [[nodiscard]] SmfsResult write(std::uint64_t offsetBytes, const std::uint8_t* data,
                                   std::size_t length) override;
    [[nodiscard]] SmfsResult sync() override;
    [[nodiscard]] SmfsResult size(std::uint64_t* bytes) override;

private:
    bool fails(Call kind);

    SmfsStorage& below_;
    Plan plan_;
    std::size_t tornBytes_ = 0;
    std::uint64_t calls_ = 0;
    std::uint64_t failures_ = 0;
};
