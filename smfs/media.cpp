// Block map and block I/O.
//
// The map is two tables: per physical block the block address field found in its first
// spare (or free / retired), and per logical block the physical block that holds it. Free
// blocks are found by a cursor that starts at a random place and walks the logical block's
// zone. Reads check the ECC of every whole sector. Writes program a sector at most once per
// erase: into blank sectors in place, otherwise by copy on write into a freshly erased block,
// after which the old block is erased and freed. The first write to an unmapped block
// programs only the block's first sector and the sectors it touches, so that later writes
// into the rest of the block still go in place. A block that fails to program is relocated;
// one that fails to erase is retired. Every operation runs as one chip session, so the
// blocks it touches are read from the image once and its writes reach it block by block.
#include "media.h"

#include "ecc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kBuilt = 10;
constexpr std::uint32_t kZonePhysBlocks = 1024;
constexpr std::uint32_t kZoneLogBlocks = 1000;
constexpr std::uint32_t kFirstBlockForLogicalZero = 3;

struct Media {
    std::vector<std::uint16_t> phys;
    std::vector<std::uint16_t> logical;
    // Blocks the map build found superseded by another copy of their logical block; they
    // are erased before the next write (the build itself writes nothing).
    std::vector<std::uint32_t> superseded;
    std::uint32_t cursor = 0;
    int readiness = 0;
    const CardGeometry* geometry = nullptr;
};

Media gMedia;
std::minstd_rand gRandom;

std::array<std::array<std::uint8_t, kSectorBytes>, kSectorBufferCount> gBufferPool;
std::array<std::uint8_t*, kSectorBufferCount> gFreeBuffers;
int gFreeBufferCount = 0;

const std::array<std::uint8_t, kSectorBytes> kErasedSector = [] {
    std::array<std::uint8_t, kSectorBytes> a{};
    a.fill(0xFF);
    return a;
}();

const CardGeometry& geo() {
    return *gMedia.geometry;
}
std::uint32_t blockBytes() {
    return geo().sectorsPerBlock * kSectorBytes;
}
std::uint32_t firstSector(std::uint32_t physBlock) {
    return physBlock * geo().sectorsPerBlock;
}
bool smallCard() {
    return geo().physBlocks < kZonePhysBlocks;
}

[[nodiscard]] SmfsResult ready(unsigned drive) {
    if (drive != 0) return SmfsResult::InvalidArgument;
    if (gMedia.readiness == kBuilt) return SmfsResult::Ok;
    return media_build_map(drive);
}

// A byte range inside one block.
bool rangeInBlock(std::uint32_t offsetBytes, std::uint32_t lengthBytes) {
    return offsetBytes <= blockBytes() && lengthBytes <= blockBytes() - offsetBytes;
}

bool physInRange(std::uint32_t physBlock) {
    return physBlock != 0 && physBlock < geo().physBlocks;
}

std::uint32_t randomBelow(std::uint32_t n) {
    return std::uint32_t(gRandom() % n);
}

[[nodiscard]] SmfsResult sectorBlank(unsigned drive, std::uint32_t sector, bool* blank) {
    std::uint8_t spare[kSpareBytes];
    SmfsResult r = smc_read_sector_spare(drive, sector, spare);
    *blank = r == SmfsResult::Ok && spare_is_blank(spare);
    return r;
}

// Reads bytes of one sector without ECC, honouring the page boundaries of the chip.
[[nodiscard]] SmfsResult readRaw(unsigned drive, std::uint32_t address, std::uint8_t* buffer,
                                 std::uint32_t length) {
    if (geo().pageDataBytes == 256) {
        while (length > 0) {
            std::uint32_t n = std::min(length, 256 - address % 256);
            SmfsResult r = smc_read_data(drive, address, buffer, n);
            if (r != SmfsResult::Ok) return r;
            address += n;
            buffer += n;
            length -= n;
        }
        return SmfsResult::Ok;
    }
    if (address % kSectorBytes >= 256) return smc_read_data_upper(drive, address, buffer, length);
    return smc_read_data(drive, address, buffer, length);
}

