// SPDX-License-Identifier: MIT
// Whole-file reading for the decoders: the file is read into memory in one piece, refusing
// files larger than the caller's limit, so that every decoder works on a bounded buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FileBytesResult { Ok, OpenFailed, TooLarge, ReadFailed };

// Reads the whole file at `path` into `out`; fails without reading when the file is larger
// than `maxBytes`.
[[nodiscard]] FileBytesResult ReadFileBytes(const std::string& path, std::uint64_t maxBytes,
                                            std::vector<std::uint8_t>& out);

// Removes a partly written file at `path`; only a regular file is removed, never a device
// or anything else a caller may have named.
void RemovePartialFile(const std::string& path);
