// SPDX-License-Identifier: MIT
// What the picture tests share: ImageMagick's convert as an independent encoder and decoder
// (fed and read back as raw RGB), whole-file reading and writing, and pictures
// made in memory.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/image_list.h"
#include "graphics/picture.h"

#define SKIP_WITHOUT_CONVERT()                                                                     \
    if (std::system("convert -version >/dev/null 2>&1") != 0)                                      \
    GTEST_SKIP() << "ImageMagick's convert is not installed"

// Runs convert with `args` (paths quoted by the caller); true when it succeeds.
inline bool RunConvert(const std::string& args) {
    return std::system(("convert " + args + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Quoted(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = ReadAll(path);
    return {bytes.begin(), bytes.end()};
}

// A palettised picture of `format` whose pixel (x, y) has index `index(x, y)`, with a palette
// of 256 grey levels; or, for other formats, pixel colours of that grey.
inline Picture MakePicture(int width, int height, PixelFormat format,
                           const std::function<int(int, int)>& index) {
    Picture p;
    p.width = width;
    p.height = height;
    p.format = format;
    for (int i = 0; i < 256 && p.isPalettised(); ++i)
        p.palette.push_back(Rgb{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                                static_cast<std::uint8_t>(i)});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto v = static_cast<std::uint8_t>(index(x, y));
            if (p.isPalettised())
                p.indices.push_back(v);
            else
                p.colors.push_back(Rgb{v, v, v});
        }
    return p;
}

// A row of the image list for a picture loaded from "/pictures/<fileName>".
inline ImageItem ItemOf(Picture picture, const std::string& fileName) {
    LoadedPicture loaded;
    loaded.picture = std::move(picture);
    return MakeImageItem("/pictures/" + fileName, std::move(loaded));
}
