// SPDX-License-Identifier: MIT
// The FAT volume on top of the block layer: mount, FAT write-back, cluster allocation,
// cluster I/O and space figures.
//
// Everything read from the card is checked before it is used: the partition and the
// boot sector's layout must lie inside the card's logical space, and the cluster count is
// that of the data area really present, capped by what the FAT copies can hold and by the
// largest cluster number the FAT type can express. Reserved sectors and sectors per FAT
// come from the boot sector when they are usable, so a volume formatted elsewhere is read
// at its own offsets; otherwise they are derived from the total sector count as this
// system's format lays them out.
#include "fat.h"
#include "card_state.h"

#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::uint8_t kReady = 10;
constexpr std::uint32_t kMaxSectorsPerCluster = 128;
// Highest cluster number that is not a reserved, bad or end-of-chain value.
constexpr std::uint32_t kMaxCluster12 = 0xFF6;
constexpr std::uint32_t kMaxCluster16 = 0xFFF6;

bool mounted(CardState& card) {
    return card.volume.marker == kReady && card.volume.fat;
}

// Calls io(logBlock, offsetInBlock, bufferOffset, length) for each piece of a byte range that
// starts offsetBytes into absolute logical sector firstSector, cut at logical block bounds.
template <typename Io>
SmfsResult forEachBlockPiece(std::uint32_t sectorsPerBlock, std::uint32_t firstSector,
                             std::uint64_t offsetBytes, std::uint64_t lengthBytes, Io io) {
    const std::uint64_t perBlock = std::uint64_t(sectorsPerBlock) * kSectorBytes;
    std::uint64_t pos = std::uint64_t(firstSector) * kSectorBytes + offsetBytes;
    std::uint64_t done = 0;
    while (done < lengthBytes) {
        const std::uint64_t inBlock = pos % perBlock;
        const std::uint64_t n = std::min(lengthBytes - done, perBlock - inBlock);
        SmfsResult r = io(std::uint32_t(pos / perBlock), std::uint32_t(inBlock), std::size_t(done),
                          std::uint32_t(n));
        if (r != SmfsResult::Ok) return r;
        pos += n;
        done += n;
    }
    return SmfsResult::Ok;
}

SmfsResult readSectors(CardState& card, std::uint32_t sectorsPerBlock, std::uint32_t firstSector,
                       std::uint8_t* buffer, std::uint64_t lengthBytes) {
    return forEachBlockPiece(
        sectorsPerBlock, firstSector, 0, lengthBytes,
        [&](std::uint32_t block, std::uint32_t offset, std::size_t at, std::uint32_t n) {
            return media_read(card, block, offset, buffer + at, n);
        });
}

void copyText(char* out, const std::uint8_t* in, std::size_t count) {
    std::memcpy(out, in, count);
    out[count] = '\0';
}

void readPartition(const std::uint8_t* mbr, FatVolume& v) {
    v.mbrSignature = static_cast<std::uint16_t>(mbr[kMbrSignature] * 256 + mbr[kMbrSignature + 1]);
    v.bootIndicator = mbr[kMbrBootIndicator];
    v.startHead = mbr[kMbrStartHead];
    v.startCylinder =
        static_cast<std::uint16_t>(((mbr[kMbrStartSector] & 0xC0) * 4) | mbr[kMbrStartCylinder]);
    v.startSector = static_cast<std::uint8_t>((mbr[kMbrStartSector] & 0x3F) - 1);
    v.systemIndicator = mbr[kMbrSystem];
    v.endHead = mbr[kMbrEndHead];
    v.endCylinder =
        static_cast<std::uint16_t>(((mbr[kMbrEndSector] & 0xC0) * 4) | mbr[kMbrEndCylinder]);
    v.endSector = static_cast<std::uint8_t>((mbr[kMbrEndSector] & 0x3F) - 1);
    v.partitionFirstSector = le32(mbr + kMbrFirstSector);
    v.partitionSectors = le32(mbr + kMbrSectorCount);
}