// How far a block's sectors were programmed with its address field: the whole sectors
// (both field copies written; on 256-byte pages the copy in the second page is written
// last) and one past the last whole sector.
struct BlockFill {
    std::uint32_t end = 0;
    std::uint32_t whole = 0;
};

[[nodiscard]] SmfsResult blockFill(unsigned drive, std::uint32_t physBlock, std::uint16_t field,
                                   BlockFill* fill) {
    *fill = BlockFill{};
    for (std::uint32_t s = 0; s < geo().sectorsPerBlock; ++s) {
        std::uint8_t spare[kSpareBytes];
        SmfsResult r = smc_read_sector_spare(drive, firstSector(physBlock) + s, spare);
        if (r != SmfsResult::Ok) return r;
        auto fieldAt = [&](int at) { return std::uint16_t(spare[at] << 8 | spare[at + 1]); };
        if (fieldAt(kSpareAddr1) != field || fieldAt(kSpareAddr2) != field) continue;
        ++fill->whole;
        fill->end = s + 1;
    }
    return SmfsResult::Ok;
}

// Of two blocks that claim one logical block, the one to keep. Both exist only when a copy
// on write was cut off before the old block was erased. The copy programs every sector of
// the new block in order, so a copy that did not reach the last sector never finished and
// the old block still holds everything; a finished copy holds the old block's sectors with
// the new data over them, and wins over an old block that had blank sectors. When both are
// whole neither can be told older, and either is a state the card was in: the later block
// is kept, as it always was.
[[nodiscard]] SmfsResult chooseCopy(unsigned drive, std::uint32_t earlier, std::uint32_t later,
                                    std::uint16_t field, std::uint32_t* keep) {
    BlockFill a;
    BlockFill b;
    SmfsResult r = blockFill(drive, earlier, field, &a);
    if (r == SmfsResult::Ok) r = blockFill(drive, later, field, &b);
    if (r != SmfsResult::Ok) return r;
    const bool earlierFuller = a.end > b.end || (a.end == b.end && a.whole > b.whole);
    *keep = earlierFuller ? earlier : later;
    return SmfsResult::Ok;
}

// Erases the superseded copies the map build left, before anything else is written, so that
// no later copy on write can leave three blocks claiming one logical block.
[[nodiscard]] SmfsResult eraseSuperseded(unsigned drive) {
    while (!gMedia.superseded.empty()) {
        const std::uint32_t b = gMedia.superseded.back();
        SmfsResult r = smc_erase_block(drive, firstSector(b) * kSectorBytes);
        if (r == SmfsResult::ChipFailed) {
            // A copy that cannot be erased must never be read as its block again.
            gMedia.superseded.pop_back();
            r = media_retire_block(drive, b);
            if (r != SmfsResult::Ok) return r;
            continue;
        }
        if (r != SmfsResult::Ok) return r;
        gMedia.superseded.pop_back();
        gMedia.phys[b] = kPhysFree;
    }
    return SmfsResult::Ok;
}

// Ends a write operation: pushes buffered records to the image, so that a failing stream is
// reported here and the data is in the image file when the operation returns.
[[nodiscard]] SmfsResult flushed(unsigned drive, SmfsResult r) {
    SmfsResult f = smc_flush(drive);
    return r != SmfsResult::Ok ? r : f;
}

[[nodiscard]] SmfsResult writeSectors(unsigned drive, std::uint32_t logBlock,
                                      std::uint32_t offsetBytes, const std::uint8_t* data,
                                      std::uint32_t lengthBytes);
[[nodiscard]] SmfsResult writeRange(unsigned drive, std::uint32_t logBlock,
                                    std::uint32_t offsetBytes, const std::uint8_t* data,
                                    std::uint32_t lengthBytes);

