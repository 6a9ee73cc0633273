// SPDX-License-Identifier: MIT
// A file written under a temporary name beside its target and renamed over it when whole.
#include "common/replacement_file.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The rename reaches the disk with the folder that holds it.
void syncFolder(const fs::path& folder) {
#ifndef _WIN32
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
#else
    (void)folder;
#endif
}

// Copies every byte of from into to; the system's error number when a read or write failed.
int copyBytes(ImageFile& from, ImageFile& to) {
    std::uint64_t size = 0;
    if (from.size(&size) != SmfsResult::Ok) return from.lastError();
    std::vector<std::uint8_t> piece(std::size_t(1) << 20);
    for (std::uint64_t at = 0; at < size;) {
        std::size_t got = 0;
        const std::size_t want = std::size_t(std::min<std::uint64_t>(piece.size(), size - at));
        if (from.read(at, piece.data(), want, &got) != SmfsResult::Ok) return from.lastError();
        if (got != want) return EIO; // the file shrank under us
        if (to.write(at, piece.data(), got) != SmfsResult::Ok) return to.lastError();
        at += got;
    }
    return 0;
}

} // namespace

ReplacementFile::~ReplacementFile() {
    discard();
}

ImageFile::Status ReplacementFile::open(const fs::path& target, Start start) {
    discard();
    error_ = 0;
    std::error_code ec;
    fs::path real = target;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path pointed = fs::canonical(target, ec);
        if (!ec) real = std::move(pointed); // a dangling link is itself replaced
    }
    const fs::file_status status = fs::status(real, ec);
    const bool exists = fs::exists(status);
    if (exists && !fs::is_regular_file(status)) {
        // A device cannot be renamed over: it is written in place. A folder is no file.
        if (start != Start::CopyOfTarget) return ImageFile::Status::OpenFailed;
        return file_.open(real, ImageFile::Access::Write);
    }
    if (!exists && start == Start::CopyOfTarget) return ImageFile::Status::OpenFailed;
    if (real.filename().empty()) return ImageFile::Status::OpenFailed;
    if (exists) {
        if (const ImageFile::Status held = held_.open(real, ImageFile::Access::Write);
            held != ImageFile::Status::Ok)
            return held;
    }
    const fs::path temporary = real.parent_path() / ("." + real.filename().string() + ".vela-part");
    // A temporary file of an earlier cut is taken over; a link planted under its name is
    // removed, never written through.
    if (fs::is_symlink(fs::symlink_status(temporary, ec))) fs::remove(temporary, ec);
    if (const ImageFile::Status made = file_.open(temporary, ImageFile::Access::Create);
        made != ImageFile::Status::Ok) {
        // Locked: another replacement of the same file is under way, and its file stays.
        error_ = made == ImageFile::Status::OpenFailed ? errno : 0;
        held_.close();
        return made;
    }
    temporary_ = temporary;
    target_ = real;
    if (exists) {
        fs::permissions(temporary_, status.permissions(), ec);
        if (start == Start::CopyOfTarget) {
            if (const int error = copyBytes(held_, file_); error != 0) {
                discard();
                error_ = error;
                return ImageFile::Status::OpenFailed;
            }
        }
    }
    return ImageFile::Status::Ok;
}

bool ReplacementFile::commit() {
    if (!file_) {
        error_ = EBADF;
        return false;
    }
    const bool closed = file_.close();
    if (temporary_.empty()) return closed; // written in place
    if (!closed) {
        error_ = file_.lastError();
        discard();
        return false;
    }
#ifdef _WIN32
    held_.close(); // Windows renames over no file that is open
#endif
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) {
        error_ = ec.value();
        discard();
        return false;
    }
    temporary_.clear();
    syncFolder(target_.parent_path());
    held_.close();
    return true;
}

void ReplacementFile::discard() {
    (void)file_.close();
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
        temporary_.clear();
    }
    (void)held_.close();
}
