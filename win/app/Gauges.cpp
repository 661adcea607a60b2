#include "win/app/Gauges.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

TGauge::TGauge(const nuv::forms::TextPainter& font,
               std::function<std::uint32_t(nuv::forms::Color)> resolve)
    : font_(font), resolve_(std::move(resolve)) {
  setBounds(0, 0, 100, 100);
}

namespace {
[[noreturn]] void rangeError(std::int64_t low, std::int64_t high) {
  char text[80];
  std::snprintf(text, sizeof text, "Value must be between %" PRId64 " and %" PRId64, low, high);
  throw EInvalidOperation(text);
}
}  // namespace

void TGauge::SetKind(TGaugeKind v) {
  if (v == kind_) return;
  kind_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetShowText(bool v) {
  if (v == showText_) return;
  showText_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetBorderStyle(TBorderStyle v) {
  if (v == borderStyle_) return;
  borderStyle_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetForeColor(nuv::forms::Color v) {
  if (v == foreColor_) return;
  foreColor_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetBackColor(nuv::forms::Color v) {
  if (v == backColor_) return;
  backColor_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetMinValue(std::int32_t v) {
  if (v == min_) return;
  if (v > max_ && !loading_)
    rangeError(-std::numeric_limits<std::int32_t>::max(), std::int64_t{max_} - 1);
  min_ = v;
  if (progress_ < v) progress_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetMaxValue(std::int32_t v) {
  if (v == max_) return;
  if (v < min_ && !loading_)
    rangeError(std::int64_t{min_} + 1, std::numeric_limits<std::int32_t>::max());
  max_ = v;
  if (progress_ > v) progress_ = v;
  stale_ = true;
  Repaint();
}

void TGauge::SetProgress(std::int32_t v) {
  const std::int32_t before = Percent();
  if (v < min_) {
    v = min_;
  } else if (v > max_) {
    v = max_;
  }
  if (v == progress_) return;
  progress_ = v;
  // The picture depends on Percent only: a progress within the same percent leaves it as is.
  if (Percent() != before) {
    stale_ = true;
    Repaint();
  }
}

std::int32_t TGauge::Percent() const {
  if (max_ == min_) return 0;
  // In floating point from the start: the difference of two 32-bit bounds need not fit 32 bits.
  const double p = (double(progress_) - double(min_)) * 100.0 / (double(max_) - double(min_));
  return static_cast<std::int32_t>(std::trunc(p));
}

std::uint32_t TGauge::pixel(nuv::forms::Color c) const {
  if (resolve_) return resolve_(c);
  return nuv::forms::pixelOf(c & 0x00FFFFFFu);
}

void TGauge::Repaint() {
  if (!visible() || width() <= 0 || height() <= 0) return;
  ++paints_;
  if (!stale_ && paintedWidth_ == width() && paintedHeight_ == height()) {
    // The picture on the screen is already this one; the window system repaints it by itself
    // wherever it was covered. Showing it again would cost a blit per Write (a fifth of a
    // download's time under Wine) and change no pixel.
    return;
  }
  stale_ = false;
  paintedWidth_ = width();
  paintedHeight_ = height();
  image_.resize(width(), height());
  image_.fill({0, 0, width(), height()}, 0);
  nuv::forms::Rect inner{0, 0, width(), height()};
  if (borderStyle_ == bsSingle) inner = {1, 1, width() - 1, height() - 1};
  // Only the bar is drawn in this program; the other kinds show their text over the
  // background, which is what gkText is.
  paintAsBar(inner);
  changed();
}

void TGauge::paintAsBar(const nuv::forms::Rect& inner) {
  background_.resize(width(), height());
  background_.fill({0, 0, width(), height()}, 0);
  background_.fill(inner, pixel(backColor_));
  const int w = inner.right - inner.left + 1;
  const int h = inner.bottom - inner.top + 1;
  if (kind_ == gkHorizontalBar) {
    int x = static_cast<int>(std::trunc(w * (Percent() * 0.01)));
    if (x > w) x = w;
    // The bar's right and bottom edges are x and h, not inner-relative: the class library's
    // own rectangle, which ends exactly at the inner edge for 100 %.
    if (x >= 1) background_.fill({inner.left, inner.top, x, h}, pixel(foreColor_));
  }
  image_.xorWith(background_);
  if (!showText_) return;
  text_.resize(width(), height());
  text_.fill({0, 0, width(), height()}, 0);
  std::snprintf(label_, sizeof label_, "%d%%", static_cast<int>(Percent()));
  const nuv::forms::TextPainter::Extent extent = font_.measure(label_);
  const int tx = (w - extent.width) / 2;
  const int ty = (h - extent.height) / 2;
  font_.drawWhite(text_, tx, ty, label_, inner);
  image_.xorWith(text_);
}