// Copies a block's programmed sectors into the logical block's freshly assigned block,
// leaving out [skipFirst, skipEnd), which the caller is about to write. Uncorrectable
// sectors are carried over as they read: losing them would be worse.
[[nodiscard]] SmfsResult copySectors(unsigned drive, std::uint32_t from, std::uint32_t logBlock,
                                     std::uint32_t skipFirst, std::uint32_t skipEnd,
                                     std::uint8_t* buffer);

// Moves a logical block whose program failed to a fresh block, then retires the old one.
[[nodiscard]] SmfsResult relocate(unsigned drive, std::uint32_t logBlock, std::uint32_t skipFirst,
                                  std::uint32_t skipEnd) {
    std::uint32_t previous = 0;
    SmfsResult r = media_assign_block(drive, logBlock, &previous);
    if (r != SmfsResult::Ok) return r;
    if (previous == 0) return SmfsResult::Ok;
    SectorBuffer buffer;
    if (!buffer) {
        (void)media_release_block(drive, previous);
        return SmfsResult::OutOfMemory;
    }
    r = copySectors(drive, previous, logBlock, skipFirst, skipEnd, buffer.get());
    SmfsResult retired = media_retire_block(drive, previous);
    return r != SmfsResult::Ok ? r : retired;
}

SmfsResult copySectors(unsigned drive, std::uint32_t from, std::uint32_t logBlock,
                       std::uint32_t skipFirst, std::uint32_t skipEnd, std::uint8_t* buffer) {
    for (std::uint32_t s = 0; s < geo().sectorsPerBlock; ++s) {
        if (s >= skipFirst && s < skipEnd) continue;
        bool blank = false;
        SmfsResult r = sectorBlank(drive, firstSector(from) + s, &blank);
        if (r != SmfsResult::Ok) return r;
        if (blank) continue;
        r = media_read_physical(drive, from, s * kSectorBytes, buffer, kSectorBytes);
        if (r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) return r;
        r = writeSectors(drive, logBlock, s * kSectorBytes, buffer, kSectorBytes);
        if (r != SmfsResult::Ok) return r;
    }
    return SmfsResult::Ok;
}

} // namespace

// ---- Sector buffer pool ----

std::uint8_t* sector_buffer_take() {
    if (gFreeBufferCount == 0) return nullptr;
    return gFreeBuffers[std::size_t(--gFreeBufferCount)];
}

void sector_buffer_give(std::uint8_t* buffer) {
    if (buffer && gFreeBufferCount < kSectorBufferCount)
        gFreeBuffers[std::size_t(gFreeBufferCount++)] = buffer;
}

// ---- Lifecycle ----

void media_reset() {
    gMedia = Media{};
    for (int i = 0; i < kSectorBufferCount; ++i)
        gFreeBuffers[std::size_t(i)] = gBufferPool[std::size_t(kSectorBufferCount - 1 - i)].data();
    gFreeBufferCount = kSectorBufferCount;
    smc_add_removal_listener(media_invalidate);
}

void media_invalidate() {
    gMedia.readiness = 0;
}

void media_seed(unsigned seed) {
    gRandom.seed(seed == 0 ? 1 : seed);
}

// ---- Map ----

