// The update engine for the web page: C functions over flow/'s engines, called from
// engine.js. The page owns the device (WebHID), the clock and the waiting, as every native
// runner does: it feeds events in and carries out the actions that come back, each as one
// line of JSON. Times are the page's milliseconds (performance.now()); they never go back.
//
// Nothing here keeps state outside the WebEngine the page holds; texts that are not an
// engine's go into a buffer the caller passes.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "flow/EchoFlow.h"
#include "flow/Engine.h"
#include "flow/StrictFlow.h"
#include "protocol/SessionRecord.h"
#include "protocol/UpdateImage.h"

namespace {

using nuv::flow::TimePoint;

TimePoint timeOf(double milliseconds) {
  return TimePoint(std::chrono::microseconds(std::llround(milliseconds * 1000.0)));
}

double millisecondsOf(TimePoint at) {
  return static_cast<double>(
             std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count()) /
         1000.0;
}

// JSON string contents: quotes, backslashes and control characters escaped.
void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
}

void appendField(std::string& out, std::string_view key, std::string_view text) {
  out += ",\"";
  out += key;
  out += "\":\"";
  appendEscaped(out, text);
  out += '"';
}

void appendNumber(std::string& out, std::string_view key, double value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.17g", value);
  out += ",\"";
  out += key;
  out += "\":";
  out += number;
}

void appendOutcome(std::string& out, const nuv::flow::Outcome& outcome) {
  appendField(out, "outcome", nuv::flow::outcomeName(outcome.kind));
  appendField(out, "step", nuv::flow::stepName(outcome.step));
  appendField(out, "deviceState", nuv::flow::deviceStateName(outcome.deviceState));
  if (outcome.reason) appendField(out, "reason", nuv::flow::reasonName(*outcome.reason));
  if (outcome.address) appendNumber(out, "address", *outcome.address);
  if (outcome.deviceVersion) appendField(out, "deviceVersion", nuv::hexOf(*outcome.deviceVersion));
  if (outcome.kind == nuv::flow::OutcomeKind::VerifyMismatch)
    appendNumber(out, "mismatchedBytes", outcome.mismatchedBytes);
  appendField(out, "advice", nuv::flow::advice(outcome));
}

// One action as a JSON object, with its "type" first.
std::string describe(const nuv::flow::Action& action) {
  std::string out = "{\"type\":";
  if (const auto* send = std::get_if<nuv::flow::SendReport>(&action)) {
    out += "\"send\"";
    appendField(out, "report", nuv::hexOf(send->bytes));
  } else if (const auto* wake = std::get_if<nuv::flow::WakeAt>(&action)) {
    out += "\"wake\"";
    appendNumber(out, "at", millisecondsOf(wake->at));
  } else if (const auto* progress = std::get_if<nuv::flow::Progress>(&action)) {
    out += "\"progress\"";
    appendNumber(out, "address", progress->address);
    appendNumber(out, "done", progress->done);
    appendNumber(out, "total", progress->total);
  } else if (const auto* step = std::get_if<nuv::flow::StepBegan>(&action)) {
    out += "\"step\"";
    appendField(out, "step", nuv::flow::stepName(step->step));
  } else if (const auto* line = std::get_if<nuv::flow::LogLine>(&action)) {
    out += "\"log\"";
    appendField(out, "text", line->text());
  } else if (const auto* finished = std::get_if<nuv::flow::Finished>(&action)) {
    out += "\"finished\"";
    appendOutcome(out, finished->outcome);
  }
  out += '}';
  return out;
}

// A version text as every output spells it: without the image's leading "V".
std::string_view spelledVersion(std::string_view text) {
  return text.starts_with('V') ? text.substr(1) : text;
}

// Copies `text` with its terminating zero into the caller's buffer; its length, or 0 when the
// buffer is too small.
std::size_t copyOut(std::string_view text, char* out, std::size_t capacity) {
  if (text.size() + 1 > capacity) return 0;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return text.size();
}

}  // namespace

struct WebEngine {
  std::unique_ptr<nuv::flow::Engine> engine;
  std::string lastAction;  // the text nuv_engine_next_action handed out last
};

