#include "cli/JsonLine.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "protocol/JsonString.h"

namespace nuv::cli {
namespace {

void skipSpace(std::string_view s, std::size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
}

// `text` as a quoted JSON string, appended piece by piece (GCC 12 at -O3 takes
// `"\"" + std::string` for an overlapping copy: a false -Wrestrict).
void appendString(std::string& out, std::string_view text) {
  out += '"';
  out += jsonEscape(text);
  out += '"';
}

}  // namespace

std::string jsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Bytes outside ASCII are shown as the character of that code (Latin-1): a file name
          // or a device's text that is no valid UTF-8 still gives valid JSON.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  return out;
}

JsonLine::JsonLine(std::string_view event)
    : body_("{\"schema\":" + std::to_string(kJsonSchema) + ",") {
  body_ += "\"event\":";
  appendString(body_, event);
}

void JsonLine::key(std::string_view name) {
  body_ += ",\"";
  body_ += jsonEscape(name);
  body_ += "\":";
}

JsonLine& JsonLine::text(std::string_view name, std::string_view value) {
  key(name);
  appendString(body_, value);
  return *this;
}

JsonLine& JsonLine::optionalText(std::string_view name, const std::optional<std::string>& value) {
  if (value) return text(name, std::string_view(*value));
  key(name);
  body_ += "null";
  return *this;
}

JsonLine& JsonLine::number(std::string_view name, long long value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::real(std::string_view name, double value, int decimals) {
  key(name);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  body_ += buf;
  return *this;
}

JsonLine& JsonLine::null(std::string_view name) {
  key(name);
  body_ += "null";
  return *this;
}

JsonLine& JsonLine::flag(std::string_view name, bool value) {
  key(name);
  body_ += value ? "true" : "false";
  return *this;
}

std::string JsonFields::get(std::string_view key) const {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

long long JsonFields::number(std::string_view key, long long otherwise) const {
  const std::string v = get(key);
  long long n = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  return ec == std::errc{} && end == v.data() + v.size() && !v.empty() ? n : otherwise;
}

double JsonFields::real(std::string_view key) const {
  return std::strtod(get(key).c_str(), nullptr);
}

std::optional<JsonFields> readJsonLine(std::string_view s) {
  std::size_t i = 0;
  skipSpace(s, i);
  if (i >= s.size() || s[i] != '{') return std::nullopt;
  ++i;
  JsonFields fields;
  skipSpace(s, i);
  if (i < s.size() && s[i] == '}') return fields;
  while (i < s.size()) {
    skipSpace(s, i);
    auto name = readJsonString(s, i);
    if (!name) return std::nullopt;
    skipSpace(s, i);
    if (i >= s.size() || s[i] != ':') return std::nullopt;
    ++i;
    skipSpace(s, i);
    if (i >= s.size()) return std::nullopt;
    if (s[i] == '"') {
      auto value = readJsonString(s, i);
      if (!value) return std::nullopt;
      fields.values[*name] = std::move(*value);
    } else {
      const std::size_t start = i;
      while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ' ') ++i;
      const std::string_view word = s.substr(start, i - start);
      if (word.empty() || word.front() == '{' || word.front() == '[') return std::nullopt;
      if (word != "null") fields.values[*name] = std::string(word);
    }
    skipSpace(s, i);
    if (i < s.size() && s[i] == ',') {
      ++i;
      continue;
    }
    if (i < s.size() && s[i] == '}') return fields;
    return std::nullopt;
  }
  return std::nullopt;
}

std::string withTextField(std::string_view line, std::string_view key, std::string_view value) {
  const std::string head = "{\"schema\":" + std::to_string(kJsonSchema) + ",\"event\":\"";
  const std::string_view kHead = head;
  if (!line.starts_with(kHead)) return std::string(line);
  // An object that names the field already keeps its own.
  if (const auto fields = readJsonLine(line); fields && fields->values.count(key) != 0)
    return std::string(line);
  // Event names are plain words: the first quote after the head ends the field.
  const std::size_t end = line.find('"', kHead.size());
  if (end == std::string_view::npos) return std::string(line);
  std::string out(line.substr(0, end + 1));
  out += ',';
  appendString(out, key);
  out += ':';
  appendString(out, value);
  out += line.substr(end + 1);
  return out;
}

}  // namespace nuv::cli
