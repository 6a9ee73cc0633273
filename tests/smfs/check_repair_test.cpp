// SPDX-License-Identifier: MIT
// The check and the repair: a filled card is clean; each kind of damage is found where it
// lies; the repair mends what it can without guessing, leaves the rest as findings, and
// never writes a clean card.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/ecc.h"
#include "smfs/fat.h"
#include "smfs/media.h"

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

// Fills a card with a small tree: two files in the root, a folder with a file.
void fillCard() {
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(40000, 1)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.BIN", apiPattern(3000, 2)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\C.QXE", apiPattern(70000, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\EMPTY.TXT", {}), SmfsResult::Ok);
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

std::vector<std::uint8_t> wholeImage(TestCard& image) {
    return image.readBytes(0, std::size_t(card_image_bytes(image.cardType())));
}

class CheckCleanTest : public ::testing::TestWithParam<int> {};

TEST_P(CheckCleanTest, FilledCardIsCleanAndCounted) {
    TestCard card(GetParam(), true);
    fillCard();
    const SmfsCheckReport report = check();
    EXPECT_TRUE(report.clean()) << apiFindingsText(report);
    EXPECT_TRUE(report.volumeChecked);
    EXPECT_EQ(report.filesChecked, 4u);
    EXPECT_EQ(report.foldersChecked, 2u);
    EXPECT_GT(report.sectorsChecked, 0u);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, CheckCleanTest, ::testing::Values(0, 1, 4, 7),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

TEST(CheckTest, BlankCardIsReportedUnformatted) {
    TestCard card(4);
    const SmfsCheckReport report = check();
    EXPECT_EQ(findingsOf(report, SmfsFindingKind::Unformatted).size(), 1u)
        << apiFindingsText(report);
    EXPECT_EQ(findingsOf(report, SmfsFindingKind::CisMissing).size(), 1u);
    EXPECT_FALSE(report.volumeChecked);
}

// One flipped data bit is corrected, two in one half are not, one in the stored ECC is the
// code's own damage; on 256-byte pages the second half lives in the second page.
class CheckEccTest : public ::testing::TestWithParam<int> {};

TEST_P(CheckEccTest, FlippedBitsAreFoundWhereTheyAre) {
    TestCard card(GetParam(), true);
    fillCard();
    const std::uint32_t a = physSectorOfCluster(firstCluster("vx:\\A.BIN"));
    const std::uint32_t c = physSectorOfCluster(firstCluster("vx:\\GAME\\C.QXE"));
    const std::uint32_t b = physSectorOfCluster(firstCluster("vx:\\B.BIN"));
    flipBit(card, dataOffset(card, a, 300), 3);
    flipBit(card, dataOffset(card, c, 10), 0);
    flipBit(card, dataOffset(card, c, 200), 7);
    // The first ECC byte of the first half (spare bytes 13-15 sit in the second page's spare
    // on 256-byte pages, at 8 + 5).
    const std::uint64_t spare = card.layout().dataBytes == 512
                                    ? card.pageOffset(b) + 512 + 13
                                    : card.pageOffset(2 * b + 1) + 256 + 5;
    flipBit(card, spare, 6);
    const std::vector<std::uint8_t> before = wholeImage(card);

    const SmfsCheckReport report = check();
    const auto corrected = findingsOf(report, SmfsFindingKind::EccCorrected);
    const auto lost = findingsOf(report, SmfsFindingKind::EccUncorrectable);
    const auto code = findingsOf(report, SmfsFindingKind::EccCodeDamaged);
    ASSERT_EQ(corrected.size(), 1u) << apiFindingsText(report);
    EXPECT_EQ(corrected[0].sector, a);
    EXPECT_NE(corrected[0].text.find("second half"), std::string::npos) << corrected[0].text;
    ASSERT_EQ(lost.size(), 1u) << apiFindingsText(report);
    EXPECT_EQ(lost[0].sector, c);
    ASSERT_EQ(code.size(), 1u) << apiFindingsText(report);
    EXPECT_EQ(code[0].sector, b);
    EXPECT_EQ(report.findings.size(), 3u) << apiFindingsText(report);
    EXPECT_EQ(wholeImage(card), before) << "the check wrote to the image";
}

INSTANTIATE_TEST_SUITE_P(PageLayouts, CheckEccTest, ::testing::Values(1, 4),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

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

} // namespace
