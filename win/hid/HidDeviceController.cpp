// THidDeviceController: binding, scans, the rescan with its reconciliation, walks and claims.
#include <algorithm>
#include <cstring>

#include "protocol/Log.h"
#include "win/hid/HidControllerClass.h"

namespace nuv::hid {

THidDeviceController::BusyGuard::BusyGuard(THidDeviceController& controller)
    : controller_(controller) {
  ++controller_.busyDepth_;
}

THidDeviceController::BusyGuard::~BusyGuard() {
  if (--controller_.busyDepth_ == 0 && controller_.changePutOff_) {
    controller_.changePutOff_ = false;
    controller_.process_.gui.postMainWindowMessage(
        {forms::kWmDeviceChange, forms::kDbtDevNodesChanged, 0});
  }
}

THidDeviceController::THidDeviceController(HidProcess& process) : process_(process) {
  const bool hidWasBound = process_.hid.IsBound();
  if (!process_.setupApi.Bind()) {
    nuv::logLine("HID layer: " + process_.setupApi.Failure() + "; no devices will be listed");
  } else if (!process_.hid.Bind()) {
    nuv::logLine("HID layer: " + process_.hid.Failure() + "; no devices will be listed");
  }
  if (!process_.hid.IsBound() || !process_.hid.GetHidGuid(hidGuid_)) {
    hidGuid_ = winapi::kHidInterfaceClass;
  }
  if (++process_.ControllerCount > 1) {
    // Undo only what this creation did, so the live controller keeps its bindings.
    --process_.ControllerCount;
    if (!hidWasBound) process_.hid.Release();
    process_.setupApi.Release();
    throw EControllerError(kOnlyOneControllerText);
  }
  counted_ = true;
  devices_ = ScanDevices();
  if (process_.hid.IsBound()) {
    process_.gui.hookMainWindow(*this);
    hooked_ = true;
  }
}

THidDeviceController::~THidDeviceController() {
  if (counted_) --process_.ControllerCount;
  onDeviceChange_ = nullptr;
  onDeviceUnplug_ = nullptr;
  onEnumerate_ = nullptr;
  if (hooked_) process_.gui.unhookMainWindow(*this);
  std::vector<THidDevice*> devices;
  devices.swap(devices_);
  for (THidDevice* device : devices) {
    if (device->Claimed()) {
      {
        DestructionWatch watch(*this, *device);
        device->Detach();  // the application still owns it; OnDetach may hand it back
        if (watch.destroyed()) continue;
      }
      device->controller_ = nullptr;
      // hid.dll is released below: a reader its owner left running would call into it, and
      // the device's later destruction could no longer free its preparsed data.
      device->StopReader();
      device->releasePreparsed();
    } else {
      device->controller_ = nullptr;
      delete device;
    }
  }
  process_.hid.Release();
  process_.setupApi.Release();
}

std::vector<THidDevice*> THidDeviceController::ScanDevices() {
  std::vector<THidDevice*> found;
  if (!process_.hid.IsBound()) return found;
  SetupApi& setupApi = process_.setupApi;
  const winapi::HDEVINFO set =
      setupApi.GetClassDevs(hidGuid_, winapi::kDigcfPresent | winapi::kDigcfDeviceInterface);
  if (set == winapi::invalidHandle()) return found;
  std::vector<char> detail;
  for (winapi::DWORD index = 0;; ++index) {
    winapi::SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!setupApi.EnumDeviceInterfaces(set, hidGuid_, index, interfaceData)) break;
    winapi::DWORD size = 0;
    if (setupApi.GetDeviceInterfaceDetail(set, interfaceData, nullptr, 0, &size, nullptr) ||
        size <= winapi::kInterfaceDetailPathOffset ||
        process_.api.GetLastError() != winapi::kErrorInsufficientBuffer) {
      continue;
    }
    detail.assign(size, 0);
    std::memcpy(detail.data(), &winapi::kInterfaceDetailCbSize, sizeof(winapi::DWORD));
    winapi::SP_DEVINFO_DATA deviceInfo{};
    deviceInfo.cbSize = sizeof deviceInfo;
    if (!setupApi.GetDeviceInterfaceDetail(set, interfaceData, detail.data(), size, &size,
                                           &deviceInfo)) {
      continue;
    }
    const char* path = detail.data() + winapi::kInterfaceDetailPathOffset;
    auto record = std::make_unique<THidPnPInfo>();
    record->DevInst = deviceInfo.DevInst;
    record->DevicePath.assign(path,
                              strnlen(path, detail.size() - winapi::kInterfaceDetailPathOffset));
    try {
      std::unique_ptr<THidDevice> device(new THidDevice(std::move(record), *this));
      found.push_back(device.get());
      device.release();
    } catch (const EControllerError&) {
      // A device that cannot be opened or identified is not listed.
    } catch (const std::bad_alloc&) {
    }
  }
  setupApi.DestroyDeviceInfoList(set);
  return found;
}

