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

// Little-endian readers over a buffer; the caller has checked the bounds.
inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void putLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
