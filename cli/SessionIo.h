// What --record and --sim-replay add to the commands that talk to a device (version, download,
// verify): the record being written, the system calls hidraw nodes are used through (so that
// their reports reach the record), and the recorded session the emulated device plays back.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "cli/Options.h"
#include "cli/Output.h"
#include "protocol/SessionRecord.h"
#include "sim/SessionReplay.h"

#ifdef __linux__
#include "platform/hidraw/Seams.h"
#endif

namespace nuv::cli {

struct SimSetup;

// Writes a session record as the reports pass: one line each, so that a run that ends badly
// still leaves what happened up to then. Thread-safe (the reader thread and the GUI thread both
// report). Allocates nothing per report.
class SessionRecorder final : public nuv::SessionTap {
 public:
  // Creates `path` and writes the header; an existing file is refused unless `replace`.
  [[nodiscard]] static nuv::Result<std::unique_ptr<SessionRecorder>> create(const std::string& path,
                                                                            bool replace);
  ~SessionRecorder() override;
  SessionRecorder(const SessionRecorder&) = delete;
  SessionRecorder& operator=(const SessionRecorder&) = delete;

  void event(nuv::SessionEventKind kind, std::span<const std::uint8_t> report,
             std::string_view error = {}) override;
  // Ends the record; the first write error, if one happened (the record is then incomplete).
  // Events after it are dropped.
  [[nodiscard]] std::optional<nuv::Error> close();

 private:
  SessionRecorder(std::FILE* file, std::string path);

  mutable std::mutex mutex_;
  std::FILE* file_;
  const std::string path_;
  const std::chrono::steady_clock::time_point start_;
  std::optional<nuv::Error> writeError_;
};

struct SessionIo {
  std::unique_ptr<SessionRecorder> recorder;
  // With --sim: the emulated device, made on first use (simFor) and kept for the rest of the
  // command, so that a retry or the verify after a download meets the same device, with
  // what it holds and the faults it has already committed.
  mutable std::shared_ptr<SimSetup> sim;
  std::shared_ptr<sim::SessionReplay> replay;
#ifdef __linux__
  std::unique_ptr<nuv::hidraw::SystemCalls> tappedCalls;
  // Where hidraw nodes are opened, read and written: through the record when there is one.
  [[nodiscard]] nuv::hidraw::SystemCalls& systemCalls() const;
#endif
  [[nodiscard]] nuv::SessionTap* tap() const {
    return recorder.get();
  }
};

// Opens the record and reads the replay that the options name. On failure the reason has been
// told and the exit code is returned.
// Not a nuv::Result: the failure is an exit code whose reason was already told, not an Error.
[[nodiscard]] std::variant<SessionIo, int> openSessionIo(const Options& options, Output& out);

// After the command that returned `code`: says how the replay went and whether the record is
// whole. Returns the exit code to use: `code`, or an exchange failure when the host departed
// from the replayed record although the command succeeded.
[[nodiscard]] int finishSessionIo(const Options& options, SessionIo& io, int code, Output& out);

}  // namespace nuv::cli