// Takes the boot sector's fields; false when the type text names neither FAT12 nor FAT16.
bool readBootSector(const std::uint8_t* bs, FatVolume& v) {
    copyText(v.oemName, bs + kBsOemName, 8);
    v.bytesPerSector = le16(bs + kBsBytesPerSector);
    v.sectorsPerCluster = bs[kBsSectorsPerCluster];
    v.reservedSectors = le16(bs + kBsReservedSectors);
    v.fatCount = bs[kBsFatCount];
    v.rootEntries = le16(bs + kBsRootEntries);
    v.totalSectors = le16(bs + kBsTotalSectors16);
    if (v.totalSectors == 0) v.totalSectors = le32(bs + kBsTotalSectors32);
    v.media = bs[kBsMedia];
    v.sectorsPerFat = le16(bs + kBsSectorsPerFat);
    v.sectorsPerTrack = le16(bs + kBsSectorsPerTrack);
    v.heads = le16(bs + kBsHeads);
    v.hiddenSectors = le32(bs + kBsHiddenSectors);
    v.driveNumber = bs[kBsDriveNumber];
    v.reserved1 = bs[kBsReserved1];
    v.extSignature = bs[kBsExtSignature];
    v.serial = le32(bs + kBsSerial);
    copyText(v.label, bs + kBsLabel, kLabelChars);
    v.bootSignature = static_cast<std::uint16_t>(bs[kBsSignature] * 256 + bs[kBsSignature + 1]);
    if (std::memcmp(bs + kBsFsType, "FAT12   ", 8) == 0) {
        v.fatType = FatType::Fat12;
    } else if (std::memcmp(bs + kBsFsType, "FAT16   ", 8) == 0) {
        v.fatType = FatType::Fat16;
    } else {
        return false;
    }
    return true;
}

// Works out where the FATs, the root and the data area lie and how many clusters exist;
// false when the layout does not fit inside the partition and the card.
bool computeLayout(FatVolume& v, std::uint32_t logicalSectors) {
    std::uint64_t volumeSectors = v.totalSectors;
    if (v.partitionSectors != 0)
        volumeSectors = std::min<std::uint64_t>(volumeSectors, v.partitionSectors);
    volumeSectors = std::min<std::uint64_t>(volumeSectors, logicalSectors - v.partitionFirstSector);

    const bool fat12 = v.fatType == FatType::Fat12;
    const std::uint64_t rootSectors = (std::uint64_t(v.rootEntries) * kDirEntryBytes + 511) / 512;
    std::uint64_t reserved = v.reservedSectors;
    std::uint64_t fatSectors = v.sectorsPerFat;
    if (reserved == 0 || fatSectors == 0 ||
        reserved + v.fatCount * fatSectors + rootSectors >= volumeSectors) {
        // The layout this system's format writes, derived from the cluster count.
        const std::uint64_t n = v.totalSectors / v.sectorsPerCluster;
        const std::uint64_t fatBytes = fat12 ? (3 * n + 6) / 2 : 2 * n + 4;
        reserved = 1;
        fatSectors = fatBytes / 512 + 1;
    }
    const std::uint64_t systemSectors = reserved + v.fatCount * fatSectors + rootSectors;
    if (systemSectors >= volumeSectors) return false;

    std::uint64_t clusters = (volumeSectors - systemSectors) / v.sectorsPerCluster;
    const std::uint64_t fatCapacity = fat12 ? fatSectors * 512 * 2 / 3 : fatSectors * 256;
    clusters = std::min(clusters, fatCapacity - 2);
    clusters = std::min<std::uint64_t>(clusters, (fat12 ? kMaxCluster12 : kMaxCluster16) - 1);

    v.fatStart = std::uint32_t(v.partitionFirstSector + reserved);
    v.fatSectors = std::uint32_t(fatSectors);
    v.rootStart = std::uint32_t(v.fatStart + v.fatCount * fatSectors);
    v.rootSectors = std::uint32_t(rootSectors);
    v.dataStart = std::uint32_t(v.rootStart + rootSectors);
    v.clusterCount = std::uint32_t(clusters);
    return true;
}

