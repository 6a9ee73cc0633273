// A card image file held open under an advisory lock, so that one process at a time writes
// an image: a writer holds an exclusive lock, a reader a shared one, and an opener that
// would conflict is refused at once instead of waiting. The lock belongs to this open file
// and ends when it is closed (or the process ends). sync() pushes what the stream buffered
// to the file and asks the system to put the file's data on the disk.
//
// One implementation per platform: flock and fsync on POSIX systems, LockFileEx and
// FlushFileBuffers on Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

class ImageFile {
public:
    enum class Access : std::uint8_t {
        Read,   // an existing image, read only ("rb"), shared lock
        Write,  // an existing image, read and write ("rb+"), exclusive lock
        Create, // created when absent, emptied once locked ("wb+"), exclusive lock
    };
    enum class Status : std::uint8_t {
        Ok,
        OpenFailed, // missing, not a file, or not allowed
        Locked,     // another open of the image holds a conflicting lock
    };

    ImageFile() = default;
    ~ImageFile();
    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Opens path (closing what this object held) and takes the lock for access. OpenFailed
    // or Locked leave the object closed; a Create that meets a lock leaves the file as it was.
    [[nodiscard]] Status open(const std::filesystem::path& path, Access access);

    // The open stream, nullptr when closed. Valid until close().
    std::FILE* stream() const { return stream_; }
    explicit operator bool() const { return stream_ != nullptr; }
    bool writable() const { return stream_ && access_ != Access::Read; }

    // Flushes the stream and syncs the file to the disk. True for a reader or a closed
    // object; false when a buffered write or the sync failed.
    [[nodiscard]] bool sync();

    // Syncs a writer, closes the file and with it the lock. False when the last writes could
    // not be put on the disk; the object is closed either way.
    bool close();

private:
    std::FILE* stream_ = nullptr;
    Access access_ = Access::Read;
};
