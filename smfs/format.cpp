// SPDX-License-Identifier: MIT
// Format of a card, in two passes over the layers below the volume.
//
// The physical pass talks to the page driver directly, block by block, because it must see
// and mark blocks the block map would never hand out. The logical pass gives every system
// block (0 to k - 1) a freshly erased block and programs each of its sectors in place: the
// master boot record goes in last, so an interrupted format never leaves a volume that
// seems valid. The content of every system sector follows from the layout alone.
#include "format.h"
#include "card_state.h"

#include "ecc.h"
#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <array>
#include <cstring>

// The card information structure written into the CIS block.
const std::uint8_t kCis[kCisBytes] = {
    0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF, 0x01, 0x20, 0x04, 0x00, 0x00, 0x00, 0x00, 0x21,
    0x02, 0x04, 0x01, 0x22, 0x02, 0x01, 0x01, 0x22, 0x03, 0x02, 0x04, 0x07, 0x1A, 0x05, 0x01, 0x03,
    0x00, 0x02, 0x0F, 0x1B, 0x08, 0xC0, 0xC0, 0xA1, 0x01, 0x55, 0x08, 0x00, 0x20, 0x1B, 0x0A, 0xC1,
    0x41, 0x99, 0x01, 0x55, 0x64, 0xF0, 0xFF, 0xFF, 0x20, 0x1B, 0x0C, 0x82, 0x41, 0x18, 0xEA, 0x61,
    0xF0, 0x01, 0x07, 0xF6, 0x03, 0x01, 0xEE, 0x1B, 0x0C, 0x83, 0x41, 0x18, 0xEA, 0x61, 0x70, 0x01,
    0x07, 0x76, 0x03, 0x01, 0xEE, 0x15, 0x14, 0x05, 0x00, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x00, 0x20, 0x20, 0x20, 0x20, 0x00, 0x30, 0x2E, 0x30, 0x00, 0xFF, 0x14, 0x00, 0xFF};

