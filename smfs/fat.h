// SPDX-License-Identifier: MIT
// The FAT volume: a master boot record with one partition in logical sector 0, a FAT12 or
// FAT16 boot sector at the partition's first sector, one or two FAT copies, a fixed root
// directory and the data area, all on the logical sectors of the block layer.
//
// The mount reads the boot records and keeps the whole FAT in memory as 16-bit entries
// (FAT12 end-of-chain and bad values widened to 0xFFFF and 0xFFF7); the flush writes every
// copy back from it in one pass. Cluster reads and writes cut their range at logical block
// boundaries and go through media_read / media_write. Cluster 0 names the root directory
// region. The state lives in the card object (card_state.h).
#pragma once

#include "chip.h"

#include <smfs/result.h>

#include <cstddef>
#include <cstdint>

// ---- Master boot record (logical sector 0) ----
inline constexpr std::size_t kMbrPartition = 446;     // first partition entry, 16 bytes
inline constexpr std::size_t kMbrBootIndicator = 446; // 0x80
inline constexpr std::size_t kMbrStartHead = 447;
inline constexpr std::size_t kMbrStartSector = 448;   // bits 0-5 sector, 6-7 cylinder 8-9
inline constexpr std::size_t kMbrStartCylinder = 449; // cylinder bits 0-7
inline constexpr std::size_t kMbrSystem = 450;        // system indicator
inline constexpr std::size_t kMbrEndHead = 451;
inline constexpr std::size_t kMbrEndSector = 452;
inline constexpr std::size_t kMbrEndCylinder = 453;
inline constexpr std::size_t kMbrFirstSector = 454; // le32, logical sectors
inline constexpr std::size_t kMbrSectorCount = 458; // le32, sectors
inline constexpr std::size_t kMbrSignature = 510;   // 0x55 0xAA

// ---- Boot sector (partition's first sector) ----
inline constexpr std::size_t kBsJump = 0;               // 3 bytes
inline constexpr std::size_t kBsOemName = 3;            // 8 characters
inline constexpr std::size_t kBsBytesPerSector = 11;    // le16
inline constexpr std::size_t kBsSectorsPerCluster = 13; // byte
inline constexpr std::size_t kBsReservedSectors = 14;   // le16
inline constexpr std::size_t kBsFatCount = 16;          // byte
inline constexpr std::size_t kBsRootEntries = 17;       // le16
inline constexpr std::size_t kBsTotalSectors16 = 19;    // le16, 0 when the 32-bit count is used
inline constexpr std::size_t kBsMedia = 21;             // byte, 0xF8
inline constexpr std::size_t kBsSectorsPerFat = 22;     // le16
inline constexpr std::size_t kBsSectorsPerTrack = 24;   // le16
inline constexpr std::size_t kBsHeads = 26;             // le16
inline constexpr std::size_t kBsHiddenSectors = 28;     // le32
inline constexpr std::size_t kBsTotalSectors32 = 32;    // le32
inline constexpr std::size_t kBsDriveNumber = 36;       // byte
inline constexpr std::size_t kBsReserved1 = 37;         // byte
inline constexpr std::size_t kBsExtSignature = 38;      // byte, 0x29
inline constexpr std::size_t kBsSerial = 39;            // le32
inline constexpr std::size_t kBsLabel = 43;             // 11 characters
inline constexpr std::size_t kBsFsType = 54;            // 8 characters
inline constexpr std::size_t kBsSignature = 510;        // 0x55 0xAA

inline constexpr std::uint8_t kMediaFixed = 0xF8;
inline constexpr std::size_t kLabelChars = 11;
inline constexpr std::size_t kDirEntryBytes = 32;

// ---- In-memory FAT entry values ----
inline constexpr std::uint16_t kFatFree = 0x0000;
inline constexpr std::uint16_t kFatBad = 0xFFF7;
inline constexpr std::uint16_t kFatEnd = 0xFFFF;
inline constexpr std::uint32_t kFirstCluster = 2;
inline constexpr std::uint32_t kRootCluster = 0;

enum class FatType : std::uint8_t { Fat12 = 1, Fat16 = 2 };

// The volume record of a mounted card: the boot records' fields as read, and the layout.
struct FatVolume {
    // Master boot record, partition entry 1.
    std::uint16_t mbrSignature; // byte 510 * 256 + byte 511
    std::uint8_t bootIndicator;
    std::uint8_t startHead;
    std::uint16_t startCylinder;
    std::uint8_t startSector; // minus 1
    std::uint8_t systemIndicator;
    std::uint8_t endHead;
    std::uint16_t endCylinder;
    std::uint8_t endSector; // minus 1
    std::uint32_t partitionFirstSector;
    std::uint32_t partitionSectors;
    // Boot sector.
    char oemName[9];
    std::uint16_t bytesPerSector;
    std::uint8_t sectorsPerCluster;
    std::uint16_t reservedSectors;
    std::uint8_t fatCount;
    std::uint16_t rootEntries;
    std::uint32_t totalSectors; // the 16-bit count, or the 32-bit one when that is 0
    std::uint8_t media;
    std::uint16_t sectorsPerFat;
    std::uint16_t sectorsPerTrack;
    std::uint16_t heads;
    std::uint32_t hiddenSectors;
    std::uint8_t driveNumber;
    std::uint8_t reserved1;
    std::uint8_t extSignature;
    std::uint32_t serial;
    char label[12];
    FatType fatType;
    std::uint16_t bootSignature;
    // Layout, in absolute logical sectors.
    std::uint32_t fatStart;
    std::uint32_t fatSectors; // of one copy
    std::uint32_t rootStart;
    std::uint32_t rootSectors;
    std::uint32_t dataStart;
    // Clusters of the data area: clusters 2 to clusterCount + 1 exist.
    std::uint32_t clusterCount;
};

