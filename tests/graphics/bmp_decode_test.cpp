// SPDX-License-Identifier: MIT
// Windows bitmap decoding: every layout the loader takes, built byte by byte, decodes to the
// right depth, palette and pixels, and layouts without a depth text are "not valid"; run-length
// data and broken files fail without reading outside the buffer.
#include <gtest/gtest.h>

#include "bmp_builder.h"
#include "graphics/picture_loader.h"

namespace {

constexpr int kW = 5; // odd, so rows need padding and nibbles and bits split bytes
constexpr int kH = 3;

PictureLoadResult decode(const std::vector<std::uint8_t>& bytes, Picture& out) {
    return DecodeBmp(bytes.data(), bytes.size(), out);
}

Rgb colourSample(int x, int y) {
    return Rgb{static_cast<std::uint8_t>(x * 50 + 8), static_cast<std::uint8_t>(y * 90 + 16),
               static_cast<std::uint8_t>(200 - x * 30)};
}

// What the picture holds for a channel stored with `bits` bits.
std::uint8_t widened(std::uint8_t v, int bits) {
    const unsigned top = v >> (8 - bits);
    return static_cast<std::uint8_t>((top << (8 - bits)) | (top >> (2 * bits - 8)));
}

struct Layout {
    const char* name;
    std::uint32_t headerSize;
    int bits;
    std::uint32_t compression;
    std::vector<std::uint32_t> masks;
    bool topDown;
    const char* depth;
    std::uint32_t clrUsed = 0; // true colour: a colour table the decoder passes over
};

class BmpLayouts : public testing::TestWithParam<Layout> {};

TEST_P(BmpLayouts, DecodeToTheirDepthAndPixels) {
    const Layout& c = GetParam();
    const bool indexed = c.bits <= 8;
    const bool is565 = c.masks.size() > 1 && c.masks[1] == 0x7E0;
    auto index = [&](int x, int y) {
        return static_cast<std::uint32_t>(x * 3 + y * 5) % (1u << c.bits);
    };
    const BmpFields fields{
        .headerSize = c.headerSize,
        .width = kW,
        .height = c.topDown ? -kH : kH,
        .bitCount = static_cast<std::uint16_t>(c.bits),
        .compression = c.compression,
        .masks = c.masks,
        .palette = indexed ? TestPalette(1 << c.bits) : TestPalette(static_cast<int>(c.clrUsed)),
        .clrUsed = c.clrUsed,
        .pixels = PackRows(kW, kH, c.bits, c.topDown, [&](int x, int y) -> std::uint32_t {
            if (indexed) return index(x, y);
            const Rgb s = colourSample(x, y);
            if (c.bits == 16 && is565)
                return ((s.red >> 3) << 11) | ((s.green >> 2) << 5) | (s.blue >> 3);
            if (c.bits == 16) return ((s.red >> 3) << 10) | ((s.green >> 3) << 5) | (s.blue >> 3);
            return (std::uint32_t{s.red} << 16) | (s.green << 8) | s.blue | 0xAB000000u;
        })};
    Picture p;
    if (c.depth == nullptr) {
        EXPECT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::NotValidFormat);
        return;
    }
    ASSERT_EQ(decode(BuildBmp(fields), p), PictureLoadResult::Ok);
    EXPECT_STREQ(DepthText(p.format), c.depth);
    ASSERT_EQ(p.width, kW);
    ASSERT_EQ(p.height, kH);
    EXPECT_EQ(p.palette, indexed ? fields.palette : std::vector<Rgb>{});
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            Rgb want = indexed ? fields.palette[index(x, y)] : colourSample(x, y);
            if (c.bits == 16)
                want = {widened(want.red, 5), widened(want.green, is565 ? 6 : 5),
                        widened(want.blue, 5)};
            EXPECT_EQ(p.colorAt(x, y), want) << x << "," << y;
            if (indexed) {
                EXPECT_EQ(p.indexAt(x, y), index(x, y));
            }
        }
}