THidDeviceController::DestructionWatch::DestructionWatch(THidDeviceController& controller,
                                                         const THidDevice& device)
    : controller_(controller), device_(&device), outer_(controller.watches_) {
  controller_.watches_ = this;
}

THidDeviceController::DestructionWatch::~DestructionWatch() {
  controller_.watches_ = outer_;
}

bool THidDeviceController::visit(const THidPlugEvent& handler, THidDevice& device) {
  if (!handler) return true;
  DestructionWatch watch(*this, device);
  device.inCallback_ = true;
  handler(device);
  if (watch.destroyed()) return false;
  device.inCallback_ = false;
  return true;
}

std::size_t THidDeviceController::indexOf(const THidDevice* device) const {
  const auto it = std::find(devices_.begin(), devices_.end(), device);
  return it == devices_.end() ? devices_.size() : static_cast<std::size_t>(it - devices_.begin());
}

void THidDeviceController::DeviceChange() {
  BusyGuard guard(*this);
  bool changed = false;
  std::vector<THidDevice*> fresh = ScanDevices();
  const auto listed = [&](std::uint32_t devInst) {
    return std::any_of(fresh.begin(), fresh.end(), [&](const THidDevice* n) {
      return n != nullptr && n->PnpRecord().DevInst == devInst;
    });
  };
  // From the end, so that removing a slot leaves the indexes still to be looked at alone.
  for (std::size_t i = devices_.size(); i-- > 0;) {
    if (i >= devices_.size()) continue;  // a handler shortened the list
    THidDevice* device = devices_[i];
    if (device->Present() && listed(device->PnpRecord().DevInst)) continue;
    changed = true;
    {
      DestructionWatch watch(*this, *device);
      device->Detach();  // calls OnDetach, which may hand the device back
      if (watch.destroyed()) continue;
    }
    if (!visit(onRemoval_, *device)) continue;
    if (!device->Claimed()) {
      const std::size_t at = indexOf(device);
      if (at < devices_.size()) devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(at));
      delete device;
    }
  }
  for (THidDevice*& candidate : fresh) {
    const bool duplicate = std::any_of(devices_.begin(), devices_.end(), [&](const THidDevice* d) {
      return d->Present() && d->PnpRecord().DevInst == candidate->PnpRecord().DevInst;
    });
    if (duplicate) {
      candidate->controller_ = nullptr;
      delete candidate;
      candidate = nullptr;
    }
  }
  for (THidDevice* arrival : fresh) {
    if (arrival == nullptr) continue;
    devices_.push_back(arrival);
    changed = true;
    (void)visit(onArrival_, *arrival);
  }
  if ((changed || !changeReported_) && onDeviceChange_) onDeviceChange_(*this);
}

bool THidDeviceController::onMainWindowMessage(const forms::WindowMessage& message) {
  if (message.message == forms::kWmDeviceChange && message.wParam == forms::kDbtDevNodesChanged) {
    if (busyDepth_ > 0) {
      changePutOff_ = true;
    } else {
      DeviceChange();
    }
  }
  return false;
}

