// The shell completion scripts that `vornex-cli completion SHELL` prints, made from the table
// of commands and options (CommandLine.h), so that they offer exactly what the parser takes.
#pragma once

#include <string>

#include "cli/CommandLine.h"

namespace nuv::cli {

// The whole script for `shell`, ready to be sourced (bash), autoloaded or sourced (zsh, which
// defines _vornex_cli and registers it) or sourced (fish). The bash function is _vornex_cli.
[[nodiscard]] std::string completionScript(Shell shell);

}  // namespace nuv::cli
