// SPDX-License-Identifier: MIT
// The check and the repair. Each case damages a card holding a few files and a folder: the
// check must find that kind of damage, the repair must leave a clean card, every file the
// damage did not reach as it was (bytes and entry) and the one it reached mended without
// guessing, and a second repair must find nothing to write. What cannot be mended safely stays
// as findings, its bytes untouched.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/ecc.h"

#include <common/le_bytes.h>

#include <cstring>
#include <map>

namespace {

std::uint32_t firstCluster(const char* path) {
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info(path, &info), SmfsResult::Ok) << path;
    return info.firstCluster;
}

std::uint32_t sectorsPerBlock() {
    CardGeometry g{};
    EXPECT_EQ(media_geometry(cs(), &g), SmfsResult::Ok);
    return g.sectorsPerBlock;
}

// The physical sector holding the first byte of a cluster.
std::uint32_t physSectorOf(std::uint32_t cluster) {
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    const FatVolume& v = *fat_volume(cs());
    const std::uint32_t logical = v.dataStart + (cluster - 2) * v.sectorsPerCluster;
    return media_logical_entry(cs(), logical / sectorsPerBlock()) * sectorsPerBlock() +
           logical % sectorsPerBlock();
}

// Flips a bit of a data byte of a physical sector, on either page layout.
void flipDataBit(TestCard& image, std::uint32_t sector, std::uint32_t byte, int bit) {
    const std::uint64_t at = image.layout().dataBytes == 512
                                 ? image.pageOffset(sector) + byte
                                 : image.pageOffset(2 * sector + byte / 256) + byte % 256;
    image.bytes()[at] ^= std::uint8_t(1u << bit);
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

// The first free root slot (the end marker's).
std::uint32_t endSlot() {
    for (std::uint32_t slot = 0;; ++slot) {
        std::uint8_t e[32];
        EXPECT_EQ(cluster_read(cs(), kRootCluster, slot * 32, e, 32), SmfsResult::Ok);
        if (e[0] == 0) return slot;
    }
}

// A root entry with a raw 11-byte name, written at the end marker's slot.
void addRaw(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
            const std::function<void(std::uint8_t*)>& edit = {}) {
    std::uint8_t e[32] = {};
    std::memcpy(e, name11, 11);
    e[kDeAttr] = attr;
    putLe16(e + kDeDate, (44 << 9) | (5 << 5) | 17);
    putLe16(e + kDeCluster, std::uint16_t(cluster));
    putLe32(e + kDeSize, size);
    if (edit) edit(e);
    EXPECT_EQ(cluster_write(cs(), kRootCluster, endSlot() * 32, e, 32), SmfsResult::Ok);
}

// Gives A.BIN (the first root entry) a raw name; its clusters and size stay.
void renameRaw(const char* name11) {
    ASSERT_EQ(
        cluster_write(cs(), kRootCluster, 0, reinterpret_cast<const std::uint8_t*>(name11), 11),
        SmfsResult::Ok);
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
        (void)api().info(path, &out[path].info);
        (void)apiReadFile(api(), path, &out[path].bytes);
    }
    return out;
}

bool has(const SmfsCheckReport& report, SmfsFindingKind kind) {
    return std::any_of(report.findings.begin(), report.findings.end(),
                       [&](const SmfsFinding& f) { return f.kind == kind; });
}

struct Damage {
    const char* name;
    SmfsFindingKind kind; // what the check must find
    std::function<void(TestCard&)> apply;
    const char* touched = "";                          // the one file the damage reaches
    std::function<void(const FileState&)> verify = {}; // how that file comes out
    std::vector<std::string> root = {"A.BIN", "B.BIN", "GAME", "KEEP.BIN"}; // after the repair
};

// A.BIN renamed by the damage, under the name the repair gives it.
Damage renamed(const char* name, SmfsFindingKind kind, std::function<void(TestCard&)> apply,
               const char* mended) {
    return {name, kind, std::move(apply), "vx:\\A.BIN", {}, {mended, "B.BIN", "GAME", "KEEP.BIN"}};
}

// An entry the damage adds to the root and the repair keeps.
Damage added(const char* name, SmfsFindingKind kind, std::function<void(TestCard&)> apply,
             const char* kept) {
    return {name, kind, std::move(apply), "", {}, {"A.BIN", "B.BIN", "GAME", "KEEP.BIN", kept}};
}

