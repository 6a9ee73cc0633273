// SPDX-License-Identifier: MIT
// C source text for the Vela machine's programs, and the row-level saves shared by the
// window and the command line. An image text file holds a comment block (date, file name,
// size, depth, transparency) and a "const unsigned int" array of 32-bit words: per column,
// the palette indices from the bottom row up with the padding first, four to a word. The
// palette text file holds the 256 entries as 16-bit palette entries, eight to a line. Every
// line ends with CR LF. The caller passes the date and time to write (SystemLocalTime() or a
// fixed one), so the output is exact.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/image_list.h"
#include "graphics/palette.h"

// A local date and time to the minute, as the text files show it.
struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
};

// The system's local time.
LocalTime SystemLocalTime();

// The image text file of a row at time `now`. Returns false, writing nothing into `text`,
// when the picture has no palette indices (15 to 32 bits, device-dependent).
[[nodiscard]] bool ImageTextFile(const ImageItem& item, const LocalTime& now, std::string& text);

// The palette text file of `table` with the array named `name`.
std::string PaletteTextFile(const PaletteTable& table, const std::string& name);

enum class ImageSaveResult {
    Ok,
    NotSavable,   // the picture's depth has no form in this kind of file
    CreateFailed, // the file cannot be created
    WriteFailed,  // a write or the close failed; the partial file is removed
};

enum class SaveKind { Text, Vxg };

// The name of the file a row's save writes: "<var.name>.txt" or "<filename (VX)>.vxg".
std::string SaveFileName(const ImageItem& item, SaveKind kind);

// True when the row's picture has a form in that kind of file (palette indices for text;
// 8, 15, 16, 24 or 32 bits for a Vela image file).
bool CanSave(const ImageItem& item, SaveKind kind);

// For every row, the number of an earlier row that the same save would write under the same
// file name (letter case ignored, as the machine's card and many PC folders ignore it), or
// -1. Unchecked rows and rows that cannot be saved take no part.
std::vector<int> SaveNameClashes(const ImageList& list, SaveKind kind);

// Writes the row's text file into `folder` as "<var.name>.txt", refusing a variable name
// that is not a C identifier as CreateFailed. Returns the failure.
[[nodiscard]] ImageSaveResult SaveItemAsText(const ImageItem& item, const std::string& folder,
                                             const LocalTime& now);

// Writes the row's Vela image file into `folder` as "<filename (VX)>.vxg". Returns the failure
// (NotSavable for 1 and 4-bit and device-dependent pictures).
[[nodiscard]] ImageSaveResult SaveItemAsVxg(const ImageItem& item, const std::string& folder);

// Writes the palette text file of `table` to `path`, the array named by the file's title made
// a C identifier.
// Returns the failure.
[[nodiscard]] ImageSaveResult SavePaletteAsText(const PaletteTable& table, const std::string& path);

// The message for a failed image text save of the row; empty for Ok.
std::string ImageTextSaveMessage(ImageSaveResult result, const ImageItem& item);
