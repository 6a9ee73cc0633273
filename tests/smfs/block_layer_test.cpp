// SPDX-License-Identifier: MIT
// The chip and the block layer above it: ECC, page records, the block map, writes, faults.
#include "test_card.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <tuple>

namespace {

const std::vector<std::uint8_t> kErasedSpare(16, 0xFF);

TEST(Ecc, KnownCodesAndEverySingleAndDoubleBitError) {
    std::array<std::uint8_t, 256> d{};
    std::array<std::uint8_t, 3> ecc;
    ecc_compute(d.data(), ecc.data());
    EXPECT_EQ(ecc, (std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF}));
    d[0] = 0x01;
    ecc_compute(d.data(), ecc.data());
    EXPECT_EQ(ecc, (std::array<std::uint8_t, 3>{0xAA, 0xAA, 0xAB}));

    std::mt19937 rng(1);
    for (auto& b : d)
        b = std::uint8_t(rng());
    const auto original = d;
    ecc_compute(original.data(), ecc.data());
    auto flip = [](auto& a, int bit) { a[std::size_t(bit / 8)] ^= std::uint8_t(1 << (bit % 8)); };
    for (int bit = 0; bit < 256 * 8; ++bit) {
        d = original;
        auto stored = ecc; // a flipped bit in the stored code alone is no error in the data
        if (bit < 24) flip(stored, bit);
        ASSERT_EQ(ecc_check(d.data(), stored.data()), SmfsResult::Ok) << "ecc bit " << bit;
        ASSERT_EQ(d, original) << "ecc bit " << bit;
        flip(d, bit);
        ASSERT_EQ(ecc_check(d.data(), ecc.data()), SmfsResult::Ok) << "bit " << bit;
        ASSERT_EQ(d, original) << "bit " << bit;
        const int other = (bit * 37 + 11) % 2048;
        if (other == bit) continue;
        flip(d, bit);
        flip(d, other);
        const auto damaged = d;
        ASSERT_EQ(ecc_check(d.data(), ecc.data()), SmfsResult::EccUncorrectable) << bit;
        ASSERT_EQ(d, damaged);
    }
}

TEST(Ecc, BlockAddressFields) {
    for (const auto& [l, want] :
         {std::pair{0u, 0x1001}, {1u, 0x1002}, {1001u, 0x1002}, {999u, 0x17CF}, {7999u, 0x17CF}}) {
        const std::uint16_t f = block_address_field(l);
        EXPECT_EQ(f, want) << l;
        EXPECT_FALSE(block_address_field_valid(std::uint16_t(f ^ 1))) << l;
        EXPECT_EQ(block_address_field_number(f), l % 1000) << l;
    }
}

// The largest card's last sector needs the fourth address byte; the one past it is refused.
TEST(PageLayout, LastSectorLandsInItsRecordAndThePastEndIsRefused) {
    TestCard card(7);
    const std::uint32_t last = 8192 * 32 - 1;
    const auto data = apiPattern(512, 7), spare = apiPattern(16, 100);
    ASSERT_EQ(smc_write_sector(cs(), last, data.data(), spare.data()), SmfsResult::Ok);
    EXPECT_EQ(card.sectorData(last), data);
    EXPECT_EQ(card.sectorSpare(last), spare);
    EXPECT_EQ(card.sectorSpare(last - 1), kErasedSpare);
    std::vector<std::uint8_t> readData(512), readSpare(16);
    ASSERT_EQ(smc_read_sector_data(cs(), last, readData.data()), SmfsResult::Ok);
    ASSERT_EQ(smc_read_sector_spare(cs(), last, readSpare.data()), SmfsResult::Ok);
    EXPECT_TRUE(readData == data && readSpare == spare);
    EXPECT_EQ(smc_write_sector(cs(), last + 1, data.data(), spare.data()),
              SmfsResult::InvalidArgument);
}

