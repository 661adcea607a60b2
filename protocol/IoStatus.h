// How one I/O call on a device or channel ended: a write or read of a report, a wait for one,
// an exchange of a command and its reply. Every layer that moves reports says it with this
// enum; a layer that never produces one of the values says so where it documents its calls.
// Seam contracts that speak a platform's own codes (GetLastError values, IOReturn) map to
// and from it at their edge.
#pragma once

namespace nuv {

enum class IoStatus {
  Ok,         // the call did what was asked (count bytes moved, an event read, a node readable)
  TimedOut,   // nothing arrived within the time allowed, which is zero for a call that does not
              // wait (nothing to read now); interrupted waits count as this too
  Gone,       // the device was unplugged, or the connection or channel was closed
  Cancelled,  // a pending wait was cancelled or aborted before anything arrived
  Failed,     // anything else; the accompanying nuv::Error says what
};

}  // namespace nuv
