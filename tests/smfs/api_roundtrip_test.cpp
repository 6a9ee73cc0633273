// Files and folders through the public calls and back: files of the sizes around a cluster
// written and read in uneven pieces, seeks from every origin, nested folders and recursive
// removal. (The full card, the full root and a folder growing past one cluster are scenarios
// of the interop tests, where fsck.fat and mtools check the result too.)
#include "test_card.h"

#include "test_card.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t clustersOf(std::uint64_t bytes, std::uint32_t clusterBytes) {
    return std::uint32_t(std::max<std::uint64_t>(1, (bytes + clusterBytes - 1) / clusterBytes));
}

class ApiRoundTripTest : public testing::TestWithParam<int> {};

TEST_P(ApiRoundTripTest, FilesOfTheSizesAroundACluster) {
    TestCard card(GetParam(), true);
    const std::uint32_t cb = card.clusterBytes();
    const std::uint64_t empty = apiFreeBytes(api());
    const std::uint32_t sizes[] = {0, 1, cb - 1, cb, cb + 1, (1u << 20) + 3};
    std::uint64_t expectedUse = 0;
    for (std::uint32_t size : sizes) {
        const std::string path = "vx:\\S" + std::to_string(size) + ".BIN";
        const std::vector<std::uint8_t> data = apiPattern(size, size);
        // Pieces that never line up with a cluster.
        ASSERT_EQ(apiWriteFile(api(), path, data, 777), SmfsResult::Ok) << path;
        if (size > 0) expectedUse += std::uint64_t(clustersOf(size, cb)) * cb;
        EXPECT_EQ(apiFreeBytes(api()), empty - expectedUse) << path;

        std::uint32_t stored = 0;
        ASSERT_EQ(api().fileSize(path.c_str(), &stored), SmfsResult::Ok);
        EXPECT_EQ(stored, size);
        SmfsHandle h = 0;
        ASSERT_EQ(api().open(path.c_str(), kSmfsRead, &h), SmfsResult::Ok);
        std::vector<std::uint8_t> back(size + 10);
        std::uint32_t done = 0;
        SmfsResult r = SmfsResult::Ok;
        while (r == SmfsResult::Ok) {
            std::uint32_t count = 0;
            r = api().read(h, back.data() + done, 1000, &count);
            done += count;
        }
        EXPECT_EQ(r, SmfsResult::EndOfData);
        ASSERT_EQ(api().close(h), SmfsResult::Ok);
        back.resize(done);
        EXPECT_TRUE(back == data) << path;
    }
    // A fresh mount sees the same.
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty - expectedUse);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\S" + std::to_string(cb + 1) + ".BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == apiPattern(cb + 1, cb + 1));
}

TEST_P(ApiRoundTripTest, SeekFromEveryOrigin) {
    TestCard card(GetParam(), true);
    const std::uint32_t cb = card.clusterBytes();
    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 50, 7);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\SEEK.BIN", data), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\SEEK.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    auto byteAt = [&](std::uint32_t expectedPosition) {
        std::uint32_t position = 0;
        EXPECT_EQ(api().seek(h, kSmfsSeekCurrent, 0, &position), SmfsResult::Ok);
        EXPECT_EQ(position, expectedPosition);
        std::uint8_t b = 0;
        std::uint32_t count = 0;
        EXPECT_EQ(api().read(h, &b, 1, &count), SmfsResult::Ok);
        EXPECT_EQ(b, data[expectedPosition]) << expectedPosition;
    };
    std::uint32_t previous = 1;
    ASSERT_EQ(api().seek(h, kSmfsSeekStart, cb, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 0u);
    byteAt(cb);
    ASSERT_EQ(api().seek(h, kSmfsSeekCurrent, -2, nullptr), SmfsResult::Ok);
    byteAt(cb - 1);
    ASSERT_EQ(api().seek(h, kSmfsSeekCurrent, std::int64_t(2 * cb), nullptr), SmfsResult::Ok);
    byteAt(3 * cb);
    ASSERT_EQ(api().seek(h, kSmfsSeekEnd, -50, nullptr), SmfsResult::Ok);
    byteAt(3 * cb);
    ASSERT_EQ(api().seek(h, kSmfsSeekEnd, -1, nullptr), SmfsResult::Ok);
    byteAt(3 * cb + 49);
    // Targets outside the file are clamped to its ends.
    ASSERT_EQ(api().seek(h, kSmfsSeekCurrent, -100000000, nullptr), SmfsResult::Ok);
    byteAt(0);
    ASSERT_EQ(api().seek(h, kSmfsSeekStart, 100000000, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 1u);
    ASSERT_EQ(api().seek(h, kSmfsSeekCurrent, 0, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, data.size());
    EXPECT_EQ(api().seek(h, 3, 0, nullptr), SmfsResult::InvalidArgument);

    // Writing at the end after a seek extends the file; writing in the middle replaces.
    ASSERT_EQ(api().write(h, "END", 3), SmfsResult::Ok);
    ASSERT_EQ(api().seek(h, kSmfsSeekStart, cb - 1, nullptr), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "XY", 2), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::vector<std::uint8_t> expected = data;
    expected.insert(expected.end(), {'E', 'N', 'D'});
    expected[cb - 1] = 'X';
    expected[cb] = 'Y';
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\SEEK.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == expected);
}

TEST_P(ApiRoundTripTest, NestedFoldersAndRecursiveRemoval) {
    TestCard card(GetParam(), true);
    const std::uint64_t empty = apiFreeBytes(api());
    ASSERT_EQ(api().mkdir("vx:\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B\\E", 0), SmfsResult::Ok);
    const std::vector<std::uint8_t> deep = apiPattern(5 * card.clusterBytes() / 2, 3);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A\\B\\C\\DEEP.BIN", deep), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A\\TOP.BIN", apiPattern(100, 4)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A\\B\\E\\NIL.BIN", {}), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.BIN", apiPattern(10, 5)), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\A\\B\\C\\DEEP.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back == deep);
    EXPECT_EQ(apiList(api(), "vx:\\A\\B"), (std::vector<std::string>{".", "..", "C", "E"}));

    EXPECT_EQ(api().rmdir("vx:\\A", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(api().rmdir("vx:\\A\\B\\C", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(api().rmdir("vx:\\KEEP.BIN", 0), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().rmdir("vx:\\NONE", 0), SmfsResult::NotFound);
    ASSERT_EQ(api().rmdir("vx:\\A\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(api().rmdir("vx:\\A", 1), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"KEEP.BIN"});
    EXPECT_EQ(apiFreeBytes(api()), empty - card.clusterBytes());
    ASSERT_EQ(api().remove("vx:\\KEEP.BIN"), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty);
}

INSTANTIATE_TEST_SUITE_P(Cards, ApiRoundTripTest, testing::Values(1, 4), cardTypeName);

} // namespace
