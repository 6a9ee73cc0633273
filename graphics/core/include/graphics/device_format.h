// SPDX-License-Identifier: MIT
// The Vela machine's pixel encodings and image layout, shared by the binary and the text
// save paths. A 16-bit device pixel holds red in bits 15..11, green in 10..6, blue in 5..1
// and 1 in bit 0; a 16-bit palette entry is the same with bit 0 clear. Pictures are stored
// column by column, left to right, each column from the bottom row up and padded to whole
// 4-byte units.
#pragma once

#include <cstdint>

// The 16-bit device pixel of an 8-bit-per-channel colour (top five bits of each channel).
constexpr std::uint16_t DevicePixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<std::uint16_t>(((red & 0xF8) << 8) | ((green & 0xF8) << 3) |
                                      ((blue & 0xF8) >> 2) | 1);
}

// The 16-bit palette entry of an 8-bit-per-channel colour.
constexpr std::uint16_t DevicePaletteEntry(std::uint8_t red, std::uint8_t green,
                                           std::uint8_t blue) {
    return static_cast<std::uint16_t>(((red >> 3) << 11) | ((green >> 3) << 6) |
                                      ((blue >> 3) << 1));
}

// Bytes per column of an 8-bit picture of `height` rows: (height + 3) rounded down to a
// multiple of 4.
constexpr std::uint32_t ColumnBytes8(std::uint32_t height) {
    return (height + 3) & ~3u;
}

// Pixels per column of a 16-bit picture of `height` rows: ((2 × height + 3) rounded down to
// a multiple of 4) / 2.
constexpr std::uint32_t ColumnPixels16(std::uint32_t height) {
    return ((2 * height + 3) & ~3u) / 2;
}

// Expands a 5-bit channel to 8 bits so that the top five bits are the channel again.
constexpr std::uint8_t Expand5(unsigned value) {
    return static_cast<std::uint8_t>((value << 3) | (value >> 2));
}
