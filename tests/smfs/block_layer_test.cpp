// SPDX-License-Identifier: MIT
// The block layer and the chip below it: the map built from spare areas, allocation, reads
// with ECC, writes in place and by copy on write, blocks claimed twice after a cut copy,
// chip failures, and the chip's block cache within a session.
#include "test_card.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(seed + i * 7);
    return v;
}

// ---- The map built from spare areas, allocation and reads with ECC ----

// Programs the first sector of a physical block with the given status and field bytes.
void markBlock(const TestCard& card, std::uint32_t physBlock, std::uint8_t status,
               std::uint16_t field) {
    std::vector<std::uint8_t> data(512, 0xFF), spare(16, 0xFF);
    spare[kSpareBlockStatus] = status;
    spare[kSpareAddr1] = std::uint8_t(field >> 8);
    spare[kSpareAddr1 + 1] = std::uint8_t(field);
    ASSERT_EQ(smc_write_sector(cs(), card.firstSectorOfBlock(physBlock), data.data(), spare.data()),
              SmfsResult::Ok);
}

class BlockMapPerType : public ::testing::TestWithParam<int> {};

TEST_P(BlockMapPerType, BuiltFromSpareAreas) {
    TestCard card(GetParam());
    std::uint32_t phys = card.geometry().physBlocks;
    markBlock(card, 1, 0xFF, kFieldCis);                     // the CIS block is no mapping
    markBlock(card, 2, 0xF0, block_address_field(7));        // retired
    markBlock(card, 4, 0xFE, block_address_field(7));        // one bit off: usable
    markBlock(card, 5, 0xFF, block_address_field(9) ^ 0x01); // wrong parity: ignored
    markBlock(card, 6, 0xFF, block_address_field(3));
    markBlock(card, 8, 0xFF, block_address_field(3)); // duplicate: the later block wins
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);

    EXPECT_EQ(media_phys_entry(cs(), 0), kPhysFree);
    EXPECT_EQ(media_phys_entry(cs(), 1), kFieldCis);
    EXPECT_EQ(media_phys_entry(cs(), 2), kPhysRetired);
    EXPECT_EQ(media_phys_entry(cs(), 3), kPhysFree);
    EXPECT_EQ(media_logical_entry(cs(), 7), 4u);
    EXPECT_EQ(media_logical_entry(cs(), 9), 0u);
    EXPECT_EQ(media_logical_entry(cs(), 3), 8u);
    EXPECT_EQ(media_logical_entry(cs(), 0), 0u);
    EXPECT_EQ(media_phys_entry(cs(), phys - 1), kPhysFree);
    EXPECT_LT(media_cursor(cs()), phys);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, BlockMapPerType, ::testing::Range(0, kCardTypeCount),
                         cardTypeName);

TEST(BlockMap, ZoneWithoutFreeBlockGives12) {
    TestCard card(0); // 256 blocks in one zone
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    for (std::uint32_t b = 1; b < 256; ++b)
        markBlock(card, b, 0xF0, 0xFFFF);
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    std::uint32_t phys = 0;
    EXPECT_EQ(media_find_block(cs(), 5, &phys), SmfsResult::NoFreeBlock);
    std::vector<std::uint8_t> data(512, 1);
    EXPECT_EQ(media_write(cs(), 5, 0, data.data(), 512), SmfsResult::NoFreeBlock);
}

TEST(BlockRead, EccCorrectsOneBitAndReportsTwo) {
    TestCard card(4);
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 13);
    ASSERT_EQ(media_write(cs(), 9, 0, data.data(), 1024), SmfsResult::Ok);
    std::uint32_t phys = media_logical_entry(cs(), 9);
    std::uint64_t sector0 = card.pageOffset(card.firstSectorOfBlock(phys));

    // One flipped bit in the second half of sector 0: corrected on a whole-sector read.
    auto byte = card.readBytes(sector0 + 300, 1);
    card.writeBytes(sector0 + 300, {std::uint8_t(byte[0] ^ 0x10)});
    std::vector<std::uint8_t> back(1024);
    ASSERT_EQ(media_read(cs(), 9, 0, back.data(), 1024), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    // Partial reads are not checked: they see the flipped bit.
    std::vector<std::uint8_t> part(100);
    ASSERT_EQ(media_read(cs(), 9, 290, part.data(), 100), SmfsResult::Ok);
    EXPECT_EQ(part[10], std::uint8_t(data[300] ^ 0x10));

    // A second flipped bit in the same half: reported, and the data is delivered as read.
    card.writeBytes(sector0 + 301, {std::uint8_t(data[301] ^ 0x01)});
    EXPECT_EQ(media_read(cs(), 9, 0, back.data(), 1024), SmfsResult::EccUncorrectable);
    EXPECT_EQ(back[301], std::uint8_t(data[301] ^ 0x01));
    EXPECT_TRUE(std::equal(data.begin() + 512, data.end(), back.begin() + 512));
}

