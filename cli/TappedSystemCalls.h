// The system calls of hidraw nodes with a tap on their reports: what the host writes to, and
// reads from, a device node (a path under /dev/ opened for reading or writing) is told to a
// SessionTap; everything else passes through unseen.
#pragma once

#include <memory>
#include <mutex>
#include <set>

#include "Seams.h"
#include "SessionRecord.h"

namespace cli {

// `inner` and `tap` must outlive the result.
[[nodiscard]] std::unique_ptr<nuv::hidraw::SystemCalls> makeTappedSystemCalls(
    nuv::hidraw::SystemCalls& inner, nuv::SessionTap& tap);

}  // namespace cli
