// SPDX-License-Identifier: MIT
// What the check learns on its way through a card, in the terms the repair acts on: per
// physical block, how its address field and sectors look; per entry with a broken chain,
// where the entry lies and how much of its chain can stay; the "." and ".." entries that
// name the wrong cluster; and every lost cluster. The check fills it as it reports
// findings, so the repair and the check never disagree about what is wrong.
#pragma once

#include <smfs/tools.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One physical block as the physical pass saw it.
struct BlockScan {
    enum class Kind : std::uint8_t {
        Unused,  // retired or erased
        Cis,     // holds the card information structure
        Invalid, // its address field has bad parity or names no logical block
        Claim,   // claims logical block logBlock
    };
    Kind kind = Kind::Unused;
    std::uint32_t logBlock = 0;    // Claim
    bool fixableSectors = false;   // a sector with a correctable ECC error or stray fields
    bool uncorrectable = false;    // a sector whose ECC cannot correct it
    std::int64_t sectorClaim = -1; // Invalid: a logical block a sector's fields name
};

// Where a directory entry lies: a folder cluster (0 for the root region) and a byte offset
// inside it, with the entry's bytes as the walk read them.
struct EntryPlace {
    std::uint32_t cluster = 0;
    std::uint32_t offsetBytes = 0;
    std::array<std::uint8_t, 32> bytes{};
};

// An entry whose chain is cut short or whose size is wrong.
struct ChainFix {
    EntryPlace entry;
    bool folder = false;
    std::uint32_t keep = 0;     // clusters of the chain that stay; 0: none
    std::uint32_t lastKept = 0; // the cluster that ends the chain when cut
    bool cut = false;           // lastKept's FAT entry becomes the end of the chain
    std::uint32_t size = 0;     // the size the entry must hold (files)
    bool unwritten = false;     // a folder cluster lies in a logical block never written
};

// A "." or ".." entry naming the wrong cluster.
struct DotFix {
    EntryPlace entry;
    std::uint32_t cluster = 0;
};

// An entry whose name or fields no entry may hold: the repair writes it as mended, or
// deletes it when it is garbage whose first cluster or size make no sense (its clusters are
// then lost clusters of the next round).
struct EntryFix {
    EntryPlace entry;
    std::array<std::uint8_t, 32> mended{};
    bool remove = false;
    std::string what; // the repair's line
};

// Bytes after a folder's end marker that are not zero, as a range of one sector.
struct TailFix {
    std::uint32_t cluster = 0;
    std::uint32_t offsetBytes = 0;
    std::uint32_t lengthBytes = 0;
};

struct CardScan {
    std::vector<BlockScan> blocks;
    bool volumeWalked = false;
    std::vector<ChainFix> chains;
    std::vector<DotFix> dots;
    std::vector<EntryFix> entries;
    std::vector<TailFix> tails;
    std::vector<std::uint32_t> lostClusters;
};

// smfs_check, also filling scan (may be nullptr) with what a repair needs.
[[nodiscard]] SmfsResult check_card(CardState& card, SmfsCheckReport* report, CardScan* scan);
