// Raw volume images: the exported partition of a filled card is what the host's FAT tools
// accept and read as the card's tree; a volume changed by mtools, or made by mformat, comes
// back through import and is read by the library; import refuses volumes that do not fit
// the card before it writes anything; export reports sectors it could not correct.
#include "api_interop.h"

#include "fakes/temp_dir.h"

#include "smfs/fat.h"
#include "smfs/media.h"

#include <smfs/tools.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

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
    const std::string listing = mtools("mdir -/ -i '" + raw.string() + "' ::");
    EXPECT_NE(listing.find("DEMO     QXE"), std::string::npos) << listing;
    fs::create_directory(dir / "scratch");
    EXPECT_EQ(apiMtoolsTree(raw.string(), (dir / "scratch").string()), apiCardTree());
    // The same bytes the test helper extracts sector by sector.
    const fs::path helper = dir / "helper.raw";
    apiExtractPartition(helper.string());
    EXPECT_EQ(apiReadHostFile(raw), apiReadHostFile(helper));
}

// The 128 MB card's whole-volume export takes over a minute unoptimised under the
// sanitizers; the optimised test run covers it.
#if defined(__SANITIZE_ADDRESS__)
INSTANTIATE_TEST_SUITE_P(CardTypes, VolumeExportTest, ::testing::Values(1, 4),
#else
INSTANTIATE_TEST_SUITE_P(CardTypes, VolumeExportTest, ::testing::Values(1, 4, 7),
#endif
                         [](const auto& info) { return "type" + std::to_string(info.param); });

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

TEST(VolumeImportTest, VolumeOfAnotherCardTypeIsRefused) {
    TempDir dir;
    const fs::path raw = dir / "volume.raw";
    {
        TestCard small(4, true);
        fillCard();
        ASSERT_EQ(exportTo(raw), SmfsResult::Ok);
    }
    TestCard big(5, true);
    SmfsImportProblem problem = SmfsImportProblem::None;
    EXPECT_EQ(importFrom(raw, &problem), SmfsResult::InvalidArgument);
    EXPECT_EQ(problem, SmfsImportProblem::WrongSize);
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
