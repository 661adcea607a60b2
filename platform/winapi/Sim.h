// The sim backend of the Windows services seam (sim.cpp): the HID interfaces of a virtual bus,
// on the emulated base of Emulated.h, with knobs that make single paths fail as real devices do.
#pragma once

#include <memory>
#include <string>

#include "platform/winapi/Emulated.h"

namespace nuv::forms {
class GuiThread;
}
namespace nuv::sim {
class VirtualBus;
}

namespace nuv::winapi {

class SimApi final : public EmulatedApi {
 public:
  SimApi(sim::VirtualBus& bus, forms::GuiThread* notices, EmulationOptions options);
  ~SimApi() override;

  // Opening `path` with read or write access fails with kErrorAccessDenied (query-only works).
  void denyReadWrite(const std::string& path);
  // Every opening of `path` fails with kErrorAccessDenied.
  void denyOpen(const std::string& path);
  // HidD_GetAttributes on handles of `path` fails.
  void failAttributes(const std::string& path);
  // Reads cannot be started on handles of `path` (ReadFileEx fails with kErrorGenFailure).
  void failReadStarts(const std::string& path, bool fail);
  // The next `count` reads on handles of `path` complete at once with 0 bytes.
  void completeReadsEmpty(const std::string& path, int count);
  [[nodiscard]] int emptyReadsLeft(const std::string& path) const;
  // SetupDiGetClassDevsA fails.
  void failDeviceInfoSet(bool fail);
  // The interface detail of `path` cannot be read; the scan skips it.
  void failInterfaceDetail(const std::string& path);
  // Undoes every knob.
  void clearKnobs();

  struct Knobs;

 protected:
  bool listInterfaces(std::vector<InterfaceEntry>& out, DWORD& error) override;
  std::shared_ptr<DeviceFile> openDevice(const std::string& path, bool read, bool write,
                                         DWORD& error) override;
  bool detailReadable(const std::string& path) override;

 private:
  sim::VirtualBus& bus_;
  forms::GuiThread* notices_;
  int changeListener_ = 0;
  std::shared_ptr<Knobs> knobs_;
};

// The devices of a virtual HID bus. Interfaces are listed in plug order; DevInst is the bus's
// instance id and the device path the bus's path. When `notices` is given, every plug and
// unplug posts WM_DEVICECHANGE / DBT_DEVNODES_CHANGED to its main window, as Windows broadcasts
// it. The bus and the GUI thread must outlive the backend. The knobs of SimApi are thread-safe.
[[nodiscard]] std::unique_ptr<SimApi> makeSimApi(sim::VirtualBus& bus, forms::GuiThread* notices,
                                                 EmulationOptions options = {});

}  // namespace nuv::winapi
