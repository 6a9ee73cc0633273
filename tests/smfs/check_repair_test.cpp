// SPDX-License-Identifier: MIT
// The check and the repair: a filled card is clean; each kind of damage is found where it
// lies; the repair mends what it can without guessing, leaves the rest as findings, and
// a second repair finds nothing to write.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/ecc.h"
#include "smfs/fat.h"
#include "smfs/media.h"

#include <common/le_bytes.h>

#include <gtest/gtest.h>
#include <smfs/tools.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace {

std::vector<SmfsFinding> findingsOf(const SmfsCheckReport& report, SmfsFindingKind kind) {
    std::vector<SmfsFinding> out;
    for (const SmfsFinding& f : report.findings)
        if (f.kind == kind) out.push_back(f);
    return out;
}

SmfsCheckReport check() {
    SmfsCheckReport report;
    EXPECT_EQ(api().check(&report), SmfsResult::Ok);
    return report;
}

std::uint32_t firstCluster(const char* path) {
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info(path, &info), SmfsResult::Ok) << path;
    return info.firstCluster;
}

// The physical sector holding the first byte of a cluster.
std::uint32_t physSectorOfCluster(std::uint32_t cluster) {
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    const FatVolume& v = *fat_volume(cs());
    CardGeometry g{};
    EXPECT_EQ(media_geometry(cs(), &g), SmfsResult::Ok);
    const std::uint32_t logical = v.dataStart + (cluster - 2) * v.sectorsPerCluster;
    return media_logical_entry(cs(), logical / g.sectorsPerBlock) * g.sectorsPerBlock +
           logical % g.sectorsPerBlock;
}

// File offset of a data byte of a physical sector, on either page layout.
std::uint64_t dataOffset(TestCard& image, std::uint32_t sector, std::uint32_t byte) {
    if (image.layout().dataBytes == 512) return image.pageOffset(sector) + byte;
    return image.pageOffset(2 * sector + byte / 256) + byte % 256;
}

void flipBit(TestCard& image, std::uint64_t offset, int bit) {
    std::vector<std::uint8_t> b = image.readBytes(offset, 1);
    b[0] ^= std::uint8_t(1u << bit);
    image.writeBytes(offset, b);
}

TEST(CheckTest, BlankCardIsReportedUnformatted) {
    TestCard card(4);
    const SmfsCheckReport report = check();
    EXPECT_EQ(findingsOf(report, SmfsFindingKind::Unformatted).size(), 1u)
        << apiFindingsText(report);
    EXPECT_EQ(findingsOf(report, SmfsFindingKind::CisMissing).size(), 1u);
    EXPECT_FALSE(report.volumeChecked);
}

TEST(CheckTest, RuinedCardListsEachKindABoundedNumberOfTimes) {
    TestCard card(1, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\BIG.BIN", apiPattern(400000, 9)), SmfsResult::Ok);
    TestCard& image = card;
    // Two flipped bits in the first half of every sector of the file's first 200 sectors.
    for (std::uint32_t s = 0; s < 200; ++s) {
        const std::uint32_t sector =
            physSectorOfCluster(firstCluster("vx:\\BIG.BIN") + s / 8) + s % 8;
        flipBit(image, dataOffset(image, sector, 1), 0);
        flipBit(image, dataOffset(image, sector, 2), 0);
    }
    const SmfsCheckReport report = check();
    const auto lost = findingsOf(report, SmfsFindingKind::EccUncorrectable);
    EXPECT_EQ(lost.size(), 101u) << "100 listed and one summary line";
    EXPECT_NE(lost.back().text.find("100 more"), std::string::npos) << lost.back().text;
}

const char* const kFiles[] = {"vx:\\A.BIN", "vx:\\B.BIN", "vx:\\KEEP.BIN", "vx:\\GAME\\C.QXE",
                              "vx:\\GAME\\EMPTY.TXT"};

// A file as a user sees it: its bytes and its entry.
struct FileState {
    std::vector<std::uint8_t> bytes;
    SmfsEntryInfo info{};
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && std::memcmp(&info, &o.info, sizeof info) == 0;
    }
};

