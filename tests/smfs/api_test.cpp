// SPDX-License-Identifier: MIT
// The public calls: files round-trip around cluster sizes and through every seek origin,
// the ten-handle limits, short reads and modes, listings, moves, reserve, deferred FAT
// writes, and the rules that keep open files and the root safe.
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr int kCard = 2; // 4 MB: 8 KiB clusters

TEST(ApiStateTest, BlankCardIsUnformattedAndUnknownCardIsReported) {
    TestCard image(kCard);
    std::uint64_t total = 1, used = 1, free = 1;
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Unformatted);
    EXPECT_EQ(total + used + free, 0u);
    EXPECT_EQ(api().space("vy:", &total, &used, &free), SmfsResult::InvalidArgument);

    image.writeBytes(0, {0x12, 0x73});
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    EXPECT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::UnknownCard);
}

TEST(ApiStateTest, FormatReportsSpaceAndAVersion) {
    TestCard card(kCard, true);
    std::uint64_t total = 0, used = 1, free = 0;
    ASSERT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Ok);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(free, total);
    EXPECT_EQ(total, std::uint64_t(fat_volume(cs())->clusterCount) * card.clusterBytes());

    SmfsVersion v;
    ASSERT_EQ(api().version(&v), SmfsResult::Ok);
    EXPECT_STREQ(v.text, "SmartMedia File System v2.22");
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 22);
}

TEST(ApiCreateTest, ExistingNameAndOverwrite) {
    TestCard card(kCard, true);
    const std::uint64_t empty = apiFreeBytes(api());
    ASSERT_EQ(apiWriteFile(api(), "vx:\\SAVE.DAT", apiPattern(3 * card.clusterBytes(), 1)),
              SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty - 3 * card.clusterBytes());

    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\save.dat", 2, &h), SmfsResult::NameExists);
    EXPECT_EQ(api().create("vx:\\SAVE.DAT", 0, &h), SmfsResult::NameExists);
    ASSERT_EQ(api().create("vx:\\SAVE.DAT", 1, &h), SmfsResult::Ok);
    // The old clusters are free; the new empty file holds one until it is closed.
    EXPECT_EQ(apiFreeBytes(api()), empty - card.clusterBytes());
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty);
    std::uint32_t size = 9;
    EXPECT_EQ(api().fileSize("vx:\\SAVE.DAT", &size), SmfsResult::Ok);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"SAVE.DAT"});

    // A folder is never replaced by a file.
    ASSERT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
    EXPECT_EQ(api().create("vx:\\GAMES", 1, &h), SmfsResult::NameExists);
    EXPECT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::NameExists);
    EXPECT_EQ(api().mkdir("vx:\\SAVE.DAT", 0), SmfsResult::NameExists);
}

