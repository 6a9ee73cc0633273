// The card image file: open, advisory lock, flush and sync, close. The lock is taken on the
// descriptor before the stream is made, and a Create empties the file only once it holds the
// lock, so a refused opener never changes the image.
#include "common/image_file.h"

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

#ifdef _WIN32

using Status = ImageFile::Status;

Status lockDescriptor(int fd, bool exclusive) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
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
    return _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool truncateDescriptor(int fd) {
    return _chsize_s(fd, 0) == 0;
}
std::FILE* streamOf(int fd, const char* mode) {
    return _fdopen(fd, mode);
}
void closeDescriptor(int fd) {
    _close(fd);
}

bool syncStream(std::FILE* stream) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

#else

using Status = ImageFile::Status;

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
std::FILE* streamOf(int fd, const char* mode) {
    return fdopen(fd, mode);
}
void closeDescriptor(int fd) {
    ::close(fd);
}

bool syncStream(std::FILE* stream) {
    int result;
    do {
        result = fsync(fileno(stream));
    } while (result != 0 && errno == EINTR);
    // A device or file system that cannot sync (EINVAL) has nothing more to give.
    return result == 0 || errno == EINVAL;
}

#endif

} // namespace

ImageFile::~ImageFile() {
    close();
}

ImageFile::ImageFile(ImageFile&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), access_(other.access_) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
    if (this != &other) {
        close();
        stream_ = std::exchange(other.stream_, nullptr);
        access_ = other.access_;
    }
    return *this;
}

ImageFile::Status ImageFile::open(const std::filesystem::path& path, Access access) {
    close();
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
    std::FILE* stream = streamOf(fd, access == Access::Read ? "rb" : "rb+");
    if (!stream) {
        closeDescriptor(fd);
        return Status::OpenFailed;
    }
    stream_ = stream;
    access_ = access;
    return Status::Ok;
}

bool ImageFile::sync() {
    if (!stream_ || access_ == Access::Read) return true;
    const bool flushed = std::fflush(stream_) == 0;
    return syncStream(stream_) && flushed;
}

bool ImageFile::close() {
    if (!stream_) return true;
    // The data goes to the disk before the lock ends with the file.
    const bool synced = sync();
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return synced && closed;
}