// Space figures of a mounted volume.
struct VolumeSpace {
    std::uint64_t totalBytes;
    std::uint64_t usedBytes;
    std::uint64_t freeBytes;
    std::uint32_t badClusters;
    std::uint32_t sectorsPerCluster;
    std::uint32_t bytesPerSector;
};

// ---- Lifecycle ----

// Unmounts, frees the FAT and clears the deferred flag (library initialisation); from then on
// the card-removed event unmounts too.
void fat_reset(CardState& card);
// Marks the volume unmounted (the card-removed event); the next fat_ensure mounts again.
void fat_invalidate(CardState& card);
// Called at the start of every mount with the card, so the layer that keeps open
// files can forget them. nullptr removes it; fat_reset keeps it.
using FatMountHook = void (*)(CardState& card);
void fat_set_mount_hook(CardState& card, FatMountHook hook);

// Writes back the write group that is open (see dir.h); installed by the directory layer.
using FatGroupCommit = SmfsResult (*)(CardState& card);

// ---- Mounting and writing back ----

// Reads the boot records and the FAT. Unformatted (logical block 0 not mapped), BadMbr,
// BadBootSector, NoValidFat, OutOfMemory, Internal (FAT table or FAT read), lower codes.
[[nodiscard]] SmfsResult fat_mount(CardState& card);
// Ok when mounted, else mounts; BadMbr, BadBootSector, NoValidFat and Unformatted come back
// as Damaged when any logical block is mapped, else as Unformatted.
[[nodiscard]] SmfsResult fat_ensure(CardState& card);
// Writes every FAT copy from memory, unless deferred. OutOfMemory, block layer codes.
[[nodiscard]] SmfsResult fat_flush(CardState& card);
// While deferred, fat_flush writes nothing and returns Ok.
void fat_set_deferred(CardState& card, bool deferred);
bool fat_deferred(CardState& card);

// ---- Write groups ----

// Opens a group: fat_flush writes nothing until fat_group_close, allocation skips every
// cluster the card's FAT does not show free, and commit is called when only such clusters
// are left.
void fat_group_open(CardState& card, FatGroupCommit commit);
void fat_group_close(CardState& card);
// Writes the FAT of an open group. holdFrees: clusters freed since the last commit keep the
// value the card has for them (the entries naming them may still be on the card). Lower codes.
[[nodiscard]] SmfsResult fat_group_write(CardState& card, bool holdFrees);
// Takes the FAT in memory as the card's (after a complete commit).
void fat_group_settle(CardState& card);

// The mounted volume's record, or nullptr when not mounted.
const FatVolume* fat_volume(CardState& card);
// Bytes of one cluster of the mounted volume (0 when not mounted).
std::uint32_t fat_cluster_bytes(CardState& card);
// True when value names a cluster of the data area (2 to clusterCount + 1).
bool fat_is_data_cluster(CardState& card, std::uint32_t value);
// The in-memory entry of a cluster; 0 beyond the table or when not mounted.
std::uint16_t fat_entry(CardState& card, std::uint32_t cluster);
// Sets an in-memory entry; does nothing beyond the table or when not mounted.
void fat_set_entry(CardState& card, std::uint32_t cluster, std::uint16_t value);

// ---- Allocation ----

// The lowest free cluster; its entry is left unchanged. CardFull when none is free.
[[nodiscard]] SmfsResult fat_alloc_cluster(CardState& card, std::uint32_t* cluster);
// The first run of count free clusters: *start is its first cluster and *length is count.
// When there is none, *start is 0 and *length the longest run there is. InvalidArgument for
// count 0.
[[nodiscard]] SmfsResult fat_alloc_run(CardState& card, std::uint32_t count, std::uint32_t* start,
                                       std::uint32_t* length);

// ---- Cluster I/O (cluster 0 is the root directory region) ----

// Reads bytes of a cluster. BrokenChain for a cluster outside the volume, InvalidArgument for
// a range past the cluster's end, block layer codes (EccUncorrectable with data delivered).
[[nodiscard]] SmfsResult cluster_read(CardState& card, std::uint32_t cluster,
                                      std::uint32_t offsetBytes, std::uint8_t* buffer,
                                      std::uint32_t lengthBytes);
// Writes bytes of a cluster. Same failures as cluster_read.
[[nodiscard]] SmfsResult cluster_write(CardState& card, std::uint32_t cluster,
                                       std::uint32_t offsetBytes, const std::uint8_t* data,
                                       std::uint32_t lengthBytes);
// Writes a whole data cluster with one byte value. Internal for cluster 0, BrokenChain outside
// the volume, OutOfMemory.
[[nodiscard]] SmfsResult cluster_fill(CardState& card, std::uint32_t cluster, std::uint8_t value);

// ---- Space ----

// Total, used and free bytes and bad clusters of the data area. Mount failures as fat_ensure.
[[nodiscard]] SmfsResult volume_space(CardState& card, VolumeSpace* space);
