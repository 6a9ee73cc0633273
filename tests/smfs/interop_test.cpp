// SPDX-License-Identifier: MIT
// The card's volumes beside the host's FAT tools (mtools, fsck.fat): what mtools writes the
// card reads, what the card writes the tools accept and read as the same tree, a freshly
// formatted card passes fsck.fat, and raw volume images go out through export and come back
// through import, which refuses volumes that do not fit before it writes anything.
#include "api_interop.h"
#include "fakes/temp_dir.h"
#include "test_card.h"

#include "smfs/dir.h"
#include "smfs/fat.h"
#include "smfs/media.h"

#include <common/le_bytes.h>
#include <gtest/gtest.h>
#include <smfs/tools.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

namespace fs = std::filesystem;

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
    EXPECT_EQ(apiList(api(), "vx:\\GAMES\\DEMO"),
              (std::vector<std::string>{".", "..", "LEVEL1.DAT"}));

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

struct Scenario {
    const char* name;
    int cardType;
    std::function<void(TestCard&)> run;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

void filesOfEverySize(TestCard& card) {
    const std::uint32_t cb = card.clusterBytes();
    const std::uint32_t sizes[] = {0, 1, cb - 1, cb, cb + 1, (1u << 20) + 3};
    for (std::uint32_t size : sizes) {
        const std::string path = "vx:\\S" + std::to_string(size) + ".BIN";
        ASSERT_EQ(apiWriteFile(api(), path, apiPattern(size, size), 1000), SmfsResult::Ok) << path;
    }
}

// With the FAT held back until the end, as the mount does.
void nestedFoldersAndMoves(TestCard&) {
    ASSERT_EQ(api().deferFat("vx:"), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES\\DEMO", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES\\DEMO\\LEVELS", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\MUSIC", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAMES\\DEMO\\LEVELS\\L1.DAT", apiPattern(5000, 1)),
              SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAMES\\DEMO\\GAME.BIN", apiPattern(70000, 2)),
              SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\MUSIC\\SONG.VXM", apiPattern(12345, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\README.TXT", apiPattern(77, 4)), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\MUSIC\\SONG.VXM", "vx:\\GAMES\\DEMO\\SONG.VXM"), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\GAMES\\DEMO\\LEVELS", "vx:\\MUSIC\\LEVELS"), SmfsResult::Ok);
    ASSERT_EQ(api().rename("vx:\\README.TXT", "vx:\\READ.ME"), SmfsResult::Ok);
    ASSERT_EQ(api().remove("vx:\\GAMES\\DEMO\\GAME.BIN"), SmfsResult::Ok);
    ASSERT_EQ(api().flushFat("vx:"), SmfsResult::Ok);
}

void cardFull(TestCard& card) {
    const std::uint32_t cb = card.clusterBytes();
    const std::uint32_t clusters = std::uint32_t(apiFreeBytes(api()) / cb);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\SMALL.TXT", apiPattern(10, 1)), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\FULL.BIN", 0, &h), SmfsResult::Ok);
    const std::vector<std::uint8_t> piece = apiPattern(10000, 2);
    std::uint64_t written = 0;
    SmfsResult r = SmfsResult::Ok;
    while (r == SmfsResult::Ok && written < 4u * clusters * cb) {
        r = api().write(h, piece.data(), std::uint32_t(piece.size()));
        if (r == SmfsResult::Ok) written += piece.size();
    }
    ASSERT_EQ(r, SmfsResult::CardFull);
    EXPECT_EQ(apiFreeBytes(api()), 0u);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    // What fitted is kept: the last piece stopped at the card's last cluster.
    std::uint32_t size = 0;
    ASSERT_EQ(api().fileSize("vx:\\FULL.BIN", &size), SmfsResult::Ok);
    EXPECT_EQ(size, std::uint64_t(clusters - 1) * cb);
    EXPECT_GE(size, written);
    EXPECT_EQ(api().create("vx:\\MORE.BIN", 0, &h), SmfsResult::CardFull);
    EXPECT_EQ(api().mkdir("vx:\\MORE", 0), SmfsResult::CardFull);
}

