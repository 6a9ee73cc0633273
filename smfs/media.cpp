// SPDX-License-Identifier: MIT
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
#include "card_state.h"

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

const std::array<std::uint8_t, kSectorBytes> kErasedSector = [] {
    std::array<std::uint8_t, kSectorBytes> a{};
    a.fill(0xFF);
    return a;
}();

const CardGeometry& geo(CardState& card) {
    return *card.media.geometry;
}
std::uint32_t blockBytes(CardState& card) {
    return geo(card).sectorsPerBlock * kSectorBytes;
}
std::uint32_t firstSector(CardState& card, std::uint32_t physBlock) {
    return physBlock * geo(card).sectorsPerBlock;
}
bool smallCard(CardState& card) {
    return geo(card).physBlocks < kZonePhysBlocks;
}

[[nodiscard]] SmfsResult ready(CardState& card) {
    if (card.media.readiness == kBuilt) return SmfsResult::Ok;
    return media_build_map(card);
}

// A byte range inside one block.
bool rangeInBlock(CardState& card, std::uint32_t offsetBytes, std::uint32_t lengthBytes) {
    return offsetBytes <= blockBytes(card) && lengthBytes <= blockBytes(card) - offsetBytes;
}

bool physInRange(CardState& card, std::uint32_t physBlock) {
    return physBlock != 0 && physBlock < geo(card).physBlocks;
}

std::uint32_t randomBelow(CardState& card, std::uint32_t n) {
    return std::uint32_t(card.random() % n);
}

// Reads bytes of one sector without ECC, honouring the page boundaries of the chip.
[[nodiscard]] SmfsResult readRaw(CardState& card, std::uint32_t address, std::uint8_t* buffer,
                                 std::uint32_t length) {
    if (geo(card).pageDataBytes == 256) {
        while (length > 0) {
            std::uint32_t n = std::min(length, 256 - address % 256);
            SmfsResult r = smc_read_data(card, address, buffer, n);
            if (r != SmfsResult::Ok) return r;
            address += n;
            buffer += n;
            length -= n;
        }
        return SmfsResult::Ok;
    }
    if (address % kSectorBytes >= 256) return smc_read_data_upper(card, address, buffer, length);
    return smc_read_data(card, address, buffer, length);
}

// Whether a sector is erased: its spare and its data all 0xFF. A sector with bytes under a
// blank spare (damage, or a program cut short) reads as those bytes, so it is carried over
// by a copy and never programmed over in place.
[[nodiscard]] SmfsResult sectorBlank(CardState& card, std::uint32_t sector, bool* blank) {
    std::uint8_t spare[kSpareBytes];
    SmfsResult r = smc_read_sector_spare(card, sector, spare);
    *blank = r == SmfsResult::Ok && spare_is_blank(spare);
    if (!*blank) return r;
    std::array<std::uint8_t, kSectorBytes> data;
    r = readRaw(card, sector * kSectorBytes, data.data(), kSectorBytes);
    *blank = r == SmfsResult::Ok && data == kErasedSector;
    return r;
}

// How far a block's sectors were programmed with its address field: the whole sectors
// (both field copies written; on 256-byte pages the copy in the second page is written
// last) and one past the last whole sector.
struct BlockFill {
    std::uint32_t end = 0;
    std::uint32_t whole = 0;
};

