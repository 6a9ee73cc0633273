// SPDX-License-Identifier: MIT
// The file-name splitters on card paths, PC paths and odd names.
#include "common/path_names.h"

#include <gtest/gtest.h>

TEST(PathNames, ExtractDirectory) {
    EXPECT_EQ(ExtractDirectory("vx:\\GAMES\\DEMO.QXE"), "vx:\\GAMES\\");
    EXPECT_EQ(ExtractDirectory("vx:DEMO.QXE"), "vx:");
    EXPECT_EQ(ExtractDirectory("/home/ann/card.smc"), "/home/ann/");
    EXPECT_EQ(ExtractDirectory("card.smc"), "");
    EXPECT_EQ(ExtractDirectory(""), "");
}

TEST(PathNames, ExtractTitle) {
    EXPECT_EQ(ExtractTitle("c:\\pics\\title.screen.bmp"), "title");
    EXPECT_EQ(ExtractTitle("/pics/sprite"), "sprite");
    EXPECT_EQ(ExtractTitle("/pics.v2/sprite"), "sprite");
    EXPECT_EQ(ExtractTitle("/pics/.hidden"), "");
    EXPECT_EQ(ExtractTitle("c:hero.bmp"), "hero");
    EXPECT_EQ(ExtractTitle("c:\\my.art\\hero"), "hero");
    EXPECT_EQ(ExtractTitle(""), "");
}

TEST(PathNames, ExtractExtension) {
    EXPECT_EQ(ExtractExtension("palette.ACT"), "ACT");
    EXPECT_EQ(ExtractExtension("name."), "");
    EXPECT_EQ(ExtractExtension("a.b.c"), "c");
    EXPECT_EQ(ExtractExtension("noext"), "noext");
    EXPECT_EQ(ExtractExtension("c:\\a.b\\file"), "b\\file");
}
