// The view's interface file "HIDViewController": frames and titles of its controls, in
// points, origin at the top left of the view. Both backends build the view from it, so a
// headless test sees the geometry the window shows.
#pragma once

#include <string_view>

#include "platform/cocoa/Cocoa.h"

namespace nuv::cocoa::nib {

inline constexpr std::string_view kHIDViewControllerNib = "HIDViewController";

inline constexpr Rect kViewFrame{0, 0, 440, 150};
inline constexpr Rect kStatusTextFieldFrame{20, 18, 400, 24};
inline constexpr Rect kProgressIndicatorFrame{20, 56, 400, 20};
inline constexpr Rect kDownloadButtonFrame{20, 100, 120, 30};
inline constexpr Rect kStopButtonFrame{160, 100, 120, 30};
inline constexpr Rect kVersionButtonFrame{300, 100, 120, 30};

inline constexpr std::string_view kDownloadTitle = "Download";
inline constexpr std::string_view kStopTitle = "Stop";
inline constexpr std::string_view kVersionTitle = "Version";
// What the status line shows before the controller first sets it.
inline constexpr std::string_view kStatusPlaceholder = "";

}  // namespace nuv::cocoa::nib