[[nodiscard]] SmfsResult blockFill(CardState& card, std::uint32_t physBlock, std::uint16_t field,
                                   BlockFill* fill) {
    *fill = BlockFill{};
    for (std::uint32_t s = 0; s < geo(card).sectorsPerBlock; ++s) {
        std::uint8_t spare[kSpareBytes];
        SmfsResult r = smc_read_sector_spare(card, firstSector(card, physBlock) + s, spare);
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
[[nodiscard]] SmfsResult chooseCopy(CardState& card, std::uint32_t earlier, std::uint32_t later,
                                    std::uint16_t field, std::uint32_t* keep) {
    BlockFill a;
    BlockFill b;
    SmfsResult r = blockFill(card, earlier, field, &a);
    if (r == SmfsResult::Ok) r = blockFill(card, later, field, &b);
    if (r != SmfsResult::Ok) return r;
    const bool earlierFuller = a.end > b.end || (a.end == b.end && a.whole > b.whole);
    *keep = earlierFuller ? earlier : later;
    return SmfsResult::Ok;
}

// Erases the superseded copies the map build left, before anything else is written, so that
// no later copy on write can leave three blocks claiming one logical block.
[[nodiscard]] SmfsResult eraseSuperseded(CardState& card) {
    while (!card.media.superseded.empty()) {
        const std::uint32_t b = card.media.superseded.back();
        SmfsResult r = smc_erase_block(card, firstSector(card, b) * kSectorBytes);
        if (r == SmfsResult::ChipFailed) {
            // A copy that cannot be erased must never be read as its block again.
            card.media.superseded.pop_back();
            r = media_retire_block(card, b);
            if (r != SmfsResult::Ok) return r;
            continue;
        }
        if (r != SmfsResult::Ok) return r;
        card.media.superseded.pop_back();
        card.media.phys[b] = kPhysFree;
    }
    return SmfsResult::Ok;
}

// Ends a write operation: pushes held-back records to the storage, so that a failing one is
// reported here and the data is on the storage when the operation returns.
[[nodiscard]] SmfsResult flushed(CardState& card, SmfsResult r) {
    SmfsResult f = smc_flush(card);
    return r != SmfsResult::Ok ? r : f;
}

[[nodiscard]] SmfsResult writeSectors(CardState& card, std::uint32_t logBlock,
                                      std::uint32_t offsetBytes, const std::uint8_t* data,
                                      std::uint32_t lengthBytes);
[[nodiscard]] SmfsResult writeRange(CardState& card, std::uint32_t logBlock,
                                    std::uint32_t offsetBytes, const std::uint8_t* data,
                                    std::uint32_t lengthBytes);

// Copies a block's programmed sectors into the logical block's freshly assigned block,
// leaving out [skipFirst, skipEnd), which the caller is about to write. Uncorrectable
// sectors are carried over as they read: losing them would be worse.
[[nodiscard]] SmfsResult copySectors(CardState& card, std::uint32_t from, std::uint32_t logBlock,
                                     std::uint32_t skipFirst, std::uint32_t skipEnd,
                                     std::uint8_t* buffer);

// Moves a logical block whose program failed to a fresh block, then retires the old one.
[[nodiscard]] SmfsResult relocate(CardState& card, std::uint32_t logBlock, std::uint32_t skipFirst,
                                  std::uint32_t skipEnd) {
    std::uint32_t previous = 0;
    SmfsResult r = media_assign_block(card, logBlock, &previous);
    if (r != SmfsResult::Ok) return r;
    if (previous == 0) return SmfsResult::Ok;
    SectorBuffer buffer(card);
    if (!buffer) {
        (void)media_release_block(card, previous);
        return SmfsResult::OutOfMemory;
    }
    r = copySectors(card, previous, logBlock, skipFirst, skipEnd, buffer.get());
    SmfsResult retired = media_retire_block(card, previous);
    return r != SmfsResult::Ok ? r : retired;
}

SmfsResult copySectors(CardState& card, std::uint32_t from, std::uint32_t logBlock,
                       std::uint32_t skipFirst, std::uint32_t skipEnd, std::uint8_t* buffer) {
    for (std::uint32_t s = 0; s < geo(card).sectorsPerBlock; ++s) {
        if (s >= skipFirst && s < skipEnd) continue;
        bool blank = false;
        SmfsResult r = sectorBlank(card, firstSector(card, from) + s, &blank);
        if (r != SmfsResult::Ok) return r;
        if (blank) continue;
        r = media_read_physical(card, from, s * kSectorBytes, buffer, kSectorBytes);
        if (r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) return r;
        r = writeSectors(card, logBlock, s * kSectorBytes, buffer, kSectorBytes);
        if (r != SmfsResult::Ok) return r;
    }
    return SmfsResult::Ok;
}

} // namespace

// ---- Sector buffer pool ----

std::uint8_t* sector_buffer_take(CardState& card) {
    if (card.freeBufferCount == 0) return nullptr;
    return card.freeBuffers[std::size_t(--card.freeBufferCount)];
}

void sector_buffer_give(CardState& card, std::uint8_t* buffer) {
    if (buffer && card.freeBufferCount < kSectorBufferCount)
        card.freeBuffers[std::size_t(card.freeBufferCount++)] = buffer;
}

// ---- Lifecycle ----

void media_reset(CardState& card) {
    card.media = MediaState{};
    for (int i = 0; i < kSectorBufferCount; ++i)
        card.freeBuffers[std::size_t(i)] =
            card.bufferPool[std::size_t(kSectorBufferCount - 1 - i)].data();
    card.freeBufferCount = kSectorBufferCount;
    smc_add_removal_listener(card, media_invalidate);
}

void media_invalidate(CardState& card) {
    card.media.readiness = 0;
}

void media_seed(CardState& card, unsigned seed) {
    card.random.seed(seed == 0 ? 1 : seed);
}

// ---- Map ----

SmfsResult media_build_map(CardState& card) {
    card.media.readiness = 0;
    card.media.phys.clear();
    card.media.logical.clear();
    SmfsResult r = smc_card_type(card) < 0 ? smc_probe(card) : SmfsResult::Ok;
    if (r != SmfsResult::Ok) return r;
    card.media.geometry = &card_geometry(smc_card_type(card));
    const CardGeometry& g = geo(card);

    std::vector<std::uint16_t> phys(g.physBlocks);
    for (std::uint32_t b = 0; b < g.physBlocks; ++b) {
        std::uint8_t spare[kSpareBytes];
        r = smc_read_sector_spare(card, firstSector(card, b), spare);
        if (r != SmfsResult::Ok) return r;
        std::uint8_t status = spare[kSpareBlockStatus];
        phys[b] = kPhysRetired;
        if (!block_status_unusable(status)) r = media_block_field(card, b, spare, &phys[b]);
        if (r != SmfsResult::Ok) return r;
    }

    std::vector<std::uint16_t> logical(g.physBlocks, 0);
    std::vector<std::uint32_t> superseded;
    std::uint32_t zones = smallCard(card) ? 1 : g.physBlocks / kZonePhysBlocks;
    std::uint32_t zoneSize = smallCard(card) ? g.physBlocks : kZonePhysBlocks;
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
                r = chooseCopy(card, logical[logBlock], b, field, &keep);
                if (r != SmfsResult::Ok) return r;
                superseded.push_back(keep == b ? logical[logBlock] : b);
            }
            logical[logBlock] = std::uint16_t(keep);
        }
    }
    card.media.phys = std::move(phys);
    card.media.logical = std::move(logical);
    card.media.superseded = std::move(superseded);
    card.media.cursor = randomBelow(card, g.physBlocks);
    card.media.readiness = kBuilt;
    return SmfsResult::Ok;
}

