// SPDX-License-Identifier: MIT
// ECC and spare area. The ECC of a 256-byte half is the usual SmartMedia Hamming code: 16
// line parity bits locate the byte and 6 column parity bits locate the bit, stored inverted
// in three bytes. It is computed from XORs of 64-bit words: the odd line parities are the
// parities of the bytes selected by each index bit, the even ones follow from the overall
// parity, and the column parities from the XOR of all bytes.
#include "ecc.h"

#include <bit>
#include <cstring>

namespace {

// Parities by folding, without a population count (which may be a library call).
unsigned parity64(std::uint64_t value) {
    value ^= value >> 32;
    value ^= value >> 16;
    value ^= value >> 8;
    value ^= value >> 4;
    return (0x6996u >> (value & 0x0F)) & 1u;
}

int parityOf(unsigned value) {
    return int(parity64(value));
}

// Bit k of a nibble moved to bit 2k.
constexpr std::uint8_t kSpread[16] = {0x00, 0x01, 0x04, 0x05, 0x10, 0x11, 0x14, 0x15,
                                      0x40, 0x41, 0x44, 0x45, 0x50, 0x51, 0x54, 0x55};

// Interleaves the even line parities (from even) and odd ones (from odd), four bits each,
// as LP(2k+1) LP(2k) pairs from the high bit down.
std::uint8_t interleave(unsigned even, unsigned odd) {
    return std::uint8_t(kSpread[even & 0x0F] | (kSpread[odd & 0x0F] << 1));
}

} // namespace

void ecc_compute(const std::uint8_t* data, std::uint8_t* ecc) {
    // Line parity LP(2k+1) is the parity of all bytes whose index has bit k set, LP(2k) that
    // of the others. Working on 64-bit words, index bits 3..7 pick whole words and bits 0..2
    // pick bytes within a word. The words are folded pairwise: at each level the odd members
    // of the pairs XOR to the words whose index has that level's bit set; the four sums left
    // give the last two index bits and the XOR of all bytes.
    std::uint64_t w[32];
    std::memcpy(w, data, sizeof w);
    std::uint64_t byWordBit[5] = {};
    std::uint64_t p[16], q[8], r[4];
    for (unsigned i = 0; i < 16; ++i) {
        byWordBit[0] ^= w[2 * i + 1];
        p[i] = w[2 * i] ^ w[2 * i + 1];
    }
    for (unsigned i = 0; i < 8; ++i) {
        byWordBit[1] ^= p[2 * i + 1];
        q[i] = p[2 * i] ^ p[2 * i + 1];
    }
    for (unsigned i = 0; i < 4; ++i) {
        byWordBit[2] ^= q[2 * i + 1];
        r[i] = q[2 * i] ^ q[2 * i + 1];
    }
    byWordBit[3] = r[1] ^ r[3];
    byWordBit[4] = r[2] ^ r[3];
    const std::uint64_t all = r[0] ^ r[1] ^ r[2] ^ r[3];
    // Little-endian bytes: byte i of a word holds bits 8i..8i+7.
    constexpr std::uint64_t kByteBit[3] = {0xFF00FF00FF00FF00ull, 0xFFFF0000FFFF0000ull,
                                           0xFFFFFFFF00000000ull};
    unsigned odd = 0;
    for (unsigned k = 0; k < 3; ++k)
        odd |= parity64(all & kByteBit[k]) << k;
    for (unsigned b = 0; b < 5; ++b)
        odd |= parity64(byWordBit[b]) << (b + 3);
    const unsigned even = odd ^ (parity64(all) ? 0xFFu : 0u);
    ecc[0] = std::uint8_t(~interleave(even & 0x0F, odd & 0x0F));
    ecc[1] = std::uint8_t(~interleave(even >> 4, odd >> 4));
    std::uint64_t folded = all ^ (all >> 32);
    folded ^= folded >> 16;
    folded ^= folded >> 8;
    const unsigned column = unsigned(folded & 0xFF);
    unsigned cp = 0;
    cp |= unsigned(parityOf(column & 0x55)) << 0; // CP0
    cp |= unsigned(parityOf(column & 0xAA)) << 1; // CP1
    cp |= unsigned(parityOf(column & 0x33)) << 2; // CP2
    cp |= unsigned(parityOf(column & 0xCC)) << 3; // CP3
    cp |= unsigned(parityOf(column & 0x0F)) << 4; // CP4
    cp |= unsigned(parityOf(column & 0xF0)) << 5; // CP5
    ecc[2] = std::uint8_t(~(cp << 2));
}

