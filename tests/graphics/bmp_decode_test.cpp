// Windows bitmap decoding: every layout the loader takes, built byte by byte, decodes to the
// right format, size, palette and pixels; layouts without a depth text are "not valid";
// broken files fail without reading outside the buffer.
#include <gtest/gtest.h>

#include <string>

#include "bmp_builder.h"
#include "graphics/picture_loader.h"

namespace {

constexpr int kW = 5; // odd, so rows need padding and nibbles and bits split bytes
constexpr int kH = 3;

PictureLoadResult decode(const std::vector<std::uint8_t>& bytes, Picture& out) {
    return DecodeBmp(bytes.data(), bytes.size(), out);
}

std::uint32_t indexSample(int x, int y, int bits) {
    return static_cast<std::uint32_t>(x * 3 + y * 5) % (1u << bits);
}

struct PaletteCase {
    std::uint32_t headerSize;
    int bits;
    bool topDown;
};

std::string paletteCaseName(const testing::TestParamInfo<PaletteCase>& info) {
    return "header" + std::to_string(info.param.headerSize) + "_" +
           std::to_string(info.param.bits) + "bit" + (info.param.topDown ? "_topdown" : "");
}

void PrintTo(const PaletteCase& c, std::ostream* os) {
    *os << c.headerSize << "/" << c.bits << (c.topDown ? "/top-down" : "");
}

class PalettisedBmp : public testing::TestWithParam<PaletteCase> {};

TEST_P(PalettisedBmp, KeepsDepthPaletteAndIndices) {
    const PaletteCase c = GetParam();
    const BmpFields fields{.headerSize = c.headerSize,
                           .width = kW,
                           .height = c.topDown ? -kH : kH,
                           .bitCount = static_cast<std::uint16_t>(c.bits),
                           .palette = TestPalette(1 << c.bits),
                           .pixels = PackRows(kW, kH, c.bits, c.topDown, [&](int x, int y) {
                               return indexSample(x, y, c.bits);
                           })};
    Picture p;
    ASSERT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::Ok);
    EXPECT_EQ(p.width, kW);
    EXPECT_EQ(p.height, kH);
    EXPECT_STREQ(DepthText(p.format), std::to_string(c.bits).c_str());
    EXPECT_EQ(p.palette, fields.palette);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            EXPECT_EQ(p.indexAt(x, y), indexSample(x, y, c.bits)) << x << "," << y;
            EXPECT_EQ(p.colorAt(x, y), fields.palette[indexSample(x, y, c.bits)]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PalettisedBmp,
                         testing::Values(PaletteCase{12, 1, false}, PaletteCase{12, 8, false},
                                         PaletteCase{40, 1, false}, PaletteCase{40, 4, false},
                                         PaletteCase{40, 8, true}, PaletteCase{108, 8, false},
                                         PaletteCase{124, 4, true}),
                         paletteCaseName);

Rgb colourSample(int x, int y) {
    return Rgb{static_cast<std::uint8_t>(x * 50 + 8), static_cast<std::uint8_t>(y * 90 + 16),
               static_cast<std::uint8_t>(200 - x * 30)};
}

std::uint32_t pack555(Rgb c) {
    return ((c.red >> 3) << 10) | ((c.green >> 3) << 5) | (c.blue >> 3);
}
std::uint32_t pack565(Rgb c) {
    return ((c.red >> 3) << 11) | ((c.green >> 2) << 5) | (c.blue >> 3);
}

// What the picture holds for a colour stored with `bits` bits per channel.
std::uint8_t widened(std::uint8_t v, int bits) {
    const unsigned top = v >> (8 - bits);
    return static_cast<std::uint8_t>((top << (8 - bits)) | (top >> (2 * bits - 8)));
}

struct DirectCase {
    const char* name;
    std::uint32_t headerSize;
    int bits;
    std::uint32_t compression;
    std::vector<std::uint32_t> masks;
    bool topDown;
    const char* depth;
};

void PrintTo(const DirectCase& c, std::ostream* os) {
    *os << c.name;
}

class DirectBmp : public testing::TestWithParam<DirectCase> {};

TEST_P(DirectBmp, KeepsDepthAndColours) {
    const DirectCase& c = GetParam();
    const bool is565 = c.masks.size() >= 2 && c.masks[1] == 0x7E0;
    const BmpFields fields{
        .headerSize = c.headerSize,
        .width = kW,
        .height = c.topDown ? -kH : kH,
        .bitCount = static_cast<std::uint16_t>(c.bits),
        .compression = c.compression,
        .masks = c.masks,
        .pixels = PackRows(kW, kH, c.bits, c.topDown, [&](int x, int y) -> std::uint32_t {
            const Rgb s = colourSample(x, y);
            if (c.bits == 16) return is565 ? pack565(s) : pack555(s);
            return (std::uint32_t{s.red} << 16) | (s.green << 8) | s.blue | 0xAB000000u;
        })};
    Picture p;
    ASSERT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::Ok);
    EXPECT_STREQ(DepthText(p.format), c.depth);
    EXPECT_TRUE(p.palette.empty());
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            Rgb want = colourSample(x, y);
            if (c.bits == 16)
                want = Rgb{widened(want.red, 5), widened(want.green, is565 ? 6 : 5),
                           widened(want.blue, 5)};
            EXPECT_EQ(p.colorAt(x, y), want) << x << "," << y;
        }
    }
}

