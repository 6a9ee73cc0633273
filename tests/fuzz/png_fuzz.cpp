// SPDX-License-Identifier: MIT
// Fuzz target: PNG decoding through libpng with the returning error handler. A picture that
// decodes must be whole: its pixels match its size, a palette picture's transparent index
// lies within its palette.
#include <cstdlib>

#include "graphics/picture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LoadedPicture loaded;
    if (DecodePng(data, size, loaded) != PictureLoadResult::Ok) return 0;
    const Picture& p = loaded.picture;
    const std::size_t pixels =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    if (p.isPalettised()) {
        if (p.format != PixelFormat::Bits8 || p.indices.size() != pixels) std::abort();
        if (loaded.usesTransparent && loaded.transparentIndex >= 256) std::abort();
        for (int y = 0; y < p.height; y += 7)
            for (int x = 0; x < p.width; x += 7)
                (void)p.colorAt(x, y);
    } else if (p.format != PixelFormat::Bits24 || p.colors.size() != pixels) {
        std::abort();
    }
    return 0;
}
