#include "protocol/Log.h"

#include <cstdio>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <syslog.h>
#define NUV_HAVE_SYSLOG 1
#endif

namespace nuv {
namespace {

class SystemLogSink final : public LogSink {
 public:
  void write(std::string_view line) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
#ifdef NUV_HAVE_SYSLOG
    std::string copy(line);
    syslog(LOG_INFO, "%s", copy.c_str());
#endif
  }
};

SystemLogSink& systemSink() {
  static SystemLogSink sink;
  return sink;
}

thread_local LogSink* currentSink = nullptr;

}  // namespace

void logLine(std::string_view line) {
  LogSink* sink = currentSink != nullptr ? currentSink : &systemSink();
  sink->write(line);
}

ScopedLogSink::ScopedLogSink(LogSink& sink) : previous_(currentSink) {
  currentSink = &sink;
}

ScopedLogSink::~ScopedLogSink() {
  currentSink = previous_;
}

}  // namespace nuv
