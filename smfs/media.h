// SPDX-License-Identifier: MIT
// Block map and block I/O: the mapping from logical to physical blocks, rebuilt from the
// spare areas; free-block allocation from a randomly placed cursor within a zone; byte-range
// reads with ECC checking; writes in place into blank sectors or by copy on write into a
// freshly erased block; relocation on program failure and retiring on erase failure. Also
// home of the library's pool of three sector buffers.
#pragma once

#include "chip.h"

#include <smfs/result.h>

#include <cstdint>

inline constexpr std::uint16_t kPhysFree = 0xFFFF;
inline constexpr std::uint16_t kPhysRetired = 0xFFEE;
inline constexpr int kSectorBufferCount = 3;

// ---- Sector buffer pool ----

// Takes a 512-byte buffer from the pool, or nullptr when all three are in use.
std::uint8_t* sector_buffer_take(CardState& card);
// Gives back the most recently taken buffer.
void sector_buffer_give(CardState& card, std::uint8_t* buffer);
// Owns one pool buffer for a scope.
class SectorBuffer {
public:
    explicit SectorBuffer(CardState& card) : card_(card), data_(sector_buffer_take(card)) {}
    ~SectorBuffer() {
        if (data_) sector_buffer_give(card_, data_);
    }
    SectorBuffer(const SectorBuffer&) = delete;
    SectorBuffer& operator=(const SectorBuffer&) = delete;
    explicit operator bool() const { return data_ != nullptr; }
    std::uint8_t* get() const { return data_; }

private:
    CardState& card_;
    std::uint8_t* data_;
};

// ---- Lifecycle ----

// Frees both tables, marks the map unbuilt and refills the buffer pool.
void media_reset(CardState& card);
// Marks the map unbuilt (the card-removed event); the next operation rebuilds it.
void media_invalidate(CardState& card);
// Seeds the allocation cursor's pseudo-random generator.
void media_seed(CardState& card, unsigned seed);

// ---- Operations; all take the card and build the map first if needed ----

// Builds both tables from the first spare of every block. Of two blocks claiming one logical
// block it keeps the copy that holds everything (see media.cpp) and erases the other before
// the next write; the build itself writes nothing. UnknownCard, Internal, driver codes.
[[nodiscard]] SmfsResult media_build_map(CardState& card);
// The physical block of a logical block, or a free block chosen for it (not yet assigned).
// InvalidArgument when out of range; NoFreeBlock when the zone has no erased block.
[[nodiscard]] SmfsResult media_find_block(CardState& card, std::uint32_t logBlock,
                                          std::uint32_t* physBlock);
// Maps a freshly erased block to the logical block; *previous is the block it replaced (0 if
// none), which the caller releases. NoFreeBlock, driver codes.
[[nodiscard]] SmfsResult media_assign_block(CardState& card, std::uint32_t logBlock,
                                            std::uint32_t* previous);
// Erases a block and marks it free. BlockNotMapped for block 0 or out of range.
[[nodiscard]] SmfsResult media_release_block(CardState& card, std::uint32_t physBlock);
// Marks a block bad on the card (status 0xF0 in every sector) and retired in the table.
[[nodiscard]] SmfsResult media_retire_block(CardState& card, std::uint32_t physBlock);
// Programs whole sectors into the mapped block in place; relocates on program failure.
// BlockNotMapped, InvalidArgument for a range that is not whole sectors inside the block.
[[nodiscard]] SmfsResult media_write_sectors(CardState& card, std::uint32_t logBlock,
                                             std::uint32_t offsetBytes, const std::uint8_t* data,
                                             std::uint32_t lengthBytes);
// Reads any byte range of the mapped block, ECC-checking whole sectors. BlockNotMapped;
// EccUncorrectable with the data delivered.
[[nodiscard]] SmfsResult media_read(CardState& card, std::uint32_t logBlock,
                                    std::uint32_t offsetBytes, std::uint8_t* buffer,
                                    std::uint32_t lengthBytes);
[[nodiscard]] SmfsResult media_read_physical(CardState& card, std::uint32_t physBlock,
                                             std::uint32_t offsetBytes, std::uint8_t* buffer,
                                             std::uint32_t lengthBytes);
// media_read of the block holding an absolute logical sector.
[[nodiscard]] SmfsResult media_read_sector(CardState& card, std::uint32_t sector,
                                           std::uint32_t offsetBytes, std::uint8_t* buffer,
                                           std::uint32_t lengthBytes);
// Writes any byte range of a logical block, in place when every touched sector is blank,
// otherwise by copy on write. OutOfMemory without a sector buffer.
[[nodiscard]] SmfsResult media_write(CardState& card, std::uint32_t logBlock,
                                     std::uint32_t offsetBytes, const std::uint8_t* data,
                                     std::uint32_t lengthBytes);
// Programs every still-blank sector of the mapped block with 0xFF data and a proper spare.
[[nodiscard]] SmfsResult media_complete_block(CardState& card, std::uint32_t logBlock);
// The geometry row of the card's type.
[[nodiscard]] SmfsResult media_geometry(CardState& card, CardGeometry* geometry);

// ---- Inspection, for format, the checker and tests ----

// The block address field a block carries, given its first sector's spare: the first copy,
// else the second when the first fails its parity, else the field most of the block's other
// sectors carry in their valid copies; the first copy as it stands when none decides.
// Driver codes.
[[nodiscard]] SmfsResult media_block_field(CardState& card, std::uint32_t physBlock,
                                           const std::uint8_t* firstSpare, std::uint16_t* field);

// Physical-table entry (kPhysFree, kPhysRetired or a field), or kPhysRetired out of range.
std::uint16_t media_phys_entry(CardState& card, std::uint32_t physBlock);
// Logical-table entry: the mapped physical block, 0 when unmapped or out of range.
std::uint32_t media_logical_entry(CardState& card, std::uint32_t logBlock);
// The allocation cursor, and setting it (tests make allocation predictable with it).
std::uint32_t media_cursor(CardState& card);
void media_set_cursor(CardState& card, std::uint32_t physBlock);
bool media_map_built(CardState& card);
