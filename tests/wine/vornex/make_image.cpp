// make_image: an update image of the firmware in a file, for the Wine tests (the host's
// vornex-cli pack does the same for users). Test-only.
//
//   make_image FIRMWARE IMAGE      FIRMWARE: the bytes of addresses 0x0000 up to 0xFBFF
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "protocol/UpdateImage.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: make_image FIRMWARE IMAGE\n", stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> firmware{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
  if (!in.is_open() || in.bad() || firmware.size() != nuv::image::kFirmwareSize) {
    std::fprintf(stderr, "make_image: %s must hold %u bytes\n", argv[1],
                 static_cast<unsigned>(nuv::image::kFirmwareSize));
    return 1;
  }
  const auto image = nuv::image::pack(firmware, 0xFF);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "make_image: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
