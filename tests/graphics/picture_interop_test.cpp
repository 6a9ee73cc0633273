// Pictures written by an independent encoder (ImageMagick's convert) load with the depth
// text, size, palette and pixels of the source picture: bitmaps of every header and depth it
// writes, and JPEG pictures in colour, grey and CMYK. Corrupt JPEG data fails cleanly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fakes/temp_dir.h"
#include "graphics/picture_loader.h"
#include "magick.h"

namespace {

// A 7 × 5 source picture of `colours` distinct colours.
RgbImage sourcePicture(int colours) {
    RgbImage image;
    image.width = 7;
    image.height = 5;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const int i = (x + 7 * y) % colours;
            if (colours == 2)
                image.pixels.push_back(i ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
            else
                image.pixels.push_back(Rgb{static_cast<std::uint8_t>(i * 6),
                                           static_cast<std::uint8_t>(250 - i * 5),
                                           static_cast<std::uint8_t>((i * 37) % 256)});
        }
    }
    return image;
}

// Every pixel of p within tolerance of want, channel by channel.
void expectPixelsNear(const Picture& p, const RgbImage& want, int tolerance) {
    ASSERT_EQ(p.width, want.width);
    ASSERT_EQ(p.height, want.height);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const Rgb got = p.colorAt(x, y);
            EXPECT_NEAR(got.red, want.at(x, y).red, tolerance) << x << "," << y;
            EXPECT_NEAR(got.green, want.at(x, y).green, tolerance) << x << "," << y;
            EXPECT_NEAR(got.blue, want.at(x, y).blue, tolerance) << x << "," << y;
        }
    }
}

struct BmpVariant {
    const char* name;
    int colours;
    const char* options; // convert options and output prefix
    const char* depth;
    int tolerance; // per channel: 0 except where the depth drops bits
};

void PrintTo(const BmpVariant& v, std::ostream* os) {
    *os << v.name;
}

class ConvertBmp : public testing::TestWithParam<BmpVariant> {};

