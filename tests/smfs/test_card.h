// SPDX-License-Identifier: MIT
// Test helper: a card on a memory image with a fixed clock, raw access to the image bytes,
// and helpers that write, read and list card files through the public calls. cs() and api()
// reach the card the running test made last.
#pragma once

#include "smfs/card_state.h"
#include "smfs/chip.h"
#include "smfs/fat.h"
#include "smfs/format.h"
#include "smfs/media.h"

#include <smfs/smfs.h>
#include <smfs/storage.h>
#include <smfs/tools.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Under the sanitizers the slowest tests try fewer cases.
#if defined(__SANITIZE_ADDRESS__)
#define VELA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELA_SANITIZED 1
#endif
#endif

// The clock every test card runs with: 2024-05-17 13:45:30.
SmfsDateTime testClock();

// A blank image of cardType for maker: the header and sizeBytes (0: the whole page array)
// of erased page records.
std::vector<std::uint8_t> blankImage(int cardType, std::uint8_t maker = kMakerSamsung,
                                     std::uint64_t sizeBytes = 0);

class TestCard {
public:
    // A blank card, quick-formatted through the public call when format is set.
    explicit TestCard(int cardType, bool format = false);
    // A card on the given image bytes.
    explicit TestCard(std::vector<std::uint8_t> image);
    ~TestCard();
    TestCard(const TestCard&) = delete;
    TestCard& operator=(const TestCard&) = delete;

    MemoryStorage storage;
    SmfsCard card;

    CardState& state() { return card.state(); }
    int cardType() const { return cardType_; }
    const CardGeometry& geometry() const { return card_geometry(cardType_); }
    const PageLayout& layout() const { return card_page_layout(cardType_); }

    std::vector<std::uint8_t>& bytes() { return storage.bytes(); }
    std::vector<std::uint8_t> readBytes(std::uint64_t offset, std::size_t count);
    void writeBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
    std::uint64_t pageOffset(std::uint32_t page) const {
        return kImageHeaderBytes + std::uint64_t(page) * layout().recordBytes;
    }
    // The 512 data and 16 spare bytes of a physical sector, gathered from its page records.
    std::vector<std::uint8_t> sectorData(std::uint32_t sector) { return gather(sector, 0, 512); }
    std::vector<std::uint8_t> sectorSpare(std::uint32_t sector) {
        return gather(sector, layout().dataBytes, 16);
    }
    std::uint32_t firstSectorOfBlock(std::uint32_t physBlock) const {
        return physBlock * geometry().sectorsPerBlock;
    }
    // The 512 bytes of a logical sector as they lie in the image, found through the map.
    std::vector<std::uint8_t> logicalSector(std::uint32_t sector);
    // Rewrites a logical sector through the block layer after edit() and unmounts.
    void patchLogicalSector(std::uint32_t sector, const std::function<void(std::uint8_t*)>& edit);
    std::uint32_t clusterBytes() { return fat_cluster_bytes(state()); }

private:
    std::vector<std::uint8_t> gather(std::uint32_t sector, std::size_t at, std::size_t count);
    int cardType_ = 0;
};

CardState& cs();
SmfsCard& api();

// Distinct, position-dependent bytes, so a misplaced cluster shows.
std::vector<std::uint8_t> apiPattern(std::size_t size, unsigned seed);
// Creates (overwriting) a card file with the bytes, in pieces of at most pieceBytes.
SmfsResult apiWriteFile(SmfsCard& card, const std::string& path,
                        const std::vector<std::uint8_t>& bytes,
                        std::uint32_t pieceBytes = 1u << 20);
// Reads a whole card file; the result of the first failing call, EndOfData counting as Ok.
SmfsResult apiReadFile(SmfsCard& card, const std::string& path, std::vector<std::uint8_t>* bytes);
// Every name of a folder listing, in order ("." and ".." included).
std::vector<std::string> apiList(SmfsCard& card, const std::string& path,
                                 SmfsResult* result = nullptr);
// An entry's date and time as "YYYY-MM-DD hh:mm:ss" (seconds from its two-second count).
std::string dateText(const SmfsEntryInfo& info);
// Free bytes of the mounted volume (a failing space query fails the test).
std::uint64_t apiFreeBytes(SmfsCard& card);
// A check report's findings, one "<kind> <path>: <text>" line each (for failure messages).
std::string apiFindingsText(const SmfsCheckReport& report);

// gtest parameter names for card types: "Type4_16MB".
std::string cardTypeName(const testing::TestParamInfo<int>& info);
