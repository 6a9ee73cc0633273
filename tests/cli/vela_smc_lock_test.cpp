// SPDX-License-Identifier: MIT
// vela-smc and an image another program holds: every command refuses it with the manager's
// open failure, a writer excludes readers, readers share.
#include "vela_smc_run.h"

#include <common/image_file.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ImageLockTest, HeldImageIsRefusedByEveryCommandUntilReleased) {
    TempDir dir;
    const std::string image = (dir / "card.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "4", "--format"}).exit, 0);
    const std::string refused =
        "vela-smc: '" + image +
        "' is in use by another program: Failed to open virtual SMC file.\n";

    ImageFile held;
    ASSERT_EQ(held.open(image, ImageFile::Access::Write), ImageFile::Status::Ok);
    const std::vector<std::vector<std::string>> commands = {
        {"ls", image}, {"mkdir", image, "/x"}, {"check", image}, {"info", image}};
    for (const auto& args : commands) {
        const SmcRun run = runSmc(args);
        EXPECT_EQ(run.exit, 1) << args[0];
        EXPECT_EQ(run.err, refused) << args[0];
    }
    const SmcRun create =
        runSmc({"create", image, "--vendor", "toshiba", "--size", "1", "--overwrite"});
    EXPECT_EQ(create.exit, 1);

    // A reader lets other readers in, but no writer.
    ASSERT_TRUE(held.close());
    ASSERT_EQ(held.open(image, ImageFile::Access::Read), ImageFile::Status::Ok);
    EXPECT_EQ(runSmc({"check", image}).exit, 0);
    EXPECT_EQ(runSmc({"mkdir", image, "/x"}).err, refused);

    held.close();
    EXPECT_EQ(runSmc({"mkdir", image, "/x"}).exit, 0);
    EXPECT_EQ(runSmc({"ls", image}).out, "x/\n");
}

} // namespace
