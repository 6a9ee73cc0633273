// SPDX-License-Identifier: MIT
// The card's volumes beside the host's FAT tools (mtools, fsck.fat), both ways, and the
// export and import of raw volumes.
#include "api_interop.h"
#include "fakes/temp_dir.h"
#include "test_card.h"

#include "smfs/fat.h"
#include "smfs/media.h"

#include <gtest/gtest.h>
#include <smfs/tools.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

// A tree of files: "DIR/SUB/NAME.EXT" to contents; folders as "DIR/" with no contents.
using FileTree = std::map<std::string, std::vector<std::uint8_t>>;

void cardTree(const std::string& folder, const std::string& prefix, FileTree* tree) {
    SmfsResult r = SmfsResult::Ok;
    for (const std::string& name : apiList(api(), folder, &r)) {
        if (name == "." || name == "..") continue;
        const std::string path = folder + (folder.back() == '\\' ? "" : "\\") + name;
        SmfsEntryInfo info;
        ASSERT_EQ(api().info(path.c_str(), &info), SmfsResult::Ok) << path;
        if (info.attribute & kSmfsAttrVolume) continue;
        if (info.attribute & kSmfsAttrFolder) {
            (*tree)[prefix + name + "/"];
            cardTree(path, prefix + name + "/", tree);
        } else {
            ASSERT_EQ(apiReadFile(api(), path, &(*tree)[prefix + name]), SmfsResult::Ok) << path;
        }
    }
    ASSERT_EQ(r, SmfsResult::Ok) << folder;
}

FileTree mtoolsTree(const std::string& raw, const fs::path& scratch) {
    const fs::path out = scratch / "mtools-out";
    fs::create_directories(out);
    const ToolRun copy = apiRunTool("mcopy -s -n -i '" + raw + "' '::*' '" + out.string() + "/'");
    EXPECT_EQ(copy.exitCode, 0) << copy.output;
    FileTree tree;
    for (auto it = fs::recursive_directory_iterator(out); it != fs::end(it); ++it) {
        const std::string rel = fs::relative(it->path(), out).generic_string();
        tree[rel + (it->is_directory() ? "/" : "")] =
            it->is_directory() ? FileTree::mapped_type{} : readFile(it->path());
    }
    return tree;
}

// The card's check and fsck.fat find nothing; mtools copies out the tree the card lists.
void expectToolsAgree(const fs::path& scratch) {
    SmfsCheckReport report;
    ASSERT_EQ(api().check(&report), SmfsResult::Ok);
    EXPECT_TRUE(report.clean()) << apiFindingsText(report);
    const std::string raw = (scratch / "partition.img").string();
    apiExtractPartition(raw);
    const FatVolume& v = *fat_volume(cs());
    EXPECT_EQ(fs::file_size(raw), std::uint64_t(v.partitionSectors) * 512);
    const FsckVerdict verdict = apiFsck(raw);
    EXPECT_TRUE(verdict.clean) << verdict.output;
    EXPECT_EQ(verdict.clusters, v.clusterCount) << verdict.output;
    FileTree card;
    cardTree("vx:\\", "", &card);
    const FileTree tools = mtoolsTree(raw, scratch);
    EXPECT_EQ(card.size(), tools.size());
    for (const auto& [name, bytes] : card)
        EXPECT_TRUE(tools.count(name) && tools.at(name) == bytes) << name << " differs in mtools";
}

// A volume mtools wrote over the card's own format or its own mformat: a label, folders, a
// long name, an empty and a deleted file, dates.
class ToolsWrittenVolumeTest : public testing::TestWithParam<bool> {};

