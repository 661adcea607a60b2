// The picture resources of the program's module, for the Win32 backend's pictures and glyphs.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/forms/Win32.h"

namespace nuv::forms {

namespace {

// The largest picture resource taken: far above any art of the window, and small enough that
// its pixel count cannot overflow.
constexpr int kMaxPictureSide = 4096;

}  // namespace

bool Win32Gui::loadPicture(const std::string& name, std::uint32_t background, Bitmap& into) const {
  if (name.empty()) return false;
  auto* module = static_cast<HINSTANCE>(instance_);
  HRSRC found = FindResourceA(module, name.c_str(), reinterpret_cast<LPCSTR>(RT_BITMAP));
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(module, found);
  if (data == nullptr || size < sizeof(BITMAPINFOHEADER)) return false;
  BITMAPINFOHEADER header;
  std::memcpy(&header, data, sizeof header);
  const int width = header.biWidth, height = std::abs(header.biHeight);
  const int bits = header.biBitCount;
  const bool plain =
      header.biCompression == BI_RGB || (header.biCompression == BI_BITFIELDS && bits == 32);
  if (header.biSize < sizeof header || width <= 0 || width > kMaxPictureSide || height <= 0 ||
      height > kMaxPictureSide || (bits != 24 && bits != 32) || !plain) {
    return false;
  }
  std::size_t offset = header.biSize + std::size_t{header.biClrUsed} * 4;
  if (header.biCompression == BI_BITFIELDS && header.biSize == sizeof header) offset += 12;
  const std::size_t stride = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
  if (offset + stride * static_cast<std::size_t>(height) > size) return false;
  const std::uint8_t* pixels = data + offset;
  // A 32-bit picture whose alpha bytes are all zero carries no alpha: it is opaque.
  bool hasAlpha = false;
  for (int y = 0; bits == 32 && y < height && !hasAlpha; ++y) {
    for (int x = 0; x < width; ++x) {
      if (pixels[y * stride + static_cast<std::size_t>(x) * 4 + 3] != 0) {
        hasAlpha = true;
        break;
      }
    }
  }
  into.resize(width, height);
  const int bytes = bits / 8;
  for (int y = 0; y < height; ++y) {
    const int row = header.biHeight > 0 ? height - 1 - y : y;  // positive height: bottom-up
    const std::uint8_t* p = pixels + static_cast<std::size_t>(row) * stride;
    for (int x = 0; x < width; ++x, p += bytes) {
      const unsigned alpha = hasAlpha ? p[3] : 255;
      auto channel = [&](unsigned value, int shift) {
        const unsigned under = (background >> shift) & 0xFF;
        return ((value * alpha + under * (255 - alpha) + 127) / 255) << shift;
      };
      into.setPixel(x, y, channel(p[2], 16) | channel(p[1], 8) | channel(p[0], 0));
    }
  }
  return true;
}

}  // namespace nuv::forms