// ---- First writes leave untouched sectors blank, so later writes go in place ----

class BlankSectorWrite : public ::testing::TestWithParam<int> {};

TEST_P(BlankSectorWrite, LaterWritesIntoBlankSectorsGoInPlace) {
    TestCard card(GetParam());
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    const std::uint64_t pagesPerSector = card.layout().dataBytes == 256 ? 2 : 1;
    const auto first = bytes(1024, 1);
    const auto second = bytes(1400, 2);

    chip_reset_counters(cs());
    ASSERT_EQ(media_write(cs(), 5, 0, first.data(), 1024), SmfsResult::Ok);
    const ChipCounters fresh = chip_counters(cs());
    EXPECT_EQ(fresh.blockErases, 1u);
    EXPECT_EQ(fresh.pagePrograms, 2 * pagesPerSector);
    const std::uint32_t phys = media_logical_entry(cs(), 5);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(phys) + 2),
              std::vector<std::uint8_t>(16, 0xFF));

    // Sectors 2 to 4: no erase, no move, only their own programs.
    chip_reset_counters(cs());
    ASSERT_EQ(media_write(cs(), 5, 1100, second.data(), 1400), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(cs(), 5), phys);
    EXPECT_EQ(chip_counters(cs()).blockErases, 0u);
    EXPECT_EQ(chip_counters(cs()).pagePrograms, 3 * pagesPerSector);

    std::vector<std::uint8_t> expect(spb * 512, 0xFF);
    std::copy(first.begin(), first.end(), expect.begin());
    std::copy(second.begin(), second.end(), expect.begin() + 1100);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::uint8_t> back(expect.size());
        ASSERT_EQ(media_read(cs(), 5, 0, back.data(), std::uint32_t(back.size())), SmfsResult::Ok);
        EXPECT_EQ(back, expect) << "pass " << pass;
        // The second pass reads what the map rebuilt from the card finds.
        (void)api().reset();
    }
}

INSTANTIATE_TEST_SUITE_P(CardTypes, BlankSectorWrite, ::testing::Values(1, 4), cardTypeName);

// ---- Copy on write, completing blocks, the sector buffer pool ----

class CopyOnWrite : public ::testing::TestWithParam<int> {};

TEST_P(CopyOnWrite, RewriteMovesTheBlockAndKeepsOldSectors) {
    TestCard card(GetParam());
    std::uint32_t blockBytes = card.geometry().sectorsPerBlock * 512;
    auto first = bytes(512, 1);
    auto second = bytes(700, 2);
    // A mapped block with only its first sector programmed, as format leaves them.
    std::uint32_t previous = 99;
    ASSERT_EQ(media_assign_block(cs(), 4, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 0u);
    ASSERT_EQ(media_write_sectors(cs(), 4, 0, first.data(), 512), SmfsResult::Ok);
    std::uint32_t oldPhys = media_logical_entry(cs(), 4);
    ASSERT_NE(oldPhys, 0u);
    // Into blank sectors 1 and 2 of the mapped block: in place.
    ASSERT_EQ(media_write(cs(), 4, 600, second.data(), 700), SmfsResult::Ok);
    EXPECT_EQ(media_logical_entry(cs(), 4), oldPhys);

    // Sector 0 again: the block moves.
    auto third = bytes(50, 3);
    ASSERT_EQ(media_write(cs(), 4, 100, third.data(), 50), SmfsResult::Ok);
    std::uint32_t newPhys = media_logical_entry(cs(), 4);
    EXPECT_NE(newPhys, oldPhys);
    EXPECT_EQ(media_phys_entry(cs(), oldPhys), kPhysFree);
    EXPECT_EQ(media_phys_entry(cs(), newPhys), block_address_field(4));
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(oldPhys)),
              std::vector<std::uint8_t>(16, 0xFF));
    // Every sector of the new block is programmed.
    for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s)
        EXPECT_NE(card.sectorSpare(card.firstSectorOfBlock(newPhys) + s),
                  std::vector<std::uint8_t>(16, 0xFF));

    std::vector<std::uint8_t> expect(blockBytes, 0xFF);
    std::copy(first.begin(), first.end(), expect.begin());
    std::copy(second.begin(), second.end(), expect.begin() + 600);
    std::copy(third.begin(), third.end(), expect.begin() + 100);
    // Read again from a map rebuilt from the card.
    (void)api().reset();
    std::vector<std::uint8_t> back(1300);
    ASSERT_EQ(media_read(cs(), 4, 0, back.data(), 1300), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expect.begin()));
    EXPECT_EQ(media_logical_entry(cs(), 4), newPhys);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, CopyOnWrite, ::testing::Values(0, 1, 4, 7), cardTypeName);

