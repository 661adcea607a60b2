#include "platform/forms/Controls.h"

#include <algorithm>
#include <array>

#include "platform/forms/Forms.h"

namespace nuv::forms {

void Bitmap::resize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
}

void Bitmap::fill(const Rect& r, std::uint32_t pixel) {
  const int left = std::max(r.left, 0), right = std::min(r.right, width_);
  const int top = std::max(r.top, 0), bottom = std::min(r.bottom, height_);
  for (int y = top; y < bottom; ++y) {
    std::fill_n(pixels_.begin() + static_cast<std::ptrdiff_t>(index(left, y)),
                std::max(right - left, 0), pixel);
  }
}

void Bitmap::xorWith(const Bitmap& other) {
  const int w = std::min(width_, other.width_), h = std::min(height_, other.height_);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pixels_[index(x, y)] ^= other.pixels_[other.index(x, y)];
  }
}

namespace {
// Rows of 5 bits, most significant bit on the left.
struct Glyph {
  char c;
  std::array<std::uint8_t, 7> rows;
};
constexpr std::array<Glyph, 12> kGlyphs{{
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
}};
constexpr int kAdvance = 6;  // 5 columns and one blank
constexpr int kRows = 7;

const Glyph* glyphOf(char c) {
  for (const Glyph& g : kGlyphs) {
    if (g.c == c) return &g;
  }
  return nullptr;
}
}  // namespace

TextPainter::Extent BuiltinFont::measure(std::string_view text) const {
  return {static_cast<int>(text.size()) * kAdvance * scale_, kRows * scale_};
}

void BuiltinFont::drawWhite(Bitmap& target, int x, int y, std::string_view text,
                            const Rect& clip) const {
  const int left = std::max(clip.left, 0), right = std::min(clip.right, target.width());
  const int top = std::max(clip.top, 0), bottom = std::min(clip.bottom, target.height());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const Glyph* g = glyphOf(text[i]);
    if (g == nullptr) continue;
    const int gx = x + static_cast<int>(i) * kAdvance * scale_;
    for (int row = 0; row < kRows * scale_; ++row) {
      for (int col = 0; col < 5 * scale_; ++col) {
        if ((g->rows[static_cast<std::size_t>(row / scale_)] & (0x10 >> (col / scale_))) == 0) {
          continue;
        }
        const int px = gx + col, py = y + row;
        if (px >= left && px < right && py >= top && py < bottom) {
          target.setPixel(px, py, 0xFFFFFF);
        }
      }
    }
  }
}

void Control::setBounds(int left, int top, int width, int height) {
  left_ = left, top_ = top, width_ = width, height_ = height;
  changed();
}

void Control::setVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  changed();
}

void Control::setEnabled(bool e) {
  if (e == enabled_) return;
  enabled_ = e;
  changed();
}

void SpeedButton::setDown(bool down) {
  if (down == down_) return;
  down_ = down;
  changed();
}

void SpeedButton::click() {
  if (!enabled()) return;
  if (group_ != 0 && allowAllUp_) setDown(!down_);
  if (onClick) onClick();
}

void StatusBar::setColor(Color c) {
  if (c == color_) return;
  color_ = c;
  changed();
}

void StatusBar::setPanelText(std::string_view text) {
  text_.assign(text);
  changed();
}

LineListBox::LineListBox(std::size_t reserveLines, std::size_t maxLines) : maxLines_(maxLines) {
  // About 24 characters a line: "R 00  " and eight data bytes, the reports of this device.
  text_.reserve(reserveLines * 24);
  ends_.reserve(reserveLines);
}

void LineListBox::addLine(std::string_view line) {
  if (ends_.size() >= maxLines_) {
    ++dropped_;
    return;
  }
  text_.insert(text_.end(), line.begin(), line.end());
  ends_.push_back(text_.size());
}

void LineListBox::clear() {
  text_.clear();
  ends_.clear();
  dropped_ = 0;
}

std::string_view LineListBox::line(std::size_t index) const {
  const std::size_t begin = index == 0 ? 0 : ends_.at(index - 1);
  return {text_.data() + begin, ends_.at(index) - begin};
}

Timer::Timer(Application& app) : app_(app) {
  app_.addTimer(*this);
}

Timer::~Timer() {
  app_.removeTimer(*this);
}

void Timer::setInterval(std::chrono::milliseconds interval) {
  if (interval == interval_) return;
  interval_ = interval;
  if (enabled_) due_ = app_.clock().now() + interval_;
}

void Timer::setEnabled(bool enabled) {
  if (enabled == enabled_) return;  // a running timer keeps its period
  enabled_ = enabled;
  if (enabled_) due_ = app_.clock().now() + interval_;
}

bool OpenDialog::execute() {
  return app_.runOpenDialog(*this);
}

}  // namespace nuv::forms
