// The Windows contract the emulated backends keep, checked on the sim backend directly.
#include <cstring>
#include <thread>

#include "tests/winhid_fixture.h"

namespace winhid_test {
namespace {

class EmulationTest : public HidLayerTest {
 protected:
  nuv::winapi::HANDLE openRead(const std::string& path) {
    return api_->CreateFileA(path.c_str(), nuv::winapi::kGenericRead,
                             nuv::winapi::kFileShareRead | nuv::winapi::kFileShareWrite, nullptr,
                             nuv::winapi::kOpenExisting, nuv::winapi::kFileFlagOverlapped, nullptr);
  }
  static void NUV_WINAPI countCompletion(nuv::winapi::DWORD error, nuv::winapi::DWORD,
                                         nuv::winapi::OVERLAPPED* overlapped) {
    auto* seen = static_cast<nuv::winapi::DWORD*>(overlapped->hEvent);
    seen[0] = error;
    ++seen[1];
  }
};

TEST_F(EmulationTest, ClosedHandlesStayInvalid) {
  const std::string path = plug();
  const nuv::winapi::HANDLE h = openRead(path);
  ASSERT_NE(h, nuv::winapi::invalidHandle());
  EXPECT_NE(api_->CloseHandle(h), 0);
  EXPECT_EQ(api_->CloseHandle(h), 0);
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorInvalidHandle);
  const nuv::winapi::HANDLE again = openRead(path);
  EXPECT_NE(again, h) << "handle values are not reused";
  (void)api_->CloseHandle(again);
  EXPECT_EQ(
      api_->CreateFileA("no-such-path", 0, 0, nullptr, nuv::winapi::kOpenExisting, 0, nullptr),
      nuv::winapi::invalidHandle());
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorFileNotFound);
}

TEST_F(EmulationTest, CompletionRunsOnlyInsideAnAlertableWaitOfTheStartingThread) {
  const std::string path = plug();
  const nuv::winapi::HANDLE h = openRead(path);
  std::uint8_t buffer[9] = {};
  nuv::winapi::DWORD seen[2] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  ASSERT_NE(api_->ReadFileEx(h, buffer, 9, &overlapped, &countCompletion), 0);
  nuv::winapi::DWORD bytes = 0;
  EXPECT_EQ(api_->GetOverlappedResult(h, &overlapped, &bytes, 0), 0);
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorIoIncomplete);
  EXPECT_EQ(api_->SleepEx(5, 1), 0u) << "nothing came: time-out";
  EXPECT_EQ(api_->ReadFileEx(h, buffer, 9, &overlapped, &countCompletion), 0)
      << "one outstanding read per thread";
  // Another thread's alertable wait does not complete this thread's read.
  std::thread other([&] { EXPECT_EQ(api_->SleepEx(5, 1), 0u); });
  other.join();
  // A report, then the wait completes the read.
  const nuv::winapi::HANDLE w =
      api_->CreateFileA(path.c_str(), nuv::winapi::kGenericRead | nuv::winapi::kGenericWrite, 3,
                        nullptr, nuv::winapi::kOpenExisting, 0, nullptr);
  const auto report = versionReport();
  nuv::winapi::DWORD written = 0;
  ASSERT_NE(api_->WriteFile(w, report.data(), 9, &written, nullptr), 0);
  EXPECT_EQ(seen[1], 0u);
  EXPECT_EQ(api_->SleepEx(1000, 0), 0u) << "not alertable: no completion";
  EXPECT_EQ(seen[1], 0u);
  EXPECT_EQ(api_->SleepEx(1000, 1), nuv::winapi::kWaitIoCompletion);
  EXPECT_EQ(seen[1], 1u);
  EXPECT_EQ(seen[0], nuv::winapi::kErrorSuccess);
  EXPECT_NE(api_->GetOverlappedResult(h, &overlapped, &bytes, 0), 0);
  EXPECT_EQ(bytes, 9u);
  EXPECT_EQ(buffer[1], kCmdVersion);
  (void)api_->CloseHandle(w);
  (void)api_->CloseHandle(h);
}