const std::vector<std::uint32_t> k555{0x7C00, 0x3E0, 0x1F};
const std::vector<std::uint32_t> k565{0xF800, 0x7E0, 0x1F};
const std::vector<std::uint32_t> k888{0xFF0000, 0xFF00, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    All, BmpLayouts,
    testing::Values(Layout{"core_1bit", 12, 1, 0, {}, false, "1"},
                    Layout{"info_4bit", 40, 4, 0, {}, false, "4"},
                    Layout{"info_8bit_topdown", 40, 8, 0, {}, true, "8"},
                    Layout{"v5_4bit_topdown", 124, 4, 0, {}, true, "4"},
                    Layout{"rgb16_topdown", 40, 16, 0, {}, true, "15"},
                    Layout{"fields555", 40, 16, 3, k555, false, "15"},
                    Layout{"fields565_after_header", 40, 16, 3, k565, false, "16"},
                    Layout{"fields565_v3", 56, 16, 3, k565, true, "16"},
                    Layout{"rgb24_topdown_v4", 108, 24, 0, {}, true, "24"},
                    Layout{"rgb24_table_of_300", 40, 24, 0, {}, false, "24", 300},
                    Layout{"fields32_v2", 52, 32, 3, k888, false, "32"},
                    Layout{"fields32_v5", 124, 32, 3, k888, true, "32"},
                    // Layouts without a depth text are not valid.
                    Layout{"fields444", 40, 16, 3, {0xF00, 0xF0, 0xF}, false, nullptr},
                    Layout{"fields32_bgr", 40, 32, 3, {0xFF, 0xFF00, 0xFF0000}, false, nullptr},
                    Layout{"fields24", 40, 24, 3, {}, false, nullptr},
                    Layout{"bits2", 40, 2, 0, {}, false, nullptr},
                    Layout{"embedded_jpeg", 40, 8, 4, {}, false, nullptr}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

BmpFields rle(int bits, int width, int height, std::vector<std::uint8_t> data) {
    return {.width = width,
            .height = height,
            .bitCount = static_cast<std::uint16_t>(bits),
            .compression = bits == 8 ? 1u : 2u,
            .palette = TestPalette(bits == 8 ? 256 : 16),
            .pixels = std::move(data)};
}

TEST(BmpRle, CommandsPlacePixelsBottomUp) {
    const struct {
        BmpFields fields;
        std::vector<std::vector<int>> rows; // top row first
    } cases[] = {
        // Runs, an odd literal (padded), a move, early end of line, the end marker.
        {rle(8, 6, 4, {3, 7, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 2, 9, 0, 0, 6, 4, 0, 1}),
         {{4, 4, 4, 4, 4, 4}, {0, 0, 9, 9, 0, 0}, {0, 0, 0, 0, 0, 0}, {7, 7, 7, 1, 2, 3}}},
        // Nibbles alternate; pixels past the right edge are dropped; the data may just end.
        {rle(4, 5, 2, {7, 0x12, 0, 0, 0, 5, 0xAB, 0xCD, 0xE0, 0}),
         {{0xA, 0xB, 0xC, 0xD, 0xE}, {1, 2, 1, 2, 1}}},
    };
    for (const auto& c : cases) {
        Picture p;
        ASSERT_EQ(decode(BuildBmp(c.fields), p), PictureLoadResult::Ok);
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                EXPECT_EQ(p.indexAt(x, y), c.rows[y][x]) << x << "," << y;
    }
}

// A file with its pixel offset zeroed: the pixels then follow the colour table.
std::vector<std::uint8_t> withoutOffset(const BmpFields& f) {
    std::vector<std::uint8_t> b = BuildBmp(f);
    putLe(b, 10, 0, 4);
    return b;
}

TEST(BmpBroken, LyingFilesFailInsideTheirBuffer) {
    auto with = [](BmpFields f, std::int32_t height, std::uint16_t bits, std::uint32_t clrUsed) {
        f.height = height, f.bitCount = bits, f.clrUsed = clrUsed;
        return f;
    };
    const std::vector<std::uint8_t> bytes = SampleBmp(24, 3, 2);
    std::vector<std::vector<std::uint8_t>> broken = {
        BuildBmp(rle(8, 4, 2, {0, 2, 0, 3, 0, 1})),             // move above the top
        BuildBmp(rle(8, 4, 2, {0, 2, 0, 2, 1, 1})),             // move to the top, a run there
        BuildBmp(rle(8, 4, 2, {0, 0, 0, 0, 0, 3, 1, 2, 3, 0})), // literal above the top
        BuildBmp(rle(8, 4, 2, {0, 0, 0, 0, 1, 1})),             // run on a row past the top
        BuildBmp(rle(8, 4, 2, {0, 4, 1, 2})),                   // literal cut short
        BuildBmp(rle(8, 4, 2, {0, 2, 1})),                      // move cut short
        BuildBmp(rle(8, 4, 2, {3})),                            // command cut short
        BuildBmp(with(rle(8, 4, 2, {0, 1}), -2, 8, 0)),         // run-length data top-down
        BuildBmp(with(rle(8, 4, 2, {0, 1}), 2, 4, 0)),          // ... of the wrong depth
        BuildBmp(with({.palette = TestPalette(17), .pixels = {0, 0, 0, 0}}, 1, 4, 17)),
        BuildBmp({.width = 2, .height = 2, .palette = TestPalette(1)}), // a table cut short
        // A true-colour table far past the file, with no pixel offset to skip it by.
        withoutOffset({.bitCount = 24, .clrUsed = 0xFFFFFFFF, .pixels = {0, 0, 0, 0}}),
    };
    // Every truncation of a good file (the last row's padding may be missing).
    for (std::size_t n = 0; n < bytes.size() - 3; ++n)
        broken.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    const struct {
        std::size_t at;
        std::uint32_t value;
    } patches[] = {{0, 0x4D43},      {14, 41},         {14, 0xFFFFFFF0}, {18, 0},
                   {18, 0x80000000}, {22, 0x80000000}, {18, 40000},      {10, 0xFFFFFF00}};
    for (const auto& patch : patches) {
        broken.push_back(bytes);
        putLe(broken.back(), patch.at, patch.value, 4);
    }
    broken.push_back(bytes); // each side allowed, the product not
    putLe(broken.back(), 18, 30000, 4);
    putLe(broken.back(), 22, 30000, 4);
    Picture p;
    ASSERT_EQ(decode(bytes, p), PictureLoadResult::Ok);
    for (std::size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(decode(broken[i], p), PictureLoadResult::DecodeFailed) << i;
    EXPECT_EQ(DecodeBmp(nullptr, 0, p), PictureLoadResult::DecodeFailed);

    // Without a pixel offset the pixels follow the colour table, a true colour one too.
    ASSERT_EQ(
        decode(withoutOffset({.width = 2, .palette = TestPalette(256), .pixels = {7, 9, 0, 0}}), p),
        PictureLoadResult::Ok);
    EXPECT_EQ(p.colorAt(0, 0), TestPalette(256)[7]);
    ASSERT_EQ(decode(withoutOffset(
                         with({.palette = TestPalette(300), .pixels = {1, 2, 3, 0}}, 1, 24, 300)),
                     p),
              PictureLoadResult::Ok);
    EXPECT_EQ(p.colorAt(0, 0), (Rgb{3, 2, 1}));
}

} // namespace