SmfsResult media_block_field(CardState& card, std::uint32_t physBlock,
                             const std::uint8_t* firstSpare, std::uint16_t* field) {
    auto fieldAt = [](const std::uint8_t* spare, int at) {
        return std::uint16_t(spare[at] << 8 | spare[at + 1]);
    };
    // The field carries one parity bit and no ECC, so one flipped bit makes a copy invalid
    // but never turns it into another valid field.
    auto usable = [](std::uint16_t f) {
        return f == kFieldCis || (f != kPhysFree && block_address_field_valid(f));
    };
    const std::uint16_t first = fieldAt(firstSpare, kSpareAddr1);
    *field = first;
    if (first == kPhysFree || usable(first)) return SmfsResult::Ok;
    const std::uint16_t second = fieldAt(firstSpare, kSpareAddr2);
    if (usable(second)) {
        *field = second;
        return SmfsResult::Ok;
    }
    // Both copies of the first sector are damaged: every other programmed sector of the
    // block carries the field twice, and the one most of their valid copies name wins.
    std::vector<std::pair<std::uint16_t, std::uint32_t>> votes;
    for (std::uint32_t s = 1; s < geo(card).sectorsPerBlock; ++s) {
        std::uint8_t spare[kSpareBytes];
        SmfsResult r = smc_read_sector_spare(card, firstSector(card, physBlock) + s, spare);
        if (r != SmfsResult::Ok) return r;
        for (int at : {kSpareAddr1, kSpareAddr2}) {
            const std::uint16_t f = fieldAt(spare, at);
            if (f == kFieldCis || !usable(f)) continue;
            auto it = std::find_if(votes.begin(), votes.end(),
                                   [f](const auto& v) { return v.first == f; });
            if (it == votes.end())
                votes.emplace_back(f, 1);
            else
                ++it->second;
        }
    }
    std::uint32_t best = 0;
    bool tie = false;
    for (const auto& [f, count] : votes) {
        if (count == best) tie = true;
        if (count > best) {
            best = count;
            tie = false;
            *field = f;
        }
    }
    // Fields that disagree without a majority name no block for certain.
    if (tie) *field = first;
    return SmfsResult::Ok;
}

