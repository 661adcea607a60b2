// The emulated update device behind a named pipe, for the Wine tests of Vornex.exe: each
// handle the program opens on the device path is one pipe instance; what it writes is an
// output report, and every reply of the device goes to every open instance as an input
// report (report-ID byte 0x00, then the 8 bytes), each instance with its own queue of 64 that
// drops the oldest report when its reader falls behind, as a HID handle's queue does.
//
// One thread serves everything with overlapped I/O: it waits for connections, reads, writes
// and the caller's control event at once. Unplugging closes every instance (a read pending in
// the program fails, as on a real unplug) and removes the device's registry entry; plugging
// puts both back. Either way the server broadcasts WM_DEVICECHANGE / DBT_DEVNODES_CHANGED, as
// Windows does when a device comes or goes.
//
// Test-only.
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/uhid/ReportEngine.h"
#include "tests/wine/vornex/TestDevices.h"

namespace wine_test {

class PipeServer {
 public:
  PipeServer(std::shared_ptr<nuv::sim::UpdateDevice> device, TestDevice identity);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Serving thread only. False, with error() saying why, when the pipe or the registry entry
  // could not be made.
  [[nodiscard]] bool plug();
  void unplug();
  [[nodiscard]] bool plugged() const { return plugged_; }

  enum class Turn { Served, Control, Unplugged, Failed };
  // Waits until `control` is signalled (Control), or serves what came meanwhile: connections,
  // reports and the replies that fell due (Served). Unplugged: an unplug fault took the
  // device away. Failed: a pipe could not be made; error() says why.
  [[nodiscard]] Turn serveOnce(HANDLE control);

  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] const nuv::sim::uhid::ServerStats& stats() const { return engine_.stats(); }
  // From a reply handed to the pipes to the program's next report, on average: the time the
  // program (and the Wine server between the processes) takes per exchange.
  [[nodiscard]] std::chrono::microseconds meanTurnaround() const;

 private:
  struct Instance;
  [[nodiscard]] bool listen();
  void onConnected(Instance& instance);
  void startRead(Instance& instance);
  void onRead(Instance& instance);
  void startWrite(Instance& instance);
  void onWritten(Instance& instance);
  void close(Instance& instance);
  void dropClosed();
  [[nodiscard]] bool keepListening();
  void broadcastDeviceChange() const;

  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  TestDevice identity_;
  nuv::sim::uhid::ReportEngine engine_;
  std::vector<std::unique_ptr<Instance>> instances_;
  bool plugged_ = false;
  bool unpluggedByFault_ = false;
  std::string error_;
  std::optional<nuv::Clock::time_point> replySentAt_;
  nuv::Clock::duration turnaroundTotal_{};
  std::uint64_t turnarounds_ = 0;
};

}  // namespace wine_test
