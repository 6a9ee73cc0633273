// SPDX-License-Identifier: MIT
// Format of a card: the physical pass erases every block and counts bad ones (the full format
// writes and reads back a test pattern in every sector), retires physical block 0 and puts
// the card information structure into the first good block after it; the logical pass
// writes the master boot record, the boot sector, two FAT copies and an empty root so that
// the data area begins exactly at a logical block boundary, then mounts the volume.
#pragma once

#include "chip.h"
#include "fat.h"

#include <smfs/result.h>

#include <cstddef>
#include <cstdint>

inline constexpr int kFormatQuick = 0;
inline constexpr int kFormatFull = 1;
inline constexpr std::size_t kCisBytes = 110;
// The card information structure this system writes into the CIS block.
extern const std::uint8_t kCis[kCisBytes];
inline constexpr std::uint32_t kFormatRootEntries = 256;

// The logical layout this system gives a card type.
struct FormatLayout {
    FatType fatType;
    std::uint32_t sectorsPerFat;
    std::uint32_t sectorsPerCluster; // one cluster per block
    std::uint32_t systemBlocks;      // k: the data area starts at logical block k
    std::uint32_t partitionFirstSector;
    std::uint32_t partitionSectors;
    std::uint32_t rootSectors;
};

// The layout of a card with this geometry.
FormatLayout format_layout(const CardGeometry& geometry);

// Physical pass: mode kFormatQuick or kFormatFull (any other mode skips the block pass), then
// block 0 retired, the CIS written and the block map rebuilt. *badBlocks receives the count of
// bad blocks found. UnknownCard, OutOfMemory, driver codes.
[[nodiscard]] SmfsResult media_low_format(CardState& card, int mode, std::uint32_t* badBlocks);
// Logical pass: writes the boot records, FATs and root with the given volume label (nullptr
// or "" for a blank one) and mounts. Block layer codes, or the mount's result.
[[nodiscard]] SmfsResult format_volume(CardState& card, const char* label);
