// vornex-cli emulate on Linux: the emulated device program's own serving loop (runEmulator),
// with this tool's options, exit codes and output.
#include "cli/Emulate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/SimSetup.h"
#include "sim/uhid/Emulator.h"

namespace nuv::cli {
namespace {

// The emulator tells what happens in whole lines on two streams. Each line goes on to this
// tool's Output (so that --json and --quiet hold for it too), without the name of the
// emulator's own program in front.
class LineRelay final : public std::streambuf {
 public:
  explicit LineRelay(std::function<void(std::string_view)> deliver)
      : deliver_(std::move(deliver)) {}
  ~LineRelay() override {
    if (!line_.empty()) emit();
  }
  LineRelay(const LineRelay&) = delete;
  LineRelay& operator=(const LineRelay&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n') {
      emit();
    } else {
      line_.push_back(ch);
    }
    return c;
  }

 private:
  void emit() {
    constexpr std::string_view kProgramPrefix = "nuv-uhid-device: ";
    std::string_view text = line_;
    if (text.starts_with(kProgramPrefix)) text.remove_prefix(kProgramPrefix.size());
    deliver_(text);
    line_.clear();
  }
  std::function<void(std::string_view)> deliver_;
  std::string line_;
};

// The emulator writes its files when the device stops (through a temporary file beside the
// target and a rename). A target it cannot write would only show then, after a whole session,
// so it is checked before the device appears. Nothing is written here.
std::optional<nuv::Error> checkWritableTarget(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return nuv::Error::message(path + " is a directory");
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  if (dir.empty()) dir = ".";
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return nuv::Error::fromErrno("access " + dir.string(), errno);
  return std::nullopt;
}

}  // namespace

int runEmulate(const Options& options, Output& out) {
  const unsigned count = options.count.value_or(1);
  if (count > kMostEmulatedDevices) {
    out.result(kExitUsage, "emulate presents at most " + std::to_string(kMostEmulatedDevices) +
                               " devices at once, not " + std::to_string(count));
    return kExitUsage;
  }
  // Device n (1-based) has the faults meant for it and, among several, a memory file of its
  // own (memory.bin -> memory-n.bin); the ready file lists every node.
  std::vector<sim::uhid::EmulatorOptions> devices(count);
  for (unsigned n = 1; n <= count; ++n) {
    sim::uhid::EmulatorOptions& emulator = devices[n - 1];
    emulator.device = simDeviceOptions(options, n);
    if (!options.memoryOut.empty())
      emulator.memoryFile =
          count > 1 ? sim::uhid::numberedFile(options.memoryOut, n) : options.memoryOut;
    emulator.readyFile = options.readyFile;
    if (!options.uhidPath.empty()) emulator.uhidPath = options.uhidPath;
  }
  const std::string uhidPath = devices.front().uhidPath;

  std::vector<std::string> targets;
  for (const auto& device : devices)
    if (!device.memoryFile.empty()) targets.push_back(device.memoryFile);
  if (!options.readyFile.empty()) targets.push_back(options.readyFile);
  for (const std::string& file : targets) {
    if (auto problem = checkWritableTarget(file)) {
      out.message(problem->describe(), true);
      out.result(kExitFileError, "cannot write " + file);
      return kExitFileError;
    }
  }
  // Opened once here, not left to the emulator, so that a missing or closed uhid node gets the
  // exit code of a device that cannot be had. Opening it alone makes no device.
  if (auto probe = sim::uhid::Channel::open(uhidPath); !probe) {
    out.message(probe.error().describe(), true);
    out.result(kExitNoDevice,
               "the emulated device needs " + uhidPath + " and the right to open it");
    return kExitNoDevice;
  }

  out.status(count == 1
                 ? "Presenting the emulated update device through " + uhidPath +
                       " (Ctrl-C removes it)"
                 : "Presenting " + std::to_string(count) + " emulated update devices through " +
                       uhidPath + " (Ctrl-C removes them)");
  int status = 1;
  {
    LineRelay statusLines([&out](std::string_view line) { out.status(line); });
    LineRelay errorLines([&out](std::string_view line) { out.message(line, true); });
    std::ostream statusStream(&statusLines);
    std::ostream errorStream(&errorLines);
    status = sim::uhid::runEmulators(devices, statusStream, errorStream);
  }
  if (status == 0) {
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.result(kExitExchangeFailed, count == 1
                                      ? "the emulated device could not be presented or served"
                                      : "an emulated device could not be presented or served");
  return kExitExchangeFailed;
}

}  // namespace nuv::cli
