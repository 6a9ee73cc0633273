// SPDX-License-Identifier: MIT
// The public calls: every refused call in one table, then overwrite, truncate, handles, seeks.
#include "test_card.h"

#include "smfs/fat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

constexpr int kCard = 2; // 4 MB: 8 KiB clusters

struct Refusal {
    const char* what;
    std::function<SmfsResult()> call;
    SmfsResult expected;
};

TEST(ApiRefusalTest, EveryRefusedCallHasItsResultAndChangesNothing) {
    TestCard card(kCard, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\A.TXT", apiPattern(40, 1)), SmfsResult::Ok);
    // T\A is met before T\Z, which holds an open file.
    for (const char* f :
         {"vx:\\D", "vx:\\D\\SUB", "vx:\\D\\SUB\\IN", "vx:\\O", "vx:\\T", "vx:\\T\\A", "vx:\\T\\Z"})
        ASSERT_EQ(api().mkdir(f, 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\O\\KEEP.BIN", apiPattern(100, 2)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T\\A\\X.BIN", apiPattern(10, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T\\Z\\Y.BIN", apiPattern(10, 4)), SmfsResult::Ok);
    SmfsHandle open = 0, deep = 0, h = 0;
    ASSERT_EQ(api().open("vx:\\O\\KEEP.BIN", kSmfsReadWrite, &open), SmfsResult::Ok);
    ASSERT_EQ(api().open("vx:\\T\\Z\\Y.BIN", kSmfsRead, &deep), SmfsResult::Ok);
    std::uint64_t n = 0;
    std::uint32_t bad = 0, got = 0;
    char names[4 * kSmfsNameSlotBytes];
    SmfsEntryInfo info;
    using R = SmfsResult;
    SmfsCard& c = api();
    const Refusal cases[] = {
        {"space of another drive", [&] { return c.space("vy:", &n, &n, &n); }, R::InvalidArgument},
        {"format another drive", [&] { return c.format("vy:", 0, &bad); }, R::InvalidArgument},
        {"create over a file", [&] { return c.create("vx:\\a.txt", 0, &h); }, R::NameExists},
        {"create over a folder", [&] { return c.create("vx:\\D", 1, &h); }, R::NameExists},
        {"mkdir over a folder", [&] { return c.mkdir("vx:\\D", 0); }, R::NameExists},
        {"mkdir over a file", [&] { return c.mkdir("vx:\\A.TXT", 0); }, R::NameExists},
        {"create below a file", [&] { return c.create("vx:\\A.TXT\\B", 0, &h); }, R::NotFound},
        {"open mode 0", [&] { return c.open("vx:\\A.TXT", 0, &h); }, R::InvalidArgument},
        {"open mode 4", [&] { return c.open("vx:\\A.TXT", 4, &h); }, R::InvalidArgument},
        {"open a missing file", [&] { return c.open("vx:\\NO.BIN", kSmfsRead, &h); }, R::NotFound},
        {"write a folder", [&] { return c.open("vx:\\D", kSmfsWrite, &h); }, R::InvalidArgument},
        {"info of the root", [&] { return c.info("vx:\\", &info); }, R::IsRoot},
        {"list a file", [&] { return c.list("vx:\\A.TXT", 0, 4, names, &got); },
         R::InvalidArgument},
        {"list a missing folder", [&] { return c.list("vx:\\NONE", 0, 4, names, &got); },
         R::NotFound},
        {"remove an open file", [&] { return c.remove("vx:\\O\\KEEP.BIN"); }, R::FileStillOpen},
        {"overwrite an open file", [&] { return c.create("vx:\\O\\KEEP.BIN", 1, &h); },
         R::FileStillOpen},
        {"rmdir around an open file", [&] { return c.rmdir("vx:\\O", 1); }, R::FileStillOpen},
        {"rmdir above an open file", [&] { return c.rmdir("vx:\\T", 1); }, R::FileStillOpen},
        {"rmdir, not empty", [&] { return c.rmdir("vx:\\D", 0); }, R::FolderNotEmpty},
        {"rmdir a file", [&] { return c.rmdir("vx:\\A.TXT", 0); }, R::InvalidArgument},
        {"remove a folder", [&] { return c.remove("vx:\\D"); }, R::InvalidArgument},
        {"rmdir the root", [&] { return c.rmdir("vx:\\", 1); }, R::IsRoot},
        {"remove the root", [&] { return c.remove("vx:\\"); }, R::IsRoot},
        {"move the root", [&] { return c.move("vx:\\", "vx:\\X"); }, R::IsRoot},
        {"move onto the root", [&] { return c.move("vx:\\A.TXT", "vx:\\"); }, R::IsRoot},
        {"rename the root", [&] { return c.rename("vx:\\", "vx:\\X"); }, R::IsRoot},
        {"create the root", [&] { return c.create("vx:\\", 1, &h); }, R::IsRoot},
        {"rmdir ..", [&] { return c.rmdir("vx:\\D\\..", 1); }, R::InvalidArgument},
        {"remove ..", [&] { return c.remove("vx:\\D\\.."); }, R::InvalidArgument},
        {"move ..", [&] { return c.move("vx:\\D\\..", "vx:\\E"); }, R::InvalidArgument},
        {"create ..", [&] { return c.create("vx:\\D\\..", 1, &h); }, R::NameExists},
        {"move onto a folder", [&] { return c.move("vx:\\A.TXT", "vx:\\d"); }, R::NameExists},
        {"rename onto a file", [&] { return c.rename("vx:\\D", "vx:\\a.txt"); }, R::NameExists},
        {"rename to another folder", [&] { return c.rename("vx:\\A.TXT", "vx:\\D\\C.BIN"); },
         R::InvalidArgument},
        {"move from nowhere", [&] { return c.move("vx:\\NO\\A.TXT", "vx:\\C.TXT"); },
         R::MoveSourceNotFound},
        {"move to nowhere", [&] { return c.move("vx:\\A.TXT", "vx:\\NO\\A.TXT"); }, R::NameExists},
        {"folder into its sub-folder",
         [&] { return c.move("vx:\\D\\SUB", "vx:\\D\\SUB\\IN\\SUB"); }, R::InvalidArgument},
        {"folder into itself", [&] { return c.move("vx:\\D\\SUB", "vx:\\D\\SUB\\X"); },
         R::InvalidArgument},
        {"name too long", [&] { return c.mkdir("vx:\\ABCDEFGHI.TXT", 0); }, R::InvalidArgument},
        {"a wildcard", [&] { return c.create("vx:\\*.TXT", 0, &h); }, R::InvalidArgument},
        {"a doubled separator", [&] { return c.mkdir("vx:\\\\", 0); }, R::InvalidArgument},
        {"above the root",
         [&] { return c.chdir("vx:\\D") == R::Ok ? c.mkdir("..\\..\\C", 0) : R::Internal; },
         R::AboveRoot},
        {"seek origin 3", [&] { return c.seek(open, 3, 0, nullptr); }, R::InvalidArgument},
    };
    // Blocks may move; the volume's sectors may not change.
    auto volume = [] {
        MemoryStorage out;
        EXPECT_EQ(api().exportVolume(out, nullptr), SmfsResult::Ok);
        return out.bytes();
    };
    const std::vector<std::uint8_t> before = volume();
    for (const Refusal& r : cases) {
        EXPECT_EQ(r.call(), r.expected) << r.what;
        EXPECT_TRUE(volume() == before) << r.what << " changed the volume";
    }
    ASSERT_EQ(api().close(open), SmfsResult::Ok);
    ASSERT_EQ(api().close(deep), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"A.TXT", "D", "O", "T"}));
}

TEST(ApiFileTest, OverwriteEmptyAndTruncate) {
    TestCard card(kCard, true);
    const std::uint32_t cb = card.clusterBytes();
    const std::uint64_t empty = apiFreeBytes(api());
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T.BIN", apiPattern(3 * cb, 1)), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\T.BIN", 1, &h), SmfsResult::Ok);
    // The old clusters are free; the new empty file holds one until it is closed, then none.
    EXPECT_EQ(apiFreeBytes(api()), empty - cb);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty);
    SmfsEntryInfo info;
    ASSERT_EQ(api().info("vx:\\T.BIN", &info), SmfsResult::Ok);
    EXPECT_EQ(info.firstCluster + info.size, 0u);
    EXPECT_EQ(info.attribute, kSmfsAttrArchive);
    EXPECT_EQ(dateText(info), "2024-05-17 13:45:30");
    ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsRead, &h), SmfsResult::Ok);
    std::uint8_t byte = 0;
    std::uint32_t count = 1;
    EXPECT_EQ(api().read(h, &byte, 1, &count), SmfsResult::EndOfData);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    // Opened for writing, the empty file takes a cluster of its own, never the root's 0.
    ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    EXPECT_NE(h & 0xFFFF, 0u);
    ASSERT_EQ(api().write(h, "ab", 2), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), empty - cb);

    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 7, 21);
    for (const std::uint32_t size : {2 * cb + 1, 2 * cb, cb - 1, 1u, 0u}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(apiWriteFile(api(), "vx:\\T.BIN", data), SmfsResult::Ok);
        ASSERT_EQ(api().open("vx:\\T.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
        ASSERT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Ok);
        ASSERT_EQ(api().truncate(h, size), SmfsResult::Ok);
        ASSERT_EQ(api().write(h, "xy", 2), SmfsResult::Ok);
        ASSERT_EQ(api().close(h), SmfsResult::Ok);
        std::vector<std::uint8_t> expected(data.begin(), data.begin() + size), back;
        expected.insert(expected.end(), {'x', 'y'});
        ASSERT_EQ(apiReadFile(api(), "vx:\\T.BIN", &back), SmfsResult::Ok);
        EXPECT_EQ(back, expected);
        EXPECT_EQ(apiFreeBytes(api()), empty - (size + 2 + cb - 1) / cb * cb);
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

TEST(ApiVersionTest, TextAndItsNumbers) {
    TestCard card(kCard, true);
    SmfsVersion v{};
    ASSERT_EQ(api().version(&v), SmfsResult::Ok);
    EXPECT_EQ(std::string(v.text) + " " + std::to_string(v.major) + " " + std::to_string(v.minor),
              "SmartMedia File System v2.22 2 22");
}

TEST(ApiHandleTest, TenHandlesAtMost) {
    TestCard card(kCard, true);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONE.BIN", apiPattern(10, 1)), SmfsResult::Ok);
    std::vector<SmfsHandle> handles(10);
    for (std::size_t i = 0; i < handles.size(); ++i) {
        ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &handles[i]), SmfsResult::Ok);
        EXPECT_EQ((handles[i] >> 16) & 0xFF, i);
    }
    SmfsHandle h = 0;
    EXPECT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::FileOpenTenTimes);
    const std::uint64_t before = apiFreeBytes(api());
    EXPECT_EQ(api().create("vx:\\F10.BIN", 0, &h), SmfsResult::TooManyOpen);
    // The refused create leaves neither an entry nor a cluster behind.
    EXPECT_EQ(apiFreeBytes(api()), before);
    std::uint32_t size = 0;
    EXPECT_EQ(api().fileSize("vx:\\F10.BIN", &size), SmfsResult::NotFound);
    ASSERT_EQ(api().close(handles[4]), SmfsResult::Ok);
    EXPECT_EQ(api().close(handles[4]), SmfsResult::HandleNotOpen);
    EXPECT_EQ(api().read(handles[4], &size, 1, &size), SmfsResult::HandleNotOpen);
    ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &handles[4]), SmfsResult::Ok);
    EXPECT_EQ((handles[4] >> 16) & 0xFF, 4u);
    EXPECT_EQ(api().read(0x01000000 | handles[0], &size, 1, &size), SmfsResult::InvalidArgument);
    for (auto x : handles)
        ASSERT_EQ(api().close(x), SmfsResult::Ok);
    // Bit 31 of a handle is ignored; a reset and a format forget every handle.
    ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    std::uint8_t b[4];
    EXPECT_EQ(api().read(h | 0x80000000u, b, 4, &size), SmfsResult::Ok);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, b, 4, &size), SmfsResult::HandleNotOpen);
    ASSERT_EQ(api().open("vx:\\ONE.BIN", kSmfsRead, &h), SmfsResult::Ok);
    std::uint32_t bad = 0;
    ASSERT_EQ(api().format("vx:", 0, &bad), SmfsResult::Ok);
    EXPECT_EQ(api().read(h, b, 4, &size), SmfsResult::HandleNotOpen);
    EXPECT_TRUE(apiList(api(), "vx:\\").empty());
}

