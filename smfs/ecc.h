// SPDX-License-Identifier: MIT
// Spare area and ECC: the 16 spare bytes of a sector, the block address field that ties a
// physical block to its logical block, the block status rules, and the 22-bit Hamming code
// over each 256-byte half of a sector (stored inverted, single-bit correcting).
#pragma once

#include <smfs/result.h>

#include <cstdint>

// Offsets within the 16 spare bytes of a sector.
inline constexpr int kSpareDataStatus = 4;
inline constexpr int kSpareBlockStatus = 5;
inline constexpr int kSpareAddr1 = 6;   // block address field, first copy, high byte first
inline constexpr int kSpareEccHigh = 8; // ECC of data bytes 256..511
inline constexpr int kSpareAddr2 = 11;  // block address field, second copy
inline constexpr int kSpareEccLow = 13; // ECC of data bytes 0..255

inline constexpr std::uint8_t kBlockRetired = 0xF0;
inline constexpr std::uint16_t kFieldCis = 0x0000;

// Computes the three ECC bytes of 256 data bytes.
void ecc_compute(const std::uint8_t* data, std::uint8_t* ecc);
// Checks 256 bytes against their stored ECC, correcting a single wrong data bit in place.
// Returns Ok, or EccUncorrectable (data left as it is).
[[nodiscard]] SmfsResult ecc_check(std::uint8_t* data, const std::uint8_t* storedEcc);

// The 16-bit block address field of a logical block: zone number with even parity.
std::uint16_t block_address_field(std::uint32_t logBlock);
// True when a field read from a card has even parity over its 16 bits.
bool block_address_field_valid(std::uint16_t field);
// The block's number within its zone (bits 1..10 of the field).
std::uint32_t block_address_field_number(std::uint16_t field);

// Block status rules, by the number of one bits of a status byte below 0xFF.
bool block_status_unusable(std::uint8_t status);     // building the map: fewer than 7
bool block_status_bad_quick(std::uint8_t status);    // quick format: 6 or fewer
bool block_status_bad_untested(std::uint8_t status); // full format: fewer than 2

// Fills a data-sector spare: 0xFF everywhere but both copies of the field and both ECCs.
void spare_build(const std::uint8_t* data512, std::uint16_t field, std::uint8_t* spare16);
// Fills the spare of a retired block's sector: 0xFF with the block status 0xF0.
void spare_build_retired(std::uint8_t* spare16);
// True when all 16 bytes are 0xFF (a never-programmed sector).
bool spare_is_blank(const std::uint8_t* spare16);