TEST(ApiCreateTest, EmptyFilesNameNoClusterAndGrowWhenWritten) {
    TestCard card(kCard, true);
    const std::uint64_t empty = apiFreeBytes(api());
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\EMPTY.TXT", 0, &h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty - card.clusterBytes());
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty);
    SmfsEntryInfo info;
    ASSERT_EQ(api().info("vx:\\EMPTY.TXT", &info), SmfsResult::Ok);
    EXPECT_EQ(info.firstCluster, 0u);
    EXPECT_EQ(info.size, 0u);

    ASSERT_EQ(api().open("vx:\\EMPTY.TXT", kSmfsRead, &h), SmfsResult::Ok);
    std::uint8_t byte = 0;
    std::uint32_t count = 1;
    EXPECT_EQ(api().read(h, &byte, 1, &count), SmfsResult::EndOfData);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    // Opened for writing it takes a cluster of its own, never the root's cluster 0.
    ASSERT_EQ(api().open("vx:\\EMPTY.TXT", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_NE(h & 0xFFFF, 0u);
    const std::vector<std::uint8_t> data = apiPattern(card.clusterBytes() + 5, 2);
    ASSERT_EQ(api().write(h, data.data(), std::uint32_t(data.size())), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\EMPTY.TXT", &back), SmfsResult::Ok);
    EXPECT_EQ(back, data);
    EXPECT_EQ(apiList(api(), "vx:\\"), std::vector<std::string>{"EMPTY.TXT"});
    EXPECT_EQ(apiFreeBytes(api()), empty - 2 * card.clusterBytes());
}

TEST(ApiCreateTest, DeletingAnEmptyFileThatNamesAClusterFreesIt) {
    TestCard card(kCard, true);
    const std::uint64_t empty = apiFreeBytes(api());
    // An empty file as cards written before kept it: its entry names a one-cluster chain.
    std::uint32_t c = 0;
    ASSERT_EQ(fat_alloc_cluster(cs(), &c), SmfsResult::Ok);
    fat_set_entry(cs(), c, kFatEnd);
    ASSERT_EQ(dir_create_entry(cs(), kRootCluster, "OLD.TXT",
                               DirEntryRecord{kAttrArchive, c, 0, testClock()}),
              SmfsResult::Ok);
    ASSERT_EQ(fat_flush(cs()), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty - card.clusterBytes());
    ASSERT_EQ(api().remove("vx:\\OLD.TXT"), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty);
    std::uint32_t size = 7;
    EXPECT_EQ(api().fileSize("vx:\\OLD.TXT", &size), SmfsResult::NotFound);
    EXPECT_EQ(size, 0u);
}

TEST(ApiHandleTest, TenHandlesOfOneFileAndTenFiles) {
    TestCard card(kCard, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONE.BIN", apiPattern(10, 1)), SmfsResult::Ok);
    std::vector<SmfsHandle> handles(10);
    for (auto& h : handles)
        ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    for (std::size_t i = 0; i < handles.size(); ++i)
        EXPECT_EQ((handles[i] >> 16) & 0xFF, i);
    SmfsHandle extra = 0;
    EXPECT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &extra), SmfsResult::FileOpenTenTimes);
    // Closing one frees its index for the next open.
    ASSERT_EQ(api().close(handles[4]), SmfsResult::Ok);
    EXPECT_EQ(api().close(handles[4]), SmfsResult::HandleNotOpen);
    ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &handles[4]), SmfsResult::Ok);
    EXPECT_EQ((handles[4] >> 16) & 0xFF, 4u);
    for (auto h : handles)
        ASSERT_EQ(api().close(h), SmfsResult::Ok);

    std::vector<SmfsHandle> files(10);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string name = "vx:\\F" + std::to_string(i) + ".BIN";
        ASSERT_EQ(api().create(name.c_str(), 0, &files[i]), SmfsResult::Ok);
        ASSERT_EQ(api().write(files[i], "abc", 3), SmfsResult::Ok);
    }
    const std::uint64_t before = apiFreeBytes(api());
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\F10.BIN", 0, &h), SmfsResult::TooManyOpen);
    EXPECT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::TooManyOpen);
    // The refused create leaves neither an entry nor a cluster behind.
    EXPECT_EQ(apiFreeBytes(api()), before);
    std::uint32_t size = 0;
    EXPECT_EQ(api().fileSize("vx:\\F10.BIN", &size), SmfsResult::NotFound);
    for (auto f : files)
        ASSERT_EQ(api().close(f), SmfsResult::Ok);
    EXPECT_EQ(api().fileSize("vx:\\F9.BIN", &size), SmfsResult::Ok);
    EXPECT_EQ(size, 3u);

    EXPECT_EQ(api().read(0x01000000 | handles[0], &size, 1, &size), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().read(files[0], &size, 1, &size), SmfsResult::HandleNotOpen);
    // Bit 31 of a handle is ignored; a reset forgets every handle.
    ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    std::uint8_t b[4];
    EXPECT_EQ(api().read(h | 0x80000000u, b, 4, &size), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, b, 4, &size), SmfsResult::HandleNotOpen);
}

TEST(ApiHandleTest, ShortReadReadOnlyWriteAndModes) {
    TestCard card(kCard, true);
    const std::vector<std::uint8_t> forty = apiPattern(40, 3);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\FORTY.BIN", forty), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\FORTY.BIN", kSmfsRead, &h), SmfsResult::Ok);
    std::vector<std::uint8_t> buffer(100);
    std::uint32_t count = 0;
    EXPECT_EQ(api().read(h, buffer.data(), 100, &count), SmfsResult::EndOfData);
    EXPECT_EQ(count, 40u);
    EXPECT_TRUE(std::equal(forty.begin(), forty.end(), buffer.begin()));
    EXPECT_EQ(api().read(h, buffer.data(), 1, &count), SmfsResult::EndOfData);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(api().write(h, "x", 1), SmfsResult::NotWritable);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);

    EXPECT_EQ(api().open("vx:\\FORTY.BIN", 0, &h), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().open("vx:\\FORTY.BIN", 4, &h), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().open("vx:\\NONE.BIN", kSmfsRead, &h), SmfsResult::NotFound);
    ASSERT_EQ(api().mkdir("vx:\\DIR", 0), SmfsResult::Ok);
    // A folder may be read as a file but never written as one.
    EXPECT_EQ(api().open("vx:\\DIR", kSmfsWrite, &h), SmfsResult::InvalidArgument);

    // Write-only handle overwrites in the middle without changing the rest.
    ASSERT_EQ(api().open("vx:\\FORTY.BIN", kSmfsWrite, &h), SmfsResult::Ok);
    ASSERT_EQ(api().seek(h, kSmfsSeekStart, 10, nullptr), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "HELLO", 5), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\FORTY.BIN", &back), SmfsResult::Ok);
    std::vector<std::uint8_t> expected = forty;
    std::memcpy(expected.data() + 10, "HELLO", 5);
    EXPECT_EQ(back, expected);
}

