// The device's four version characters as text.
#pragma once

#include <cstdint>
#include <string>

namespace nuv::mac {

// The bytes up to the first zero (at most four), read as UTF-8. A byte that is not part of a
// well-formed UTF-8 sequence shows as U+FFFD, so a device with odd version bytes still gets a
// readable line rather than an empty one.
[[nodiscard]] std::string versionText(const std::uint8_t data[4]);

}  // namespace nuv::mac
