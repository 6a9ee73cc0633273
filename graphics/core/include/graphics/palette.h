// SPDX-License-Identifier: MIT
// The window's one palette: 256 entries of red, green, blue and a flags byte, filled from
// the selected picture or from a palette file, and written by the palette text export.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "graphics/picture.h"

struct PaletteEntry {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::uint8_t flags = 0;
    bool operator==(const PaletteEntry&) const = default;
};

inline constexpr std::size_t kPaletteEntries = 256;
using PaletteTable = std::array<PaletteEntry, kPaletteEntries>;

// Copies the picture's palette, at most 256 entries from entry 0, into `table`; the other
// entries keep their values. Returns the number copied (0 for a picture without palette).
std::size_t CopyPictureToPaletteTable(const Picture& picture, PaletteTable& table);

// True when the colour does not survive the reduction to five bits per channel (one of the
// three low bits of a channel is set); the palette grid marks such entries.
constexpr bool LosesPrecision(const PaletteEntry& entry) {
    return ((entry.red | entry.green | entry.blue) & 7) != 0;
}
