// Pictures made in memory for the writer tests.
#pragma once

#include <functional>

#include "graphics/picture.h"

// A palettised picture of `format` whose pixel (x, y) has index `index(x, y)`, with a palette
// of 256 grey levels.
inline Picture IndexedPicture(int width, int height, PixelFormat format,
                              const std::function<int(int, int)>& index) {
    Picture p;
    p.width = width;
    p.height = height;
    p.format = format;
    for (int i = 0; i < 256; ++i)
        p.palette.push_back(Rgb{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                                static_cast<std::uint8_t>(i)});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.indices.push_back(static_cast<std::uint8_t>(index(x, y)));
    return p;
}

// A direct-colour picture of `format` whose pixel (x, y) is `colour(x, y)`.
inline Picture ColourPicture(int width, int height, PixelFormat format,
                             const std::function<Rgb(int, int)>& colour) {
    Picture p;
    p.width = width;
    p.height = height;
    p.format = format;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.colors.push_back(colour(x, y));
    return p;
}
