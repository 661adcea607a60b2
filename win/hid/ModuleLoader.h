// Binds one library at run time: LoadLibraryA by its file name, then GetProcAddress of a fixed
// list of entry-point names into slots. The slots are read by reader threads while the GUI
// thread may release the library, so they are atomic; a released slot is null and every call
// through the binding checks for that rather than jumping to a freed library.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "platform/winapi/WinApi.h"

namespace nuv::hid {

class ModuleLoader {
 public:
  // `names` must outlive the loader (the lists are constants of the binding).
  ModuleLoader(winapi::Api& api, const char* fileName, std::span<const char* const> names);
  ~ModuleLoader();
  ModuleLoader(const ModuleLoader&) = delete;
  ModuleLoader& operator=(const ModuleLoader&) = delete;

  // GUI thread. Loads the library when its module handle is zero, then looks up every name.
  // When the library cannot be loaded or any name is missing, releases it and returns false;
  // Failure() then says why (for the log).
  [[nodiscard]] bool Load();
  // GUI thread. FreeLibrary when loaded; module handle zero; every slot cleared.
  void Release();
  [[nodiscard]] bool Loaded() const { return module_ != nullptr; }
  // Any thread. The entry point of names[index], or null when not bound.
  [[nodiscard]] winapi::FARPROC Slot(std::size_t index) const {
    return slots_[index].load(std::memory_order_acquire);
  }
  [[nodiscard]] const std::string& Failure() const { return failure_; }

 private:
  winapi::Api& api_;
  const char* fileName_;
  std::span<const char* const> names_;
  winapi::HMODULE module_ = nullptr;
  std::unique_ptr<std::atomic<winapi::FARPROC>[]> slots_;
  std::string failure_;
};

}  // namespace nuv::hid
