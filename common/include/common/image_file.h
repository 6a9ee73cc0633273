// SPDX-License-Identifier: MIT
// A card image file held open under an advisory lock, so that one process at a time writes
// an image: a writer holds an exclusive lock, a reader a shared one, and an opener that
// would conflict is refused at once instead of waiting. The lock belongs to this open file
// and ends when it is closed (or the process ends).
//
// The open file is the storage a card (or a raw volume export) reads and writes: positioned
// reads and writes on the locked descriptor, no stream buffer in between, and sync() puts
// the file's data on the disk. A failed call keeps the system's error number for the
// caller's message (lastError).
//
// One implementation per platform: flock, pread, pwrite and fsync on POSIX systems;
// LockFileEx, ReadFile and WriteFile at an offset, and FlushFileBuffers on Windows.
#pragma once

#include <smfs/storage.h>

#include <cstdint>
#include <filesystem>

class ImageFile final : public SmfsStorage {
public:
    enum class Access : std::uint8_t {
        Read,   // an existing image, read only, shared lock
        Write,  // an existing image, read and write, exclusive lock
        Create, // created when absent, emptied once locked, exclusive lock
    };
    enum class Status : std::uint8_t {
        Ok,
        OpenFailed, // missing, not a file, or not allowed
        Locked,     // another open of the image holds a conflicting lock
    };

    ImageFile() = default;
    ~ImageFile() override;
    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens path (closing what this object held) and takes the lock for access. OpenFailed
    // or Locked leave the object closed; a Create that meets a lock leaves the file as it was.
    [[nodiscard]] Status open(const std::filesystem::path& path, Access access);

    explicit operator bool() const { return fd_ >= 0; }
    bool writable() const { return fd_ >= 0 && access_ != Access::Read; }

    // The storage calls. A closed object, or a write to a reader, fails with ImageIo.
    [[nodiscard]] SmfsResult read(std::uint64_t offsetBytes, std::uint8_t* buffer,
                                  std::size_t length, std::size_t* got) override;
    [[nodiscard]] SmfsResult write(std::uint64_t offsetBytes, const std::uint8_t* data,
                                   std::size_t length) override;
    // Syncs the file to the disk. Ok for a reader; ImageIo when the sync failed.
    [[nodiscard]] SmfsResult sync() override;
    [[nodiscard]] SmfsResult size(std::uint64_t* bytes) override;

    // The system's error number of the last failed call (0 when none failed), for a message
    // such as "No space left on device".
    int lastError() const { return lastError_; }

    // Syncs a writer, closes the file and with it the lock. False when the last writes could
    // not be put on the disk; the object is closed either way.
    bool close();

private:
    int fd_ = -1;
    Access access_ = Access::Read;
    int lastError_ = 0;
};
