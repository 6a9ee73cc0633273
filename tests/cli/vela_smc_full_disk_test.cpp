// SPDX-License-Identifier: MIT
// A full disk for real: vela-smc exports a card's volume into a small tmpfs, mounted in a
// mount namespace of its own, and must fail with the system's reason, leaving no partial
// file behind. Where no user namespace can be made (a locked-down machine), the test is
// skipped; the I/O-error test of the card library covers every failing call in memory.
#include "vela_smc_run.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(FullDiskTest, ExportOntoAFullDiskReportsTheSystemsReason) {
    if (std::system("unshare -rm true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no user and mount namespace here to mount a small tmpfs in";
    TempDir dir;
    const std::string image = (dir / "card.smc").string();
    ASSERT_EQ(runSmc({"create", image, "--vendor", "samsung", "--size", "1", "--format"}).exit, 0);
    writeBytes(dir / "pc/tune.mp3", patternBytes(200000, 3));
    ASSERT_EQ(runSmc({"put", image, (dir / "pc/tune.mp3").string(), "/"}).exit, 0);

    // 64 KiB of room for a volume of about a megabyte.
    const fs::path small = dir / "small";
    fs::create_directories(small);
    const std::string prefix =
        "unshare -rm sh -c " +
        shellQuote("mount -t tmpfs -o size=64k tmpfs " + shellQuote(small.string()) +
                   " && \"$0\" \"$@\"; code=$?; ls " + shellQuote(small.string()) +
                   " >&2; exit $code") +
        " ";
    const SmcRun run = runSmc({"export", image, (small / "volume.raw").string()}, prefix);
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_NE(run.err.find("failed to write to file in PC.: No space left on device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("volume.raw"), std::string::npos) << "the partial export was kept";
}

} // namespace