const std::vector<std::uint32_t> k555{0x7C00, 0x3E0, 0x1F};
const std::vector<std::uint32_t> k565{0xF800, 0x7E0, 0x1F};
const std::vector<std::uint32_t> k888{0xFF0000, 0xFF00, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    Layouts, DirectBmp,
    testing::Values(DirectCase{"rgb16", 40, 16, 0, {}, false, "15"},
                    DirectCase{"rgb16_topdown", 40, 16, 0, {}, true, "15"},
                    DirectCase{"fields555", 40, 16, 3, k555, false, "15"},
                    DirectCase{"fields565_after_header", 40, 16, 3, k565, false, "16"},
                    DirectCase{"fields565_v3", 56, 16, 3, k565, true, "16"},
                    DirectCase{"fields565_v5", 124, 16, 3, k565, false, "16"},
                    DirectCase{"rgb24", 40, 24, 0, {}, false, "24"},
                    DirectCase{"rgb24_topdown_v4", 108, 24, 0, {}, true, "24"},
                    DirectCase{"rgb32", 40, 32, 0, {}, false, "32"},
                    DirectCase{"fields32_v2", 52, 32, 3, k888, false, "32"},
                    DirectCase{"fields32_v5", 124, 32, 3, k888, true, "32"}),
    [](const testing::TestParamInfo<DirectCase>& info) { return std::string(info.param.name); });

TEST(BmpLayout, LayoutsWithoutDepthTextAreNotValid) {
    struct Odd {
        std::uint16_t bits;
        std::uint32_t compression;
        std::vector<std::uint32_t> masks;
    };
    const Odd odd[] = {
        {16, 3, {0xF00, 0xF0, 0xF}},       // 4-4-4 fields
        {32, 3, {0xFF, 0xFF00, 0xFF0000}}, // blue and red swapped
        {2, 0, {}},                        // 2 bits per pixel
        {24, 3, {}},                       // fields for 24 bits
        {8, 4, {}},                        // embedded JPEG data
    };
    for (const Odd& o : odd) {
        const BmpFields fields{.width = 2,
                               .height = 2,
                               .bitCount = o.bits,
                               .compression = o.compression,
                               .masks = o.masks,
                               .palette =
                                   o.bits <= 8 ? TestPalette(1 << o.bits) : std::vector<Rgb>{},
                               .pixels = std::vector<std::uint8_t>(64, 0)};
        Picture p;
        EXPECT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::NotValidFormat)
            << o.bits << " bits, compression " << o.compression;
    }
}

// RLE data of a 6 × 4 picture with every command: runs, literals (odd length, padded), a move,
// early end of line and the end marker.
TEST(BmpRle, Rle8CommandsPlacePixelsBottomUp) {
    const std::vector<std::uint8_t> rle = {
        3, 7,             // bottom row: 7 7 7
        0, 3, 1, 2, 3, 0, // literal 1 2 3, padded
        0, 0,             // end of line
        0, 2, 2, 1,       // move right 2, up 1: to row 2 from bottom, x 2
        2, 9,             // 9 9 at x 2, 3
        0, 0,             // end of line (row 1 from bottom left with zeros beyond)
        6, 4,             // top row all 4
        0, 1,             // end of bitmap
    };
    const BmpFields fields{
        .width = 6, .height = 4, .compression = 1, .palette = TestPalette(256), .pixels = rle};
    Picture p;
    ASSERT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::Ok);
    const std::vector<std::vector<int>> want = {
        {4, 4, 4, 4, 4, 4}, {0, 0, 9, 9, 0, 0}, {0, 0, 0, 0, 0, 0}, {7, 7, 7, 1, 2, 3}};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(p.indexAt(x, y), want[y][x]) << x << "," << y;
}

TEST(BmpRle, Rle4SplitsNibbles) {
    const BmpFields fields{.width = 5,
                           .height = 2,
                           .bitCount = 4,
                           .compression = 2,
                           .palette = TestPalette(16),
                           .pixels = {5, 0x12, 0, 0, 0, 5, 0xAB, 0xCD, 0xE0, 0, 0, 1}};
    Picture p;
    ASSERT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::Ok);
    const int bottom[] = {1, 2, 1, 2, 1};
    const int top[] = {0xA, 0xB, 0xC, 0xD, 0xE};
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(p.indexAt(x, 1), bottom[x]);
        EXPECT_EQ(p.indexAt(x, 0), top[x]);
    }
}

BmpFields rle8(std::vector<std::uint8_t> data) {
    return {.width = 4,
            .height = 2,
            .compression = 1,
            .palette = TestPalette(4),
            .clrUsed = 4,
            .pixels = std::move(data)};
}

