// The controls, dialogs and application object of the GUI toolkit seam, as the window logic
// sees them: plain objects with the state and events of the class library's controls. A
// backend shows them (qt) or keeps them for tests to look at (headless); the window logic
// never sees a toolkit type.
//
// Threads: every object here belongs to the GUI thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuv::forms {

// Colours as the class library stores them: 0x00BBGGRR, or a system colour (top bit set, index
// in the low byte) that the backend resolves.
using Color = std::uint32_t;
[[nodiscard]] constexpr Color rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return Color{r} | (Color{g} << 8) | (Color{b} << 16);
}
inline constexpr Color kSystemColorFlag = 0x80000000u;
inline constexpr Color kClBtnFace = kSystemColorFlag | 15;
inline constexpr Color kClBlack = rgb(0, 0, 0);
inline constexpr Color kClWhite = rgb(255, 255, 255);
[[nodiscard]] constexpr bool isSystemColor(Color c) {
  return (c & kSystemColorFlag) != 0;
}

// An image of 32-bit pixels 0x00RRGGBB. Reallocates only when resized to a new size.
struct Rect {  // right and bottom exclusive, as a Windows RECT
  int left = 0, top = 0, right = 0, bottom = 0;
};
class Bitmap {
 public:
  void resize(int width, int height);
  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }
  // Fills r, clipped to the image; `pixel` is 0x00RRGGBB.
  void fill(const Rect& r, std::uint32_t pixel);
  // this ^= other, pixel by pixel, over the common size (the class library's SRCINVERT copy).
  void xorWith(const Bitmap& other);
  [[nodiscard]] std::uint32_t pixel(int x, int y) const { return pixels_[index(x, y)]; }
  void setPixel(int x, int y, std::uint32_t p) { pixels_[index(x, y)] = p; }
  [[nodiscard]] const std::vector<std::uint32_t>& pixels() const { return pixels_; }

 private:
  [[nodiscard]] std::size_t index(int x, int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
           static_cast<std::size_t>(x);
  }
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint32_t> pixels_;
};
// 0x00BBGGRR -> 0x00RRGGBB; system colours must be resolved first.
[[nodiscard]] constexpr std::uint32_t pixelOf(Color c) {
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

// Draws text in a control's font. Backends with real fonts provide their own; BuiltinFont is
// the headless one.
class TextPainter {
 public:
  virtual ~TextPainter() = default;
  struct Extent {
    int width = 0;
    int height = 0;
  };
  [[nodiscard]] virtual Extent measure(std::string_view text) const = 0;
  // Draws text in white (0xFFFFFF) with a transparent background, its top left at (x, y),
  // touching no pixel outside `clip`.
  virtual void drawWhite(Bitmap& target, int x, int y, std::string_view text,
                         const Rect& clip) const = 0;
};

// A fixed 5 x 7 pixel font (digits, '%', letters enough for tests), scaled by an integer, so
// that headless tests know every pixel of the text they get.
class BuiltinFont final : public TextPainter {
 public:
  explicit BuiltinFont(int scale = 1) : scale_(scale) {}
  [[nodiscard]] Extent measure(std::string_view text) const override;
  void drawWhite(Bitmap& target, int x, int y, std::string_view text,
                 const Rect& clip) const override;

 private:
  int scale_;
};

// What a backend does when a control's state changes (repaint, move a widget). Observers are
// added at set-up; a change calls every one of them.
class Observable {
 public:
  void observe(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

 protected:
  void changed() const {
    for (const auto& o : observers_) o();
  }

 private:
  std::vector<std::function<void()>> observers_;
};

class Control : public Observable {
 public:
  void setBounds(int left, int top, int width, int height);
  void setVisible(bool v);
  void setEnabled(bool e);
  [[nodiscard]] bool visible() const { return visible_; }
  [[nodiscard]] bool enabled() const { return enabled_; }
  [[nodiscard]] Rect bounds() const { return {left_, top_, left_ + width_, top_ + height_}; }
  [[nodiscard]] int width() const { return width_; }
  [[nodiscard]] int height() const { return height_; }

 private:
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
};

// A picture shown from a resource of the program (a banner, a glyph).
class Picture : public Control {
 public:
  void setResource(std::string name) { resource_ = std::move(name), changed(); }
  [[nodiscard]] const std::string& resource() const { return resource_; }

 private:
  std::string resource_;
};

// A flat button with a glyph that can stay down as one of a group.
class SpeedButton : public Control {
 public:
  std::function<void()> onClick;
  void setCaption(std::string caption) { caption_ = std::move(caption), changed(); }
  void setHint(std::string hint) { hint_ = std::move(hint); }
  void setGlyph(std::string resourceName) { glyph_ = std::move(resourceName), changed(); }
  void setGroup(int groupIndex, bool allowAllUp) { group_ = groupIndex, allowAllUp_ = allowAllUp; }
  void setDown(bool down);
  [[nodiscard]] const std::string& caption() const { return caption_; }
  [[nodiscard]] const std::string& hint() const { return hint_; }
  [[nodiscard]] const std::string& glyph() const { return glyph_; }
  [[nodiscard]] bool down() const { return down_; }
  [[nodiscard]] int group() const { return group_; }
  // A user's click: ignored while disabled; a group button that may be all up toggles.
  void click();

 private:
  std::string caption_, hint_, glyph_;
  int group_ = 0;
  bool allowAllUp_ = false;
  bool down_ = false;
};

// A status bar with one panel.
class StatusBar : public Control {
 public:
  void setColor(Color c);
  void setPanelText(std::string_view text);
  [[nodiscard]] Color color() const { return color_; }
  [[nodiscard]] const std::string& panelText() const { return text_; }

 private:
  Color color_ = kClBtnFace;
  std::string text_;
};

// A list box whose entries carry an object they do not own.
template <class Object>
class ObjectListBox : public Control {
 public:
  struct Item {
    std::string text;
    Object* object = nullptr;
  };
  int add(std::string text, Object* object = nullptr) {
    items_.push_back({std::move(text), object});
    return static_cast<int>(items_.size()) - 1;
  }
  void setObject(int index, Object* object) { items_.at(index).object = object; }
  void clear() { items_.clear(), itemIndex_ = -1; }
  [[nodiscard]] int count() const { return static_cast<int>(items_.size()); }
  [[nodiscard]] const Item& item(int index) const { return items_.at(index); }
  void setItemIndex(int index) { itemIndex_ = (index >= 0 && index < count()) ? index : -1; }
  [[nodiscard]] int itemIndex() const { return itemIndex_; }

 private:
  std::vector<Item> items_;
  int itemIndex_ = -1;
};

// A list box of text lines kept in one arena, so that appending a line allocates nothing once
// the arena has grown to the size a flow needs; clear() keeps the capacity. It stops taking
// lines at `maxLines` so that a device that never stops sending cannot exhaust memory.
class LineListBox : public Control {
 public:
  explicit LineListBox(std::size_t reserveLines = 0, std::size_t maxLines = 1u << 17);
  void addLine(std::string_view line);
  void clear();
  [[nodiscard]] std::size_t count() const { return ends_.size(); }
  [[nodiscard]] std::string_view line(std::size_t index) const;
  [[nodiscard]] std::size_t dropped() const { return dropped_; }

 private:
  std::vector<char> text_;
  std::vector<std::size_t> ends_;
  std::size_t maxLines_;
  std::size_t dropped_ = 0;
};

// A periodic timer. Enabling a running timer does not restart its period.
class Application;
class Timer {
 public:
  explicit Timer(Application& app);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  std::function<void()> onTimer;
  void setInterval(std::chrono::milliseconds interval);
  void setEnabled(bool enabled);
  [[nodiscard]] bool enabled() const { return enabled_; }
  [[nodiscard]] std::chrono::milliseconds interval() const { return interval_; }

 private:
  friend class TimerList;
  Application& app_;
  std::chrono::milliseconds interval_{1000};
  bool enabled_ = false;
  std::chrono::steady_clock::time_point due_{};
};

// The open-file dialog's properties, as the class library has them.
struct OpenDialogOptions {
  bool hideReadOnly = false;
  bool pathMustExist = false;
  bool fileMustExist = false;
  bool enableSizing = false;
};
class OpenDialog {
 public:
  explicit OpenDialog(Application& app) : app_(app) {}
  std::string title;
  std::string filter;  // "description|pattern[|description|pattern...]"
  std::string defaultExt;
  std::string fileName;  // in: initial name; out: the chosen file's full path
  std::string initialDir;
  OpenDialogOptions options;
  // Modal. True with fileName set when the user chose a file, false when cancelled.
  [[nodiscard]] bool execute();

 private:
  Application& app_;
};

// Plain: titled with the application title, no icon. Error: titled "Error", error icon.
// Exception: the class library's report of an exception that ended a handler (an I/O error):
// titled with the application title, error icon.
enum class BoxKind { Plain, Error, Exception };

// The form whose closing ends the message loop. The backend calls the events.
class Form : public Observable {
 public:
  std::function<void()> onActivate;
  std::function<void(bool& canClose)> onCloseQuery;
  void setCaption(std::string caption) { caption_ = std::move(caption), changed(); }
  [[nodiscard]] const std::string& caption() const { return caption_; }
  void setClientSize(int width, int height) { clientWidth_ = width, clientHeight_ = height; }
  [[nodiscard]] int clientWidth() const { return clientWidth_; }
  [[nodiscard]] int clientHeight() const { return clientHeight_; }

 private:
  std::string caption_;
  int clientWidth_ = 0, clientHeight_ = 0;
};

}  // namespace nuv::forms
