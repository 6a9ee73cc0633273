// SPDX-License-Identifier: MIT
// Builds Windows bitmap files byte by byte for the decoder tests: any header size, bit count,
// compression, masks and colour table, with pixel rows packed from top-down sample values.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "graphics/picture.h"

// Every member has a default, so a test names only what it changes ({.width = 2, ...}).
struct BmpFields {
    std::uint32_t headerSize = 40; // 12, 40, 52, 56, 108, 124
    std::int32_t width = 1;
    std::int32_t height = 1; // negative: top-down
    std::uint16_t bitCount = 8;
    std::uint32_t compression = 0;
    std::vector<std::uint32_t> masks = {}; // bit-field masks: in the header (52+) or after it (40)
    std::vector<Rgb> palette = {};
    std::uint32_t clrUsed = 0;
    std::vector<std::uint8_t> pixels = {}; // the pixel data as stored in the file
};

inline void putLe(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::vector<std::uint8_t> BuildBmp(const BmpFields& s) {
    const bool core = s.headerSize == 12;
    const std::size_t maskBytes = s.headerSize == 40 ? s.masks.size() * 4 : 0;
    const std::size_t entryBytes = core ? 3 : 4;
    const std::size_t offBits = 14 + s.headerSize + maskBytes + s.palette.size() * entryBytes;
    std::vector<std::uint8_t> out(offBits + s.pixels.size(), 0);
    out[0] = 'B';
    out[1] = 'M';
    putLe(out, 2, static_cast<std::uint32_t>(out.size()), 4);
    putLe(out, 10, static_cast<std::uint32_t>(offBits), 4);
    const std::size_t h = 14;
    putLe(out, h, s.headerSize, 4);
    if (core) {
        putLe(out, h + 4, static_cast<std::uint32_t>(s.width), 2);
        putLe(out, h + 6, static_cast<std::uint32_t>(s.height), 2);
        putLe(out, h + 8, 1, 2);
        putLe(out, h + 10, s.bitCount, 2);
    } else {
        putLe(out, h + 4, static_cast<std::uint32_t>(s.width), 4);
        putLe(out, h + 8, static_cast<std::uint32_t>(s.height), 4);
        putLe(out, h + 12, 1, 2);
        putLe(out, h + 14, s.bitCount, 2);
        putLe(out, h + 16, s.compression, 4);
        putLe(out, h + 20, static_cast<std::uint32_t>(s.pixels.size()), 4);
        putLe(out, h + 32, s.clrUsed, 4);
        const std::size_t maskAt = h + 40; // after a 40-byte header, or inside a longer one
        for (std::size_t i = 0; i < s.masks.size(); ++i) {
            if (s.headerSize == 40 || 40 + 4 * i + 4 <= s.headerSize)
                putLe(out, maskAt + 4 * i, s.masks[i], 4);
        }
    }
    std::size_t at = 14 + s.headerSize + maskBytes;
    for (const Rgb& c : s.palette) {
        out[at] = c.blue;
        out[at + 1] = c.green;
        out[at + 2] = c.red;
        at += entryBytes;
    }
    std::copy(s.pixels.begin(), s.pixels.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return out;
}

// Packs the sample values of a width × height picture (sample(x, y), row 0 at the top) into
// rows of `bits` bits per pixel padded to 4 bytes, bottom-up unless `topDown`. Samples wider
// than a byte are stored little-endian.
inline std::vector<std::uint8_t> PackRows(int width, int height, int bits, bool topDown,
                                          const std::function<std::uint32_t(int, int)>& sample) {
    const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
    std::vector<std::uint8_t> out(stride * static_cast<std::size_t>(height), 0);
    for (int r = 0; r < height; ++r) {
        const int y = topDown ? r : height - 1 - r;
        std::uint8_t* row = out.data() + stride * static_cast<std::size_t>(r);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = sample(x, y);
            if (bits < 8) {
                const int shift = 8 - bits - (x * bits) % 8;
                row[x * bits / 8] |= static_cast<std::uint8_t>(v << shift);
            } else {
                for (int b = 0; b < bits / 8; ++b)
                    row[x * bits / 8 + b] = static_cast<std::uint8_t>(v >> (8 * b));
            }
        }
    }
    return out;
}

// A palette of `count` distinct colours.
inline std::vector<Rgb> TestPalette(int count) {
    std::vector<Rgb> palette = {};
    for (int i = 0; i < count; ++i)
        palette.push_back(Rgb{static_cast<std::uint8_t>(i * 7 + 1),
                              static_cast<std::uint8_t>(255 - i),
                              static_cast<std::uint8_t>(i * 13 + 5)});
    return palette;
}

// A bottom-up bitmap of `bits` per pixel: palettised ones index a TestPalette, wider ones
// hold a gradient of colours.
inline std::vector<std::uint8_t> SampleBmp(int bits, int width, int height) {
    return BuildBmp(
        {.width = width,
         .height = height,
         .bitCount = static_cast<std::uint16_t>(bits),
         .palette = bits <= 8 ? TestPalette(1 << bits) : std::vector<Rgb>{},
         .pixels = PackRows(width, height, bits, false, [&](int x, int y) -> std::uint32_t {
             return bits <= 8 ? static_cast<std::uint32_t>(x + 2 * y) % (1u << bits)
                              : 0x102030u * static_cast<std::uint32_t>(x + y + 1);
         })});
}