std::map<std::string, FileState> files() {
    std::map<std::string, FileState> out;
    for (const char* path : kFiles) {
        FileState& f = out[path];
        EXPECT_EQ(api().info(path, &f.info), SmfsResult::Ok) << path;
        EXPECT_EQ(apiReadFile(api(), path, &f.bytes), SmfsResult::Ok) << path;
    }
    return out;
}

bool has(const SmfsCheckReport& report, SmfsFindingKind kind) {
    for (const SmfsFinding& f : report.findings)
        if (f.kind == kind) return true;
    return false;
}

std::uint32_t sectorsPerBlock() {
    CardGeometry g{};
    EXPECT_EQ(media_geometry(cs(), &g), SmfsResult::Ok);
    return g.sectorsPerBlock;
}

std::uint32_t freeBlockFrom(std::uint32_t block) {
    while (media_phys_entry(cs(), block) != kPhysFree)
        ++block;
    return block;
}

std::uint32_t freeClusterFrom(std::uint32_t cluster) {
    while (fat_entry(cs(), cluster) != kFatFree)
        ++cluster;
    return cluster;
}

void writeField(TestCard& image, std::uint32_t physBlock, std::size_t at, std::uint16_t field) {
    image.writeBytes(image.pageOffset(physBlock * sectorsPerBlock()) + 512 + at,
                     {std::uint8_t(field >> 8), std::uint8_t(field & 0xFF)});
}

void setEntry(std::uint32_t cluster, std::uint16_t value) {
    fat_set_entry(cs(), cluster, value);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
}

void addEntry(std::uint32_t folder, const char* name, std::uint8_t attribute, std::uint32_t start,
              std::uint32_t size) {
    DirEntryRecord record{};
    record.attribute = attribute;
    record.startCluster = start;
    record.size = size;
    ASSERT_EQ(dir_create_entry(cs(), folder, name, record), SmfsResult::Ok);
}

struct Damage {
    const char* name;
    SmfsFindingKind kind; // what the check must find first
    std::function<void(TestCard&)> apply;
    const char* touched;                          // the one file the damage reaches, or ""
    std::function<void(const FileState&)> verify; // how that file comes out
};

