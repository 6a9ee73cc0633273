// SPDX-License-Identifier: MIT
// The memory storage and the fault-injecting wrapper: the storages the tests, the fuzz
// targets and the benchmarks hand a card instead of an image file.
#include <smfs/storage.h>

#include <algorithm>
#include <cstring>

SmfsResult MemoryStorage::read(std::uint64_t offsetBytes, std::uint8_t* buffer, std::size_t length,
                               std::size_t* got) {
    *got = 0;
    if (offsetBytes >= bytes_.size()) return SmfsResult::Ok;
    *got = std::min<std::size_t>(length, std::size_t(bytes_.size() - offsetBytes));
    std::memcpy(buffer, bytes_.data() + offsetBytes, *got);
    return SmfsResult::Ok;
}

SmfsResult MemoryStorage::write(std::uint64_t offsetBytes, const std::uint8_t* data,
                                std::size_t length) {
    if (length == 0) return SmfsResult::Ok;
    if (offsetBytes + length > bytes_.size()) {
        if (fixedSize_) return SmfsResult::ImageIo;
        bytes_.resize(std::size_t(offsetBytes + length));
    }
    std::memcpy(bytes_.data() + offsetBytes, data, length);
    return SmfsResult::Ok;
}

SmfsResult MemoryStorage::size(std::uint64_t* bytes) {
    *bytes = bytes_.size();
    return SmfsResult::Ok;
}

bool FaultStorage::fails(Call kind) {
    ++calls_;
    if (!plan_ || !plan_(calls_, kind)) return false;
    ++failures_;
    return true;
}

SmfsResult FaultStorage::read(std::uint64_t offsetBytes, std::uint8_t* buffer, std::size_t length,
                              std::size_t* got) {
    *got = 0;
    if (fails(Call::Read)) return SmfsResult::ImageIo;
    return below_.read(offsetBytes, buffer, length, got);
}

SmfsResult FaultStorage::write(std::uint64_t offsetBytes, const std::uint8_t* data,
                               std::size_t length) {
    if (fails(Call::Write)) {
        const std::size_t torn = std::min(tornBytes_, length);
        if (torn > 0) (void)below_.write(offsetBytes, data, torn);
        return SmfsResult::ImageIo;
    }
    return below_.write(offsetBytes, data, length);
}

SmfsResult FaultStorage::sync() {
    if (fails(Call::Sync)) return SmfsResult::ImageIo;
    return below_.sync();
}

SmfsResult FaultStorage::size(std::uint64_t* bytes) {
    *bytes = 0;
    if (fails(Call::Size)) return SmfsResult::ImageIo;
    return below_.size(bytes);
}
