// SPDX-License-Identifier: MIT
// The image list: one `ImageItem` per loaded picture, holding the picture and the row's
// eleven columns as text (check box, file names, variable name, size, depth, transparency).
// Both save paths read the rows; the window shows them. The list itself is a plain vector so
// that a view model can own it and announce every insertion and removal.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/palette.h"
#include "graphics/picture.h"
#include "graphics/picture_loader.h"

// Column numbers of a row.
enum ImageColumn : std::size_t {
    kColCheck = 0,      // the check box only; no text
    kColFileNamePc = 1, // "filename (PC)": the source file name without folder
    kColFileNameVx = 2, // "filename (VX)": the device file name
    kColVarName = 3,    // "var.name": the C variable name
    kColWidth = 4,      // "width", decimal
    kColHeight = 5,     // "height", decimal
    kColBpp = 6,        // "bpp": the depth text
    kColTrColor = 7,    // "tr.color": the transparent index in the current number base
    kColUseTr = 8,      // "use tr.": "yes" or "no"
    kColTransIndex = 9, // hidden: the transparent index, decimal
    kColFullPath = 10,  // hidden: the source file's full path
    kImageColumnCount = 11,
};

// Captions of the columns, "" where the column has none.
extern const std::array<const char*, kImageColumnCount> kImageColumnCaptions;

// The longest "filename (VX)" the load sets and the typing box allows.
inline constexpr std::size_t kMaxVxNameLength = 8;

struct ImageItem {
    std::array<std::string, kImageColumnCount> text;
    bool checked = true;
    Picture picture;
};

using ImageList = std::vector<ImageItem>;

// Builds the row of a loaded picture from `path`: file name, the first 8 characters of the
// title, the title made a C identifier, width, height, depth text, the transparent index in
// decimal, "no" (or the file's own transparency) and "0" (or its index), and the path.
ImageItem MakeImageItem(const std::string& path, LoadedPicture loaded);

// Loads the picture at `path` and appends its row to `list`; a decoder's warning about a
// picture it still delivered whole goes to `warning` (when given). Returns the load's
// failure, and NotValidFormat for a picture without depth text; the list is unchanged then.
[[nodiscard]] PictureLoadResult AppendImageFile(ImageList& list, const std::string& path,
                                                const PaletteTable& currentPalette,
                                                std::string* warning = nullptr);

// True when `name` is a C identifier: letters, digits and '_', not starting with a digit.
bool IsCIdentifier(const std::string& name);

// `text` made a C identifier: every other character becomes '_', and a leading digit (or an
// empty text) gets a '_' before it.
std::string CIdentifierOf(const std::string& text);

// True when the row's "use tr." is "yes".
bool UsesTransparent(const ImageItem& item);

// The row's hidden transparent index as a number; 0 when the text is not a decimal number
// that fits 32 bits.
std::uint32_t TransparentIndexOf(const ImageItem& item);

// Stores a transparent index and its use in the row (the hidden index and "use tr.").
void SetTransparency(ImageItem& item, bool use, std::uint32_t index);

// The "tr.color" text of an index: decimal, or "0x" and upper-case hexadecimal of at least two
// digits.
std::string TrColorText(std::uint32_t index, bool hexadecimal);

// Rewrites every row's "tr.color" from its hidden transparent index.
void RefreshTrColors(ImageList& list, bool hexadecimal);
