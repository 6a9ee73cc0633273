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

TEST(ActImport, FilesByNameAndLength) {
    TempDir dir;
    std::filesystem::create_directories(dir / "set.act");
    const struct {
        const char* name;
        std::size_t size;
        PaletteImportResult result;
        const char* message;
    } cases[] = {
        {"a.act", 768, PaletteImportResult::Ok, ""},
        {"B.ACT", 768, PaletteImportResult::Ok, ""},
        {"x.Act", 772, PaletteImportResult::Ok, ""}, // colour count and index after the colours
        {"c.act", 767, PaletteImportResult::BadSize, "invalid palete file size"},
        {"d.act", 769, PaletteImportResult::BadSize, "invalid palete file size"},
        {"e.act", 1536, PaletteImportResult::BadSize, "invalid palete file size"},
        {"raw.pal", 768, PaletteImportResult::Ok, ""}, // neither RIFF nor JASC: the ACT rule
        {"odd.pal", 769, PaletteImportResult::BadSize, "invalid palete file size"},
        {"x.bmp", 768, PaletteImportResult::Ignored, ""},
        {"x.acts", 768, PaletteImportResult::Ignored, ""},
        {"set.act/x", 768, PaletteImportResult::Ignored, ""},
        {"none.act", 0, PaletteImportResult::OpenFailed, "failed to open palette file"},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes = actBytes(c.size);
        if (c.size) WriteAll(dir / c.name, bytes);
        PaletteTable table = markedTable();
        const PaletteImportResult result = ImportPaletteFile((dir / c.name).string(), table);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(PaletteImportMessage(result), c.message) << c.name;
        if (result == PaletteImportResult::Ok)
            expectActColours(table, bytes, 256);
        else
            EXPECT_EQ(table, markedTable()) << c.name;
    }
}

TEST(ActImport, ShortReadLeavesEarlierEntriesReplaced) {
    const std::vector<std::uint8_t> bytes = actBytes(768);
    PaletteTable table = markedTable();
    const PaletteImportResult result = ApplyActColours(bytes.data(), 400, table);
    EXPECT_EQ(result, PaletteImportResult::ReadFailed);
    EXPECT_EQ(PaletteImportMessage(result), "failed to read palette file");
    expectActColours(table, bytes, 133); // 400 bytes hold 133 whole entries
    for (std::size_t i = 133; i < 256; ++i)
        EXPECT_EQ(table[i], markedTable()[i]) << i;
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

TEST(PalImport, RiffPalettes) {
    TempDir dir;
    WriteAll(dir / "r.PAL", riffPalette(16, true));
    PaletteTable table = markedTable();
    ASSERT_EQ(ImportPaletteFile((dir / "r.PAL").string(), table), PaletteImportResult::Ok);
    for (std::size_t i = 0; i < 16; ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        EXPECT_EQ(table[i], (PaletteEntry{v, static_cast<std::uint8_t>(v * 2),
                                          static_cast<std::uint8_t>(v * 3), 0x55}));
    }
    EXPECT_EQ(table[16], (PaletteEntry{0, 0, 0, 0x55})); // beyond the file's colours: black

    std::vector<std::uint8_t> tooMany = riffPalette(257, false);
    PaletteTable kept = markedTable();
    EXPECT_EQ(ParsePalFile(tooMany.data(), tooMany.size(), kept), PaletteImportResult::BadSize);
    std::vector<std::uint8_t> cut = riffPalette(16, false);
    cut.resize(cut.size() - 4); // the data chunk's size now runs past the file
    EXPECT_EQ(ParsePalFile(cut.data(), cut.size(), kept), PaletteImportResult::ReadFailed);
    std::vector<std::uint8_t> noData = riffPalette(4, true);
    noData.resize(24); // the header and the note chunk only
    EXPECT_EQ(ParsePalFile(noData.data(), noData.size(), kept), PaletteImportResult::ReadFailed);
    EXPECT_EQ(kept, markedTable());
}

std::vector<std::uint8_t> textBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(PalImport, JascTextPalettes) {
    const std::string crlf = "JASC-PAL\r\n0100\r\n3\r\n255 0 0\r\n0 255 0\r\n1 2 3\r\n";
    const std::string lf = "JASC-PAL\n0100\n2\n9 8 7\n  6\t5 4\n";
    PaletteTable table = markedTable();
    std::vector<std::uint8_t> b = textBytes(crlf);
    ASSERT_EQ(ParsePalFile(b.data(), b.size(), table), PaletteImportResult::Ok);
    EXPECT_EQ(table[0], (PaletteEntry{255, 0, 0, 0x55}));
    EXPECT_EQ(table[2], (PaletteEntry{1, 2, 3, 0x55}));
    EXPECT_EQ(table[3], (PaletteEntry{0, 0, 0, 0x55}));
    b = textBytes(lf);
    ASSERT_EQ(ParsePalFile(b.data(), b.size(), table), PaletteImportResult::Ok);
    EXPECT_EQ(table[1], (PaletteEntry{6, 5, 4, 0x55}));

    const std::pair<std::string, PaletteImportResult> bad[] = {
        {"JASC-PAL\n0100\n300\n", PaletteImportResult::BadSize},
        {"JASC-PAL\n0100\n0\n", PaletteImportResult::BadSize},
        {"JASC-PAL\n0100\n2\n1 2 3\n", PaletteImportResult::ReadFailed},    // a line short
        {"JASC-PAL\n0100\n1\n1 2 256\n", PaletteImportResult::ReadFailed},  // above 255
        {"JASC-PAL\n0100\n1\n1 2\n", PaletteImportResult::ReadFailed},      // two values
        {"JASC-PAL\n0100\n1\n1 -2 3\n", PaletteImportResult::ReadFailed},   // a sign
        {"JASC-PAL\n0200\n1\n1 2 3\n", PaletteImportResult::ReadFailed},    // version
        {"JASC-PAL\n0100\n99999999999\n", PaletteImportResult::ReadFailed}, // huge count
    };
    for (const auto& [text, want] : bad) {
        PaletteTable kept = markedTable();
        b = textBytes(text);
        EXPECT_EQ(ParsePalFile(b.data(), b.size(), kept), want) << text;
        EXPECT_EQ(kept, markedTable());
    }
}

} // namespace
