// SPDX-License-Identifier: MIT
// What the picture tests share: ImageMagick's convert as an independent encoder and decoder
// (fed and read back through plain PPM files), whole-file reading and writing, and pictures
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

#include "graphics/picture.h"

#define SKIP_WITHOUT_CONVERT()                                                                     \
    if (std::system("convert -version >/dev/null 2>&1") != 0)                                     \
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
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> bytes = ReadAll(path);
    return {bytes.begin(), bytes.end()};
}

// A binary PPM of `colors` (row 0 at the top), for convert to encode.
inline void WritePpm(const std::filesystem::path& path, int width, int height,
                     const std::vector<Rgb>& colors) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    for (const Rgb& c : colors)
        out << static_cast<char>(c.red) << static_cast<char>(c.green) << static_cast<char>(c.blue);
}

// The pixels of a binary PPM with 8-bit samples, as convert writes it; empty on failure.
inline std::vector<Rgb> ReadPpm(const std::filesystem::path& path, int& width, int& height) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> width >> height >> maxValue;
    in.get();
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Rgb> colors;
    if (magic != "P6" || maxValue != 255 || bytes.size() < std::size_t(3 * width * height))
        return colors;
    for (int i = 0; i < width * height; ++i)
        colors.push_back(Rgb{static_cast<std::uint8_t>(bytes[3 * i]),
                             static_cast<std::uint8_t>(bytes[3 * i + 1]),
                             static_cast<std::uint8_t>(bytes[3 * i + 2])});
    return colors;
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
