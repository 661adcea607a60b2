// inspect, pack and unpack: on good and bad files, with their exit codes, never harming a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli/ExitCodes.h"
#include "cli/ImageTools.h"
#include "protocol/UpdateImage.h"

namespace {

namespace fs = std::filesystem;
namespace image = nuv::image;

class ImageToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("nuv-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    outFile_ = std::tmpfile();
    errFile_ = std::tmpfile();
  }
  void TearDown() override {
    std::fclose(outFile_);
    std::fclose(errFile_);
    fs::remove_all(dir_);
  }
  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::vector<std::uint8_t> read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::string drain(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[512];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, f)) s.append(buf, n);
    return s;
  }
  nuv::cli::Options options(nuv::cli::Command command, std::string operand,
                            std::string output = {}) {
    nuv::cli::Options o;
    o.command = command;
    o.operands = {std::move(operand)};
    o.output = std::move(output);
    return o;
  }
  int run(int (*command)(const nuv::cli::Options&, nuv::cli::Output&), const nuv::cli::Options& o,
          nuv::cli::OutputMode mode = nuv::cli::OutputMode::Plain) {
    nuv::cli::Output out(mode, false, outFile_, errFile_);
    return command(o, out);
  }
  static std::vector<std::uint8_t> firmware() {
    std::vector<std::uint8_t> fw(image::kFirmwareSize);
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<std::uint8_t>(i * 31 + 7);
    std::memcpy(fw.data(), "V1.01 firmware..", 16);
    return fw;
  }

  fs::path dir_;
  std::FILE* outFile_ = nullptr;
  std::FILE* errFile_ = nullptr;
};

