// SPDX-License-Identifier: MIT
// Windows bitmap decoder. It reads the 14-byte file header, one of the info headers (core
// 12 bytes; info 40, 52, 56; V4 108; V5 124), the bit-field masks and the colour table, and
// then the pixel rows: 1, 4 and 8-bit palettised (RLE4 and RLE8 too), 16-bit 5-5-5 or, by
// masks, 5-6-5, 24 and 32-bit, bottom-up or top-down. Every offset and length comes from the
// file and is checked against the buffer before use; sizes are computed in 64 bits.
#include <cstring>

#include "common/le_bytes.h"
#include "graphics/device_format.h"
#include "graphics/picture_loader.h"

namespace {

// File header offsets (BITMAPFILEHEADER).
constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kOffBits = 10;

// Info header offsets, relative to its start (BITMAPINFOHEADER and its successors).
constexpr std::size_t kHdrSize = 0;
constexpr std::size_t kHdrWidth = 4;
constexpr std::size_t kHdrHeight = 8;
constexpr std::size_t kHdrBitCount = 14;
constexpr std::size_t kHdrCompression = 16;
constexpr std::size_t kHdrClrUsed = 32;
constexpr std::size_t kHdrMasks = 40; // red, green, blue masks in headers of 52 bytes and more

// Core header offsets (BITMAPCOREHEADER): 16-bit width and height.
constexpr std::size_t kCoreWidth = 4;
constexpr std::size_t kCoreHeight = 6;
constexpr std::size_t kCoreBitCount = 10;

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiAlphaBitfields = 6;

struct Layout {
    std::int64_t width = 0;
    std::int64_t height = 0; // positive; `topDown` holds the sign
    bool topDown = false;
    unsigned bitCount = 0;
    std::uint32_t compression = kBiRgb;
    std::uint32_t masks[3] = {0, 0, 0};
    std::size_t paletteOffset = 0;
    std::size_t paletteEntryBytes = 4;
    std::uint64_t paletteCount = 0;
    std::uint64_t hintBytes = 0; // a true-colour picture's colour table, passed over
};

bool isMasks(const Layout& l, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return l.masks[0] == r && l.masks[1] == g && l.masks[2] == b;
}

// Reads the headers into `l`; the picture's format is decided by the caller.
PictureLoadResult readHeaders(const std::uint8_t* data, std::size_t size, Layout& l) {
    if (size < kFileHeaderBytes + 4 || data[0] != 'B' || data[1] != 'M')
        return PictureLoadResult::DecodeFailed;
    const std::uint8_t* hdr = data + kFileHeaderBytes;
    const std::uint32_t hdrSize = le32(hdr + kHdrSize);
    if (hdrSize > size - kFileHeaderBytes) return PictureLoadResult::DecodeFailed;
    std::size_t afterHeader = kFileHeaderBytes + hdrSize;

    if (hdrSize == 12) {
        l.width = le16(hdr + kCoreWidth);
        l.height = le16(hdr + kCoreHeight);
        l.bitCount = le16(hdr + kCoreBitCount);
        l.paletteEntryBytes = 3;
    } else if (hdrSize == 40 || hdrSize == 52 || hdrSize == 56 || hdrSize == 108 ||
               hdrSize == 124) {
        l.width = static_cast<std::int32_t>(le32(hdr + kHdrWidth));
        const std::int64_t height = static_cast<std::int32_t>(le32(hdr + kHdrHeight));
        l.topDown = height < 0;
        l.height = height < 0 ? -height : height;
        l.bitCount = le16(hdr + kHdrBitCount);
        l.compression = le32(hdr + kHdrCompression);
        l.paletteCount = le32(hdr + kHdrClrUsed);
        if (l.compression == kBiBitfields || l.compression == kBiAlphaBitfields) {
            // Headers of 52 bytes and more carry the masks; the 40-byte header is followed by
            // them (three, or four with alpha).
            const std::uint8_t* masks = hdr + kHdrMasks;
            if (hdrSize == 40) {
                const std::size_t maskBytes = l.compression == kBiAlphaBitfields ? 16 : 12;
                if (maskBytes > size - afterHeader) return PictureLoadResult::DecodeFailed;
                masks = data + afterHeader;
                afterHeader += maskBytes;
            }
            for (int i = 0; i < 3; ++i)
                l.masks[i] = le32(masks + 4 * i);
        }
    } else {
        return PictureLoadResult::DecodeFailed;
    }

    if (!PictureSizeAllowed(l.width, l.height)) return PictureLoadResult::DecodeFailed;

    if (l.bitCount <= 8) {
        const std::uint64_t fits = std::uint64_t{1} << l.bitCount;
        if (l.paletteCount == 0 || hdrSize == 12) l.paletteCount = fits;
        if (l.paletteCount > fits) return PictureLoadResult::DecodeFailed;
    } else {
        // A true-colour picture's table only suggests colours for a display of few; its
        // pixels start past it, however long it is.
        l.hintBytes = l.paletteCount * l.paletteEntryBytes;
        l.paletteCount = 0;
    }
    l.paletteOffset = afterHeader;
    if (l.paletteCount * l.paletteEntryBytes > size - afterHeader)
        return PictureLoadResult::DecodeFailed;
    return PictureLoadResult::Ok;
}

// Decides the pixel format of a layout; Custom when it has no depth text.
PixelFormat formatOf(const Layout& l) {
    const std::uint32_t c = l.compression;
    switch (l.bitCount) {
    case 1:
        return c == kBiRgb ? PixelFormat::Bits1 : PixelFormat::Custom;
    case 4:
        return c == kBiRgb || c == kBiRle4 ? PixelFormat::Bits4 : PixelFormat::Custom;
    case 8:
        return c == kBiRgb || c == kBiRle8 ? PixelFormat::Bits8 : PixelFormat::Custom;
    case 16:
        if (c == kBiRgb) return PixelFormat::Bits15;
        if (c == kBiBitfields || c == kBiAlphaBitfields) {
            if (isMasks(l, 0x7C00, 0x03E0, 0x001F)) return PixelFormat::Bits15;
            if (isMasks(l, 0xF800, 0x07E0, 0x001F)) return PixelFormat::Bits16;
        }
        return PixelFormat::Custom;
    case 24:
        return c == kBiRgb ? PixelFormat::Bits24 : PixelFormat::Custom;
    case 32:
        if (c == kBiRgb) return PixelFormat::Bits32;
        if ((c == kBiBitfields || c == kBiAlphaBitfields) &&
            isMasks(l, 0x00FF0000, 0x0000FF00, 0x000000FF))
            return PixelFormat::Bits32;
        return PixelFormat::Custom;
    default:
        return PixelFormat::Custom;
    }
}

void readPalette(const std::uint8_t* data, const Layout& l, Picture& out) {
    out.palette.resize(static_cast<std::size_t>(l.paletteCount));
    for (std::size_t i = 0; i < out.palette.size(); ++i) {
        const std::uint8_t* e = data + l.paletteOffset + i * l.paletteEntryBytes;
        out.palette[i] = Rgb{e[2], e[1], e[0]};
    }
}

Rgb decode16(std::uint16_t v, PixelFormat f) {
    if (f == PixelFormat::Bits16) {
        const unsigned g6 = (v >> 5) & 0x3F;
        return Rgb{Expand5((v >> 11) & 0x1F), static_cast<std::uint8_t>((g6 << 2) | (g6 >> 4)),
                   Expand5(v & 0x1F)};
    }
    return Rgb{Expand5((v >> 10) & 0x1F), Expand5((v >> 5) & 0x1F), Expand5(v & 0x1F)};
}

PictureLoadResult decodeRows(const std::uint8_t* pixels, std::size_t available, const Layout& l,
                             Picture& out) {
    const std::uint64_t rowBits = static_cast<std::uint64_t>(l.width) * l.bitCount;
    const std::uint64_t stride = (rowBits + 31) / 32 * 4;
    // The last row's padding may be missing from a file; its pixels may not.
    const std::uint64_t needed =
        stride * static_cast<std::uint64_t>(l.height - 1) + (rowBits + 7) / 8;
    if (needed > available) return PictureLoadResult::DecodeFailed;

    const std::size_t w = static_cast<std::size_t>(l.width);
    for (std::int64_t r = 0; r < l.height; ++r) {
        const std::uint8_t* row = pixels + static_cast<std::size_t>(stride) * r;
        const std::size_t y = static_cast<std::size_t>(l.topDown ? r : l.height - 1 - r);
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t at = y * w + x;
            switch (out.format) {
            case PixelFormat::Bits1:
                out.indices[at] = (row[x / 8] >> (7 - x % 8)) & 1;
                break;
            case PixelFormat::Bits4:
                out.indices[at] = x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 0x0F;
                break;
            case PixelFormat::Bits8:
                out.indices[at] = row[x];
                break;
            case PixelFormat::Bits15:
            case PixelFormat::Bits16:
                out.colors[at] = decode16(le16(row + 2 * x), out.format);
                break;
            case PixelFormat::Bits24:
                out.colors[at] = Rgb{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
                break;
            default: // Bits32
                out.colors[at] = Rgb{row[4 * x + 2], row[4 * x + 1], row[4 * x]};
                break;
            }
        }
    }
    return PictureLoadResult::Ok;
}

// Run-length decoding (RLE8 and RLE4), always bottom-up. Encoders pad rows with pixels past
// the right edge, so those are dropped; a command that writes above the top row, or moves
// there, is broken data. Pixels the stream never sets keep index 0.
PictureLoadResult decodeRle(const std::uint8_t* p, std::size_t available, const Layout& l,
                            Picture& out) {
    const bool four = l.compression == kBiRle4;
    const std::int64_t w = l.width;
    const std::int64_t h = l.height;
    std::int64_t x = 0;
    std::int64_t y = 0; // counted from the bottom row
    std::size_t at = 0;
    auto put = [&](std::uint8_t index) {
        if (x < w) out.indices[static_cast<std::size_t>((h - 1 - y) * w + x)] = index;
        ++x;
    };
    while (true) {
        // Running out of data between two commands ends the picture as an end marker would;
        // inside a command it is truncation.
        if (available - at < 2)
            return at == available ? PictureLoadResult::Ok : PictureLoadResult::DecodeFailed;
        const unsigned count = p[at];
        const std::uint8_t value = p[at + 1];
        at += 2;
        if (count > 0) {
            if (y >= h) return PictureLoadResult::DecodeFailed;
            for (unsigned i = 0; i < count; ++i)
                put(four ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value);
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++y;
        } else if (value == 1) { // end of bitmap
            return PictureLoadResult::Ok;
        } else if (value == 2) { // move by (dx, dy)
            if (available - at < 2) return PictureLoadResult::DecodeFailed;
            x += p[at];
            y += p[at + 1];
            at += 2;
            if (y > h) return PictureLoadResult::DecodeFailed;
        } else { // `value` literal pixels, padded to a 16-bit boundary
            const std::size_t bytes = four ? (value + 1u) / 2 : value;
            const std::size_t padded = (bytes + 1) & ~std::size_t{1};
            if (padded > available - at) return PictureLoadResult::DecodeFailed;
            if (y >= h) return PictureLoadResult::DecodeFailed;
            for (unsigned i = 0; i < value; ++i)
                put(four ? (i % 2 == 0 ? p[at + i / 2] >> 4 : p[at + i / 2] & 0x0F) : p[at + i]);
            at += padded;
        }
    }
}

} // namespace