// Bytes of the FAT image that hold entries 0 to count - 1.
std::uint64_t fatImageBytes(FatType type, std::uint32_t count) {
    return type == FatType::Fat12 ? (std::uint64_t(count) * 3 + 1) / 2 : std::uint64_t(count) * 2;
}

std::uint16_t widen(FatType type, std::uint16_t value) {
    if (type == FatType::Fat12) {
        if (value >= 0xFF8) return kFatEnd;
        if (value == 0xFF7) return kFatBad;
        return value;
    }
    return value >= 0xFFF8 ? kFatEnd : value;
}

void decodeFat(FatType type, const std::uint8_t* image, std::uint16_t* fat, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t value;
        if (type == FatType::Fat16) {
            value = le16(image + 2 * i);
        } else {
            const std::uint8_t* p = image + i * 3 / 2;
            value = (i & 1) ? static_cast<std::uint16_t>((p[0] >> 4) | (p[1] << 4))
                            : static_cast<std::uint16_t>(p[0] | ((p[1] & 0x0F) << 8));
        }
        fat[i] = i < 2 ? value : widen(type, value);
    }
}

void encodeFat(FatType type, const std::uint16_t* fat, std::uint32_t count, std::uint8_t* image) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (type == FatType::Fat16) {
            putLe16(image + 2 * i, fat[i]);
            continue;
        }
        const std::uint16_t value = fat[i] & 0x0FFF;
        std::uint8_t* p = image + i * 3 / 2;
        if (i & 1) {
            p[0] = static_cast<std::uint8_t>((p[0] & 0x0F) | ((value & 0x0F) << 4));
            p[1] = static_cast<std::uint8_t>(value >> 4);
        } else {
            p[0] = static_cast<std::uint8_t>(value);
            p[1] = static_cast<std::uint8_t>((p[1] & 0xF0) | (value >> 8));
        }
    }
}

// Loads FAT copy `copy` into the table. NoValidFat when its first sector does not begin
// F8 FF FF, Internal when it cannot be read.
SmfsResult loadFatCopy(CardState& card, std::uint32_t copy, std::uint8_t* sector) {
    const FatVolume& v = card.volume.vol;
    const std::uint32_t start = v.fatStart + copy * v.fatSectors;
    if (readSectors(card, card.volume.sectorsPerBlock, start, sector, kSectorBytes) !=
        SmfsResult::Ok)
        return SmfsResult::Internal;
    if (sector[0] != 0xF8 || sector[1] != 0xFF || sector[2] != 0xFF) return SmfsResult::NoValidFat;

    const std::uint64_t bytes = fatImageBytes(v.fatType, card.volume.entryCount);
    const std::uint64_t readBytes = (bytes + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[readBytes + 1]);
    if (!image) return SmfsResult::Internal;
    image[readBytes] = 0;
    if (readSectors(card, card.volume.sectorsPerBlock, start, image.get(), readBytes) !=
        SmfsResult::Ok)
        return SmfsResult::Internal;
    decodeFat(v.fatType, image.get(), card.volume.fat.get(), card.volume.entryCount);
    return SmfsResult::Ok;
}

// The first sector and size in bytes of a cluster; BrokenChain when it is not in the volume.
SmfsResult clusterExtent(CardState& card, std::uint32_t cluster, std::uint32_t* firstSector,
                         std::uint32_t* sizeBytes) {
    const FatVolume& v = card.volume.vol;
    if (cluster == kRootCluster) {
        *firstSector = v.rootStart;
        *sizeBytes = v.rootSectors * kSectorBytes;
        return SmfsResult::Ok;
    }
    if (cluster < kFirstCluster || cluster >= card.volume.entryCount)
        return SmfsResult::BrokenChain;
    *firstSector = v.dataStart + (cluster - kFirstCluster) * v.sectorsPerCluster;
    *sizeBytes = v.sectorsPerCluster * kSectorBytes;
    return SmfsResult::Ok;
}

