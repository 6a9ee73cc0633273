// The image list's rows: the columns a load sets, the transparency columns, the palette copy
// into the window's table and the loads that add no row.
#include <gtest/gtest.h>

#include "bmp_builder.h"
#include "fakes/temp_dir.h"
#include "graphics/image_list.h"
#include "graphics/vxg.h"
#include "magick.h"
#include "pictures.h"

namespace {

TEST(ImageRows, LoadSetsTheColumns) {
    TempDir dir;
    const std::filesystem::path path = dir / "seventeen_letters.big.bmp";
    WriteAll(path, SampleBmp(8, 6, 4));
    ImageList list;
    ASSERT_EQ(AppendImageFile(list, path.string(), PaletteTable{}), PictureLoadResult::Ok);
    ASSERT_EQ(list.size(), 1u);
    const ImageItem& row = list[0];
    const std::array<std::string, kImageColumnCount> want = {
        "",           "seventeen_letters.big.bmp",
        "seventee",   "seventeen_letters",
        "6",          "4",
        "8",          "",
        "no",         "0",
        path.string()};
    EXPECT_EQ(row.text, want);
    EXPECT_TRUE(row.checked);
    EXPECT_EQ(row.picture.width, 6);
    EXPECT_FALSE(UsesTransparent(row));
}

TEST(ImageRows, VelaImageFilesBringTheirTransparency) {
    TempDir dir;
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(IndexedPicture(2, 2, PixelFormat::Bits8, [](int, int) { return 4; }),
                             true, 17, image),
              VxgResult::Ok);
    ASSERT_EQ(VxgWrite((dir / "sprite.vxg").string(), image), VxgResult::Ok);
    ImageList list;
    ASSERT_EQ(AppendImageFile(list, (dir / "sprite.vxg").string(), PaletteTable{}),
              PictureLoadResult::Ok);
    EXPECT_EQ(list[0].text[kColUseTr], "yes");
    EXPECT_EQ(list[0].text[kColTransIndex], "17");
    EXPECT_EQ(list[0].text[kColBpp], "8");
}

TEST(ImageRows, FailedLoadsAddNoRow) {
    TempDir dir;
    WriteAll(dir / "odd.bmp", BuildBmp({.bitCount = 16,
                                        .compression = 3,
                                        .masks = {0xF00, 0xF0, 0xF},
                                        .pixels = std::vector<std::uint8_t>(4, 0)}));
    std::vector<std::uint8_t> cut = SampleBmp(8, 4, 4);
    cut.resize(100);
    WriteAll(dir / "cut.bmp", cut);
    WriteAll(dir / "pic.png", SampleBmp(8, 4, 4));
    ImageList list;
    const struct {
        const char* name;
        PictureLoadResult result;
        const char* message;
    } cases[] = {
        {"odd.bmp", PictureLoadResult::NotValidFormat, "'odd.bmp' is not valid file format"},
        {"cut.bmp", PictureLoadResult::DecodeFailed,
         "'cut.bmp' is damaged or not a picture of its type"},
        {"pic.png", PictureLoadResult::UnknownExtension,
         "'pic.png' is not a bitmap, jpeg or Vela image file"},
        {"none.bmp", PictureLoadResult::OpenFailed, "failed to open file 'none.bmp'"},
    };
    for (const auto& c : cases) {
        const PictureLoadResult result =
            AppendImageFile(list, (dir / c.name).string(), PaletteTable{});
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(PictureLoadMessage(result, c.name), c.message);
    }
    EXPECT_TRUE(list.empty());
}

TEST(ImageRows, ExtensionIsMatchedIgnoringCaseOnTheFileNameOnly) {
    TempDir dir;
    std::filesystem::create_directories(dir / "shots.bmp");
    WriteAll(dir / "UPPER.BMP", SampleBmp(8, 2, 2));
    WriteAll(dir / "shots.bmp" / "plain", SampleBmp(8, 2, 2));
    ImageList list;
    EXPECT_EQ(AppendImageFile(list, (dir / "UPPER.BMP").string(), PaletteTable{}),
              PictureLoadResult::Ok);
    EXPECT_EQ(AppendImageFile(list, (dir / "shots.bmp" / "plain").string(), PaletteTable{}),
              PictureLoadResult::UnknownExtension);
}

TEST(ImageRows, TransparencyColumns) {
    ImageItem item;
    SetTransparency(item, true, 200);
    EXPECT_TRUE(UsesTransparent(item));
    EXPECT_EQ(TransparentIndexOf(item), 200u);
    for (const char* junk : {"", "12x", "-1", "99999999999"}) {
        item.text[kColTransIndex] = junk;
        EXPECT_EQ(TransparentIndexOf(item), 0u) << junk;
    }
    EXPECT_EQ(TrColorText(5, false), "5");
    EXPECT_EQ(TrColorText(5, true), "0x05");
    EXPECT_EQ(TrColorText(255, true), "0xFF");
    EXPECT_EQ(TrColorText(4096, true), "0x1000");

    ImageList list(2);
    SetTransparency(list[0], false, 10);
    SetTransparency(list[1], true, 171);
    RefreshTrColors(list, true);
    EXPECT_EQ(list[0].text[kColTrColor], "0x0A");
    EXPECT_EQ(list[1].text[kColTrColor], "0xAB");
    RefreshTrColors(list, false);
    EXPECT_EQ(list[1].text[kColTrColor], "171");
}

TEST(PaletteTableCopy, CopiesThePicturePaletteOnly) {
    PaletteTable table;
    table.fill(PaletteEntry{1, 2, 3, 4});
    Picture sixteen;
    sixteen.format = PixelFormat::Bits4;
    sixteen.palette = TestPalette(16);
    EXPECT_EQ(CopyPictureToPaletteTable(sixteen, table), 16u);
    EXPECT_EQ(table[15], (PaletteEntry{sixteen.palette[15].red, sixteen.palette[15].green,
                                       sixteen.palette[15].blue, 0}));
    EXPECT_EQ(table[16], (PaletteEntry{1, 2, 3, 4}));
    Picture colour;
    colour.format = PixelFormat::Bits24;
    EXPECT_EQ(CopyPictureToPaletteTable(colour, table), 0u);
    EXPECT_EQ(table[0].red, sixteen.palette[0].red);

    EXPECT_FALSE(LosesPrecision(PaletteEntry{8, 16, 24, 0}));
    EXPECT_TRUE(LosesPrecision(PaletteEntry{9, 16, 24, 0}));
    EXPECT_TRUE(LosesPrecision(PaletteEntry{8, 16, 28, 0}));
}

} // namespace
