// The system calls of hidraw nodes with a tap on their reports: what the host writes to, and
// reads from, a device node (a path under /dev/ opened for reading or writing) is told to a
// SessionTap; everything else passes through unseen.
#pragma once

#include <memory>
#include <mutex>
#include <set>

#include "platform/hidraw/Seams.h"
#include "protocol/SessionRecord.h"

namespace nuv::cli {

// `inner` and `tap` must outlive the result.
[[nodiscard]] std::unique_ptr<nuv::hidraw::SystemCalls> makeTappedSystemCalls(
    nuv::hidraw::SystemCalls& inner, nuv::SessionTap& tap);

}  // namespace nuv::cli