TEST_F(EmulationTest, CloseFromAnotherThreadAbortsAWaitingRead) {
  const std::string path = plug();
  const nuv::winapi::HANDLE h = openRead(path);
  std::uint8_t buffer[9] = {};
  nuv::winapi::DWORD seen[2] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  ASSERT_NE(api_->ReadFileEx(h, buffer, 9, &overlapped, &countCompletion), 0);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (void)api_->CloseHandle(h);
  });
  // Long enough that only the close can end it in a passing run.
  EXPECT_EQ(api_->SleepEx(60000, 1), nuv::winapi::kWaitIoCompletion);
  closer.join();
  EXPECT_EQ(seen[0], nuv::winapi::kErrorOperationAborted);
}

TEST_F(EmulationTest, CancelIoCancelsTheCallingThreadsRead) {
  const std::string path = plug();
  const nuv::winapi::HANDLE h = openRead(path);
  std::uint8_t buffer[9] = {};
  nuv::winapi::DWORD seen[2] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  ASSERT_NE(api_->ReadFileEx(h, buffer, 9, &overlapped, &countCompletion), 0);
  const nuv::winapi::HMODULE kernel = api_->LoadLibraryA("KERNEL32.DLL");
  const nuv::winapi::FARPROC cancelIo = api_->GetProcAddress(kernel, "CancelIo");
  ASSERT_NE(cancelIo, nullptr);
  EXPECT_EQ(api_->GetProcAddress(kernel, "CancelIoEx"), nullptr);
  EXPECT_NE(api_->CancelIo(cancelIo, h), 0);
  EXPECT_EQ(api_->CancelIo(nullptr, h), 0) << "never called around the binding";
  EXPECT_EQ(api_->SleepEx(60000, 1), nuv::winapi::kWaitIoCompletion);
  EXPECT_EQ(seen[0], nuv::winapi::kErrorOperationAborted);
  (void)api_->FreeLibrary(kernel);
  (void)api_->CloseHandle(h);
  EXPECT_EQ(api_->loadedModuleCount(), 0);
}

TEST_F(EmulationTest, InterfaceDetailFollowsTheTwoCallProtocol) {
  const std::string path = plug({.path = "hid#vid_ffff&pid_0100", .instanceId = 42});
  nuv::winapi::FARPROC entry =
      reinterpret_cast<nuv::winapi::FARPROC>(&EmulationTest::countCompletion);
  const nuv::winapi::HDEVINFO set =
      api_->SetupDiGetClassDevsA(entry, &nuv::winapi::kHidInterfaceClass, nullptr, nullptr,
                                 nuv::winapi::kDigcfPresent | nuv::winapi::kDigcfDeviceInterface);
  ASSERT_NE(set, nuv::winapi::invalidHandle());
  nuv::winapi::SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_NE(api_->SetupDiEnumDeviceInterfaces(entry, set, nullptr, &nuv::winapi::kHidInterfaceClass,
                                              0, &data),
            0);
  EXPECT_EQ(api_->SetupDiEnumDeviceInterfaces(entry, set, nullptr, &nuv::winapi::kHidInterfaceClass,
                                              1, &data),
            0);
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorNoMoreItems);
  nuv::winapi::DWORD size = 0;
  EXPECT_EQ(api_->SetupDiGetDeviceInterfaceDetailA(entry, set, &data, nullptr, 0, &size, nullptr),
            0);
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorInsufficientBuffer);
  ASSERT_EQ(size, 4 + path.size() + 1);
  std::vector<char> detail(size, 0);
  std::memcpy(detail.data(), &nuv::winapi::kInterfaceDetailCbSize, 4);
  nuv::winapi::SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  ASSERT_NE(
      api_->SetupDiGetDeviceInterfaceDetailA(entry, set, &data, detail.data(), size, &size, &info),
      0);
  EXPECT_STREQ(detail.data() + 4, path.c_str());
  EXPECT_EQ(info.DevInst, 42u);
  EXPECT_NE(api_->SetupDiDestroyDeviceInfoList(entry, set), 0);
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

}  // namespace
}  // namespace winhid_test
