// The check of a chosen update image before anything is sent to the device.
#pragma once

#include <optional>
#include <string>

namespace nuv::mac {

// Nothing when the file at `path` can be opened, is exactly one update image long and reads
// to its end; otherwise the reason, in words for the user. The file is only read.
[[nodiscard]] std::optional<std::string> updateImageProblem(const std::string& path);

}  // namespace nuv::mac