const std::vector<Damage>& damages() {
    static const std::vector<Damage> list = {
        {"StaleBlockCopy", SmfsFindingKind::DuplicateBlock,
         [](TestCard& image) {
             // KEEP.BIN's block moves to a later free block; an earlier one gets an older
             // version of it (other bytes, sound ECC), which the block map does not read.
             const std::uint32_t spb = sectorsPerBlock();
             const std::size_t blockBytes = std::size_t(spb) * image.layout().recordBytes;
             const std::uint32_t used = physSectorOfCluster(firstCluster("vx:\\KEEP.BIN")) / spb;
             const std::uint32_t stale = freeBlockFrom(1);
             const std::uint32_t moved = freeBlockFrom(std::max(stale, used) + 1);
             auto bytes = image.readBytes(image.pageOffset(used * spb), blockBytes);
             image.writeBytes(image.pageOffset(moved * spb), bytes);
             image.writeBytes(image.pageOffset(used * spb),
                              std::vector<std::uint8_t>(blockBytes, 0xFF));
             for (std::uint32_t i = 0; i < 256; ++i)
                 bytes[i] = std::uint8_t(~bytes[i]);
             ecc_compute(bytes.data(), bytes.data() + 512 + kSpareEccLow);
             image.writeBytes(image.pageOffset(stale * spb), bytes);
         },
         "", nullptr},
        {"BadParityField", SmfsFindingKind::AddressFieldParity,
         [](TestCard& image) {
             const std::uint16_t good = block_address_field(7);
             writeField(image, freeBlockFrom(900), kSpareAddr1, std::uint16_t(good ^ 1));
         },
         "", nullptr},
        {"FieldOutOfRange", SmfsFindingKind::AddressOutOfRange,
         [](TestCard& image) {
             std::uint16_t field = std::uint16_t(0x1000 | (1020 << 1));
             if (__builtin_popcount(field) % 2) field |= 1;
             writeField(image, freeBlockFrom(900), kSpareAddr1, field);
         },
         "", nullptr},
        {"StrayFieldInASector", SmfsFindingKind::AddressFieldsDiffer,
         [](TestCard& image) {
             const std::uint32_t sector = physSectorOfCluster(firstCluster("vx:\\KEEP.BIN"));
             image.writeBytes(image.pageOffset(sector + 1) + 512 + kSpareAddr2, {0x10, 0x02});
         },
         "", nullptr},
        {"CorrectableBit", SmfsFindingKind::EccCorrected,
         [](TestCard& image) {
             const std::uint32_t sector = physSectorOfCluster(firstCluster("vx:\\KEEP.BIN"));
             flipBit(image, dataOffset(image, sector, 300), 3);
         },
         "", nullptr},
        {"DamagedEccCode", SmfsFindingKind::EccCodeDamaged,
         [](TestCard& image) {
             const std::uint32_t sector = physSectorOfCluster(firstCluster("vx:\\A.BIN"));
             flipBit(image, image.pageOffset(sector) + 512 + 13, 6);
         },
         "", nullptr},
        {"CrossLink", SmfsFindingKind::CrossLinked,
         [](TestCard&) {
             setEntry(firstCluster("vx:\\B.BIN"), fat_entry(cs(), firstCluster("vx:\\A.BIN")));
         },
         "vx:\\B.BIN", [](const FileState& b) { EXPECT_EQ(b.bytes, apiPattern(3000, 2)); }},
        {"Loop", SmfsFindingKind::ChainLoop,
         [](TestCard&) {
             const std::uint32_t c = firstCluster("vx:\\GAME\\C.QXE");
             setEntry(fat_entry(cs(), c), std::uint16_t(c));
         },
         "vx:\\GAME\\C.QXE",
         [](const FileState& c) {
             // The two clusters before the loop stay, with the bytes they held.
             const auto whole = apiPattern(70000, 3);
             ASSERT_EQ(c.info.size, 2 * fat_cluster_bytes(cs()));
             EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), whole.begin()));
         }},
        {"LostChain", SmfsFindingKind::LostClusters,
         [](TestCard&) {
             const std::uint32_t lost = freeClusterFrom(300);
             fat_set_entry(cs(), lost, std::uint16_t(lost + 1));
             setEntry(lost + 1, kFatEnd);
         },
         "", nullptr},
        {"ChainTooLong", SmfsFindingKind::ChainTooLong,
         [](TestCard&) {
             const std::uint32_t extra = freeClusterFrom(300);
             fat_set_entry(cs(), firstCluster("vx:\\B.BIN"), std::uint16_t(extra));
             setEntry(extra, kFatEnd);
         },
         "", nullptr},
        {"ChainTooShort", SmfsFindingKind::ChainTooShort,
         [](TestCard&) { setEntry(firstCluster("vx:\\A.BIN"), kFatEnd); }, "vx:\\A.BIN",
         [](const FileState& a) {
             ASSERT_EQ(a.info.size, fat_cluster_bytes(cs()));
             EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), apiPattern(40000, 1).begin()));
         }},
        {"ChainIntoFreeCluster", SmfsFindingKind::ChainFreeCluster,
         [](TestCard&) {
             setEntry(firstCluster("vx:\\GAME\\C.QXE"), std::uint16_t(freeClusterFrom(300)));
         },
         "vx:\\GAME\\C.QXE",
         [](const FileState& c) { EXPECT_EQ(c.info.size, fat_cluster_bytes(cs())); }},
        {"FatCopiesDiffer", SmfsFindingKind::FatCopiesDiffer,
         [](TestCard&) {
             // A lost cluster in the second copy only.
             const FatVolume v = *fat_volume(cs());
             std::vector<std::uint8_t> bytes(512);
             const std::uint32_t sector = v.fatStart + v.fatSectors;
             ASSERT_EQ(media_read_sector(cs(), sector, 0, bytes.data(), 512), SmfsResult::Ok);
             bytes[500] ^= 0x10;
             ASSERT_EQ(media_write(cs(), sector / sectorsPerBlock(),
                                   (sector % sectorsPerBlock()) * 512, bytes.data(), 512),
                       SmfsResult::Ok);
         },
         "", nullptr},
        {"FileOutsideTheDataArea", SmfsFindingKind::StartClusterInvalid,
         [](TestCard&) { addEntry(0, "WILD.BIN", kAttrArchive, 0xFF0, 10); }, "", nullptr},
        {"FolderOutsideTheDataArea", SmfsFindingKind::StartClusterInvalid,
         [](TestCard&) { addEntry(0, "WILD", kAttrFolder, 0xFF0, 0); }, "", nullptr},
        {"WrongParentEntry", SmfsFindingKind::DirectoryBroken,
         [](TestCard&) {
             // ".." is the second entry of a folder's first cluster; its cluster at byte 26.
             std::uint8_t cluster[2] = {7, 0};
             ASSERT_EQ(cluster_write(cs(), firstCluster("vx:\\GAME"), 32 + kDeCluster, cluster, 2),
                       SmfsResult::Ok);
         },
         "", nullptr},
    };
    return list;
}

class RepairDamageTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RepairDamageTest, MendsTheDamageAndLeavesOtherFilesAsTheyWere) {
    const Damage& damage = damages()[GetParam()];
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(40000, 1)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.BIN", apiPattern(3000, 2)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\C.QXE", apiPattern(70000, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\EMPTY.TXT", {}), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.BIN", apiPattern(100000, 4)), SmfsResult::Ok);
    const auto before = files();
    damage.apply(card);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsRepairReport report;
    ASSERT_EQ(api().repair(&report), SmfsResult::Ok);
    EXPECT_TRUE(has(report.before, damage.kind)) << apiFindingsText(report.before);
    EXPECT_FALSE(report.actions.empty());
    EXPECT_TRUE(report.after.clean()) << apiFindingsText(report.after);
    SmfsCheckReport again;
    ASSERT_EQ(api().check(&again), SmfsResult::Ok);
    EXPECT_TRUE(again.clean()) << apiFindingsText(again);

    const auto after = files();
    for (const auto& [path, state] : before) {
        if (path == damage.touched)
            damage.verify(after.at(path));
        else
            EXPECT_TRUE(after.at(path) == state) << path << " changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RepairDamageTest, ::testing::Range<std::size_t>(0, 16),
                         [](const auto& info) { return damages()[info.param].name; });

TEST(RepairTest, LeavesWhatItCannotMendWithoutLosingData) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOST.BIN", apiPattern(40000, 5)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONLY.BIN", apiPattern(40000, 6)), SmfsResult::Ok);
    // Clusters no entry reaches may belong to a folder in the block kept aside: not freed.
    const std::uint32_t unreached = freeClusterFrom(300);
    setEntry(unreached, kFatEnd);
    TestCard& image = card;
    // Two bits in one half: the sector's data is gone, and rewriting it would hide that.
    const std::uint32_t lost = physSectorOfCluster(firstCluster("vx:\\LOST.BIN"));
    flipBit(image, dataOffset(image, lost, 1), 0);
    flipBit(image, dataOffset(image, lost, 2), 0);
    // A broken field on the only copy of a logical block: its sectors still name it.
    const std::uint32_t only =
        physSectorOfCluster(firstCluster("vx:\\ONLY.BIN")) / sectorsPerBlock();
    const std::uint32_t spb = sectorsPerBlock();
    const auto field = std::uint16_t(media_phys_entry(cs(), only) ^ 1);
    writeField(image, only, kSpareAddr1, field);
    writeField(image, only, kSpareAddr2, field);
    // The other sectors split evenly between two fields: no majority names the block.
    const std::uint16_t other = block_address_field(0);
    for (std::uint32_t s = 1; s < spb; ++s)
        image.writeBytes(image.pageOffset(only * spb + s) + 512 + kSpareAddr2,
                         {std::uint8_t(other >> 8), std::uint8_t(other & 0xFF)});
    const std::size_t blockBytes = std::size_t(spb) * image.layout().recordBytes;
    const auto lostBlock = image.readBytes(image.pageOffset(lost / spb * spb), blockBytes);
    const auto onlyBlock = image.readBytes(image.pageOffset(only * spb), blockBytes);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsRepairReport report;
    ASSERT_EQ(api().repair(&report), SmfsResult::Ok);
    EXPECT_TRUE(has(report.after, SmfsFindingKind::EccUncorrectable))
        << apiFindingsText(report.after);
    EXPECT_TRUE(has(report.after, SmfsFindingKind::AddressFieldParity))
        << apiFindingsText(report.after);
    EXPECT_TRUE(has(report.after, SmfsFindingKind::LostClusters)) << apiFindingsText(report.after);
    EXPECT_EQ(image.readBytes(image.pageOffset(lost / spb * spb), blockBytes), lostBlock);
    EXPECT_EQ(image.readBytes(image.pageOffset(only * spb), blockBytes), onlyBlock);
}

} // namespace

