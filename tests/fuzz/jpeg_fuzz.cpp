// SPDX-License-Identifier: MIT
// Fuzz target: JPEG decoding through libjpeg with the returning error handler.
#include <cstdlib>

#include "graphics/picture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Picture picture;
    if (DecodeJpeg(data, size, picture) != PictureLoadResult::Ok) return 0;
    const std::size_t pixels =
        static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height);
    if (picture.colors.size() != pixels || picture.format != PixelFormat::Bits24) std::abort();
    return 0;
}
