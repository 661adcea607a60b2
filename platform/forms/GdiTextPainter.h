// The control font of the Win32 backend, drawn with GDI. GUI thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "platform/forms/Controls.h"

namespace nuv::forms {

// The control font: "MS Sans Serif" with 13-pixel cells (the 8-point face of a 96-dpi screen),
// or the nearest face the system has. Drawn without anti-aliasing, so every text pixel is white
// or untouched and the gauge's XOR gives exact complements.
class GdiTextPainter final : public TextPainter {
 public:
  // Ends the program when the font or its drawing context cannot be made.
  GdiTextPainter();
  ~GdiTextPainter() override;
  GdiTextPainter(const GdiTextPainter&) = delete;
  GdiTextPainter& operator=(const GdiTextPainter&) = delete;

  [[nodiscard]] HFONT font() const { return font_; }

  [[nodiscard]] Extent measure(std::string_view text) const override;
  void drawWhite(Bitmap& target, int x, int y, std::string_view text,
                 const Rect& clip) const override;

 private:
  // The drawing surface, made again only when the target's size changes.
  bool ensureScratch(int width, int height) const;

  HFONT font_;
  HDC dc_;
  mutable HBITMAP scratch_ = nullptr;
  mutable std::uint32_t* scratchBits_ = nullptr;
  mutable int scratchWidth_ = 0, scratchHeight_ = 0;
};

}  // namespace nuv::forms
