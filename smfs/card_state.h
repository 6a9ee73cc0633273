// SPDX-License-Identifier: MIT
// Everything one card holds between calls, layer by layer: the storage it reads and writes,
// the chip's command state and block cache, the driver's card type, the block map, the
// mounted FAT, the current folder and drive name, the open files and the clock. Each layer's
// functions take the card they work on as their first argument, as a FAT library passes its
// volume object down, so two cards never share anything and may run on two threads.
#pragma once

#include "dir.h"
#include "fat.h"
#include "media.h"

#include <smfs/smfs.h>
#include <smfs/storage.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

struct CardState;

// ---- Chip ----

inline constexpr std::uint32_t kMaxRecordBytes = 528;
inline constexpr std::uint8_t kStatusReady = 0x40;
inline constexpr std::uint8_t kStatusFailed = 0x01;
inline constexpr std::uint32_t kNoBlock = 0xFFFFFFFF;
inline constexpr int kCacheSlots = 8;

struct CacheSlot {
    std::uint32_t block = kNoBlock;
    std::uint64_t lastUse = 0;
};

// Whole blocks of page records kept in memory within a session (see chip.cpp).
struct BlockCache {
    int sessionDepth = 0;
    std::uint32_t blockBytes = 0; // bytes of one block's page records; 0 when not set up
    std::uint32_t recordBytes = 0;
    std::uint32_t blocks = 0;
    std::vector<std::uint8_t> bytes; // kCacheSlots blocks
    std::array<CacheSlot, kCacheSlots> slots{};
    std::uint64_t useClock = 0;
    int dirty = -1; // the slot holding writes not yet in the image
    std::uint32_t dirtyLow = 0;
    std::uint32_t dirtyHigh = 0;
    bool dirtyOnlyErased = false;      // the held-back writes are one erase and nothing else
    std::vector<std::uint8_t> scratch; // one block, for telling whether an erase changes it
    std::vector<std::uint8_t> erased;  // one block of 0xFF
    std::uint32_t lastMiss = kNoBlock;
};

struct ChipState {
    std::uint8_t command = 0xFF;
    int addressCycles = 0;
    std::array<std::uint8_t, 4> address{};
    std::uint32_t page = 0;
    std::uint32_t column = 0;
    int cardType = -1;
    std::uint8_t status = kStatusReady;
    // Page register of a program: the bytes written since the serial-input command.
    std::array<std::uint8_t, kMaxRecordBytes> pageRegister{};
    std::uint32_t registerLow = kMaxRecordBytes;
    std::uint32_t registerHigh = 0;
};

struct DriverState {
    int cardType = -1;
    std::uint32_t pageDataBytes = 0;
    int readiness = 0;
    bool present = true;
};

// ---- Block map ----

struct MediaState {
    std::vector<std::uint16_t> phys;
    std::vector<std::uint16_t> logical;
    // Blocks the map build found superseded by another copy of their logical block; they
    // are erased before the next write (the build itself writes nothing).
    std::vector<std::uint32_t> superseded;
    std::uint32_t cursor = 0;
    int readiness = 0;
    const CardGeometry* geometry = nullptr;
};

// ---- FAT volume ----

struct VolumeState {
    std::uint8_t marker = 0;
    FatVolume vol{};
    std::unique_ptr<std::uint16_t[]> fat;
    std::uint32_t entryCount = 0; // clusterCount + 2
    std::uint32_t sectorsPerBlock = 0;
    bool deferred = false;
    // No cluster below this one is free, so allocation starts its search here.
    std::uint32_t freeHint = kFirstCluster;
    // The FAT region (every copy) as the last flush wrote it; empty when not known.
    std::vector<std::uint8_t> written;
    // While a write group is open (dir.h) the FAT is written back only when the group
    // commits; committed holds it as the card has it then, and a cluster it does not show
    // free is never handed out, so data never lands in a cluster an entry on the card names.
    bool grouped = false;
    std::vector<std::uint16_t> committed;
    // Commits the open write group when allocation finds only clusters it holds back.
    FatGroupCommit groupCommit = nullptr;
};

// ---- Write group (dir.cpp) ----

struct WriteGroup {
    int depth = 0;
    // Folder sectors changed since the group last committed, by cluster << 32 | byte offset
    // of the sector in the cluster, so that each cluster's sectors come out together.
    std::map<std::uint64_t, std::array<std::uint8_t, kSectorBytes>> sectors;
    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
    // Writes the group held were dropped when the card was read afresh.
    bool lost = false;
    // Writes go straight to the card (a fresh folder's own cluster, a move).
    bool direct = false;
};

// ---- Open files ----

struct OpenFile {
    bool used = false;
    std::uint32_t first = 0;
    std::uint32_t parent = 0;
    std::uint32_t position = 0;
    std::uint32_t current = 0; // kFatEnd at the end of the chain's last cluster
    std::uint32_t previous = 0;
    std::uint32_t size = 0;
    int mode = 0;
    std::uint32_t index = 0;
};

struct CardState {
    explicit CardState(SmfsStorage& s) : storage(&s) {}

    SmfsStorage* storage;
    // Set when a storage call failed; the driver operation that made it returns ImageIo.
    bool ioError = false;
    // Set with ioError and kept until the outermost session ends (see chip.cpp).
    bool storageFailed = false;

    ChipState chip;
    BlockCache cache;
    ChipCounters counters;
    ChipFaultHook faultHook;
    DriverState driver;
    std::array<SmfsCardEventCallback, 2> callbacks{};
    // Layers above the chip that drop their readiness when the card is removed.
    std::array<void (*)(CardState&), 4> removalListeners{};

    MediaState media;
    std::minstd_rand random;
    std::array<std::array<std::uint8_t, kSectorBytes>, kSectorBufferCount> bufferPool{};
    std::array<std::uint8_t*, kSectorBufferCount> freeBuffers{};
    int freeBufferCount = 0;

    VolumeState volume;
    WriteGroup group;
    FatMountHook mountHook = nullptr;

    std::string cwd;
    std::string driveName = "vx";
    DirBusyCheck busyCheck = nullptr;

    std::array<OpenFile, kSmfsMaxOpenFiles> files{};
    SmfsClock clock = nullptr;
};
