// SPDX-License-Identifier: MIT
// Fuzz helper: small formatted card images with a few folders and files, built once per
// process in memory, and a card over a memory storage holding a copy of one, so each input
// costs a copy of a megabyte or four instead of a file on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <smfs/smfs.h>

#include <vector>

// A formatted card of cardType (0: small pages, 2: large pages) holding
//   vx:\README.TXT (300 bytes), vx:\GAMES\DEMO.BIN (three clusters and a bit),
//   vx:\GAMES\SUB\A.DAT (empty), vx:\GAMES\SUB\B.DAT (one byte), vx:\EMPTY\ .
// logToPhys receives, for each logical block, its physical block (0 when unmapped).
const std::vector<std::uint8_t>& fuzzBaseCard(int cardType,
                                              const std::vector<std::uint32_t>** logToPhys);

// A card with a fixed clock on a memory storage of bytes, whose size stays fixed.
struct FuzzCard {
    explicit FuzzCard(std::vector<std::uint8_t> bytes);
    MemoryStorage storage;
    SmfsCard card;
};
