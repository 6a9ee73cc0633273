// The locked image file: writers exclude every other opener, readers share, a refused
// opener changes nothing, and the lock ends with the file.
#include "common/image_file.h"

#include "fakes/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

using Access = ImageFile::Access;
using Status = ImageFile::Status;

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ImageFileTest, WriterExcludesOthersReadersShare) {
    TempDir dir;
    const auto image = dir / "card.smc";
    writeText(image, "card");

    ImageFile writer;
    ASSERT_EQ(writer.open(image, Access::Write), Status::Ok);
    EXPECT_TRUE(writer.writable());
    ImageFile other;
    EXPECT_EQ(other.open(image, Access::Write), Status::Locked);
    EXPECT_EQ(other.open(image, Access::Read), Status::Locked);
    EXPECT_EQ(other.open(image, Access::Create), Status::Locked);
    EXPECT_FALSE(other);
    EXPECT_EQ(readText(image), "card") << "a refused create emptied the image";

    ASSERT_TRUE(writer.close());
    ImageFile reader1, reader2;
    ASSERT_EQ(reader1.open(image, Access::Read), Status::Ok);
    EXPECT_FALSE(reader1.writable());
    EXPECT_EQ(reader2.open(image, Access::Read), Status::Ok);
    EXPECT_EQ(other.open(image, Access::Write), Status::Locked);

    // Moving the object moves the lock; destroying it releases the lock.
    {
        ImageFile moved = std::move(reader1);
        reader2 = ImageFile();
        EXPECT_EQ(other.open(image, Access::Write), Status::Locked);
    }
    EXPECT_EQ(other.open(image, Access::Write), Status::Ok);
}

TEST(ImageFileTest, CreateEmptiesSyncKeepsWritesAndOnlyFilesOpen) {
    TempDir dir;
    const auto image = dir / "new.smc";
    writeText(image, "old contents");
    ImageFile file;
    ASSERT_EQ(file.open(image, Access::Create), Status::Ok);
    EXPECT_EQ(readText(image), "");
    ASSERT_EQ(std::fputs("fresh", file.stream()) >= 0, true);
    ASSERT_TRUE(file.sync());
    EXPECT_EQ(readText(image), "fresh");
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file);

    EXPECT_EQ(file.open(dir / "absent.smc", Access::Write), Status::OpenFailed);
    EXPECT_EQ(file.open(dir.path(), Access::Read), Status::OpenFailed);
    EXPECT_EQ(file.open(dir.path(), Access::Create), Status::OpenFailed);
}

} // namespace
