// Source-text exports byte for byte: the image text file (comment block, declaration, one
// block per column with the padding first and ten words a line) and the palette text file
// (32 lines of 8 entries), with the date taken from the caller's clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "fakes/temp_dir.h"
#include "graphics/image_list.h"
#include "graphics/text_export.h"
#include "magick.h"
#include "pictures.h"

namespace {

const LocalTime kWhen{2024, 3, 7, 9, 5};

ImageItem itemOf(Picture picture, const std::string& fileName) {
    LoadedPicture loaded;
    loaded.picture = std::move(picture);
    return MakeImageItem("/pictures/" + fileName, std::move(loaded));
}

std::string textOf(const ImageItem& item) {
    std::string text;
    EXPECT_TRUE(ImageTextFile(item, kWhen, text));
    return text;
}

// The lines of a text, each without its CR LF; fails the test on a bare LF.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "last line has no CR LF";
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(lines.back().find('\n'), std::string::npos);
        start = end + 2;
    }
    return lines;
}

TEST(ImageText, WholeFileOfATransparentPicture) {
    ImageItem item = itemOf(
        IndexedPicture(2, 3, PixelFormat::Bits8, [](int x, int y) { return 0x10 * (x + 1) + y; }),
        "logo.big.bmp");
    SetTransparency(item, true, 200);
    const std::string want = "/*\r\n"
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
                             "};\r\n";
    EXPECT_EQ(textOf(item), want);
}

TEST(ImageText, HeightEightGivesOneLineOfTwoWords) {
    const ImageItem item = itemOf(
        IndexedPicture(3, 8, PixelFormat::Bits8, [](int x, int y) { return x * 8 + y; }), "h8.bmp");
    const std::vector<std::string> lines = linesOf(textOf(item));
    EXPECT_EQ(lines[8], "const unsigned int h8[3][2] = ");
    // Column 1: rows 8..15 from the top; the first word holds the bottom four rows.
    EXPECT_EQ(lines[13], "\t{");
    EXPECT_EQ(lines[14], "\t\t0x0c0d0e0f, 0x08090a0b");
    EXPECT_EQ(lines[15], "\t},");
}

TEST(ImageText, HeightFivePutsPaddingFirst) {
    const ImageItem item = itemOf(
        IndexedPicture(1, 5, PixelFormat::Bits8, [](int, int y) { return 0xA0 + y; }), "h5.bmp");
    const std::vector<std::string> lines = linesOf(textOf(item));
    // Bytes 0..2 padding, byte 3 the bottom row (0xa4); bytes 4..7 rows 3, 2, 1, 0.
    EXPECT_EQ(lines[11], "\t\t0xa4000000, 0xa0a1a2a3");
    // Width 1: the only block closes without a comma.
    EXPECT_EQ(lines[12], "\t}");
    EXPECT_EQ(lines[13], "};");
    EXPECT_EQ(lines.size(), 14u);
}

TEST(ImageText, ColumnsOfTwentyFiveWordsAreWrittenTenTenFive) {
    const ImageItem item = itemOf(
        IndexedPicture(2, 100, PixelFormat::Bits8, [](int, int y) { return y; }), "tall.bmp");
    const std::vector<std::string> lines = linesOf(textOf(item));
    EXPECT_EQ(lines[8], "const unsigned int tall[2][25] = ");
    const std::string word = "0x[0-9a-f]{8}";
    const std::string ten = "\t\t(" + word + ", ){9}" + word + ", ";
    for (int column = 0; column < 2; ++column) {
        const std::size_t first = 10 + 5 * static_cast<std::size_t>(column);
        EXPECT_EQ(lines[first], "\t{");
        EXPECT_TRUE(testing::internal::RE::FullMatch(lines[first + 1], testing::internal::RE(ten)))
            << lines[first + 1];
        EXPECT_TRUE(testing::internal::RE::FullMatch(lines[first + 2], testing::internal::RE(ten)));
        EXPECT_TRUE(testing::internal::RE::FullMatch(
            lines[first + 3], testing::internal::RE("\t\t(" + word + ", ){4}" + word)))
            << lines[first + 3];
        EXPECT_EQ(lines[first + 4], column == 0 ? "\t}," : "\t}");
    }
    // The last word of a column holds the top four rows, top row in its lowest byte.
    EXPECT_EQ(lines[13].substr(lines[13].size() - 10), "0x00010203");
}