TEST_P(ToolsWrittenVolumeTest, ReadsOnTheCardAndTakesChangesTheToolsAccept) {
    const bool mformat = GetParam();
    TestCard card(4, !mformat);
    TempDir scratch;
    const std::string raw = (scratch / "partition.img").string();
    const std::string dir = scratch.path().string() + "/";
    MemoryStorage none;
    if (mformat)
        EXPECT_EQ(api().exportVolume(none, nullptr), SmfsResult::Unformatted);
    else
        apiExtractPartition(raw);
    const std::vector<std::uint8_t> hello = apiPattern(1234, 1), level = apiPattern(40000, 2),
                                    longNamed = apiPattern(20000, 3);
    writeFile(scratch / "HELLO.TXT", hello);
    writeFile(scratch / "LEVEL1.DAT", level);
    writeFile(scratch / "A Long File Name.txt", longNamed);
    writeFile(scratch / "GONE.BIN", apiPattern(5000, 4));
    writeFile(scratch / "EMPTY.BIN", {});
    const std::string m = mformat ? "MTOOLS_SKIP_CHECK=1 m" : "m"; // mtools, as the start needs
    const std::string img = " -i '" + raw + "' ";
    const std::string commands[] = {
        mformat ? m + "format -C" + img + "-T 31959 -h 4 -s 16 -H 41 ::" : "true",
        "touch -d '2021-03-04 05:06:08' '" + dir + "HELLO.TXT' '" + dir + "LEVEL1.DAT'",
        m + "label" + img + "::VELA",
        m + "copy -m" + img + "'" + dir + "GONE.BIN' ::GONE.BIN",
        m + "copy -m" + img + "'" + dir + "HELLO.TXT' ::HELLO.TXT",
        m + "md" + img + "::GAMES ::GAMES/DEMO",
        m + "copy -m" + img + "'" + dir + "LEVEL1.DAT' ::GAMES/DEMO/LEVEL1.DAT",
        m + "copy" + img + "'" + dir + "A Long File Name.txt' '::A Long File Name.txt'",
        m + "copy" + img + "'" + dir + "EMPTY.BIN' ::EMPTY.BIN",
        m + "del" + img + "::GONE.BIN",
    };
    for (const std::string& command : commands) {
        const ToolRun run = apiRunTool(command);
        ASSERT_EQ(run.exitCode, 0) << command << "\n" << run.output;
    }
    MemoryStorage in(readFile(raw));
    SmfsImportProblem problem = SmfsImportProblem::Unreadable;
    ASSERT_EQ(api().importVolume(in, &problem), SmfsResult::Ok);
    EXPECT_EQ(problem, SmfsImportProblem::None);

    EXPECT_EQ(apiList(api(), "vx:\\"), (std::vector<std::string>{"VELA", "HELLO.TXT", "GAMES",
                                                                 "ALONGF~1.TXT", "EMPTY.BIN"}));
    std::uint32_t count = 0;
    ASSERT_EQ(api().count("vx:\\", &count), SmfsResult::Ok);
    EXPECT_EQ(count, 5u);
    FileTree tree;
    cardTree("vx:\\", "", &tree);
    EXPECT_TRUE(tree == (FileTree{{"HELLO.TXT", hello},
                                  {"GAMES/", {}},
                                  {"GAMES/DEMO/", {}},
                                  {"GAMES/DEMO/LEVEL1.DAT", level},
                                  {"ALONGF~1.TXT", longNamed},
                                  {"EMPTY.BIN", {}}}));
    SmfsEntryInfo info;
    ASSERT_EQ(api().info("vx:\\GAMES\\DEMO\\LEVEL1.DAT", &info), SmfsResult::Ok);
    EXPECT_EQ(dateText(info), "2021-03-04 05:06:08");
    ASSERT_EQ(api().info("vx:\\VELA", &info), SmfsResult::Ok);
    EXPECT_EQ(info.attribute, kSmfsAttrVolume);

    // Deleting the long-named file takes its long-name entries with it.
    ASSERT_EQ(api().remove("vx:\\ALONGF~1.TXT"), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\EMPTY.BIN", apiPattern(3000, 5)), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\HELLO.TXT", kSmfsWrite, &h), SmfsResult::Ok);
    ASSERT_EQ(api().seek(h, kSmfsSeekEnd, 0, nullptr), SmfsResult::Ok);
    ASSERT_EQ(api().write(h, "more", 4), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    expectToolsAgree(scratch.path());
}

INSTANTIATE_TEST_SUITE_P(Starts, ToolsWrittenVolumeTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Mformat" : "CardFormat");
                         });

struct Scenario {
    const char* name;
    int cardType;
    std::function<void(TestCard&)> run;
};

void filesOfEverySize(TestCard& card) {
    const std::uint32_t cb = card.clusterBytes();
    for (std::uint32_t size : {0u, 1u, cb - 1, cb, cb + 1, (1u << 20) + 3}) {
        const std::string path = "vx:\\S" + std::to_string(size) + ".BIN";
        ASSERT_EQ(apiWriteFile(api(), path, apiPattern(size, size), 1000), SmfsResult::Ok) << path;
    }
}

void nestedFoldersAndMoves(TestCard&) {
    ASSERT_EQ(api().deferFat("vx:"), SmfsResult::Ok);
    for (const char* folder :
         {"vx:\\GAMES", "vx:\\GAMES\\DEMO", "vx:\\GAMES\\DEMO\\LEVELS", "vx:\\MUSIC"})
        ASSERT_EQ(api().mkdir(folder, 0), SmfsResult::Ok);
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
    SmfsResult r = SmfsResult::Ok;
    for (std::uint32_t n = 0; r == SmfsResult::Ok && n < 4 * clusters * cb / 10000; ++n)
        r = api().write(h, piece.data(), std::uint32_t(piece.size()));
    ASSERT_EQ(r, SmfsResult::CardFull);
    EXPECT_EQ(apiFreeBytes(api()), 0u);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    std::uint32_t size = 0;
    ASSERT_EQ(api().fileSize("vx:\\FULL.BIN", &size), SmfsResult::Ok);
    EXPECT_EQ(size, std::uint64_t(clusters - 1) * cb);
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
    EXPECT_EQ(apiFreeBytes(api()), before - std::uint64_t(files + 1) * cb);
    // A reserve takes the run three deleted files left and gives back what was not written.
    for (const char* name : {"E1.TXT", "E2.TXT", "E3.TXT"})
        ASSERT_EQ(api().remove((std::string("vx:\\BIG\\") + name).c_str()), SmfsResult::Ok);
    SmfsHandle h = 0;
    ASSERT_EQ(api().open("vx:\\BIG\\E4.TXT", kSmfsReadWrite, &h), SmfsResult::Ok);
    const std::uint64_t free = apiFreeBytes(api());
    ASSERT_EQ(api().reserve(h, 3 * cb), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), free - 3 * cb);
    ASSERT_EQ(api().write(h, apiPattern(cb, 9).data(), cb), SmfsResult::Ok);
    ASSERT_EQ(api().close(h), SmfsResult::Ok);
    EXPECT_EQ(apiFreeBytes(api()), free);
    std::vector<std::uint8_t> back;
    ASSERT_EQ(apiReadFile(api(), "vx:\\BIG\\E0.TXT", &back), SmfsResult::Ok);
    EXPECT_EQ(back, apiPattern(1, 0));
}

