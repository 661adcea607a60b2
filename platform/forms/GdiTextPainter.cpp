#include "platform/forms/GdiTextPainter.h"

#include <algorithm>

#include "platform/forms/Win32Internal.h"

namespace nuv::forms {

using win32::fatal;

GdiTextPainter::GdiTextPainter()
    : font_(CreateFontA(13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, "MS Sans Serif")),
      dc_(CreateCompatibleDC(nullptr)) {
  if (font_ == nullptr) fatal("CreateFontA");
  if (dc_ == nullptr) fatal("CreateCompatibleDC");
  SelectObject(dc_, font_);
}

GdiTextPainter::~GdiTextPainter() {
  DeleteDC(dc_);
  if (scratch_ != nullptr) DeleteObject(scratch_);
  DeleteObject(font_);
}

TextPainter::Extent GdiTextPainter::measure(std::string_view text) const {
  SIZE size{};
  GetTextExtentPoint32A(dc_, text.data(), static_cast<int>(text.size()), &size);
  return {size.cx, size.cy};
}

void GdiTextPainter::drawWhite(Bitmap& target, int x, int y, std::string_view text,
                               const Rect& clip) const {
  if (target.width() <= 0 || target.height() <= 0) return;
  if (!ensureScratch(target.width(), target.height())) return;
  PatBlt(dc_, 0, 0, target.width(), target.height(), BLACKNESS);
  SelectClipRgn(dc_, nullptr);
  IntersectClipRect(dc_, clip.left, clip.top, clip.right, clip.bottom);
  SetBkMode(dc_, TRANSPARENT);
  SetTextColor(dc_, RGB(255, 255, 255));
  TextOutA(dc_, x, y, text.data(), static_cast<int>(text.size()));
  GdiFlush();
  const int left = std::max(clip.left, 0), right = std::min(clip.right, target.width());
  const int top = std::max(clip.top, 0), bottom = std::min(clip.bottom, target.height());
  for (int py = top; py < bottom; ++py) {
    const std::uint32_t* row = scratchBits_ + static_cast<std::size_t>(py) * scratchWidth_;
    for (int px = left; px < right; ++px) {
      if ((row[px] & 0xFFFFFF) != 0) target.setPixel(px, py, 0xFFFFFF);
    }
  }
}

bool GdiTextPainter::ensureScratch(int width, int height) const {
  if (scratch_ != nullptr && scratchWidth_ == width && scratchHeight_ == height) return true;
  if (scratch_ != nullptr) DeleteObject(scratch_);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  scratch_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (scratch_ == nullptr) return false;
  SelectObject(dc_, scratch_);
  scratchBits_ = static_cast<std::uint32_t*>(bits);
  scratchWidth_ = width;
  scratchHeight_ = height;
  return true;
}

}  // namespace nuv::forms