std::int32_t THidDeviceController::WalkDevices() {
  std::int32_t count = 0;
  const std::size_t entries = devices_.size();
  for (std::size_t i = 0; i < entries && i < devices_.size(); ++i) {
    THidDevice* device = devices_[i];
    if (!device->Present()) continue;
    ++count;
    if (!onEnumerate_) break;
    DestructionWatch watch(*this, *device);
    device->inCallback_ = true;
    const bool goOn = onEnumerate_(*device, static_cast<std::int32_t>(i));
    if (!watch.destroyed()) {
      device->inCallback_ = false;
      if (!device->Claimed()) {
        device->CloseSync();
        device->CloseOverlapped(TOpenMode::ReadMode);
        device->CloseOverlapped(TOpenMode::WriteMode);
      }
    }
    if (!goOn) break;
  }
  return count;
}

std::unique_ptr<THidDevice> THidDeviceController::ClaimDevice(std::int32_t Index) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= devices_.size()) return nullptr;
  THidDevice* device = devices_[static_cast<std::size_t>(Index)];
  if (device->Claimed()) return nullptr;
  device->claimed_ = true;
  device->StartReader();
  return std::unique_ptr<THidDevice>(device);
}

void THidDeviceController::deviceDestroyed(THidDevice& device, const THidDataEvent& onReport,
                                           const THidPlugEvent& onDetach) {
  for (DestructionWatch* watch = watches_; watch != nullptr; watch = watch->outer_) {
    if (watch->device_ == &device) watch->destroyed_ = true;
  }
  const std::size_t at = indexOf(&device);
  if (at == devices_.size()) return;
  const auto slot = devices_.begin() + static_cast<std::ptrdiff_t>(at);
  if (!device.Present()) {
    devices_.erase(slot);
    return;
  }
  try {
    auto replacement = std::unique_ptr<THidDevice>(
        new THidDevice(std::make_unique<THidPnPInfo>(device.PnpRecord()), *this));
    replacement->SetOnReport(onReport);
    replacement->onDetach_ = onDetach;
    replacement->SetReadSlice(device.ReadSlice());
    *slot = replacement.release();
  } catch (const EControllerError& error) {
    // The device went before a rescan noticed: its slot goes as a detached device's would.
    nuv::logLine(std::string("HID layer: handing back ") + device.PnpRecord().DevicePath + ": " +
                 error.what() + "; slot removed");
    devices_.erase(slot);
  }
}

void THidDeviceController::SetOnDeviceChange(TNotifyEvent Handler) {
  if (Handler.SameCode(onDeviceChange_)) return;
  onDeviceChange_ = Handler;
  DeviceChange();
  changeReported_ = true;
}

void THidDeviceController::SetOnDeviceData(THidDataEvent Handler) {
  if (Handler.SameCode(onDeviceData_)) return;
  // Index by index: switching a reader off processes messages, which may hand devices back.
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i]->OnReport().SameCode(onDeviceData_)) devices_[i]->SetOnReport(Handler);
  }
  onDeviceData_ = Handler;
}

void THidDeviceController::SetOnDeviceDataError(THidDataErrorEvent Handler) {
  if (Handler.SameCode(onDeviceDataError_)) return;
  for (THidDevice* device : devices_) {
    if (device->OnReadError().SameCode(onDeviceDataError_)) device->SetOnReadError(Handler);
  }
  onDeviceDataError_ = Handler;
}

void THidDeviceController::SetOnDeviceUnplug(THidPlugEvent Handler) {
  if (Handler.SameCode(onDeviceUnplug_)) return;
  for (THidDevice* device : devices_) {
    if (device->OnDetach().SameCode(onDeviceUnplug_)) device->SetOnDetach(Handler);
  }
  onDeviceUnplug_ = Handler;
}

void THidDeviceController::SetDevThreadSleepTime(std::int32_t Milliseconds) {
  if (Milliseconds == devThreadSleepTime_) return;
  for (THidDevice* device : devices_) {
    if (device->ReadSlice() == devThreadSleepTime_) device->SetReadSlice(Milliseconds);
  }
  devThreadSleepTime_ = Milliseconds;
}

}  // namespace nuv::hid
