// Names that Apple's AppKit and GNUstep's spell differently, so that the AppKit backend builds
// with Apple's compiler and with GCC's Objective-C++ alike.
//
// GNUstep (0.29) lacks the newer enum names (NSAlertStyleInformational, NSBezelStyleRounded,
// NSButtonTypeMomentaryPushIn, ...); Apple's SDKs deprecate the older ones, which -Werror
// turns into errors. Each name below is the one the build's AppKit accepts without a warning.
// Not used here at all, because GCC lacks them: object literals, blocks, @autoreleasepool,
// ARC, automatic property synthesis and +[NSTextField labelWithString:].
//
// GCC's Objective-C++ also has two quirks of its own that the .mm files keep clear of:
// - it cannot type-encode a std::function held by value or through a plain pointer, in an
//   instance variable or a method argument; behind a std::unique_ptr it can;
// - in expressions it reads '[' as the start of a message, so a lambda with more than one
//   capture or an init-capture is misparsed; lambdas there capture one name, or [&].
#pragma once

#import <AppKit/AppKit.h>

#if defined(GNUSTEP)
#define NUV_ALERT_STYLE_INFORMATIONAL NSInformationalAlertStyle
#define NUV_BEZEL_STYLE_ROUNDED NSRoundedBezelStyle
#define NUV_BUTTON_TYPE_MOMENTARY_PUSH_IN NSMomentaryPushInButton
#define NUV_TEXT_ALIGNMENT_CENTER NSCenterTextAlignment
#define NUV_TEXT_ALIGNMENT_NATURAL NSNaturalTextAlignment
#define NUV_PROGRESS_STYLE_BAR NSProgressIndicatorBarStyle
#define NUV_WINDOW_STYLE_TITLED NSTitledWindowMask
#define NUV_WINDOW_STYLE_CLOSABLE NSClosableWindowMask
#define NUV_WINDOW_STYLE_MINIATURIZABLE NSMiniaturizableWindowMask
// The sender of applicationShouldTerminateAfterLastWindowClosed: and its kin.
#define NUV_APPLICATION_SENDER id
#else
#define NUV_ALERT_STYLE_INFORMATIONAL NSAlertStyleInformational
#define NUV_BEZEL_STYLE_ROUNDED NSBezelStyleRounded
#define NUV_BUTTON_TYPE_MOMENTARY_PUSH_IN NSButtonTypeMomentaryPushIn
#define NUV_TEXT_ALIGNMENT_CENTER NSTextAlignmentCenter
#define NUV_TEXT_ALIGNMENT_NATURAL NSTextAlignmentNatural
#define NUV_PROGRESS_STYLE_BAR NSProgressIndicatorStyleBar
#define NUV_WINDOW_STYLE_TITLED NSWindowStyleMaskTitled
#define NUV_WINDOW_STYLE_CLOSABLE NSWindowStyleMaskClosable
#define NUV_WINDOW_STYLE_MINIATURIZABLE NSWindowStyleMaskMiniaturizable
#define NUV_APPLICATION_SENDER NSApplication*
#endif

// Both accept NSModalResponseOK for the open panel's answer (GNUstep 0.29 has it; Apple
// deprecated NSFileHandlingPanelOKButton in its favour).
#define NUV_MODAL_RESPONSE_OK NSModalResponseOK
