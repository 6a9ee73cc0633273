// SPDX-License-Identifier: MIT
// Fuzz target: the Windows bitmap decoder. A decoded picture must be consistent with its
// size and format, and must survive the Vela image writer's conversion.
#include <cstdlib>

#include "graphics/picture_loader.h"
#include "graphics/vxg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Picture picture;
    if (DecodeBmp(data, size, picture) != PictureLoadResult::Ok) return 0;
    const std::size_t pixels =
        static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height);
    const bool consistent =
        picture.isPalettised() ? picture.indices.size() == pixels : picture.colors.size() == pixels;
    if (!consistent || DepthText(picture.format) == nullptr) std::abort();
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            (void)picture.colorAt(x, y);
    VxgImage image;
    (void)VxgFromPicture(picture, true, 1, image);
    return 0;
}
