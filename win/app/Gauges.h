// TGauge: the progress gauge of the main window. A graphic control that draws a horizontal bar
// for the progress between a minimum and a maximum, with the whole percentage on top of it,
// each text pixel the complement of the pixel under it.
//
// GUI thread. Painting composes into an image owned by the gauge and then tells the observers
// (the backend's host widget) that the image changed; the images are reallocated only when the
// gauge is resized, so a repaint allocates nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/forms/Controls.h"

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

// The class library's exception for an operation refused in the control's current state.
class EInvalidOperation : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TGauge : public nuv::forms::Control {
 public:
  // `font` is the control's font and must outlive the gauge; `resolve` turns a colour into
  // 0x00RRGGBB (system colours included).
  explicit TGauge(const nuv::forms::TextPainter& font,
                  std::function<std::uint32_t(nuv::forms::Color)> resolve = {});

  void SetKind(TGaugeKind v);
  void SetShowText(bool v);
  void SetBorderStyle(TBorderStyle v);
  void SetForeColor(nuv::forms::Color v);
  void SetBackColor(nuv::forms::Color v);
  // Throw EInvalidOperation ("Value must be between %d and %d") outside form loading when the
  // new value would cross the other bound; nothing changes then.
  void SetMinValue(std::int32_t v);
  void SetMaxValue(std::int32_t v);
  // Clamped into MinValue..MaxValue; repaints only when Percent changed.
  void SetProgress(std::int32_t v);
  // While set, the range checks are skipped so that stored properties load in any order.
  void SetLoading(bool loading) { loading_ = loading; }

  [[nodiscard]] TGaugeKind Kind() const { return kind_; }
  [[nodiscard]] bool ShowText() const { return showText_; }
  [[nodiscard]] TBorderStyle BorderStyle() const { return borderStyle_; }
  [[nodiscard]] nuv::forms::Color ForeColor() const { return foreColor_; }
  [[nodiscard]] nuv::forms::Color BackColor() const { return backColor_; }
  [[nodiscard]] std::int32_t MinValue() const { return min_; }
  [[nodiscard]] std::int32_t MaxValue() const { return max_; }
  [[nodiscard]] std::int32_t Progress() const { return progress_; }
  // 0 when MaxValue = MinValue, else (Progress - MinValue) * 100 / (MaxValue - MinValue)
  // truncated toward zero.
  [[nodiscard]] std::int32_t Percent() const;

  // Paints at once (the class library's Repaint). A hidden or empty gauge paints nothing, and
  // the window is told only when the picture changed.
  void Repaint();
  // The last painted image and how many times the gauge painted.
  [[nodiscard]] const nuv::forms::Bitmap& Image() const { return image_; }
  [[nodiscard]] std::uint64_t PaintCount() const { return paints_; }

 private:
  void paintAsBar(const nuv::forms::Rect& inner);
  [[nodiscard]] std::uint32_t pixel(nuv::forms::Color c) const;

  const nuv::forms::TextPainter& font_;
  std::function<std::uint32_t(nuv::forms::Color)> resolve_;
  TGaugeKind kind_ = gkHorizontalBar;
  bool showText_ = true;
  TBorderStyle borderStyle_ = bsSingle;
  nuv::forms::Color foreColor_ = nuv::forms::kClBlack;
  nuv::forms::Color backColor_ = nuv::forms::kClWhite;
  std::int32_t min_ = 0;
  std::int32_t max_ = 100;
  std::int32_t progress_ = 0;
  bool loading_ = false;
  nuv::forms::Bitmap image_, background_, text_;
  char label_[16] = {};
  // Whether the image must be composed again; a repaint with nothing changed shows it as is.
  bool stale_ = true;
  int paintedWidth_ = 0, paintedHeight_ = 0;
  std::uint64_t paints_ = 0;
};
