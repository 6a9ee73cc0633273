// SPDX-License-Identifier: MIT
// Card-level tools of the card library: a description of the card (type, maker, geometry,
// block counts, CIS, volume layout), a read-only check of the whole card from the spare
// areas up to the directory tree, a repair of what the check finds, and the partition copied
// out as a raw FAT volume image or a raw volume written back into the card.
//
// They are members of SmfsCard (smfs/smfs.h) and work on its storage like every other call
// of the library. info, check and export only read the image (an image file opened
// for reading is enough); import and repair write it. The card's bytes are untrusted: every count,
// offset and chain is bounded, and a looping chain or directory ends the walk with a
// finding. Findings are data (kind, where, text); the repair acts on what the check finds.
#pragma once

#include <smfs/result.h>

#include <cstdint>
#include <string>
#include <vector>

// What SmfsCard::cardInfo reports.
struct SmfsCardInfo {
    int cardType = -1; // 0..7
    std::uint8_t maker = 0;
    std::uint8_t device = 0;
    std::string makerName;    // "Samsung" or "Toshiba"
    std::string capacityText; // "16 MB"
    // Geometry.
    std::uint32_t pageDataBytes = 0;
    std::uint32_t spareBytes = 0; // per page
    std::uint32_t pagesPerBlock = 0;
    std::uint32_t sectorsPerBlock = 0;
    std::uint32_t physBlocks = 0;
    std::uint32_t logBlocks = 0;
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t totalSectors = 0;
    // Physical blocks by what their first spare says.
    std::uint32_t freeBlocks = 0;
    std::uint32_t usedBlocks = 0; // carrying a logical block address
    std::uint32_t retiredBlocks = 0;
    std::int64_t cisBlock = -1; // physical block holding the CIS, -1 when none
    // The volume, when one mounts.
    bool formatted = false;
    int fatBits = 0; // 12 or 16
    std::uint32_t partitionFirstSector = 0;
    std::uint32_t partitionSectors = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t fatCount = 0;
    std::uint32_t fatStart = 0; // absolute logical sectors from here on
    std::uint32_t fatSectors = 0;
    std::uint32_t rootStart = 0;
    std::uint32_t rootEntries = 0;
    std::uint32_t dataStart = 0;
    std::uint32_t clusterCount = 0;
    std::string oemName;
    std::string label;
};

// ---- Check ----

enum class SmfsFindingKind : std::uint8_t {
    ImageShort,          // the image file ends before the last page record
    EccCorrected,        // one data bit was wrong and the ECC corrects it
    EccCodeDamaged,      // the stored ECC itself is wrong; the data is fine
    EccUncorrectable,    // more than one bit is wrong in a 256-byte half
    AddressFieldParity,  // a block address field with bad parity
    AddressOutOfRange,   // a block address beyond the card's logical blocks
    AddressFieldsDiffer, // a sector's two address fields differ from its block's
    DuplicateBlock,      // two physical blocks claim one logical block
    CisMissing,          // no block carries the card information structure
    CisDamaged,          // the CIS block's bytes are not the CIS
    Unformatted,         // logical block 0 is not mapped: no volume at all
    MbrInvalid,          // master boot record signature or partition not usable
    BootSectorInvalid,   // boot sector fields the volume cannot be mounted with
    FatInvalid,          // no FAT copy begins with the media bytes F8 FF FF
    FatUnreadable,       // a FAT sector lies in a block that is not mapped
    FatCopiesDiffer,     // the two FAT copies hold different entries
    DirectoryBroken,     // a directory's own chain or "." / ".." entries are wrong
    StartClusterInvalid, // an entry names a cluster outside the data area
    ChainLoop,           // a chain comes back to one of its own clusters
    CrossLinked,         // a chain runs into a cluster another chain owns
    ChainFreeCluster,    // a chain runs into a free cluster
    ChainBadCluster,     // a chain runs into a cluster marked bad
    ChainInvalidEntry,   // a FAT entry holds a cluster number outside the data area
    ChainTooShort,       // fewer clusters than the file's size needs
    ChainTooLong,        // more clusters than the file's size needs
    LostClusters,        // clusters in use that no entry reaches
    TooDeep,             // folders nested deeper than any card path can reach
    BadName,             // a stored name the library would not accept as an 8.3 name
    BadFields,           // reserved attribute bits, a date that does not decode, a folder
                         // with a size, a "." or ".." where it does not belong
    GarbageEntry,        // a damaged entry whose first cluster or size make no sense
    GarbageFolder,       // a folder most of whose entries are damaged
    BytesAfterEnd,       // non-zero bytes after a folder's end marker
};

// One problem found on the card, with where it lies (-1 where a field does not apply).
struct SmfsFinding {
    SmfsFindingKind kind = SmfsFindingKind::Unformatted;
    std::int64_t physBlock = -1;
    std::int64_t sector = -1; // physical sector for ECC findings, logical otherwise
    std::int64_t cluster = -1;
    std::string path; // card path of the entry concerned, "" for none
    std::string text; // one line for the user
};

struct SmfsCheckReport {
    std::vector<SmfsFinding> findings;
    std::uint64_t sectorsChecked = 0; // programmed sectors whose ECC was checked
    std::uint32_t filesChecked = 0;
    std::uint32_t foldersChecked = 0;
    bool volumeChecked = false; // false when the card holds no volume that could be walked
    bool clean() const { return findings.empty(); }
};

// The name of a finding kind, for example "cross-linked".
const char* smfs_finding_name(SmfsFindingKind kind);

// ---- Repair ----

struct SmfsRepairReport {
    SmfsCheckReport before;           // the card as it was
    std::vector<std::string> actions; // one line per change made, in order
    SmfsCheckReport after;            // the card as the repair left it
};

// What SmfsCard::repair does: it checks the card and mends what can be mended without guessing,
// then checks it again: a physical block that repeats a logical block the block map reads from
// elsewhere is erased (the block map's choice stays), as is a block whose address field is not
// valid unless one of its sectors names a logical block no other block holds; a block with a
// correctable ECC error or stray address fields is copied to a fresh block; chains are cut
// where they loop, cross another chain, leave the data area or run into a free or bad
// cluster, and past the clusters their file's size needs; a file's size is cut to its
// chain; a folder entry with no usable first cluster is deleted; "." and ".." are pointed
// at the right clusters; lost clusters are freed and every FAT copy is written from the
// mounted one. Entries and chains without findings are never written. Findings it leaves
// stay in report->after.

// ---- Raw volume images ----

// Why SmfsCard::importVolume refused a raw volume (Ok when it was written).
enum class SmfsImportProblem : std::uint8_t {
    None,
    WrongSize,        // the raw file is not exactly the card's partition size
    NotFat,           // the first sector is no FAT12/FAT16 boot sector this card can mount
    GeometryMismatch, // sector count, FAT type or layout do not fit this card type
    Unreadable,       // the raw file could not be read
};

// A text for an import refusal.
const char* smfs_import_problem_text(SmfsImportProblem problem);