SmfsResult media_find_block(CardState& card, std::uint32_t logBlock, std::uint32_t* physBlock) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    const CardGeometry& g = geo(card);
    if (logBlock >= g.logBlocks) return SmfsResult::InvalidArgument;
    if (card.media.logical[logBlock] != 0) {
        *physBlock = card.media.logical[logBlock];
        return SmfsResult::Ok;
    }
    std::uint32_t saved = card.media.cursor;
    if (logBlock == 0) card.media.cursor = kFirstBlockForLogicalZero;
    std::uint32_t zone = logBlock / kZoneLogBlocks;
    if (!smallCard(card) && zone != card.media.cursor / kZonePhysBlocks)
        card.media.cursor = randomBelow(card, kZonePhysBlocks) + zone * kZonePhysBlocks;
    std::uint32_t start = smallCard(card) ? 0 : zone * kZonePhysBlocks;
    std::uint32_t end = smallCard(card) ? g.physBlocks : start + kZonePhysBlocks;
    r = SmfsResult::NoFreeBlock;
    for (std::uint32_t step = 0; step < end - start; ++step) {
        if (card.media.cursor >= end || card.media.cursor < start) card.media.cursor = start;
        // Block 0 can never hold a logical block: a logical entry of 0 means unmapped.
        if (card.media.cursor != 0 && card.media.phys[card.media.cursor] == kPhysFree) {
            *physBlock = card.media.cursor;
            r = SmfsResult::Ok;
            break;
        }
        ++card.media.cursor;
    }
    if (logBlock == 0) card.media.cursor = saved;
    return r;
}

SmfsResult media_assign_block(CardState& card, std::uint32_t logBlock, std::uint32_t* previous) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo(card).logBlocks) return SmfsResult::InvalidArgument;
    r = eraseSuperseded(card);
    if (r != SmfsResult::Ok) return r;
    std::uint16_t old = card.media.logical[logBlock];
    card.media.logical[logBlock] = 0;
    for (;;) {
        std::uint32_t fresh = 0;
        r = media_find_block(card, logBlock, &fresh);
        if (r == SmfsResult::Ok) r = smc_erase_block(card, firstSector(card, fresh) * kSectorBytes);
        if (r == SmfsResult::ChipFailed) {
            (void)media_retire_block(card, fresh);
            continue;
        }
        if (r != SmfsResult::Ok) {
            // The old block still holds the data: keep it mapped.
            card.media.logical[logBlock] = old;
            return r;
        }
        card.media.logical[logBlock] = std::uint16_t(fresh);
        card.media.phys[fresh] = block_address_field(logBlock);
        *previous = old;
        return SmfsResult::Ok;
    }
}

SmfsResult media_release_block(CardState& card, std::uint32_t physBlock) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(card, physBlock)) return SmfsResult::BlockNotMapped;
    // A block that fails to erase is found out when it is next assigned.
    r = smc_erase_block(card, firstSector(card, physBlock) * kSectorBytes);
    if (r != SmfsResult::Ok && r != SmfsResult::ChipFailed) return r;
    card.media.phys[physBlock] = kPhysFree;
    return SmfsResult::Ok;
}

SmfsResult media_retire_block(CardState& card, std::uint32_t physBlock) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(card, physBlock)) return SmfsResult::BlockNotMapped;
    // The table entry changes even when the card cannot be marked, so that the block is
    // never chosen again in this session.
    card.media.phys[physBlock] = kPhysRetired;
    std::uint8_t spare[kSpareBytes];
    spare_build_retired(spare);
    (void)smc_erase_block(card, firstSector(card, physBlock) * kSectorBytes);
    for (std::uint32_t s = 0; s < geo(card).sectorsPerBlock; ++s)
        (void)smc_write_sector(card, firstSector(card, physBlock) + s, kErasedSector.data(), spare);
    return flushed(card, chip_take_io_error(card) ? SmfsResult::ImageIo : SmfsResult::Ok);
}

// ---- Block I/O ----

