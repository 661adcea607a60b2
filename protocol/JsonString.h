// Reading a JSON string: the one reader of the session record and of vornex-cli's JSON lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nuv {

// The string whose opening quote is at text[i], unescaped; i is left after its closing quote.
// Nothing when there is no string at i, it is not closed, it holds a control character that is
// not escaped, or an escape is not JSON's. \uXXXX becomes the character's UTF-8; a surrogate
// half stays a code of its own (what this program writes has none: it escapes single bytes).
[[nodiscard]] std::optional<std::string> readJsonString(std::string_view text, std::size_t& i);

}  // namespace nuv