SmfsResult checkRange(CardState& card, std::uint32_t cluster, std::uint32_t offsetBytes,
                      std::uint32_t lengthBytes, std::uint32_t* firstSector) {
    std::uint32_t size = 0;
    SmfsResult r = clusterExtent(card, cluster, firstSector, &size);
    if (r != SmfsResult::Ok) return r;
    if (std::uint64_t(offsetBytes) + lengthBytes > size) return SmfsResult::InvalidArgument;
    return SmfsResult::Ok;
}

} // namespace

void fat_reset(CardState& card) {
    card.volume.marker = 0;
    card.volume.written.clear();
    card.volume.fat.reset();
    card.volume.entryCount = 0;
    card.volume.vol = FatVolume{};
    card.volume.deferred = false;
    fat_group_close(card);
    smc_add_removal_listener(card, fat_invalidate);
}

void fat_invalidate(CardState& card) {
    card.volume.marker = 0;
}

void fat_set_mount_hook(CardState& card, FatMountHook hook) {
    card.mountHook = hook;
}

SmfsResult fat_mount(CardState& card) {
    card.volume.marker = 0;
    card.volume.fat.reset();
    card.volume.entryCount = 0;
    card.volume.written.clear();
    card.volume.freeHint = kFirstCluster;
    if (card.mountHook) card.mountHook(card);

    SectorBuffer buffer(card);
    if (!buffer) return SmfsResult::OutOfMemory;
    std::uint8_t* sector = buffer.get();
    CardGeometry geometry{};
    SmfsResult r = media_geometry(card, &geometry);
    if (r != SmfsResult::Ok) return r;
    const std::uint32_t spb = geometry.sectorsPerBlock;
    const std::uint32_t logicalSectors = geometry.logBlocks * spb;

    r = readSectors(card, spb, 0, sector, kSectorBytes);
    if (r == SmfsResult::BlockNotMapped) return SmfsResult::Unformatted;
    if (r != SmfsResult::Ok) return r;
    FatVolume v{};
    readPartition(sector, v);
    if (v.mbrSignature != 0x55AA || v.partitionFirstSector >= geometry.totalSectors ||
        v.partitionFirstSector >= logicalSectors)
        return SmfsResult::BadMbr;

    r = readSectors(card, spb, v.partitionFirstSector, sector, kSectorBytes);
    // A boot sector in a block that was never written is no boot sector.
    if (r == SmfsResult::BlockNotMapped) return SmfsResult::BadBootSector;
    if (r != SmfsResult::Ok) return r;
    if (!readBootSector(sector, v) || v.bootSignature != 0x55AA ||
        v.bytesPerSector != kSectorBytes || v.sectorsPerCluster == 0 ||
        v.sectorsPerCluster > kMaxSectorsPerCluster || v.fatCount == 0 || v.fatCount > 2 ||
        v.rootEntries == 0 || v.media != kMediaFixed || v.totalSectors == 0)
        return SmfsResult::BadBootSector;
    if (!computeLayout(v, logicalSectors)) return SmfsResult::BadBootSector;

    card.volume.vol = v;
    card.volume.sectorsPerBlock = spb;
    card.volume.entryCount = v.clusterCount + 2;
    card.volume.fat.reset(new (std::nothrow) std::uint16_t[card.volume.entryCount]);
    if (!card.volume.fat) return SmfsResult::Internal;

    // The first copy that begins F8 FF FF and reads cleanly is used; a copy that cannot be
    // read is passed over for the next one rather than failing the mount.
    SmfsResult failure = SmfsResult::NoValidFat;
    for (std::uint32_t copy = 0; copy < v.fatCount; ++copy) {
        r = loadFatCopy(card, copy, sector);
        if (r == SmfsResult::Ok) {
            card.volume.marker = kReady;
            // A write group open across a mount starts from the card as read.
            if (card.volume.grouped)
                card.volume.committed.assign(card.volume.fat.get(),
                                             card.volume.fat.get() + card.volume.entryCount);
            return SmfsResult::Ok;
        }
        if (r == SmfsResult::Internal) failure = r;
    }
    card.volume.fat.reset();
    return failure;
}