SmfsResult media_write_sectors(CardState& card, std::uint32_t logBlock, std::uint32_t offsetBytes,
                               const std::uint8_t* data, std::uint32_t lengthBytes) {
    ChipSession session(card);
    return flushed(card, writeSectors(card, logBlock, offsetBytes, data, lengthBytes));
}

namespace {

SmfsResult writeSectors(CardState& card, std::uint32_t logBlock, std::uint32_t offsetBytes,
                        const std::uint8_t* data, std::uint32_t lengthBytes) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo(card).logBlocks) return SmfsResult::InvalidArgument;
    if (offsetBytes % kSectorBytes != 0 || lengthBytes % kSectorBytes != 0 ||
        !rangeInBlock(card, offsetBytes, lengthBytes))
        return SmfsResult::InvalidArgument;
    r = eraseSuperseded(card);
    if (r != SmfsResult::Ok) return r;
    std::uint16_t field = block_address_field(logBlock);
    std::uint32_t first = offsetBytes / kSectorBytes;
    std::uint32_t count = lengthBytes / kSectorBytes;
    for (;;) {
        std::uint32_t physBlock = card.media.logical[logBlock];
        if (!physInRange(card, physBlock)) return SmfsResult::BlockNotMapped;
        std::uint32_t i = 0;
        for (; i < count; ++i) {
            std::uint8_t spare[kSpareBytes];
            const std::uint8_t* piece = data + i * kSectorBytes;
            spare_build(piece, field, spare);
            r = smc_write_sector(card, firstSector(card, physBlock) + first + i, piece, spare);
            if (r != SmfsResult::Ok) break;
        }
        if (i == count) return SmfsResult::Ok;
        if (r != SmfsResult::ChipFailed) return r;
        r = relocate(card, logBlock, first, first + count);
        if (r != SmfsResult::Ok) return r;
    }
}

} // namespace

SmfsResult media_read(CardState& card, std::uint32_t logBlock, std::uint32_t offsetBytes,
                      std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo(card).logBlocks) return SmfsResult::InvalidArgument;
    return media_read_physical(card, card.media.logical[logBlock], offsetBytes, buffer,
                               lengthBytes);
}

SmfsResult media_read_physical(CardState& card, std::uint32_t physBlock, std::uint32_t offsetBytes,
                               std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (!physInRange(card, physBlock)) return SmfsResult::BlockNotMapped;
    if (!rangeInBlock(card, offsetBytes, lengthBytes)) return SmfsResult::InvalidArgument;
    std::uint32_t address = physBlock * blockBytes(card) + offsetBytes;

    if (offsetBytes % kSectorBytes != 0) {
        std::uint32_t n = std::min(kSectorBytes - offsetBytes % kSectorBytes, lengthBytes);
        r = readRaw(card, address, buffer, n);
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
        r = smc_read_sector(card, address / kSectorBytes, buffer, spare);
        if (r != SmfsResult::Ok) return r;
        if (ecc_check(buffer, spare + kSpareEccLow) != SmfsResult::Ok) uncorrectable = true;
        if (ecc_check(buffer + 256, spare + kSpareEccHigh) != SmfsResult::Ok) uncorrectable = true;
        address += kSectorBytes;
        buffer += kSectorBytes;
    }
    if (tail != 0) {
        r = readRaw(card, address, buffer, tail);
        if (r != SmfsResult::Ok) return r;
    }
    return uncorrectable ? SmfsResult::EccUncorrectable : SmfsResult::Ok;
}

SmfsResult media_read_sector(CardState& card, std::uint32_t sector, std::uint32_t offsetBytes,
                             std::uint8_t* buffer, std::uint32_t lengthBytes) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t perBlock = geo(card).sectorsPerBlock;
    return media_read(card, sector / perBlock, (sector % perBlock) * kSectorBytes + offsetBytes,
                      buffer, lengthBytes);
}

SmfsResult media_write(CardState& card, std::uint32_t logBlock, std::uint32_t offsetBytes,
                       const std::uint8_t* data, std::uint32_t lengthBytes) {
    ChipSession session(card);
    return flushed(card, writeRange(card, logBlock, offsetBytes, data, lengthBytes));
}

