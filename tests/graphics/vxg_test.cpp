// Vela image files: the header and the column-major data of 8-bit and 16-bit files byte for
// byte, the row-level save, the reader's checks and the round trip through a written file.
#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/temp_dir.h"
#include "graphics/image_list.h"
#include "graphics/text_export.h"
#include "graphics/vxg.h"
#include "magick.h"
#include "pictures.h"

namespace {

std::uint32_t le32At(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t le16At(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

int indexOf(int x, int y) {
    return 10 * x + y + 1;
}

ImageItem itemOf(Picture picture, const std::string& vxName) {
    LoadedPicture loaded;
    loaded.picture = std::move(picture);
    ImageItem item = MakeImageItem("/pictures/" + vxName + ".bmp", std::move(loaded));
    return item;
}

TEST(VxgWriter, EightBitThreeByFiveIsFiftySixBytes) {
    TempDir dir;
    ImageItem item = itemOf(IndexedPicture(3, 5, PixelFormat::Bits8, indexOf), "eight");
    ASSERT_EQ(SaveItemAsVxg(item, dir.path().string()), ImageSaveResult::Ok);
    const std::vector<std::uint8_t> b = ReadAll(dir / "eight.vxg");
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "vxg2");
    // Version, header rest, flags, width, height, transparent index, data size.
    std::vector<std::uint32_t> header;
    for (std::size_t at = 4; at < 32; at += 4)
        header.push_back(le32At(b, at));
    EXPECT_EQ(header, (std::vector<std::uint32_t>{1, 20, 6, 3, 5, 0, 24}));
    for (int x = 0; x < 3; ++x) {
        const std::size_t column = 32 + 8 * static_cast<std::size_t>(x);
        for (int k = 0; k < 5; ++k) // bottom row first
            EXPECT_EQ(b[column + k], indexOf(x, 4 - k)) << x << "," << k;
        for (int k = 5; k < 8; ++k)
            EXPECT_EQ(b[column + k], 0);
    }
}

TEST(VxgWriter, TransparencySetsFlagOneAndTheIndex) {
    TempDir dir;
    ImageItem item = itemOf(IndexedPicture(2, 2, PixelFormat::Bits8, indexOf), "trans");
    SetTransparency(item, true, 37);
    ASSERT_EQ(SaveItemAsVxg(item, dir.path().string()), ImageSaveResult::Ok);
    const std::vector<std::uint8_t> b = ReadAll(dir / "trans.vxg");
    EXPECT_EQ(le32At(b, 12), 7u);
    EXPECT_EQ(le32At(b, 24), 37u);

    ImageItem colour =
        itemOf(ColourPicture(1, 1, PixelFormat::Bits24, [](int, int) { return Rgb{}; }), "colour");
    SetTransparency(colour, true, 2);
    ASSERT_EQ(SaveItemAsVxg(colour, dir.path().string()), ImageSaveResult::Ok);
    EXPECT_EQ(le32At(ReadAll(dir / "colour.vxg"), 12), 9u);
}

TEST(VxgWriter, ColourPicturesBecomeDevicePixelsBottomUp) {
    const Rgb colours[5] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {8, 16, 4}};
    for (PixelFormat format :
         {PixelFormat::Bits15, PixelFormat::Bits16, PixelFormat::Bits24, PixelFormat::Bits32}) {
        // Column 0 holds the five colours top to bottom; column 1 the same, reversed.
        const Picture picture =
            ColourPicture(2, 5, format, [&](int x, int y) { return colours[x == 0 ? y : 4 - y]; });
        VxgImage image;
        ASSERT_EQ(VxgFromPicture(picture, false, 0, image), VxgResult::Ok);
        EXPECT_EQ(image.flags, 8u);
        ASSERT_EQ(image.dataSize, 24u);
        ASSERT_EQ(image.data.size(), 24u);
        const std::uint16_t column0[6] = {0x0881, 0x07C1, 0xF801, 0x0001, 0xFFFF, 0};
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(le16At(image.data, 2 * k), column0[k]) << k;
            EXPECT_EQ(le16At(image.data, 12 + 2 * k), k < 5 ? column0[4 - k] : 0) << k;
        }
    }
}

TEST(VxgWriter, SameDeviceNameKeepsTheLaterRow) {
    TempDir dir;
    ImageItem first =
        itemOf(IndexedPicture(2, 2, PixelFormat::Bits8, [](int, int) { return 1; }), "same");
    ImageItem second =
        itemOf(IndexedPicture(4, 1, PixelFormat::Bits8, [](int, int) { return 2; }), "same");
    ASSERT_EQ(SaveItemAsVxg(first, dir.path().string()), ImageSaveResult::Ok);
    ASSERT_EQ(SaveItemAsVxg(second, dir.path().string()), ImageSaveResult::Ok);
    const std::vector<std::uint8_t> b = ReadAll(dir / "same.vxg");
    EXPECT_EQ(le32At(b, 16), 4u);
    EXPECT_EQ(b.size(), 32u + 16u);
}

