// SPDX-License-Identifier: MIT
// Whole-file reading through a C stream: the length is taken first and checked against the
// limit, then the file is read to its end (a file that changes length meanwhile gives what
// was actually read, never more than the limit).
#include "file_bytes.h"

#include <cstdio>
#include <filesystem>
#include <memory>

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

void RemovePartialFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) std::filesystem::remove(path, error);
}
