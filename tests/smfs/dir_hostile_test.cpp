// Cards whose directories and chains were damaged or built to trap a reader: folder chains
// that loop, folders that contain themselves, folder entries naming the root's cluster 0,
// file chains that loop or leave the volume. Every walk must end with a result code.
#include "test_card.h"

#include <common/le_bytes.h>
#include "smfs/dir.h"
#include "smfs/fat.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A raw 32-byte entry.
std::vector<std::uint8_t> entry(const char* name11, std::uint8_t attr, std::uint16_t cluster,
                                std::uint32_t size) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[kDeAttr] = attr;
    putLe16(e.data() + kDeCluster, cluster);
    putLe32(e.data() + kDeSize, size);
    return e;
}

std::uint32_t clusterOf(const char* path) {
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info(path, &info), SmfsResult::Ok) << path;
    return info.firstCluster;
}

// Writes the FAT and starts again from the card, as a reader meeting the damage would.
void remount() {
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
}

class DirHostileTest : public testing::Test {
protected:
    TestCard card{0, true};
};

TEST_F(DirHostileTest, FolderChainLoopingOnItself) {
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    const std::uint32_t d = clusterOf("vx:\\D");
    // Every slot of the cluster holds a live entry, so no end marker stops a walk.
    std::vector<std::uint8_t> slots(card.clusterBytes());
    ASSERT_EQ(cluster_read(cs(), d, 0, slots.data(), 64), SmfsResult::Ok);
    for (std::uint32_t at = 64; at < card.clusterBytes(); at += 32) {
        std::string name = "F" + std::to_string(at / 32);
        name.resize(11, ' ');
        const auto e = entry(name.c_str(), kAttrArchive, 0, 0);
        std::memcpy(slots.data() + at, e.data(), 32);
    }
    ASSERT_EQ(cluster_write(cs(), d, 0, slots.data(), card.clusterBytes()), SmfsResult::Ok);
    fat_set_entry(cs(), d, static_cast<std::uint16_t>(d));
    ASSERT_NO_FATAL_FAILURE(remount());

    SmfsResult r = SmfsResult::Ok;
    apiList(api(), "vx:\\D", &r);
    EXPECT_EQ(r, SmfsResult::BrokenChain);
    std::uint32_t count = 0;
    EXPECT_EQ(api().count("vx:\\D", &count), SmfsResult::BrokenChain);
    SmfsEntryInfo info;
    EXPECT_EQ(api().info("vx:\\D\\NOPE", &info), SmfsResult::BrokenChain);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\D\\NEW", 0, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\D", 0), SmfsResult::FolderNotEmpty);
    EXPECT_EQ(api().rmdir("vx:\\D", 1), SmfsResult::BrokenChain);
    // The rest of the card is unharmed.
    ASSERT_EQ(apiWriteFile(api(), "vx:\\OK.TXT", apiPattern(100, 1)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"D", "OK.TXT"}));
}

TEST_F(DirHostileTest, FolderThatContainsItself) {
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\D\\SUB", 0), SmfsResult::Ok);
    const std::uint32_t sub = clusterOf("vx:\\D\\SUB");
    const auto back = entry("BACK       ", kAttrFolder, static_cast<std::uint16_t>(sub), 0);
    ASSERT_EQ(dir_create_entry_from(cs(), sub, "BACK", back.data()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(remount());

    EXPECT_EQ(apiList(api(), "vx:\\D\\SUB\\BACK\\BACK"), (std::vector<std::string>{".", "..", "BACK"}));
    EXPECT_EQ(api().rmdir("vx:\\D", 1), SmfsResult::BrokenChain);
    // Moving the folder below itself is refused rather than looping.
    EXPECT_EQ(api().move("vx:\\D", "vx:\\D\\SUB\\BACK\\D"), SmfsResult::InvalidArgument);
}

TEST_F(DirHostileTest, FolderEntryNamingClusterZeroIsNotTheRoot) {
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.TXT", apiPattern(100, 2)), SmfsResult::Ok);
    const auto z = entry("Z          ", kAttrFolder, 0, 0);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "Z", z.data()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(remount());

    SmfsResult r = SmfsResult::Ok;
    apiList(api(), "vx:\\Z\\", &r);
    EXPECT_EQ(r, SmfsResult::BrokenChain);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\Z\\KEEP.TXT", 1, &h), SmfsResult::BrokenChain);
    EXPECT_EQ(api().rmdir("vx:\\Z", 1), SmfsResult::BrokenChain);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(apiReadFile(api(), "vx:\\KEEP.TXT", &bytes), SmfsResult::Ok);
    EXPECT_EQ(bytes, apiPattern(100, 2));
}

TEST_F(DirHostileTest, FileChainsThatLoopOrLeaveTheVolume) {
    const std::uint32_t cb = card.clusterBytes();
    ASSERT_EQ(apiWriteFile(api(), "vx:\\LOOP.BIN", apiPattern(3 * cb, 3)), SmfsResult::Ok);
    const std::uint32_t first = clusterOf("vx:\\LOOP.BIN");
    const std::uint32_t second = fat_entry(cs(), first);
    const std::uint32_t third = fat_entry(cs(), second);
    fat_set_entry(cs(), third, static_cast<std::uint16_t>(first));
    // A second file claims a size far beyond its one cluster, and a third starts outside.
    const auto huge =
        entry("HUGE    BIN", kAttrArchive, static_cast<std::uint16_t>(first), 0x7FFFFFF0u);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "HUGE.BIN", huge.data()), SmfsResult::Ok);
    const auto outside = entry("OUT     BIN", kAttrArchive, 0xFFF0, 100);
    ASSERT_EQ(dir_create_entry_from(cs(), kRootCluster, "OUT.BIN", outside.data()), SmfsResult::Ok);
    ASSERT_NO_FATAL_FAILURE(remount());

    std::vector<std::uint8_t> buffer(4 * cb);
    std::uint32_t count = 0;
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\HUGE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), std::uint32_t(buffer.size()), &count), SmfsResult::Ok);
    EXPECT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Internal);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    ASSERT_EQ(api().open("vx:\\OUT.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, buffer.data(), 10, &count), SmfsResult::Internal);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(api().write(h, buffer.data(), 10), SmfsResult::BrokenChain);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    EXPECT_EQ(api().remove("vx:\\LOOP.BIN"), SmfsResult::BrokenChain);
    EXPECT_EQ(api().remove("vx:\\OUT.BIN"), SmfsResult::BrokenChain);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"HUGE.BIN"});
}

} // namespace

TEST_F(DirHostileTest, FileGivenAFolderClusterTheFatCalledFreeClosesIntoItsOwnEntry) {
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    const std::uint32_t d = clusterOf("vx:\\D");
    fat_set_entry(cs(), d, 0);
    ASSERT_NO_FATAL_FAILURE(remount());

    const auto bytes = apiPattern(100, 4);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\NEW.BIN", bytes), SmfsResult::Ok);
    ASSERT_EQ(clusterOf("vx:\\NEW.BIN"), d) << "the new file must take the folder's cluster";
    // Both entries now start at one cluster; the close must size the file's, not the folder's.
    SmfsEntryInfo info{};
    ASSERT_EQ(api().info("vx:\\NEW.BIN", &info), SmfsResult::Ok);
    EXPECT_EQ(info.size, bytes.size());
    ASSERT_EQ(api().info("vx:\\D", &info), SmfsResult::Ok);
    EXPECT_EQ(info.size, 0u);
}