SmfsResult media_build_map(unsigned drive) {
    if (drive != 0) return SmfsResult::InvalidArgument;
    gMedia.readiness = 0;
    gMedia.phys.clear();
    gMedia.logical.clear();
    SmfsResult r = smc_card_type(drive) < 0 ? smc_probe(drive) : SmfsResult::Ok;
    if (r != SmfsResult::Ok) return r;
    gMedia.geometry = &card_geometry(smc_card_type(drive));
    const CardGeometry& g = geo();

    std::vector<std::uint16_t> phys(g.physBlocks);
    for (std::uint32_t b = 0; b < g.physBlocks; ++b) {
        std::uint8_t spare[8];
        r = smc_read_spare(drive, firstSector(b) * kSectorBytes, spare, sizeof spare);
        if (r != SmfsResult::Ok) return r;
        std::uint8_t status = spare[kSpareBlockStatus];
        phys[b] = block_status_unusable(status)
                      ? kPhysRetired
                      : std::uint16_t(spare[kSpareAddr1] << 8 | spare[kSpareAddr1 + 1]);
    }

    std::vector<std::uint16_t> logical(g.physBlocks, 0);
    std::vector<std::uint32_t> superseded;
    std::uint32_t zones = smallCard() ? 1 : g.physBlocks / kZonePhysBlocks;
    std::uint32_t zoneSize = smallCard() ? g.physBlocks : kZonePhysBlocks;
    for (std::uint32_t z = 0; z < zones; ++z) {
        for (std::uint32_t b = z * zoneSize; b < (z + 1) * zoneSize; ++b) {
            std::uint16_t field = phys[b];
            if (field == kPhysRetired || field == kPhysFree || field == kFieldCis) continue;
            if (!block_address_field_valid(field)) continue;
            std::uint32_t number = block_address_field_number(field);
            std::uint32_t logBlock = z * kZoneLogBlocks + number;
            // A number beyond the zone's logical blocks would alias the next zone's blocks.
            if (number >= kZoneLogBlocks || logBlock >= g.logBlocks) continue;
            std::uint32_t keep = b;
            if (logical[logBlock] != 0) {
                r = chooseCopy(drive, logical[logBlock], b, field, &keep);
                if (r != SmfsResult::Ok) return r;
                superseded.push_back(keep == b ? logical[logBlock] : b);
            }
            logical[logBlock] = std::uint16_t(keep);
        }
    }
    gMedia.phys = std::move(phys);
    gMedia.logical = std::move(logical);
    gMedia.superseded = std::move(superseded);
    gMedia.cursor = randomBelow(g.physBlocks);
    gMedia.readiness = kBuilt;
    return SmfsResult::Ok;
}

SmfsResult media_find_block(unsigned drive, std::uint32_t logBlock, std::uint32_t* physBlock) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    const CardGeometry& g = geo();
    if (logBlock >= g.logBlocks) return SmfsResult::InvalidArgument;
    if (gMedia.logical[logBlock] != 0) {
        *physBlock = gMedia.logical[logBlock];
        return SmfsResult::Ok;
    }
    std::uint32_t saved = gMedia.cursor;
    if (logBlock == 0) gMedia.cursor = kFirstBlockForLogicalZero;
    std::uint32_t zone = logBlock / kZoneLogBlocks;
    if (!smallCard() && zone != gMedia.cursor / kZonePhysBlocks)
        gMedia.cursor = randomBelow(kZonePhysBlocks) + zone * kZonePhysBlocks;
    std::uint32_t start = smallCard() ? 0 : zone * kZonePhysBlocks;
    std::uint32_t end = smallCard() ? g.physBlocks : start + kZonePhysBlocks;
    r = SmfsResult::NoFreeBlock;
    for (std::uint32_t step = 0; step < end - start; ++step) {
        if (gMedia.cursor >= end || gMedia.cursor < start) gMedia.cursor = start;
        // Block 0 can never hold a logical block: a logical entry of 0 means unmapped.
        if (gMedia.cursor != 0 && gMedia.phys[gMedia.cursor] == kPhysFree) {
            *physBlock = gMedia.cursor;
            r = SmfsResult::Ok;
            break;
        }
        ++gMedia.cursor;
    }
    if (logBlock == 0) gMedia.cursor = saved;
    return r;
}

