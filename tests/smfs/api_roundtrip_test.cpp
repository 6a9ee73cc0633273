// Files and folders through the public calls and back: files of the sizes around a cluster
// written and read in uneven pieces, seeks from every origin, nested folders and recursive
// removal. (The full card, the full root and a folder growing past one cluster are scenarios
// of the interop tests, where fsck.fat and mtools check the result too.)
#include "api_card.h"

#include "format_fixture.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t clustersOf(std::uint64_t bytes, std::uint32_t clusterBytes) {
    return std::uint32_t(std::max<std::uint64_t>(1, (bytes + clusterBytes - 1) / clusterBytes));
}

class ApiRoundTripTest : public testing::TestWithParam<int> {};

TEST_P(ApiRoundTripTest, FilesOfTheSizesAroundACluster) {
    ApiCard card(GetParam());
    const std::uint32_t cb = card.clusterBytes();
    const std::uint64_t empty = apiFreeBytes();
    const std::uint32_t sizes[] = {0, 1, cb - 1, cb, cb + 1, (1u << 20) + 3};
    std::uint64_t expectedUse = 0;
    for (std::uint32_t size : sizes) {
        const std::string path = "vx:\\S" + std::to_string(size) + ".BIN";
        const std::vector<std::uint8_t> data = apiPattern(size, size);
        // Pieces that never line up with a cluster.
        ASSERT_EQ(apiWriteFile(path, data, 777), SmfsResult::Ok) << path;
        if (size > 0) expectedUse += std::uint64_t(clustersOf(size, cb)) * cb;
        EXPECT_EQ(apiFreeBytes(), empty - expectedUse) << path;

        std::uint32_t stored = 0;
        ASSERT_EQ(smfs_file_size(path.c_str(), &stored), SmfsResult::Ok);
        EXPECT_EQ(stored, size);
        SmfsHandle h = 0;
        ASSERT_EQ(smfs_open(path.c_str(), kSmfsRead, &h), SmfsResult::Ok);
        std::vector<std::uint8_t> back(size + 10);
        std::uint32_t done = 0;
        SmfsResult r = SmfsResult::Ok;
        while (r == SmfsResult::Ok) {
            std::uint32_t count = 0;
            r = smfs_read(h, back.data() + done, 1000, &count);
            done += count;
        }
        EXPECT_EQ(r, SmfsResult::EndOfData);
        ASSERT_EQ(smfs_close(h), SmfsResult::Ok);
        back.resize(done);
        EXPECT_TRUE(back == data) << path;
    }
    // A fresh mount sees the same.
    ASSERT_EQ(smfs_init(), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(), empty - expectedUse);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile("vx:\\S" + std::to_string(cb + 1) + ".BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == apiPattern(cb + 1, cb + 1));
}

TEST_P(ApiRoundTripTest, SeekFromEveryOrigin) {
    ApiCard card(GetParam());
    const std::uint32_t cb = card.clusterBytes();
    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 50, 7);
    ASSERT_EQ(apiWriteFile("vx:\\SEEK.BIN", data), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(smfs_open("vx:\\SEEK.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    auto byteAt = [&](std::uint32_t expectedPosition) {
        std::uint32_t position = 0;
        EXPECT_EQ(smfs_seek(h, kSmfsSeekCurrent, 0, &position), SmfsResult::Ok);
        EXPECT_EQ(position, expectedPosition);
        std::uint8_t b = 0;
        std::uint32_t count = 0;
        EXPECT_EQ(smfs_read(h, &b, 1, &count), SmfsResult::Ok);
        EXPECT_EQ(b, data[expectedPosition]) << expectedPosition;
    };
    std::uint32_t previous = 1;
    ASSERT_EQ(smfs_seek(h, kSmfsSeekStart, cb, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 0u);
    byteAt(cb);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekCurrent, -2, nullptr), SmfsResult::Ok);
    byteAt(cb - 1);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekCurrent, std::int64_t(2 * cb), nullptr), SmfsResult::Ok);
    byteAt(3 * cb);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekEnd, -50, nullptr), SmfsResult::Ok);
    byteAt(3 * cb);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekEnd, -1, nullptr), SmfsResult::Ok);
    byteAt(3 * cb + 49);
    // Targets outside the file are clamped to its ends.
    ASSERT_EQ(smfs_seek(h, kSmfsSeekCurrent, -100000000, nullptr), SmfsResult::Ok);
    byteAt(0);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekStart, 100000000, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 1u);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekCurrent, 0, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, data.size());
    EXPECT_EQ(smfs_seek(h, 3, 0, nullptr), SmfsResult::InvalidArgument);

    // Writing at the end after a seek extends the file; writing in the middle replaces.
    ASSERT_EQ(smfs_write(h, "END", 3), SmfsResult::Ok);
    ASSERT_EQ(smfs_seek(h, kSmfsSeekStart, cb - 1, nullptr), SmfsResult::Ok);
    ASSERT_EQ(smfs_write(h, "XY", 2), SmfsResult::Ok);
    ASSERT_EQ(smfs_close(h), SmfsResult::Ok);
    std::vector<std::uint8_t> expected = data;
    expected.insert(expected.end(), {'E', 'N', 'D'});
    expected[cb - 1] = 'X';
    expected[cb] = 'Y';
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile("vx:\\SEEK.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == expected);
}

TEST_P(ApiRoundTripTest, NestedFoldersAndRecursiveRemoval) {
    ApiCard card(GetParam());
    const std::uint64_t empty = apiFreeBytes();
    ASSERT_EQ(smfs_mkdir("vx:\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(smfs_mkdir("vx:\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(smfs_mkdir("vx:\\A\\B\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(smfs_mkdir("vx:\\A\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(smfs_mkdir("vx:\\A\\B\\E", 0), SmfsResult::Ok);
    const std::vector<std::uint8_t> deep = apiPattern(5 * card.clusterBytes() / 2, 3);
    ASSERT_EQ(apiWriteFile("vx:\\A\\B\\C\\DEEP.BIN", deep), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile("vx:\\A\\TOP.BIN", apiPattern(100, 4)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile("vx:\\A\\B\\E\\NIL.BIN", {}), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile("vx:\\KEEP.BIN", apiPattern(10, 5)), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile("vx:\\A\\B\\C\\DEEP.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == deep);
    EXPECT_EQ(apiList("vx:\\A\\B"), (std::vector<std::string>{".", "..", "C", "E"}));

    EXPECT_EQ(smfs_rmdir("vx:\\A", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(smfs_rmdir("vx:\\A\\B\\C", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(smfs_rmdir("vx:\\KEEP.BIN", 0), SmfsResult::InvalidArgument);
    EXPECT_EQ(smfs_rmdir("vx:\\NONE", 0), SmfsResult::NotFound);
    ASSERT_EQ(smfs_rmdir("vx:\\A\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(smfs_rmdir("vx:\\A", 1), SmfsResult::Ok);
    EXPECT_EQ(apiList("vx:\\"), std::vector<std::string>{"KEEP.BIN"});
    EXPECT_EQ(apiFreeBytes(), empty - card.clusterBytes());
    ASSERT_EQ(smfs_delete("vx:\\KEEP.BIN"), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(), empty);
}

INSTANTIATE_TEST_SUITE_P(Cards, ApiRoundTripTest, testing::Values(1, 4), cardTypeName);

} // namespace
