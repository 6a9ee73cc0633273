// SPDX-License-Identifier: MIT
// Whole files through C streams. Reading takes the length first and checks it against the
// limit, then reads the file to its end (a file that changes length meanwhile gives what was
// actually read, never more than the limit). Writing goes to a temporary file beside the
// target that is renamed over it when whole.
#include "file_bytes.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <unistd.h>

FileBytesResult ReadFileBytes(const std::string& path, std::uint64_t maxBytes,
                              std::vector<std::uint8_t>& out) {
    out.clear();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return FileBytesResult::OpenFailed;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return FileBytesResult::ReadFailed;
    const long length = std::ftell(file.get());
    if (length < 0) return FileBytesResult::ReadFailed;
    if (static_cast<std::uint64_t>(length) > maxBytes) return FileBytesResult::TooLarge;
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return FileBytesResult::ReadFailed;
    out.resize(static_cast<std::size_t>(length));
    const std::size_t got = std::fread(out.data(), 1, out.size(), file.get());
    if (std::ferror(file.get())) return FileBytesResult::ReadFailed;
    out.resize(got);
    return FileBytesResult::Ok;
}

FileWriteResult WriteWholeFile(const std::string& path,
                               const std::function<bool(std::FILE*)>& write) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        fs::path pointed = fs::canonical(target, error);
        if (!error) target = std::move(pointed); // a dangling link is itself replaced
    }
    const fs::file_status existing = fs::status(target, error);
    const bool inPlace = fs::exists(existing) && !fs::is_regular_file(existing);
    if (!inPlace && target.filename().empty()) return FileWriteResult::CreateFailed;
    const fs::path written =
        inPlace ? target : target.parent_path() / ("." + target.filename().string() + ".vela-part");
    // A temporary file of an earlier cut goes; whatever else holds the name (a link planted
    // there) is never written through.
    if (!inPlace) fs::remove(written, error);
    const int flags = inPlace ? O_WRONLY | O_TRUNC | O_CLOEXEC
                              : O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = ::open(written.c_str(), flags, 0666);
    std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (file == nullptr) {
        if (fd >= 0) ::close(fd);
        return FileWriteResult::CreateFailed;
    }
    if (!inPlace && fs::exists(existing)) fs::permissions(written, existing.permissions(), error);
    // The contents reach the disk before the name moves, so a power cut leaves the old file
    // or the whole new one.
    bool ok = write(file) && std::fflush(file) == 0 && (inPlace || ::fsync(fd) == 0);
    ok = std::fclose(file) == 0 && ok;
    if (ok && !inPlace) {
        fs::rename(written, target, error);
        ok = !error;
    }
    if (!ok && !inPlace) fs::remove(written, error);
    return ok ? FileWriteResult::Ok : FileWriteResult::WriteFailed;
}
