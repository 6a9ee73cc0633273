// SPDX-License-Identifier: MIT
// The locked image file: writers exclude every other opener, readers share, a refused
// opener changes nothing, and the lock ends with the file.
#include "common/image_file.h"

#include "fakes/temp_dir.h"
#include "fakes/test_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Access = ImageFile::Access;
using Status = ImageFile::Status;

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
    const std::string fresh = "fresh";
    ASSERT_EQ(file.write(2, reinterpret_cast<const std::uint8_t*>(fresh.data()), fresh.size()),
              SmfsResult::Ok);
    ASSERT_EQ(file.sync(), SmfsResult::Ok);
    EXPECT_EQ(readText(image), std::string(2, '\0') + "fresh");
    EXPECT_TRUE(file.close());

    EXPECT_EQ(file.open(dir / "absent.smc", Access::Write), Status::OpenFailed);
    EXPECT_EQ(file.open(dir.path(), Access::Read), Status::OpenFailed);
    EXPECT_EQ(file.open(dir.path(), Access::Create), Status::OpenFailed);
}

// The storage calls: positioned reads that stop at the end, writes only for a writer, and a
// closed file refusing everything with the system's reason kept.
TEST(ImageFileTest, PositionedReadsAndWritesAsAStorage) {
    TempDir dir;
    const auto image = dir / "card.smc";
    writeText(image, "0123456789");
    std::uint8_t buffer[8] = {};
    std::size_t got = 99;
    std::uint64_t size = 0;

    ImageFile reader;
    ASSERT_EQ(reader.open(image, Access::Read), Status::Ok);
    ASSERT_EQ(reader.read(6, buffer, sizeof buffer, &got), SmfsResult::Ok);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "6789");
    EXPECT_EQ(reader.read(20, buffer, 2, &got), SmfsResult::Ok);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(reader.write(0, buffer, 1), SmfsResult::ImageIo);
    EXPECT_EQ(reader.sync(), SmfsResult::Ok);
    ASSERT_EQ(reader.size(&size), SmfsResult::Ok);
    EXPECT_EQ(size, 10u);
    reader.close();

    ImageFile writer;
    ASSERT_EQ(writer.open(image, Access::Write), Status::Ok);
    ASSERT_EQ(writer.write(12, reinterpret_cast<const std::uint8_t*>("AB"), 2), SmfsResult::Ok);
    ASSERT_EQ(writer.size(&size), SmfsResult::Ok);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(writer.lastError(), 0);
    writer.close();
    EXPECT_EQ(readText(image), std::string("0123456789") + std::string(2, '\0') + "AB");
    EXPECT_EQ(writer.read(0, buffer, 1, &got), SmfsResult::ImageIo);
    EXPECT_NE(writer.lastError(), 0);
}

} // namespace