TEST(Identification, MakersAndDeviceCodes) {
    for (const auto& [maker, device, type] : {std::tuple{0xEC, 0x73, 4},
                                              {0x98, 0x73, 4},
                                              {0x98, 0x6B, 2},
                                              {0xEC, 0x64, 1},
                                              {0xEC, 0x00, 0},
                                              {0x12, 0x73, -1},
                                              {0xEC, 0x42, -1}})
        EXPECT_EQ(card_type_from_id(std::uint8_t(maker), std::uint8_t(device)), type) << device;
    const std::uint64_t minimum[] = {1082368,  2163712,  4326400,  8651776,
                                     17302528, 34604032, 69207040, 138413056};
    for (int type = 0; type < kCardTypeCount; ++type)
        EXPECT_EQ(card_image_bytes(type), minimum[type]) << "type " << type;
}

TEST(BadInput, UnknownCardFailsEveryCallAndWritesNothing) {
    for (std::uint8_t header : {std::uint8_t(0x12), std::uint8_t(0xEC)}) {
        TestCard card(4);
        card.writeBytes(0, {header, 0x42});
        (void)api().reset();
        std::vector<std::uint8_t> buffer(528);
        std::uint32_t phys = 0;
        EXPECT_EQ(smc_probe(cs()), SmfsResult::UnknownCard);
        EXPECT_EQ(smc_erase_block(cs(), 0), SmfsResult::UnknownCard);
        EXPECT_EQ(media_find_block(cs(), 0, &phys), SmfsResult::UnknownCard);
        EXPECT_EQ(media_write(cs(), 0, 0, buffer.data(), 512), SmfsResult::UnknownCard);
        EXPECT_EQ(card.readBytes(1024, 528), std::vector<std::uint8_t>(528, 0xFF));
    }
}

// Lengths past a page or its spare are refused; a truncated image reads as erased bytes.
TEST(BadInput, LengthsPastAPageOrSpareAndATruncatedImage) {
    std::vector<std::uint8_t> buffer(600);
    {
        TestCard card(4);
        EXPECT_EQ(smc_read_spare(cs(), 0, buffer.data(), 17), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_spare(cs(), 4, buffer.data(), 13), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_spare(cs(), 4, buffer.data(), 12), SmfsResult::Ok);
        EXPECT_EQ(smc_read_data(cs(), 0, buffer.data(), 529), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_data(cs(), 10, buffer.data(), 519), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_data_upper(cs(), 256, buffer.data(), 265), SmfsResult::InvalidArgument);
        EXPECT_EQ(smc_read_id(cs(), buffer.data(), 1), SmfsResult::InvalidArgument);
    }
    TestCard card(0);
    EXPECT_EQ(smc_read_data_upper(cs(), 256, buffer.data(), 8), SmfsResult::InvalidArgument);
    EXPECT_EQ(smc_read_spare(cs(), 0, buffer.data(), 9), SmfsResult::InvalidArgument);
    EXPECT_EQ(smc_read_data(cs(), 0, buffer.data(), 265), SmfsResult::InvalidArgument);
    TestCard truncated(blankImage(4, kMakerSamsung, 1024 + 2 * 32 * 528));
    std::vector<std::uint8_t> data(512, 0x11), spare(16, 0x22);
    ASSERT_EQ(smc_read_sector_data(cs(), 500, data.data()), SmfsResult::Ok);
    ASSERT_EQ(smc_read_sector_spare(cs(), 500, spare.data()), SmfsResult::Ok);
    EXPECT_EQ(data, std::vector<std::uint8_t>(512, 0xFF));
    EXPECT_EQ(spare, kErasedSpare);
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    EXPECT_EQ(media_phys_entry(cs(), 900), kPhysFree);
    EXPECT_EQ(truncated.bytes().size(), 1024u + 2 * 32 * 528);
}

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
    markBlock(card, 1, 0xFF, kFieldCis);                     // the CIS block is no mapping
    markBlock(card, 2, 0xF0, block_address_field(7));        // retired
    markBlock(card, 4, 0xFE, block_address_field(7));        // one bit off: usable
    markBlock(card, 5, 0xFF, block_address_field(9) ^ 0x01); // wrong parity: ignored
    markBlock(card, 8, 0xFF, block_address_field(3));
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    for (const auto& [phys, entry] :
         {std::pair{0u, kPhysFree}, {1u, kFieldCis}, {2u, kPhysRetired}, {3u, kPhysFree}})
        EXPECT_EQ(media_phys_entry(cs(), phys), entry) << phys;
    for (const auto& [logical, phys] : {std::pair{7u, 4u}, {9u, 0u}, {3u, 8u}, {0u, 0u}})
        EXPECT_EQ(media_logical_entry(cs(), logical), phys) << logical;
    EXPECT_LT(media_cursor(cs()), card.geometry().physBlocks);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, BlockMapPerType, ::testing::Range(0, kCardTypeCount),
                         cardTypeName);

