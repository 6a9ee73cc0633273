// SPDX-License-Identifier: MIT
// Pictures written by an independent encoder (ImageMagick's convert) load with the depth,
// palette and pixels that convert's own decoding of the same file gives: bitmaps, JPEG in
// colour, grey and CMYK, PNG of every colour type. Damaged JPEG and PNG data fails cleanly; a
// JPEG that libjpeg complains about but delivers whole loads with the complaint.
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/temp_dir.h"
#include "graphics/picture_loader.h"
#include "magick.h"

namespace {

constexpr int kW = 23;
constexpr int kH = 13;

// A smooth source picture (so JPEG's losses stay small) of `colours` distinct colours, or of
// many when 0, written as raw RGB; returns how convert reads it.
std::string writeSource(const TempDir& dir, int colours) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int i = colours ? (x / 3 + 5 * y) % colours : x + 3 * y;
            out.insert(out.end(),
                       {static_cast<std::uint8_t>(colours == 2 ? i * 255 : i * 6),
                        static_cast<std::uint8_t>(250 - i * 5), static_cast<std::uint8_t>(i * 37)});
        }
    WriteAll(dir / "src.rgb", out);
    return "-size 23x13 -depth 8 rgb:" + Quoted(dir / "src.rgb");
}

struct Variant {
    const char* name;
    int colours;         // of the source; 0 for many
    const char* options; // convert options and output prefix
    const char* file;    // the file name, whose extension picks the decoder
    const char* depth;
    int tolerance; // per channel, against convert's decoding: JPEG decoders, and the reductions
                   // of 16-bit grey, round apart
};

class ConvertWritten : public testing::TestWithParam<Variant> {};