SmfsResult media_assign_block(unsigned drive, std::uint32_t logBlock, std::uint32_t* previous) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo().logBlocks) return SmfsResult::InvalidArgument;
    r = eraseSuperseded(drive);
    if (r != SmfsResult::Ok) return r;
    std::uint16_t old = gMedia.logical[logBlock];
    gMedia.logical[logBlock] = 0;
    for (;;) {
        std::uint32_t fresh = 0;
        r = media_find_block(drive, logBlock, &fresh);
        if (r == SmfsResult::Ok) r = smc_erase_block(drive, firstSector(fresh) * kSectorBytes);
        if (r == SmfsResult::ChipFailed) {
            (void)media_retire_block(drive, fresh);
            continue;
        }
        if (r != SmfsResult::Ok) {
            // The old block still holds the data: keep it mapped.
            gMedia.logical[logBlock] = old;
            return r;
        }
        gMedia.logical[logBlock] = std::uint16_t(fresh);
        gMedia.phys[fresh] = block_address_field(logBlock);
        *previous = old;
        return SmfsResult::Ok;
    }
}

SmfsResult media_release_block(unsigned drive, std::uint32_t physBlock) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(physBlock)) return SmfsResult::BlockNotMapped;
    // A block that fails to erase is found out when it is next assigned.
    r = smc_erase_block(drive, firstSector(physBlock) * kSectorBytes);
    if (r != SmfsResult::Ok && r != SmfsResult::ChipFailed) return r;
    gMedia.phys[physBlock] = kPhysFree;
    return SmfsResult::Ok;
}

SmfsResult media_retire_block(unsigned drive, std::uint32_t physBlock) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(physBlock)) return SmfsResult::BlockNotMapped;
    // The table entry changes even when the card cannot be marked, so that the block is
    // never chosen again in this session.
    gMedia.phys[physBlock] = kPhysRetired;
    std::uint8_t spare[kSpareBytes];
    spare_build_retired(spare);
    (void)smc_erase_block(drive, firstSector(physBlock) * kSectorBytes);
    for (std::uint32_t s = 0; s < geo().sectorsPerBlock; ++s)
        (void)smc_write_sector(drive, firstSector(physBlock) + s, kErasedSector.data(), spare);
    return flushed(drive, chip_take_io_error() ? SmfsResult::ImageIo : SmfsResult::Ok);
}

// ---- Block I/O ----

SmfsResult media_write_sectors(unsigned drive, std::uint32_t logBlock, std::uint32_t offsetBytes,
                               const std::uint8_t* data, std::uint32_t lengthBytes) {
    ChipSession session;
    return flushed(drive, writeSectors(drive, logBlock, offsetBytes, data, lengthBytes));
}

namespace {

SmfsResult writeSectors(unsigned drive, std::uint32_t logBlock, std::uint32_t offsetBytes,
                        const std::uint8_t* data, std::uint32_t lengthBytes) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo().logBlocks) return SmfsResult::InvalidArgument;
    if (offsetBytes % kSectorBytes != 0 || lengthBytes % kSectorBytes != 0 ||
        !rangeInBlock(offsetBytes, lengthBytes))
        return SmfsResult::InvalidArgument;
    r = eraseSuperseded(drive);
    if (r != SmfsResult::Ok) return r;
    std::uint16_t field = block_address_field(logBlock);
    std::uint32_t first = offsetBytes / kSectorBytes;
    std::uint32_t count = lengthBytes / kSectorBytes;
    for (;;) {
        std::uint32_t physBlock = gMedia.logical[logBlock];
        if (!physInRange(physBlock)) return SmfsResult::BlockNotMapped;
        std::uint32_t i = 0;
        for (; i < count; ++i) {
            std::uint8_t spare[kSpareBytes];
            const std::uint8_t* piece = data + i * kSectorBytes;
            spare_build(piece, field, spare);
            r = smc_write_sector(drive, firstSector(physBlock) + first + i, piece, spare);
            if (r != SmfsResult::Ok) break;
        }
        if (i == count) return SmfsResult::Ok;
        if (r != SmfsResult::ChipFailed) return r;
        r = relocate(drive, logBlock, first, first + count);
        if (r != SmfsResult::Ok) return r;
    }
}

} // namespace

