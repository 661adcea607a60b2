// The C API as a C program sees it: only include/nuv/nuv.h and libnuv.so, on the emulated
// device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nuv/nuv.h"

namespace {

// A firmware that the strict flow takes ("V1.01" first), with a pattern that tells addresses
// apart, packed into an image.
std::vector<std::uint8_t> testImage(std::uint8_t seed = 1) {
  std::vector<std::uint8_t> firmware(NUV_FIRMWARE_SIZE);
  for (std::size_t i = 0; i < firmware.size(); ++i)
    firmware[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 8));
  std::memcpy(firmware.data(), "V1.01 capi test ", 16);
  std::vector<std::uint8_t> image(NUV_IMAGE_SIZE);
  EXPECT_EQ(
      nuv_image_pack(firmware.data(), firmware.size(), 0xFF, image.data(), image.size(), nullptr),
      NUV_OK);
  return image;
}

// An emulator and the device opened on it, freed together.
struct Emulated {
  explicit Emulated(std::vector<const char*> faults = {}, const char* version = nullptr,
                    std::uint32_t latencyMs = 0) {
    nuv_emulator_options options;
    nuv_emulator_options_init(&options);
    options.faults = faults.data();
    options.fault_count = faults.size();
    options.version = version;
    options.latency_ms = latencyMs;
    nuv_error error;
    EXPECT_EQ(nuv_emulator_new(&options, &emulator, &error), NUV_OK) << error.message;
    EXPECT_EQ(nuv_device_open_emulator(emulator, &device, &error), NUV_OK) << error.message;
  }
  ~Emulated() {
    nuv_device_free(device);
    nuv_emulator_free(emulator);
  }
  [[nodiscard]] std::vector<std::uint8_t> memory() const {
    std::vector<std::uint8_t> bytes(NUV_IMAGE_SIZE);
    EXPECT_EQ(nuv_emulator_memory(emulator, bytes.data(), bytes.size(), nullptr), NUV_OK);
    return bytes;
  }
  nuv_emulator* emulator = nullptr;
  nuv_device* device = nullptr;
};

std::vector<std::uint8_t> firmwareOf(const std::vector<std::uint8_t>& image) {
  std::vector<std::uint8_t> firmware(NUV_FIRMWARE_SIZE);
  EXPECT_EQ(nuv_image_unpack(image.data(), image.size(), firmware.data(), firmware.size(), nullptr),
            NUV_OK);
  return firmware;
}

struct Seen {
  std::vector<std::string> steps;
  std::vector<std::string> lines;
  std::uint32_t lastDone = 0, lastTotal = 0;
  bool wentBack = false;
  std::atomic<std::uint32_t> progressCalls{0};
};

nuv_run_options observed(Seen& seen) {
  nuv_run_options options;
  nuv_run_options_init(&options);
  options.user = &seen;
  options.step = [](void* user, int step) {
    auto& s = *static_cast<Seen*>(user);
    s.steps.emplace_back(nuv_step_name(step));
    s.lastDone = 0;
  };
  options.progress = [](void* user, std::uint32_t done, std::uint32_t total, std::uint32_t) {
    auto& s = *static_cast<Seen*>(user);
    s.wentBack = s.wentBack || done < s.lastDone;
    s.lastDone = done;
    s.lastTotal = total;
    s.progressCalls.fetch_add(1);
  };
  options.log = [](void* user, const char* line) {
    static_cast<Seen*>(user)->lines.emplace_back(line);
  };
  return options;
}

TEST(CApi, DownloadWithVerifyLeavesTheImageInTheDeviceAndTellsEveryStep) {
  Emulated emulated;
  const auto image = testImage();
  Seen seen;
  nuv_run_options options = observed(seen);
  options.verify = 1;
  nuv_result result;
  ASSERT_EQ(nuv_download(emulated.device, image.data(), image.size(), &options, &result), NUV_OK);
  EXPECT_STREQ(nuv_outcome_name(result.outcome), "completed");
  EXPECT_STREQ(result.device_version, "1.01");
  EXPECT_STREQ(nuv_device_state_name(result.device_state), "burnt");
  EXPECT_STREQ(nuv_result_advice(&result), "");
  EXPECT_EQ(seen.steps,
            (std::vector<std::string>{"link", "version", "erase", "write", "burn", "read"}));
  EXPECT_FALSE(seen.wentBack);
  EXPECT_EQ(seen.lastDone, seen.lastTotal);  // the read-back reached its end
  EXPECT_NE(std::find(seen.lines.begin(), seen.lines.end(), "Update Completed"), seen.lines.end());
  const auto memory = emulated.memory();
  EXPECT_TRUE(
      std::equal(memory.begin(), memory.begin() + NUV_FIRMWARE_SIZE, firmwareOf(image).begin()));
}

