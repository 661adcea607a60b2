// Files behind the walks: what opening refuses and how errors are captured.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "protocol/ByteSource.h"

namespace {

namespace fs = std::filesystem;

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nuv-bytesource-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(TempDir, ReadsAFileAndReportsItsSizeAndOffsets) {
  const auto path = dir_ / "image.nuv";
  std::ofstream(path, std::ios::binary) << "0123456789";
  auto opened = nuv::FileSource::open(path.string());
  ASSERT_TRUE(opened.ok());
  auto& file = *opened.value();
  EXPECT_EQ(file.size(), 10u);
  std::uint8_t buf[4];
  auto got = file.read(buf, 4);
  EXPECT_EQ(got.count, 4u);
  EXPECT_EQ(buf[0], '0');
  ASSERT_FALSE(file.seek(8));
  got = file.read(buf, 4);
  EXPECT_EQ(got.count, 2u);
  EXPECT_FALSE(got.error);
  EXPECT_TRUE(file.atEnd());
  ASSERT_FALSE(file.seek(20)) << "seeking past the end is allowed";
  EXPECT_EQ(file.read(buf, 4).count, 0u);
}

TEST_F(TempDir, RefusesMissingFilesAndDirectoriesWithTheirReason) {
  auto missing = nuv::FileSource::open((dir_ / "nope.nuv").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_NE(missing.error().describe().find("nope.nuv"), std::string::npos);

  auto directory = nuv::FileSource::open(dir_.string());
  ASSERT_FALSE(directory.ok());
  EXPECT_NE(directory.error().describe().find("directory"), std::string::npos);
}

// Root reads any file unless it runs without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, as
// tests/unreadable-files.cmake runs this case.
TEST_F(TempDir, RefusesAnUnreadableFile) {
  const auto path = dir_ / "locked.nuv";
  std::ofstream(path, std::ios::binary) << "x";
  ::chmod(path.c_str(), 0);
  auto locked = nuv::FileSource::open(path.string());
  if (locked.ok()) GTEST_SKIP() << "this process reads files whatever their permissions";
  ASSERT_FALSE(locked.ok());
  EXPECT_EQ(locked.error().code, EACCES);
}

}  // namespace
