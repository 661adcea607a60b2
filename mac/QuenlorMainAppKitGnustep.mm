// QuenlorHID on GNUstep's AppKit against an emulated update device on a virtual bus: how this
// machine runs the native shell of the macOS program. Reads a few options for demos and for
// the test driver; AppKit's own defaults (-GSX11HandlesWindowDecorations NO, ...) pass
// through to NSApplicationMain.
#import <AppKit/AppKit.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mac/QuenlorAppKit.h"
#include "platform/iohid/Sim.h"
#include "protocol/UpdateImage.h"
#include "sim/DemoDevice.h"
#include "sim/VirtualBus.h"

namespace {

constexpr const char* kUsage =
    "usage: QuenlorHID-gnustep [--latency-us N] [--fault FAULT]... [--version TEXT]\n"
    "                          [--log-status] [--memory-out PATH] [--compare-with IMAGE]\n"
    "                          [AppKit defaults, e.g. -GSX11HandlesWindowDecorations NO]\n"
    "       QuenlorHID-gnustep --make-image PATH\n"
    "Shows QuenlorHID's AppKit window with an emulated update device plugged in.\n";
constexpr const char* kDriverUsage =
    "  --log-status         logs every text of the status line (\"status: ...\")\n"
    "  --memory-out PATH    at exit, writes the device's memory as of its last Burn to PATH\n"
    "  --compare-with IMAGE at exit, logs whether that memory holds IMAGE's firmware\n"
    "  --make-image PATH    writes a demo update image (65536 bytes) to PATH and exits\n"
    "SIGTERM and SIGINT end the program as Quit does.\n";

int usage(FILE* to, int status) {
  std::fprintf(to, "%s%s%s", kUsage, nuv::sim::kDemoDeviceUsage, kDriverUsage);
  return status;
}

struct DriverOptions {
  nuv::sim::UpdateDeviceOptions device;
  bool logStatus = false;
  std::string memoryOut;
  std::string compareWith;
};

int makeImage(const char* path) {
  const auto written = nuv::sim::writeDemoImage(path);
  if (!written) {
    std::fprintf(stderr, "QuenlorHID-gnustep: %s\n", written.error().describe().c_str());
    return 1;
  }
  std::printf("wrote %s (%zu bytes)\n", path, written.value());
  return 0;
}

// What the device holds as of its last Burn, against the firmware of the image at `path`.
void compareMemory(const std::vector<std::uint8_t>& memory, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  if (image.size() != nuv::image::kImageSize) {
    NSLog(@"memory: cannot compare, %s is not an update image", path.c_str());
    return;
  }
  const std::vector<std::uint8_t> firmware = nuv::image::unpack(image);
  const auto [differs, _] =
      std::mismatch(firmware.begin(), firmware.end(), memory.begin(), memory.end());
  if (memory.size() < firmware.size() || differs != firmware.end()) {
    NSLog(@"memory: differs from the image at 0x%lx",
          static_cast<unsigned long>(differs - firmware.begin()));
    return;
  }
  NSLog(@"memory: matches the image (%lu bytes)", static_cast<unsigned long>(firmware.size()));
}

void writeMemory(const std::vector<std::uint8_t>& memory, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  out.close();
  if (!out) NSLog(@"memory: cannot write %s: %s", path.c_str(), std::strerror(errno));
}

// The write end of the pipe that turns SIGTERM and SIGINT into a Quit on the run loop.
int quitPipeWriteEnd = -1;  // written by the signal handler only; set once before it is armed

void requestQuit(int) {
  const char byte = 'q';
  (void)!write(quitPipeWriteEnd, &byte, 1);
}

// What the program adds to the shell for demos and tests: the status log, Quit on a signal,
// the device's memory at exit.
struct Driver {
  const DriverOptions& options;
  nuv::sim::VirtualBus& bus;
  std::shared_ptr<nuv::sim::UpdateDevice> device;
  int quitReadEnd;

  void didLaunch(nuv::cocoa::AppKitApplication& application) {
    if (options.logStatus)
      application.setStatusObserver(
          [](const std::string& text) { NSLog(@"status: %s", text.c_str()); });
    const int fd = quitReadEnd;
    (void)application.runLoop().watchReadable(fd, [fd] {
      char byte = 0;
      (void)!read(fd, &byte, 1);
      [NSApp terminate:nil];
    });
  }

  void willTerminate() {
    if (!device) return;
    const std::vector<std::uint8_t> memory = device->burnt();
    if (!options.memoryOut.empty()) writeMemory(memory, options.memoryOut);
    if (!options.compareWith.empty()) compareMemory(memory, options.compareWith);
  }
};

}  // namespace

int main(int argc, char** argv) {
  DriverOptions options;
  // AppKit's arguments (those starting with a single '-' and their values) go through as
  // they are; this program's own start with "--".
  std::vector<char*> appKitArgs{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--make-image" && hasValue) return makeImage(argv[++i]);
    const auto read = nuv::sim::readDemoDeviceOption(argc, argv, i, options.device);
    if (!read) {
      std::fprintf(stderr, "QuenlorHID-gnustep: %s\n", read.error().text.c_str());
      return usage(stderr, 2);
    }
    if (read.value() == nuv::sim::DemoOption::Read) continue;
    if (arg == "--log-status") {
      options.logStatus = true;
    } else if (arg == "--memory-out" && hasValue) {
      options.memoryOut = argv[++i];
    } else if (arg == "--compare-with" && hasValue) {
      options.compareWith = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      appKitArgs.push_back(argv[i]);
      if (hasValue && argv[i + 1][0] != '-') appKitArgs.push_back(argv[++i]);
    } else {
      const bool help = arg == "--help" || arg == "-h";
      return usage(help ? stdout : stderr, help ? 0 : 2);
    }
  }

  int quitPipe[2];
  if (pipe(quitPipe) != 0) {
    std::fprintf(stderr, "QuenlorHID-gnustep: pipe: %s\n", std::strerror(errno));
    return 1;
  }
  quitPipeWriteEnd = quitPipe[1];
  std::signal(SIGTERM, requestQuit);
  std::signal(SIGINT, requestQuit);

  nuv::sim::VirtualBus bus;
  Driver driver{options, bus, bus.plug({}, options.device), quitPipe[0]};
  Driver* d = &driver;  // lambdas here capture one name (see AppKitCompat.h)

  nuv::mac::QuenlorAppKitOptions main;
  main.createManager = [d] { return nuv::iohid::createSimHIDManager(d->bus); };
  main.didLaunch = [d](nuv::cocoa::AppKitApplication& application) { d->didLaunch(application); };
  main.willTerminate = [d] { d->willTerminate(); };
  appKitArgs.push_back(nullptr);
  return nuv::mac::runQuenlorAppKit(static_cast<int>(appKitArgs.size() - 1), appKitArgs.data(),
                                    std::move(main));
}
