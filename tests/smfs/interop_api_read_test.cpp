// Volumes written by mtools, read through the public calls: a formatted card's partition is
// extracted, filled by mtools (files, nested folders, a long-named file, a deleted file, a
// volume label) and written back into the card's logical sectors. The public calls must see
// the 8.3 names, sizes, contents and dates, skip long-name and deleted entries when listing,
// and delete a long-named file together with its long-name entries.
#include "api_interop.h"

#include "fakes/temp_dir.h"

#include <common/le_bytes.h>
#include "smfs/dir.h"
#include "smfs/fat.h"

#include <gtest/gtest.h>

namespace {

// Live long-name entries of the root, read from the card's bytes.
int liveLongNameEntries() {
    const FatVolume* v = fat_volume(cs());
    int count = 0;
    std::uint8_t e[32];
    for (std::uint32_t at = 0; v && at < v->rootSectors * 512; at += 32) {
        EXPECT_EQ(cluster_read(cs(), kRootCluster, at, e, 32), SmfsResult::Ok);
        if (e[0] == 0) break;
        if (e[0] != 0xE5 && dir_is_long_name(e)) ++count;
    }
    return count;
}

TEST(InteropApiReadTest, VolumeWrittenByMtoolsIsReadByTheApi) {
    TestCard card(4, true);
    TempDir scratch;
    const std::string raw = (scratch / "partition.img").string();
    apiExtractPartition(raw);
    const std::string img = " -i '" + raw + "' ";

    const std::vector<std::uint8_t> hello = apiPattern(1234, 1);
    const std::vector<std::uint8_t> level = apiPattern(40000, 2);
    const std::vector<std::uint8_t> longNamed = apiPattern(20000, 3);
    const std::vector<std::uint8_t> gone = apiPattern(5000, 4);
    apiWriteHostFile(scratch / "HELLO.TXT", hello);
    apiWriteHostFile(scratch / "LEVEL1.DAT", level);
    apiWriteHostFile(scratch / "A Long File Name.txt", longNamed);
    apiWriteHostFile(scratch / "GONE.BIN", gone);
    apiWriteHostFile(scratch / "EMPTY.BIN", {});
    const std::string dir = scratch.path().string() + "/";
    const std::string commands[] = {
        // Dates travel with the files (mcopy -m): local time, as FAT stores it.
        "touch -d '2021-03-04 05:06:08' '" + dir + "HELLO.TXT' '" + dir + "LEVEL1.DAT' '" + dir +
            "A Long File Name.txt'",
        "mlabel" + img + "::VELA",
        "mcopy -m" + img + "'" + dir + "GONE.BIN' ::GONE.BIN",
        "mcopy -m" + img + "'" + dir + "HELLO.TXT' ::HELLO.TXT",
        "mmd" + img + "::GAMES",
        "mmd" + img + "::GAMES/DEMO",
        "mcopy -m" + img + "'" + dir + "LEVEL1.DAT' ::GAMES/DEMO/LEVEL1.DAT",
        "mcopy -m" + img + "'" + dir + "A Long File Name.txt' '::A Long File Name.txt'",
        "mcopy" + img + "'" + dir + "EMPTY.BIN' ::EMPTY.BIN",
        "mdel" + img + "::GONE.BIN",
    };
    for (const std::string& command : commands) {
        const ToolRun run = apiRunTool(command);
        ASSERT_EQ(run.exitCode, 0) << command << "\n" << run.output;
    }
    apiImportPartition(raw);

    // The label counts when listing; the long name's entries and the deleted file do not.
    const std::vector<std::string> root = apiList(api(), "vx:\\");
    EXPECT_EQ(root, (std::vector<std::string>{"VELA", "HELLO.TXT", "GAMES", "ALONGF~1.TXT",
                                              "EMPTY.BIN"}));
    std::uint32_t count = 0;
    ASSERT_EQ(api().count("vx:\\", &count), SmfsResult::Ok);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(apiList(api(), "vx:\\GAMES\\DEMO"), (std::vector<std::string>{".", "..", "LEVEL1.DAT"}));

    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\HELLO.TXT", &back), SmfsResult::Ok);
    EXPECT_EQ(back, hello);
    ASSERT_EQ(apiReadFile(api(), "vx:\\GAMES\\DEMO\\LEVEL1.DAT", &back), SmfsResult::Ok);
    EXPECT_EQ(back, level);
    ASSERT_EQ(apiReadFile(api(), "vx:\\alongf~1.txt", &back), SmfsResult::Ok);
    EXPECT_EQ(back, longNamed);
    ASSERT_EQ(apiReadFile(api(), "vx:\\EMPTY.BIN", &back), SmfsResult::Ok);
    EXPECT_TRUE(back.empty());
    std::uint32_t size = 0;
    ASSERT_EQ(api().fileSize("vx:\\GAMES\\DEMO\\LEVEL1.DAT", &size), SmfsResult::Ok);
    EXPECT_EQ(size, level.size());
    EXPECT_EQ(api().fileSize("vx:\\GONE.BIN", &size), SmfsResult::NotFound);

    SmfsEntryInfo info;
    ASSERT_EQ(api().info("vx:\\GAMES\\DEMO\\LEVEL1.DAT", &info), SmfsResult::Ok);
    EXPECT_EQ(dateText(info), "2021-03-04 05:06:08");
    ASSERT_EQ(api().info("vx:\\VELA", &info), SmfsResult::Ok);
    EXPECT_EQ(info.attribute, kSmfsAttrVolume);
    ASSERT_EQ(api().info("vx:\\GAMES", &info), SmfsResult::Ok);
    EXPECT_EQ(info.attribute & kSmfsAttrFolder, kSmfsAttrFolder);

    // Deleting the long-named file takes its long-name entries with it.
    EXPECT_GT(liveLongNameEntries(), 0);
    ASSERT_EQ(api().remove("vx:\\ALONGF~1.TXT"), SmfsResult::Ok);
    EXPECT_EQ(liveLongNameEntries(), 0);
    // An empty file another system wrote (no cluster) takes data like any other.
    ASSERT_EQ(apiWriteFile(api(), "vx:\\EMPTY.BIN", apiPattern(3000, 5)), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\HELLO.TXT", kSmfsWrite, &h), SmfsResult::Ok);
    ASSERT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "more", 4), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    apiExtractPartition(raw);
    const FsckVerdict verdict = apiFsck(raw);
    EXPECT_TRUE(verdict.clean) << verdict.output;
    const ToolRun listing = apiRunTool("mdir" + img + "::");
    EXPECT_EQ(listing.output.find("A Long File Name"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("HELLO    TXT      1238"), std::string::npos) << listing.output;
}

} // namespace
