// SPDX-License-Identifier: MIT
// Vela image files: building the record from a picture (the device image layout: columns
// left to right, each from the bottom row up, padding at the end of each column), writing it
// through a C stream, and reading a file back with every header field checked before the
// pixel data is touched.
#include "graphics/vxg.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/le_bytes.h"
#include "file_bytes.h"
#include "graphics/device_format.h"

namespace {

// Field offsets of the header, in bytes from the start of the file.
constexpr std::size_t kOffSignature = 0;
constexpr std::size_t kOffVersion = 4;
constexpr std::size_t kOffHeaderRest = 8;
constexpr std::size_t kOffFlags = 12;
constexpr std::size_t kOffWidth = 16;
constexpr std::size_t kOffHeight = 20;
constexpr std::size_t kOffTransIndex = 24;
constexpr std::size_t kOffDataSize = 28;

// The data size a header's flags, width and height call for, or -1 for flags the format
// does not define or a size no picture may have (which also keeps the product in range).
std::int64_t expectedDataSize(std::uint32_t flags, std::uint32_t width, std::uint32_t height) {
    if (!PictureSizeAllowed(width, height)) return -1;
    const std::uint32_t kind = flags & ~kVxgFlagTransparent;
    if (kind == kVxgFlag8Bit) return std::int64_t{width} * ColumnBytes8(height);
    if (kind == kVxgFlag16Bit) return std::int64_t{width} * ColumnPixels16(height) * 2;
    return -1;
}

} // namespace

bool HasVxgForm(PixelFormat format) {
    return format == PixelFormat::Bits8 || format == PixelFormat::Bits15 ||
           format == PixelFormat::Bits16 || format == PixelFormat::Bits24 ||
           format == PixelFormat::Bits32;
}

void VxgInit(VxgImage& image) {
    image = VxgImage{};
}

void VxgFree(VxgImage& image) {
    image.data.clear();
    image.data.shrink_to_fit();
    VxgInit(image);
}

VxgResult VxgFromPicture(const Picture& picture, bool usesTransparent, std::uint32_t transIndex,
                         VxgImage& image) {
    VxgInit(image);
    const bool eightBit = picture.format == PixelFormat::Bits8;
    if (!HasVxgForm(picture.format)) return VxgResult::NotSavable;
    if (!PictureSizeAllowed(picture.width, picture.height)) return VxgResult::NotSavable;

    const auto w = static_cast<std::uint32_t>(picture.width);
    const auto h = static_cast<std::uint32_t>(picture.height);
    image.flags =
        (usesTransparent ? kVxgFlagTransparent : 0) | (eightBit ? kVxgFlag8Bit : kVxgFlag16Bit);
    image.width = w;
    image.height = h;
    image.transIndex = transIndex;
    image.dataSize = static_cast<std::uint32_t>(expectedDataSize(image.flags, w, h));
    image.data.assign(image.dataSize, 0);

    const std::size_t column = eightBit ? ColumnBytes8(h) : ColumnPixels16(h);
    for (std::uint32_t x = 0; x < w; ++x) {
        for (std::uint32_t y = 0; y < h; ++y) {
            const std::size_t element = x * column + (h - 1 - y);
            if (eightBit) {
                image.data[element] = picture.indexAt(static_cast<int>(x), static_cast<int>(y));
            } else {
                const Rgb c = picture.colorAt(static_cast<int>(x), static_cast<int>(y));
                const std::uint16_t v = DevicePixel(c.red, c.green, c.blue);
                putLe16(image.data.data() + 2 * element, v);
            }
        }
    }
    return VxgResult::Ok;
}

VxgResult VxgWrite(const std::string& path, const VxgImage& image) {
    // A record whose buffer is shorter than its data size would make the write read past it.
    if (image.data.size() < image.dataSize) return VxgResult::WriteFailed;
    std::uint8_t header[kVxgHeaderBytes];
    std::memcpy(header + kOffSignature, image.signature, 4);
    putLe32(header + kOffVersion, image.version);
    putLe32(header + kOffHeaderRest, image.headerRest);
    putLe32(header + kOffFlags, image.flags);
    putLe32(header + kOffWidth, image.width);
    putLe32(header + kOffHeight, image.height);
    putLe32(header + kOffTransIndex, image.transIndex);
    putLe32(header + kOffDataSize, image.dataSize);

    const FileWriteResult written =
        WriteWholeFile(path, {{header, sizeof header}, {image.data.data(), image.dataSize}});
    return written == FileWriteResult::Ok ? VxgResult::Ok : VxgResult::WriteFailed;
}

