#include "cli/SessionIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/ExitCodes.h"
#include "cli/Files.h"

#ifdef __linux__
#include "cli/TappedSystemCalls.h"
#endif

namespace nuv::cli {

nuv::Result<std::unique_ptr<SessionRecorder>> SessionRecorder::create(const std::string& path,
                                                                      bool replace) {
  // O_EXCL: a file that is there already is never cut short by a record, unless --force, and
  // --force replaces only a regular file (a FIFO would hold the program, a device take the
  // record).
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))
    return nuv::Error::message(path + " is a folder; give --record the name of a file in it");
  if (replace && ::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
    return nuv::Error::message(path + " is not a regular file; the record is not written there");
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    const int error = errno;
    if (error == EEXIST)
      return nuv::Error::message(path + " exists; give --force to replace it with the record");
    return nuv::Error::fromErrno("open " + path, error);
  }
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    return nuv::Error::fromErrno("fdopen " + path, error);
  }
  auto recorder = std::unique_ptr<SessionRecorder>(new SessionRecorder(file, path));
  std::fprintf(file, "%.*s\n", static_cast<int>(nuv::kSessionRecordHeader.size()),
               nuv::kSessionRecordHeader.data());
  return recorder;
}

SessionRecorder::SessionRecorder(std::FILE* file, std::string path)
    : file_(file), path_(std::move(path)), start_(std::chrono::steady_clock::now()) {}

SessionRecorder::~SessionRecorder() {
  (void)close();
}

std::optional<nuv::Error> SessionRecorder::close() {
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) {
    if (std::fclose(file_) != 0 && !writeError_)
      writeError_ = nuv::Error::fromErrno("close " + path_, errno);
    file_ = nullptr;
  }
  return writeError_;
}

void SessionRecorder::event(nuv::SessionEventKind kind, std::span<const std::uint8_t> report,
                            std::string_view error) {
  // The time is taken under the lock: the reader thread and the GUI thread both report, and
  // the lines must stand in the order of their times.
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  const auto at = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start_);
  char line[512];
  const std::size_t n =
      nuv::formatSessionEvent(kind, at, report, error.substr(0, 200), line, sizeof line);
  // Each line goes out whole at once, so that a run that dies leaves whole lines behind.
  if (n > 0 && (std::fwrite(line, 1, n, file_) != n || std::fflush(file_) != 0) && !writeError_)
    writeError_ = nuv::Error::fromErrno("write " + path_, errno);
}

#ifdef __linux__
nuv::hidraw::SystemCalls& SessionIo::systemCalls() const {
  return tappedCalls ? *tappedCalls : nuv::hidraw::realSystemCalls();
}
#endif

std::variant<SessionIo, int> openSessionIo(const Options& options, Output& out) {
  SessionIo io;
  if (!options.simReplay.empty()) {
    auto file = readFile(options.simReplay, 256u << 20);
    if (!file) {
      out.message(file.error().describe(), true);
      out.result(kExitFileError, "the session record to replay cannot be read");
      return kExitFileError;
    }
    const auto& bytes = file.value();
    auto events = nuv::parseSessionRecord(
        std::string_view(reinterpret_cast<const char*>(bytes.bytes.data()), bytes.bytes.size()));
    if (!events) {
      out.message(options.simReplay + ": " + events.error().describe(), true);
      out.result(kExitFileError, "the session record to replay is not one");
      return kExitFileError;
    }
    io.replay = std::make_shared<sim::SessionReplay>(std::move(events).value());
  }
  if (!options.record.empty()) {
    auto made = SessionRecorder::create(options.record, options.force);
    if (!made) {
      out.message(made.error().describe(), true);
      out.result(kExitFileError, "the session record cannot be written");
      return kExitFileError;
    }
    io.recorder = std::move(made).value();
#ifdef __linux__
    io.tappedCalls = makeTappedSystemCalls(nuv::hidraw::realSystemCalls(), *io.recorder);
#endif
  }
  return io;
}

int finishSessionIo(const Options& options, SessionIo& io, int code, Output& out) {
  if (io.replay) {
    if (auto departure = io.replay->departure()) {
      out.message("the host departed from the record at " + *departure, true);
      if (code == kExitSuccess) code = kExitExchangeFailed;
    } else {
      out.detail("the host followed the record: " + std::to_string(io.replay->reportsFollowed()) +
                 " of its " + std::to_string(io.replay->reportsRecorded()) + " reports");
    }
  }
  if (io.recorder) {
#ifdef __linux__
    io.tappedCalls.reset();
#endif
    auto error = io.recorder->close();
    if (error) {
      out.message(error->describe(), true);
      out.message("the session record " + options.record + " is incomplete", true);
    }
  }
  return code;
}

}  // namespace nuv::cli