using K = SmfsFindingKind;
const Damage kDamages[] = {
    {"StaleBlockCopy", K::DuplicateBlock,
     [](TestCard& image) {
         // KEEP.BIN's block moves to a later free block; an earlier one gets an older version
         // of it (other bytes, sound ECC), which the block map does not read.
         const std::uint32_t spb = sectorsPerBlock();
         const std::size_t blockBytes = std::size_t(spb) * image.layout().recordBytes;
         const std::uint32_t used = physSectorOf(firstCluster("vx:\\KEEP.BIN")) / spb;
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
     }},
    {"BadParityField", K::AddressFieldParity,
     [](TestCard& image) {
         writeField(image, freeBlockFrom(900), kSpareAddr1,
                    std::uint16_t(block_address_field(7) ^ 1));
     }},
    {"FieldOutOfRange", K::AddressOutOfRange,
     [](TestCard& image) {
         std::uint16_t field = std::uint16_t(0x1000 | (1020 << 1));
         if (__builtin_popcount(field) % 2) field |= 1;
         writeField(image, freeBlockFrom(900), kSpareAddr1, field);
     }},
    {"StrayFieldInASector", K::AddressFieldsDiffer,
     [](TestCard& image) {
         image.writeBytes(image.pageOffset(physSectorOf(firstCluster("vx:\\KEEP.BIN")) + 1) + 512 +
                              kSpareAddr2,
                          {0x10, 0x02});
     }},
    {"CorrectableBit", K::EccCorrected,
     [](TestCard& image) {
         flipDataBit(image, physSectorOf(firstCluster("vx:\\KEEP.BIN")), 300, 3);
     }},
    {"DamagedEccCode", K::EccCodeDamaged,
     [](TestCard& image) {
         image.bytes()[image.pageOffset(physSectorOf(firstCluster("vx:\\A.BIN"))) + 512 + 13] ^=
             0x40;
     }},
    {"CrossLink", K::CrossLinked,
     [](TestCard&) {
         setEntry(firstCluster("vx:\\B.BIN"), fat_entry(cs(), firstCluster("vx:\\A.BIN")));
     },
     "vx:\\B.BIN", [](const FileState& b) { EXPECT_EQ(b.bytes, apiPattern(3000, 2)); }},
    {"Loop", K::ChainLoop,
     [](TestCard&) {
         const std::uint32_t c = firstCluster("vx:\\GAME\\C.QXE");
         setEntry(fat_entry(cs(), c), std::uint16_t(c));
     },
     "vx:\\GAME\\C.QXE",
     [](const FileState& c) {
         // The two clusters before the loop stay, with the bytes they held.
         ASSERT_EQ(c.info.size, 2 * fat_cluster_bytes(cs()));
         EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), apiPattern(70000, 3).begin()));
     }},
    {"ChainTooLong", K::ChainTooLong,
     [](TestCard&) {
         const std::uint32_t extra = freeClusterFrom(300);
         fat_set_entry(cs(), firstCluster("vx:\\B.BIN"), std::uint16_t(extra));
         setEntry(extra, kFatEnd);
     }},
    {"ChainTooShort", K::ChainTooShort,
     [](TestCard&) { setEntry(firstCluster("vx:\\A.BIN"), kFatEnd); }, "vx:\\A.BIN",
     [](const FileState& a) {
         ASSERT_EQ(a.info.size, fat_cluster_bytes(cs()));
         EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), apiPattern(40000, 1).begin()));
     }},
    {"ChainIntoFreeCluster", K::ChainFreeCluster,
     [](TestCard&) {
         setEntry(firstCluster("vx:\\GAME\\C.QXE"), std::uint16_t(freeClusterFrom(300)));
     },
     "vx:\\GAME\\C.QXE",
     [](const FileState& c) { EXPECT_EQ(c.info.size, fat_cluster_bytes(cs())); }},
    added(
        "FileOutsideTheDataArea", K::StartClusterInvalid,
        [](TestCard&) { addRaw("WILD    BIN", kAttrArchive, 0xFF0, 10); }, "WILD.BIN"),
    {"WrongParentEntry", K::DirectoryBroken,
     [](TestCard&) {
         // ".." is the second entry of a folder's first cluster.
         const std::uint8_t cluster[2] = {7, 0};
         ASSERT_EQ(cluster_write(cs(), firstCluster("vx:\\GAME"), 32 + kDeCluster, cluster, 2),
                   SmfsResult::Ok);
     }},
    renamed(
        "LowerCaseName", K::BadName, [](TestCard&) { renameRaw("Bbb     TXT"); }, "BBB.TXT"),
    renamed(
        "ControlAndStarBytes", K::BadName, [](TestCard&) { renameRaw("A\x01*     BIN"); },
        "A__.BIN"),
    {"MendedNameTakenGetsNumbered",
     K::BadName,
     [](TestCard&) {
         renameRaw("a       BIN");
         addRaw("A       BIN", 0x20, 0, 0);
     },
     "vx:\\A.BIN",
     {},
     {"FIX00000.BIN", "B.BIN", "GAME", "KEEP.BIN", "A.BIN"}},
    added(
        "ReservedAttributeBits", K::BadFields, [](TestCard&) { addRaw("X       BIN", 0xE0, 0, 0); },
        "X.BIN"),
    added(
        "DateThatDoesNotDecode", K::BadFields,
        [](TestCard&) {
            addRaw("X       BIN", 0x20, 0, 0,
                   [](std::uint8_t* e) { putLe16(e + kDeDate, 13 << 5 | 1); });
        },
        "X.BIN"),
    added(
        "FolderWithSize", K::BadFields,
        [](TestCard&) {
            const std::uint32_t slot = endSlot();
            ASSERT_EQ(api().mkdir("vx:\\DIR", 0), SmfsResult::Ok);
            std::uint8_t size[4];
            putLe32(size, 4096);
            ASSERT_EQ(cluster_write(cs(), kRootCluster, slot * 32 + kDeSize, size, 4),
                      SmfsResult::Ok);
        },
        "DIR"),
    {"DotInTheRoot", K::BadFields, [](TestCard&) { addRaw(".          ", 0x10, 0, 0); }},
    {"GarbageCrossingAFile", K::GarbageEntry,
     [](TestCard&) { addRaw("g       BIN", 0x20, firstCluster("vx:\\A.BIN"), 5000); }},
    added(
        "EmptyFileWithAChain", K::ChainTooLong,
        [](TestCard&) {
            std::uint32_t c = 0;
            ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
            setEntry(c, kFatEnd);
            addRaw("E       BIN", 0x20, c, 0);
        },
        "E.BIN"),
    {"BytesAfterTheEndMarker", K::BytesAfterEnd,
     [](TestCard&) {
         const std::vector<std::uint8_t> junk(32, 0xA0);
         ASSERT_EQ(cluster_write(cs(), kRootCluster, (endSlot() + 1) * 32, junk.data(), 32),
                   SmfsResult::Ok);
     }},
};

