// SPDX-License-Identifier: MIT
// Damaged entries and damaged block address fields: what the check reports and what the
// repair leaves. Each case damages a card holding one file, expects one finding kind, and
// after the repair a clean card whose listing holds what the case names and whose file still
// reads back whole.
#include "smfs/dir.h"
#include "smfs/ecc.h"
#include "test_card.h"

#include <common/le_bytes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

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
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info("vx:\\A.BIN", &info), SmfsResult::Ok);
    return info.firstCluster;
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

struct Case {
    const char* name;
    std::function<void()> damage;
    SmfsFindingKind finding;
    std::vector<std::string> listing; // root after the repair
    const char* dataPath;             // where A.BIN's bytes must read back
};

const Case kCases[] = {
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

class EntryRepairTest : public testing::TestWithParam<Case> {};

TEST_P(EntryRepairTest, CheckReportsAndRepairMendsWithoutLosingTheFile) {
    const Case& c = GetParam();
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

INSTANTIATE_TEST_SUITE_P(Damage, EntryRepairTest, testing::ValuesIn(kCases),
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
