// The volumes this library formats and writes, checked by the standard FAT tools of the
// host: each card type is formatted, given two files written through the volume layer, and
// its partition extracted into a raw file that fsck.fat -n and mtools must accept as it is,
// with the files' contents read back by mtools.
#include "api_interop.h"

#include "fakes/temp_dir.h"
#include "test_card.h"

#include <common/le_bytes.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Allocates a chain long enough for the data, writes it and gives it a root entry.
void writeFile(std::uint32_t rootSlot, const char* name83, const std::vector<std::uint8_t>& data) {
    const std::uint32_t clusterBytes = fat_cluster_bytes(cs());
    std::uint32_t first = 0;
    std::uint32_t previous = 0;
    for (std::size_t done = 0; done < data.size(); done += clusterBytes) {
        std::uint32_t c = 0;
        ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
        fat_set_entry(cs(), c, kFatEnd);
        if (previous != 0) fat_set_entry(cs(), previous, static_cast<std::uint16_t>(c));
        if (first == 0) first = c;
        previous = c;
        const std::uint32_t n =
            std::uint32_t(std::min<std::size_t>(clusterBytes, data.size() - done));
        ASSERT_EQ(cluster_write(cs(), c, 0, data.data() + done, n), SmfsResult::Ok);
    }
    std::uint8_t entry[kDirEntryBytes] = {};
    std::memcpy(entry, name83, 11);
    entry[11] = 0x20;
    putLe16(entry + 22, (12 << 11) | (30 << 5));               // 12:30:00
    putLe16(entry + 24, ((2026 - 1980) << 9) | (6 << 5) | 15); // 2026-06-15
    putLe16(entry + 26, static_cast<std::uint16_t>(first));
    putLe32(entry + 28, std::uint32_t(data.size()));
    ASSERT_EQ(cluster_write(cs(), kRootCluster, rootSlot * kDirEntryBytes, entry, kDirEntryBytes),
              SmfsResult::Ok);
}

class FormatInteropTest : public testing::TestWithParam<int> {};

TEST_P(FormatInteropTest, FsckAndMtoolsAcceptTheVolume) {
    TestCard card(GetParam());
    ASSERT_EQ(quickFormat(cs()), SmfsResult::Ok);
    const std::uint32_t clusterBytes = fat_cluster_bytes(cs());
    const std::vector<std::uint8_t> big = apiPattern(clusterBytes * 2 + 700, 1);
    const std::vector<std::uint8_t> small = apiPattern(300, 2);
    writeFile(0, "GAME    BIN", big);
    writeFile(1, "README  TXT", small);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);

    TempDir dir;
    const std::string raw = (dir / "partition.img").string();
    apiExtractPartition(raw);

    const FsckVerdict verdict = apiFsck(raw);
    EXPECT_TRUE(verdict.clean) << verdict.output;
    EXPECT_EQ(verdict.clusters, fat_volume(cs())->clusterCount) << verdict.output;

    const std::string listing = apiMtools("mdir -i '" + raw + "' ::");
    EXPECT_NE(listing.find("GAME     BIN"), std::string::npos) << listing;
    EXPECT_NE(listing.find("README   TXT"), std::string::npos) << listing;

    const std::string copy = (dir / "game.bin").string();
    apiMtools("mcopy -n -i '" + raw + "' ::GAME.BIN '" + copy + "'");
    EXPECT_EQ(apiReadHostFile(copy), big);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FormatInteropTest, testing::Range(0, kCardTypeCount),
                         cardTypeName);

} // namespace
