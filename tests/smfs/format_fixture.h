// Test helper for the volume and format tests: formatting a card image, reading logical
// sectors back from the image bytes through the block map, and patching logical sectors
// through the block layer to build damaged or foreign volumes.
#pragma once

#include "card_image.h"

#include "smfs/fat.h"
#include "smfs/format.h"
#include "smfs/media.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

// Quick-formats the installed card with a blank label; *bad receives the bad block count.
inline SmfsResult quickFormat(std::uint32_t* bad = nullptr) {
    std::uint32_t count = 0;
    SmfsResult r = media_low_format(0, kFormatQuick, &count);
    if (bad) *bad = count;
    if (r != SmfsResult::Ok) return r;
    return format_volume(0, "");
}

// The 512 bytes of a logical sector as they lie in the image file, found through the map.
inline std::vector<std::uint8_t> logicalSector(CardImage& card, std::uint32_t sector) {
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    const std::uint32_t phys = media_logical_entry(sector / spb);
    EXPECT_NE(phys, 0u) << "logical sector " << sector << " is not mapped";
    return card.sectorData(phys * spb + sector % spb);
}

// Rewrites a logical sector through the block layer after edit() and unmounts the volume.
inline void patchLogicalSector(const CardImage& card, std::uint32_t sector,
                               const std::function<void(std::uint8_t*)>& edit) {
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
    std::vector<std::uint8_t> bytes(kSectorBytes);
    ASSERT_EQ(media_read_sector(0, sector, 0, bytes.data(), kSectorBytes), SmfsResult::Ok);
    edit(bytes.data());
    ASSERT_EQ(
        media_write(0, sector / spb, (sector % spb) * kSectorBytes, bytes.data(), kSectorBytes),
        SmfsResult::Ok);
    fat_invalidate();
}

// gtest parameter names for card types: "Type4_16MB".
inline std::string cardTypeName(const testing::TestParamInfo<int>& info) {
    std::string capacity = card_capacity_text(info.param);
    std::string name = "Type" + std::to_string(info.param) + "_";
    for (char c : capacity)
        if (c != ' ') name += c;
    return name;
}
