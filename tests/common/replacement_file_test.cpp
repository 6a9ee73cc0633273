// SPDX-License-Identifier: MIT
// A replacement takes the target's place only on commit: until then, and after any refusal,
// the target is as it was and no temporary file is left.
#include "common/replacement_file.h"

#include "fakes/temp_dir.h"
#include "fakes/test_bytes.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using Start = ReplacementFile::Start;
using Status = ImageFile::Status;

struct Case {
    const char* target; // its contents before; nullptr: absent
    Start start;
    bool commit;
    const char* after; // its contents after; nullptr: absent
};

TEST(ReplacementFileTest, TargetChangesOnlyOnCommit) {
    const Case cases[] = {
        {nullptr, Start::Empty, true, "NEW"},
        {nullptr, Start::Empty, false, nullptr},
        {"old card", Start::Empty, true, "NEW"},
        {"old card", Start::Empty, false, "old card"},
        {"old card", Start::CopyOfTarget, true, "NEW card"},
        {"old card", Start::CopyOfTarget, false, "old card"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.target ? c.target : "absent") + (c.commit ? " commit" : ""));
        TempDir dir;
        const fs::path target = dir / "card.smc";
        if (c.target) {
            writeText(target, c.target);
            fs::permissions(target, fs::perms(0640));
        }
        {
            ReplacementFile replacement;
            ASSERT_EQ(replacement.open(target, c.start), Status::Ok);
            ASSERT_EQ(replacement.file().write(0, reinterpret_cast<const std::uint8_t*>("NEW"), 3),
                      SmfsResult::Ok);
            EXPECT_EQ(readText(target), c.target ? c.target : "");
            EXPECT_TRUE(!c.commit || replacement.commit());
        }
        EXPECT_EQ(fs::exists(target) ? readText(target) : "(absent)",
                  c.after ? c.after : "(absent)");
        EXPECT_TRUE(!c.target || fs::status(target).permissions() == fs::perms(0640));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), c.after ? 1 : 0);
    }
}

TEST(ReplacementFileTest, RefusalsLeaveEverythingAndLinksKeepPointing) {
    TempDir dir;
    const fs::path target = dir / "card.smc";
    ReplacementFile replacement;
    EXPECT_EQ(replacement.open(target, Start::CopyOfTarget), Status::OpenFailed);
    EXPECT_EQ(replacement.open(dir.path(), Start::Empty), Status::OpenFailed);
    writeText(target, "card");
    {
        ImageFile inUse;
        ASSERT_EQ(inUse.open(target, ImageFile::Access::Read), Status::Ok);
        EXPECT_EQ(replacement.open(target, Start::Empty), Status::Locked);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);

    fs::create_symlink("card.smc", dir / "link.smc");
    ASSERT_EQ(replacement.open(dir / "link.smc", Start::CopyOfTarget), Status::Ok);
    ASSERT_EQ(replacement.file().write(0, reinterpret_cast<const std::uint8_t*>("w"), 1),
              SmfsResult::Ok);
    ASSERT_TRUE(replacement.commit());
    EXPECT_TRUE(fs::is_symlink(dir / "link.smc"));
    EXPECT_EQ(readText(target), "ward");
}

} // namespace
