// nuv_pipe_device: the emulated update device as a Windows process, for the Wine tests of
// Vornex.exe. It serves the device on a named pipe and lists it for the test-only HID.dll and
// SetupApi.dll (TestDevices.h), and takes commands on its standard input, one per line:
//
//   unplug   the device goes away (open handles fail, WM_DEVICECHANGE is broadcast)
//   plug     it comes back, with the same instance number and path
//   save     writes the device's 64 KiB of memory to the --memory-out file
//   quit     unplugs, saves and ends (as does the end of the input)
//
// It answers each command with one line on standard output ("ready PATH", "unplugged",
// "plugged", "saved FILE"), so a script can wait for it. Test-only.
//
//   nuv_pipe_device [--instance N] [--memory-out FILE] [--version TEXT] [--latency-ms N]
//                   [--fault KIND@WHERE]...
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/HIDProto.h"
#include "sim/Faults.h"
#include "sim/UpdateDevice.h"
#include "tests/wine/vornex/PipeServer.h"

namespace {

void say(const std::string& line) {
  std::printf("nuv_pipe_device: %s\n", line.c_str());
  std::fflush(stdout);
}

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr,
               "nuv_pipe_device: %s\n"
               "usage: nuv_pipe_device [--instance N] [--memory-out FILE] [--version TEXT]\n"
               "                       [--latency-ms N] [--fault KIND@WHERE]...\n",
               why.c_str());
  std::exit(2);
}

struct Options {
  std::uint32_t instance = 1;
  std::string memoryFile;
  nuv::sim::UpdateDeviceOptions device;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--instance") {
      options.instance = static_cast<std::uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
      if (options.instance == 0) usage("--instance must be a number from 1");
    } else if (arg == "--memory-out") {
      options.memoryFile = value();
    } else if (arg == "--version") {
      options.device.version = value();
    } else if (arg == "--latency-ms") {
      options.device.latency.model = nuv::sim::Latency::Model::Fixed;
      options.device.latency.fixed =
          std::chrono::milliseconds(std::strtol(value().c_str(), nullptr, 10));
    } else if (arg == "--fault") {
      auto parsed = nuv::sim::parseFault(value());
      if (!parsed) usage(parsed.error().text);
      options.device.faults.push_back(parsed.value());
    } else {
      usage("unknown argument " + arg);
    }
  }
  return options;
}

// Lines of standard input, read on a thread of their own and handed over with an event.
class Commands {
 public:
  Commands() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    std::thread([this] {
      char line[256];
      while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        push(line);
      }
      push("quit");
    }).detach();  // blocked in fgets until the input ends; the process ends it
  }
  [[nodiscard]] HANDLE event() const { return event_; }
  [[nodiscard]] bool next(std::string& command) {
    std::lock_guard lock(mutex_);
    if (lines_.empty()) return false;
    command = lines_.front();
    lines_.pop_front();
    return true;
  }

 private:
  void push(std::string line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    SetEvent(event_);
  }
  HANDLE event_;
  std::mutex mutex_;
  std::deque<std::string> lines_;
};

bool saveMemory(const Options& options, const nuv::sim::UpdateDevice& device) {
  if (options.memoryFile.empty()) return true;
  const auto memory = device.memory();
  std::ofstream out(options.memoryFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  out.close();
  if (!out) {
    say("cannot write " + options.memoryFile);
    return false;
  }
  say("saved " + options.memoryFile);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  auto device = std::make_shared<nuv::sim::UpdateDevice>(options.device);
  wine_test::TestDevice identity;
  identity.instance = options.instance;
  identity.path = wine_test::pipePathOf(options.instance);
  wine_test::PipeServer server(device, identity);
  if (!server.plug()) {
    say("cannot plug: " + server.error());
    return 1;
  }
  say("ready " + identity.path);

  Commands commands;
  for (bool running = true; running;) {
    switch (server.serveOnce(commands.event())) {
      case wine_test::PipeServer::Turn::Served:
        break;
      case wine_test::PipeServer::Turn::Unplugged:
        say("unplugged by a fault");
        break;
      case wine_test::PipeServer::Turn::Failed:
        say("failed: " + server.error());
        return 1;
      case wine_test::PipeServer::Turn::Control: {
        std::string command;
        while (running && commands.next(command)) {
          if (command == "unplug") {
            server.unplug();
            say("unplugged");
          } else if (command == "plug") {
            if (!server.plug()) {
              say("cannot plug: " + server.error());
              return 1;
            }
            say("plugged");
          } else if (command == "save") {
            (void)saveMemory(options, *device);
          } else if (command == "quit") {
            running = false;
          } else if (!command.empty()) {
            say("unknown command " + command);
          }
        }
        break;
      }
    }
  }
  server.unplug();
  const auto& stats = server.stats();
  const auto count = [&](int index) {
    return std::to_string(device->countOf(static_cast<std::uint8_t>(CommandCodes[index])));
  };
  say("served " + std::to_string(stats.outputs) + " reports: Link " + count(kIdxLink) +
      ", Version " + count(kIdxVersion) + ", Format " + count(kIdxFormat) + ", Write " +
      count(kIdxWrite) + ", Burn " + count(kIdxBurn) + "; sent " +
      std::to_string(stats.repliesSent) + " replies; the program answered a reply in " +
      std::to_string(server.meanTurnaround().count()) + " us on average");
  return saveMemory(options, *device) ? 0 : 1;
}
