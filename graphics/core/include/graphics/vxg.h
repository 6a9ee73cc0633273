// SPDX-License-Identifier: MIT
// The Vela image file (".vxg"): a 32-byte little-endian header (signature "vxg2", version 1,
// header rest 20, flags, width, height, transparent index, data size) followed by the pixels
// in the device image layout, as 8-bit palette indices (flags 6) or 16-bit device pixels
// (flags 8), flag 1 marking a used transparent colour. The file holds no palette.
// `VxgImage` is the record a file is built in and read into; its header fields are kept in
// file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/palette.h"
#include "graphics/picture.h"

inline constexpr std::uint32_t kVxgVersion = 1;
inline constexpr std::uint32_t kVxgHeaderRest = 20;
inline constexpr std::uint32_t kVxgHeaderBytes = 32;
inline constexpr std::uint32_t kVxgFlagTransparent = 1;
inline constexpr std::uint32_t kVxgFlag8Bit = 6;
inline constexpr std::uint32_t kVxgFlag16Bit = 8;

// Result codes of the Vela image file functions.
enum class VxgResult {
    Ok,
    OpenFailed,  // the file cannot be opened for reading
    BadFile,     // not a Vela image file, or inconsistent fields
    NotSavable,  // the picture's depth has no Vela image form
    WriteFailed, // cannot be created, or a write came up short
};

struct VxgImage {
    char signature[4] = {'v', 'x', 'g', '2'};
    std::uint32_t version = kVxgVersion;
    std::uint32_t headerRest = kVxgHeaderRest;
    std::uint32_t flags = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t transIndex = 0;
    std::uint32_t dataSize = 0;
    std::vector<std::uint8_t> data; // the pixel data, `dataSize` bytes
};

// Initialises the record: signature, version 1, header rest 20, every other field 0 and no
// pixel buffer.
void VxgInit(VxgImage& image);

// Frees the pixel buffer and initialises the record again.
void VxgFree(VxgImage& image);

// Writes the record to `path`, replacing any file there. Returns VxgResult::WriteFailed when the
// file cannot be created or a write or the close fails; a partly written file is removed.
[[nodiscard]] VxgResult VxgWrite(const std::string& path, const VxgImage& image);

// True for the depths a Vela image file holds: 8 bits as indices, 15 to 32 bits as device
// pixels.
bool HasVxgForm(PixelFormat format);

// Fills the record from a picture: 8-bit pictures as indices, 15 to 32-bit pictures as device
// pixels. Returns VxgResult::NotSavable for other depths (1, 4 bits, device-dependent).
[[nodiscard]] VxgResult VxgFromPicture(const Picture& picture, bool usesTransparent,
                                       std::uint32_t transIndex, VxgImage& image);

// Reads and checks a Vela image file: signature, version, header rest, flags, sizes within
// the picture limits and a data size that matches them and the file's length. Returns
// VxgResult::OpenFailed or VxgResult::BadFile.
[[nodiscard]] VxgResult VxgRead(const std::string& path, VxgImage& image);

// Checks a Vela image file held in memory, as VxgRead does. Returns VxgResult::BadFile.
[[nodiscard]] VxgResult VxgParse(const std::uint8_t* bytes, std::size_t size, VxgImage& image);

// Turns a checked record into a picture: 16-bit data into a 16-bit picture, 8-bit data into an
// 8-bit picture whose palette is `palette`. Returns VxgResult::BadFile, leaving the picture empty,
// when the record's fields and buffer do not agree.
[[nodiscard]] VxgResult VxgToPicture(const VxgImage& image, const PaletteTable& palette,
                                     Picture& picture);
