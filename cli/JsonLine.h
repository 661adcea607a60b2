// The objects of vornex-cli's --json output, one per line: built field by field, and read back
// (the several-device download reads its workers' lines). Every object starts with the schema
// version, then the kind of object: {"schema":2,"event":"status",...}. docs/cli.md describes
// each kind field by field; a change that would break a reader raises kJsonSchema.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nuv::cli {

// 2: typed values (numbers, booleans, null), reasons as codes beside their text, one inspect
// object, a phase in progress, the start object, and the result always last.
inline constexpr int kJsonSchema = 2;

class JsonLine {
 public:
  explicit JsonLine(std::string_view event);

  JsonLine& text(std::string_view key, std::string_view value);
  // A text, or null when there is none.
  JsonLine& optionalText(std::string_view key, const std::optional<std::string>& value);
  JsonLine& number(std::string_view key, long long value);
  JsonLine& real(std::string_view key, double value, int decimals);
  JsonLine& flag(std::string_view key, bool value);
  JsonLine& null(std::string_view key);

  // The object, without a line end.
  [[nodiscard]] std::string str() const { return body_ + "}"; }

 private:
  void key(std::string_view name);
  std::string body_;
};

// Escapes text for a JSON string (without the quotes).
[[nodiscard]] std::string jsonEscape(std::string_view text);

// A flat object read back: each field's value as text (strings unescaped; numbers, true, false
// as written; null as absent). Nested objects and arrays are not read: nothing here writes
// them. Nothing when the line is no JSON object.
struct JsonFields {
  std::map<std::string, std::string, std::less<>> values;
  [[nodiscard]] std::string get(std::string_view key) const;  // "" when absent
  [[nodiscard]] long long number(std::string_view key, long long otherwise = 0) const;
  [[nodiscard]] double real(std::string_view key) const;
};
[[nodiscard]] std::optional<JsonFields> readJsonLine(std::string_view line);

// `line`, an object written by JsonLine, with `key`: `value` put after its event, as the
// objects written with a device name it. `line` unchanged when it is not such an object or
// already has `key`.
[[nodiscard]] std::string withTextField(std::string_view line, std::string_view key,
                                        std::string_view value);

}  // namespace nuv::cli
