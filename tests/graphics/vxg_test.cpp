// SPDX-License-Identifier: MIT
// Vela image files: the header and the column-major data of 8-bit and 16-bit files byte for
// byte, the row-level save, the reader's checks and the round trip through a written file.
#include <gtest/gtest.h>

#include "common/le_bytes.h"
#include "fakes/temp_dir.h"
#include "graphics/image_list.h"
#include "graphics/text_export.h"
#include "graphics/vxg.h"
#include "magick.h"

namespace {

int indexOf(int x, int y) {
    return 10 * x + y + 1;
}

ImageItem itemOf(Picture picture, const std::string& title) {
    LoadedPicture loaded;
    loaded.picture = std::move(picture);
    return MakeImageItem("/pictures/" + title + ".bmp", std::move(loaded));
}

TEST(VxgWriter, EightBitThreeByFiveIsFiftySixBytes) {
    TempDir dir;
    ImageItem item = itemOf(MakePicture(3, 5, PixelFormat::Bits8, indexOf), "eight");
    SetTransparency(item, true, 37);
    ASSERT_EQ(SaveItemAsVxg(item, dir.path().string()), ImageSaveResult::Ok);
    const std::vector<std::uint8_t> b = ReadAll(dir / "eight.vxg");
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "vxg2");
    std::vector<std::uint32_t> header; // version, rest, flags, width, height, index, size
    for (std::size_t at = 4; at < 32; at += 4)
        header.push_back(le32(b.data() + at));
    EXPECT_EQ(header, (std::vector<std::uint32_t>{1, 20, 7, 3, 5, 37, 24}));
    for (int x = 0; x < 3; ++x)
        for (int k = 0; k < 8; ++k) // bottom row first, then padding
            EXPECT_EQ(b[32 + 8 * x + k], k < 5 ? indexOf(x, 4 - k) : 0) << x << "," << k;
}

TEST(VxgWriter, ColourPicturesBecomeDevicePixelsBottomUp) {
    const Rgb colours[5] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {8, 16, 4}};
    const std::uint16_t column0[6] = {0x0881, 0x07C1, 0xF801, 0x0001, 0xFFFF, 0};
    for (PixelFormat format :
         {PixelFormat::Bits15, PixelFormat::Bits16, PixelFormat::Bits24, PixelFormat::Bits32}) {
        // Column 0 holds the five colours top to bottom; column 1 the same, reversed.
        Picture picture = MakePicture(2, 5, format, [](int, int) { return 0; });
        for (int y = 0; y < 5; ++y) {
            picture.colors[static_cast<std::size_t>(2 * y)] = colours[y];
            picture.colors[static_cast<std::size_t>(2 * y + 1)] = colours[4 - y];
        }
        VxgImage image;
        ASSERT_EQ(VxgFromPicture(picture, true, 0, image), VxgResult::Ok);
        EXPECT_EQ(image.flags, 9u);
        ASSERT_EQ(image.dataSize, 24u);
        ASSERT_EQ(image.data.size(), 24u);
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(le16(image.data.data() + 2 * k), column0[k]) << k;
            EXPECT_EQ(le16(image.data.data() + 12 + 2 * k), k < 5 ? column0[4 - k] : 0) << k;
        }
    }
}

TEST(VxgWriter, FailuresAreReportedAndLeaveNoPartialFile) {
    TempDir dir;
    for (PixelFormat format : {PixelFormat::Bits1, PixelFormat::Bits4, PixelFormat::Device}) {
        ImageItem item = itemOf(MakePicture(2, 2, format, indexOf), "low");
        EXPECT_EQ(SaveItemAsVxg(item, dir.path().string()), ImageSaveResult::NotSavable);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(MakePicture(3, 3, PixelFormat::Bits8, indexOf), false, 0, image),
              VxgResult::Ok);
    EXPECT_EQ(VxgWrite((dir / "missing" / "x.vxg").string(), image), VxgResult::WriteFailed);
    if (std::filesystem::exists("/dev/full")) { // the failure shows at the flush; the device stays
        EXPECT_EQ(VxgWrite("/dev/full", image), VxgResult::WriteFailed);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
    }
    VxgImage lying = image; // a buffer shorter than its data size is not written at all
    lying.dataSize = 1000;
    EXPECT_EQ(VxgWrite((dir / "lying.vxg").string(), lying), VxgResult::WriteFailed);
    EXPECT_FALSE(std::filesystem::exists(dir / "lying.vxg"));
}

