// vela-gfx end to end: the program run on a folder of pictures writes what the graphics core
// writes, reports each failure and exits 0, 1 or 2.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <regex>

#include "bmp_builder.h"
#include "fakes/temp_dir.h"
#include "graphics/image_list.h"
#include "graphics/text_export.h"
#include "graphics/vxg.h"
#include "magick.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolRun runGfx(const TempDir& dir, const std::string& args) {
    const std::string command = std::string("'") + VELA_GFX_PATH + "' " + args + " >" +
                                Quoted(dir / "stdout") + " 2>" + Quoted(dir / "stderr");
    const int status = std::system(command.c_str());
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(dir / "stdout");
    run.err = ReadText(dir / "stderr");
    std::filesystem::remove(dir / "stdout");
    std::filesystem::remove(dir / "stderr");
    return run;
}

// A folder of pictures: two 8-bit bitmaps, a 24-bit one and a 4-bit one.
struct Pictures {
    TempDir dir;
    Pictures() {
        std::filesystem::create_directories(dir / "in");
        WriteAll(dir / "in" / "hero_walking_left.bmp", SampleBmp(8, 5, 7));
        WriteAll(dir / "in" / "tiles.bmp", SampleBmp(8, 16, 3));
        WriteAll(dir / "in" / "sky.bmp", SampleBmp(24, 4, 4));
        WriteAll(dir / "in" / "font.bmp", SampleBmp(4, 6, 2));
    }
    std::string in(const std::string& name) const { return Quoted(dir / "in" / name); }
    std::string path(const std::string& name) const { return (dir / "in" / name).string(); }
};

ImageItem loadRow(const std::string& path) {
    ImageList list;
    EXPECT_EQ(AppendImageFile(list, path, PaletteTable{}), PictureLoadResult::Ok);
    return list.empty() ? ImageItem{} : std::move(list[0]);
}

TEST(VelaGfx, VxgWritesEveryPictureWithTheCoreWriter) {
    Pictures p;
    const ToolRun run =
        runGfx(p.dir, "vxg " + p.in("hero_walking_left.bmp") + " " + p.in("tiles.bmp") + " " +
                          p.in("sky.bmp") + " -o " + Quoted(p.dir / "out") + " --transparent 3");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    TempDir expected;
    for (const char* name : {"hero_walking_left.bmp", "tiles.bmp", "sky.bmp"}) {
        ImageItem row = loadRow(p.path(name));
        SetTransparency(row, true, 3);
        ASSERT_EQ(SaveItemAsVxg(row, expected.path().string()), ImageSaveResult::Ok);
    }
    for (const char* name : {"hero_wal.vxg", "tiles.vxg", "sky.vxg"}) {
        const std::vector<std::uint8_t> got = ReadAll(p.dir / "out" / name);
        ASSERT_GT(got.size(), 32u) << name;
        EXPECT_EQ(got, ReadAll(expected / name)) << name;
        EXPECT_EQ(got[12] & 1, 1) << name;
        EXPECT_EQ(got[24], 3) << name;
    }
}