namespace {

constexpr std::uint8_t kTestPattern = 0x5A;

std::uint32_t blockAddress(const CardGeometry& g, std::uint32_t physBlock) {
    return physBlock * g.sectorsPerBlock * kSectorBytes;
}

SmfsResult readStatus(CardState& card, const CardGeometry& g, std::uint32_t physBlock,
                      std::uint8_t* status) {
    std::uint8_t spare[8];
    SmfsResult r = smc_read_spare(card, blockAddress(g, physBlock), spare, sizeof spare);
    *status = spare[kSpareBlockStatus];
    return r;
}

// Programs every sector of a block with 0xFF data and the retired status; the results are
// not checked, since there is nothing more to do for a block that will not take even that.
void markBad(CardState& card, const CardGeometry& g, std::uint32_t physBlock,
             const std::uint8_t* erased) {
    std::uint8_t spare[kSpareBytes];
    spare_build_retired(spare);
    for (std::uint32_t s = 0; s < g.sectorsPerBlock; ++s)
        (void)smc_write_sector(card, physBlock * g.sectorsPerBlock + s, erased, spare);
}

// Writes the test pattern into every sector and reads it back. Ok with *bad telling the
// outcome, or a driver error other than a program failure.
SmfsResult surfaceTest(CardState& card, const CardGeometry& g, std::uint32_t physBlock,
                       std::uint8_t* readBack, bool* bad) {
    std::array<std::uint8_t, kSectorBytes> pattern;
    pattern.fill(kTestPattern);
    std::array<std::uint8_t, kSpareBytes> spare;
    spare.fill(kTestPattern);
    for (std::uint32_t s = 0; s < g.sectorsPerBlock; ++s) {
        const std::uint32_t sector = physBlock * g.sectorsPerBlock + s;
        SmfsResult r = smc_write_sector(card, sector, pattern.data(), spare.data());
        if (r == SmfsResult::ChipFailed) {
            *bad = true;
            return SmfsResult::Ok;
        }
        if (r != SmfsResult::Ok) return r;
        r = smc_read_sector_data(card, sector, readBack);
        if (r != SmfsResult::Ok) return r;
        if (std::memcmp(readBack, pattern.data(), kSectorBytes) != 0) {
            *bad = true;
            return SmfsResult::Ok;
        }
        r = smc_read_sector_spare(card, sector, readBack);
        if (r != SmfsResult::Ok) return r;
        if (std::memcmp(readBack, spare.data(), kSpareBytes) != 0) {
            *bad = true;
            return SmfsResult::Ok;
        }
    }
    *bad = false;
    return SmfsResult::Ok;
}

// Erases a block; a block that fails to erase is marked bad. Other driver errors are returned.
SmfsResult eraseOrMarkBad(CardState& card, const CardGeometry& g, std::uint32_t physBlock,
                          const std::uint8_t* erased, bool* bad) {
    SmfsResult r = smc_erase_block(card, blockAddress(g, physBlock));
    *bad = r == SmfsResult::ChipFailed;
    if (*bad) {
        markBad(card, g, physBlock, erased);
        return SmfsResult::Ok;
    }
    return r;
}

SmfsResult physicalPass(CardState& card, const CardGeometry& g, int mode, std::uint8_t* work,
                        std::uint32_t* badBlocks) {
    std::uint8_t erased[kSectorBytes];
    std::memset(erased, 0xFF, sizeof erased);
    // Block 0 is left out: it is retired after the pass in any case, and a reformat would
    // otherwise count the previous format's marks on it as a bad block.
    for (std::uint32_t b = 1; b < g.physBlocks; ++b) {
        std::uint8_t status = 0;
        SmfsResult r = readStatus(card, g, b, &status);
        if (r != SmfsResult::Ok) return r;
        const bool leave = mode == kFormatQuick ? block_status_bad_quick(status)
                                                : block_status_bad_untested(status);
        if (leave) {
            ++*badBlocks;
            continue;
        }
        // A block that refuses to erase still holds its old spare areas, which the block map
        // would take for data: it is counted and marked bad in both modes.
        bool bad = false;
        r = eraseOrMarkBad(card, g, b, erased, &bad);
        if (r != SmfsResult::Ok) return r;
        if (!bad && mode == kFormatFull) {
            r = surfaceTest(card, g, b, work, &bad);
            if (r != SmfsResult::Ok) return r;
            if (bad) {
                markBad(card, g, b, erased);
            } else {
                // The block would otherwise keep the pattern and be read as unusable.
                r = eraseOrMarkBad(card, g, b, erased, &bad);
                if (r != SmfsResult::Ok) return r;
            }
        }
        if (bad) ++*badBlocks;
    }
    return SmfsResult::Ok;
}

// ---- Logical pass ----

struct SystemArea {
    FormatLayout layout;
    const CardGeometry* geometry;
    char label[kLabelChars];
};

void buildMbr(const SystemArea& a, std::uint8_t* sector) {
    const CardGeometry& g = *a.geometry;
    const std::uint32_t s = a.layout.partitionFirstSector;
    const std::uint32_t startHead = (s / g.sectorsPerTrack) % g.heads;
    const std::uint32_t startSector = s % g.sectorsPerTrack + 1;
    const std::uint32_t startCylinder = (s / g.sectorsPerTrack) / g.heads;
    const std::uint32_t endCylinder = g.cylinders - 1;
    sector[kMbrBootIndicator] = 0x80;
    sector[kMbrStartHead] = std::uint8_t(startHead);
    sector[kMbrStartSector] = std::uint8_t(((startCylinder >> 2) & 0xC0) | startSector);
    sector[kMbrStartCylinder] = std::uint8_t(startCylinder);
    sector[kMbrSystem] = 0x01;
    sector[kMbrEndHead] = std::uint8_t(g.heads - 1);
    sector[kMbrEndSector] = std::uint8_t(((endCylinder >> 2) & 0xC0) | g.sectorsPerTrack);
    sector[kMbrEndCylinder] = std::uint8_t(endCylinder);
    putLe32(sector + kMbrFirstSector, s);
    putLe32(sector + kMbrSectorCount, a.layout.partitionSectors);
    sector[kMbrSignature] = 0x55;
    sector[kMbrSignature + 1] = 0xAA;
}

void buildBootSector(const SystemArea& a, std::uint8_t* sector) {
    const CardGeometry& g = *a.geometry;
    const FormatLayout& l = a.layout;
    sector[kBsJump] = 0xE9;
    std::memcpy(sector + kBsOemName, "SMFS1.0", 8);
    putLe16(sector + kBsBytesPerSector, kSectorBytes);
    sector[kBsSectorsPerCluster] = std::uint8_t(l.sectorsPerCluster);
    putLe16(sector + kBsReservedSectors, 1);
    sector[kBsFatCount] = 2;
    putLe16(sector + kBsRootEntries, kFormatRootEntries);
    if (l.partitionSectors < 65536)
        putLe16(sector + kBsTotalSectors16, std::uint16_t(l.partitionSectors));
    else
        putLe32(sector + kBsTotalSectors32, l.partitionSectors);
    sector[kBsMedia] = kMediaFixed;
    putLe16(sector + kBsSectorsPerFat, std::uint16_t(l.sectorsPerFat));
    putLe16(sector + kBsSectorsPerTrack, std::uint16_t(g.sectorsPerTrack));
    putLe16(sector + kBsHeads, std::uint16_t(g.heads));
    putLe32(sector + kBsHiddenSectors, l.partitionFirstSector);
    sector[kBsDriveNumber] = 0x80;
    sector[kBsExtSignature] = 0x29;
    std::memcpy(sector + kBsLabel, a.label, kLabelChars);
    std::memcpy(sector + kBsFsType, l.fatType == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8);
    sector[kBsSignature] = 0x55;
    sector[kBsSignature + 1] = 0xAA;
}

// The content of logical sector `sector` of the system area.
void buildSystemSector(const SystemArea& a, std::uint32_t sector, std::uint8_t* out) {
    std::memset(out, 0, kSectorBytes);
    const FormatLayout& l = a.layout;
    const std::uint32_t fat1 = l.partitionFirstSector + 1;
    const std::uint32_t fat2 = fat1 + l.sectorsPerFat;
    if (sector == 0) {
        buildMbr(a, out);
    } else if (sector == l.partitionFirstSector) {
        buildBootSector(a, out);
    } else if (sector == fat1 || sector == fat2) {
        // Entries 0 and 1: the media byte, then end-of-chain. On FAT16 entry 1 is 0xFFFF in
        // full, since its top bit is the volume's clean flag for every other FAT reader.
        out[0] = kMediaFixed;
        out[1] = 0xFF;
        out[2] = 0xFF;
        if (l.fatType == FatType::Fat16) out[3] = 0xFF;
    }
}

SmfsResult freshBlock(CardState& card, std::uint32_t logBlock) {
    std::uint32_t previous = 0;
    SmfsResult r = media_assign_block(card, logBlock, &previous);
    if (r != SmfsResult::Ok) return r;
    return previous != 0 ? media_release_block(card, previous) : SmfsResult::Ok;
}

SmfsResult writeSystemSector(CardState& card, const SystemArea& a, std::uint32_t sector,
                             std::uint8_t* buffer) {
    const std::uint32_t spb = a.layout.sectorsPerCluster;
    buildSystemSector(a, sector, buffer);
    return media_write_sectors(card, sector / spb, (sector % spb) * kSectorBytes, buffer,
                               kSectorBytes);
}

} // namespace