namespace {

SmfsResult writeRange(CardState& card, std::uint32_t logBlock, std::uint32_t offsetBytes,
                      const std::uint8_t* data, std::uint32_t lengthBytes) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo(card).logBlocks) return SmfsResult::InvalidArgument;
    if (!rangeInBlock(card, offsetBytes, lengthBytes)) return SmfsResult::InvalidArgument;
    if (lengthBytes == 0) return SmfsResult::Ok;
    SectorBuffer buffer(card);
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

    std::uint32_t physBlock = card.media.logical[logBlock];
    bool blank = physBlock != 0;
    for (std::uint32_t s = firstTouched; blank && s <= lastTouched; ++s) {
        r = sectorBlank(card, firstSector(card, physBlock) + s, &blank);
        if (r != SmfsResult::Ok) return r;
    }
    if (blank) {
        for (std::uint32_t s = firstTouched; s <= lastTouched; ++s) {
            std::memcpy(sector, kErasedSector.data(), kSectorBytes);
            merge(s);
            r = writeSectors(card, logBlock, s * kSectorBytes, sector, kSectorBytes);
            if (r != SmfsResult::Ok) return r;
        }
        return SmfsResult::Ok;
    }

    std::uint32_t previous = 0;
    r = media_assign_block(card, logBlock, &previous);
    if (r != SmfsResult::Ok) return r;
    for (std::uint32_t s = 0; s < geo(card).sectorsPerBlock && r == SmfsResult::Ok; ++s) {
        // A block that held nothing needs its first sector, whose spare ties it to the
        // logical block when the map is built, and the sectors the data touches. The others
        // stay blank, so that a later write into them goes in place rather than by copy.
        if (previous == 0 && s != 0 && (s < firstTouched || s > lastTouched)) continue;
        bool oldBlank = true;
        if (previous != 0) r = sectorBlank(card, firstSector(card, previous) + s, &oldBlank);
        if (r != SmfsResult::Ok) break;
        if (oldBlank) {
            std::memcpy(sector, kErasedSector.data(), kSectorBytes);
        } else {
            r = media_read_physical(card, previous, s * kSectorBytes, sector, kSectorBytes);
            // An uncorrectable old sector is carried over as it reads.
            if (r == SmfsResult::EccUncorrectable) r = SmfsResult::Ok;
            if (r != SmfsResult::Ok) break;
        }
        merge(s);
        r = writeSectors(card, logBlock, s * kSectorBytes, sector, kSectorBytes);
    }
    if (previous != 0) {
        SmfsResult released = media_release_block(card, previous);
        if (r == SmfsResult::Ok) r = released;
    }
    return r;
}

} // namespace

SmfsResult media_complete_block(CardState& card, std::uint32_t logBlock) {
    ChipSession session(card);
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (logBlock >= geo(card).logBlocks) return SmfsResult::InvalidArgument;
    for (std::uint32_t s = 0; s < geo(card).sectorsPerBlock; ++s) {
        // Re-read the mapping: a relocation may have moved the block.
        std::uint32_t physBlock = card.media.logical[logBlock];
        if (!physInRange(card, physBlock)) return SmfsResult::BlockNotMapped;
        bool blank = false;
        r = sectorBlank(card, firstSector(card, physBlock) + s, &blank);
        if (r != SmfsResult::Ok) return r;
        if (!blank) continue;
        r = writeSectors(card, logBlock, s * kSectorBytes, kErasedSector.data(), kSectorBytes);
        if (r != SmfsResult::Ok) return flushed(card, r);
    }
    return flushed(card, SmfsResult::Ok);
}

SmfsResult media_geometry(CardState& card, CardGeometry* geometry) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    *geometry = geo(card);
    return SmfsResult::Ok;
}

// ---- Inspection ----

std::uint16_t media_phys_entry(CardState& card, std::uint32_t physBlock) {
    return physBlock < card.media.phys.size() ? card.media.phys[physBlock] : kPhysRetired;
}

std::uint32_t media_logical_entry(CardState& card, std::uint32_t logBlock) {
    return logBlock < card.media.logical.size() ? card.media.logical[logBlock] : 0;
}

std::uint32_t media_cursor(CardState& card) {
    return card.media.cursor;
}
void media_set_cursor(CardState& card, std::uint32_t physBlock) {
    card.media.cursor = physBlock;
}
bool media_map_built(CardState& card) {
    return card.media.readiness == kBuilt;
}