SmfsResult ecc_check(std::uint8_t* data, const std::uint8_t* storedEcc) {
    std::uint8_t computed[3];
    ecc_compute(data, computed);
    unsigned x0 = unsigned(storedEcc[0] ^ computed[0]);
    unsigned x1 = unsigned(storedEcc[1] ^ computed[1]);
    unsigned x2 = unsigned(storedEcc[2] ^ computed[2]) & 0xFC;
    if ((x0 | x1 | x2) == 0) return SmfsResult::Ok;
    int differing = std::popcount(x0) + std::popcount(x1) + std::popcount(x2);
    if (differing == 11) {
        // A single data bit: the odd line parities spell the byte, CP5 CP3 CP1 the bit.
        unsigned byteIndex = 0;
        for (int k = 0; k < 4; ++k) {
            byteIndex |= ((x0 >> (2 * k + 1)) & 1) << k;
            byteIndex |= ((x1 >> (2 * k + 1)) & 1) << (k + 4);
        }
        unsigned bit = ((x2 >> 3) & 1) | (((x2 >> 5) & 1) << 1) | (((x2 >> 7) & 1) << 2);
        data[byteIndex] ^= std::uint8_t(1u << bit);
        return SmfsResult::Ok;
    }
    // 0: only the unused bits differ; 1: the stored ECC itself took the hit.
    if (differing <= 1) return SmfsResult::Ok;
    return SmfsResult::EccUncorrectable;
}

std::uint16_t block_address_field(std::uint32_t logBlock) {
    std::uint16_t field = std::uint16_t(0x1000 | ((logBlock % 1000) << 1));
    if (parityOf(field)) field |= 1;
    return field;
}

bool block_address_field_valid(std::uint16_t field) {
    return parityOf(field) == 0;
}

std::uint32_t block_address_field_number(std::uint16_t field) {
    return (field >> 1) & 0x3FF;
}

bool block_status_unusable(std::uint8_t status) {
    return status < 0xFF && std::popcount(unsigned(status)) < 7;
}

bool block_status_bad_quick(std::uint8_t status) {
    return status < 0xFF && std::popcount(unsigned(status)) <= 6;
}

bool block_status_bad_untested(std::uint8_t status) {
    return status < 0xFF && std::popcount(unsigned(status)) < 2;
}

void spare_build(const std::uint8_t* data512, std::uint16_t field, std::uint8_t* spare16) {
    for (int i = 0; i < 16; ++i)
        spare16[i] = 0xFF;
    spare16[kSpareAddr1] = spare16[kSpareAddr2] = std::uint8_t(field >> 8);
    spare16[kSpareAddr1 + 1] = spare16[kSpareAddr2 + 1] = std::uint8_t(field & 0xFF);
    ecc_compute(data512, spare16 + kSpareEccLow);
    ecc_compute(data512 + 256, spare16 + kSpareEccHigh);
}

void spare_build_retired(std::uint8_t* spare16) {
    for (int i = 0; i < 16; ++i)
        spare16[i] = 0xFF;
    spare16[kSpareBlockStatus] = kBlockRetired;
}

bool spare_is_blank(const std::uint8_t* spare16) {
    for (int i = 0; i < 16; ++i) {
        if (spare16[i] != 0xFF) return false;
    }
    return true;
}