// ---- Two blocks claiming one logical block, as a cut copy on write leaves them ----

constexpr std::uint32_t kLogBlock = 5;

// Programs sectors [0, count) of a physical block for kLogBlock, sector s filled with
// fill + s. With torn set the last of them gets only its first page (256-byte pages).
void programCopy(const TestCard& card, std::uint32_t physBlock, std::uint32_t count,
                 std::uint8_t fill, bool torn = false) {
    const std::uint16_t field = block_address_field(kLogBlock);
    for (std::uint32_t s = 0; s < count; ++s) {
        std::vector<std::uint8_t> data(512, std::uint8_t(fill + s));
        std::uint8_t spare[16];
        spare_build(data.data(), field, spare);
        const std::uint32_t sector = card.firstSectorOfBlock(physBlock) + s;
        if (torn && s + 1 == count) {
            ASSERT_EQ(smc_program_page(cs(), sector * 512, data.data(), spare), SmfsResult::Ok);
        } else {
            ASSERT_EQ(smc_write_sector(cs(), sector, data.data(), spare), SmfsResult::Ok);
        }
    }
}

std::uint8_t firstByteRead(std::uint32_t sectorInBlock) {
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(media_read(cs(), kLogBlock, sectorInBlock * 512, buffer.data(), 512), SmfsResult::Ok);
    return buffer[0];
}

class BlockMapDuplicate : public ::testing::TestWithParam<int> {};

// Which of two claims of one logical block the map keeps: the copy that holds everything.
TEST_P(BlockMapDuplicate, TheCopyHoldingEverythingWins) {
    struct Case {
        const char* what;
        std::uint32_t firstAt, firstSectors; // 0 sectors: all of them
        std::uint32_t copyAt, copySectors;   // 0: all; a count short of all: unfinished
        bool tornCopy;                       // its last sector has only its first page
        std::uint32_t kept;
    };
    const Case cases[] = {
        {"unfinished copy after the block", 20, 0, 30, 1, false, 20},
        {"unfinished copy before the block", 20, 0, 10, 1, false, 20},
        {"torn last sector", 20, 0, 30, 0, true, 20},
        {"finished copy over blank sectors", 30, 3, 10, 0, false, 10},
        {"two whole blocks: the later", 10, 0, 30, 0, false, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestCard card(GetParam());
        if (c.tornCopy && card.layout().dataBytes != 256) continue;
        const std::uint32_t n = card.geometry().sectorsPerBlock;
        programCopy(card, c.firstAt, c.firstSectors ? c.firstSectors : n, 0x10);
        const std::uint32_t copy = c.copySectors == 0 ? n : n - c.copySectors;
        programCopy(card, c.copyAt, copy, 0x80, c.tornCopy);
        ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
        EXPECT_EQ(media_logical_entry(cs(), kLogBlock), c.kept);
        if (c.kept == 20) {
            EXPECT_EQ(firstByteRead(n - 1), 0x10 + n - 1);
        }
    }
}

TEST_P(BlockMapDuplicate, LoserIsErasedAtTheNextWriteNotByTheBuild) {
    TestCard card(GetParam());
    const std::uint32_t n = card.geometry().sectorsPerBlock;
    programCopy(card, 20, n, 0x10);
    programCopy(card, 30, 2, 0x80);
    const std::uint32_t loserSector = card.firstSectorOfBlock(30);
    const std::vector<std::uint8_t> before = card.sectorSpare(loserSector);

    // Building the map (a read-only check does) leaves the card as it is.
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    EXPECT_EQ(card.sectorSpare(loserSector), before);
    EXPECT_EQ(media_phys_entry(cs(), 30), block_address_field(kLogBlock));

    std::vector<std::uint8_t> data(512, 0x42);
    ASSERT_EQ(media_write(cs(), kLogBlock + 1, 0, data.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(card.sectorSpare(loserSector), std::vector<std::uint8_t>(16, 0xFF));
    EXPECT_EQ(media_phys_entry(cs(), 30), kPhysFree);

    // Copying the kept block later leaves one claim, whatever the cursor picks.
    ASSERT_EQ(media_write(cs(), kLogBlock, 0, data.data(), 512), SmfsResult::Ok);
    (void)api().reset();
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    EXPECT_EQ(firstByteRead(0), 0x42);
    EXPECT_EQ(firstByteRead(n - 1), 0x10 + n - 1);
}

INSTANTIATE_TEST_SUITE_P(Cards, BlockMapDuplicate, ::testing::Values(1, 4), cardTypeName);

// ---- Chip failures: relocation, retiring, time-outs ----

class Faults : public ::testing::TestWithParam<int> {};

TEST_P(Faults, ProgramFailureRelocatesAndDataSurvives) {
    TestCard card(GetParam());
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    // A mapped block holding sectors 0 and 1; the third sector will fail to program.
    std::uint32_t previous = 0;
    ASSERT_EQ(media_assign_block(cs(), 6, &previous), SmfsResult::Ok);
    auto head = bytes(1024, 1);
    ASSERT_EQ(media_write_sectors(cs(), 6, 0, head.data(), 1024), SmfsResult::Ok);
    std::uint32_t bad = media_logical_entry(cs(), 6);
    int failures = 1;
    chip_set_fault_hook(cs(), [&](ChipOp op, std::uint32_t page) {
        std::uint32_t pagesPerSector = card.layout().dataBytes == 256 ? 2 : 1;
        if (op == ChipOp::Program && page / pagesPerSector == bad * spb + 2 && failures > 0) {
            --failures;
            return ChipFault::Fail;
        }
        return ChipFault::None;
    });
    auto more = bytes(512, 2);
    ASSERT_EQ(media_write(cs(), 6, 1024, more.data(), 512), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);

    std::uint32_t moved = media_logical_entry(cs(), 6);
    EXPECT_NE(moved, bad);
    EXPECT_EQ(media_phys_entry(cs(), bad), kPhysRetired);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(bad))[kSpareBlockStatus], kBlockRetired);
    std::vector<std::uint8_t> back(1536);
    ASSERT_EQ(media_read(cs(), 6, 0, back.data(), 1536), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), back.begin()));
    EXPECT_TRUE(std::equal(more.begin(), more.end(), back.begin() + 1024));

    // After a remount the retired block stays out and the data is still there.
    (void)api().reset();
    ASSERT_EQ(media_read(cs(), 6, 0, back.data(), 1536), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(more.begin(), more.end(), back.begin() + 1024));
    EXPECT_EQ(media_phys_entry(cs(), bad), kPhysRetired);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, Faults, ::testing::Values(1, 4), cardTypeName);

