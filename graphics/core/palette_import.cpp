// SPDX-License-Identifier: MIT
// Palette import. An ACT file is checked for its length first and then read entry by entry;
// a ".pal" file (bounded in size) is read whole, recognised by its first bytes and parsed
// into a scratch table that replaces the window's table only when the whole file is good.
#include "graphics/palette_import.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/le_bytes.h"
#include "common/path_names.h"
#include "file_bytes.h"

namespace {

// Far more than any palette file of 256 colours takes, RIFF or text.
constexpr std::uint64_t kMaxPalBytes = 64 * 1024;

// RIFF palette offsets ("RIFF", size, "PAL ", then chunks of id, size and data).
constexpr std::size_t kRiffForm = 8;
constexpr std::size_t kRiffFirstChunk = 12;

bool equalsIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

void storeColours(const std::vector<Rgb>& colours, PaletteTable& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Rgb c = i < colours.size() ? colours[i] : Rgb{};
        table[i].red = c.red;
        table[i].green = c.green;
        table[i].blue = c.blue;
    }
}

PaletteImportResult parseRiff(const std::uint8_t* p, std::size_t size, PaletteTable& table) {
    if (size < kRiffFirstChunk || std::memcmp(p + kRiffForm, "PAL ", 4) != 0)
        return PaletteImportResult::ReadFailed;
    std::size_t at = kRiffFirstChunk;
    while (size - at >= 8) {
        const std::uint32_t chunkBytes = le32(p + at + 4);
        const std::uint8_t* chunk = p + at + 8;
        const std::size_t available = size - at - 8;
        if (chunkBytes > available) return PaletteImportResult::ReadFailed;
        if (std::memcmp(p + at, "data", 4) == 0) {
            // palVersion (2 bytes), palNumEntries (2 bytes), then red, green, blue, flags.
            if (chunkBytes < 4) return PaletteImportResult::ReadFailed;
            const std::size_t count = le16(chunk + 2);
            if (count == 0 || count > kPaletteEntries) return PaletteImportResult::BadSize;
            if (4 + 4 * count > chunkBytes) return PaletteImportResult::ReadFailed;
            std::vector<Rgb> colours(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint8_t* e = chunk + 4 + 4 * i;
                colours[i] = Rgb{e[0], e[1], e[2]};
            }
            storeColours(colours, table);
            return PaletteImportResult::Ok;
        }
        // Chunks are padded to an even length.
        const std::size_t step = 8 + static_cast<std::size_t>(chunkBytes) + (chunkBytes & 1);
        if (step > size - at) break;
        at += step;
    }
    return PaletteImportResult::ReadFailed;
}

// Splits text into lines, accepting CR LF and LF endings.
std::vector<std::string> textLines(const std::uint8_t* p, std::size_t size) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < size; ++i) {
        if (p[i] == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char>(p[i]));
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

// Reads whitespace-separated decimal numbers of a line into `values`; false if the line holds
// anything else or a number above `max`.
bool numbersOf(const std::string& line, unsigned max, std::vector<unsigned>& values) {
    values.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
        unsigned value = 0;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
            value = value * 10 + static_cast<unsigned>(line[i] - '0');
            if (value > max) return false;
            ++i;
        }
        values.push_back(value);
    }
    return true;
}

PaletteImportResult parseJasc(const std::uint8_t* p, std::size_t size, PaletteTable& table) {
    const std::vector<std::string> lines = textLines(p, size);
    std::vector<unsigned> values;
    if (lines.size() < 3 || lines[0] != "JASC-PAL" || lines[1] != "0100")
        return PaletteImportResult::ReadFailed;
    if (!numbersOf(lines[2], 65535, values) || values.size() != 1)
        return PaletteImportResult::ReadFailed;
    const std::size_t count = values[0];
    if (count == 0 || count > kPaletteEntries) return PaletteImportResult::BadSize;
    if (lines.size() < 3 + count) return PaletteImportResult::ReadFailed;
    std::vector<Rgb> colours(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!numbersOf(lines[3 + i], 255, values) || values.size() != 3)
            return PaletteImportResult::ReadFailed;
        colours[i] = Rgb{static_cast<std::uint8_t>(values[0]), static_cast<std::uint8_t>(values[1]),
                         static_cast<std::uint8_t>(values[2])};
    }
    storeColours(colours, table);
    return PaletteImportResult::Ok;
}

PaletteImportResult importAct(std::FILE* file, PaletteTable& table) {
    if (std::fseek(file, 0, SEEK_END) != 0) return PaletteImportResult::ReadFailed;
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) return PaletteImportResult::ReadFailed;
    if (length != static_cast<long>(kActBytes) && length != static_cast<long>(kActExtendedBytes))
        return PaletteImportResult::BadSize;
    std::uint8_t bytes[kActBytes];
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    return ApplyActColours(bytes, got, table);
}

} // namespace

PaletteImportResult ApplyActColours(const std::uint8_t* bytes, std::size_t count,
                                    PaletteTable& table) {
    const std::size_t usable = std::min(count, kActBytes) / 3;
    for (std::size_t i = 0; i < usable; ++i) {
        table[i].red = bytes[3 * i];
        table[i].green = bytes[3 * i + 1];
        table[i].blue = bytes[3 * i + 2];
    }
    return count < kActBytes ? PaletteImportResult::ReadFailed : PaletteImportResult::Ok;
}

PaletteImportResult ParsePalFile(const std::uint8_t* bytes, std::size_t size, PaletteTable& table) {
    if (bytes == nullptr) return PaletteImportResult::ReadFailed;
    PaletteTable scratch = table;
    PaletteImportResult result;
    if (size >= 4 && std::memcmp(bytes, "RIFF", 4) == 0)
        result = parseRiff(bytes, size, scratch);
    else if (size >= 8 && std::memcmp(bytes, "JASC-PAL", 8) == 0)
        result = parseJasc(bytes, size, scratch);
    else if (size == kActBytes || size == kActExtendedBytes)
        result = ApplyActColours(bytes, kActBytes, scratch);
    else
        result = PaletteImportResult::BadSize;
    if (result == PaletteImportResult::Ok) table = scratch;
    return result;
}

PaletteImportResult ImportPaletteFile(const std::string& path, PaletteTable& table) {
    const std::string extension = ExtractExtension(path);
    const bool act = equalsIgnoringCase(extension, "act");
    const bool pal = equalsIgnoringCase(extension, "pal");
    if (!act && !pal) return PaletteImportResult::Ignored;

    if (pal) {
        std::vector<std::uint8_t> bytes;
        switch (ReadFileBytes(path, kMaxPalBytes, bytes)) {
        case FileBytesResult::Ok:
            return ParsePalFile(bytes.data(), bytes.size(), table);
        case FileBytesResult::OpenFailed:
            return PaletteImportResult::OpenFailed;
        case FileBytesResult::TooLarge:
            return PaletteImportResult::BadSize;
        case FileBytesResult::ReadFailed:
            break;
        }
        return PaletteImportResult::ReadFailed;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return PaletteImportResult::OpenFailed;
    return importAct(file.get(), table);
}

std::string PaletteImportMessage(PaletteImportResult result) {
    switch (result) {
    case PaletteImportResult::OpenFailed:
        return "failed to open palette file";
    case PaletteImportResult::BadSize:
        return "invalid palete file size";
    case PaletteImportResult::ReadFailed:
        return "failed to read palette file";
    case PaletteImportResult::Ok:
    case PaletteImportResult::Ignored:
        break;
    }
    return {};
}