namespace {

// Random FAT entries and folder bytes: the check must end with a bounded list of findings,
// the repair must end, and leave a card whose second repair finds nothing more to do.
class RepairGarbageTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(RepairGarbageTest, GarbledFatAndFoldersSettle) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(40000, 1)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\C.QXE", apiPattern(70000, 3)), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(garbleFatAndFolder(api(), "vx:\\GAME", GetParam()));
    SmfsRepairReport first;
    ASSERT_EQ(api().repair(&first), SmfsResult::Ok);
    EXPECT_FALSE(first.before.clean());
    EXPECT_LE(first.before.findings.size(), 26u * 101u);
    for (const SmfsFinding& f : first.after.findings)
        EXPECT_TRUE(f.kind == SmfsFindingKind::TooDeep) << apiFindingsText(first.after);
    SmfsRepairReport second;
    ASSERT_EQ(api().repair(&second), SmfsResult::Ok);
    EXPECT_TRUE(second.actions.empty()) << second.actions.front();
}

INSTANTIATE_TEST_SUITE_P(Seeds, RepairGarbageTest, ::testing::Range(1u, 9u));

// ---- Damaged entries and damaged block address fields ----
//
// Each case damages a card holding one file, expects one finding kind, and after the repair
// a clean card whose listing holds what the case names and whose file still reads back whole.
const std::vector<std::uint8_t> kData = apiPattern(5000, 3);

// The first free root slot (the end marker's).
std::uint32_t endSlot() {
    for (std::uint32_t slot = 0;; ++slot) {
        std::uint8_t e[32];
        EXPECT_EQ(cluster_read(cs(), kRootCluster, slot * 32, e, 32), SmfsResult::Ok);
        if (e[0] == 0) return slot;
    }
}

// A root entry with a raw 11-byte name, written at the end marker's slot.
std::uint32_t addRaw(const char* name11, std::uint8_t attr, std::uint32_t cluster,
                     std::uint32_t size, const std::function<void(std::uint8_t*)>& edit = {}) {
    std::uint8_t e[32] = {};
    std::memcpy(e, name11, 11);
    e[kDeAttr] = attr;
    putLe16(e + kDeDate, (44 << 9) | (5 << 5) | 17);
    putLe16(e + kDeCluster, std::uint16_t(cluster));
    putLe32(e + kDeSize, size);
    if (edit) edit(e);
    const std::uint32_t slot = endSlot();
    EXPECT_EQ(cluster_write(cs(), kRootCluster, slot * 32, e, 32), SmfsResult::Ok);
    return slot;
}

std::uint32_t fileCluster() {
    return firstCluster("vx:\\A.BIN");
}