TEST(BlockMap, ZoneWithoutFreeBlockGives12) {
    TestCard card(0); // 256 blocks in one zone
    for (std::uint32_t b = 1; b < 256; ++b)
        markBlock(card, b, 0xF0, 0xFFFF);
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    std::uint32_t phys = 0;
    EXPECT_EQ(media_find_block(cs(), 5, &phys), SmfsResult::NoFreeBlock);
    EXPECT_EQ(media_write(cs(), 5, 0, apiPattern(512, 1).data(), 512), SmfsResult::NoFreeBlock);
}

constexpr std::uint32_t kLogBlock = 5;

// Sectors [0, count) of a copy of kLogBlock, sector s filled with fill + s; torn: the last one
// gets only its first page.
void programCopy(const TestCard& card, std::uint32_t physBlock, std::uint32_t count,
                 std::uint8_t fill, bool torn = false) {
    for (std::uint32_t s = 0; s < count; ++s) {
        std::vector<std::uint8_t> data(512, std::uint8_t(fill + s));
        std::uint8_t spare[16];
        spare_build(data.data(), block_address_field(kLogBlock), spare);
        const std::uint32_t sector = card.firstSectorOfBlock(physBlock) + s;
        ASSERT_EQ(torn && s + 1 == count ? smc_program_page(cs(), sector * 512, data.data(), spare)
                                         : smc_write_sector(cs(), sector, data.data(), spare),
                  SmfsResult::Ok);
    }
}

std::uint8_t firstByteRead(std::uint32_t sectorInBlock) {
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(media_read(cs(), kLogBlock, sectorInBlock * 512, buffer.data(), 512), SmfsResult::Ok);
    return buffer[0];
}

class BlockMapDuplicate : public ::testing::TestWithParam<int> {};

// Of two claims of one logical block the map keeps the whole copy, leaving the loser to the
// next write to erase.
TEST_P(BlockMapDuplicate, TheCopyHoldingEverythingWinsAndTheLoserGoesAtTheNextWrite) {
    const struct {
        const char* what;
        std::uint32_t firstAt, firstSectors; // 0 sectors: all of them
        std::uint32_t copyAt, copyShort;     // sectors short of all: 0 finished
        bool tornCopy;                       // its last sector has only its first page
        std::uint32_t kept;
    } cases[] = {
        {"unfinished copy after the block", 20, 0, 30, 1, false, 20},
        {"unfinished copy before the block", 20, 0, 10, 1, false, 20},
        {"torn last sector", 20, 0, 30, 0, true, 20},
        {"finished copy over blank sectors", 30, 3, 10, 0, false, 10},
        {"finished copy over one sector", 30, 1, 10, 0, false, 10},
        {"two whole blocks: the later", 10, 0, 30, 0, false, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestCard card(GetParam());
        if (c.tornCopy && card.layout().dataBytes != 256) continue;
        const std::uint32_t n = card.geometry().sectorsPerBlock;
        programCopy(card, c.firstAt, c.firstSectors ? c.firstSectors : n, 0x10);
        programCopy(card, c.copyAt, n - c.copyShort, 0x80, c.tornCopy);
        const std::uint32_t loser = c.kept == c.copyAt ? c.firstAt : c.copyAt;
        const std::vector<std::uint8_t> before = card.sectorSpare(card.firstSectorOfBlock(loser));
        ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
        EXPECT_EQ(media_logical_entry(cs(), kLogBlock), c.kept);
        EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(loser)), before);
        EXPECT_TRUE(c.kept != 20 || firstByteRead(n - 1) == 0x10 + n - 1);
        ASSERT_EQ(media_write(cs(), kLogBlock + 1, 0, apiPattern(512, 0x42).data(), 512),
                  SmfsResult::Ok);
        EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(loser)), kErasedSpare);
        EXPECT_EQ(media_phys_entry(cs(), loser), kPhysFree);
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, BlockMapDuplicate, ::testing::Values(1, 4), cardTypeName);

