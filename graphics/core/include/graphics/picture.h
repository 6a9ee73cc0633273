// SPDX-License-Identifier: MIT
// A decoded picture as the graphics tool keeps it: its size, the pixel format it had in its
// file (which decides the depth text, the palette and the save paths), and its pixels.
// Palettised pictures (1, 4 and 8 bits) keep one palette-index byte per pixel, so 1- and
// 4-bit pictures are already expanded; all other formats keep 8-bit red, green and blue per
// pixel. Rows run from the top of the picture (row 0) down.
#pragma once

#include <cstdint>
#include <vector>

enum class PixelFormat : std::uint8_t {
    Device, // device-dependent: no loader produces it, kept for the depth text
    Bits1,
    Bits4,
    Bits8,
    Bits15,
    Bits16,
    Bits24,
    Bits32,
    Custom, // any other layout: has no depth text and is not loaded
};

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

// Limits on what any loader accepts, so that sizes from a file can neither overflow the
// size arithmetic nor ask for absurd amounts of memory.
inline constexpr std::int64_t kMaxPictureSide = 32768;
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 26;

struct Picture {
    int width = 0;
    int height = 0;
    PixelFormat format = PixelFormat::Custom;
    std::vector<Rgb> palette;          // palettised formats: the file's colour table
    std::vector<std::uint8_t> indices; // palettised formats: width × height index bytes
    std::vector<Rgb> colors;           // other formats: width × height colours

    // True for 1, 4 and 8-bit pictures, which hold palette indices.
    bool isPalettised() const;
    // The palette index of pixel (x, y) of a palettised picture; 0 for other formats.
    std::uint8_t indexAt(int x, int y) const;
    // The colour of pixel (x, y); an index past the palette gives black.
    Rgb colorAt(int x, int y) const;
};

// The depth text of a pixel format ("dev.", "1", "4", "8", "15", "16", "24", "32"), or
// nullptr for a layout that has none.
const char* DepthText(PixelFormat format);

// True when `width` × `height` is within the loaders' limits.
bool PictureSizeAllowed(std::int64_t width, std::int64_t height);
