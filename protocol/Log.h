// Diagnostic lines of the protocol code and of both programs (the macOS program's log lines,
// the parser's "Unknown ID" line).
//
// By default a line goes to the system log and to standard error. A ScopedLogSink redirects
// the lines written on its own thread while it lives, which is how tests and front ends
// capture them without any state shared between threads.
#pragma once

#include <string_view>

namespace nuv {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called on the thread that wrote the line. The view is valid for the call only.
  virtual void write(std::string_view line) = 0;
};

// Writes one line (no trailing newline) to the current thread's sink.
void logLine(std::string_view line);

// Installs `sink` for the calling thread until destroyed; nests, restoring the previous sink.
class ScopedLogSink {
 public:
  explicit ScopedLogSink(LogSink& sink);
  ~ScopedLogSink();
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  LogSink* previous_;
};

}  // namespace nuv
