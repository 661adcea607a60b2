// Runs inside the test VM: vornex-cli's own device commands (list, verify) against the kernel's
// hidraw node of the uhid device, as the root user and as a user the node is closed to.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "cli/DeviceCommands.h"
#include "cli/EngineCommands.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "protocol/UpdateImage.h"
#include "tests/vm/GuestSupport.h"

namespace {

struct CommandRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs one command through the tool's own entry points, with plain output captured.
CommandRun runCommand(const std::vector<std::string>& args) {
  CommandRun run;
  auto parsed = nuv::cli::parseOptions(args);
  if (!parsed) {
    run.err = parsed.error().text;
    return run;
  }
  const auto& options = parsed.value();
  char* outText = nullptr;
  char* errText = nullptr;
  std::size_t outLen = 0, errLen = 0;
  std::FILE* out = open_memstream(&outText, &outLen);
  std::FILE* err = open_memstream(&errText, &errLen);
  {
    nuv::cli::Output output(nuv::cli::OutputMode::Plain, false, out, err);
    const std::atomic<bool> cancel{false};
    run.code = options.command == nuv::cli::Command::List
                   ? nuv::cli::runList(options, output)
                   : nuv::cli::runDeviceCommand(options, output, nuv::cli::SessionIo{}, cancel);
  }
  std::fclose(out);
  std::fclose(err);
  run.out.assign(outText, outLen);
  run.err.assign(errText, errLen);
  std::free(outText);
  std::free(errText);
  return run;
}

// The same as user 65534, in a child process; the result comes back through a pipe.
CommandRun runCommandAsNobody(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    CommandRun run;
    if (setgid(65534) == 0 && setuid(65534) == 0) run = runCommand(args);
    const std::string text = std::to_string(run.code) + "\n" + run.out + "\n--\n" + run.err;
    (void)!write(fds[1], text.data(), text.size());
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(fds[0]);
  waitpid(child, nullptr, 0);
  CommandRun run;
  const auto nl = text.find('\n');
  if (nl == std::string::npos) return run;
  run.code = std::stoi(text.substr(0, nl));
  const auto sep = text.find("\n--\n", nl);
  run.out = text.substr(nl + 1, sep - nl - 1);
  if (sep != std::string::npos) run.err = text.substr(sep + 4);
  return run;
}

std::vector<std::uint8_t> testImage() {
  std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
  std::mt19937 random(12);
  for (auto& b : fw) b = static_cast<std::uint8_t>(random());
  return nuv::image::pack(fw, 0xEE);
}

std::string writeImage(const std::vector<std::uint8_t>& image) {
  const auto path =
      std::filesystem::temp_directory_path() / ("vm-cli-" + std::to_string(getpid()) + ".nuv");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  chmod(path.c_str(), 0644);
  return path.string();
}

TEST(CliOnKernel, ListShowsTheDeviceAndThatItCanBeOpened) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  const CommandRun run = runCommand({"list"});
  std::printf("%s", run.out.c_str());
  EXPECT_EQ(run.code, nuv::cli::kExitSuccess) << run.out << run.err;
  EXPECT_NE(run.out.find(device.node()), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("ffff:0100  can be opened"), std::string::npos) << run.out;
}

TEST(CliOnKernel, VerifyTellsAFreshDeviceFromADownloadedOne) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  const auto image = testImage();
  const std::string path = writeImage(image);

  CommandRun run = runCommand({"verify", path, "--device", device.node()});
  EXPECT_EQ(run.code, nuv::cli::kExitVerifyMismatch) << run.out << run.err;

  vmtest::Hidraw host(device.node());
  ASSERT_TRUE(host.isOpen());
  std::string why;
  ASSERT_TRUE(vmtest::downloadImage(host, image, &why)) << why;
  run = runCommand({"verify", path, "--device", device.node()});
  EXPECT_EQ(run.code, nuv::cli::kExitSuccess) << run.out << run.err;
  std::filesystem::remove(path);
}

TEST(CliOnKernel, AUserTheNodeIsClosedToGetsThePermissionHint) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  struct stat st {};
  ASSERT_EQ(stat(device.node().c_str(), &st), 0);
  if ((st.st_mode & 0777) != 0600) GTEST_SKIP() << "a udev rule of this machine opened the node";
  const std::string path = writeImage(testImage());

  const CommandRun list = runCommandAsNobody({"list"});
  std::printf("%s%s", list.out.c_str(), list.err.c_str());
  EXPECT_EQ(list.code, nuv::cli::kExitNoDevice);
  EXPECT_NE(list.out.find("permission denied: install the udev rule"), std::string::npos)
      << list.out;

  const CommandRun verify = runCommandAsNobody({"verify", path});
  std::printf("%s%s", verify.out.c_str(), verify.err.c_str());
  EXPECT_EQ(verify.code, nuv::cli::kExitNoDevice);
  EXPECT_NE((verify.out + verify.err).find("permission denied"), std::string::npos)
      << verify.out << verify.err;
  std::filesystem::remove(path);
}

}  // namespace