TEST_F(ImageToolsTest, PackThenUnpackGivesTheFirmwareBackAndInspectAcceptsIt) {
  const auto fw = firmware();
  const auto raw = write("raw.bin", fw);
  const auto nuv = (dir_ / "out.nuv").string();
  ASSERT_EQ(run(nuv::cli::runPack, options(nuv::cli::Command::Pack, raw, nuv)),
            nuv::cli::kExitSuccess);
  const auto packed = read(nuv);
  ASSERT_EQ(packed.size(), image::kImageSize);
  EXPECT_EQ(packed[0x1000], 0xFF) << "the default filler is erased flash";
  EXPECT_EQ(run(nuv::cli::runInspect, options(nuv::cli::Command::Inspect, nuv)),
            nuv::cli::kExitSuccess);
  EXPECT_NE(drain(outFile_).find("accepted         yes"), std::string::npos);

  const auto back = (dir_ / "back.bin").string();
  ASSERT_EQ(run(nuv::cli::runUnpack, options(nuv::cli::Command::Unpack, nuv, back)),
            nuv::cli::kExitSuccess);
  EXPECT_EQ(read(back), fw);
  struct stat info {};
  ASSERT_EQ(::stat(back.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(ImageToolsTest, NeverReplacesAFileUnlessForcedAndLeavesNoTemporaryBehind) {
  const auto raw = write("raw.bin", firmware());
  const auto existing = write("keep.nuv", {1, 2, 3});
  EXPECT_EQ(run(nuv::cli::runPack, options(nuv::cli::Command::Pack, raw, existing)),
            nuv::cli::kExitFileError);
  EXPECT_EQ(read(existing), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_NE(drain(errFile_).find("--force"), std::string::npos);

  auto forced = options(nuv::cli::Command::Pack, raw, existing);
  forced.force = true;
  EXPECT_EQ(run(nuv::cli::runPack, forced), nuv::cli::kExitSuccess);
  EXPECT_EQ(read(existing).size(), image::kImageSize);
  int entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2) << "only raw.bin and keep.nuv";
  drain(errFile_);

  // Not even --force replaces the input itself, or a folder; a missing folder is named as the
  // user gave it, not by the temporary file.
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {raw, "is the input file itself"},
      {dir_.string(), "is a folder"},
      {(dir_ / "none" / "x.nuv").string(), "create " + (dir_ / "none" / "x.nuv").string() + ":"}};
  for (const auto& [target, why] : refusals) {
    auto o = options(nuv::cli::Command::Pack, raw, target);
    o.force = true;
    EXPECT_EQ(run(nuv::cli::runPack, o), nuv::cli::kExitFileError) << target;
    EXPECT_NE(drain(errFile_).find(why), std::string::npos) << target;
  }
  EXPECT_EQ(read(raw), firmware());
}

TEST_F(ImageToolsTest, RefusesFirmwareAndImagesOfTheWrongSize) {
  auto fw = firmware();
  fw.pop_back();
  const auto shortRaw = write("short.bin", fw);
  const auto target = (dir_ / "x.nuv").string();
  EXPECT_EQ(run(nuv::cli::runPack, options(nuv::cli::Command::Pack, shortRaw, target)),
            nuv::cli::kExitImageRefused);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_NE(drain(errFile_).find("64511"), std::string::npos);

  for (std::size_t size : {std::size_t{0}, std::size_t{65535}, std::size_t{65537}}) {
    std::vector<std::uint8_t> bytes(size, 0);
    if (size >= 5) std::memcpy(bytes.data(), "V1.01", 5);
    const auto path = write("size" + std::to_string(size) + ".nuv", bytes);
    EXPECT_EQ(run(nuv::cli::runInspect, options(nuv::cli::Command::Inspect, path)),
              nuv::cli::kExitImageRefused)
        << size;
    EXPECT_EQ(run(nuv::cli::runUnpack, options(nuv::cli::Command::Unpack, path, target)),
              nuv::cli::kExitImageRefused);
    EXPECT_FALSE(fs::exists(target));
  }
  EXPECT_NE(drain(outFile_).find("Filesize is error"), std::string::npos);
}

TEST_F(ImageToolsTest, InspectTellsWhyAVersionIsRefused) {
  auto bytes = image::pack(firmware(), 0xFF);
  std::memcpy(bytes.data(), "v1.01", 5);
  const auto path = write("lower.nuv", bytes);
  EXPECT_EQ(run(nuv::cli::runInspect, options(nuv::cli::Command::Inspect, path),
                nuv::cli::OutputMode::Json),
            nuv::cli::kExitImageRefused);
  const std::string json = drain(outFile_);
  // One object, typed: the refusal as a code with its text beside it.
  EXPECT_NE(json.find("\"event\":\"inspect\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"size\":65536,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"version\":\"v1.01\",\"accepted\":false,\"reason\":\"version\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"exit_code\":4"), std::string::npos);
}

TEST_F(ImageToolsTest, MissingFilesAndDirectoriesAreFileErrors) {
  EXPECT_EQ(
      run(nuv::cli::runInspect, options(nuv::cli::Command::Inspect, (dir_ / "none.nuv").string())),
      nuv::cli::kExitFileError);
  EXPECT_EQ(run(nuv::cli::runInspect, options(nuv::cli::Command::Inspect, dir_.string())),
            nuv::cli::kExitFileError);
  const auto target = (dir_ / "x.bin").string();
  EXPECT_EQ(run(nuv::cli::runUnpack, options(nuv::cli::Command::Unpack, dir_.string(), target)),
            nuv::cli::kExitFileError);
  const std::string err = drain(errFile_);
  EXPECT_NE(err.find("No such file"), std::string::npos);
  EXPECT_NE(err.find("is a directory"), std::string::npos);
  EXPECT_FALSE(fs::exists(target));

  const auto raw = write("raw.bin", firmware());
  EXPECT_EQ(run(nuv::cli::runPack,
                options(nuv::cli::Command::Pack, raw, (dir_ / "no/such/dir.nuv").string())),
            nuv::cli::kExitFileError);
}

}  // namespace
