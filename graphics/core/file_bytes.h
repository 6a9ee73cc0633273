// SPDX-License-Identifier: MIT
// Whole files: reading for the decoders (the file is read into memory in one piece, refusing
// files larger than the caller's limit, so that every decoder works on a bounded buffer), and
// writing for the savers (a file already there is replaced only by a whole new one).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

enum class FileBytesResult { Ok, OpenFailed, TooLarge, ReadFailed };

// Reads the whole file at `path` into `out`; fails without reading when the file is larger
// than `maxBytes`.
[[nodiscard]] FileBytesResult ReadFileBytes(const std::string& path, std::uint64_t maxBytes,
                                            std::vector<std::uint8_t>& out);

enum class FileWriteResult { Ok, CreateFailed, WriteFailed };

// Writes the pieces one after the other as the file at `path`, which a file already there
// gives way to only when the new one is whole (see common/replacement_file.h): a failure
// leaves it as it was. CreateFailed when the file could not be made (or the one there is in
// use, or is no regular file), WriteFailed when writing failed.
[[nodiscard]] FileWriteResult
WriteWholeFile(const std::string& path,
               std::initializer_list<std::span<const std::uint8_t>> pieces);