TEST(ApiSeekTest, SeekFromEveryOriginThenWrite) {
    TestCard card(4, true);
    const std::uint32_t cb = card.clusterBytes();
    const std::vector<std::uint8_t> data = apiPattern(3 * cb + 50, 7);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\SEEK.BIN", data), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\SEEK.BIN", kSmfsReadWrite, &h), SmfsResult::Ok);
    const struct {
        int origin;
        std::int64_t offset;
        std::uint32_t position; // after the seek
    } steps[] = {
        {kSmfsSeekStart, cb, cb},
        {kSmfsSeekCurrent, -2, cb - 1}, // after the byte read at cb
        {kSmfsSeekCurrent, std::int64_t(2 * cb), 3 * cb},
        {kSmfsSeekEnd, -50, 3 * cb},
        {kSmfsSeekEnd, -1, 3 * cb + 49},
        {kSmfsSeekCurrent, -100000000, 0}, // clamped to the ends
    };
    for (const auto& s : steps) {
        ASSERT_EQ(api().seek(h, s.origin, s.offset, nullptr), SmfsResult::Ok);
        std::uint32_t position = 0, count = 0;
        EXPECT_EQ(api().seek(h, kSmfsSeekCurrent, 0, &position), SmfsResult::Ok);
        EXPECT_EQ(position, s.position);
        std::uint8_t b = 0;
        EXPECT_EQ(api().read(h, &b, 1, &count), SmfsResult::Ok);
        EXPECT_EQ(b, data[s.position]) << s.position;
    }
    std::uint32_t previous = 0;
    ASSERT_EQ(api().seek(h, kSmfsSeekStart, 100000000, &previous), SmfsResult::Ok);
    EXPECT_EQ(previous, 1u);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
}

} // namespace
