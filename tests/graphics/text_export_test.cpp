// SPDX-License-Identifier: MIT
// The image list's rows and what a save writes: the columns a load sets, C names made from
// titles, clashing output names, the image text file (comment block, declaration, one block
// per column with the padding first and ten words a line) and the palette text file with the
// date from the caller's clock, and Vela image files (header and column-major data of 8-bit
// and 16-bit files), byte for byte; the Vela image reader's checks and its round trip.
#include <gtest/gtest.h>

#include "bmp_builder.h"
#include "common/le_bytes.h"
#include "fakes/file_size_limit.h"
#include "fakes/temp_dir.h"
#include "graphics/text_export.h"
#include "graphics/vxg.h"
#include "magick.h"

namespace {

const LocalTime kWhen{2024, 3, 7, 9, 5};

std::string textOf(const ImageItem& item) {
    std::string text;
    EXPECT_TRUE(ImageTextFile(item, kWhen, text));
    return text;
}

// Line `n` of a text whose lines end in CR LF.
std::string lineOf(const std::string& text, int n) {
    std::size_t start = 0;
    for (int i = 0; i < n; ++i)
        start = text.find("\r\n", start) + 2;
    return text.substr(start, text.find("\r\n", start) - start);
}

int indexOf(int x, int y) {
    return 10 * x + y + 1;
}

TEST(ImageRows, OnlyGoodLoadsAddARow) {
    TempDir dir;
    std::filesystem::create_directories(dir / "shots.bmp");
    WriteAll(dir / "my sprite-1.big.bmp", SampleBmp(8, 6, 4));
    WriteAll(dir / "odd.bmp",
             BuildBmp({.bitCount = 2, .palette = TestPalette(4), .pixels = {0, 0, 0, 0}}));
    WriteAll(dir / "pic.gif", SampleBmp(8, 4, 4));
    WriteAll(dir / "shots.bmp" / "plain", SampleBmp(8, 2, 2));
    const struct {
        const char* name;
        PictureLoadResult result;
        const char* message;
    } cases[] = {
        {"odd.bmp", PictureLoadResult::NotValidFormat, "'odd.bmp' is not valid file format"},
        {"pic.gif", PictureLoadResult::UnknownExtension,
         "'pic.gif' is not a bitmap, jpeg, png or Vela image file"},
        {"shots.bmp/plain", PictureLoadResult::UnknownExtension,
         nullptr}, // a folder's dot is no extension
        {"none.BMP", PictureLoadResult::OpenFailed, "failed to open file 'none.BMP'"},
        {"my sprite-1.big.bmp", PictureLoadResult::Ok, ""},
    };
    ImageList list;
    std::string warning;
    for (const auto& c : cases) {
        warning = "stale";
        const PictureLoadResult result =
            AppendImageFile(list, (dir / c.name).string(), PaletteTable{}, &warning);
        EXPECT_EQ(result, c.result) << c.name;
        if (c.message) {
            EXPECT_EQ(PictureLoadMessage(result, c.name), c.message);
        }
    }
    ASSERT_EQ(list.size(), 1u);
    const std::array<std::string, kImageColumnCount> want = {
        "",
        "my sprite-1.big.bmp",
        "my sprit",
        "my_sprite_1",
        "6",
        "4",
        "8",
        "0",
        "no",
        "0",
        (dir / "my sprite-1.big.bmp").string()};
    EXPECT_EQ(list[0].text, want);
    EXPECT_EQ(warning, "");
    EXPECT_TRUE(list[0].checked);
}

TEST(ImageRows, TransparencyColumnsAndPaletteCopy) {
    ImageList list(2);
    SetTransparency(list[0], false, 10);
    SetTransparency(list[1], true, 4096);
    EXPECT_TRUE(UsesTransparent(list[1]) && !UsesTransparent(list[0]));
    RefreshTrColors(list, true);
    EXPECT_EQ(list[0].text[kColTrColor], "0x0A");
    EXPECT_EQ(list[1].text[kColTrColor], "0x1000");
    RefreshTrColors(list, false);
    EXPECT_EQ(list[1].text[kColTrColor], "4096");
    for (const char* junk : {"", "12x", "-1", "99999999999"}) {
        list[0].text[kColTransIndex] = junk;
        EXPECT_EQ(TransparentIndexOf(list[0]), 0u) << junk;
    }
    PaletteTable table;
    table.fill(PaletteEntry{1, 2, 3, 4});
    const Picture sixteen = MakePicture(1, 1, PixelFormat::Bits4, [](int, int) { return 0; });
    EXPECT_EQ(CopyPictureToPaletteTable(sixteen, table), 256u); // a grey ramp of 256
    EXPECT_EQ(table[15], (PaletteEntry{15, 15, 15, 0}));
}

TEST(CNames, TitlesBecomeIdentifiers) {
    const std::pair<const char*, const char*> cases[] = {{"my sprite-1", "my_sprite_1"},
                                                         {"1up", "_1up"},
                                                         {"0day9", "_0day9"},
                                                         {"", "_"},
                                                         {"Zz9", "Zz9"}};
    for (const auto& [title, name] : cases) {
        EXPECT_EQ(CIdentifierOf(title), name) << title;
        EXPECT_EQ(IsCIdentifier(title), std::string(title) == name) << title;
        EXPECT_TRUE(IsCIdentifier(name)) << name;
    }
}

TEST(SaveNames, ClashesAreFoundIgnoringCaseAmongSavedRowsOnly) {
    auto row = [](const char* var, const char* vx, PixelFormat format) {
        ImageItem item = ItemOf(MakePicture(1, 1, format, [](int, int) { return 0; }), "p.bmp");
        item.text[kColVarName] = var;
        item.text[kColFileNameVx] = vx;
        return item;
    };
    ImageList list = {
        row("hero", "hero_wal", PixelFormat::Bits8), row("Hero", "HERO_WAL", PixelFormat::Bits24),
        row("boss", "boss", PixelFormat::Bits8),     row("boss", "boss", PixelFormat::Bits4),
        row("tile", "tile", PixelFormat::Bits8),     row("tile", "tile", PixelFormat::Bits8),
        row("x", "Hero_Wal", PixelFormat::Bits24)}; // the first holder is named
    list[5].checked = false;
    // The 24-bit row writes no text file and the 4-bit row no Vela image file.
    EXPECT_EQ(SaveNameClashes(list, SaveKind::Text), (std::vector<int>{-1, -1, -1, 2, -1, -1, -1}));
    EXPECT_EQ(SaveNameClashes(list, SaveKind::Vxg), (std::vector<int>{-1, 0, -1, -1, -1, -1, 0}));
    EXPECT_EQ(SaveFileName(list[1], SaveKind::Vxg), "HERO_WAL.vxg");
    EXPECT_EQ(SaveFileName(list[1], SaveKind::Text), "Hero.txt");
}

TEST(ImageText, WholeFileOfATransparentPicture) {
    ImageItem item = ItemOf(
        MakePicture(2, 3, PixelFormat::Bits8, [](int x, int y) { return 0x10 * (x + 1) + y; }),
        "logo.big.bmp");
    SetTransparency(item, true, 200);
    EXPECT_EQ(textOf(item), "/*\r\n"
                            " 2024/03/07 09:05\r\n"
                            " original file name : logo.big.bmp\r\n"
                            " width = 2\r\n"
                            " height = 3\r\n"
                            " bits per pixel = 8\r\n"
                            " transparent color index is 200(0xc8)\r\n"
                            "*/\r\n"
                            "const unsigned int logo[2][1] = \r\n"
                            "{\r\n"
                            "\t{\r\n"
                            "\t\t0x10111200\r\n"
                            "\t},\r\n"
                            "\t{\r\n"
                            "\t\t0x20212200\r\n"
                            "\t}\r\n"
                            "};\r\n");
}

TEST(ImageText, ColumnsWordsAndLines) {
    const std::string w = "0x[0-9a-f]{8}";
    const struct {
        int width, height;
        PixelFormat format;
        int line;
        std::string want; // the text of that line, or a pattern when `pattern`
        bool pattern = false;
    } cases[] = {
        {3, 8, PixelFormat::Bits8, 8, "const unsigned int t[3][2] = "},
        {3, 8, PixelFormat::Bits8, 14,
         "\t\t0x0c0d0e0f, 0x08090a0b"}, // column 1: bottom four rows first
        {1, 5, PixelFormat::Bits8, 11, "\t\t0x04000000, 0x00010203"}, // padding first, top row last
        {2, 100, PixelFormat::Bits8, 11, "\t\t(" + w + ", ){9}" + w + ", ", true},
        {2, 100, PixelFormat::Bits8, 13, "\t\t(" + w + ", ){4}0x00010203", true},
        {2, 4, PixelFormat::Bits1, 11, "\t\t0x00010001"}, // one index byte per pixel
        {2, 4, PixelFormat::Bits4, 6, " doesn't use any transparent color"},
    };
    for (const auto& c : cases) {
        const Picture picture = MakePicture(c.width, c.height, c.format, [&](int x, int y) {
            return c.format == PixelFormat::Bits1 ? (x + y) % 2 : x * c.height + y;
        });
        const std::string line = lineOf(textOf(ItemOf(picture, "t.bmp")), c.line);
        if (c.pattern)
            EXPECT_TRUE(testing::internal::RE::FullMatch(line, testing::internal::RE(c.want)))
                << line;
        else
            EXPECT_EQ(line, c.want) << c.width << "x" << c.height << " line " << c.line;
    }
}

TEST(ImageText, SavesAndTheirFailures) {
    TempDir dir;
    std::filesystem::create_directories(dir / "out");
    const std::string out = (dir / "out").string();
    ImageItem item =
        ItemOf(MakePicture(2, 2, PixelFormat::Bits8, [](int, int) { return 3; }), "pic.bmp");
    item.text[kColVarName] = "hero_walk";
    ASSERT_EQ(SaveItemAsText(item, out, kWhen), ImageSaveResult::Ok);
    EXPECT_EQ(ReadText(dir / "out" / "hero_walk.txt"), textOf(item));
    // A save that fails part way (past a file size limit) leaves the earlier file whole.
    {
        FileSizeLimit limit(64);
        EXPECT_EQ(SaveItemAsText(item, out, kWhen), ImageSaveResult::WriteFailed);
    }
    EXPECT_EQ(ReadText(dir / "out" / "hero_walk.txt"), textOf(item));
    const ImageSaveResult missing = SaveItemAsText(item, (dir / "no").string(), kWhen);
    EXPECT_EQ(missing, ImageSaveResult::CreateFailed);
    EXPECT_EQ(ImageTextSaveMessage(missing, item), "failed to create file 'hero_walk'");
    std::filesystem::remove(dir / "out" / "hero_walk.txt");
    // Names that are no C identifier, or would leave the folder, write nothing.
    for (const char* name : {"../escape", "a/b", "..", "", "back\\slash", "my sprite", "1up"}) {
        item.text[kColVarName] = item.text[kColFileNameVx] = name;
        EXPECT_EQ(SaveItemAsText(item, out, kWhen), ImageSaveResult::CreateFailed) << name;
        const bool leaves = std::string(name).find_first_of("./\\") != std::string::npos;
        EXPECT_EQ(SaveItemAsVxg(item, out) == ImageSaveResult::Ok, !leaves && *name) << name;
    }
    std::string text = "untouched"; // a colour picture has no text form
    EXPECT_FALSE(ImageTextFile(
        ItemOf(MakePicture(2, 2, PixelFormat::Bits24, [](int, int) { return 1; }), "p.jpg"), kWhen,
        text));
    EXPECT_EQ(text, "untouched");
    for (PixelFormat format : {PixelFormat::Bits1, PixelFormat::Bits4, PixelFormat::Device})
        EXPECT_EQ(SaveItemAsVxg(ItemOf(MakePicture(2, 2, format, indexOf), "low.bmp"), out),
                  ImageSaveResult::NotSavable);
    VxgImage image;
    ASSERT_EQ(VxgFromPicture(MakePicture(3, 3, PixelFormat::Bits8, indexOf), false, 0, image),
              VxgResult::Ok);
    EXPECT_EQ(VxgWrite((dir / "missing" / "x.vxg").string(), image), VxgResult::WriteFailed);
    if (std::filesystem::exists("/dev/full")) { // refused: a device is no file to replace
        EXPECT_EQ(VxgWrite("/dev/full", image), VxgResult::WriteFailed);
    }
    image.dataSize = 1000; // a buffer shorter than its data size is not written at all
    EXPECT_EQ(VxgWrite(out + "/lying.vxg", image), VxgResult::WriteFailed);
    std::filesystem::remove(dir / "out" / "my sprite.vxg");
    std::filesystem::remove(dir / "out" / "1up.vxg");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(PaletteText, WholeFileAndItsName) {
    PaletteTable table{};
    table[0] = {255, 255, 255, 0};
    table[1] = {8, 16, 24, 0};
    table[2] = {7, 7, 7, 0};
    table[3] = {255, 0, 0, 0};
    table[255] = {0, 0, 255, 9};
    std::string want = "/* palette file */\r\n"
                       "VX_PALETTEENTRY level_1_night[256] =\r\n"
                       "{\r\n"
                       "\t0xfffe,0x0886,0x0000,0xf800,0x0000,0x0000,0x0000,0x0000,\r\n";
    for (int line = 1; line < 31; ++line)
        want += "\t0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,\r\n";
    want += "\t0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x003e\r\n};\r\n";
    TempDir dir;
    // The title before the first dot, made a C identifier, names the array.
    ASSERT_EQ(SavePaletteAsText(table, (dir / "level 1-night.v2.txt").string()),
              ImageSaveResult::Ok);
    EXPECT_EQ(ReadText(dir / "level 1-night.v2.txt"), want);
    EXPECT_EQ(SavePaletteAsText(table, (dir / "no" / "p.txt").string()),
              ImageSaveResult::CreateFailed);
    if (std::filesystem::exists("/dev/full")) { // a device is no file to replace
        EXPECT_EQ(SavePaletteAsText(table, "/dev/full"), ImageSaveResult::CreateFailed);
    }
}

TEST(VxgWriter, EightBitThreeByFiveIsFiftySixBytes) {
    TempDir dir;
    ImageItem item = ItemOf(MakePicture(3, 5, PixelFormat::Bits8, indexOf), "eight.bmp");
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