TEST(ApiEntryTest, InfoCarriesTheClocksDateAndTheRootIsNoEntry) {
    TestCard card(kCard, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\DATED.TXT", apiPattern(1234, 4)), SmfsResult::Ok);
    SmfsEntryInfo info;
    ASSERT_EQ(api().info("vx:\\DATED.TXT", &info), SmfsResult::Ok);
    EXPECT_EQ(info.attribute, kSmfsAttrArchive);
    EXPECT_EQ(info.size, 1234u);
    EXPECT_GE(info.firstCluster, 2u);
    EXPECT_EQ(dateText(info), "2024-05-17 13:45:30");
    EXPECT_EQ(api().info("vx:\\", &info), SmfsResult::IsRoot);
    EXPECT_EQ(api().info("vx:\\MISSING", &info), SmfsResult::NotFound);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(api().info("vx:\\D", &info), SmfsResult::Ok);
    EXPECT_EQ(info.attribute, kSmfsAttrFolder);
}

TEST(ApiEntryTest, ListingDeliversDotsThenNamesAndEndsWith19) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
    char names[32 * kSmfsNameSlotBytes];
    std::uint32_t delivered = 0;
    EXPECT_EQ(api().list("vx:\\GAMES", 0, 32, names, &delivered), SmfsResult::EndOfData);
    ASSERT_EQ(delivered, 2u);
    EXPECT_STREQ(names, ".");
    EXPECT_STREQ(names + kSmfsNameSlotBytes, "..");

    const char* files[] = {"A.TXT", "b.bin", "LONGNAME.EXT", "NOEXT", "X1"};
    for (const char* f : files)
        ASSERT_EQ(apiWriteFile(api(), std::string("vx:\\GAMES\\") + f, apiPattern(5, 5)),
                  SmfsResult::Ok);
    EXPECT_EQ(api().list("vx:\\GAMES", 0, 32, names, &delivered), SmfsResult::EndOfData);
    ASSERT_EQ(delivered, 7u);
    EXPECT_STREQ(names + 3 * kSmfsNameSlotBytes, "B.BIN");
    EXPECT_STREQ(names + 4 * kSmfsNameSlotBytes, "LONGNAME.EXT");
    EXPECT_STREQ(names + 5 * kSmfsNameSlotBytes, "NOEXT");
    // A window from index 3: exactly filled is success, running out is 19.
    EXPECT_EQ(api().list("vx:\\GAMES\\", 3, 4, names, &delivered), SmfsResult::Ok);
    EXPECT_EQ(delivered, 4u);
    EXPECT_STREQ(names, "B.BIN");
    EXPECT_EQ(api().list("vx:\\GAMES", 6, 4, names, &delivered), SmfsResult::EndOfData);
    EXPECT_EQ(delivered, 1u);
    EXPECT_STREQ(names, "X1");
    std::uint32_t count = 0;
    EXPECT_EQ(api().count("vx:\\GAMES", &count), SmfsResult::Ok);
    EXPECT_EQ(count, 7u);
    // Deleted entries are skipped.
    ASSERT_EQ(api().remove("vx:\\GAMES\\B.BIN"), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\GAMES"),
              (std::vector<std::string>{".", "..", "A.TXT", "LONGNAME.EXT", "NOEXT", "X1"}));
    // A file is not a folder to list.
    EXPECT_EQ(api().list("vx:\\GAMES\\A.TXT", 0, 4, names, &delivered),
              SmfsResult::InvalidArgument);
    EXPECT_EQ(api().list("vx:\\NONE", 0, 4, names, &delivered), SmfsResult::NotFound);
}