PictureLoadResult DecodeBmp(const std::uint8_t* data, std::size_t size, Picture& out) {
    out = Picture{};
    if (data == nullptr) return PictureLoadResult::DecodeFailed;
    Layout l;
    if (PictureLoadResult r = readHeaders(data, size, l); r != PictureLoadResult::Ok) return r;
    const bool rle = l.compression == kBiRle8 || l.compression == kBiRle4;
    // Run-length data is only defined bottom-up, RLE8 for 8 bits and RLE4 for 4.
    if (rle && (l.topDown || l.bitCount != (l.compression == kBiRle8 ? 8u : 4u)))
        return PictureLoadResult::DecodeFailed;

    out.format = formatOf(l);
    if (out.format == PixelFormat::Custom) return PictureLoadResult::NotValidFormat;

    std::uint64_t offset = le32(data + kOffBits);
    if (offset == 0) offset = l.paletteOffset + l.paletteCount * l.paletteEntryBytes + l.hintBytes;
    if (offset < kFileHeaderBytes + 12 || offset > size) return PictureLoadResult::DecodeFailed;

    out.width = static_cast<int>(l.width);
    out.height = static_cast<int>(l.height);
    const std::size_t count = static_cast<std::size_t>(l.width * l.height);
    if (out.isPalettised()) {
        readPalette(data, l, out);
        out.indices.assign(count, 0);
    } else {
        out.colors.assign(count, Rgb{});
    }
    const std::size_t at = static_cast<std::size_t>(offset);
    if (rle) return decodeRle(data + at, size - at, l, out);
    return decodeRows(data + at, size - at, l, out);
}
