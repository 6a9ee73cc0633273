// SPDX-License-Identifier: MIT
// A virtual card's file opened in place, as the mount uses it.
#include "manager_fixture.h"

#include <algorithm>
#include <system_error>

TEST_F(ManagerTest, CardFileReadsKeepTheDateAndRefuseDamagedDataAndWritesEndAtTheLimit) {
    openFormattedCard();
    const auto data = pattern(1000, 5);
    cardWrite("vx:\\A.BIN", data);
    manager.closeStorage();
    const fs::path image = dir / "card.smc";
    std::string failure;
    bool inUse = false;
    const auto later = [] { return SmfsDateTime{2011, 3, 4, 5, 6, 0}; };
    auto card = openVirtualCard(image, later, failure, inUse);
    ASSERT_TRUE(card) << failure;
    CardResult result;
    std::vector<std::uint8_t> back(1200);
    std::uint32_t got = 0;
    ASSERT_TRUE(card->openFile("vx:\\A.BIN", false, result)->read(0, back.data(), 1200, got));
    back.resize(got);
    EXPECT_EQ(back, data);
    CardEntry entry;
    ASSERT_TRUE(card->entry("vx:\\A.BIN", entry));
    EXPECT_EQ(entry.year, 2002);

    {
        const auto file = card->openFile("vx:\\BIG.BIN", true, result);
        ASSERT_TRUE(file);
        constexpr std::uint64_t kLargest = 128u << 20;
        EXPECT_EQ(file->write(kLargest, data.data(), 1).cause, std::errc::file_too_large);
        // One byte below that limit the card's own space is what runs out.
        const CardResult last = file->write(kLargest - 1, data.data(), 1);
        EXPECT_FALSE(last);
        EXPECT_NE(last.cause, std::errc::file_too_large);
    }

    // Two flipped bits in one half of the file's first sector: its ECC cannot mend them.
    card.reset();
    auto bytes = readPcFile(image);
    const auto at = std::search(bytes.begin(), bytes.end(), data.begin(), data.begin() + 64);
    ASSERT_NE(at, bytes.end());
    at[1] ^= 0x01;
    at[2] ^= 0x01;
    writePcFile(image, bytes);
    card = openVirtualCard(image, later, failure, inUse);
    ASSERT_TRUE(card) << failure;
    EXPECT_FALSE(card->openFile("vx:\\A.BIN", false, result)->read(0, back.data(), 512, got));
}