TEST_P(ConvertWritten, LoadsLikeConvertDecodesIt) {
    SKIP_WITHOUT_CONVERT();
    const Variant& v = GetParam();
    TempDir dir;
    ASSERT_TRUE(RunConvert(writeSource(dir, v.colours) + " " + v.options + Quoted(dir / v.file)));
    ASSERT_TRUE(RunConvert(Quoted(dir / v.file) +
                           " -colorspace sRGB -depth 8 rgb:" + Quoted(dir / "ref.rgb")));
    const std::vector<std::uint8_t> reference = ReadAll(dir / "ref.rgb");
    ASSERT_EQ(reference.size(), std::size_t{kW * kH * 3});

    LoadedPicture loaded;
    ASSERT_EQ(LoadPicture((dir / v.file).string(), PaletteTable{}, loaded), PictureLoadResult::Ok);
    const Picture& p = loaded.picture;
    EXPECT_STREQ(DepthText(p.format), v.depth);
    EXPECT_EQ(p.isPalettised(), !p.palette.empty());
    EXPECT_FALSE(loaded.usesTransparent);
    ASSERT_EQ(p.width, kW);
    ASSERT_EQ(p.height, kH);
    int worst = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb a = p.colorAt(x, y);
            const std::uint8_t* b = &reference[static_cast<std::size_t>(3 * (y * kW + x))];
            for (const int d : {a.red - b[0], a.green - b[1], a.blue - b[2]})
                worst = std::max(worst, std::abs(d));
        }
    EXPECT_LE(worst, v.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ConvertWritten,
    testing::Values(
        Variant{"bmp_core_24bit", 0, "-type TrueColor BMP2:", "a.bmp", "24", 0},
        Variant{"bmp_v5_rle8", 40, "-type Palette -compress RLE BMP:", "a.bmp", "8", 0},
        Variant{"bmp_v5_565", 0, "-define bmp:subtype=RGB565 BMP:", "a.bmp", "16", 0},
        Variant{"bmp_v5_32bit", 0, "-alpha on BMP:", "a.bmp", "32", 0},
        Variant{"jpeg_colour", 0, "-quality 95 ", "a.jpg", "24", 1},
        Variant{"jpeg_grey", 0, "-quality 95 -colorspace Gray ", "a.jpeg", "24", 1},
        Variant{"jpeg_cmyk", 0, "-quality 95 -colorspace CMYK ", "a.jpg", "24", 1},
        Variant{"png_palette_2bit", 4,
                "-define png:bit-depth=2 -define png:color-type=3 PNG:", "a.png", "8", 0},
        Variant{"png_palette_8bit_interlaced", 40, "-interlace PNG PNG8:", "a.PNG", "8", 0},
        Variant{"png_grey_8bit", 0, "-colorspace Gray -define png:color-type=0 PNG:", "a.png", "24",
                0},
        Variant{"png_grey_16bit", 0,
                "-colorspace Gray -depth 16 -define png:color-type=0 PNG:", "a.png", "24", 1},
        Variant{"png_rgb_16bit", 0, "-depth 16 PNG48:", "a.png", "24", 0},
        Variant{"png_rgba_interlaced", 0, "-alpha on -interlace PNG PNG32:", "a.png", "24", 0}),
    [](const testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

// convert's own CMYK conversion truncates; the ink and key values it reads back from a flat
// picture (whose JPEG data is exact) give each channel rounded to nearest.
TEST(JpegCmyk, ChannelsRoundToNearest) {
    SKIP_WITHOUT_CONVERT();
    TempDir dir;
    for (const char* colour : {"cmyk(100,20,200,50)", "cmyk(7,130,61,201)", "cmyk(0,255,3,0)"}) {
        ASSERT_TRUE(RunConvert(std::string("-size 16x16 'xc:") + colour + "' -quality 100 " +
                               Quoted(dir / "c.jpg")));
        ASSERT_TRUE(RunConvert(Quoted(dir / "c.jpg") + " -depth 8 cmyk:" + Quoted(dir / "c.raw")));
        const std::vector<std::uint8_t> ink = ReadAll(dir / "c.raw");
        ASSERT_EQ(ink.size(), 16u * 16 * 4);
        auto channel = [&](int c) {
            return static_cast<std::uint8_t>(((255 - ink[c]) * (255 - ink[3]) + 127) / 255);
        };
        LoadedPicture loaded;
        ASSERT_EQ(LoadPicture((dir / "c.jpg").string(), PaletteTable{}, loaded),
                  PictureLoadResult::Ok);
        EXPECT_EQ(loaded.picture.colorAt(5, 9), (Rgb{channel(0), channel(1), channel(2)}))
            << colour;
    }
}

TEST(PngTransparency, OneFullyTransparentIndexBecomesTheTransparentColour) {
    SKIP_WITHOUT_CONVERT();
    TempDir dir;
    // The colour of the source's index 1, first seen at (3, 0).
    ASSERT_TRUE(RunConvert(writeSource(dir, 6) +
                           " -transparent 'rgb(6,245,37)' PNG8:" + Quoted(dir / "t.png")));
    LoadedPicture loaded;
    ASSERT_EQ(LoadPicture((dir / "t.png").string(), PaletteTable{}, loaded), PictureLoadResult::Ok);
    EXPECT_TRUE(loaded.usesTransparent);
    EXPECT_EQ(loaded.picture.indexAt(3, 0), loaded.transparentIndex);
    EXPECT_NE(loaded.picture.indexAt(0, 0), loaded.transparentIndex);
}

// Each damaged copy of a good file fails, and the decoder comes back every time.
TEST(DamagedData, JpegAndPngFailCleanly) {
    SKIP_WITHOUT_CONVERT();
    TempDir dir;
    const std::string src = writeSource(dir, 0);
    ASSERT_TRUE(RunConvert(src + " " + Quoted(dir / "a.jpg")));
    ASSERT_TRUE(RunConvert(src + " " + Quoted(dir / "a.png")));
    const std::vector<std::uint8_t> jpeg = ReadAll(dir / "a.jpg");
    const std::vector<std::uint8_t> png = ReadAll(dir / "a.png");
    Picture p;
    LoadedPicture loaded;
    for (std::size_t n = 0; n + 2 < jpeg.size(); n += 5) {
        EXPECT_EQ(DecodeJpeg(jpeg.data(), n, p), PictureLoadResult::DecodeFailed) << n;
        EXPECT_EQ(p.width, 0);
    }
    for (std::size_t n = 0; n + 12 < png.size(); n += 3) // the end chunk may be missing
        EXPECT_EQ(DecodePng(png.data(), n, loaded), PictureLoadResult::DecodeFailed) << n;
    std::vector<std::uint8_t> bad = png;
    bad[16] = 0x7F; // a width beyond the limits
    EXPECT_EQ(DecodePng(bad.data(), bad.size(), loaded), PictureLoadResult::DecodeFailed);
    EXPECT_EQ(loaded.picture.width, 0);
    EXPECT_EQ(DecodePng(nullptr, 0, loaded), PictureLoadResult::DecodeFailed);
    EXPECT_EQ(DecodeJpeg(nullptr, 0, p), PictureLoadResult::DecodeFailed);
    const auto markerAt = [&](std::uint8_t marker) {
        const std::uint8_t m[] = {0xFF, marker};
        return std::search(jpeg.begin(), jpeg.end(), m, m + 2) - jpeg.begin();
    };
    std::vector<std::uint8_t> huge = jpeg; // a frame header claiming a picture beyond the limits
    huge.at(std::size_t(markerAt(0xC0) + 5)) = huge.at(std::size_t(markerAt(0xC0) + 7)) = 0xFF;
    EXPECT_EQ(DecodeJpeg(huge.data(), huge.size(), p), PictureLoadResult::DecodeFailed);

    // Stray bytes before the scan's marker: libjpeg warns, yet every scan line is there.
    std::vector<std::uint8_t> stray = jpeg;
    stray.insert(stray.begin() + markerAt(0xDA), {0x12, 0x34, 0x56});
    WriteAll(dir / "stray.jpg", stray);
    ASSERT_EQ(LoadPicture((dir / "stray.jpg").string(), PaletteTable{}, loaded),
              PictureLoadResult::Ok);
    EXPECT_EQ(loaded.warning, "Corrupt JPEG data: 3 extraneous bytes before marker 0xda");
    ASSERT_EQ(DecodeJpeg(jpeg.data(), jpeg.size(), p), PictureLoadResult::Ok);
    EXPECT_EQ(loaded.picture.colors, p.colors);
    std::string warning = "stale";
    ASSERT_EQ(DecodeJpeg(jpeg.data(), jpeg.size(), p, &warning), PictureLoadResult::Ok);
    EXPECT_EQ(warning, "");
}

} // namespace
