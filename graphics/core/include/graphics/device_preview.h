// SPDX-License-Identifier: MIT
// What the Vela machine will show of a picture: every colour reduced to the five bits a
// channel its display keeps, palettised pictures through the window's palette table (the
// palette the game is given), and the transparent index left out where the picture uses it.
// Also the palette-wide reduction behind "Convert to 16bit Format".
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/palette.h"
#include "graphics/picture.h"

struct PreviewImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb> colors;               // width × height, rows from the top
    std::vector<std::uint8_t> transparent; // width × height, 1 where the background shows
};

// The colour the machine shows for an 8-bit-per-channel colour: the top five bits of each
// channel, widened back so that full intensity stays full.
Rgb DeviceColour(Rgb colour);

// The machine's view of `picture`. Palettised pictures take their colours from `palette`
// and, when `useTransparent`, leave pixels of index `transIndex` transparent; other
// pictures are reduced pixel by pixel and have no transparent pixels (their files carry the
// index, which names no colour of theirs).
PreviewImage DevicePreview(const Picture& picture, const PaletteTable& palette, bool useTransparent,
                           std::uint32_t transIndex);

// Reduces every entry to the colour its 16-bit palette entry holds: the top five bits of
// each channel with the three low bits cleared. Flags bytes are kept.
void ReduceToDevicePalette(PaletteTable& table);