class RepairTest : public ::testing::TestWithParam<Damage> {};

TEST_P(RepairTest, FindsTheDamageAndMendsItLeavingOtherFilesAsTheyWere) {
    const Damage& damage = GetParam();
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(40000, 1)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.BIN", apiPattern(3000, 2)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\C.QXE", apiPattern(70000, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\EMPTY.TXT", {}), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.BIN", apiPattern(100000, 4)), SmfsResult::Ok);
    const auto before = files();
    ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(damage.apply(card));
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsCheckReport check;
    ASSERT_EQ(api().check(&check), SmfsResult::Ok);
    EXPECT_TRUE(has(check, damage.kind)) << apiFindingsText(check);
    SmfsRepairReport repair;
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_FALSE(repair.actions.empty());
    EXPECT_TRUE(repair.after.clean()) << apiFindingsText(repair.after);
    EXPECT_EQ(apiList(api(), "vx:\\"), damage.root);

    const auto after = files();
    for (const auto& [path, state] : before) {
        if (path != damage.touched) {
            EXPECT_TRUE(after.at(path) == state) << path << " changed";
        } else if (damage.verify) {
            damage.verify(after.at(path));
        } else {
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiReadFile(api(), "vx:\\" + damage.root[0], &back), SmfsResult::Ok);
            EXPECT_TRUE(back == state.bytes) << "renamed " << path;
        }
    }

    // A second repair has nothing left to write.
    const std::vector<std::uint8_t> repaired = card.bytes();
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_TRUE(repair.actions.empty()) << repair.actions.front();
    EXPECT_TRUE(card.bytes() == repaired);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RepairTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RepairTest, LeavesWhatItCannotMendWithoutLosingData) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOST.BIN", apiPattern(40000, 5)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONLY.BIN", apiPattern(40000, 6)), SmfsResult::Ok);
    // Clusters no entry reaches may belong to a folder in the block kept aside: not freed.
    setEntry(freeClusterFrom(300), kFatEnd);
    // Two bits in one half: the sector's data is gone, and rewriting it would hide that.
    const std::uint32_t lost = physSectorOf(firstCluster("vx:\\LOST.BIN")), spb = sectorsPerBlock();
    flipDataBit(card, lost, 1, 0);
    flipDataBit(card, lost, 2, 0);
    // A broken field on the only copy of a logical block: its sectors still name it, but the
    // other sectors split evenly between two fields, so no majority names the block.
    const std::uint32_t only = physSectorOf(firstCluster("vx:\\ONLY.BIN")) / spb;
    const auto field = std::uint16_t(media_phys_entry(cs(), only) ^ 1);
    writeField(card, only, kSpareAddr1, field);
    writeField(card, only, kSpareAddr2, field);
    const std::uint16_t other = block_address_field(0);
    for (std::uint32_t s = 1; s < spb; ++s)
        card.writeBytes(card.pageOffset(only * spb + s) + 512 + kSpareAddr2,
                        {std::uint8_t(other >> 8), std::uint8_t(other & 0xFF)});
    const std::size_t blockBytes = std::size_t(spb) * card.layout().recordBytes;
    const auto lostBlock = card.readBytes(card.pageOffset(lost / spb * spb), blockBytes);
    const auto onlyBlock = card.readBytes(card.pageOffset(only * spb), blockBytes);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsRepairReport report;
    ASSERT_EQ(api().repair(&report), SmfsResult::Ok);
    for (K kind : {K::EccUncorrectable, K::AddressFieldParity, K::LostClusters})
        EXPECT_TRUE(has(report.after, kind)) << apiFindingsText(report.after);
    EXPECT_EQ(card.readBytes(card.pageOffset(lost / spb * spb), blockBytes), lostBlock);
    EXPECT_EQ(card.readBytes(card.pageOffset(only * spb), blockBytes), onlyBlock);
}