// Bytes under a blank spare are no erased sector: they read the same after a write in place
// beside them and after one that copies the block.
TEST(BlockWrite, BytesUnderABlankSpareStay) {
    TestCard card(4);
    programCopy(card, 20, 1, 0x10);
    const std::vector<std::uint8_t> zeros(512, 0);
    ASSERT_EQ(
        smc_write_sector(cs(), card.firstSectorOfBlock(20) + 3, zeros.data(), kErasedSpare.data()),
        SmfsResult::Ok);
    ASSERT_EQ(media_build_map(cs()), SmfsResult::Ok);
    ASSERT_EQ(media_write(cs(), kLogBlock, 3 * 512, apiPattern(100, 1).data(), 100),
              SmfsResult::Ok);
    ASSERT_EQ(media_write(cs(), kLogBlock, 0, apiPattern(512, 2).data(), 512), SmfsResult::Ok);
    std::vector<std::uint8_t> back(512);
    EXPECT_EQ(media_read(cs(), kLogBlock, 3 * 512, back.data(), 512), SmfsResult::Ok);
    std::vector<std::uint8_t> want = apiPattern(100, 1);
    want.resize(512, 0);
    EXPECT_EQ(back, want);
}

class Faults : public ::testing::TestWithParam<int> {};

TEST_P(Faults, ProgramFailureRetiresTheBlockAndTheDataMoves) {
    TestCard card(GetParam());
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    const std::uint32_t pagesPerSector = card.layout().dataBytes == 256 ? 2 : 1;
    std::uint32_t previous = 0;
    ASSERT_EQ(media_assign_block(cs(), 6, &previous), SmfsResult::Ok);
    const auto head = apiPattern(1024, 1), more = apiPattern(512, 2);
    ASSERT_EQ(media_write_sectors(cs(), 6, 0, head.data(), 1024), SmfsResult::Ok);
    const std::uint32_t bad = media_logical_entry(cs(), 6);
    int failures = 1;
    chip_set_fault_hook(cs(), [&](ChipOp op, std::uint32_t page) {
        const bool hit = op == ChipOp::Program && page / pagesPerSector == bad * spb + 2;
        return hit && failures-- > 0 ? ChipFault::Fail : ChipFault::None;
    });
    ASSERT_EQ(media_write(cs(), 6, 1024, more.data(), 512), SmfsResult::Ok);
    chip_set_fault_hook(cs(), nullptr);
    EXPECT_NE(media_logical_entry(cs(), 6), bad);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(bad))[kSpareBlockStatus], kBlockRetired);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(media_phys_entry(cs(), bad), kPhysRetired);
        std::vector<std::uint8_t> back(1536);
        ASSERT_EQ(media_read(cs(), 6, 0, back.data(), 1536), SmfsResult::Ok);
        EXPECT_TRUE(std::equal(head.begin(), head.end(), back.begin()));
        EXPECT_TRUE(std::equal(more.begin(), more.end(), back.begin() + 1024));
        (void)api().reset();
    }
}

INSTANTIATE_TEST_SUITE_P(CardTypes, Faults, ::testing::Values(1, 4), cardTypeName);

} // namespace
