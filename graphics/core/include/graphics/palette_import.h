// SPDX-License-Identifier: MIT
// Palette import: replaces the window's palette table with the colours of a palette file.
// ".act" files hold 768 bytes of red, green, blue triples, or 772 with a colour count and a
// transparent index after them (only the 768 colour bytes are taken). ".pal" files are read
// as RIFF palettes, JASC text palettes, or, when they are neither, by the ACT rule. The
// extension is compared ignoring case; any other extension is ignored without a message.
// Entries' flags bytes keep their values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "graphics/palette.h"

enum class PaletteImportResult {
    Ok,
    Ignored,    // not an ".act" or ".pal" file: nothing read, no message
    OpenFailed, // "failed to open palette file"
    BadSize,    // "invalid palete file size": a length or colour count that is not allowed
    ReadFailed, // "failed to read palette file": a short read or malformed contents
};

// The ACT file length and its extended form.
inline constexpr std::size_t kActBytes = 768;
inline constexpr std::size_t kActExtendedBytes = 772;

// Imports the palette file at `path` into `table`. On ReadFailed from an ACT file the entries
// before the failing one stay replaced; every other failure leaves the table unchanged.
[[nodiscard]] PaletteImportResult ImportPaletteFile(const std::string& path, PaletteTable& table);

// Stores the colour triples of `bytes` (`count` bytes actually read of an ACT file's 768) into
// the table's entries in order. Returns ReadFailed when fewer than 768 bytes were read; the
// complete entries before the shortfall are stored.
[[nodiscard]] PaletteImportResult ApplyActColours(const std::uint8_t* bytes, std::size_t count,
                                                  PaletteTable& table);

// Reads a ".pal" file's contents: RIFF, JASC or raw ACT. A palette of fewer than 256 colours
// sets the remaining entries to black. Returns BadSize or ReadFailed; the table is unchanged
// then.
[[nodiscard]] PaletteImportResult ParsePalFile(const std::uint8_t* bytes, std::size_t size,
                                               PaletteTable& table);

// The message of a failed import; empty for Ok and Ignored.
std::string PaletteImportMessage(PaletteImportResult result);