TEST(CheckTest, ReportsABlankCardUnformattedAndCapsEachKindAtAHundred) {
    TestCard blank(4);
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(has(report, K::Unformatted) && has(report, K::CisMissing))
        << apiFindingsText(report);
    EXPECT_FALSE(report.volumeChecked);

    TestCard card(1, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\BIG.BIN", apiPattern(400000, 9)), SmfsResult::Ok);
    // Two flipped bits in the first half of each of the file's first 200 sectors.
    for (std::uint32_t s = 0; s < 200; ++s) {
        const std::uint32_t sector = physSectorOf(firstCluster("vx:\\BIG.BIN") + s / 8) + s % 8;
        flipDataBit(card, sector, 1, 0);
        flipDataBit(card, sector, 2, 0);
    }
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    std::size_t lost = 0;
    for (const SmfsFinding& f : report.findings)
        lost += f.kind == K::EccUncorrectable;
    EXPECT_EQ(lost, 101u) << "100 listed and one summary line";
    EXPECT_NE(report.findings.back().text.find("100 more"), std::string::npos);
}

TEST(EndMarkerTest, AnEntryTakingTheEndMarkerNeverRevivesTheBytesAfterIt) {
    TestCard card(4, true);
    const std::vector<std::uint8_t> junk(32, 0xA0);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, 32, junk.data(), 32), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\NEW.BIN", junk), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"NEW.BIN"}));
}

// The block address field copies of block 0, which holds the boot records.
TEST(AddressFieldTest, OneDamagedCopyIsMendedAndAllDamagedMakeTheCardDamagedNotUnformatted) {
    TestCard card(4, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(5000, 3)), SmfsResult::Ok);
    const std::uint64_t spare =
        card.pageOffset(card.firstSectorOfBlock(media_logical_entry(cs(), 0))) + 512;
    card.bytes()[spare + kSpareAddr1] ^= 0x04;
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(apiReadFile(api(), "vx:\\A.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == apiPattern(5000, 3));
    SmfsRepairReport repair;
    ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
    EXPECT_FALSE(repair.before.clean());
    EXPECT_TRUE(repair.after.clean()) << apiFindingsText(repair.after);
    const std::vector<std::uint8_t> mended =
        card.sectorSpare(card.firstSectorOfBlock(media_logical_entry(cs(), 0)));
    EXPECT_EQ(mended[kSpareAddr1] << 8 | mended[kSpareAddr1 + 1], block_address_field(0));

    // Every copy damaged: nothing tells which logical block it is.
    const std::uint32_t first = card.firstSectorOfBlock(media_logical_entry(cs(), 0));
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s) {
        const std::uint64_t at = card.pageOffset(first + s) + 512;
        card.bytes()[at + kSpareAddr1] ^= 0x04;
        card.bytes()[at + kSpareAddr2] ^= 0x04;
    }
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::uint64_t total = 0, used = 0, free = 0;
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Damaged);
    TestCard blank(4);
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Unformatted);
}

} // namespace