TEST_P(ConvertBmp, LoadsAsWritten) {
    SKIP_WITHOUT_CONVERT();
    const BmpVariant& v = GetParam();
    TempDir dir;
    const RgbImage source = sourcePicture(v.colours);
    WritePpm(dir / "src.ppm", source);
    const std::string out = (dir / "pic.bmp").string();
    ASSERT_TRUE(RunConvert(Quoted(dir / "src.ppm") + " " + v.options + "'" + out + "'"));

    LoadedPicture loaded;
    ASSERT_EQ(LoadPicture(out, PaletteTable{}, loaded), PictureLoadResult::Ok);
    const Picture& p = loaded.picture;
    EXPECT_STREQ(DepthText(p.format), v.depth);
    EXPECT_EQ(p.isPalettised(), !p.palette.empty());
    expectPixelsNear(p, source, v.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ConvertBmp,
    testing::Values(BmpVariant{"info_1bit", 2, "-type Palette BMP3:", "1", 0},
                    BmpVariant{"info_4bit", 12, "-type Palette BMP3:", "4", 0},
                    BmpVariant{"info_8bit", 40, "-type Palette BMP3:", "8", 0},
                    BmpVariant{"info_rle8", 40, "-type Palette -compress RLE BMP3:", "8", 0},
                    BmpVariant{"info_24bit", 40, "-type TrueColor BMP3:", "24", 0},
                    BmpVariant{"core_8bit", 40, "-type Palette BMP2:", "8", 0},
                    BmpVariant{"core_24bit", 40, "-type TrueColor BMP2:", "24", 0},
                    BmpVariant{"v5_8bit", 40, "-type Palette BMP:", "8", 0},
                    BmpVariant{"v5_rle8", 40, "-type Palette -compress RLE BMP:", "8", 0},
                    BmpVariant{"v5_565", 40, "-define bmp:subtype=RGB565 BMP:", "16", 8},
                    BmpVariant{"v5_555", 40, "-define bmp:subtype=RGB555 BMP:", "15", 8},
                    BmpVariant{"v5_32bit", 40, "-alpha on BMP:", "32", 0}),
    [](const testing::TestParamInfo<BmpVariant>& info) { return std::string(info.param.name); });

// A smooth colour picture, so JPEG's losses stay small.
RgbImage smoothPicture() {
    RgbImage image;
    image.width = 24;
    image.height = 16;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            image.pixels.push_back(Rgb{static_cast<std::uint8_t>(x * 10),
                                       static_cast<std::uint8_t>(y * 15),
                                       static_cast<std::uint8_t>(128 + x - y)});
    return image;
}

struct JpegVariant {
    const char* name;
    const char* options;
};

void PrintTo(const JpegVariant& v, std::ostream* os) {
    *os << v.name;
}

class ConvertJpeg : public testing::TestWithParam<JpegVariant> {};

// The reference is convert's own decoding of the same file; two decoders of one file differ
// by rounding at most.
TEST_P(ConvertJpeg, DecodesTo24BitLikeAnotherDecoder) {
    SKIP_WITHOUT_CONVERT();
    TempDir dir;
    WritePpm(dir / "src.ppm", smoothPicture());
    const std::string jpg = (dir / "pic.jpg").string();
    ASSERT_TRUE(RunConvert(Quoted(dir / "src.ppm") + " -quality 95 " + GetParam().options + " '" +
                           jpg + "'"));
    ASSERT_TRUE(
        RunConvert("'" + jpg + "' -colorspace sRGB -type TrueColor " + Quoted(dir / "ref.ppm")));
    const RgbImage reference = ReadPpm(dir / "ref.ppm");
    ASSERT_EQ(reference.width, 24);

    LoadedPicture loaded;
    ASSERT_EQ(LoadPicture(jpg, PaletteTable{}, loaded), PictureLoadResult::Ok);
    const Picture& p = loaded.picture;
    EXPECT_STREQ(DepthText(p.format), "24");
    EXPECT_TRUE(p.palette.empty());
    expectPixelsNear(p, reference, 3);
}

INSTANTIATE_TEST_SUITE_P(Variants, ConvertJpeg,
                         testing::Values(JpegVariant{"colour", ""},
                                         JpegVariant{"grey", "-colorspace Gray"},
                                         JpegVariant{"cmyk", "-colorspace CMYK"},
                                         JpegVariant{"progressive", "-interlace Plane"}),
                         [](const testing::TestParamInfo<JpegVariant>& info) {
                             return std::string(info.param.name);
                         });

TEST(JpegBroken, TruncatedAndCorruptDataFail) {
    SKIP_WITHOUT_CONVERT();
    TempDir dir;
    WritePpm(dir / "src.ppm", smoothPicture());
    ASSERT_TRUE(RunConvert(Quoted(dir / "src.ppm") + " -quality 90 " + Quoted(dir / "a.jpg")));
    const std::vector<std::uint8_t> good = ReadAll(dir / "a.jpg");
    Picture p;
    ASSERT_EQ(DecodeJpeg(good.data(), good.size(), p), PictureLoadResult::Ok);

    // Every cut before the end marker fails; the error handler returns every time.
    for (std::size_t n = 0; n + 2 < good.size(); n += 7) {
        EXPECT_EQ(DecodeJpeg(good.data(), n, p), PictureLoadResult::DecodeFailed) << n;
        EXPECT_EQ(p.width, 0);
    }
    // Not a JPEG at all, and a start marker followed by noise.
    const std::vector<std::uint8_t> bitmapBytes = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(DecodeJpeg(bitmapBytes.data(), bitmapBytes.size(), p),
              PictureLoadResult::DecodeFailed);
    std::vector<std::uint8_t> noise = {0xFF, 0xD8};
    for (int i = 0; i < 500; ++i)
        noise.push_back(static_cast<std::uint8_t>(i * 97 + 13));
    EXPECT_EQ(DecodeJpeg(noise.data(), noise.size(), p), PictureLoadResult::DecodeFailed);
    // A frame header claiming a picture beyond the limits.
    std::vector<std::uint8_t> huge = good;
    for (std::size_t i = 0; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) { // start of frame: height, width follow
            huge[i + 5] = 0xFF;
            huge[i + 6] = 0xF0;
            huge[i + 7] = 0xFF;
            huge[i + 8] = 0xF0;
            break;
        }
    }
    EXPECT_EQ(DecodeJpeg(huge.data(), huge.size(), p), PictureLoadResult::DecodeFailed);
    EXPECT_EQ(DecodeJpeg(nullptr, 0, p), PictureLoadResult::DecodeFailed);
}

} // namespace
