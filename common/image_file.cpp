// SPDX-License-Identifier: MIT
// The card image file: open, advisory lock, positioned reads and writes, sync, close. The
// lock is taken on the descriptor before anything else, and a Create empties the file only
// once it holds the lock, so a refused opener never changes the image.
#include "common/image_file.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Status = ImageFile::Status;

// The largest piece one system call moves; longer runs loop.
constexpr std::size_t kMaxPieceBytes = std::size_t(1) << 30;

#ifdef _WIN32

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

Status lockDescriptor(int fd, bool exclusive) {
    HANDLE handle = handleOf(fd);
    if (handle == INVALID_HANDLE_VALUE) return Status::OpenFailed;
    OVERLAPPED where{};
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &where)) return Status::Ok;
    return GetLastError() == ERROR_LOCK_VIOLATION ? Status::Locked : Status::OpenFailed;
}

int openDescriptor(const std::filesystem::path& path, ImageFile::Access access) {
    int flags = _O_BINARY | _O_NOINHERIT;
    flags |= access == ImageFile::Access::Read ? _O_RDONLY : _O_RDWR;
    if (access == ImageFile::Access::Create) flags |= _O_CREAT;
    return _wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
}

bool unusable(int fd) {
    struct _stat64 st {};
    return _fstat64(fd, &st) != 0 || (st.st_mode & _S_IFDIR) != 0;
}

bool truncateDescriptor(int fd) {
    return _chsize_s(fd, 0) == 0;
}

void closeDescriptor(int fd) {
    _close(fd);
}

// A positioned transfer: an OVERLAPPED offset on a synchronous handle. Returns the bytes
// moved, or -1 with errno set.
long long transfer(int fd, std::uint64_t offset, void* buffer, std::size_t length, bool writing) {
    OVERLAPPED where{};
    where.Offset = DWORD(offset & 0xFFFFFFFFu);
    where.OffsetHigh = DWORD(offset >> 32);
    DWORD done = 0;
    const BOOL ok = writing ? WriteFile(handleOf(fd), buffer, DWORD(length), &done, &where)
                            : ReadFile(handleOf(fd), buffer, DWORD(length), &done, &where);
    if (ok) return done;
    const DWORD error = GetLastError();
    if (!writing && error == ERROR_HANDLE_EOF) return 0;
    errno = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
    return -1;
}

int syncDescriptor(int fd) {
    return FlushFileBuffers(handleOf(fd)) ? 0 : EIO;
}

bool sizeOf(int fd, std::uint64_t* bytes) {
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0) return false;
    *bytes = std::uint64_t(st.st_size);
    return true;
}

#else

Status lockDescriptor(int fd, bool exclusive) {
    for (;;) {
        if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return Status::Ok;
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return Status::Locked;
        // A file system without locks still serves the image, as it did before locking.
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return Status::Ok;
        return Status::OpenFailed;
    }
}

int openDescriptor(const std::filesystem::path& path, ImageFile::Access access) {
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= access == ImageFile::Access::Read ? O_RDONLY : O_RDWR;
    if (access == ImageFile::Access::Create) flags |= O_CREAT;
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // O_NONBLOCK only keeps a named pipe from holding the open; files are read blocking.
    const int now = fcntl(fd, F_GETFL);
    if (now < 0 || fcntl(fd, F_SETFL, now & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool unusable(int fd) {
    struct stat st {};
    // Only a regular file or a device holds a card; a folder or a pipe does not.
    return fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

bool truncateDescriptor(int fd) {
    return ftruncate(fd, 0) == 0;
}

void closeDescriptor(int fd) {
    ::close(fd);
}

// Returns the bytes moved, or -1 with errno set.
long long transfer(int fd, std::uint64_t offset, void* buffer, std::size_t length, bool writing) {
    ssize_t n;
    do {
        n = writing ? ::pwrite(fd, buffer, length, off_t(offset))
                    : ::pread(fd, buffer, length, off_t(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

int syncDescriptor(int fd) {
    int result;
    do {
        result = fsync(fd);
    } while (result != 0 && errno == EINTR);
    // A device or file system that cannot sync (EINVAL) has nothing more to give.
    return result == 0 || errno == EINVAL ? 0 : errno;
}

bool sizeOf(int fd, std::uint64_t* bytes) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
        *bytes = std::uint64_t(st.st_size);
        return true;
    }
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return false;
    *bytes = std::uint64_t(end);
    return true;
}

#endif

} // namespace

ImageFile::~ImageFile() {
    close();
}

ImageFile::ImageFile(ImageFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), access_(other.access_), lastError_(other.lastError_) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        access_ = other.access_;
        lastError_ = other.lastError_;
    }
    return *this;
}

ImageFile::Status ImageFile::open(const std::filesystem::path& path, Access access) {
    close();
    lastError_ = 0;
    const int fd = openDescriptor(path, access);
    if (fd < 0) return Status::OpenFailed;
    if (unusable(fd)) {
        closeDescriptor(fd);
        return Status::OpenFailed;
    }
    const Status locked = lockDescriptor(fd, access != Access::Read);
    if (locked != Status::Ok || (access == Access::Create && !truncateDescriptor(fd))) {
        closeDescriptor(fd);
        return locked != Status::Ok ? locked : Status::OpenFailed;
    }
    fd_ = fd;
    access_ = access;
    return Status::Ok;
}

SmfsResult ImageFile::read(std::uint64_t offsetBytes, std::uint8_t* buffer, std::size_t length,
                           std::size_t* got) {
    *got = 0;
    if (fd_ < 0) {
        lastError_ = EBADF;
        return SmfsResult::ImageIo;
    }
    while (*got < length) {
        const long long n = transfer(fd_, offsetBytes + *got, buffer + *got,
                                     std::min(length - *got, kMaxPieceBytes), false);
        if (n < 0) {
            lastError_ = errno;
            return SmfsResult::ImageIo;
        }
        if (n == 0) break; // the end of the file
        *got += std::size_t(n);
    }
    return SmfsResult::Ok;
}

SmfsResult ImageFile::write(std::uint64_t offsetBytes, const std::uint8_t* data,
                            std::size_t length) {
    if (!writable()) {
        lastError_ = EBADF;
        return SmfsResult::ImageIo;
    }
    std::size_t done = 0;
    while (done < length) {
        const long long n =
            transfer(fd_, offsetBytes + done, const_cast<std::uint8_t*>(data + done),
                     std::min(length - done, kMaxPieceBytes), true);
        if (n <= 0) {
            // A write that moves nothing at all would loop for ever: the disk is full.
            lastError_ = n < 0 ? errno : ENOSPC;
            return SmfsResult::ImageIo;
        }
        done += std::size_t(n);
    }
    return SmfsResult::Ok;
}

SmfsResult ImageFile::sync() {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return SmfsResult::ImageIo;
    }
    if (access_ == Access::Read) return SmfsResult::Ok;
    const int error = syncDescriptor(fd_);
    if (error == 0) return SmfsResult::Ok;
    lastError_ = error;
    return SmfsResult::ImageIo;
}

SmfsResult ImageFile::size(std::uint64_t* bytes) {
    *bytes = 0;
    if (fd_ >= 0 && sizeOf(fd_, bytes)) return SmfsResult::Ok;
    lastError_ = fd_ < 0 ? EBADF : errno;
    return SmfsResult::ImageIo;
}

bool ImageFile::close() {
    if (fd_ < 0) return true;
    // The data goes to the disk before the lock ends with the file.
    const bool synced = sync() == SmfsResult::Ok;
    closeDescriptor(fd_);
    fd_ = -1;
    return synced;
}