TEST(VxgReader, WrittenFilesReadBackToTheSameBytes) {
    TempDir dir;
    PaletteTable palette{};
    for (std::size_t i = 0; i < 256; ++i)
        palette[i] =
            PaletteEntry{static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(255 - i), 0};
    for (PixelFormat format : {PixelFormat::Bits8, PixelFormat::Bits24}) {
        const Picture picture =
            MakePicture(4, 3, format, [](int x, int y) { return x * 60 + y * 9; });
        VxgImage image;
        ASSERT_EQ(VxgFromPicture(picture, true, 12, image), VxgResult::Ok);
        ASSERT_EQ(VxgWrite((dir / "first.vxg").string(), image), VxgResult::Ok);
        LoadedPicture loaded;
        ASSERT_EQ(LoadPicture((dir / "first.vxg").string(), palette, loaded),
                  PictureLoadResult::Ok);
        EXPECT_TRUE(loaded.usesTransparent);
        EXPECT_FALSE(loaded.ownPalette);
        EXPECT_EQ(loaded.transparentIndex, 12u);
        EXPECT_STREQ(DepthText(loaded.picture.format), format == PixelFormat::Bits8 ? "8" : "16");
        if (format == PixelFormat::Bits8) {
            EXPECT_EQ(loaded.picture.indices, picture.indices);
            EXPECT_EQ(loaded.picture.colorAt(1, 1), (Rgb{69, 0, 186})); // from the caller's table
        }
        VxgImage again;
        ASSERT_EQ(VxgFromPicture(loaded.picture, true, 12, again), VxgResult::Ok);
        ASSERT_EQ(VxgWrite((dir / "second.vxg").string(), again), VxgResult::Ok);
        EXPECT_EQ(ReadAll(dir / "first.vxg"), ReadAll(dir / "second.vxg"));
    }
}

TEST(VxgReader, InconsistentFilesAreRejected) {
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(MakePicture(3, 5, PixelFormat::Bits8, indexOf), false, 0, image),
              VxgResult::Ok);
    TempDir dir;
    ASSERT_EQ(VxgWrite((dir / "good.vxg").string(), image), VxgResult::Ok);
    const std::vector<std::uint8_t> good = ReadAll(dir / "good.vxg");
    VxgImage read;
    ASSERT_EQ(VxgParse(good.data(), good.size(), read), VxgResult::Ok);
    const struct {
        std::size_t at;
        std::uint32_t value;
    } patches[] = {
        {0, 0x31677876},  {4, 2},           {8, 24}, {12, 0},
        {12, 2},          {12, 14},         {12, 8}, // signature to flags
        {16, 4},          {28, 25},         // data size that fits neither the sides nor the file
        {16, 0x80000000}, {20, 0xFFFFFFFF}, // sides whose data size overflows 32 bits
    };
    for (const auto& patch : patches) {
        std::vector<std::uint8_t> b = good;
        putLe32(b.data() + patch.at, patch.value);
        EXPECT_EQ(VxgParse(b.data(), b.size(), read), VxgResult::BadFile)
            << patch.at << "=" << patch.value;
    }
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(VxgParse(good.data(), n, read), VxgResult::BadFile) << n;
    std::vector<std::uint8_t> empty(good.begin(), good.begin() + 32); // no rows, no data
    putLe32(empty.data() + 28, 0);
    for (const std::size_t side : {16, 20}) { // no columns, or columns of no rows
        std::vector<std::uint8_t> b = empty;
        putLe32(b.data() + side, 0);
        EXPECT_EQ(VxgParse(b.data(), b.size(), read), VxgResult::BadFile) << side;
    }
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_EQ(VxgParse(longer.data(), longer.size(), read), VxgResult::BadFile);
    EXPECT_EQ(VxgRead((dir / "none.vxg").string(), read), VxgResult::OpenFailed);
    WriteAll(dir / "bad.vxg", longer);
    LoadedPicture loaded;
    EXPECT_EQ(LoadPicture((dir / "bad.vxg").string(), PaletteTable{}, loaded),
              PictureLoadResult::DecodeFailed);
}

} // namespace