SmfsResult fat_ensure(CardState& card) {
    if (mounted(card)) return SmfsResult::Ok;
    SmfsResult r = fat_mount(card);
    if (r != SmfsResult::BadMbr && r != SmfsResult::BadBootSector && r != SmfsResult::NoValidFat &&
        r != SmfsResult::Unformatted)
        return r;
    // A card with written blocks once held a volume and may hold files still: calling it
    // unformatted would invite a format that destroys them.
    CardGeometry geometry{};
    if (media_geometry(card, &geometry) == SmfsResult::Ok) {
        for (std::uint32_t b = 0; b < geometry.logBlocks; ++b)
            if (media_logical_entry(card, b) != 0) return SmfsResult::Damaged;
    }
    return SmfsResult::Unformatted;
}

namespace {

// Writes every FAT copy from the in-memory FAT.
SmfsResult writeBack(CardState& card) {
    SmfsResult r = SmfsResult::Ok;
    const FatVolume& v = card.volume.vol;
    const std::uint64_t copyBytes = std::uint64_t(v.fatSectors) * kSectorBytes;
    const std::uint64_t imageBytes = fatImageBytes(v.fatType, card.volume.entryCount);
    std::vector<std::uint8_t> region;
    try {
        region.assign(copyBytes * v.fatCount, 0);
    } catch (const std::bad_alloc&) {
        return SmfsResult::OutOfMemory;
    }
    encodeFat(v.fatType, card.volume.fat.get(), card.volume.entryCount, region.data());
    for (std::uint32_t copy = 1; copy < v.fatCount; ++copy)
        std::memcpy(region.data() + copy * copyBytes, region.data(), std::size_t(imageBytes));

    // All copies lie back to back: they are written as one range, so that a block shared by
    // two copies is rewritten once. Once the card is known to hold what the last flush
    // wrote, only the span of changed sectors of each block is written again.
    const bool known = card.volume.written.size() == region.size();
    std::uint64_t regionPos = 0;
    r = forEachBlockPiece(
        card.volume.sectorsPerBlock, v.fatStart, 0, region.size(),
        [&](std::uint32_t logBlock, std::uint32_t offset, std::size_t, std::uint32_t n) {
            std::uint64_t from = regionPos;
            std::uint64_t to = regionPos + n;
            regionPos = to;
            if (known) {
                auto same = [&](std::uint64_t at) {
                    return std::memcmp(region.data() + at, card.volume.written.data() + at,
                                       kSectorBytes) == 0;
                };
                while (from < to && same(from))
                    from += kSectorBytes;
                while (to > from && same(to - kSectorBytes))
                    to -= kSectorBytes;
                if (from == to) return SmfsResult::Ok;
            }
            return media_write(card, logBlock, offset + std::uint32_t(from - (regionPos - n)),
                               region.data() + from, std::uint32_t(to - from));
        });
    if (r == SmfsResult::Ok)
        card.volume.written.swap(region);
    else
        card.volume.written.clear();
    return r;
}

// True when allocation may hand out cluster c: free in memory and, in a write group, free
// on the card as well.
bool allocatable(const VolumeState& volume, std::uint32_t c) {
    return volume.fat[c] == kFatFree &&
           (!volume.grouped || volume.committed.size() <= c || volume.committed[c] == kFatFree);
}

// True when a write group holds back a cluster that is free in memory.
bool holdsFreeClusters(const VolumeState& volume) {
    if (!volume.grouped || !volume.groupCommit) return false;
    for (std::uint32_t c = kFirstCluster; c < volume.entryCount && c < volume.committed.size(); ++c)
        if (volume.fat[c] == kFatFree && volume.committed[c] != kFatFree) return true;
    return false;
}

void takeCommitted(VolumeState& volume) {
    volume.committed.assign(volume.fat.get(), volume.fat.get() + volume.entryCount);
}

} // namespace

