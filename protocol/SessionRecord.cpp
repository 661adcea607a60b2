#include "protocol/SessionRecord.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "protocol/JsonString.h"

namespace nuv {
namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string_view kindName(SessionEventKind kind) {
  switch (kind) {
    case SessionEventKind::Sent:
      return "sent";
    case SessionEventKind::SendFailed:
      return "send-failed";
    case SessionEventKind::Received:
      return "received";
    case SessionEventKind::Gone:
      return "gone";
  }
  return "gone";
}

std::optional<SessionEventKind> kindNamed(std::string_view name) {
  for (auto kind : {SessionEventKind::Sent, SessionEventKind::SendFailed,
                    SessionEventKind::Received, SessionEventKind::Gone})
    if (kindName(kind) == name) return kind;
  return std::nullopt;
}

// Appends to a fixed buffer; remembers when it ran out instead of writing past it.
struct LineBuffer {
  char* out;
  std::size_t capacity;
  std::size_t length = 0;
  bool full = false;
  void put(char c) {
    if (length + 1 >= capacity) {
      full = true;
      return;
    }
    out[length++] = c;
  }
  void put(std::string_view text) {
    for (char c : text) put(c);
  }
};

// A value of a flat JSON object: a string or a whole number.
struct JsonValue {
  bool isString = false;
  std::string text;
  unsigned long long number = 0;
};
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

class ObjectParser {
 public:
  explicit ObjectParser(std::string_view line) : s_(line) {}

  // The object, or the reason the line is not one flat object.
  Result<JsonObject> parse() {
    JsonObject object;
    skipSpace();
    if (!take('{')) return Error::message("a line must be one JSON object");
    skipSpace();
    if (take('}')) return finish(object);
    for (;;) {
      skipSpace();
      std::string key;
      if (!readString(key)) return Error::message("a key must be a string");
      skipSpace();
      if (!take(':')) return Error::message("a ':' must follow a key");
      skipSpace();
      JsonValue value;
      if (peek() == '"') {
        value.isString = true;
        if (!readString(value.text))
          return Error::message("a string is not closed or escaped wrongly");
      } else if (!readNumber(value.number)) {
        return Error::message("a value must be a string or a whole number");
      }
      object[std::move(key)] = std::move(value);
      skipSpace();
      if (take('}')) return finish(object);
      if (!take(',')) return Error::message("a ',' or '}' must follow a value");
    }
  }

 private:
  Result<JsonObject> finish(JsonObject& object) {
    skipSpace();
    if (pos_ != s_.size()) return Error::message("text after the object");
    return std::move(object);
  }
  [[nodiscard]] char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  bool take(char c) {
    if (peek() != c || pos_ >= s_.size()) return false;
    ++pos_;
    return true;
  }
  void skipSpace() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r')) ++pos_;
  }
  bool readString(std::string& out) {
    auto text = readJsonString(s_, pos_);
    if (!text) return false;
    out = std::move(*text);
    return true;
  }
  bool readNumber(unsigned long long& out) {
    const std::size_t start = pos_;
    out = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const unsigned digit = static_cast<unsigned>(s_[pos_] - '0');
      if (out > (~0ULL - digit) / 10) return false;  // would overflow
      out = out * 10 + digit;
      ++pos_;
    }
    return pos_ > start;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Error lineError(std::size_t line, const std::string& why) {
  return Error::message("session record, line " + std::to_string(line) + ": " + why);
}

}  // namespace

std::string hexOf(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

std::size_t formatSessionEvent(SessionEventKind kind, std::chrono::microseconds at,
                               std::span<const std::uint8_t> report, std::string_view error,
                               char* out, std::size_t capacity) {
  LineBuffer line{out, capacity};
  char number[32];
  const int n = std::snprintf(number, sizeof number, "%lld",
                              static_cast<long long>(at.count() < 0 ? 0 : at.count()));
  line.put(R"({"t_us":)");
  line.put(std::string_view(number, n > 0 ? static_cast<std::size_t>(n) : 0));
  line.put(R"(,"event":")");
  line.put(kindName(kind));
  line.put('"');
  if (kind != SessionEventKind::Gone) {
    line.put(R"(,"report":")");
    const std::size_t kept = std::min(report.size(), kMaxRecordedReport);
    for (std::size_t i = 0; i < kept; ++i) {
      line.put(kHex[report[i] >> 4]);
      line.put(kHex[report[i] & 0xF]);
    }
    line.put('"');
  }
  if (!error.empty()) {
    line.put(R"(,"error":")");
    for (char c : error) {
      if (c == '"' || c == '\\') line.put('\\');
      line.put(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
    }
    line.put('"');
  }
  line.put("}\n");
  if (line.full) return 0;
  return line.length;
}

Result<std::vector<SessionEvent>> parseSessionRecord(std::string_view text) {
  std::vector<SessionEvent> events;
  bool headerSeen = false;
  std::size_t lineNumber = 0;
  std::chrono::microseconds last{0};
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNumber;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;

    auto parsed = ObjectParser(line).parse();
    if (!parsed) return lineError(lineNumber, parsed.error().text);
    const JsonObject& object = parsed.value();
    auto field = [&object](std::string_view key) -> const JsonValue* {
      const auto it = object.find(key);
      return it == object.end() ? nullptr : &it->second;
    };

    if (!headerSeen) {
      const JsonValue* record = field("record");
      const JsonValue* version = field("version");
      if (record == nullptr || !record->isString || record->text != "nuv-update-session")
        return lineError(lineNumber, "not a session record of this program (no header)");
      if (version == nullptr || version->isString || version->number != 1)
        return lineError(lineNumber, "a session record of another version");
      headerSeen = true;
      continue;
    }

    const JsonValue* time = field("t_us");
    const JsonValue* name = field("event");
    if (time == nullptr || time->isString) return lineError(lineNumber, "no time (t_us)");
    if (name == nullptr || !name->isString) return lineError(lineNumber, "no event");
    const auto kind = kindNamed(name->text);
    if (!kind) return lineError(lineNumber, "unknown event \"" + name->text + "\"");
    if (time->number > 1ULL << 52) return lineError(lineNumber, "time out of range");
    SessionEvent event;
    event.kind = *kind;
    event.at = std::chrono::microseconds(static_cast<long long>(time->number));
    if (event.at < last) return lineError(lineNumber, "time goes backwards");
    last = event.at;
    if (*kind != SessionEventKind::Gone) {
      const JsonValue* report = field("report");
      if (report == nullptr || !report->isString) return lineError(lineNumber, "no report");
      const std::string& hex = report->text;
      if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxRecordedReport)
        return lineError(lineNumber, "a report must be whole bytes, at most 64 of them");
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) return lineError(lineNumber, "a report must be hexadecimal");
        event.report.push_back(static_cast<std::uint8_t>(high << 4 | low));
      }
    }
    if (const JsonValue* error = field("error"); error != nullptr && error->isString)
      event.error = error->text;
    events.push_back(std::move(event));
  }
  if (!headerSeen) return Error::message("session record: the file is empty");
  return events;
}

}  // namespace nuv
