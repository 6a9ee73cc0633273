// SPDX-License-Identifier: MIT
// Whole files: reading for the decoders (the file is read into memory in one piece, refusing
// files larger than the caller's limit, so that every decoder works on a bounded buffer), and
// writing for the savers (a file already there is replaced only by a whole new one).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

enum class FileBytesResult { Ok, OpenFailed, TooLarge, ReadFailed };

// Reads the whole file at `path` into `out`; fails without reading when the file is larger
// than `maxBytes`.
[[nodiscard]] FileBytesResult ReadFileBytes(const std::string& path, std::uint64_t maxBytes,
                                            std::vector<std::uint8_t>& out);

enum class FileWriteResult { Ok, CreateFailed, WriteFailed };

// Writes the file at `path` through `write`, which puts the contents into the stream it is
// given and says whether that went well. The contents go to a temporary file beside `path`
// ("." + name + ".vela-part") that is flushed to the disk and renamed over `path` only when
// whole: a failure leaves the file that was there as it was, and no temporary file. A
// replaced file keeps its permissions; a symbolic link keeps pointing where it did, its
// target replaced. Something other than a regular file at `path` (a device) is written as
// it is. CreateFailed when the file could not be made, WriteFailed when writing failed.
[[nodiscard]] FileWriteResult WriteWholeFile(const std::string& path,
                                             const std::function<bool(std::FILE*)>& write);
