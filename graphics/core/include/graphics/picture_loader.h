// SPDX-License-Identifier: MIT
// Picture loading for the image list: a file is chosen by its extension (".bmp" Windows
// bitmap, ".jpg"/".jpeg" JPEG through libjpeg, ".png" PNG through libpng, ".vxg" Vela image
// file; case ignored), read into memory whole and decoded into a `Picture` that keeps the
// file's own depth. Every decoder works on a bounded buffer and reports broken input as a
// result code.
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

// What a load yields besides the picture: Vela image files and palette PNGs carry their
// transparency; a Vela image file has no palette of its own; a JPEG picture that decoded
// whole may come with the decoder's complaint about its data.
struct LoadedPicture {
    Picture picture;
    bool usesTransparent = false;
    std::uint32_t transparentIndex = 0;
    bool ownPalette = true; // false: an 8-bit picture's palette is the caller's table
    std::string warning;    // empty, or the decoder's warning text
};

// Decodes a Windows bitmap file held in memory. Returns DecodeFailed for broken data and
// NotValidFormat for layouts without a depth text; `out` is unspecified on failure.
[[nodiscard]] PictureLoadResult DecodeBmp(const std::uint8_t* data, std::size_t size, Picture& out);

// Decodes a JPEG file held in memory into a 24-bit picture (grey and CMYK pictures are
// converted to red, green and blue). Returns DecodeFailed for corrupt data that leaves scan
// lines missing; a picture that arrives whole despite libjpeg's warnings is Ok, with the
// first warning's text in `warning` (when given).
[[nodiscard]] PictureLoadResult DecodeJpeg(const std::uint8_t* data, std::size_t size, Picture& out,
                                           std::string* warning = nullptr);

// Decodes a PNG file held in memory. Palette pictures of 1, 2, 4 and 8 bits become 8-bit
// pictures with the file's palette; grey and RGB pictures (alpha dropped, 16-bit channels
// scaled to 8) become 24-bit pictures. A palette picture whose transparency chunk makes
// exactly one index fully transparent sets `transparentIndex` to it and returns with
// `usesTransparent` true. Returns DecodeFailed for damaged data.
[[nodiscard]] PictureLoadResult DecodePng(const std::uint8_t* data, std::size_t size,
                                          LoadedPicture& out);

// Loads the picture file at `path` by its extension. An 8-bit Vela image file takes
// `currentPalette` as its palette. Returns the failure's code; `out` is unspecified then.
[[nodiscard]] PictureLoadResult LoadPicture(const std::string& path,
                                            const PaletteTable& currentPalette, LoadedPicture& out);

// The message shown for a failed load of the file named `fileName` (without folder); empty
// for Ok.
std::string PictureLoadMessage(PictureLoadResult result, const std::string& fileName);