TEST(ApiSafetyTest, FileInTheMiddleOfAPathIsNotAFolder) {
    TestCard card(kCard, true);
    const std::vector<std::uint8_t> data = apiPattern(3000, 6);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.TXT", data), SmfsResult::Ok);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\A.TXT\\B", 0, &h), SmfsResult::NotFound);
    EXPECT_EQ(api().mkdir("vx:\\A.TXT\\B", 0), SmfsResult::NotFound);
    char names[kSmfsNameSlotBytes];
    std::uint32_t delivered = 0;
    EXPECT_EQ(api().list("vx:\\A.TXT\\", 0, 1, names, &delivered), SmfsResult::NotFound);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\A.TXT", &back), SmfsResult::Ok);
    EXPECT_EQ(back, data);
}

TEST(ApiSafetyTest, OpenFileIsNotDeleted) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\D\\KEEP.BIN", apiPattern(100, 7)), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\D\\KEEP.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_EQ(api().remove("vx:\\D\\KEEP.BIN"), SmfsResult::FileStillOpen);
    SmfsHandle other = 0;
    EXPECT_EQ(api().create("vx:\\D\\KEEP.BIN", 1, &other), SmfsResult::FileStillOpen);
    EXPECT_EQ(api().rmdir("vx:\\D", 1), SmfsResult::FileStillOpen);
    // The handle still works and its file is whole.
    ASSERT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "tail", 4), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::uint32_t size = 0;
    ASSERT_EQ(api().fileSize("vx:\\D\\KEEP.BIN", &size), SmfsResult::Ok);
    EXPECT_EQ(size, 104u);
    EXPECT_EQ(api().remove("vx:\\D\\KEEP.BIN"), SmfsResult::Ok);
}

TEST(ApiSafetyTest, TheRootIsNeverATargetToRemove) {
    TestCard card(kCard, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.TXT", apiPattern(10, 8)), SmfsResult::Ok);
    EXPECT_EQ(api().rmdir("vx:\\", 1), SmfsResult::IsRoot);
    EXPECT_EQ(api().remove("vx:\\"), SmfsResult::IsRoot);
    EXPECT_EQ(api().move("vx:\\", "vx:\\X"), SmfsResult::IsRoot);
    EXPECT_EQ(api().move("vx:\\A.TXT", "vx:\\"), SmfsResult::IsRoot);
    EXPECT_EQ(api().rename("vx:\\", "vx:\\X"), SmfsResult::IsRoot);
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\", 1, &h), SmfsResult::IsRoot);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    // ".." of a first-level folder is the root: no call may act on it by that name.
    EXPECT_EQ(api().rmdir("vx:\\D\\..", 1), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().remove("vx:\\D\\.."), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().move("vx:\\D\\..", "vx:\\E"), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().rmdir("vx:\\D\\.", 1), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().create("vx:\\D\\..", 1, &h), SmfsResult::NameExists);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"A.TXT", "D"}));
    EXPECT_EQ(api().remove("vx:\\D"), SmfsResult::InvalidArgument);
}

TEST(ApiMoveTest, MoveAndRenameRefuseExistingNamesAndKeepTheFile) {
    TestCard card(kCard, true);
    const std::vector<std::uint8_t> a = apiPattern(9000, 9);
    const std::vector<std::uint8_t> b = apiPattern(20, 10);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", a), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.BIN", b), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    EXPECT_EQ(api().move("vx:\\A.BIN", "vx:\\B.BIN"), SmfsResult::NameExists);
    EXPECT_EQ(api().rename("vx:\\A.BIN", "vx:\\b.bin"), SmfsResult::NameExists);
    EXPECT_EQ(api().rename("vx:\\A.BIN", "vx:\\D\\C.BIN"), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().move("vx:\\NONE\\A.BIN", "vx:\\C.BIN"), SmfsResult::MoveSourceNotFound);
    EXPECT_EQ(api().move("vx:\\A.BIN", "vx:\\NONE\\A.BIN"), SmfsResult::NameExists);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\B.BIN", &back), SmfsResult::Ok);
    EXPECT_EQ(back, b);

    SmfsEntryInfo before, after;
    ASSERT_EQ(api().info("vx:\\A.BIN", &before), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\A.BIN", "vx:\\D\\MOVED.BIN"), SmfsResult::Ok);
    ASSERT_EQ(api().info("vx:\\D\\MOVED.BIN", &after), SmfsResult::Ok);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(api().info("vx:\\A.BIN", &after), SmfsResult::NotFound);
    ASSERT_EQ(api().rename("vx:\\D\\MOVED.BIN", "vx:\\D\\NEW.BIN"), SmfsResult::Ok);
    ASSERT_EQ(apiReadFile(api(), "vx:\\D\\NEW.BIN", &back), SmfsResult::Ok);
    EXPECT_EQ(back, a);
    EXPECT_EQ(apiList(api(), "vx:\\D"), (std::vector<std::string>{".", "..", "NEW.BIN"}));
}