TEST(ImageText, OneAndFourBitPicturesWriteOneIndexPerPixel) {
    const ImageItem one =
        itemOf(IndexedPicture(2, 4, PixelFormat::Bits1, [](int x, int y) { return (x + y) % 2; }),
               "one.bmp");
    EXPECT_EQ(linesOf(textOf(one))[11], "\t\t0x00010001");
    EXPECT_EQ(linesOf(textOf(one))[5], " bits per pixel = 1");
    EXPECT_EQ(linesOf(textOf(one))[6], " doesn't use any transparent color");
    const ImageItem four = itemOf(
        IndexedPicture(1, 4, PixelFormat::Bits4, [](int, int y) { return 12 + y; }), "four.bmp");
    EXPECT_EQ(linesOf(textOf(four))[11], "\t\t0x0c0d0e0f");
}

TEST(ImageText, PicturesWithoutPaletteAreNotWritten) {
    TempDir dir;
    const ImageItem item = itemOf(ColourPicture(2, 2, PixelFormat::Bits24,
                                                [](int, int) {
                                                    return Rgb{1, 2, 3};
                                                }),
                                  "photo.jpg");
    std::string text = "untouched";
    EXPECT_FALSE(ImageTextFile(item, kWhen, text));
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(SaveItemAsText(item, dir.path().string(), kWhen), ImageSaveResult::NotSavable);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_EQ(ImageTextSaveMessage(ImageSaveResult::NotSavable, item),
              "'photo.jpg' has no palette, no text file written");
}

TEST(ImageText, SaveNamesTheFileAfterTheVariable) {
    TempDir dir;
    ImageItem item =
        itemOf(IndexedPicture(2, 2, PixelFormat::Bits8, [](int, int) { return 3; }), "pic.bmp");
    item.text[kColVarName] = "hero_walk";
    ASSERT_EQ(SaveItemAsText(item, dir.path().string(), kWhen), ImageSaveResult::Ok);
    EXPECT_EQ(ReadText(dir / "hero_walk.txt"), textOf(item));

    const std::string missing = (dir / "no" / "such").string();
    const ImageSaveResult failed = SaveItemAsText(item, missing, kWhen);
    EXPECT_EQ(failed, ImageSaveResult::CreateFailed);
    EXPECT_EQ(ImageTextSaveMessage(failed, item), "failed to create file 'hero_walk'");
}

TEST(ImageText, EditedNamesNeverLeaveTheChosenFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir / "out");
    ImageItem item =
        itemOf(IndexedPicture(2, 2, PixelFormat::Bits8, [](int, int) { return 3; }), "pic.bmp");
    for (const char* name : {"../escape", "a/b", "..", "", "back\\slash"}) {
        item.text[kColVarName] = name;
        item.text[kColFileNameVx] = name;
        EXPECT_EQ(SaveItemAsText(item, (dir / "out").string(), kWhen),
                  ImageSaveResult::CreateFailed)
            << name;
        EXPECT_EQ(SaveItemAsVxg(item, (dir / "out").string()), ImageSaveResult::CreateFailed)
            << name;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
    EXPECT_FALSE(std::filesystem::exists(dir / "escape.txt"));
}

PaletteTable samplePalette() {
    PaletteTable table{};
    table[0] = {255, 255, 255, 0};
    table[1] = {8, 16, 24, 0};
    table[2] = {7, 7, 7, 0};
    table[3] = {255, 0, 0, 0};
    table[255] = {0, 0, 255, 9};
    return table;
}

TEST(PaletteText, WholeFile) {
    std::string want = "/* palette file */\r\n"
                       "VX_PALETTEENTRY pal[256] =\r\n"
                       "{\r\n"
                       "\t0xfffe,0x0886,0x0000,0xf800,0x0000,0x0000,0x0000,0x0000,\r\n";
    for (int line = 1; line < 31; ++line)
        want += "\t0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,\r\n";
    want += "\t0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x0000,0x003e\r\n"
            "};\r\n";
    EXPECT_EQ(PaletteTextFile(samplePalette(), "pal"), want);
}

TEST(PaletteText, SaveNamesTheArrayAfterTheTitle) {
    TempDir dir;
    const std::filesystem::path path = dir / "level1.night.txt";
    ASSERT_EQ(SavePaletteAsText(samplePalette(), path.string()), ImageSaveResult::Ok);
    EXPECT_EQ(linesOf(ReadText(path))[1], "VX_PALETTEENTRY level1[256] =");
    EXPECT_EQ(ReadText(path), PaletteTextFile(samplePalette(), "level1"));
    EXPECT_EQ(SavePaletteAsText(samplePalette(), (dir / "no" / "p.txt").string()),
              ImageSaveResult::CreateFailed);
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(SavePaletteAsText(samplePalette(), "/dev/full"), ImageSaveResult::WriteFailed);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
    }
}

} // namespace