VxgResult VxgParse(const std::uint8_t* bytes, std::size_t size, VxgImage& image) {
    VxgInit(image);
    if (bytes == nullptr || size < kVxgHeaderBytes) return VxgResult::BadFile;
    if (std::memcmp(bytes + kOffSignature, image.signature, 4) != 0) return VxgResult::BadFile;
    image.version = le32(bytes + kOffVersion);
    image.headerRest = le32(bytes + kOffHeaderRest);
    image.flags = le32(bytes + kOffFlags);
    image.width = le32(bytes + kOffWidth);
    image.height = le32(bytes + kOffHeight);
    image.transIndex = le32(bytes + kOffTransIndex);
    image.dataSize = le32(bytes + kOffDataSize);
    const std::int64_t expected = expectedDataSize(image.flags, image.width, image.height);
    if (image.version != kVxgVersion || image.headerRest != kVxgHeaderRest || expected < 0 ||
        !PictureSizeAllowed(image.width, image.height) || expected != image.dataSize ||
        size - kVxgHeaderBytes != image.dataSize) {
        VxgInit(image);
        return VxgResult::BadFile;
    }
    image.data.assign(bytes + kVxgHeaderBytes, bytes + size);
    return VxgResult::Ok;
}

VxgResult VxgRead(const std::string& path, VxgImage& image) {
    std::vector<std::uint8_t> bytes;
    // The largest valid file: the pixel limit in 16-bit columns with a row of padding each.
    const std::uint64_t limit = kVxgHeaderBytes + 2 * (kMaxPicturePixels + 2 * kMaxPictureSide);
    switch (ReadFileBytes(path, limit, bytes)) {
    case FileBytesResult::Ok:
        return VxgParse(bytes.data(), bytes.size(), image);
    case FileBytesResult::OpenFailed:
    case FileBytesResult::ReadFailed:
        VxgInit(image);
        return VxgResult::OpenFailed;
    case FileBytesResult::TooLarge:
        break;
    }
    VxgInit(image);
    return VxgResult::BadFile;
}

VxgResult VxgToPicture(const VxgImage& image, const PaletteTable& palette, Picture& picture) {
    picture = Picture{};
    const std::int64_t expected = expectedDataSize(image.flags, image.width, image.height);
    if (expected < 0 || expected != image.dataSize || image.data.size() < image.dataSize ||
        !PictureSizeAllowed(image.width, image.height))
        return VxgResult::BadFile;
    const bool eightBit = (image.flags & ~kVxgFlagTransparent) == kVxgFlag8Bit;
    const std::uint32_t w = image.width;
    const std::uint32_t h = image.height;
    picture.width = static_cast<int>(w);
    picture.height = static_cast<int>(h);
    picture.format = eightBit ? PixelFormat::Bits8 : PixelFormat::Bits16;
    const std::size_t count = std::size_t{w} * h;
    if (eightBit) {
        picture.palette.reserve(palette.size());
        for (const PaletteEntry& e : palette)
            picture.palette.push_back(Rgb{e.red, e.green, e.blue});
        picture.indices.assign(count, 0);
    } else {
        picture.colors.assign(count, Rgb{});
    }
    const std::size_t column = eightBit ? ColumnBytes8(h) : ColumnPixels16(h);
    for (std::uint32_t x = 0; x < w; ++x) {
        for (std::uint32_t y = 0; y < h; ++y) {
            const std::size_t element = x * column + (h - 1 - y);
            const std::size_t at = std::size_t{y} * w + x;
            if (eightBit) {
                picture.indices[at] = image.data[element];
            } else {
                const unsigned v = le16(image.data.data() + 2 * element);
                picture.colors[at] = Rgb{Expand5((v >> 11) & 0x1F), Expand5((v >> 6) & 0x1F),
                                         Expand5((v >> 1) & 0x1F)};
            }
        }
    }
    return VxgResult::Ok;
}
