// Chip failures through the fault seam: relocation on program failure, retiring on erase
// failure, status time-outs, and a failing image stream.
#include "card_image.h"

#include "smfs/ecc.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(seed ^ (i * 5));
    return v;
}

class Faults : public ::testing::TestWithParam<int> {};

TEST_P(Faults, ProgramFailureRelocatesAndDataSurvives) {
    CardImage card(GetParam());
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    // A mapped block holding sectors 0 and 1; the third sector will fail to program.
    std::uint32_t previous = 0;
    ASSERT_EQ(media_assign_block(0, 6, &previous), SmfsResult::Ok);
    auto head = bytes(1024, 1);
    ASSERT_EQ(media_write_sectors(0, 6, 0, head.data(), 1024), SmfsResult::Ok);
    std::uint32_t bad = media_logical_entry(6);
    int failures = 1;
    chip_set_fault_hook([&](ChipOp op, std::uint32_t page) {
        std::uint32_t pagesPerSector = card.layout().dataBytes == 256 ? 2 : 1;
        if (op == ChipOp::Program && page / pagesPerSector == bad * spb + 2 && failures > 0) {
            --failures;
            return ChipFault::Fail;
        }
        return ChipFault::None;
    });
    auto more = bytes(512, 2);
    ASSERT_EQ(media_write(0, 6, 1024, more.data(), 512), SmfsResult::Ok);
    chip_set_fault_hook(nullptr);

    std::uint32_t moved = media_logical_entry(6);
    EXPECT_NE(moved, bad);
    EXPECT_EQ(media_phys_entry(bad), kPhysRetired);
    EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(bad))[kSpareBlockStatus], kBlockRetired);
    std::vector<std::uint8_t> back(1536);
    ASSERT_EQ(media_read(0, 6, 0, back.data(), 1536), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), back.begin()));
    EXPECT_TRUE(std::equal(more.begin(), more.end(), back.begin() + 1024));

    // After a remount the retired block stays out and the data is still there.
    CardImage::resetLayers();
    ASSERT_EQ(media_read(0, 6, 0, back.data(), 1536), SmfsResult::Ok);
    EXPECT_TRUE(std::equal(more.begin(), more.end(), back.begin() + 1024));
    EXPECT_EQ(media_phys_entry(bad), kPhysRetired);
}

TEST_P(Faults, EraseFailureRetiresAndAnotherBlockIsChosen) {
    CardImage card(GetParam());
    ASSERT_EQ(media_build_map(0), SmfsResult::Ok);
    const std::uint32_t pagesPerBlock = card.geometry().pagesPerBlock;
    std::vector<std::uint32_t> failed;
    chip_set_fault_hook([&](ChipOp op, std::uint32_t page) {
        if (op == ChipOp::Erase && failed.size() < 2) {
            failed.push_back(page / pagesPerBlock);
            return ChipFault::Fail;
        }
        return ChipFault::None;
    });
    auto data = bytes(512, 3);
    ASSERT_EQ(media_write(0, 1, 0, data.data(), 512), SmfsResult::Ok);
    chip_set_fault_hook(nullptr);
    ASSERT_EQ(failed.size(), 2u);
    std::uint32_t chosen = media_logical_entry(1);
    for (std::uint32_t b : failed) {
        EXPECT_NE(chosen, b);
        EXPECT_EQ(media_phys_entry(b), kPhysRetired);
        for (std::uint32_t s = 0; s < card.geometry().sectorsPerBlock; ++s)
            EXPECT_EQ(card.sectorSpare(card.firstSectorOfBlock(b) + s)[kSpareBlockStatus], 0xF0);
    }
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read(0, 1, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(CardTypes, Faults, ::testing::Values(0, 1, 4, 7),
                         [](const auto& info) { return "type" + std::to_string(info.param); });

TEST(Faults, StatusTimeoutIsReported) {
    CardImage card(3);
    chip_set_fault_hook([](ChipOp, std::uint32_t) { return ChipFault::Timeout; });
    std::vector<std::uint8_t> data(512, 1), spare(16, 0xFF);
    EXPECT_EQ(smc_write_sector(0, 40, data.data(), spare.data()), SmfsResult::StatusTimeout);
    EXPECT_EQ(smc_erase_block(0, 0), SmfsResult::StatusTimeout);
    EXPECT_EQ(media_write(0, 0, 0, data.data(), 512), SmfsResult::StatusTimeout);
    // The failed assignment leaves the logical block as it was.
    EXPECT_EQ(media_logical_entry(0), 0u);
}

TEST(Faults, FailedRewriteKeepsTheOldMapping) {
    CardImage card(0);
    auto data = bytes(512, 4);
    ASSERT_EQ(media_write(0, 2, 0, data.data(), 512), SmfsResult::Ok);
    std::uint32_t phys = media_logical_entry(2);
    chip_set_fault_hook([](ChipOp op, std::uint32_t) {
        return op == ChipOp::Erase ? ChipFault::Timeout : ChipFault::None;
    });
    auto other = bytes(512, 5);
    EXPECT_EQ(media_write(0, 2, 0, other.data(), 512), SmfsResult::StatusTimeout);
    chip_set_fault_hook(nullptr);
    EXPECT_EQ(media_logical_entry(2), phys);
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(media_read(0, 2, 0, back.data(), 512), SmfsResult::Ok);
    EXPECT_EQ(back, data);
}

// A stream whose writes start failing after a number of them, like a full disk.
struct FailingStream {
    std::FILE* file;
    int writesLeft;
};

ssize_t failingWrite(void* cookie, const char* buffer, size_t size) {
    auto* s = static_cast<FailingStream*>(cookie);
    if (s->writesLeft-- <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return ssize_t(std::fwrite(buffer, 1, size, s->file));
}
ssize_t failingRead(void* cookie, char* buffer, size_t size) {
    return ssize_t(std::fread(buffer, 1, size, static_cast<FailingStream*>(cookie)->file));
}
int failingSeek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<FailingStream*>(cookie);
    if (fseeko(s->file, *offset, whence) != 0) return -1;
    *offset = ftello(s->file);
    return 0;
}

TEST(Faults, FailingImageWritesAreReported) {
    CardImage card(3);
    FailingStream state{card.stream(), 3};
    cookie_io_functions_t io{failingRead, failingWrite, failingSeek, nullptr};
    std::FILE* stream = fopencookie(&state, "rb+", io);
    ASSERT_NE(stream, nullptr);
    smc_set_image(stream);
    CardImage::resetLayers();
    auto data = bytes(512, 6);
    SmfsResult r = SmfsResult::Ok;
    for (std::uint32_t l = 0; l < 10 && r == SmfsResult::Ok; ++l)
        r = media_write(0, l, 0, data.data(), 512);
    EXPECT_EQ(r, SmfsResult::ImageIo);
    smc_set_image(card.stream());
    std::fclose(stream);
}

} // namespace
