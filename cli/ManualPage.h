// The manual page vornex-cli(1): prose of its own (DESCRIPTION, ENVIRONMENT, FILES, EXAMPLES)
// around what is made from the help pages and the tables of commands, options and exit codes
// (COMMANDS, OPTIONS, EXIT STATUS), so that `man vornex-cli` and `--help` say the same.
#pragma once

#include <string>
#include <string_view>

namespace nuv::cli {

// The page in roff with man(7) macros. `version` goes into the title line.
[[nodiscard]] std::string manualPage(std::string_view version);

// One line of text made safe for roff: backslashes, hyphens (as \-, so that options can be
// copied from the page) and a leading dot or apostrophe, which would make it a request.
[[nodiscard]] std::string roffEscaped(std::string_view line);

}  // namespace nuv::cli