SmfsResult fat_flush(CardState& card) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    if (card.volume.deferred || card.volume.grouped) return SmfsResult::Ok;
    return writeBack(card);
}

void fat_group_open(CardState& card, FatGroupCommit commit) {
    VolumeState& volume = card.volume;
    volume.grouped = true;
    volume.groupCommit = commit;
    if (mounted(card)) takeCommitted(volume);
}

void fat_group_close(CardState& card) {
    card.volume.grouped = false;
    card.volume.groupCommit = nullptr;
    card.volume.committed.clear();
}

SmfsResult fat_group_write(CardState& card, bool holdFrees) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    VolumeState& volume = card.volume;
    if (!holdFrees || volume.committed.size() != volume.entryCount) return writeBack(card);
    std::vector<std::uint32_t> held;
    for (std::uint32_t c = kFirstCluster; c < volume.entryCount; ++c) {
        if (volume.fat[c] == kFatFree && volume.committed[c] != kFatFree) {
            held.push_back(c);
            volume.fat[c] = volume.committed[c];
        }
    }
    r = writeBack(card);
    for (std::uint32_t c : held)
        volume.fat[c] = kFatFree;
    return r;
}

void fat_group_settle(CardState& card) {
    if (!mounted(card)) return;
    takeCommitted(card.volume);
    // Clusters held back until now may be the lowest free ones.
    card.volume.freeHint = kFirstCluster;
}

void fat_set_deferred(CardState& card, bool deferred) {
    card.volume.deferred = deferred;
}

bool fat_deferred(CardState& card) {
    return card.volume.deferred;
}

const FatVolume* fat_volume(CardState& card) {
    return mounted(card) ? &card.volume.vol : nullptr;
}

std::uint32_t fat_cluster_bytes(CardState& card) {
    return mounted(card) ? card.volume.vol.sectorsPerCluster * kSectorBytes : 0;
}

bool fat_is_data_cluster(CardState& card, std::uint32_t value) {
    return mounted(card) && value >= kFirstCluster && value < card.volume.entryCount;
}

std::uint16_t fat_entry(CardState& card, std::uint32_t cluster) {
    if (!mounted(card) || cluster >= card.volume.entryCount) return 0;
    return card.volume.fat[cluster];
}

void fat_set_entry(CardState& card, std::uint32_t cluster, std::uint16_t value) {
    if (!mounted(card) || cluster >= card.volume.entryCount) return;
    card.volume.fat[cluster] = value;
    if (value == kFatFree && cluster < card.volume.freeHint) card.volume.freeHint = cluster;
}

SmfsResult fat_alloc_cluster(CardState& card, std::uint32_t* cluster) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t c = std::max(card.volume.freeHint, kFirstCluster);
             c < card.volume.entryCount; ++c) {
            if (allocatable(card.volume, c)) {
                *cluster = c;
                card.volume.freeHint = c;
                return SmfsResult::Ok;
            }
        }
        card.volume.freeHint = card.volume.entryCount;
        // The clusters a write group holds back become free once it commits.
        if (pass > 0 || !holdsFreeClusters(card.volume)) break;
        r = card.volume.groupCommit(card);
        if (r != SmfsResult::Ok) return r;
    }
    return SmfsResult::CardFull;
}

