/* flash: writes an update image into the NUV update device with libnuv, reads it back, and
 * says how it went.
 *
 *   flash [--flow strict|echo] [--device SELECTOR] IMAGE   a real device (the one attached, or
 *                                                          /dev/hidrawN, usb:PORT, serial:TEXT)
 *   flash --sim [--flow strict|echo] [IMAGE]               the emulated device; without IMAGE
 *                                                          it packs a test firmware of its own
 *
 * Build: cc flash.c $(pkg-config --cflags --libs nuv) -o flash
 * Exit status: 0 when the device holds the image, 1 when the flow failed, 2 for usage. */
#include <nuv/nuv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Prints a line every 10 % of the writes and of the read-back. */
static void on_progress(void* user, uint32_t done, uint32_t total, uint32_t address) {
  unsigned* last_tenth = user;
  unsigned tenth = total ? (unsigned)((uint64_t)done * 10 / total) : 0;
  if (tenth != *last_tenth) {
    printf("  %3u %%  (address 0x%04X)\n", tenth * 10, (unsigned)address);
    *last_tenth = tenth;
  }
}

static void on_step(void* user, int step) {
  unsigned* last_tenth = user;
  *last_tenth = 0;
  printf("step: %s\n", nuv_step_name(step));
}

static int read_image(const char* path, uint8_t* image, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    perror(path);
    return 0;
  }
  *size = fread(image, 1, NUV_IMAGE_SIZE + 1, file);
  fclose(file);
  return 1;
}

/* A test image: the version text the strict flow wants, then a counting pattern. */
static void make_test_image(uint8_t* image) {
  static uint8_t firmware[NUV_FIRMWARE_SIZE];
  for (size_t i = 0; i < sizeof firmware; ++i) firmware[i] = (uint8_t)(i * 7 + 3);
  memcpy(firmware, "V1.01 flash.c   ", 16);
  nuv_image_pack(firmware, sizeof firmware, 0xFF, image, NUV_IMAGE_SIZE, NULL);
}

int main(int argc, char** argv) {
  int sim = 0;
  const char *selector = NULL, *path = NULL;
  nuv_run_options options;
  nuv_run_options_init(&options);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--sim") == 0) {
      sim = 1;
    } else if (strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
      selector = argv[++i];
    } else if (strcmp(argv[i], "--flow") == 0 && i + 1 < argc) {
      const char* flow = argv[++i];
      if (strcmp(flow, "strict") != 0 && strcmp(flow, "echo") != 0) break;
      options.flow = strcmp(flow, "echo") == 0 ? NUV_FLOW_ECHO : NUV_FLOW_STRICT;
    } else if (argv[i][0] != '-' && !path) {
      path = argv[i];
    } else {
      fprintf(stderr, "usage: flash [--sim] [--flow strict|echo] [--device SELECTOR] IMAGE\n");
      return 2;
    }
  }
  if (!sim && !path) {
    fprintf(stderr, "flash: name an image, or use --sim\n");
    return 2;
  }

  static uint8_t image[NUV_IMAGE_SIZE + 1];
  size_t size = NUV_IMAGE_SIZE;
  if (path && !read_image(path, image, &size)) return 1;
  if (!path) make_test_image(image);

  nuv_error error;
  nuv_emulator* emulator = NULL;
  nuv_device* device = NULL;
  nuv_status status = sim ? nuv_emulator_new(NULL, &emulator, &error) : NUV_OK;
  if (status == NUV_OK)
    status = sim ? nuv_device_open_emulator(emulator, &device, &error)
                 : nuv_device_open(selector, &device, &error);
  if (status != NUV_OK) {
    fprintf(stderr, "flash: %s (%s)\n", error.message, nuv_status_name(status));
    nuv_emulator_free(emulator);
    return 1;
  }

  unsigned last_tenth = 0;
  options.verify = 1;
  options.progress = on_progress;
  options.step = on_step;
  options.user = &last_tenth;
  printf("Writing %s to %s\n", path ? path : "a test image", nuv_device_path(device));
  nuv_result result;
  status = nuv_download(device, image, size, &options, &result);
  printf("outcome: %s, step: %s, device: %s, version: %s\n", nuv_outcome_name(result.outcome),
         nuv_step_name(result.step), nuv_device_state_name(result.device_state),
         result.device_version[0] ? result.device_version : "unknown");
  if (status != NUV_OK) {
    if (result.address >= 0) printf("address: 0x%04X\n", (unsigned)result.address);
    printf("%s\n", nuv_result_advice(&result));
  }
  nuv_device_free(device);

  if (status == NUV_OK && emulator) {
    /* The emulated device's memory holds the firmware at its addresses: the same bytes as the
     * image unpacked. */
    static uint8_t memory[NUV_IMAGE_SIZE], firmware[NUV_FIRMWARE_SIZE];
    nuv_emulator_memory(emulator, memory, sizeof memory, NULL);
    nuv_image_unpack(image, NUV_IMAGE_SIZE, firmware, sizeof firmware, NULL);
    if (memcmp(memory, firmware, sizeof firmware) != 0) {
      fprintf(stderr, "flash: the emulated device does not hold the image\n");
      status = NUV_E_FAILED;
    } else {
      printf("the emulated device holds the image byte for byte\n");
    }
  }
  nuv_emulator_free(emulator);
  return status == NUV_OK ? 0 : 1;
}