// How faults and refusals end, with the names every front end uses.
TEST(CApi, FaultsAndRefusalsEndWithTheEnginesOutcome) {
  struct Row {
    std::vector<const char*> faults;
    const char* version;
    int flow;
    bool badHeader;
    const char* outcome;
    const char* step;
    std::int32_t address;
    const char* state;
  };
  const std::vector<Row> rows = {
      {{"wrong-address@0x2000"},
       nullptr,
       NUV_FLOW_STRICT,
       false,
       "data_error",
       "write",
       0x2000,
       "partly_written"},
      {{"code-zero@format"}, nullptr, NUV_FLOW_STRICT, false, "no_response", "erase", -1, "erased"},
      {{"write-failure@burn"},
       nullptr,
       NUV_FLOW_STRICT,
       false,
       "write_failed",
       "burn",
       -1,
       "partly_written"},
      {{"unplug@0x1000"},
       nullptr,
       NUV_FLOW_STRICT,
       false,
       "device_gone",
       "write",
       0x1000,
       "partly_written"},
      {{}, "2.00", NUV_FLOW_STRICT, false, "device_version_refused", "version", -1, "untouched"},
      {{}, nullptr, NUV_FLOW_STRICT, true, "image_refused", "image", -1, "untouched"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.outcome);
    Emulated emulated(row.faults, row.version);
    auto image = testImage();
    if (row.badHeader) image[0] = 'X';
    nuv_run_options options;
    nuv_run_options_init(&options);
    options.flow = row.flow;
    nuv_result result;
    EXPECT_EQ(nuv_download(emulated.device, image.data(), image.size(), &options, &result),
              NUV_E_FAILED);
    EXPECT_STREQ(nuv_outcome_name(result.outcome), row.outcome);
    EXPECT_STREQ(nuv_step_name(result.step), row.step);
    EXPECT_EQ(result.address, row.address);
    EXPECT_STREQ(nuv_device_state_name(result.device_state), row.state);
    EXPECT_STRNE(nuv_result_advice(&result), "");
  }
}

TEST(CApi, CancelFromAnotherThreadStopsTheFlowAndLasts) {
  Emulated emulated({}, nullptr, 1);  // 1 ms a reply: the download takes long enough
  const auto image = testImage();
  Seen seen;
  nuv_run_options options = observed(seen);
  nuv_result result;
  nuv_status status = NUV_OK;
  std::thread runner([&] {
    status = nuv_download(emulated.device, image.data(), image.size(), &options, &result);
  });
  while (seen.progressCalls.load() < 10) std::this_thread::yield();
  EXPECT_EQ(nuv_device_cancel(emulated.device), NUV_OK);
  runner.join();
  EXPECT_EQ(status, NUV_E_FAILED);
  EXPECT_STREQ(nuv_outcome_name(result.outcome), "cancelled");
  EXPECT_STREQ(nuv_step_name(result.step), "write");
  EXPECT_STREQ(nuv_device_state_name(result.device_state), "partly_written");
  // The next flow on the same device ends at once, before anything is sent.
  EXPECT_EQ(nuv_read_version(emulated.device, nullptr, &result), NUV_E_FAILED);
  EXPECT_STREQ(nuv_outcome_name(result.outcome), "cancelled");
}

