// SPDX-License-Identifier: MIT
// The card's partition as a raw FAT volume image, both ways.
//
// Export reads the partition's logical sectors block by block through the block layer (so
// single-bit errors come out corrected) and writes them in order; sectors of blocks that
// were never mapped come out as 0xFF, as an erased card reads. Import first reads and checks
// the raw volume's boot sector against the card type, so a volume that does not fit is
// refused before the card is touched; then it gives the card a fresh quick format (bad
// blocks stay out, the CIS and master boot record are written) and writes every sector of
// the partition from the raw file, block by block, through the same copy-on-write writes the
// files use. Finally the card starts again as after a reset, so the next call mounts the new
// volume.
#include <smfs/smfs.h>
#include <smfs/tools.h>

#include "card_state.h"
#include "chip.h"
#include "dir.h"
#include "fat.h"
#include "format.h"
#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

SmfsResult importInto(CardState& card, SmfsStorage& in, SmfsImportProblem* problem);

constexpr std::uint32_t kFat12Clusters = 4085;

bool readAt(SmfsStorage& in, std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    return in.read(offset, buffer, count, &got) == SmfsResult::Ok && got == count;
}

// Checks a raw boot sector against the card's layout: what this library needs to mount it
// and what the card's partition can hold.
SmfsImportProblem checkBootSector(const std::uint8_t* bs, const FormatLayout& layout) {
    const bool fat12Text = std::memcmp(bs + kBsFsType, "FAT12   ", 8) == 0;
    const bool fat16Text = std::memcmp(bs + kBsFsType, "FAT16   ", 8) == 0;
    const std::uint32_t spc = bs[kBsSectorsPerCluster];
    const std::uint32_t fats = bs[kBsFatCount];
    const std::uint32_t rootEntries = le16(bs + kBsRootEntries);
    const std::uint32_t reserved = le16(bs + kBsReservedSectors);
    const std::uint32_t sectorsPerFat = le16(bs + kBsSectorsPerFat);
    if (bs[kBsSignature] != 0x55 || bs[kBsSignature + 1] != 0xAA ||
        le16(bs + kBsBytesPerSector) != kSectorBytes || spc == 0 || (spc & (spc - 1)) != 0 ||
        spc > 128 || fats == 0 || fats > 2 || rootEntries == 0 || bs[kBsMedia] != kMediaFixed ||
        reserved == 0 || sectorsPerFat == 0 || !(fat12Text || fat16Text))
        return SmfsImportProblem::NotFat;

    std::uint32_t total = le16(bs + kBsTotalSectors16);
    if (total == 0) total = le32(bs + kBsTotalSectors32);
    if (total != layout.partitionSectors) return SmfsImportProblem::GeometryMismatch;
    const std::uint64_t rootSectors = (std::uint64_t(rootEntries) * 32 + 511) / 512;
    const std::uint64_t system = reserved + std::uint64_t(fats) * sectorsPerFat + rootSectors;
    if (system >= total) return SmfsImportProblem::GeometryMismatch;
    const std::uint64_t clusters = (total - system) / spc;
    // The type text decides how this library reads the FAT; it must be the one the cluster
    // count makes, and the FAT must be long enough for every cluster.
    const bool fat12 = clusters < kFat12Clusters;
    if (fat12 != fat12Text) return SmfsImportProblem::GeometryMismatch;
    const std::uint64_t fatBytes = fat12 ? (clusters + 2) * 3 / 2 + 1 : (clusters + 2) * 2;
    if (std::uint64_t(sectorsPerFat) * kSectorBytes < fatBytes)
        return SmfsImportProblem::GeometryMismatch;
    return SmfsImportProblem::None;
}

} // namespace

const char* smfs_import_problem_text(SmfsImportProblem problem) {
    switch (problem) {
    case SmfsImportProblem::None:
        return "no problem";
    case SmfsImportProblem::WrongSize:
        return "the raw volume is not the size of the card's partition";
    case SmfsImportProblem::NotFat:
        return "the raw volume has no FAT12 or FAT16 boot sector this card can use";
    case SmfsImportProblem::GeometryMismatch:
        return "the raw volume's geometry does not fit the card type";
    case SmfsImportProblem::Unreadable:
        return "the raw volume cannot be read";
    }
    return "unknown problem";
}