TEST(Faults, FailedRewriteKeepsTheOldMapping) {
    TestCard card(0);
    auto data = bytes(512, 4);
    ASSERT_EQ(media_write(cs(), 2, 0, data.data(), 512), SmfsResult::Ok);
    std::uint32_t phys = media_logical_entry(cs(), 2);
    chip_set_fault_hook(cs(), [](ChipOp op, std::uint32_t) {
        return op == ChipOp::Erase ? ChipFault::Timeout : ChipFault::None;
    });
    auto other = bytes(512, 5);
    EXPECT_EQ(media_write(cs(), 2, 0, other.data(), 512), SmfsResult::StatusTimeout);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_EQ(media_logical_entry(cs(), 2), phys);
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read(cs(), 2, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
}

// ---- The chip's block cache within a session ----

std::vector<std::uint8_t> readBlock(std::uint32_t logBlock, std::uint32_t lengthBytes) {
    std::vector<std::uint8_t> back(lengthBytes);
    EXPECT_EQ(media_read(cs(), logBlock, 0, back.data(), lengthBytes), SmfsResult::Ok);
    return back;
}

TEST(BlockCache, ReadsInASessionSeeItsProgramsAndErases) {
    TestCard card(4);
    const auto a = bytes(1024, 1);
    const auto b = bytes(512, 2);
    ChipSession session(cs());
    ASSERT_EQ(media_write(cs(), 3, 0, a.data(), 1024), SmfsResult::Ok);
    EXPECT_EQ(readBlock(3, 1024), a);
    // A copy on write: the new block is read back, and the old one reads erased.
    const std::uint32_t old = media_logical_entry(cs(), 3);
    ASSERT_EQ(media_write(cs(), 3, 0, b.data(), 512), SmfsResult::Ok);
    ASSERT_NE(media_logical_entry(cs(), 3), old);
    auto expect = a;
    std::copy(b.begin(), b.end(), expect.begin());
    EXPECT_EQ(readBlock(3, 1024), expect);
    std::vector<std::uint8_t> spare(16);
    ASSERT_EQ(smc_read_sector_spare(cs(), card.firstSectorOfBlock(old), spare.data()),
              SmfsResult::Ok);
    EXPECT_EQ(spare, std::vector<std::uint8_t>(16, 0xFF));
    // The image file already holds the new block.
    EXPECT_EQ(card.sectorData(card.firstSectorOfBlock(media_logical_entry(cs(), 3))),
              std::vector<std::uint8_t>(b.begin(), b.end()));
}

} // namespace
