// SPDX-License-Identifier: MIT
// Palette import: ACT files of 768 and 772 bytes with the extension in any case, the three
// messages, a short read that leaves the earlier entries replaced, and ".pal" files as RIFF,
// JASC text or raw colour triples.
#include <gtest/gtest.h>

#include "fakes/temp_dir.h"
#include "graphics/palette_import.h"
#include "magick.h"

namespace {

std::vector<std::uint8_t> actBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
    return bytes;
}

// A table whose entries are all (1, 2, 3) with flags 0x55, to see what an import replaces.
PaletteTable markedTable() {
    PaletteTable table;
    table.fill(PaletteEntry{1, 2, 3, 0x55});
    return table;
}

void expectActColours(const PaletteTable& table, const std::vector<std::uint8_t>& bytes,
                      std::size_t entries) {
    for (std::size_t i = 0; i < entries; ++i) {
        EXPECT_EQ(table[i], (PaletteEntry{bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2], 0x55}))
            << i;
    }
}

std::vector<std::uint8_t> riffPalette(std::uint16_t count, bool extraChunk) {
    std::vector<std::uint8_t> b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'P', 'A', 'L', ' '};
    auto le = [&](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    if (extraChunk) {
        b.insert(b.end(), {'n', 'o', 't', 'e'});
        le(3, 4);
        b.insert(b.end(), {'a', 'b', 'c', 0}); // odd length, padded
    }
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    le(4 + 4u * count, 4);
    le(0x300, 2);
    le(count, 2);
    for (std::uint16_t i = 0; i < count; ++i)
        b.insert(b.end(), {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i * 2),
                           static_cast<std::uint8_t>(i * 3), 0});
    const std::uint32_t size = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return b;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(PaletteImport, FilesByNameLengthAndContent) {
    using R = PaletteImportResult;
    TempDir dir;
    std::filesystem::create_directories(dir / "set.act");
    const std::vector<std::uint8_t> riff = riffPalette(16, false), note = riffPalette(4, true);
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        R result;
        std::vector<std::pair<int, PaletteEntry>> entries; // RIFF and JASC: what they leave
    } cases[] = {
        {"a.act", actBytes(768), R::Ok, {}},
        {"B.ACT", actBytes(768), R::Ok, {}},
        {"x.Act", actBytes(772), R::Ok, {}}, // colour count and index after the colours
        {"c.act", actBytes(767), R::BadSize, {}},
        {"d.act", actBytes(769), R::BadSize, {}},
        {"raw.pal", actBytes(768), R::Ok, {}}, // neither RIFF nor JASC: the ACT rule
        {"odd.pal", actBytes(769), R::BadSize, {}},
        {"x.bmp", actBytes(768), R::Ignored, {}},
        {"x.acts", actBytes(768), R::Ignored, {}},
        {"set.act/x", actBytes(768), R::Ignored, {}},
        {"none.act", {}, R::OpenFailed, {}},
        {"r.PAL",
         riffPalette(16, true),
         R::Ok,
         {{1, {1, 2, 3, 0x55}},
          {15, {15, 30, 45, 0x55}},
          {16, {0, 0, 0, 0x55}}}}, // past the file's colours: black
        {"j.pal",
         bytesOf("JASC-PAL\r\n0100\r\n3\r\n255 0 0\r\n0 255 0\r\n1 2 3\r\n"),
         R::Ok,
         {{0, {255, 0, 0, 0x55}}, {2, {1, 2, 3, 0x55}}, {3, {0, 0, 0, 0x55}}}},
        {"k.pal", bytesOf("JASC-PAL\n0100\n2\n9 8 7\n  6\t5 4\n"), R::Ok, {{1, {6, 5, 4, 0x55}}}},
        {"b1.pal", riffPalette(257, false), R::BadSize, {}},
        {"b2.pal", {riff.begin(), riff.end() - 4}, R::ReadFailed, {}},    // data runs past the file
        {"b3.pal", {note.begin(), note.begin() + 24}, R::ReadFailed, {}}, // a note chunk only
        {"b4.pal", bytesOf("JASC-PAL\n0100\n300\n"), R::BadSize, {}},
        {"b5.pal", bytesOf("JASC-PAL\n0100\n0\n"), R::BadSize, {}},
        {"b6.pal", bytesOf("JASC-PAL\n0100\n2\n1 2 3\n"), R::ReadFailed, {}},    // a line short
        {"b7.pal", bytesOf("JASC-PAL\n0100\n1\n1 2 256\n"), R::ReadFailed, {}},  // above 255
        {"b8.pal", bytesOf("JASC-PAL\n0100\n1\n1 2\n"), R::ReadFailed, {}},      // two values
        {"b9.pal", bytesOf("JASC-PAL\n0100\n1\n1 -2 3\n"), R::ReadFailed, {}},   // a sign
        {"ba.pal", bytesOf("JASC-PAL\n0200\n1\n1 2 3\n"), R::ReadFailed, {}},    // version
        {"bb.pal", bytesOf("JASC-PAL\n0100\n99999999999\n"), R::ReadFailed, {}}, // huge count
    };
    for (const auto& c : cases) {
        if (!c.bytes.empty()) WriteAll(dir / c.name, c.bytes);
        PaletteTable table = markedTable();
        EXPECT_EQ(ImportPaletteFile((dir / c.name).string(), table), c.result) << c.name;
        if (c.result != R::Ok)
            EXPECT_EQ(table, markedTable()) << c.name;
        else if (c.entries.empty())
            expectActColours(table, c.bytes, 256);
        for (const auto& [index, entry] : c.entries)
            EXPECT_EQ(table[std::size_t(index)], entry) << c.name << " " << index;
    }
    const std::pair<R, const char*> messages[] = {{R::Ok, ""},
                                                  {R::Ignored, ""},
                                                  {R::BadSize, "invalid palete file size"},
                                                  {R::OpenFailed, "failed to open palette file"},
                                                  {R::ReadFailed, "failed to read palette file"}};
    for (const auto& [result, text] : messages)
        EXPECT_EQ(PaletteImportMessage(result), text);

    // A short read leaves the entries before it replaced: 400 bytes hold 133 whole entries.
    const std::vector<std::uint8_t> bytes = actBytes(768);
    PaletteTable table = markedTable();
    EXPECT_EQ(ApplyActColours(bytes.data(), 400, table), R::ReadFailed);
    expectActColours(table, bytes, 133);
    EXPECT_EQ(table[133], markedTable()[133]);
}

} // namespace