SmfsResult SmfsCard::exportVolume(SmfsStorage& out, std::uint32_t* uncorrectable) {
    CardState& card = *state_;
    if (uncorrectable) *uncorrectable = 0;
    ChipSession session(card);
    SmfsResult r = dir_group_commit(card);
    if (r == SmfsResult::Ok) r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    CardGeometry g{};
    r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    const FatVolume& v = *fat_volume(card);
    const std::uint32_t spb = g.sectorsPerBlock;
    const std::uint64_t logicalSectors = std::uint64_t(g.logBlocks) * spb;
    // The mount made sure the partition starts on the card; its length is bounded here.
    std::uint64_t count = v.partitionSectors != 0 ? v.partitionSectors : v.totalSectors;
    count = std::min<std::uint64_t>(count, logicalSectors - v.partitionFirstSector);

    std::vector<std::uint8_t> block;
    try {
        block.resize(std::size_t(spb) * kSectorBytes);
    } catch (const std::bad_alloc&) {
        return SmfsResult::OutOfMemory;
    }
    std::uint32_t damaged = 0;
    std::uint64_t at = 0;
    for (std::uint64_t s = v.partitionFirstSector; s < v.partitionFirstSector + count;) {
        const auto logBlock = std::uint32_t(s / spb);
        const auto first = std::uint32_t(s % spb);
        const auto n =
            std::uint32_t(std::min<std::uint64_t>(spb - first, v.partitionFirstSector + count - s));
        const std::uint32_t bytes = n * kSectorBytes;
        if (media_logical_entry(card, logBlock) == 0) {
            std::fill(block.begin(), block.begin() + bytes, 0xFF);
        } else {
            r = media_read(card, logBlock, first * kSectorBytes, block.data(), bytes);
            if (r == SmfsResult::EccUncorrectable) {
                // Count the damaged sectors one by one; the data is delivered either way.
                for (std::uint32_t i = 0; i < n; ++i) {
                    if (media_read(card, logBlock, (first + i) * kSectorBytes,
                                   block.data() + i * kSectorBytes,
                                   kSectorBytes) == SmfsResult::EccUncorrectable)
                        ++damaged;
                }
            } else if (r != SmfsResult::Ok) {
                return r;
            }
        }
        r = out.write(at, block.data(), bytes);
        if (r != SmfsResult::Ok) return r;
        at += bytes;
        s += n;
    }
    r = out.sync();
    if (r != SmfsResult::Ok) return r;
    if (uncorrectable) *uncorrectable = damaged;
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::importVolume(SmfsStorage& in, SmfsImportProblem* problem) {
    CardState& card = *state_;
    SmfsImportProblem ignored;
    if (!problem) problem = &ignored;
    *problem = SmfsImportProblem::None;
    SmfsResult r = importInto(card, in, problem);
    // Whatever happened, the card starts again from what its storage holds.
    (void)reset();
    return r;
}

namespace {

SmfsResult importInto(CardState& card, SmfsStorage& in, SmfsImportProblem* problem) {
    ChipSession session(card);
    CardGeometry g{};
    SmfsResult r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    const FormatLayout layout = format_layout(g);
    const std::uint64_t volumeBytes = std::uint64_t(layout.partitionSectors) * kSectorBytes;

    std::uint64_t size = 0;
    if (in.size(&size) != SmfsResult::Ok || size != volumeBytes) {
        *problem =
            size != volumeBytes ? SmfsImportProblem::WrongSize : SmfsImportProblem::Unreadable;
        return SmfsResult::InvalidArgument;
    }
    std::uint8_t bs[kSectorBytes];
    if (!readAt(in, 0, bs, sizeof bs)) {
        *problem = SmfsImportProblem::Unreadable;
        return SmfsResult::InvalidArgument;
    }
    *problem = checkBootSector(bs, layout);
    if (*problem == SmfsImportProblem::None) {
        // The mount loads the first FAT copy that begins with the media bytes.
        std::uint8_t fat[3];
        const std::uint64_t fatOffset = std::uint64_t(le16(bs + kBsReservedSectors)) * kSectorBytes;
        if (!readAt(in, fatOffset, fat, sizeof fat))
            *problem = SmfsImportProblem::Unreadable;
        else if (fat[0] != 0xF8 || fat[1] != 0xFF || fat[2] != 0xFF)
            *problem = SmfsImportProblem::NotFat;
    }
    if (*problem != SmfsImportProblem::None) return SmfsResult::InvalidArgument;

    std::uint32_t bad = 0;
    r = media_low_format(card, kFormatQuick, &bad);
    if (r != SmfsResult::Ok) return r;
    r = format_volume(card, nullptr);
    if (r != SmfsResult::Ok) return r;

    const std::uint32_t spb = g.sectorsPerBlock;
    std::vector<std::uint8_t> block;
    try {
        block.resize(std::size_t(spb) * kSectorBytes);
    } catch (const std::bad_alloc&) {
        return SmfsResult::OutOfMemory;
    }
    std::uint64_t at = 0;
    const std::uint64_t end = std::uint64_t(layout.partitionFirstSector) + layout.partitionSectors;
    for (std::uint64_t s = layout.partitionFirstSector; s < end;) {
        const auto logBlock = std::uint32_t(s / spb);
        const auto first = std::uint32_t(s % spb);
        const auto n = std::uint32_t(std::min<std::uint64_t>(spb - first, end - s));
        const std::uint32_t bytes = n * kSectorBytes;
        if (!readAt(in, at, block.data(), bytes)) {
            // The file shrank under us: the card now holds a half-written volume.
            *problem = SmfsImportProblem::Unreadable;
            return SmfsResult::ImageIo;
        }
        r = media_write(card, logBlock, first * kSectorBytes, block.data(), bytes);
        if (r != SmfsResult::Ok) return r;
        at += bytes;
        s += n;
    }
    return smc_flush(card);
}

} // namespace