TEST(VelaGfx, FailuresAreReportedAndTheRestIsWritten) {
    Pictures p;
    WriteAll(p.dir / "in" / "broken.bmp", {'B', 'M', 1, 2, 3});
    const ToolRun run = runGfx(p.dir, "vxg " + p.in("font.bmp") + " " + p.in("broken.bmp") + " " +
                                          p.in("tiles.bmp") + " -o " + Quoted(p.dir / "out"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: 'broken.bmp' is damaged or not a picture of its type\n"
                       "vela-gfx: 'font.bmp' skipped: a 4-bit picture has no Vela image form\n");
    EXPECT_TRUE(std::filesystem::exists(p.dir / "out" / "tiles.vxg"));
    EXPECT_FALSE(std::filesystem::exists(p.dir / "out" / "font.vxg"));
}

TEST(VelaGfx, PicturesWithOneOutputNameAreNotOverwritten) {
    Pictures p;
    WriteAll(p.dir / "in" / "hero_walking_right.bmp", SampleBmp(8, 3, 3));
    const ToolRun run =
        runGfx(p.dir, "vxg " + p.in("hero_walking_left.bmp") + " " +
                          p.in("hero_walking_right.bmp") + " -o " + Quoted(p.dir / "out"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: 'hero_walking_right.bmp' not written: 'hero_walking_left.bmp' is "
                       "written as 'hero_wal.vxg' too\n");
    EXPECT_EQ(ReadAll(p.dir / "out" / "hero_wal.vxg").size(), 32u + 5 * 8);

    // A Vela image file holds no palette to write.
    const ToolRun palette = runGfx(p.dir, "palette " + Quoted(p.dir / "out" / "hero_wal.vxg") +
                                              " -o " + Quoted(p.dir / "pal.txt"));
    EXPECT_EQ(palette.exitCode, 1);
    EXPECT_EQ(palette.err, "vela-gfx: 'hero_wal.vxg' holds no palette\n");
    EXPECT_FALSE(std::filesystem::exists(p.dir / "pal.txt"));
}

TEST(VelaGfx, TextWritesPalettePicturesAndSkipsColourOnes) {
    Pictures p;
    const ToolRun run =
        runGfx(p.dir, "text " + p.in("hero_walking_left.bmp") + " " + p.in("font.bmp") + " " +
                          p.in("sky.bmp") + " -o " + Quoted(p.dir / "out"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: 'sky.bmp' has no palette, no text file written\n");
    for (const char* name : {"hero_walking_left", "font"}) {
        const std::string got = ReadText(p.dir / "out" / (std::string(name) + ".txt"));
        std::string want;
        ASSERT_TRUE(ImageTextFile(loadRow(p.path(std::string(name) + ".bmp")), LocalTime{}, want));
        // Everything but the date line, which comes from the system clock.
        const std::size_t dateEnd = got.find("\r\n", 4);
        ASSERT_NE(dateEnd, std::string::npos);
        EXPECT_TRUE(std::regex_match(got.substr(4, dateEnd - 4),
                                     std::regex(" \\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}")));
        EXPECT_EQ(got.substr(dateEnd), want.substr(want.find("\r\n", 4)));
    }
}

TEST(VelaGfx, PaletteFromPictureOrPaletteFile) {
    Pictures p;
    ToolRun run =
        runGfx(p.dir, "palette " + p.in("tiles.bmp") + " -o " + Quoted(p.dir / "tiles.pal.txt"));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    PaletteTable table{};
    ASSERT_EQ(CopyPictureToPaletteTable(loadRow(p.path("tiles.bmp")).picture, table), 256u);
    EXPECT_EQ(ReadText(p.dir / "tiles.pal.txt"), PaletteTextFile(table, "tiles"));

    std::vector<std::uint8_t> act(768, 0);
    act[0] = 255;
    WriteAll(p.dir / "in" / "game.ACT", act);
    run = runGfx(p.dir, "palette " + p.in("game.ACT") + " -o " + Quoted(p.dir / "game.txt"));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(ReadText(p.dir / "game.txt").find("{\r\n\t0xf800,0x0000,"), std::string::npos);

    act.push_back(0);
    WriteAll(p.dir / "in" / "bad.act", act);
    run = runGfx(p.dir, "palette " + p.in("bad.act") + " -o " + Quoted(p.dir / "bad.txt"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: invalid palete file size\n");
    run = runGfx(p.dir, "palette " + p.in("sky.bmp") + " -o " + Quoted(p.dir / "sky.txt"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: 'sky.bmp' has no palette\n");
    EXPECT_FALSE(std::filesystem::exists(p.dir / "bad.txt"));
    EXPECT_FALSE(std::filesystem::exists(p.dir / "sky.txt"));
}

TEST(VelaGfx, InfoShowsSizeDepthAndPalette) {
    Pictures p;
    ToolRun run = runGfx(p.dir, "info " + p.in("font.bmp"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "size: 6 x 2\nbpp: 4\npalette: 16\n");
    run = runGfx(p.dir, "info " + p.in("sky.bmp"));
    EXPECT_EQ(run.out, "size: 4 x 4\nbpp: 24\npalette: 0\n");
    run = runGfx(p.dir, "info " + p.in("missing.bmp"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "vela-gfx: failed to open file 'missing.bmp'\n");
}

TEST(VelaGfx, UsageErrorsExitTwoAndHelpExitsZero) {
    Pictures p;
    const std::string out = " -o " + Quoted(p.dir / "out");
    for (const std::string& args :
         {std::string(""), "draw x.bmp" + out, "vxg" + out, "vxg " + p.in("tiles.bmp"),
          "vxg " + p.in("tiles.bmp") + out + " --transparent 256",
          "vxg " + p.in("tiles.bmp") + out + " --frobnicate",
          "text " + p.in("tiles.bmp") + out + " --transparent 1", std::string("info"),
          "palette " + p.in("tiles.bmp"), "vxg " + p.in("tiles.bmp") + " -o"}) {
        const ToolRun run = runGfx(p.dir, args);
        EXPECT_EQ(run.exitCode, 2) << args;
        EXPECT_NE(run.err.find("usage: vela-gfx"), std::string::npos) << args;
    }
    EXPECT_FALSE(std::filesystem::exists(p.dir / "out"));
    for (const char* args : {"--help", "vxg -h", "info x.bmp --help"}) {
        const ToolRun run = runGfx(p.dir, args);
        EXPECT_EQ(run.exitCode, 0) << args;
        EXPECT_EQ(run.out.rfind("usage: vela-gfx", 0), 0u) << args;
    }
}

} // namespace
