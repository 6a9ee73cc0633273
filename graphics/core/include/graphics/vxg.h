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
inline constexpr int kVxgOk = 0;
inline constexpr int kVxgOpenFailed = -1;  // the file cannot be opened for reading
inline constexpr int kVxgBadFile = -2;     // not a Vela image file, or inconsistent fields
inline constexpr int kVxgNotSavable = -3;  // the picture's depth has no Vela image form
inline constexpr int kVxgWriteFailed = -4; // cannot be created, or a write came up short

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
// pixel buffer. Returns kVxgOk.
[[nodiscard]] int VxgInit(VxgImage& image);

// Frees the pixel buffer and initialises the record again. Returns kVxgOk.
[[nodiscard]] int VxgFree(VxgImage& image);

// Writes the record to `path`, replacing any file there. Returns kVxgWriteFailed when the file
// cannot be created or a write or the close fails; a partly written file is removed.
[[nodiscard]] int VxgWrite(const std::string& path, const VxgImage& image);

// Fills the record from a picture: 8-bit pictures as indices, 15 to 32-bit pictures as device
// pixels. Returns kVxgNotSavable for other depths (1, 4 bits, device-dependent).
[[nodiscard]] int VxgFromPicture(const Picture& picture, bool usesTransparent,
                                 std::uint32_t transIndex, VxgImage& image);

// Reads and checks a Vela image file: signature, version, header rest, flags, sizes within
// the picture limits and a data size that matches them and the file's length. Returns
// kVxgOpenFailed or kVxgBadFile.
[[nodiscard]] int VxgRead(const std::string& path, VxgImage& image);

// Checks a Vela image file held in memory, as VxgRead does. Returns kVxgBadFile.
[[nodiscard]] int VxgParse(const std::uint8_t* bytes, std::size_t size, VxgImage& image);

// Turns a checked record into a picture: 16-bit data into a 16-bit picture, 8-bit data into an
// 8-bit picture whose palette is `palette`. Returns kVxgBadFile, leaving the picture empty,
// when the record's fields and buffer do not agree.
[[nodiscard]] int VxgToPicture(const VxgImage& image, const PaletteTable& palette,
                               Picture& picture);