// Encoders pad rows with pixels past the right edge (ImageMagick writes such runs).
TEST(BmpRle, PixelsPastTheRightEdgeAreDropped) {
    Picture p;
    ASSERT_EQ(decode(BuildBmp(rle8({6, 3, 0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 1})), p),
              PictureLoadResult::Ok);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(p.indexAt(x, 1), 3);
        EXPECT_EQ(p.indexAt(x, 0), x + 1);
    }
}

TEST(BmpBroken, RleLeavingThePictureFails) {
    const std::vector<std::vector<std::uint8_t>> broken = {
        {0, 2, 0, 3, 0, 1},             // move above the top
        {0, 2, 0, 2, 1, 1},             // move to the top, then a run there
        {0, 0, 0, 0, 0, 3, 1, 2, 3, 0}, // literal above the top
        {0, 0, 0, 0, 1, 1},             // run on a row past the top
        {0, 4, 1, 2},                   // literal cut short by the end of the file
        {0, 2, 1},                      // move cut short
        {3},                            // command cut short
    };
    Picture fine;
    ASSERT_EQ(decode(BuildBmp(rle8({2, 1, 0, 0, 0, 2, 1, 1, 0, 1})), fine), PictureLoadResult::Ok);
    for (const auto& data : broken) {
        Picture p;
        EXPECT_EQ(decode(BuildBmp(rle8(data)), p), PictureLoadResult::DecodeFailed)
            << testing::PrintToString(data);
    }
    BmpFields topDown = rle8({0, 1});
    topDown.height = -2;
    Picture p;
    EXPECT_EQ(decode(BuildBmp(topDown), p), PictureLoadResult::DecodeFailed);
    BmpFields wrongDepth = rle8({0, 1});
    wrongDepth.bitCount = 4;
    EXPECT_EQ(decode(BuildBmp(wrongDepth), p), PictureLoadResult::DecodeFailed);
}

TEST(BmpBroken, HeadersAndSizesAreChecked) {
    const BmpFields good{.width = 3,
                         .height = 2,
                         .bitCount = 24,
                         .pixels = PackRows(3, 2, 24, false, [](int, int) { return 0x123456u; })};
    const std::vector<std::uint8_t> bytes = BuildBmp(good);
    Picture p;
    ASSERT_EQ(decode(bytes, p), PictureLoadResult::Ok);

    // Every truncation of a good file fails; none reads past the end.
    for (std::size_t n = 0; n < bytes.size() - 3; ++n) {
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + n);
        EXPECT_EQ(decode(cut, p), PictureLoadResult::DecodeFailed) << n << " bytes";
    }

    auto patched = [&](std::size_t at, std::uint32_t v) {
        std::vector<std::uint8_t> b = bytes;
        putLe(b, at, v, 4);
        return b;
    };
    EXPECT_EQ(decode(patched(0, 0x4D42 + 1), p), PictureLoadResult::DecodeFailed); // signature
    EXPECT_EQ(decode(patched(14, 41), p), PictureLoadResult::DecodeFailed);        // header size
    EXPECT_EQ(decode(patched(14, 0xFFFFFFF0), p), PictureLoadResult::DecodeFailed);
    EXPECT_EQ(decode(patched(18, 0), p), PictureLoadResult::DecodeFailed);          // width 0
    EXPECT_EQ(decode(patched(18, 0x80000000), p), PictureLoadResult::DecodeFailed); // negative
    EXPECT_EQ(decode(patched(22, 0x80000000), p), PictureLoadResult::DecodeFailed); // INT_MIN
    EXPECT_EQ(decode(patched(18, 40000), p), PictureLoadResult::DecodeFailed);      // too wide
    // Each side allowed, the product not.
    std::vector<std::uint8_t> huge = patched(18, 30000);
    putLe(huge, 22, 30000, 4);
    EXPECT_EQ(decode(huge, p), PictureLoadResult::DecodeFailed);
    // Pixel data offset beyond the file.
    EXPECT_EQ(decode(patched(10, 0xFFFFFF00), p), PictureLoadResult::DecodeFailed);
    EXPECT_EQ(DecodeBmp(nullptr, 0, p), PictureLoadResult::DecodeFailed);
}

TEST(BmpBroken, PalettesThatDoNotFitFail) {
    // More entries than four bits address.
    BmpFields fields{.width = 2,
                     .height = 2,
                     .bitCount = 4,
                     .palette = TestPalette(17),
                     .clrUsed = 17,
                     .pixels = std::vector<std::uint8_t>(8, 0)};
    Picture p;
    EXPECT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::DecodeFailed);

    fields.clrUsed = 0xFFFFFFFF; // a count whose table would run far past the file
    fields.bitCount = 24;
    fields.palette.clear();
    EXPECT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::DecodeFailed);

    // A table of 256 entries is due; the file ends after one.
    EXPECT_EQ(decode(BuildBmp({.width = 2, .height = 2, .palette = TestPalette(1)}), p),
              PictureLoadResult::DecodeFailed);
}

} // namespace