FormatLayout format_layout(const CardGeometry& g) {
    FormatLayout l{};
    const std::uint32_t logBlocks = g.logBlocks;
    l.fatType = g.totalSectors <= 128000 ? FatType::Fat12 : FatType::Fat16;
    l.sectorsPerFat = l.fatType == FatType::Fat12 ? ((3 * logBlocks + 6) / 2 - 1) / 512 + 1
                                                  : (2 * logBlocks + 3) / 512 + 1;
    l.sectorsPerCluster = g.sectorsPerBlock;
    l.rootSectors = kFormatRootEntries * kDirEntryBytes / kSectorBytes;
    l.systemBlocks = (2 * l.sectorsPerFat + l.rootSectors) / l.sectorsPerCluster + 2;
    l.partitionFirstSector =
        l.sectorsPerCluster * l.systemBlocks - (2 * l.sectorsPerFat + l.rootSectors + 1);
    l.partitionSectors = g.cylinders * g.heads * g.sectorsPerTrack - l.partitionFirstSector;
    return l;
}

SmfsResult media_low_format(CardState& card, int mode, std::uint32_t* badBlocks) {
    *badBlocks = 0;
    CardGeometry g{};
    SmfsResult r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    SectorBuffer buffer(card);
    if (!buffer) return SmfsResult::OutOfMemory;

    if (mode == kFormatQuick || mode == kFormatFull) {
        r = physicalPass(card, g, mode, buffer.get(), badBlocks);
        if (r != SmfsResult::Ok) return r;
    }

    // Block 0 never holds data: it is marked bad, but not counted. The erase result does not
    // matter, since the marks are all that is wanted of it.
    (void)smc_erase_block(card, blockAddress(g, 0));
    std::memset(buffer.get(), 0xFF, kSectorBytes);
    markBad(card, g, 0, buffer.get());

    for (std::uint32_t b = 1; b < g.physBlocks; ++b) {
        std::uint8_t status = 0;
        r = readStatus(card, g, b, &status);
        if (r != SmfsResult::Ok) return r;
        if (block_status_bad_quick(status)) continue;
        std::uint8_t* data = buffer.get();
        std::memset(data, 0, kSectorBytes);
        std::memcpy(data, kCis, kCisBytes);
        std::uint8_t spare[kSpareBytes];
        spare_build(data, kFieldCis, spare);
        r = smc_write_sector(card, b * g.sectorsPerBlock, data, spare);
        if (r != SmfsResult::Ok) return r;
        break;
    }
    return media_build_map(card);
}

SmfsResult format_volume(CardState& card, const char* label) {
    CardGeometry g{};
    SmfsResult r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    SectorBuffer buffer(card);
    if (!buffer) return SmfsResult::OutOfMemory;

    SystemArea a{format_layout(g), &g, {}};
    std::memset(a.label, ' ', kLabelChars);
    if (label) std::memcpy(a.label, label, std::min(std::strlen(label), kLabelChars));

    const std::uint32_t spb = a.layout.sectorsPerCluster;
    for (std::uint32_t block = 0; block < a.layout.systemBlocks; ++block) {
        r = freshBlock(card, block);
        if (r != SmfsResult::Ok) return r;
    }
    for (std::uint32_t sector = 1; sector < a.layout.systemBlocks * spb; ++sector) {
        r = writeSystemSector(card, a, sector, buffer.get());
        if (r != SmfsResult::Ok) return r;
    }
    r = writeSystemSector(card, a, 0, buffer.get());
    if (r != SmfsResult::Ok) return r;
    return fat_mount(card);
}