TEST(CApi, DevicesOfSeveralThreadsRunAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> completed{0};
  for (std::uint8_t n = 0; n < 4; ++n) {
    threads.emplace_back([&completed, n] {
      Emulated emulated;
      const auto image = testImage(n);
      const auto firmware = firmwareOf(image);
      nuv_result result;
      if (nuv_download(emulated.device, image.data(), image.size(), nullptr, &result) == NUV_OK &&
          std::equal(firmware.begin(), firmware.end(), emulated.memory().begin()))
        completed.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(completed.load(), 4);
}

TEST(CApi, BadArgumentsAreRefusedWithAStatus) {
  nuv_error error;
  nuv_emulator* emulator = nullptr;
  const char* faults[] = {"no-reply@nowhere"};
  nuv_emulator_options options;
  nuv_emulator_options_init(&options);
  options.faults = faults;
  options.fault_count = 1;
  EXPECT_EQ(nuv_emulator_new(&options, &emulator, &error), NUV_E_ARGUMENT);
  EXPECT_EQ(emulator, nullptr);
  EXPECT_STRNE(error.message, "");
  options = nuv_emulator_options{0, "1.001", nullptr, 0};
  EXPECT_EQ(nuv_emulator_new(&options, &emulator, &error), NUV_E_ARGUMENT);

  Emulated emulated;
  nuv_result result;
  const auto image = testImage();
  nuv_run_options run;
  nuv_run_options_init(&run);
  run.flow = 7;
  EXPECT_EQ(nuv_download(emulated.device, image.data(), image.size(), &run, &result),
            NUV_E_ARGUMENT);
  EXPECT_EQ(nuv_download(nullptr, image.data(), image.size(), nullptr, &result), NUV_E_ARGUMENT);
  EXPECT_EQ(nuv_download(emulated.device, nullptr, 10, nullptr, &result), NUV_E_ARGUMENT);
  EXPECT_EQ(nuv_read_version(emulated.device, nullptr, nullptr), NUV_E_ARGUMENT);
  EXPECT_EQ(nuv_device_cancel(nullptr), NUV_E_ARGUMENT);

  // A buffer too small is refused with the size it needs; firmware of the wrong size is not
  // packed.
  std::vector<std::uint8_t> small(100);
  std::size_t needed = 0;
  EXPECT_EQ(nuv_image_unpack(image.data(), image.size(), small.data(), small.size(), &needed),
            NUV_E_BUFFER);
  EXPECT_EQ(needed, NUV_FIRMWARE_SIZE);
  EXPECT_EQ(nuv_image_pack(small.data(), small.size(), 0, small.data(), small.size(), nullptr),
            NUV_E_IMAGE);
  EXPECT_EQ(nuv_emulator_memory(emulated.emulator, small.data(), small.size(), &needed),
            NUV_E_BUFFER);
  EXPECT_EQ(needed, NUV_IMAGE_SIZE);
}

TEST(CApi, ImagesAreJudgedAsInspectJudgesThem) {
  auto image = testImage();
  nuv_image_info info;
  ASSERT_EQ(nuv_image_inspect(image.data(), image.size(), &info), NUV_OK);
  EXPECT_EQ(info.accepted, 1);
  EXPECT_STREQ(info.version, "1.01");
  EXPECT_STREQ(info.header, "V1.01 capi test ");
  EXPECT_EQ(nuv_image_check(image.data(), image.size(), NUV_FLOW_STRICT, nullptr), NUV_OK);

  image[1] = '2';
  ASSERT_EQ(nuv_image_inspect(image.data(), image.size(), &info), NUV_OK);
  EXPECT_EQ(info.accepted, 0);
  EXPECT_STREQ(nuv_reason_name(info.reason), "version");
  EXPECT_STREQ(info.refusal, "Version is error");
  nuv_result result;
  EXPECT_EQ(nuv_image_check(image.data(), image.size(), NUV_FLOW_STRICT, &result), NUV_E_FAILED);
  EXPECT_STREQ(nuv_reason_name(result.reason), "version");
  // The echo flow looks at the size alone.
  EXPECT_EQ(nuv_image_check(image.data(), image.size(), NUV_FLOW_ECHO, nullptr), NUV_OK);
  EXPECT_EQ(nuv_image_check(image.data(), 1000, NUV_FLOW_ECHO, &result), NUV_E_FAILED);
  EXPECT_STREQ(nuv_reason_name(result.reason), "size");

  nuv_error error;
  EXPECT_EQ(nuv_image_inspect_file("/nonexistent/UPDATA.nuv", &info, &error), NUV_E_FILE);
  EXPECT_STRNE(error.message, "");
}

TEST(CApi, NamesAreTheEnginesVocabularyAndEmptyOutsideIt) {
  EXPECT_STREQ(nuv_outcome_name(NUV_OUTCOME_DEVICE_VERSION_REFUSED), "device_version_refused");
  EXPECT_STREQ(nuv_outcome_name(NUV_OUTCOME_FILE_ERROR), "file_error");
  EXPECT_STREQ(nuv_step_name(NUV_STEP_READ), "read");
  EXPECT_STREQ(nuv_device_state_name(NUV_DEVICE_PARTLY_WRITTEN), "partly_written");
  EXPECT_STREQ(nuv_reason_name(NUV_REASON_UNREADABLE), "unreadable");
  EXPECT_STREQ(nuv_status_name(NUV_E_INTERNAL), "internal");
  for (int outside : {-1, 14, 1000}) {
    EXPECT_STREQ(nuv_outcome_name(outside), "");
    EXPECT_STREQ(nuv_step_name(outside), "");
    EXPECT_STREQ(nuv_device_state_name(outside), "");
    EXPECT_STREQ(nuv_status_name(outside), "");
  }
}

}  // namespace
