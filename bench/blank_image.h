// SPDX-License-Identifier: MIT
// Benchmark helper: writes the image file of a blank card (header, then every page record
// erased), as a newly created virtual card holds it.
#pragma once

#include "smfs/chip.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

// Writes the blank image of cardType at path; false when the file could not be written.
inline bool writeBlankImage(const std::filesystem::path& path, int cardType) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<std::uint8_t> header(kImageHeaderBytes, 0);
    header[0] = kMakerSamsung;
    card_id_bytes(kMakerSamsung, cardType, &header[1]);
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    const std::vector<std::uint8_t> erased(1 << 20, 0xFF);
    for (std::uint64_t left = card_image_bytes(cardType) - kImageHeaderBytes; ok && left > 0;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(left, erased.size()));
        ok = std::fwrite(erased.data(), 1, n, f) == n;
        left -= n;
    }
    return std::fclose(f) == 0 && ok;
}
