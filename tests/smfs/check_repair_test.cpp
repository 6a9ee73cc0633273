// SPDX-License-Identifier: MIT
// The check and the repair. Each case damages a card holding a few files and a folder: the
// check must find it, the repair must leave a clean card, every file the damage did not reach
// as it was (bytes and entry) and the one it reached mended without guessing, and a second
// repair nothing to write. What cannot be mended safely stays as findings, bytes untouched.
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

// Every card here is a 16 MB one (512-byte pages).
const std::uint32_t kSpb = card_geometry(4).sectorsPerBlock;

// The physical sector holding the first byte of a cluster.
std::uint32_t physSectorOf(std::uint32_t cluster) {
    EXPECT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    const FatVolume& v = *fat_volume(cs());
    const std::uint32_t logical = v.dataStart + (cluster - 2) * v.sectorsPerCluster;
    return media_logical_entry(cs(), logical / kSpb) * kSpb + logical % kSpb;
}

// The first free physical block, or FAT cluster, from `from` on.
std::uint32_t freeFrom(std::uint32_t from, bool block) {
    while (block ? media_phys_entry(cs(), from) != kPhysFree : fat_entry(cs(), from) != kFatFree)
        ++from;
    return from;
}

void writeField(TestCard& image, std::uint32_t physBlock, std::size_t at, std::uint16_t field) {
    image.writeBytes(image.pageOffset(physBlock * kSpb) + 512 + at,
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
            std::uint16_t date = (44 << 9) | (5 << 5) | 17) {
    std::uint8_t e[32] = {};
    std::memcpy(e, name11, 11);
    e[kDeAttr] = attr;
    putLe16(e + kDeDate, date);
    putLe16(e + kDeCluster, std::uint16_t(cluster));
    putLe32(e + kDeSize, size);
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

// A.BIN renamed by the damage, under the name the repair gives it (and an entry added).
Damage renamed(const char* name, std::function<void(TestCard&)> apply, const char* mended,
               std::vector<std::string> added = {}) {
    added.insert(added.begin(), {mended, "B.BIN", "GAME", "KEEP.BIN"});
    return {name, SmfsFindingKind::BadName, std::move(apply), "vx:\\A.BIN", {}, added};
}

// XORs mask into byte `at` (the spare area from 512 on) of the first physical sector of a
// file, or of block 0 (the boot records) for none.
std::function<void(TestCard&)> flip(const char* path, std::size_t at, std::uint8_t mask) {
    return [=](TestCard& image) {
        const std::uint32_t s =
            path ? physSectorOf(firstCluster(path)) : media_logical_entry(cs(), 0) * kSpb;
        image.bytes()[image.pageOffset(s) + at] ^= mask;
    };
}

// Writes bytes into GAME's first cluster, whose slot 0 is "." and slot 1 "..".
std::function<void(TestCard&)> gameBytes(std::uint32_t at, std::vector<std::uint8_t> bytes) {
    return [=](TestCard&) {
        ASSERT_EQ(cluster_write(cs(), firstCluster("vx:\\GAME"), at, bytes.data(),
                                std::uint32_t(bytes.size())),
                  SmfsResult::Ok);
    };
}

// Gives a free block a first address field.
std::function<void(TestCard&)> freeBlockField(std::uint16_t field) {
    return [=](TestCard& image) { writeField(image, freeFrom(900, true), kSpareAddr1, field); };
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
         const std::size_t blockBytes = std::size_t(kSpb) * image.layout().recordBytes;
         const std::uint32_t used = physSectorOf(firstCluster("vx:\\KEEP.BIN")) / kSpb;
         const std::uint32_t stale = freeFrom(1, true);
         const std::uint32_t moved = freeFrom(std::max(stale, used) + 1, true);
         auto bytes = image.readBytes(image.pageOffset(used * kSpb), blockBytes);
         image.writeBytes(image.pageOffset(moved * kSpb), bytes);
         image.writeBytes(image.pageOffset(used * kSpb),
                          std::vector<std::uint8_t>(blockBytes, 0xFF));
         for (std::uint32_t i = 0; i < 256; ++i)
             bytes[i] = std::uint8_t(~bytes[i]);
         ecc_compute(bytes.data(), bytes.data() + 512 + kSpareEccLow);
         image.writeBytes(image.pageOffset(stale * kSpb), bytes);
     }},
    {"BadParityField", K::AddressFieldParity, freeBlockField(block_address_field(7) ^ 1)},
    {"FieldOutOfRange", K::AddressOutOfRange, freeBlockField(0x17F9)}, // block 1020, even parity
    {"StrayFieldInASector", K::AddressFieldsDiffer,
     [](TestCard& image) {
         image.writeBytes(image.pageOffset(physSectorOf(firstCluster("vx:\\KEEP.BIN")) + 1) + 512 +
                              kSpareAddr2,
                          {0x10, 0x02});
     }},
    {"CorrectableBit", K::EccCorrected, flip("vx:\\KEEP.BIN", 300, 8)},
    {"DamagedEccCode", K::EccCodeDamaged, flip("vx:\\A.BIN", 512 + 13, 0x40)},
    {"BootBlockFieldCopy", K::AddressFieldsDiffer, flip(nullptr, 512 + kSpareAddr1, 0x04)},
    {"CrossLink", K::CrossLinked,
     [](TestCard&) {
         setEntry(firstCluster("vx:\\B.BIN"), fat_entry(cs(), firstCluster("vx:\\A.BIN")));
     },
     "vx:\\B.BIN", [](const FileState& b) { EXPECT_EQ(b.bytes, apiPattern(3000, 2)); }},
    {"CrossLinkFromAShortChain", K::CrossLinked,
     [](TestCard&) {
         // A.BIN, listed first, is damaged to run into KEEP.BIN's last cluster.
         std::uint32_t last = firstCluster("vx:\\KEEP.BIN");
         while (fat_entry(cs(), last) != kFatEnd)
             last = fat_entry(cs(), last);
         setEntry(firstCluster("vx:\\A.BIN"), std::uint16_t(last));
     },
     "vx:\\A.BIN",
     [](const FileState& a) {
         ASSERT_EQ(a.info.size, fat_cluster_bytes(cs()));
         EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), apiPattern(40000, 1).begin()));
     }},
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
         const std::uint32_t extra = freeFrom(300, false);
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
         setEntry(firstCluster("vx:\\GAME\\C.QXE"), std::uint16_t(freeFrom(300, false)));
     },
     "vx:\\GAME\\C.QXE",
     [](const FileState& c) { EXPECT_EQ(c.info.size, fat_cluster_bytes(cs())); }},
    added(
        "FileOutsideTheDataArea", K::StartClusterInvalid,
        [](TestCard&) { addRaw("WILD    BIN", kAttrArchive, 0xFF0, 10); }, "WILD.BIN"),
    {"WrongParentEntry", K::DirectoryBroken, gameBytes(32 + kDeCluster, {7, 0})},
    {"DotNoFolder", K::BadFields, gameBytes(kDeAttr, {kAttrArchive})},
    {"DotUnderAnotherName", K::BadFields, gameBytes(0, {'X'})},
    {"DotDeleted", K::BadFields, gameBytes(0, {kEntryDeleted})},
    {"DotDotAsLongNamePiece", K::BadFields, gameBytes(32 + kDeAttr, {kAttrLongName})},
    renamed(
        "LowerCaseName", [](TestCard&) { renameRaw("Bbb     TXT"); }, "BBB.TXT"),
    renamed("MendedNameTakenGetsNumbered",
            [](TestCard&) {
                renameRaw("a       BIN");
                addRaw("A       BIN", 0x20, 0, 0);
            },
            "FIX00000.BIN", {"A.BIN"}),
    added(
        "ReservedAttributeBits", K::BadFields, [](TestCard&) { addRaw("X       BIN", 0xE0, 0, 0); },
        "X.BIN"),
    added(
        "DateThatDoesNotDecode", K::BadFields,
        [](TestCard&) { addRaw("X       BIN", 0x20, 0, 0, 13 << 5 | 1); }, "X.BIN"),
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
    {"LabelBitOnAFile", K::BadFields,
     [](TestCard&) {
         const std::uint8_t attr = kAttrArchive | kAttrVolume; // A.BIN is the first root entry
         ASSERT_EQ(cluster_write(cs(), kRootCluster, kDeAttr, &attr, 1), SmfsResult::Ok);
     },
     "vx:\\A.BIN"},
    {"AttributeByteOfAll", K::BadFields,
     [](TestCard&) {
         const std::uint8_t attr = 0xFF;
         ASSERT_EQ(cluster_write(cs(), kRootCluster, kDeAttr, &attr, 1), SmfsResult::Ok);
     },
     "vx:\\A.BIN"},
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
    std::uint8_t dots[64];
    ASSERT_EQ(cluster_read(cs(), firstCluster("vx:\\GAME"), 0, dots, 64), SmfsResult::Ok);
    EXPECT_TRUE(std::memcmp(dots, ".          \x10", 12) == 0 &&
                std::memcmp(dots + 32, "..         \x10", 12) == 0);

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
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOST.BIN", apiPattern(400000, 5)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONLY.BIN", apiPattern(40000, 6)), SmfsResult::Ok);
    // Clusters no entry reaches may belong to a folder in the block kept aside: not freed.
    setEntry(freeFrom(300, false), kFatEnd);
    // Two bits in one half of each of LOST.BIN's first 200 sectors: their data is gone, and
    // rewriting them would hide that. The report lists a hundred and counts the rest.
    const std::uint32_t spc = fat_volume(cs())->sectorsPerCluster;
    const std::uint32_t lost = physSectorOf(firstCluster("vx:\\LOST.BIN"));
    for (std::uint32_t s = 0; s < 200; ++s) {
        const std::uint64_t at =
            card.pageOffset(physSectorOf(firstCluster("vx:\\LOST.BIN") + s / spc) + s % spc);
        card.bytes()[at + 1] ^= 1;
        card.bytes()[at + 2] ^= 1;
    }
    // A broken field on the only copy of a logical block: its sectors still name it, but the
    // other sectors split evenly between two fields, so no majority names the block.
    const std::uint32_t only = physSectorOf(firstCluster("vx:\\ONLY.BIN")) / kSpb;
    const auto field = std::uint16_t(media_phys_entry(cs(), only) ^ 1);
    writeField(card, only, kSpareAddr1, field);
    writeField(card, only, kSpareAddr2, field);
    const std::uint16_t other = block_address_field(0);
    for (std::uint32_t s = 1; s < kSpb; ++s)
        card.writeBytes(card.pageOffset(only * kSpb + s) + 512 + kSpareAddr2,
                        {std::uint8_t(other >> 8), std::uint8_t(other & 0xFF)});
    const std::size_t blockBytes = std::size_t(kSpb) * card.layout().recordBytes;
    const auto lostBlock = card.readBytes(card.pageOffset(lost / kSpb * kSpb), blockBytes);
    const auto onlyBlock = card.readBytes(card.pageOffset(only * kSpb), blockBytes);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);

    SmfsRepairReport report;
    ASSERT_EQ(api().repair(&report), SmfsResult::Ok);
    for (K kind : {K::AddressFieldParity, K::LostClusters})
        EXPECT_TRUE(has(report.after, kind)) << apiFindingsText(report.after);
    EXPECT_EQ(std::count_if(report.after.findings.begin(), report.after.findings.end(),
                            [](const SmfsFinding& f) { return f.kind == K::EccUncorrectable; }),
              101)
        << "100 listed and one summary line";
    EXPECT_NE(report.after.findings.back().text.find("100 more"), std::string::npos);
    EXPECT_EQ(card.readBytes(card.pageOffset(lost / kSpb * kSpb), blockBytes), lostBlock);
    EXPECT_EQ(card.readBytes(card.pageOffset(only * kSpb), blockBytes), onlyBlock);
}

TEST(EndMarkerTest, AnEntryTakingTheEndMarkerNeverRevivesTheBytesAfterIt) {
    TestCard card(4, true);
    const std::vector<std::uint8_t> junk(32, 0xA0);
    ASSERT_EQ(cluster_write(cs(), kRootCluster, 32, junk.data(), 32), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\NEW.BIN", junk), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"NEW.BIN"}));
}

// A card whose block 0 (the boot records) no address field names is damaged, not blank.
TEST(CheckTest, BlankCardIsUnformattedAndOneWithoutItsBootBlockDamaged) {
    TestCard blank(4);
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(has(report, K::Unformatted) && has(report, K::CisMissing))
        << apiFindingsText(report);
    EXPECT_FALSE(report.volumeChecked);

    TestCard card(4, true);
    const std::uint32_t first = card.firstSectorOfBlock(media_logical_entry(cs(), 0));
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s) {
        const std::uint64_t at = card.pageOffset(first + s) + 512;
        card.bytes()[at + kSpareAddr1] ^= 0x04;
        card.bytes()[at + kSpareAddr2] ^= 0x04;
    }
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::uint64_t total = 0, used = 0, free = 0;
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Damaged);
}

} // namespace
