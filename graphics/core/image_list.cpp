// SPDX-License-Identifier: MIT
// Rows of the image list: building them from loaded pictures and reading and writing their
// transparency columns.
#include "graphics/image_list.h"

#include <charconv>
#include <cstdio>

#include "common/path_names.h"

const std::array<const char*, kImageColumnCount> kImageColumnCaptions = {
    "",    "filename (PC)", "filename (VX)", "var.name", "width", "height",
    "bpp", "tr.color",      "use tr.",       "",         ""};

ImageItem MakeImageItem(const std::string& path, LoadedPicture loaded) {
    ImageItem item;
    const std::size_t sep = path.find_last_of("\\:/");
    const std::string title = ExtractTitle(path);
    const char* depth = DepthText(loaded.picture.format);
    item.text[kColFileNamePc] = sep == std::string::npos ? path : path.substr(sep + 1);
    item.text[kColFileNameVx] = title.substr(0, kMaxVxNameLength);
    item.text[kColVarName] = CIdentifierOf(title);
    item.text[kColWidth] = std::to_string(loaded.picture.width);
    item.text[kColHeight] = std::to_string(loaded.picture.height);
    item.text[kColBpp] = depth ? depth : "";
    item.text[kColTrColor] = TrColorText(loaded.transparentIndex, false);
    item.text[kColUseTr] = loaded.usesTransparent ? "yes" : "no";
    item.text[kColTransIndex] = std::to_string(loaded.transparentIndex);
    item.text[kColFullPath] = path;
    item.picture = std::move(loaded.picture);
    return item;
}

PictureLoadResult AppendImageFile(ImageList& list, const std::string& path,
                                  const PaletteTable& currentPalette, std::string* warning) {
    LoadedPicture loaded;
    const PictureLoadResult result = LoadPicture(path, currentPalette, loaded);
    if (result != PictureLoadResult::Ok) return result;
    if (DepthText(loaded.picture.format) == nullptr) return PictureLoadResult::NotValidFormat;
    if (warning != nullptr) *warning = loaded.warning;
    list.push_back(MakeImageItem(path, std::move(loaded)));
    return PictureLoadResult::Ok;
}

namespace {
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
} // namespace

bool IsCIdentifier(const std::string& name) {
    if (name.empty() || isDigit(name[0])) return false;
    for (char c : name)
        if (!isLetter(c) && !isDigit(c)) return false;
    return true;
}

std::string CIdentifierOf(const std::string& text) {
    std::string name = text.empty() || isDigit(text[0]) ? "_" : "";
    for (char c : text)
        name += isLetter(c) || isDigit(c) ? c : '_';
    return name;
}

bool UsesTransparent(const ImageItem& item) {
    return item.text[kColUseTr] == "yes";
}

std::uint32_t TransparentIndexOf(const ImageItem& item) {
    const std::string& text = item.text[kColTransIndex];
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

void SetTransparency(ImageItem& item, bool use, std::uint32_t index) {
    item.text[kColUseTr] = use ? "yes" : "no";
    item.text[kColTransIndex] = std::to_string(index);
}

std::string TrColorText(std::uint32_t index, bool hexadecimal) {
    if (!hexadecimal) return std::to_string(index);
    char text[16];
    std::snprintf(text, sizeof text, "0x%.2X", static_cast<unsigned>(index));
    return text;
}

void RefreshTrColors(ImageList& list, bool hexadecimal) {
    for (ImageItem& item : list)
        item.text[kColTrColor] = TrColorText(TransparentIndexOf(item), hexadecimal);
}
