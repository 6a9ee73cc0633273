// Test helper: overwrites the FAT copies, the root and one folder's first cluster with seeded
// garbage that still mounts (both FATs keep their media bytes) and whose directory slots look
// like short entries most of the time, so walks meet loops, cross-links and wild clusters.
#pragma once

#include "api_card.h"

#include "smfs/fat.h"
#include "smfs/media.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

inline void garbleFatAndFolder(const char* folderPath, unsigned seed) {
    ASSERT_EQ(fat_ensure(0), SmfsResult::Ok);
    const FatVolume v = *fat_volume(0);
    CardGeometry g{};
    ASSERT_EQ(media_geometry(0, &g), SmfsResult::Ok);
    SmfsEntryInfo info{};
    ASSERT_EQ(smfs_info(folderPath, &info), SmfsResult::Ok);
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t s = v.fatStart; s < v.dataStart; ++s)
        sectors.push_back(s);
    for (std::uint32_t s = 0; s < v.sectorsPerCluster; ++s)
        sectors.push_back(v.dataStart + (info.firstCluster - 2) * v.sectorsPerCluster + s);
    std::vector<std::uint8_t> bytes = apiPattern(sectors.size() * 512, seed);
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        std::uint8_t* sector = bytes.data() + i * 512;
        if (sectors[i] == v.fatStart || sectors[i] == v.fatStart + v.fatSectors) {
            sector[0] = 0xF8;
            sector[1] = sector[2] = 0xFF;
        }
        if (sectors[i] >= v.rootStart) {
            for (std::size_t e = 0; e < 512; e += 32) {
                sector[e] = std::uint8_t('A' + sector[e] % 26);
                sector[e + 11] &= 0x30;
            }
        }
        const std::uint32_t s = sectors[i];
        ASSERT_EQ(media_write(0, s / g.sectorsPerBlock, (s % g.sectorsPerBlock) * 512, sector, 512),
                  SmfsResult::Ok);
    }
}
