// SPDX-License-Identifier: MIT
// Pixel access and depth texts of decoded pictures.
#include "graphics/picture.h"

#include <cstddef>

bool Picture::isPalettised() const {
    return format == PixelFormat::Bits1 || format == PixelFormat::Bits4 ||
           format == PixelFormat::Bits8;
}

std::uint8_t Picture::indexAt(int x, int y) const {
    if (!isPalettised()) return 0;
    return indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                   static_cast<std::size_t>(x)];
}

Rgb Picture::colorAt(int x, int y) const {
    const std::size_t at =
        static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    if (!isPalettised()) return colors[at];
    const std::uint8_t index = indices[at];
    return index < palette.size() ? palette[index] : Rgb{};
}

const char* DepthText(PixelFormat format) {
    switch (format) {
    case PixelFormat::Device:
        return "dev.";
    case PixelFormat::Bits1:
        return "1";
    case PixelFormat::Bits4:
        return "4";
    case PixelFormat::Bits8:
        return "8";
    case PixelFormat::Bits15:
        return "15";
    case PixelFormat::Bits16:
        return "16";
    case PixelFormat::Bits24:
        return "24";
    case PixelFormat::Bits32:
        return "32";
    case PixelFormat::Custom:
        break;
    }
    return nullptr;
}

bool PictureSizeAllowed(std::int64_t width, std::int64_t height) {
    return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
           width * height <= kMaxPicturePixels;
}
