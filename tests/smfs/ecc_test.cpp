// SPDX-License-Identifier: MIT
// ECC computation, single-bit correction and error detection; block address fields.
#include "smfs/ecc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

std::array<std::uint8_t, 256> randomHalf(unsigned seed) {
    std::mt19937 rng(seed);
    std::array<std::uint8_t, 256> d{};
    for (auto& b : d)
        b = std::uint8_t(rng());
    return d;
}

TEST(Ecc, ErasedZeroAndKnownHalves) {
    std::array<std::uint8_t, 256> d{};
    std::uint8_t ecc[3];
    for (std::uint8_t fill : {0xFF, 0x00}) {
        d.fill(fill);
        ecc_compute(d.data(), ecc);
        EXPECT_THAT(ecc, testing::ElementsAre(0xFF, 0xFF, 0xFF)) << int(fill);
    }
    // One byte 0x01 at index 0: P(0) = 1, so every even line parity and CP0, CP2, CP4 flip.
    d[0] = 0x01;
    ecc_compute(d.data(), ecc);
    EXPECT_THAT(ecc, testing::ElementsAre(0xAA, 0xAA, 0xAB));
}

TEST(Ecc, EverySingleBitErrorIsCorrected) {
    for (unsigned seed : {1u, 2u}) {
        const auto original = randomHalf(seed);
        std::uint8_t ecc[3];
        ecc_compute(original.data(), ecc);
        for (int pos = 0; pos < 256 * 8; ++pos) {
            auto d = original;
            d[std::size_t(pos / 8)] ^= std::uint8_t(1 << (pos % 8));
            ASSERT_EQ(ecc_check(d.data(), ecc), SmfsResult::Ok) << "bit " << pos;
            ASSERT_EQ(d, original) << "bit " << pos;
        }
    }
}

TEST(Ecc, TwoBitErrorsAreReportedAndLeftAlone) {
    const auto original = randomHalf(3);
    std::uint8_t ecc[3];
    ecc_compute(original.data(), ecc);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        int a = int(rng() % 2048), b = int(rng() % 2048);
        if (a == b) continue;
        auto d = original;
        d[std::size_t(a / 8)] ^= std::uint8_t(1 << (a % 8));
        d[std::size_t(b / 8)] ^= std::uint8_t(1 << (b % 8));
        const auto damaged = d;
        ASSERT_EQ(ecc_check(d.data(), ecc), SmfsResult::EccUncorrectable) << a << "," << b;
        ASSERT_EQ(d, damaged);
    }
}

TEST(Ecc, StoredEccBitErrorLeavesDataAlone) {
    const auto original = randomHalf(5);
    std::uint8_t ecc[3];
    ecc_compute(original.data(), ecc);
    for (int bit = 0; bit < 24; ++bit) {
        std::uint8_t stored[3] = {ecc[0], ecc[1], ecc[2]};
        stored[bit / 8] ^= std::uint8_t(1 << (bit % 8));
        auto d = original;
        EXPECT_EQ(ecc_check(d.data(), stored), SmfsResult::Ok) << "ecc bit " << bit;
        EXPECT_EQ(d, original) << "ecc bit " << bit;
    }
}

TEST(BlockAddressField, ValuesAndParity) {
    EXPECT_EQ(block_address_field(0), 0x1001);
    EXPECT_EQ(block_address_field(1), 0x1002);
    EXPECT_EQ(block_address_field(1001), 0x1002);
    std::uint16_t f999 = block_address_field(999);
    EXPECT_EQ(f999 & 0xFFFE, 0x1000 | 1998);
    for (std::uint32_t l : {0u, 1u, 999u, 1001u, 7999u}) {
        std::uint16_t f = block_address_field(l);
        EXPECT_TRUE(block_address_field_valid(f)) << l;
        EXPECT_FALSE(block_address_field_valid(std::uint16_t(f ^ 1))) << l;
        EXPECT_EQ(block_address_field_number(f), l % 1000) << l;
    }
}

TEST(BlockStatus, OneFlippedBitIsTolerated) {
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