void rootFull(TestCard&) {
    for (int i = 0; i < 256; ++i) {
        const std::string path = "vx:\\F" + std::to_string(i);
        const SmfsResult r =
            i % 2 ? api().mkdir(path.c_str(), 0)
                  : apiWriteFile(api(), path, apiPattern(std::size_t(i), unsigned(i)));
        ASSERT_EQ(r, SmfsResult::Ok) << path;
    }
    const std::uint64_t before = apiFreeBytes(api());
    SmfsHandle h = 0;
    EXPECT_EQ(api().create("vx:\\ONEMORE", 0, &h), SmfsResult::RootFull);
    EXPECT_EQ(api().mkdir("vx:\\ONEMORE", 0), SmfsResult::RootFull);
    // Neither refusal kept the cluster it took; a slot freed by a move is used again.
    EXPECT_EQ(apiFreeBytes(api()), before);
    ASSERT_EQ(api().move("vx:\\F0", "vx:\\F1\\F0"), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\ONEMORE", apiPattern(5, 5)), SmfsResult::Ok);
    EXPECT_EQ(apiList(api(), "vx:\\").size(), 256u);
}

void folderPastOneCluster(TestCard& card) {
    const std::uint32_t cb = card.clusterBytes();
    ASSERT_EQ(api().mkdir("vx:\\BIG", 0), SmfsResult::Ok);
    const std::uint64_t before = apiFreeBytes(api());
    const std::uint32_t files = cb / 32 + 3; // with "." and "..": one cluster and five entries
    std::vector<std::string> expected{".", ".."};
    for (std::uint32_t i = 0; i < files; ++i) {
        const std::string name = "E" + std::to_string(i) + ".TXT";
        ASSERT_EQ(apiWriteFile(api(), "vx:\\BIG\\" + name, apiPattern(i + 1, i)), SmfsResult::Ok);
        expected.push_back(name);
    }
    EXPECT_EQ(apiList(api(), "vx:\\BIG"), expected);
    // One cluster per file and one more for the folder itself.
    EXPECT_EQ(apiFreeBytes(api()), before - std::uint64_t(files + 1) * cb);
    // Three files deleted leave a run of clusters whose blocks still hold them; a reserve
    // takes that run and erases it ahead of its writes. What it reserved past the file's
    // size goes back when the file is closed.
    for (const char* name : {"E1.TXT", "E2.TXT", "E3.TXT"})
        ASSERT_EQ(api().remove((std::string("vx:\\BIG\\") + name).c_str()), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\BIG\\E4.TXT", kSmfsReadWrite, &h), SmfsResult::Ok);
    ASSERT_EQ(api().reserve(h, 3 * cb), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, apiPattern(cb, 9).data(), cb), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    // Nothing beside the run was erased.
    for (std::uint32_t i = 0; i < files; i += i == 0 ? 5 : 1) {
        std::vector<std::uint8_t> back;
        const std::string path = "vx:\\BIG\\E" + std::to_string(i) + ".TXT";
        ASSERT_EQ(apiReadFile(api(), path, &back), SmfsResult::Ok);
        EXPECT_EQ(back, apiPattern(i + 1, i)) << path;
    }
}

const Scenario kScenarios[] = {
    {"FilesOfEverySize", 4, filesOfEverySize},
    {"FilesOfEverySize256BytePages", 1, filesOfEverySize},
    {"NestedFoldersAndMoves", 3, nestedFoldersAndMoves},
    {"CardFull", 0, cardFull},
    {"RootFull", 2, rootFull},
    {"FolderPastOneCluster", 0, folderPastOneCluster},
    {"Fat16Card", 7, nestedFoldersAndMoves},
};

class InteropApiWriteTest : public testing::TestWithParam<Scenario> {};

TEST_P(InteropApiWriteTest, FsckAndMtoolsAgree) {
    TestCard card(GetParam().cardType, true);
    GetParam().run(card);
    if (HasFatalFailure()) return;
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(report.clean()) << apiFindingsText(report);
    TempDir scratch;
    apiExpectToolsAgree(scratch.path().string());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, InteropApiWriteTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

void fillCard() {
    ASSERT_EQ(apiWriteFile(api(), "vx:\\README.TXT", apiPattern(1234, 1)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\DEMO.QXE", apiPattern(90000, 2)), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAME\\SAVE", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\SAVE\\S1.DAT", apiPattern(512, 3)), SmfsResult::Ok);
}

// The raw volume goes through a memory storage and a host file the tools work on.
SmfsResult exportTo(const fs::path& raw, std::uint32_t* damaged = nullptr) {
    MemoryStorage out;
    const SmfsResult r = api().exportVolume(out, damaged);
    apiWriteHostFile(raw, out.bytes());
    return r;
}

SmfsResult importFrom(const fs::path& raw, SmfsImportProblem* problem) {
    MemoryStorage in(apiReadHostFile(raw));
    return api().importVolume(in, problem);
}

std::string mtools(const std::string& command) {
    return apiMtools(command, true);
}

class VolumeExportTest : public ::testing::TestWithParam<int> {};

TEST_P(VolumeExportTest, ExportIsWhatTheFatToolsSee) {
    TempDir dir;
    TestCard card(GetParam(), true);
    fillCard();
    const fs::path raw = dir / "volume.raw";
    std::uint32_t damaged = 99;
    ASSERT_EQ(exportTo(raw, &damaged), SmfsResult::Ok);
    EXPECT_EQ(damaged, 0u);
    EXPECT_EQ(fs::file_size(raw), std::uint64_t(fat_volume(cs())->partitionSectors) * 512);

    const FsckVerdict fsck = apiFsck(raw.string());
    EXPECT_TRUE(fsck.clean) << fsck.output;
    EXPECT_EQ(fsck.clusters, fat_volume(cs())->clusterCount) << fsck.output;
    fs::create_directory(dir / "scratch");
    EXPECT_EQ(apiMtoolsTree(raw.string(), (dir / "scratch").string()), apiCardTree());
}

// Every card type's volume, exported, is one fsck.fat and mtools accept as the same tree. The
// 128 MB card's export takes over a minute unoptimised under the sanitizers; the optimised
// test run covers it.
#if defined(__SANITIZE_ADDRESS__)
INSTANTIATE_TEST_SUITE_P(AllCards, VolumeExportTest, ::testing::Range(0, kCardTypeCount - 1),
#else
INSTANTIATE_TEST_SUITE_P(AllCards, VolumeExportTest, ::testing::Range(0, kCardTypeCount),
#endif
                         cardTypeName);

TEST(VolumeImportTest, MtoolsChangesComeBackThroughImport) {
    TempDir dir;
    TestCard card(4, true);
    fillCard();
    const fs::path raw = dir / "volume.raw";
    ASSERT_EQ(exportTo(raw), SmfsResult::Ok);
    apiWriteHostFile(dir / "new.bin", apiPattern(50000, 7));
    mtools("mmd -i '" + raw.string() + "' ::/MUSIC");
    mtools("mcopy -i '" + raw.string() + "' '" + (dir / "new.bin").string() + "' ::/MUSIC/NEW.BIN");
    mtools("mdel -i '" + raw.string() + "' ::/README.TXT");

    SmfsImportProblem problem = SmfsImportProblem::Unreadable;
    ASSERT_EQ(importFrom(raw, &problem), SmfsResult::Ok);
    EXPECT_EQ(problem, SmfsImportProblem::None);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(apiReadFile(api(), "vx:\\MUSIC\\NEW.BIN", &bytes), SmfsResult::Ok);
    EXPECT_EQ(bytes, apiPattern(50000, 7));
    SmfsEntryInfo info{};
    EXPECT_EQ(api().info("vx:\\README.TXT", &info), SmfsResult::NotFound);
    fs::create_directory(dir / "scratch");
    EXPECT_EQ(apiCardTree(), apiMtoolsTree(raw.string(), (dir / "scratch").string()));
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(report.clean()) << (report.clean() ? "" : report.findings[0].text);
}

TEST(VolumeImportTest, VolumeMadeByMformatGoesIntoABlankCard) {
    TempDir dir;
    TestCard card(4);
    const fs::path raw = dir / "volume.raw";
    const std::uint32_t sectors = 31959; // the 16 MB card's partition
    mtools("mformat -C -i '" + raw.string() + "' -T " + std::to_string(sectors) +
           " -h 4 -s 16 -H 41 ::");
    apiWriteHostFile(dir / "a.txt", apiPattern(3000, 4));
    mtools("mcopy -i '" + raw.string() + "' '" + (dir / "a.txt").string() + "' ::/A.TXT");

    SmfsImportProblem problem = SmfsImportProblem::None;
    ASSERT_EQ(importFrom(raw, &problem), SmfsResult::Ok) << smfs_import_problem_text(problem);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(apiReadFile(api(), "vx:\\A.TXT", &bytes), SmfsResult::Ok);
    EXPECT_EQ(bytes, apiPattern(3000, 4));
    ASSERT_EQ(apiWriteFile(api(), "vx:\\B.TXT", apiPattern(100, 5)), SmfsResult::Ok);
    const fs::path back = dir / "back.raw";
    ASSERT_EQ(exportTo(back), SmfsResult::Ok);
    const FsckVerdict fsck = apiFsck(back.string());
    EXPECT_TRUE(fsck.clean) << fsck.output;
}

TEST(VolumeImportTest, RefusedVolumesLeaveTheCardAlone) {
    TempDir dir;
    TestCard card(4, true);
    fillCard();
    const fs::path raw = dir / "volume.raw";
    ASSERT_EQ(exportTo(raw), SmfsResult::Ok);
    const std::vector<std::uint8_t> good = apiReadHostFile(raw);
    const std::size_t imageBytes = std::size_t(card_image_bytes(4));
    const std::vector<std::uint8_t> before = card.readBytes(0, imageBytes);

    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        SmfsImportProblem problem;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"one sector short", {good.begin(), good.end() - 512}, SmfsImportProblem::WrongSize});
    auto unsigned_ = good;
    unsigned_[510] = 0;
    cases.push_back({"no boot signature", unsigned_, SmfsImportProblem::NotFat});
    auto ntfs = good;
    std::memcpy(ntfs.data() + 54, "NTFS    ", 8);
    cases.push_back({"no FAT type", ntfs, SmfsImportProblem::NotFat});
    auto smaller = good;
    smaller[19] = std::uint8_t(smaller[19] - 1); // one sector fewer than the partition
    cases.push_back({"sector count", smaller, SmfsImportProblem::GeometryMismatch});
    auto fat16 = good;
    std::memcpy(fat16.data() + 54, "FAT16   ", 8);
    cases.push_back({"FAT type against cluster count", fat16, SmfsImportProblem::GeometryMismatch});
    auto noMedia = good;
    noMedia[512] = 0xF0; // the first FAT sector no longer begins F8 FF FF
    cases.push_back({"FAT media bytes", noMedia, SmfsImportProblem::NotFat});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apiWriteHostFile(dir / "bad.raw", c.bytes);
        SmfsImportProblem problem = SmfsImportProblem::None;
        EXPECT_EQ(importFrom(dir / "bad.raw", &problem), SmfsResult::InvalidArgument);
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(card.readBytes(0, imageBytes), before);
    }
}

TEST(VolumeExportTest, UncorrectableSectorsAreCountedCorrectedOnesMended) {
    TempDir dir;
    TestCard card(4, true);
    fillCard();
    SmfsEntryInfo info{};
    ASSERT_EQ(api().info("vx:\\GAME\\DEMO.QXE", &info), SmfsResult::Ok);
    const FatVolume& v = *fat_volume(cs());
    const std::uint32_t logical = v.dataStart + (info.firstCluster - 2) * v.sectorsPerCluster;
    const std::uint32_t phys = media_logical_entry(cs(), logical / 32) * 32 + logical % 32;
    auto flip = [&](std::uint32_t sector, std::uint32_t byte) {
        const std::uint64_t at = card.pageOffset(sector) + byte;
        std::vector<std::uint8_t> b = card.readBytes(at, 1);
        b[0] ^= 0x04;
        card.writeBytes(at, b);
    };
    flip(phys, 5);     // one bit: corrected on the way out
    flip(phys + 1, 7); // two bits in one half: not correctable
    flip(phys + 1, 9);
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    const fs::path raw = dir / "volume.raw";
    std::uint32_t damaged = 0;
    ASSERT_EQ(exportTo(raw, &damaged), SmfsResult::Ok);
    EXPECT_EQ(damaged, 1u);
    const std::vector<std::uint8_t> bytes = apiReadHostFile(raw);
    const std::vector<std::uint8_t> want = apiPattern(90000, 2);
    const std::size_t at = std::size_t(logical - v.partitionFirstSector) * 512;
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 512, bytes.begin() + std::ptrdiff_t(at)));
}

TEST(VolumeExportTest, UnformattedCardHasNoVolume) {
    TempDir dir;
    TestCard card(4);
    EXPECT_EQ(exportTo(dir / "volume.raw"), SmfsResult::Unformatted);
}

} // namespace