TEST(ApiMoveTest, FolderMovesKeepTheTreeConsistent) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().mkdir("vx:\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A\\B\\F.TXT", apiPattern(10, 11)), SmfsResult::Ok);
    // Into itself or its own sub-folder would cut the tree off and make it a loop.
    EXPECT_EQ(api().move("vx:\\A", "vx:\\A\\B\\A"), SmfsResult::InvalidArgument);
    EXPECT_EQ(api().move("vx:\\A", "vx:\\A\\X"), SmfsResult::InvalidArgument);
    ASSERT_EQ(api().move("vx:\\A\\B", "vx:\\C\\B"), SmfsResult::Ok);
    // ".." of the moved folder now leads to its new parent.
    ASSERT_EQ(api().chdir("vx:\\C\\B"), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "..\\..\\C\\B\\G.TXT", apiPattern(10, 12)), SmfsResult::Ok);
    SmfsEntryInfo c, dotdot;
    ASSERT_EQ(api().info("vx:\\C", &c), SmfsResult::Ok);
    ASSERT_EQ(api().info("vx:\\C\\B\\..", &dotdot), SmfsResult::Ok);
    EXPECT_EQ(dotdot.firstCluster, c.firstCluster);
    EXPECT_EQ(apiList(api(), "vx:\\C\\B"), (std::vector<std::string>{".", "..", "F.TXT", "G.TXT"}));
    EXPECT_EQ(apiList(api(), "vx:\\A"), (std::vector<std::string>{".", ".."}));
}

TEST(ApiMoveTest, OpenHandleFollowsItsMovedFile) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\F.TXT", 0, &h), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "0123456789", 10), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\F.TXT", "vx:\\D\\F.TXT"), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::uint32_t size = 0;
    ASSERT_EQ(api().fileSize("vx:\\D\\F.TXT", &size), SmfsResult::Ok);
    EXPECT_EQ(size, 10u);
}

TEST(ApiReserveTest, ReserveOnALongFileKeepsItsChain) {
    TestCard card(kCard, true);
    const std::uint32_t cb = card.clusterBytes();
    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 100, 13);
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\R.BIN", 0, &h), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, data.data(), std::uint32_t(data.size())), SmfsResult::Ok);
    const std::uint64_t before = apiFreeBytes(api());
    ASSERT_EQ(api().reserve(h, 2 * cb), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), before - 2 * std::uint64_t(cb));
    const std::vector<std::uint8_t> more = apiPattern(2 * cb - 100, 14);
    ASSERT_EQ(api().write(h, more.data(), std::uint32_t(more.size())), SmfsResult::Ok);
    // The write went into the reserved clusters, no new ones.
    EXPECT_EQ(apiFreeBytes(api()), before - 2 * std::uint64_t(cb));
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\R.BIN", &back), SmfsResult::Ok);
    std::vector<std::uint8_t> expected = data;
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(back, expected);

    // Reserved clusters past the size are given back at close.
    ASSERT_EQ(api().open("vx:\\R.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    const std::uint64_t full = apiFreeBytes(api());
    ASSERT_EQ(api().reserve(h, 5 * cb), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), full - 5 * std::uint64_t(cb));
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), full);
    ASSERT_EQ(apiReadFile(api(), "vx:\\R.BIN", &back), SmfsResult::Ok);
    EXPECT_EQ(back, expected);

    ASSERT_EQ(api().open("vx:\\R.BIN", kSmfsRead, &h), SmfsResult::Ok);
    EXPECT_EQ(api().reserve(h, cb), SmfsResult::NotWritable);
    EXPECT_EQ(api().reserve(h, 0xFFFFFFFFu), SmfsResult::NotWritable);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    ASSERT_EQ(api().open("vx:\\R.BIN", kSmfsWrite, &h), SmfsResult::Ok);
    EXPECT_EQ(api().reserve(h, 0xFFFFFFF0u), SmfsResult::CardFull);
    EXPECT_EQ(apiFreeBytes(api()), full);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
}

