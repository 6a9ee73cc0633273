// SPDX-License-Identifier: MIT
// The picture view's arithmetic (zoomed sizes, fit, centring, pointer to pixel) and the
// device preview with the palette reduction.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graphics/device_preview.h"
#include "graphics/view_maths.h"
#include "magick.h"

namespace {

TEST(ViewMaths, ZoomFitCentreAndPointer) {
    const struct {
        int length;
        float zoom;
        int want;
    } zooms[] = {{100, 0.0625f, 6},
                 {99, 0.5f, 49},
                 {0, 8.0f, 0},
                 {1000, 1e30f, kMaxViewLength},
                 {1000, std::numeric_limits<float>::infinity(), kMaxViewLength},
                 {1000, std::nanf(""), 0}};
    for (const auto& z : zooms)
        EXPECT_EQ(ZoomedLength(z.length, z.zoom), z.want) << z.length << " at " << z.zoom;
    EXPECT_EQ(FitFactor(400, 300, 800, 300), 0.5f);
    EXPECT_EQ(FitFactor(400, 300, 100, 600), 0.5f);
    EXPECT_EQ(FitFactor(400, 300, 100, 100), 3.0f);
    EXPECT_EQ(FitFactor(400, 300, 0, 0), 1.0f);
    EXPECT_EQ(CentredOffset(401, 300), 50);
    EXPECT_EQ(CentredOffset(100, 103), -1);

    const struct {
        int x, y;
        float zoom;
        bool inside;
        int px, py;
    } points[] = {{5, 7, 2.0f, true, 2, 3},     {5, 3, 0.0625f, true, 80, 48},
                  {20, 0, 2.0f, false, -1, -1}, {0, -1, 2.0f, false, -1, -1},
                  {0, 0, 0.0f, false, -1, -1},  {19, 19, 2.0f, true, 9, 9},
                  {0, 20, 2.0f, false, -1, -1}};
    for (const auto& p : points) {
        int x = -1, y = -1;
        EXPECT_EQ(ViewToPicturePixel(p.x, p.y, p.zoom, p.zoom < 0.1f ? 100 : 10,
                                     p.zoom < 0.1f ? 100 : 10, x, y),
                  p.inside)
            << p.x << "," << p.y;
        EXPECT_EQ(x, p.px);
        EXPECT_EQ(y, p.py);
    }
}

TEST(DevicePreview, ColoursComeFromTheTableReducedToFiveBits) {
    const Picture indexed =
        MakePicture(2, 2, PixelFormat::Bits8, [](int x, int y) { return x + y; }); // 0, 1, 1, 2
    PaletteTable table{};
    table[0] = {9, 16, 24, 0};
    table[1] = {255, 255, 255, 0};
    table[2] = {7, 7, 7, 0};
    const PreviewImage off = DevicePreview(indexed, table, false, 1);
    EXPECT_EQ(off.colors,
              (std::vector<Rgb>{{8, 16, 24}, {255, 255, 255}, {255, 255, 255}, {0, 0, 0}}));
    EXPECT_EQ(off.transparent, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(DevicePreview(indexed, table, true, 1).transparent,
              (std::vector<std::uint8_t>{0, 1, 1, 0}));

    const Picture direct =
        MakePicture(2, 1, PixelFormat::Bits24, [](int x, int) { return x ? 0x84 : 7; });
    const PreviewImage colour = DevicePreview(direct, PaletteTable{}, true, 0);
    EXPECT_EQ(colour.colors, (std::vector<Rgb>{{0, 0, 0}, {0x84, 0x84, 0x84}}));
    EXPECT_EQ(colour.transparent, (std::vector<std::uint8_t>{0, 0}));

    Picture broken = indexed; // indices for only two of its sixteen pixels
    broken.width = broken.height = 4;
    broken.indices = {1, 2};
    EXPECT_EQ(DevicePreview(broken, PaletteTable{}, true, 1).transparent,
              std::vector<std::uint8_t>(16, 0));

    table.fill({9, 246, 27, 5});
    ReduceToDevicePalette(table);
    EXPECT_EQ(table[255], (PaletteEntry{8, 240, 24, 5}));
    for (const PaletteEntry& e : table)
        EXPECT_FALSE(LosesPrecision(e));
}

} // namespace
