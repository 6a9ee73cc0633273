// The volumes this library formats and writes, checked by the standard FAT tools of the
// host: each card type is formatted, given two files written through the volume layer, and
// its partition extracted into a raw file that fsck.fat -n and mtools must accept as it is,
// with the files' contents read back by mtools.
#include "api_interop.h"
#include "format_fixture.h"

#include "smfs/bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace {

// Allocates a chain long enough for the data, writes it and gives it a root entry.
void writeFile(std::uint32_t rootSlot, const char* name83, const std::vector<std::uint8_t>& data) {
    const std::uint32_t clusterBytes = fat_cluster_bytes(0);
    std::uint32_t first = 0;
    std::uint32_t previous = 0;
    for (std::size_t done = 0; done < data.size(); done += clusterBytes) {
        std::uint32_t c = 0;
        ASSERT_EQ(fat_alloc_cluster(0, &c), SmfsResult::Ok);
        fat_set_entry(0, c, kFatEnd);
        if (previous != 0) fat_set_entry(0, previous, static_cast<std::uint16_t>(c));
        if (first == 0) first = c;
        previous = c;
        const std::uint32_t n =
            std::uint32_t(std::min<std::size_t>(clusterBytes, data.size() - done));
        ASSERT_EQ(cluster_write(0, c, 0, data.data() + done, n), SmfsResult::Ok);
    }
    std::uint8_t entry[kDirEntryBytes] = {};
    std::memcpy(entry, name83, 11);
    entry[11] = 0x20;
    put_le16(entry + 22, (12 << 11) | (30 << 5));               // 12:30:00
    put_le16(entry + 24, ((2026 - 1980) << 9) | (6 << 5) | 15); // 2026-06-15
    put_le16(entry + 26, static_cast<std::uint16_t>(first));
    put_le32(entry + 28, std::uint32_t(data.size()));
    ASSERT_EQ(cluster_write(0, kRootCluster, rootSlot * kDirEntryBytes, entry, kDirEntryBytes),
              SmfsResult::Ok);
}

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t((i * 131 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    std::array<std::uint8_t, 65536> chunk;
    std::size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    std::fclose(f);
    return bytes;
}

// fsck.fat's verdict on a volume of ours: the lines it may print, where the only remark
// allowed is on the blank label, which it does not consider valid.
struct FsckSummary {
    bool onlyKnownLines = true;
    bool labelRemark = false;
    std::uint32_t clusters = 0; // from the summary "N files, used/total clusters"
};

FsckSummary readFsckOutput(const std::string& output, const std::string& imagePath) {
    FsckSummary verdict;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
            line == "Leaving filesystem unchanged.")
            continue;
        if (line == "Label '' stored in boot sector is not valid." ||
            line == "  Auto-removing label from boot sector.") {
            verdict.labelRemark = true;
            continue;
        }
        if (line.rfind(imagePath + ": ", 0) == 0) {
            const std::size_t slash = line.find('/', imagePath.size());
            if (slash != std::string::npos)
                verdict.clusters =
                    std::uint32_t(std::strtoul(line.c_str() + slash + 1, nullptr, 10));
            continue;
        }
        verdict.onlyKnownLines = false;
    }
    return verdict;
}

class FormatInteropTest : public testing::TestWithParam<int> {};

TEST_P(FormatInteropTest, FsckAndMtoolsAcceptTheVolume) {
    const std::string fsck = apiFsckPath();
    ASSERT_FALSE(fsck.empty()) << "fsck.fat (dosfstools) is not installed";

    CardImage card(GetParam());
    ASSERT_EQ(quickFormat(), SmfsResult::Ok);
    const std::uint32_t clusterBytes = fat_cluster_bytes(0);
    const std::vector<std::uint8_t> big = pattern(clusterBytes * 2 + 700, 1);
    const std::vector<std::uint8_t> small = pattern(300, 2);
    writeFile(0, "GAME    BIN", big);
    writeFile(1, "README  TXT", small);
    ASSERT_EQ(fat_flush(0), SmfsResult::Ok);

    TempDir dir;
    const std::string raw = (dir / "partition.img").string();
    apiExtractPartition(raw);

    const ToolRun check = apiRunTool(fsck + " -n '" + raw + "'");
    const FsckSummary verdict = readFsckOutput(check.output, raw);
    EXPECT_TRUE(verdict.onlyKnownLines) << check.output;
    EXPECT_EQ(check.exitCode, verdict.labelRemark ? 1 : 0) << check.output;
    EXPECT_EQ(verdict.clusters, fat_volume(0)->clusterCount) << check.output;

    const ToolRun listing = apiRunTool("mdir -i '" + raw + "' ::");
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    EXPECT_NE(listing.output.find("GAME     BIN"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("README   TXT"), std::string::npos) << listing.output;

    const std::string copy = (dir / "game.bin").string();
    const ToolRun extract = apiRunTool("mcopy -n -i '" + raw + "' ::GAME.BIN '" + copy + "'");
    EXPECT_EQ(extract.exitCode, 0) << extract.output;
    EXPECT_EQ(readFile(copy), big);
}

INSTANTIATE_TEST_SUITE_P(AllCards, FormatInteropTest, testing::Range(0, kCardTypeCount),
                         cardTypeName);

} // namespace
