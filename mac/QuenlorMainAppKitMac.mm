// QuenlorHID on macOS: AppKit's window and IOKit's HID manager. Reads no command line or
// configuration of its own (AppKit reads its own arguments).
#include <utility>

#include "mac/QuenlorAppKit.h"
#include "platform/iohid/IOKit.h"

int main(int argc, char** argv) {
  nuv::mac::QuenlorAppKitOptions options;
  options.createManager = [] { return nuv::iohid::createIOKitHIDManager(); };
  return nuv::mac::runQuenlorAppKit(argc, argv, std::move(options));
}
