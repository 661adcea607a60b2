#include "win/hid/ModuleLoader.h"

namespace nuv::hid {

ModuleLoader::ModuleLoader(winapi::Api& api, const char* fileName,
                           std::span<const char* const> names)
    : api_(api),
      fileName_(fileName),
      names_(names),
      slots_(std::make_unique<std::atomic<winapi::FARPROC>[]>(names.size())) {}

ModuleLoader::~ModuleLoader() {
  Release();
}

bool ModuleLoader::Load() {
  if (module_ == nullptr) module_ = api_.LoadLibraryA(fileName_);
  if (module_ == nullptr) {
    failure_ = std::string("LoadLibraryA(\"") + fileName_ + "\") failed, error " +
               std::to_string(api_.GetLastError());
    return false;
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    const winapi::FARPROC entry = api_.GetProcAddress(module_, names_[i]);
    if (entry == nullptr) {
      failure_ = std::string("GetProcAddress(") + fileName_ + ", \"" + names_[i] +
                 "\") failed, error " + std::to_string(api_.GetLastError());
      Release();
      return false;
    }
    slots_[i].store(entry, std::memory_order_release);
  }
  failure_.clear();
  return true;
}

void ModuleLoader::Release() {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    slots_[i].store(nullptr, std::memory_order_release);
  }
  if (module_ != nullptr) {
    (void)api_.FreeLibrary(module_);
    module_ = nullptr;
  }
}

}  // namespace nuv::hid
