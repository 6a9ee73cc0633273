// SPDX-License-Identifier: MIT
// vela-smc check --repair on an image with lost clusters: it lists what it found and what it
// did, leaves the card clean and the file on it as it was.
#include "vela_smc_run.h"

#include "smfs/fat.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <gtest/gtest.h>

#include <cstdio>
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

} // namespace
