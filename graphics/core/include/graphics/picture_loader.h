// Picture loading for the image list: a file is chosen by its extension (".bmp" Windows
// bitmap, ".jpg"/".jpeg" JPEG through libjpeg, ".vxg" Vela image file; case ignored), read
// into memory whole and decoded into a `Picture` that keeps the file's own depth. Every
// decoder works on a bounded buffer and reports broken input as a result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/palette.h"
#include "graphics/picture.h"

enum class PictureLoadResult {
    Ok,
    OpenFailed,       // the file cannot be opened or read
    UnknownExtension, // not a picture type the tool reads
    DecodeFailed,     // truncated, corrupt or inconsistent data
    NotValidFormat,   // well-formed, but a layout without a depth text
};

// What a load yields besides the picture: a Vela image file carries its transparency.
struct LoadedPicture {
    Picture picture;
    bool usesTransparent = false;
    std::uint32_t transparentIndex = 0;
};

// Decodes a Windows bitmap file held in memory. Returns DecodeFailed for broken data and
// NotValidFormat for layouts without a depth text; `out` is unspecified on failure.
[[nodiscard]] PictureLoadResult DecodeBmp(const std::uint8_t* data, std::size_t size, Picture& out);

// Decodes a JPEG file held in memory into a 24-bit picture (grey and CMYK pictures are
// converted to red, green and blue). Returns DecodeFailed for corrupt data, warnings included.
[[nodiscard]] PictureLoadResult DecodeJpeg(const std::uint8_t* data, std::size_t size,
                                           Picture& out);

// Loads the picture file at `path` by its extension. An 8-bit Vela image file takes
// `currentPalette` as its palette. Returns the failure's code; `out` is unspecified then.
[[nodiscard]] PictureLoadResult LoadPicture(const std::string& path,
                                            const PaletteTable& currentPalette, LoadedPicture& out);

// The message shown for a failed load of the file named `fileName` (without folder); empty
// for Ok.
std::string PictureLoadMessage(PictureLoadResult result, const std::string& fileName);