TEST(ApiTruncateTest, ShortensInPlaceAndFreesTheClustersPastTheSize) {
    TestCard card(kCard, true);
    const std::uint32_t cb = card.clusterBytes();
    const std::uint64_t empty = apiFreeBytes(api());
    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 7, 21);
    // Sizes on, around and inside cluster bounds; the position lies past each cut.
    for (const std::uint32_t size : {2 * cb + 1, 2 * cb, cb - 1, 1u, 0u}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(apiWriteFile(api(), "vx:\\T.BIN", data), SmfsResult::Ok);
        SmfsHandle h = 0;
        ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
        ASSERT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Ok);
        ASSERT_EQ(api().truncate(h, size), SmfsResult::Ok);
        // A write at the new end lands right after the kept bytes.
        ASSERT_EQ(api().write(h, "xy", 2), SmfsResult::Ok);
        ASSERT_EQ(api().close(h), SmfsResult::Ok);
        std::vector<std::uint8_t> expected(data.begin(), data.begin() + size);
        expected.push_back('x');
        expected.push_back('y');
        std::vector<std::uint8_t> back;
        ASSERT_EQ(apiReadFile(api(), "vx:\\T.BIN", &back), SmfsResult::Ok);
        EXPECT_EQ(back, expected);
        const std::uint64_t clusters = (size + 2 + cb - 1) / cb;
        EXPECT_EQ(apiFreeBytes(api()), empty - clusters * cb);
    }
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(report.clean()) << apiFindingsText(report);

    // Only a writer with the file to itself may cut it, and only shorter.
    SmfsHandle writer = 0, reader = 0;
    ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsReadWrite, &writer), SmfsResult::Ok);
    EXPECT_EQ(api().truncate(writer, 3), SmfsResult::InvalidArgument);
    ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsRead, &reader), SmfsResult::Ok);
    EXPECT_EQ(api().truncate(reader, 0), SmfsResult::NotWritable);
    EXPECT_EQ(api().truncate(writer, 0), SmfsResult::FileStillOpen);
    ASSERT_EQ(api().close(reader), SmfsResult::Ok);
    ASSERT_EQ(api().close(writer), SmfsResult::Ok);
}

TEST(ApiFatTest, DeferredFatReachesTheCardOnlyWhenFlushed) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().deferFat("vx:"), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.BIN", apiPattern(3 * card.clusterBytes(), 15)),
              SmfsResult::Ok);
    // A fresh mount reads the FAT from the card: the file's clusters are not there yet.
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    std::uint64_t total = 0, used = 0, free = 0;
    ASSERT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Ok);
    EXPECT_EQ(used, 0u);

    ASSERT_EQ(api().deferFat("vx:"), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.BIN", apiPattern(3 * card.clusterBytes(), 16)),
              SmfsResult::Ok);
    ASSERT_EQ(api().flushFat("vx:"), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    ASSERT_EQ(api().space("vx:", &total, &used, &free), SmfsResult::Ok);
    EXPECT_GE(used, 3u * card.clusterBytes());
}

TEST(ApiStateTest, FormatForgetsHandlesAndTheCurrentFolder) {
    TestCard card(kCard, true);
    ASSERT_EQ(api().mkdir("vx:\\D", 0), SmfsResult::Ok);
    ASSERT_EQ(api().chdir("vx:\\D"), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("F.TXT", 0, &h), SmfsResult::Ok);
    std::uint32_t bad = 0;
    ASSERT_EQ(api().format("vx:", 0, &bad), SmfsResult::Ok);
    EXPECT_EQ(api().write(h, "x", 1), SmfsResult::HandleNotOpen);
    char cwd[64];
    ASSERT_EQ(api().getcwd(cwd, sizeof cwd), SmfsResult::Ok);
    EXPECT_STREQ(cwd, "");
    EXPECT_TRUE(apiList(api(), "vx:\\").empty());
    EXPECT_EQ(api().format("vy:", 0, &bad), SmfsResult::InvalidArgument);
}

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
    ASSERT_EQ(apiReadFile(api(), "vx:\\S" + std::to_string(cb + 1) + ".BIN", &back),
              SmfsResult::Ok);
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
