// SPDX-License-Identifier: MIT
// Fuzz target: palette files, ".pal" contents (RIFF, JASC, raw) and ACT colour bytes.
#include "graphics/palette_import.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PaletteTable table{};
    (void)ParsePalFile(data, size, table);
    (void)ApplyActColours(data, size, table);
    return 0;
}