SmfsResult media_read(unsigned drive, std::uint32_t logBlock, std::uint32_t offsetBytes,
                      std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo().logBlocks) return SmfsResult::InvalidArgument;
    return media_read_physical(drive, gMedia.logical[logBlock], offsetBytes, buffer, lengthBytes);
}

SmfsResult media_read_physical(unsigned drive, std::uint32_t physBlock, std::uint32_t offsetBytes,
                               std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(physBlock)) return SmfsResult::BlockNotMapped;
    if (!rangeInBlock(offsetBytes, lengthBytes)) return SmfsResult::InvalidArgument;
    std::uint32_t address = physBlock * blockBytes() + offsetBytes;

    if (offsetBytes % kSectorBytes != 0) {
        std::uint32_t n = std::min(kSectorBytes - offsetBytes % kSectorBytes, lengthBytes);
        r = readRaw(drive, address, buffer, n);
        if (r != SmfsResult::Ok) return r;
        address += n;
        buffer += n;
        lengthBytes -= n;
    }
    std::uint32_t tail = lengthBytes % kSectorBytes;
    std::uint32_t whole = lengthBytes / kSectorBytes;
    bool uncorrectable = false;
    for (std::uint32_t i = 0; i < whole; ++i) {
        std::uint8_t spare[kSpareBytes];
        r = smc_read_sector(drive, address / kSectorBytes, buffer, spare);
        if (r != SmfsResult::Ok) return r;
        if (ecc_check(buffer, spare + kSpareEccLow) != SmfsResult::Ok) uncorrectable = true;
        if (ecc_check(buffer + 256, spare + kSpareEccHigh) != SmfsResult::Ok) uncorrectable = true;
        address += kSectorBytes;
        buffer += kSectorBytes;
    }
    if (tail != 0) {
        r = readRaw(drive, address, buffer, tail);
        if (r != SmfsResult::Ok) return r;
    }
    return uncorrectable ? SmfsResult::EccUncorrectable : SmfsResult::Ok;
}

SmfsResult media_read_sector(unsigned drive, std::uint32_t sector, std::uint32_t offsetBytes,
                             std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t perBlock = geo().sectorsPerBlock;
    return media_read(drive, sector / perBlock, (sector % perBlock) * kSectorBytes + offsetBytes,
                      buffer, lengthBytes);
}

SmfsResult media_write(unsigned drive, std::uint32_t logBlock, std::uint32_t offsetBytes,
                       const std::uint8_t* data, std::uint32_t lengthBytes) {
    ChipSession session;
    return flushed(drive, writeRange(drive, logBlock, offsetBytes, data, lengthBytes));
}