// Moves A.BIN's entry under a raw name; the file's clusters and size stay.
void renameRaw(const char* name11) {
    const std::uint32_t cluster = fileCluster();
    std::uint8_t e[32];
    ASSERT_EQ(cluster_read(cs(), kRootCluster, 0, e, 32), SmfsResult::Ok);
    ASSERT_EQ(le16(e + kDeCluster), cluster) << "A.BIN is the first root entry";
    std::memcpy(e, name11, 11);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, 0, e, 32), SmfsResult::Ok);
}

struct EntryCase {
    const char* name;
    std::function<void()> damage;
    SmfsFindingKind finding;
    std::vector<std::string> listing; // root after the repair
    const char* dataPath;             // where A.BIN's bytes must read back
};

const EntryCase kEntryCases[] = {
    {"LowerCaseName",
     [] { renameRaw("Bbb     TXT"); },
     SmfsFindingKind::BadName,
     {"BBB.TXT"},
     "vx:\\BBB.TXT"},
    {"SpaceInsideName",
     [] { renameRaw("B B     TXT"); },
     SmfsFindingKind::BadName,
     {"B_B.TXT"},
     "vx:\\B_B.TXT"},
    {"ControlAndStarBytes",
     [] { renameRaw("A\x01*     BIN"); },
     SmfsFindingKind::BadName,
     {"A__.BIN"},
     "vx:\\A__.BIN"},
    {"MendedNameTakenGetsNumbered",
     [] {
         renameRaw("a       BIN");
         addRaw("A       BIN", 0x20, 0, 0);
     },
     SmfsFindingKind::BadName,
     {"FIX00000.BIN", "A.BIN"},
     "vx:\\FIX00000.BIN"},
    {"ReservedAttributeBits",
     [] { addRaw("X       BIN", 0xE0, 0, 0); },
     SmfsFindingKind::BadFields,
     {"A.BIN", "X.BIN"},
     "vx:\\A.BIN"},
    {"DateThatDoesNotDecode",
     [] {
         addRaw("X       BIN", 0x20, 0, 0,
                [](std::uint8_t* e) { putLe16(e + kDeDate, 13 << 5 | 1); });
     },
     SmfsFindingKind::BadFields,
     {"A.BIN", "X.BIN"},
     "vx:\\A.BIN"},
    {"FolderWithSize",
     [] {
         ASSERT_EQ(api().mkdir("vx:\\DIR", 0), SmfsResult::Ok);
         std::uint8_t e[32];
         ASSERT_EQ(cluster_read(cs(), kRootCluster, 32, e, 32), SmfsResult::Ok);
         putLe32(e + kDeSize, 4096);
         ASSERT_EQ(cluster_write(cs(), kRootCluster, 32, e, 32), SmfsResult::Ok);
     },
     SmfsFindingKind::BadFields,
     {"A.BIN", "DIR"},
     "vx:\\A.BIN"},
    {"DotInTheRoot",
     [] { addRaw(".          ", 0x10, 0, 0); },
     SmfsFindingKind::BadFields,
     {"A.BIN"},
     "vx:\\A.BIN"},
    {"GarbageOutsideTheDataArea",
     [] { addRaw("\x7f?GARB  \x01\x02\x03", 0x20, 65000, 900000); },
     SmfsFindingKind::GarbageEntry,
     {"A.BIN"},
     "vx:\\A.BIN"},
    {"GarbageCrossingAFile",
     [] { addRaw("g       BIN", 0x20, fileCluster(), 5000); },
     SmfsFindingKind::GarbageEntry,
     {"A.BIN"},
     "vx:\\A.BIN"},
    {"EmptyFileWithAChain",
     [] {
         std::uint32_t c = 0;
         ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
         fat_set_entry(cs(), c, kFatEnd);
         ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
         addRaw("E       BIN", 0x20, c, 0);
     },
     SmfsFindingKind::ChainTooLong,
     {"A.BIN", "E.BIN"},
     "vx:\\A.BIN"},
    {"BytesAfterTheEndMarker",
     [] {
         const std::vector<std::uint8_t> junk(32, 0xA0);
         ASSERT_EQ(cluster_write(cs(), kRootCluster, (endSlot() + 1) * 32, junk.data(), 32),
                   SmfsResult::Ok);
     },
     SmfsFindingKind::BytesAfterEnd,
     {"A.BIN"},
     "vx:\\A.BIN"},
};

