// SPDX-License-Identifier: MIT
// Source-text exports and the row-level saves. The texts are built in memory and written in
// one piece through a C stream; a write or close that fails removes the partial file, so a
// file on disk is always complete.
#include "graphics/text_export.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "common/path_names.h"
#include "file_bytes.h"
#include "graphics/device_format.h"
#include "graphics/vxg.h"

namespace {

constexpr const char* kEol = "\r\n";
constexpr std::size_t kWordsPerLine = 10;
constexpr std::size_t kPaletteEntriesPerLine = 8;

std::string printed(const char* pattern, auto... values) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

ImageSaveResult writeWhole(const std::string& path, const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    switch (WriteWholeFile(path, {{bytes, text.size()}})) {
    case FileWriteResult::Ok:
        return ImageSaveResult::Ok;
    case FileWriteResult::CreateFailed:
        return ImageSaveResult::CreateFailed;
    case FileWriteResult::WriteFailed:
        break;
    }
    return ImageSaveResult::WriteFailed;
}

} // namespace

LocalTime SystemLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min};
}

bool ImageTextFile(const ImageItem& item, const LocalTime& now, std::string& text) {
    const Picture& picture = item.picture;
    if (!picture.isPalettised()) return false;
    const std::size_t width = static_cast<std::size_t>(picture.width);
    const std::size_t height = static_cast<std::size_t>(picture.height);
    const std::size_t column = ColumnBytes8(static_cast<std::uint32_t>(height));
    const std::size_t words = column / 4;

    std::string out;
    out += "/*";
    out += kEol;
    out += printed(" %04d/%02d/%02d %02d:%02d", now.year, now.month, now.day, now.hour, now.minute);
    out += kEol;
    out += " original file name : " + item.text[kColFileNamePc] + kEol;
    out += printed(" width = %d", picture.width) + kEol;
    out += printed(" height = %d", picture.height) + kEol;
    out += " bits per pixel = " + item.text[kColBpp] + kEol;
    if (UsesTransparent(item)) {
        const unsigned index = TransparentIndexOf(item);
        out += printed(" transparent color index is %u(0x%x)", index, index) + kEol;
    } else {
        out += " doesn't use any transparent color";
        out += kEol;
    }
    out += "*/";
    out += kEol;
    out += "const unsigned int " + item.text[kColVarName] + "[" + std::to_string(width) + "][" +
           std::to_string(words) + "] = " + kEol;
    out += "{";
    out += kEol;

    // One column at a time: the padding first, then the rows from the bottom up, so that the
    // top row ends the column.
    std::vector<std::uint8_t> bytes(column);
    for (std::size_t x = 0; x < width; ++x) {
        std::fill(bytes.begin(), bytes.end(), 0);
        for (std::size_t y = 0; y < height; ++y)
            bytes[column - 1 - y] = picture.indexAt(static_cast<int>(x), static_cast<int>(y));
        out += "\t{";
        out += kEol;
        for (std::size_t k = 0; k < words; ++k) {
            if (k % kWordsPerLine == 0) out += "\t\t";
            out += printed("0x%.2x%.2x%.2x%.2x", bytes[4 * k + 3], bytes[4 * k + 2],
                           bytes[4 * k + 1], bytes[4 * k]);
            if (k + 1 < words) out += ", ";
            if (k % kWordsPerLine == kWordsPerLine - 1 || k + 1 == words) out += kEol;
        }
        out += "\t}";
        if (x + 1 < width) out += ",";
        out += kEol;
    }
    out += "};";
    out += kEol;
    text = std::move(out);
    return true;
}

std::string PaletteTextFile(const PaletteTable& table, const std::string& name) {
    std::string out = "/* palette file */";
    out += kEol;
    out += "VX_PALETTEENTRY " + name + "[" + std::to_string(table.size()) + "] =" + kEol;
    out += "{";
    out += kEol;
    out += "\t";
    for (std::size_t i = 0; i < table.size(); ++i) {
        const PaletteEntry& e = table[i];
        out += printed("0x%0.4x", DevicePaletteEntry(e.red, e.green, e.blue));
        if (i + 1 == table.size()) {
            out += kEol;
        } else {
            out += ",";
            if (i % kPaletteEntriesPerLine == kPaletteEntriesPerLine - 1) {
                out += kEol;
                out += "\t";
            }
        }
    }
    out += "};";
    out += kEol;
    return out;
}

// The names of saved files come from text the user can edit: one that would leave the chosen
// folder (or name no file) is refused as a file that cannot be created.
namespace {
bool plainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}
} // namespace

std::string SaveFileName(const ImageItem& item, SaveKind kind) {
    return kind == SaveKind::Text ? item.text[kColVarName] + ".txt"
                                  : item.text[kColFileNameVx] + ".vxg";
}

bool CanSave(const ImageItem& item, SaveKind kind) {
    return kind == SaveKind::Text ? item.picture.isPalettised() : HasVxgForm(item.picture.format);
}

std::vector<int> SaveNameClashes(const ImageList& list, SaveKind kind) {
    std::vector<int> clashes(list.size(), -1);
    std::vector<std::string> names(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!list[i].checked || !CanSave(list[i], kind)) continue;
        for (char c : SaveFileName(list[i], kind))
            names[i] += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        for (std::size_t j = 0; j < i && clashes[i] < 0; ++j)
            if (names[j] == names[i]) clashes[i] = static_cast<int>(j);
    }
    return clashes;
}

ImageSaveResult SaveItemAsText(const ImageItem& item, const std::string& folder,
                               const LocalTime& now) {
    std::string text;
    if (!ImageTextFile(item, now, text)) return ImageSaveResult::NotSavable;
    // An identifier is also a plain file name, so the file stays in the folder.
    if (!IsCIdentifier(item.text[kColVarName])) return ImageSaveResult::CreateFailed;
    return writeWhole(folder + "/" + SaveFileName(item, SaveKind::Text), text);
}

ImageSaveResult SaveItemAsVxg(const ImageItem& item, const std::string& folder) {
    VxgImage image;
    if (VxgFromPicture(item.picture, UsesTransparent(item), TransparentIndexOf(item), image) !=
        VxgResult::Ok)
        return ImageSaveResult::NotSavable;
    if (!plainFileName(item.text[kColFileNameVx])) return ImageSaveResult::CreateFailed;
    const VxgResult written = VxgWrite(folder + "/" + SaveFileName(item, SaveKind::Vxg), image);
    VxgFree(image);
    return written == VxgResult::Ok ? ImageSaveResult::Ok : ImageSaveResult::WriteFailed;
}

ImageSaveResult SavePaletteAsText(const PaletteTable& table, const std::string& path) {
    return writeWhole(path, PaletteTextFile(table, CIdentifierOf(ExtractTitle(path))));
}

std::string ImageTextSaveMessage(ImageSaveResult result, const ImageItem& item) {
    const std::string& name = item.text[kColVarName];
    switch (result) {
    case ImageSaveResult::Ok:
        return {};
    case ImageSaveResult::NotSavable:
        return "'" + item.text[kColFileNamePc] + "' has no palette, no text file written";
    case ImageSaveResult::CreateFailed:
        return "failed to create file '" + name + "'";
    case ImageSaveResult::WriteFailed:
        return "failed to write file '" + name + "'";
    }
    return {};
}
