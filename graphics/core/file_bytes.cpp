// SPDX-License-Identifier: MIT
// Whole files through C streams. Reading takes the length first and checks it against the
// limit, then reads the file to its end (a file that changes length meanwhile gives what was
// actually read, never more than the limit). Writing replaces the file only with a whole one.
#include "file_bytes.h"

#include <common/replacement_file.h>

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
                               std::initializer_list<std::span<const std::uint8_t>> pieces) {
    ReplacementFile file;
    if (file.open(path, ReplacementFile::Start::Empty) != ImageFile::Status::Ok)
        return FileWriteResult::CreateFailed;
    std::uint64_t at = 0;
    for (const std::span<const std::uint8_t> piece : pieces) {
        if (!piece.empty() && file.file().write(at, piece.data(), piece.size()) != SmfsResult::Ok)
            return FileWriteResult::WriteFailed;
        at += piece.size();
    }
    return file.commit() ? FileWriteResult::Ok : FileWriteResult::WriteFailed;
}
