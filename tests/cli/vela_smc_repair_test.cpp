// SPDX-License-Identifier: MIT
// vela-smc on damaged images: check --repair on lost clusters lists what it found and what it
// did, leaves the card clean and the file on it as it was; an entry stored under a name no
// path can name is listed, reported and copied off without hiding its neighbours.
#include "vela_smc_run.h"

#include "smfs/dir.h"
#include "smfs/fat.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace fs = std::filesystem;

namespace {

// Links two free clusters into a chain no entry reaches, through the card library.
void loseTwoClusters(const std::string& image) {
    ImageFile file;
    ASSERT_EQ(file.open(image, ImageFile::Access::Write), ImageFile::Status::Ok);
    SmfsCard card(file);
    CardState& state = card.state();
    ASSERT_EQ(fat_ensure(state), SmfsResult::Ok);
    std::uint32_t lost = 100;
    while (fat_entry(state, lost) != kFatFree || fat_entry(state, lost + 1) != kFatFree)
        ++lost;
    fat_set_entry(state, lost, std::uint16_t(lost + 1));
    fat_set_entry(state, lost + 1, kFatEnd);
    EXPECT_EQ(fat_flush(state), SmfsResult::Ok);
}

TEST(RepairCommandTest, LostClustersAreFreedAndTheFileKept) {
    TempDir dir;
    const std::string image = (dir / "card.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "4", "--format"}).exit, 0);
    writeBytes(dir / "pc/a.bin", patternBytes(30000, 7));
    ASSERT_EQ(runSmc({"put", image, (dir / "pc/a.bin").string(), "/"}).exit, 0);
    loseTwoClusters(image);

    SmcRun run = runSmc({"check", image});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.out.rfind("lost-clusters: lost chain of 2 clusters", 0), 0u) << run.out;

    run = runSmc({"check", image, "--repair"});
    EXPECT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nrepaired: freed 2 lost clusters\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("left: "), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("0 problems left after repair"), std::string::npos) << run.err;

    EXPECT_EQ(runSmc({"check", image}).exit, 0);
    fs::create_directories(dir / "back");
    ASSERT_EQ(runSmc({"get", image, "/a.bin", (dir / "back").string()}).exit, 0);
    EXPECT_EQ(readText(dir / "back/a.bin"), readText(dir / "pc/a.bin"));
    EXPECT_EQ(runSmc({"info", image, "--repair"}).exit, 2) << "--repair belongs to check";
}

// Gives a root entry the raw 11 characters of a name no path can name, through the library.
void storeForeignName(const std::string& image, const char* name83, const char (&raw)[12]) {
    ImageFile file;
    ASSERT_EQ(file.open(image, ImageFile::Access::Write), ImageFile::Status::Ok);
    SmfsCard card(file);
    ASSERT_EQ(fat_ensure(card.state()), SmfsResult::Ok);
    DirKey key;
    key.text = name83;
    DirSlot slot{};
    ASSERT_EQ(dir_find(card.state(), kFindName, 0, key, &slot), SmfsResult::Ok);
    std::memcpy(slot.entry + kDeName, raw, kNameChars);
    ASSERT_EQ(dir_write_entry(card.state(), slot), SmfsResult::Ok);
}

TEST(ForeignNameTest, EntryIsListedAndCopiedAndItsNeighboursStayReachable) {
    TempDir dir;
    const std::string image = (dir / "card.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "4", "--format"}).exit, 0);
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        writeBytes(dir / "pc" / name, patternBytes(3000, unsigned(name[0])));
    ASSERT_EQ(runSmc({"put", image, (dir / "pc/a.bin").string(), (dir / "pc/b.bin").string(),
                      (dir / "pc/c.bin").string(), "/"})
                  .exit,
              0);
    storeForeignName(image, "B.BIN", "B B     BIN");

    SmcRun run = runSmc({"ls", image});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "a.bin\nB B.BIN\nc.bin\n");
    EXPECT_NE(run.err.find("vx:\\B B.BIN: stored name is no 8.3 name"), std::string::npos)
        << run.err;
    fs::create_directories(dir / "back");
    run = runSmc({"get", image, "/B B.BIN", "/c.bin", (dir / "back").string()});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(readText(dir / "back/b b.bin"), readText(dir / "pc/b.bin"));
    EXPECT_EQ(readText(dir / "back/c.bin"), readText(dir / "pc/c.bin"));
    EXPECT_EQ(runSmc({"rm", image, "/a.bin"}).exit, 0);
    EXPECT_EQ(runSmc({"ls", image}).out, "B B.BIN\nc.bin\n");
}

} // namespace
