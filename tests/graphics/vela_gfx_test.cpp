// SPDX-License-Identifier: MIT
// vela-gfx end to end: the program run on a folder of pictures writes what the graphics core
// writes, reports each failure and exits 0, 1 or 2.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "bmp_builder.h"
#include "fakes/temp_dir.h"
#include "magick.h"

namespace {

struct ToolRun {
    std::string args; // $ stands for the folder of pictures
    int exitCode;
    std::string err;
    std::string out = "";
};

// A folder of pictures: three 8-bit bitmaps (two of one device name), a 24-bit and a 4-bit one,
// and a damaged one.
struct Tool {
    TempDir dir;
    Tool() {
        std::filesystem::create_directories(dir / "in");
        WriteAll(dir / "in" / "hero_walk1.bmp", SampleBmp(8, 5, 7));
        WriteAll(dir / "in" / "hero_walk2.bmp", SampleBmp(8, 3, 3));
        WriteAll(dir / "in" / "tiles.bmp", SampleBmp(8, 16, 3));
        WriteAll(dir / "in" / "sky.bmp", SampleBmp(24, 4, 4));
        WriteAll(dir / "in" / "font.bmp", SampleBmp(4, 6, 2));
        WriteAll(dir / "in" / "broken.bmp", {'B', 'M', 1, 2, 3});
    }
    ToolRun run(std::string args) const {
        for (std::size_t at; (at = args.find('$')) != std::string::npos;)
            args.replace(at, 1, dir.path().string());
        const int status = std::system(("'" VELA_GFX_PATH "' " + args + " >" +
                                        Quoted(dir / "stdout") + " 2>" + Quoted(dir / "stderr"))
                                           .c_str());
        return {args, WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(dir / "stderr"),
                ReadText(dir / "stdout")};
    }
};

TEST(VelaGfx, RunsReportAndExit) {
    Tool tool;
    const std::string usage = "usage: vela-gfx";
    const ToolRun runs[] = {
        {"vxg $/in/hero_walk1.bmp $/in/tiles.bmp $/in/sky.bmp -o $/vxg --transparent 255", 0, ""},
        {"vxg $/in/font.bmp $/in/broken.bmp $/in/hero_walk2.bmp -o $/more", 1,
         "vela-gfx: 'broken.bmp' is damaged or not a picture of its type\n"
         "vela-gfx: 'font.bmp' skipped: a 4-bit picture has no Vela image form\n"},
        {"vxg $/in/hero_walk1.bmp $/in/hero_walk2.bmp -o $/clash", 1,
         "vela-gfx: 'hero_walk2.bmp' not written: 'hero_walk1.bmp' is written as 'hero_wal.vxg' "
         "too\n"},
        {"text $/in/hero_walk1.bmp $/in/font.bmp $/in/sky.bmp -o $/text", 1,
         "vela-gfx: 'sky.bmp' has no palette, no text file written\n"},
        {"palette $/in/tiles.bmp -o $/tiles.pal.txt", 0, ""},
        {"palette $/in/sky.bmp -o $/sky.txt", 1, "vela-gfx: 'sky.bmp' has no palette\n"},
        {"palette $/vxg/tiles.vxg -o $/vxg.txt", 1, "vela-gfx: 'tiles.vxg' holds no palette\n"},
        {"info $/in/font.bmp", 0, "", "size: 6 x 2\nbpp: 4\npalette: 16\n"},
        {"info $/vxg/tiles.vxg", 0, "", "size: 16 x 3\nbpp: 8\npalette: 0\n"},
        {"info $/in/missing.bmp", 1, "vela-gfx: failed to open file 'missing.bmp'\n"},
        {"--help", 0, "", usage},
        {"info x.bmp -h", 0, "", usage},
    };
    for (const ToolRun& want : runs) {
        const ToolRun got = tool.run(want.args);
        EXPECT_EQ(got.exitCode, want.exitCode) << got.args << "\n" << got.err;
        EXPECT_EQ(got.err, want.err) << got.args;
        EXPECT_EQ(got.out.substr(0, want.out.size()), want.out) << got.args;
    }
    for (const char* args :
         {"", "draw x.bmp -o $/u", "vxg -o $/u", "vxg $/in/tiles.bmp",
          "vxg $/in/tiles.bmp -o $/u --transparent 256", "vxg $/in/tiles.bmp -o $/u --frobnicate",
          "text $/in/tiles.bmp -o $/u --transparent 1", "info", "palette $/in/tiles.bmp",
          "vxg $/in/tiles.bmp -o"}) {
        const ToolRun got = tool.run(args);
        EXPECT_EQ(got.exitCode, 2) << got.args;
        EXPECT_NE(got.err.find(usage), std::string::npos) << got.args;
    }
    EXPECT_FALSE(std::filesystem::exists(tool.dir / "u"));

    // Transparency reaches both kinds of picture (flags, index); of two clashing pictures only
    // the first is written; a 4-bit picture is written as text, expanded.
    for (const auto& [name, flags] : {std::pair{"hero_wal.vxg", 7}, std::pair{"sky.vxg", 9}}) {
        const std::vector<std::uint8_t> vxg = ReadAll(tool.dir / "vxg" / name);
        EXPECT_EQ(vxg.at(12), flags) << name;
        EXPECT_EQ(vxg.at(24), 255) << name;
    }
    EXPECT_EQ(ReadAll(tool.dir / "clash" / "hero_wal.vxg").at(16), 5); // the first one's width
    EXPECT_TRUE(std::filesystem::exists(tool.dir / "more" / "hero_wal.vxg"));
    EXPECT_FALSE(std::filesystem::exists(tool.dir / "more" / "font.vxg"));
    EXPECT_TRUE(std::filesystem::exists(tool.dir / "text" / "font.txt"));
    EXPECT_TRUE(std::filesystem::exists(tool.dir / "text" / "hero_walk1.txt"));
    EXPECT_EQ(ReadText(tool.dir / "tiles.pal.txt").substr(0, 68),
              "/* palette file */\r\nVX_PALETTEENTRY tiles[256] =\r\n{\r\n\t0x07c0,0x0fc4,");
    EXPECT_FALSE(std::filesystem::exists(tool.dir / "sky.txt"));
    EXPECT_FALSE(std::filesystem::exists(tool.dir / "vxg.txt"));
}

} // namespace