TEST(VxgWriter, FailuresAreReportedAndLeaveNoPartialFile) {
    TempDir dir;
    for (PixelFormat format : {PixelFormat::Bits1, PixelFormat::Bits4, PixelFormat::Device}) {
        ImageItem item = itemOf(IndexedPicture(2, 2, format, [](int, int) { return 1; }), "low");
        EXPECT_EQ(SaveItemAsVxg(item, dir.path().string()), ImageSaveResult::NotSavable);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(IndexedPicture(3, 3, PixelFormat::Bits8, indexOf), false, 0, image),
              VxgResult::Ok);
    EXPECT_EQ(VxgWrite((dir / "missing" / "x.vxg").string(), image), VxgResult::WriteFailed);
    // A device that takes no data: the failure shows at the flush, and the device stays.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(VxgWrite("/dev/full", image), VxgResult::WriteFailed);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
    }
    // A record whose buffer is shorter than its data size is not written at all.
    VxgImage lying = image;
    lying.dataSize = 1000;
    EXPECT_EQ(VxgWrite((dir / "lying.vxg").string(), lying), VxgResult::WriteFailed);
    EXPECT_FALSE(std::filesystem::exists(dir / "lying.vxg"));

    VxgFree(image);
    EXPECT_TRUE(image.data.empty());
    EXPECT_EQ(image.dataSize, 0u);
    EXPECT_EQ(image.headerRest, 20u);
}

TEST(VxgReader, WrittenFilesReadBackToTheSameBytes) {
    TempDir dir;
    PaletteTable palette{};
    for (int i = 0; i < 256; ++i)
        palette[static_cast<std::size_t>(i)] =
            PaletteEntry{static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(255 - i), 0};
    const Picture pictures[] = {
        IndexedPicture(3, 5, PixelFormat::Bits8, indexOf),
        ColourPicture(4, 3, PixelFormat::Bits24,
                      [](int x, int y) {
                          return Rgb{static_cast<std::uint8_t>(x * 60),
                                     static_cast<std::uint8_t>(y * 100),
                                     static_cast<std::uint8_t>(x * y * 20)};
                      }),
    };
    for (const Picture& picture : pictures) {
        const std::string first = (dir / "first.vxg").string();
        const std::string second = (dir / "second.vxg").string();
        VxgImage image;
        ASSERT_EQ(VxgFromPicture(picture, true, 12, image), VxgResult::Ok);
        ASSERT_EQ(VxgWrite(first, image), VxgResult::Ok);

        LoadedPicture loaded;
        ASSERT_EQ(LoadPicture(first, palette, loaded), PictureLoadResult::Ok);
        EXPECT_TRUE(loaded.usesTransparent);
        EXPECT_EQ(loaded.transparentIndex, 12u);
        EXPECT_EQ(loaded.picture.width, picture.width);
        EXPECT_EQ(loaded.picture.height, picture.height);
        if (picture.format == PixelFormat::Bits8) {
            EXPECT_STREQ(DepthText(loaded.picture.format), "8");
            EXPECT_EQ(loaded.picture.indices, picture.indices);
            const auto i = static_cast<std::uint8_t>(indexOf(1, 1));
            EXPECT_EQ(loaded.picture.colorAt(1, 1),
                      (Rgb{i, 0, static_cast<std::uint8_t>(255 - i)}));
        } else {
            EXPECT_STREQ(DepthText(loaded.picture.format), "16");
        }
        VxgImage again;
        ASSERT_EQ(
            VxgFromPicture(loaded.picture, loaded.usesTransparent, loaded.transparentIndex, again),
            VxgResult::Ok);
        ASSERT_EQ(VxgWrite(second, again), VxgResult::Ok);
        EXPECT_EQ(ReadAll(first), ReadAll(second));
    }
}

TEST(VxgReader, InconsistentFilesAreRejected) {
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(IndexedPicture(3, 5, PixelFormat::Bits8, indexOf), false, 0, image),
              VxgResult::Ok);
    TempDir dir;
    const std::string path = (dir / "good.vxg").string();
    ASSERT_EQ(VxgWrite(path, image), VxgResult::Ok);
    const std::vector<std::uint8_t> good = ReadAll(path);
    VxgImage read;
    ASSERT_EQ(VxgParse(good.data(), good.size(), read), VxgResult::Ok);

    auto patched = [&](std::size_t at, std::uint32_t v) {
        std::vector<std::uint8_t> b = good;
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        return b;
    };
    const std::vector<std::vector<std::uint8_t>> bad = {
        patched(0, 0x31677876),                                   // "vxg1"
        patched(4, 2),                                            // version
        patched(8, 24),                                           // header rest
        patched(12, 0),          patched(12, 2), patched(12, 14), // flags
        patched(12, 8),          // 16-bit flags with an 8-bit data size
        patched(16, 4),          // width without matching data
        patched(28, 25),         // data size beyond the file
        patched(16, 0x80000000), // sizes whose data size overflows 32 bits
        patched(20, 0xFFFFFFFF),
    };
    for (const auto& b : bad)
        EXPECT_EQ(VxgParse(b.data(), b.size(), read), VxgResult::BadFile);
    // A 16-bit header with both sides near 2^32: the expected size is not even computed.
    std::vector<std::uint8_t> huge = patched(16, 0xFE000005);
    for (int i = 0; i < 4; ++i) {
        huge[12 + i] = static_cast<std::uint8_t>((kVxgFlag16Bit | 1) >> (8 * i));
        huge[20 + i] = static_cast<std::uint8_t>(0xFFFFFFFCu >> (8 * i));
    }
    EXPECT_EQ(VxgParse(huge.data(), huge.size(), read), VxgResult::BadFile);
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(VxgParse(good.data(), n, read), VxgResult::BadFile) << n;
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_EQ(VxgParse(longer.data(), longer.size(), read), VxgResult::BadFile);
    EXPECT_EQ(VxgRead((dir / "none.vxg").string(), read), VxgResult::OpenFailed);

    WriteAll(dir / "bad.vxg", bad[0]);
    LoadedPicture loaded;
    EXPECT_EQ(LoadPicture((dir / "bad.vxg").string(), PaletteTable{}, loaded),
              PictureLoadResult::DecodeFailed);
}

} // namespace