class EntryRepairTest : public testing::TestWithParam<EntryCase> {};

TEST_P(EntryRepairTest, CheckReportsAndRepairMendsWithoutLosingTheFile) {
    const EntryCase& c = GetParam();
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", kData), SmfsResult::Ok);
    ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    c.damage();
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsCheckReport check;
    ASSERT_EQ(api().check(&check), SmfsResult::Ok);
    EXPECT_TRUE(std::any_of(check.findings.begin(), check.findings.end(),
                            [&](const SmfsFinding& f) { return f.kind == c.finding; }))
        << apiFindingsText(check);
    SmfsRepairReport repair;
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_TRUE(repair.after.clean()) << apiFindingsText(repair.after);
    EXPECT_EQ(apiList(api(), "vx:\\"), c.listing);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(apiReadFile(api(), c.dataPath, &back), SmfsResult::Ok);
    EXPECT_TRUE(back == kData);

    // A second repair has nothing left to write.
    const std::vector<std::uint8_t> repaired = card.bytes();
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_TRUE(repair.actions.empty());
    EXPECT_TRUE(card.bytes() == repaired);
}

INSTANTIATE_TEST_SUITE_P(Damage, EntryRepairTest, testing::ValuesIn(kEntryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndMarkerTest, AnEntryTakingTheEndMarkerNeverRevivesTheBytesAfterIt) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", kData), SmfsResult::Ok);
    const std::vector<std::uint8_t> junk(32, 0xA0);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, (endSlot() + 1) * 32, junk.data(), 32),
              SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\NEW.BIN", kData), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"A.BIN", "NEW.BIN"}));
}

// The block address field of a physical block's first sector, one copy.
void flipField(TestCard& card, std::uint32_t physBlock, int at) {
    const std::uint64_t offset =
        card.pageOffset(card.firstSectorOfBlock(physBlock) * (512 / card.layout().dataBytes)) +
        card.layout().dataBytes + std::uint64_t(at);
    card.bytes()[offset] ^= 0x04;
}

TEST(AddressFieldTest, OneDamagedCopyNeitherUnmapsABlockNorUnformatsTheCard) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", kData), SmfsResult::Ok);
    const std::uint32_t block0 = media_logical_entry(cs(), 0);
    // Block 0 holds the boot records: its first copy is read as the whole card's fate.
    flipField(card, block0, kSpareAddr1);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(apiReadFile(api(), "vx:\\A.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == kData);

    SmfsRepairReport repair;
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_FALSE(repair.before.clean());
    EXPECT_TRUE(repair.after.clean()) << apiFindingsText(repair.after);
    const std::uint32_t now = media_logical_entry(cs(), 0);
    const std::vector<std::uint8_t> spare = card.sectorSpare(card.firstSectorOfBlock(now));
    EXPECT_EQ(spare[kSpareAddr1] << 8 | spare[kSpareAddr1 + 1], block_address_field(0));
}

TEST(AddressFieldTest, ACardWithWrittenBlocksButNoVolumeIsDamagedNotUnformatted) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", kData), SmfsResult::Ok);
    const std::uint32_t block0 = media_logical_entry(cs(), 0);
    // Every field copy of block 0 damaged: nothing tells which logical block it is.
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s) {
        const std::uint64_t spare = card.pageOffset((card.firstSectorOfBlock(block0) + s) *
                                                    (512 / card.layout().dataBytes));
        card.bytes()[spare + 512 + kSpareAddr1] ^= 0x04;
        card.bytes()[spare + 512 + kSpareAddr2] ^= 0x04;
    }
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::uint64_t total = 0, used = 0, free = 0;
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Damaged);
    EXPECT_NE(std::string(smfs_result_text(SmfsResult::Damaged)).find("vela-smc check"),
              std::string::npos);
    TestCard blank(4);
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Unformatted);
}

} // namespace