extern "C" {

// `flow`: 0 strict, 1 echo. `task`: 0 version query, 1 download. `stallLimitMs`: the echo
// flow's stall limit (0 waits for ever); the strict flow has its own time-out.
WebEngine* nuv_engine_create(int flow, int task, double stallLimitMs) {
  auto web = std::make_unique<WebEngine>();
  if (flow == 0) {
    web->engine = std::make_unique<nuv::flow::StrictFlow>(
        task == 0 ? nuv::flow::StrictFlow::Task::Version : nuv::flow::StrictFlow::Task::Download);
  } else if (flow == 1) {
    const auto stall = std::chrono::microseconds(std::llround(stallLimitMs * 1000.0));
    web->engine = std::make_unique<nuv::flow::EchoFlow>(
        task == 0 ? nuv::flow::EchoFlow::Task::Version : nuv::flow::EchoFlow::Task::Download,
        stall);
  } else {
    return nullptr;
  }
  return web.release();
}

void nuv_engine_destroy(WebEngine* web) {
  delete web;
}

std::uint8_t* nuv_alloc(std::size_t size) {
  return new std::uint8_t[size == 0 ? 1 : size];
}

void nuv_free(std::uint8_t* bytes) {
  delete[] bytes;
}

void nuv_engine_start(WebEngine* web, const std::uint8_t* image, std::size_t size, double now) {
  web->engine->start({image, size}, timeOf(now));
}

void nuv_engine_report(WebEngine* web, const std::uint8_t* report, std::size_t size, double now) {
  web->engine->reportArrived({report, size}, timeOf(now));
}

void nuv_engine_time(WebEngine* web, double now) {
  web->engine->timeReached(timeOf(now));
}

void nuv_engine_gone(WebEngine* web, double now) {
  web->engine->deviceGone(timeOf(now));
}

void nuv_engine_send_failed(WebEngine* web, double now) {
  web->engine->sendFailed(timeOf(now));
}

void nuv_engine_cancel(WebEngine* web, double now) {
  web->engine->cancel(timeOf(now));
}

// The next action as JSON, or null when all were taken. The text stays valid until the next
// call on this engine.
const char* nuv_engine_next_action(WebEngine* web) {
  const auto action = web->engine->nextAction();
  if (!action) return nullptr;
  web->lastAction = describe(*action);
  return web->lastAction.c_str();
}

// The one time the flow wants to be told the time at, in milliseconds; -1 for none.
double nuv_engine_next_wake(WebEngine* web) {
  const auto wake = web->engine->nextWake();
  return wake ? millisecondsOf(*wake) : -1.0;
}

// What the flows will think of an image, before anything is sent, as JSON: its size, its
// header text, its version and the one this updater takes (both spelled without the leading
// "V", as every other output spells them), whether the size and the version text are
// accepted, and the outcome the strict flow would refuse it with. Returns the length written
// into `out`, or 0 if it did not fit.
std::size_t nuv_image_check(const std::uint8_t* image, std::size_t size, char* out,
                            std::size_t capacity) {
  const std::span<const std::uint8_t> bytes(image, size);
  const bool sizeOk = nuv::image::sizeAccepted(size);
  const bool versionOk = nuv::image::versionAccepted(bytes);
  std::string header;
  for (std::size_t i = 0; i < nuv::image::kHeaderSize && i < size && bytes[i] != 0; ++i)
    header += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '?';
  const std::string_view versionText =
      std::string_view(header).substr(0, nuv::image::kProgramVersion.size());
  std::string json = "{\"type\":\"image\"";
  appendNumber(json, "size", static_cast<double>(size));
  appendNumber(json, "expectedSize", nuv::image::kImageSize);
  appendField(json, "header", header);
  appendField(json, "version", spelledVersion(versionText));
  appendField(json, "programVersion", spelledVersion(nuv::image::kProgramVersion));
  json += std::string(",\"sizeAccepted\":") + (sizeOk ? "true" : "false");
  json += std::string(",\"versionAccepted\":") + (versionOk ? "true" : "false");
  if (!sizeOk || !versionOk) {
    json += ",\"refusal\":{\"type\":\"refusal\"";
    appendOutcome(json, nuv::flow::imageRefusedOutcome(sizeOk ? nuv::flow::RefusalReason::Version
                                                              : nuv::flow::RefusalReason::Size));
    json += '}';
  }
  json += '}';
  return copyOut(json, out, capacity);
}

// One line of a session record (with its newline): `kind` 0 sent, 1 send-failed, 2 received,
// 3 gone; `atUs` microseconds from the start of the recording. Returns the length written
// into `out`, or 0 if it did not fit.
std::size_t nuv_record_line(int kind, double atUs, const std::uint8_t* report, std::size_t size,
                            const char* error, char* out, std::size_t capacity) {
  static constexpr nuv::SessionEventKind kKinds[] = {
      nuv::SessionEventKind::Sent, nuv::SessionEventKind::SendFailed,
      nuv::SessionEventKind::Received, nuv::SessionEventKind::Gone};
  if (kind < 0 || kind > 3) return 0;
  const auto at = std::chrono::microseconds(std::llround(atUs));
  return nuv::formatSessionEvent(kKinds[kind], at, {report, size},
                                 error == nullptr ? std::string_view() : error, out, capacity);
}

// An outcome the page tells itself, before or without an engine, as JSON with its advice:
// `kind` 0 no device (none connected, or it could not be opened), 1 the image could not be
// read. Returns the length written into `out`, or 0 if it did not fit.
std::size_t nuv_front_end_outcome(int kind, char* out, std::size_t capacity) {
  const nuv::flow::Outcome outcome =
      kind == 0 ? nuv::flow::noDeviceOutcome() : nuv::flow::fileErrorOutcome();
  std::string json = "{\"type\":\"finished\"";
  appendOutcome(json, outcome);
  json += '}';
  return copyOut(json, out, capacity);
}

// The record's first line, without its newline.
std::size_t nuv_record_header(char* out, std::size_t capacity) {
  return copyOut(nuv::kSessionRecordHeader, out, capacity);
}

}  // extern "C"
