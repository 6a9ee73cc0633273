// SPDX-License-Identifier: MIT
// ECC computation, single-bit correction and error detection; block address fields and
// block status bytes.
#include "smfs/ecc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

TEST(Ecc, KnownCodesAndEverySingleAndDoubleBitError) {
    std::array<std::uint8_t, 256> d{};
    std::uint8_t ecc[3];
    ecc_compute(d.data(), ecc);
    EXPECT_THAT(ecc, testing::ElementsAre(0xFF, 0xFF, 0xFF));
    // One byte 0x01 at index 0: every even line parity and CP0, CP2, CP4 flip.
    d[0] = 0x01;
    ecc_compute(d.data(), ecc);
    EXPECT_THAT(ecc, testing::ElementsAre(0xAA, 0xAA, 0xAB));

    std::mt19937 rng(1);
    for (auto& b : d)
        b = std::uint8_t(rng());
    const auto original = d;
    ecc_compute(original.data(), ecc);
    auto flip = [](auto& a, int bit) { a[std::size_t(bit / 8)] ^= std::uint8_t(1 << (bit % 8)); };
    for (int bit = 0; bit < 256 * 8; ++bit) {
        d = original;
        flip(d, bit);
        ASSERT_EQ(ecc_check(d.data(), ecc), SmfsResult::Ok) << "bit " << bit;
        ASSERT_EQ(d, original) << "bit " << bit;
        flip(d, bit);
        // Two bits: reported, and the data is left as read.
        const int other = (bit * 37 + 11) % 2048;
        if (other == bit) continue;
        flip(d, other);
        const auto damaged = d;
        ASSERT_EQ(ecc_check(d.data(), ecc), SmfsResult::EccUncorrectable) << bit << "," << other;
        ASSERT_EQ(d, damaged);
    }
    // A flipped bit in the stored code leaves the data alone.
    for (int bit = 0; bit < 24; ++bit) {
        std::uint8_t stored[3] = {ecc[0], ecc[1], ecc[2]};
        stored[bit / 8] ^= std::uint8_t(1 << (bit % 8));
        d = original;
        EXPECT_EQ(ecc_check(d.data(), stored), SmfsResult::Ok) << "ecc bit " << bit;
        EXPECT_EQ(d, original) << "ecc bit " << bit;
    }
}

TEST(BlockAddressField, ValuesParityAndStatusBytes) {
    EXPECT_EQ(block_address_field(0), 0x1001);
    EXPECT_EQ(block_address_field(1), 0x1002);
    EXPECT_EQ(block_address_field(1001), 0x1002);
    EXPECT_EQ(block_address_field(999) & 0xFFFE, 0x1000 | 1998);
    for (std::uint32_t l : {0u, 1u, 999u, 1001u, 7999u}) {
        const std::uint16_t f = block_address_field(l);
        EXPECT_TRUE(block_address_field_valid(f)) << l;
        EXPECT_FALSE(block_address_field_valid(std::uint16_t(f ^ 1))) << l;
        EXPECT_EQ(block_address_field_number(f), l % 1000) << l;
    }
    // One flipped bit of a status byte is tolerated.
    EXPECT_FALSE(block_status_unusable(0xFF));
    EXPECT_FALSE(block_status_unusable(0xFE));
    EXPECT_TRUE(block_status_unusable(0xF0));
    EXPECT_TRUE(block_status_unusable(0x00));
    EXPECT_TRUE(block_status_bad_quick(0xF0));
    EXPECT_FALSE(block_status_bad_quick(0x7F));
    EXPECT_FALSE(block_status_bad_untested(0xF0)); // a full format retests it
    EXPECT_TRUE(block_status_bad_untested(0x01));
}

} // namespace
