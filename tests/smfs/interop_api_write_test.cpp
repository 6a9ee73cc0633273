// Volumes written through the public calls, checked by the host's standard FAT tools: a full
// card, a full root, ten open files, a folder past one cluster and more. After each scenario
// the partition is extracted, fsck.fat -n must find no error, and mtools must
// list and copy out exactly the folders, names, sizes and bytes the public calls see.
#include "api_interop.h"

#include "fakes/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

namespace {

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

void nestedFoldersAndMoves(TestCard&) {
    ASSERT_EQ(api().mkdir("vx:\\GAMES", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES\\DEMO", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\GAMES\\DEMO\\LEVELS", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\MUSIC", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAMES\\DEMO\\LEVELS\\L1.DAT", apiPattern(5000, 1)),
              SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\GAMES\\DEMO\\GAME.BIN", apiPattern(70000, 2)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\MUSIC\\SONG.VXM", apiPattern(12345, 3)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\README.TXT", apiPattern(77, 4)), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\MUSIC\\SONG.VXM", "vx:\\GAMES\\DEMO\\SONG.VXM"), SmfsResult::Ok);
    ASSERT_EQ(api().move("vx:\\GAMES\\DEMO\\LEVELS", "vx:\\MUSIC\\LEVELS"), SmfsResult::Ok);
    ASSERT_EQ(api().rename("vx:\\README.TXT", "vx:\\READ.ME"), SmfsResult::Ok);
    ASSERT_EQ(api().remove("vx:\\GAMES\\DEMO\\GAME.BIN"), SmfsResult::Ok);
}

void treeRemoved(TestCard&) {
    ASSERT_EQ(api().mkdir("vx:\\T", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\T\\A", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\T\\A\\B", 0), SmfsResult::Ok);
    ASSERT_EQ(api().mkdir("vx:\\T\\C", 0), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T\\F.BIN", apiPattern(9000, 5)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T\\A\\B\\G.BIN", apiPattern(30000, 6)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\T\\C\\E.BIN", apiPattern(0, 7)), SmfsResult::Ok);
    ASSERT_EQ(apiWriteFile(api(), "vx:\\KEEP.BIN", apiPattern(100, 8)), SmfsResult::Ok);
    ASSERT_EQ(api().rmdir("vx:\\T", 1), SmfsResult::Ok);
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
        const SmfsResult r = i % 2 ? api().mkdir(path.c_str(), 0)
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

void tenHandles(TestCard&) {
    std::vector<SmfsHandle> handles(10);
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const std::string path = "vx:\\H" + std::to_string(i) + ".BIN";
        ASSERT_EQ(api().create(path.c_str(), 0, &handles[i]), SmfsResult::Ok);
        const std::vector<std::uint8_t> data = apiPattern(i * 3000, unsigned(i));
        ASSERT_EQ(api().write(handles[i], data.data(), std::uint32_t(data.size())), SmfsResult::Ok);
    }
    SmfsHandle h = 0;
    ASSERT_EQ(api().create("vx:\\H10.BIN", 0, &h), SmfsResult::TooManyOpen);
    ASSERT_EQ(api().open("vx:\\H0.BIN", kSmfsRead, &h), SmfsResult::TooManyOpen);
    for (SmfsHandle handle : handles)
        ASSERT_EQ(api().close(handle), SmfsResult::Ok);
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
    ASSERT_EQ(api().remove("vx:\\BIG\\E3.TXT"), SmfsResult::Ok);
}

const Scenario kScenarios[] = {
    {"FilesOfEverySize", 4, filesOfEverySize},
    {"FilesOfEverySize256BytePages", 1, filesOfEverySize},
    {"NestedFoldersAndMoves", 3, nestedFoldersAndMoves},
    {"TreeRemoved", 2, treeRemoved},
    {"CardFull", 0, cardFull},
    {"RootFull", 2, rootFull},
    {"TenHandles", 2, tenHandles},
    {"FolderPastOneCluster", 0, folderPastOneCluster},
    {"Fat16Card", 7, nestedFoldersAndMoves},
};

class InteropApiWriteTest : public testing::TestWithParam<Scenario> {};

TEST_P(InteropApiWriteTest, FsckAndMtoolsAgree) {
    TestCard card(GetParam().cardType, true);
    GetParam().run(card);
    if (HasFatalFailure()) return;
    TempDir scratch;
    apiExpectToolsAgree(scratch.path().string());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, InteropApiWriteTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