SmfsResult fat_alloc_run(CardState& card, std::uint32_t count, std::uint32_t* start,
                         std::uint32_t* length) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    if (count == 0) return SmfsResult::InvalidArgument;
    for (int pass = 0;; ++pass) {
        std::uint32_t longest = 0;
        std::uint32_t runStart = 0;
        std::uint32_t runLength = 0;
        for (std::uint32_t c = kFirstCluster; c < card.volume.entryCount; ++c) {
            if (!allocatable(card.volume, c)) {
                runLength = 0;
                continue;
            }
            if (runLength++ == 0) runStart = c;
            if (runLength == count) {
                *start = runStart;
                *length = count;
                return SmfsResult::Ok;
            }
            longest = std::max(longest, runLength);
        }
        if (pass > 0 || !holdsFreeClusters(card.volume)) {
            *start = 0;
            *length = longest;
            return SmfsResult::Ok;
        }
        r = card.volume.groupCommit(card);
        if (r != SmfsResult::Ok) return r;
    }
}

SmfsResult cluster_read(CardState& card, std::uint32_t cluster, std::uint32_t offsetBytes,
                        std::uint8_t* buffer, std::uint32_t lengthBytes) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t firstSector = 0;
    r = checkRange(card, cluster, offsetBytes, lengthBytes, &firstSector);
    if (r != SmfsResult::Ok) return r;
    // An uncorrectable sector is delivered and reported once the whole range is read.
    bool uncorrectable = false;
    r = forEachBlockPiece(
        card.volume.sectorsPerBlock, firstSector, offsetBytes, lengthBytes,
        [&](std::uint32_t block, std::uint32_t offset, std::size_t at, std::uint32_t n) {
            SmfsResult pr = media_read(card, block, offset, buffer + at, n);
            if (pr == SmfsResult::EccUncorrectable) {
                uncorrectable = true;
                return SmfsResult::Ok;
            }
            return pr;
        });
    if (r == SmfsResult::Ok && uncorrectable) return SmfsResult::EccUncorrectable;
    return r;
}

SmfsResult cluster_write(CardState& card, std::uint32_t cluster, std::uint32_t offsetBytes,
                         const std::uint8_t* data, std::uint32_t lengthBytes) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t firstSector = 0;
    r = checkRange(card, cluster, offsetBytes, lengthBytes, &firstSector);
    if (r != SmfsResult::Ok) return r;
    return forEachBlockPiece(
        card.volume.sectorsPerBlock, firstSector, offsetBytes, lengthBytes,
        [&](std::uint32_t block, std::uint32_t offset, std::size_t at, std::uint32_t n) {
            return media_write(card, block, offset, data + at, n);
        });
}

SmfsResult cluster_fill(CardState& card, std::uint32_t cluster, std::uint8_t value) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    if (cluster == kRootCluster) return SmfsResult::Internal;
    const std::uint32_t size = fat_cluster_bytes(card);
    std::unique_ptr<std::uint8_t[]> fill(new (std::nothrow) std::uint8_t[size]);
    if (!fill) return SmfsResult::OutOfMemory;
    std::memset(fill.get(), value, size);
    return cluster_write(card, cluster, 0, fill.get(), size);
}

SmfsResult volume_space(CardState& card, VolumeSpace* space) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    const std::uint64_t clusterBytes = fat_cluster_bytes(card);
    VolumeSpace s{};
    s.sectorsPerCluster = card.volume.vol.sectorsPerCluster;
    s.bytesPerSector = card.volume.vol.bytesPerSector;
    s.totalBytes = std::uint64_t(card.volume.vol.clusterCount) * clusterBytes;
    for (std::uint32_t c = kFirstCluster; c < card.volume.entryCount; ++c) {
        const std::uint16_t e = card.volume.fat[c];
        if (e == kFatFree) {
            s.freeBytes += clusterBytes;
        } else if (e == kFatBad) {
            ++s.badClusters;
        } else {
            s.usedBytes += clusterBytes;
        }
    }
    *space = s;
    return SmfsResult::Ok;
}