namespace {

SmfsResult writeRange(unsigned drive, std::uint32_t logBlock, std::uint32_t offsetBytes,
                      const std::uint8_t* data, std::uint32_t lengthBytes) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo().logBlocks) return SmfsResult::InvalidArgument;
    if (!rangeInBlock(offsetBytes, lengthBytes)) return SmfsResult::InvalidArgument;
    if (lengthBytes == 0) return SmfsResult::Ok;
    SectorBuffer buffer;
    if (!buffer) return SmfsResult::OutOfMemory;
    std::uint8_t* sector = buffer.get();

    std::uint32_t firstTouched = offsetBytes / kSectorBytes;
    std::uint32_t lastTouched = (offsetBytes + lengthBytes - 1) / kSectorBytes;
    std::uint32_t endBytes = offsetBytes + lengthBytes;
    // The piece of the new data that falls into sector s, merged over what the buffer holds.
    auto merge = [&](std::uint32_t s) {
        std::uint32_t from = std::max(offsetBytes, s * kSectorBytes);
        std::uint32_t to = std::min(endBytes, (s + 1) * kSectorBytes);
        if (from < to)
            std::memcpy(sector + (from - s * kSectorBytes), data + (from - offsetBytes), to - from);
    };

    std::uint32_t physBlock = gMedia.logical[logBlock];
    bool blank = physBlock != 0;
    for (std::uint32_t s = firstTouched; blank && s <= lastTouched; ++s) {
        r = sectorBlank(drive, firstSector(physBlock) + s, &blank);
        if (r != SmfsResult::Ok) return r;
    }
    if (blank) {
        for (std::uint32_t s = firstTouched; s <= lastTouched; ++s) {
            std::memcpy(sector, kErasedSector.data(), kSectorBytes);
            merge(s);
            r = writeSectors(drive, logBlock, s * kSectorBytes, sector, kSectorBytes);
            if (r != SmfsResult::Ok) return r;
        }
        return SmfsResult::Ok;
    }

    std::uint32_t previous = 0;
    r = media_assign_block(drive, logBlock, &previous);
    if (r != SmfsResult::Ok) return r;
    for (std::uint32_t s = 0; s < geo().sectorsPerBlock && r == SmfsResult::Ok; ++s) {
        // A block that held nothing needs its first sector, whose spare ties it to the
        // logical block when the map is built, and the sectors the data touches. The others
        // stay blank, so that a later write into them goes in place rather than by copy.
        if (previous == 0 && s != 0 && (s < firstTouched || s > lastTouched)) continue;
        bool oldBlank = true;
        if (previous != 0) r = sectorBlank(drive, firstSector(previous) + s, &oldBlank);
        if (r != SmfsResult::Ok) break;
        if (oldBlank) {
            std::memcpy(sector, kErasedSector.data(), kSectorBytes);
        } else {
            r = media_read_physical(drive, previous, s * kSectorBytes, sector, kSectorBytes);
            // An uncorrectable old sector is carried over as it reads.
            if (r == SmfsResult::EccUncorrectable) r = SmfsResult::Ok;
            if (r != SmfsResult::Ok) break;
        }
        merge(s);
        r = writeSectors(drive, logBlock, s * kSectorBytes, sector, kSectorBytes);
    }
    if (previous != 0) {
        SmfsResult released = media_release_block(drive, previous);
        if (r == SmfsResult::Ok) r = released;
    }
    return r;
}

} // namespace

SmfsResult media_complete_block(unsigned drive, std::uint32_t logBlock) {
    ChipSession session;
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo().logBlocks) return SmfsResult::InvalidArgument;
    for (std::uint32_t s = 0; s < geo().sectorsPerBlock; ++s) {
        // Re-read the mapping: a relocation may have moved the block.
        std::uint32_t physBlock = gMedia.logical[logBlock];
        if (!physInRange(physBlock)) return SmfsResult::BlockNotMapped;
        bool blank = false;
        r = sectorBlank(drive, firstSector(physBlock) + s, &blank);
        if (r != SmfsResult::Ok) return r;
        if (!blank) continue;
        r = writeSectors(drive, logBlock, s * kSectorBytes, kErasedSector.data(), kSectorBytes);
        if (r != SmfsResult::Ok) return flushed(drive, r);
    }
    return flushed(drive, SmfsResult::Ok);
}

SmfsResult media_geometry(unsigned drive, CardGeometry* geometry) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    *geometry = geo();
    return SmfsResult::Ok;
}

// ---- Inspection ----

std::uint16_t media_phys_entry(std::uint32_t physBlock) {
    return physBlock < gMedia.phys.size() ? gMedia.phys[physBlock] : kPhysRetired;
}

std::uint32_t media_logical_entry(std::uint32_t logBlock) {
    return logBlock < gMedia.logical.size() ? gMedia.logical[logBlock] : 0;
}

std::uint32_t media_cursor() {
    return gMedia.cursor;
}
void media_set_cursor(std::uint32_t physBlock) {
    gMedia.cursor = physBlock;
}
bool media_map_built() {
    return gMedia.readiness == kBuilt;
}
