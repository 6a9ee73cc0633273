// SPDX-License-Identifier: MIT
// Copying a picture's colour table into the window's palette.
#include "graphics/palette.h"

#include <algorithm>

std::size_t CopyPictureToPaletteTable(const Picture& picture, PaletteTable& table) {
    const std::size_t count = std::min(picture.palette.size(), table.size());
    for (std::size_t i = 0; i < count; ++i) {
        table[i].red = picture.palette[i].red;
        table[i].green = picture.palette[i].green;
        table[i].blue = picture.palette[i].blue;
        table[i].flags = 0;
    }
    return count;
}