const Scenario kScenarios[] = {
    {"FilesOfEverySize", 4, filesOfEverySize},
    {"NestedFoldersAndMoves", 3, nestedFoldersAndMoves},
    {"NestedFolders64MB", 6, nestedFoldersAndMoves},
    {"Fat16Card", 7, nestedFoldersAndMoves},
    {"CardFull", 0, cardFull},
    {"RootFull", 2, rootFull},
    {"FolderPastOneCluster", 0, folderPastOneCluster},
};

class CardWrittenVolumeTest : public testing::TestWithParam<Scenario> {};

TEST_P(CardWrittenVolumeTest, CheckFsckAndMtoolsAgree) {
    TestCard card(GetParam().cardType, true);
    GetParam().run(card);
    if (HasFatalFailure()) return;
    TempDir scratch;
    expectToolsAgree(scratch.path());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CardWrittenVolumeTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

// Import refuses volumes that do not fit before it writes anything; export counts the
// sectors it could not correct.
TEST(VolumeImageTest, RefusedImportsLeaveTheCardAloneAndExportCountsUncorrectableSectors) {
    TestCard card(4, true);
    ASSERT_EQ(api().mkdir("vx:\\GAME", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAME\\DEMO.QXE", apiPattern(90000, 2)), SmfsResult::Ok);
    MemoryStorage exported;
    ASSERT_EQ(api().exportVolume(exported, nullptr), SmfsResult::Ok);
    const std::vector<std::uint8_t> before = card.bytes();
    const struct {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> edit;
        SmfsImportProblem problem;
    } cases[] = {
        {"no boot signature", [](auto& v) { v[510] = 0; }, SmfsImportProblem::NotFat},
        {"no FAT type", [](auto& v) { std::memcpy(v.data() + 54, "NTFS    ", 8); },
         SmfsImportProblem::NotFat},
        {"sector count", [](auto& v) { v[19] = std::uint8_t(v[19] - 1); },
         SmfsImportProblem::GeometryMismatch},
        {"FAT type against cluster count",
         [](auto& v) { std::memcpy(v.data() + 54, "FAT16   ", 8); },
         SmfsImportProblem::GeometryMismatch},
        {"FAT media bytes", [](auto& v) { v[512] = 0xF0; }, SmfsImportProblem::NotFat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStorage bad(exported.bytes());
        c.edit(bad.bytes());
        SmfsImportProblem problem = SmfsImportProblem::None;
        EXPECT_EQ(api().importVolume(bad, &problem), SmfsResult::InvalidArgument);
        EXPECT_EQ(problem, c.problem);
        EXPECT_TRUE(card.bytes() == before);
    }

    SmfsEntryInfo info{};
    ASSERT_EQ(api().info("vx:\\GAME\\DEMO.QXE", &info), SmfsResult::Ok);
    const FatVolume& v = *fat_volume(cs());
    const std::uint32_t logical = v.dataStart + (info.firstCluster - 2) * v.sectorsPerCluster;
    const std::uint32_t phys = media_logical_entry(cs(), logical / 32) * 32 + logical % 32;
    for (const auto& [sector, byte] : {std::pair{phys, 5u}, {phys + 1, 7u}, {phys + 1, 9u}})
        card.bytes()[std::size_t(card.pageOffset(sector) + byte)] ^= 0x04;
    ASSERT_EQ(api().reset(), SmfsResult::Ok);
    MemoryStorage out;
    std::uint32_t damaged = 0; // one bit in the first sector, two in one half of the second
    ASSERT_EQ(api().exportVolume(out, &damaged), SmfsResult::Ok);
    EXPECT_EQ(damaged, 1u);
    const std::vector<std::uint8_t> want = apiPattern(90000, 2);
    const std::size_t at = std::size_t(logical - v.partitionFirstSector) * 512;
    EXPECT_TRUE(
        std::equal(want.begin(), want.begin() + 512, out.bytes().begin() + std::ptrdiff_t(at)));
    std::vector<std::uint8_t> back;
    EXPECT_EQ(apiReadFile(api(), "vx:\\GAME\\DEMO.QXE", &back), SmfsResult::EccUncorrectable);
}

} // namespace
