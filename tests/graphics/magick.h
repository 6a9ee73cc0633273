// ImageMagick's convert as an independent encoder and decoder for the picture tests, and the
// plain PPM files it is fed and read back through.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/picture.h"

inline bool HaveConvert() {
    return std::system("convert -version >/dev/null 2>&1") == 0;
}

#define SKIP_WITHOUT_CONVERT()                                                                     \
    do {                                                                                           \
        if (!HaveConvert()) GTEST_SKIP() << "ImageMagick's convert is not installed";              \
    } while (0)

// Runs convert with `args` (paths quoted by the caller); true when it succeeds.
inline bool RunConvert(const std::string& args) {
    return std::system(("convert " + args + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Quoted(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels; // row 0 at the top
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

inline void WritePpm(const std::filesystem::path& path, const RgbImage& image) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << image.width << " " << image.height << "\n255\n";
    for (const Rgb& c : image.pixels)
        out << static_cast<char>(c.red) << static_cast<char>(c.green) << static_cast<char>(c.blue);
}

// Reads a binary PPM with 8-bit samples, as convert writes it; an empty image on failure.
inline RgbImage ReadPpm(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    RgbImage image;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255 || image.width <= 0 || image.height <= 0) return {};
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < static_cast<std::size_t>(image.width * image.height * 3)) return {};
    for (int i = 0; i < image.width * image.height; ++i)
        image.pixels.push_back(Rgb{static_cast<std::uint8_t>(bytes[3 * i]),
                                   static_cast<std::uint8_t>(bytes[3 * i + 1]),
                                   static_cast<std::uint8_t>(bytes[3 * i + 2])});
    return image;
}

inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
