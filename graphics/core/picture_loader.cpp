// SPDX-License-Identifier: MIT
// Picture loading by extension: the file is read whole (bounded by the largest picture any
// decoder accepts) and handed to the bitmap, JPEG, PNG or Vela image decoder.
#include "graphics/picture_loader.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "common/path_names.h"
#include "file_bytes.h"
#include "graphics/vxg.h"

namespace {

// The largest file read: a 32-bit bitmap at the pixel limit with generous room for headers.
constexpr std::uint64_t kMaxPictureFileBytes = 4 * kMaxPicturePixels + (1u << 20);

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string formatted(const char* pattern, const std::string& name) {
    std::string text = pattern;
    text.replace(text.find("%s"), 2, name);
    return text;
}

} // namespace

PictureLoadResult LoadPicture(const std::string& path, const PaletteTable& currentPalette,
                              LoadedPicture& out) {
    out = LoadedPicture{};
    // Only the file name's own dot counts: a dot in a folder name is no extension.
    const std::size_t sep = path.find_last_of("\\:/");
    const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    const std::string extension =
        name.find('.') == std::string::npos ? std::string() : lowerCase(ExtractExtension(name));

    if (extension == "vxg") {
        VxgImage image;
        const VxgResult read = VxgRead(path, image);
        if (read == VxgResult::OpenFailed) return PictureLoadResult::OpenFailed;
        if (read != VxgResult::Ok ||
            VxgToPicture(image, currentPalette, out.picture) != VxgResult::Ok)
            return PictureLoadResult::DecodeFailed;
        out.usesTransparent = (image.flags & kVxgFlagTransparent) != 0;
        out.transparentIndex = image.transIndex;
        out.ownPalette = false;
        return PictureLoadResult::Ok;
    }
    const bool bmp = extension == "bmp";
    const bool jpeg = extension == "jpg" || extension == "jpeg";
    const bool png = extension == "png";
    if (!bmp && !jpeg && !png) return PictureLoadResult::UnknownExtension;

    std::vector<std::uint8_t> bytes;
    switch (ReadFileBytes(path, kMaxPictureFileBytes, bytes)) {
    case FileBytesResult::Ok:
        break;
    case FileBytesResult::TooLarge:
        return PictureLoadResult::DecodeFailed;
    case FileBytesResult::OpenFailed:
    case FileBytesResult::ReadFailed:
        return PictureLoadResult::OpenFailed;
    }
    if (png) return DecodePng(bytes.data(), bytes.size(), out);
    if (jpeg) return DecodeJpeg(bytes.data(), bytes.size(), out.picture, &out.warning);
    return DecodeBmp(bytes.data(), bytes.size(), out.picture);
}

std::string PictureLoadMessage(PictureLoadResult result, const std::string& fileName) {
    switch (result) {
    case PictureLoadResult::Ok:
        return {};
    case PictureLoadResult::OpenFailed:
        return formatted("failed to open file '%s'", fileName);
    case PictureLoadResult::UnknownExtension:
        return formatted("'%s' is not a bitmap, jpeg, png or Vela image file", fileName);
    case PictureLoadResult::DecodeFailed:
        return formatted("'%s' is damaged or not a picture of its type", fileName);
    case PictureLoadResult::NotValidFormat:
        return formatted("'%s' is not valid file format", fileName);
    }
    return {};
}
