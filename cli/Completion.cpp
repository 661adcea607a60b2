#include "cli/Completion.h"

#include <functional>
#include <sstream>
#include <vector>

namespace nuv::cli {
namespace {

std::string join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : separator) + w;
  return text;
}

std::vector<std::string> commandNames(const std::function<bool(const CommandSpec&)>& pick) {
  std::vector<std::string> names;
  for (const auto& c : commandTable())
    if (pick(c)) names.emplace_back(c.name);
  return names;
}

std::vector<std::string> allCommandNames() {
  return commandNames([](const CommandSpec&) { return true; });
}

// Whether the option's value is the next word (an optional value is given only after '=', so
// the option completes as a flag).
bool takesValue(const OptionSpec& o) {
  return o.value != nullptr && !o.valueOptional;
}

// The names an option is spelled with: "--output" and "-o".
std::vector<std::string> spellings(const OptionSpec& o) {
  std::vector<std::string> names{o.longName};
  if (o.shortName != 0) names.push_back(std::string("-") + o.shortName);
  return names;
}

std::vector<std::string> valueOptions() {
  std::vector<std::string> names;
  for (const auto& o : optionTable())
    if (takesValue(o))
      for (auto& n : spellings(o)) names.push_back(n);
  return names;
}

// The options whose value may be left out (--wait[=SECONDS], --color[=WHEN]): a separate word
// is their value only when it is one of the choices, or a number.
std::vector<const OptionSpec*> optionalValueOptions() {
  std::vector<const OptionSpec*> picked;
  for (const auto& o : optionTable())
    if (o.value != nullptr && o.valueOptional) picked.push_back(&o);
  return picked;
}

std::string choicePattern(const OptionSpec& o, const char* separator) {
  std::vector<std::string> words;
  std::istringstream in(o.choices);
  for (std::string w; in >> w;) words.push_back(w);
  return join(words, separator);
}

// The options a command takes; Command::None (no command typed yet) takes them all.
std::vector<const OptionSpec*> optionsOf(Command command) {
  std::vector<const OptionSpec*> picked;
  for (const auto& o : optionTable())
    if (command == Command::None || appliesTo(o, command)) picked.push_back(&o);
  return picked;
}

std::string longNames(const std::vector<const OptionSpec*>& options) {
  std::vector<std::string> names;
  for (const auto* o : options) names.emplace_back(o->longName);
  return join(names, " ");
}

// Text inside single quotes: bash and zsh close, escape and reopen; fish escapes.
std::string shQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return quoted + "'";
}

std::string fishQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) {
    if (ch == '\'' || ch == '\\') quoted += '\\';
    quoted += ch;
  }
  return quoted + "'";
}

const char* kHeader =
    "completion for vornex-cli, made by 'vornex-cli completion %s' from the program's\n"
    "# table of commands and options: make it again rather than editing it.\n";

std::string header(const char* comment, const char* shell) {
  // Appended piece by piece: GCC 12 at -O3 takes replace() and "text" + string for overlapping
  // copies (-Wrestrict), wrongly.
  const std::string_view text = kHeader;
  const auto at = text.find("%s");
  std::string out = comment;
  out.append(text.substr(0, at)).append(shell).append(text.substr(at + 2));
  return out;
}

std::string bashScript() {
  std::string s = header("# bash ", "bash");
  s += R"(_vornex_cli_words() {
  local IFS=$' \t\n'
  COMPREPLY=($(compgen -P "$pre" -W "$1" -- "$val"))
}
_vornex_cli_files() {
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -P "$pre" -f -- "$val")
}
_vornex_cli_nodes() {
  local n nodes=()
  for n in /dev/hidraw*; do [[ -e $n ]] && nodes+=("$n"); done
  if ((${#nodes[@]})); then _vornex_cli_words "${nodes[*]}"; else _vornex_cli_files; fi
}
_vornex_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev= cmd= opt= val= pre= joined= i w
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD-1]}
  # The command: the first word that is neither an option nor an option's value. A value
  # that bash split at '=' or ':' ("--flow = echo") is skipped whole.
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    case $w in
      =|:) ((i++)) ;;
      )" +
       join(valueOptions(), "|") + R"()
        [[ ${COMP_WORDS[i+1]} == = ]] || ((i++)) ;;
)";
  for (const OptionSpec* o : optionalValueOptions()) {
    s += "      " + std::string(o->longName) + ")\n        case ${COMP_WORDS[i+1]} in ";
    s += o->completes == Completes::Choice ? choicePattern(*o, "|") + ") ((i++)) ;;"
                                           : std::string("''|*[!0-9]*) ;; *) ((i++)) ;;");
    s += " esac ;;\n";
  }
  s += R"(      -*) ;;
      *) cmd=$w; break ;;
    esac
  done
  # The option whose value is being typed, if any; joined: after '=', where an optional value
  # goes.
  val=$cur joined=1
  if [[ $cur == --*=* ]]; then
    opt=${cur%%=*} val=${cur#*=} pre=${cur%%=*}=
  elif [[ $cur == = ]]; then
    opt=$prev val=
  elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
    opt=${COMP_WORDS[COMP_CWORD-2]}
  else
    opt=$prev joined=
  fi
  case $opt in
)";
  for (const OptionSpec* o : optionalValueOptions()) {
    s += "    " + std::string(o->longName) + ") [[ $joined ]] && { ";
    s += o->completes == Completes::Choice ? "_vornex_cli_words " + shQuoted(o->choices)
                                           : std::string("COMPREPLY=()");
    s += "; return; } ;;\n";
  }
  for (const auto& o : optionTable()) {
    if (!takesValue(o)) continue;
    s += "    " + join(spellings(o), "|") + ") ";
    switch (o.completes) {
      case Completes::File:
        s += "_vornex_cli_files";
        break;
      case Completes::Choice:
        s += "_vornex_cli_words " + shQuoted(o.choices);
        break;
      case Completes::HidrawNode:
        s += "_vornex_cli_nodes";
        break;
      case Completes::CommandName:
        s += "_vornex_cli_words " + shQuoted(join(allCommandNames(), " "));
        break;
      case Completes::Nothing:
        s += "COMPREPLY=()";
        break;
    }
    s += "; return ;;\n";
  }
  s += R"(  esac
  pre= val=$cur
  if [[ $cur == -* ]]; then
    case $cmd in
)";
  for (const auto& c : commandTable())
    s += "      " + std::string(c.name) + ") w=" + shQuoted(longNames(optionsOf(c.command))) +
         " ;;\n";
  s += "      *) w=" + shQuoted(longNames(optionsOf(Command::None))) + " ;;\n";
  s += R"(    esac
    _vornex_cli_words "$w"
    return
  fi
  case $cmd in
    '') _vornex_cli_words )" +
       shQuoted(join(allCommandNames(), " ")) + R"( ;;
)";
  for (const auto& c : commandTable()) {
    switch (c.operandCompletes) {
      case Completes::File:
        s += "    " + std::string(c.name) + ") _vornex_cli_files ;;\n";
        break;
      case Completes::Choice:
        s += "    " + std::string(c.name) + ") _vornex_cli_words " + shQuoted(c.operandChoices) +
             " ;;\n";
        break;
      case Completes::CommandName:
        s += "    " + std::string(c.name) + ") _vornex_cli_words " +
             shQuoted(join(allCommandNames(), " ")) + " ;;\n";
        break;
      case Completes::HidrawNode:
        s += "    " + std::string(c.name) + ") _vornex_cli_nodes ;;\n";
        break;
      case Completes::Nothing:
        break;
    }
  }
  s += R"(    *) COMPREPLY=() ;;
  esac
}
complete -F _vornex_cli vornex-cli
)";
  return s;
}

// zsh: "name:summary" pairs for _describe.
std::string describePairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<std::string> quoted;
  for (const auto& [name, summary] : pairs) quoted.push_back(shQuoted(name + ":" + summary));
  std::string list = "(";
  list.append(join(quoted, " ")).append(")");
  return list;
}

std::string zshOptionPairs(Command command) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto* o : optionsOf(command)) pairs.emplace_back(o->longName, o->summary);
  return describePairs(pairs);
}

std::string zshScript() {
  std::string s = "#compdef vornex-cli\n" + header("# zsh ", "zsh");
  s += R"(_vornex_cli() {
  local cmd= opt= cur=${words[CURRENT]} prev=${words[CURRENT-1]} i w
  local -a valued opts nodes
  valued=()" +
       join(valueOptions(), " ") +
       R"()
  # The command: the first word that is neither an option nor an option's value.
  for ((i = 2; i < CURRENT; i++)); do
    w=${words[i]}
    if (( ${valued[(Ie)$w]} )); then (( i++ )); continue; fi
)";
  for (const OptionSpec* o : optionalValueOptions())
    s += "    if [[ $w == " + std::string(o->longName) + " && ${words[i+1]} == " +
         (o->completes == Completes::Choice ? "(" + choicePattern(*o, "|") + ")"
                                            : std::string("<->")) +
         " ]]; then (( i++ )); continue; fi\n";
  s += R"(    [[ $w == -* ]] && continue
    cmd=$w
    break
  done
  # The option whose value is being typed, if any.
  if [[ $cur == --*=* ]]; then
    opt=${cur%%=*}
    compset -P '*='
  elif (( ${valued[(Ie)$prev]} )); then
    opt=$prev
  fi
  case $opt in
)";
  // An optional value is completed after '=' only (the branch above that names it).
  for (const OptionSpec* o : optionalValueOptions())
    s += "    " + std::string(o->longName) + ") " +
         (o->completes == Completes::Choice ? "compadd -- " + std::string(o->choices)
                                            : "_message -e value " + shQuoted(o->value)) +
         "; return ;;\n";
  for (const auto& o : optionTable()) {
    if (!takesValue(o)) continue;
    s += "    " + join(spellings(o), "|") + ") ";
    switch (o.completes) {
      case Completes::File:
        s += "_files";
        break;
      case Completes::Choice:
        s += "compadd -- " + std::string(o.choices);
        break;
      case Completes::HidrawNode:
        s += "nodes=(/dev/hidraw*(N)); if (( $#nodes )); then compadd -- $nodes; else _files; fi";
        break;
      case Completes::CommandName:
        s += "compadd -- " + join(allCommandNames(), " ");
        break;
      case Completes::Nothing:
        s += "_message -e value " + shQuoted(o.value);
        break;
    }
    s += "; return ;;\n";
  }
  s += R"(  esac
  if [[ $cur == -* ]]; then
    case $cmd in
)";
  for (const auto& c : commandTable())
    s += "      " + std::string(c.name) + ") opts=" + zshOptionPairs(c.command) + " ;;\n";
  s += "      *) opts=" + zshOptionPairs(Command::None) + " ;;\n";
  std::vector<std::pair<std::string, std::string>> commands;
  for (const auto& c : commandTable()) commands.emplace_back(c.name, c.summary);
  s += R"(    esac
    _describe -t options option opts
    return
  fi
  case $cmd in
    '') opts=)" +
       describePairs(commands) + R"(; _describe -t commands command opts ;;
)";
  for (const auto& c : commandTable()) {
    const std::string name = c.name;
    switch (c.operandCompletes) {
      case Completes::File:
        s += "    " + name + ") _files ;;\n";
        break;
      case Completes::Choice:
        s += "    " + name + ") compadd -- " + c.operandChoices + " ;;\n";
        break;
      case Completes::CommandName:
        s += "    " + name + ") compadd -- " + join(allCommandNames(), " ") + " ;;\n";
        break;
      case Completes::HidrawNode:
        s += "    " + name + ") nodes=(/dev/hidraw*(N)); compadd -- $nodes ;;\n";
        break;
      case Completes::Nothing:
        break;
    }
  }
  s += R"(  esac
}

# Autoloaded from _vornex-cli, this file is the completion function's body; sourced, it
# registers the function.
if [[ $funcstack[1] == _vornex-cli ]]; then
  _vornex_cli "$@"
else
  compdef _vornex_cli vornex-cli
fi
)";
  return s;
}

std::string fishScript() {
  const std::string all = join(allCommandNames(), " ");
  const std::string noCommand = "not __fish_seen_subcommand_from " + all;
  std::string s = header("# fish ", "fish");
  s += "complete -c vornex-cli -f\n";
  for (const auto& c : commandTable())
    s += "complete -c vornex-cli -n " + fishQuoted(noCommand) + " -a " + c.name + " -d " +
         fishQuoted(c.summary) + "\n";
  for (const auto& o : optionTable()) {
    s += "complete -c vornex-cli -l " + std::string(o.longName + 2);
    if (o.shortName != 0) s += " -s " + std::string(1, o.shortName);
    if (o.appliesTo != kAllCommands) {
      // Before a command every option is offered, as the other shells do.
      std::string condition =
          noCommand + "; or __fish_seen_subcommand_from " +
          join(commandNames([&](const CommandSpec& c) { return appliesTo(o, c.command); }), " ");
      s += " -n " + fishQuoted(condition);
    }
    if (takesValue(o)) {
      switch (o.completes) {
        case Completes::File:
          s += " -r -F";
          break;
        case Completes::Choice:
          s += " -x -a " + fishQuoted(o.choices);
          break;
        case Completes::HidrawNode:
          s += " -x -a '(for n in /dev/hidraw*; echo $n; end)'";
          break;
        case Completes::CommandName:
          s += " -x -a " + fishQuoted(all);
          break;
        case Completes::Nothing:
          s += " -x";
          break;
      }
    }
    s += " -d " + fishQuoted(o.summary) + "\n";
  }
  for (const auto& c : commandTable()) {
    const std::string when =
        " -n " + fishQuoted(std::string("__fish_seen_subcommand_from ") + c.name);
    switch (c.operandCompletes) {
      case Completes::File:
        s += "complete -c vornex-cli" + when + " -F\n";
        break;
      case Completes::Choice:
        s += "complete -c vornex-cli" + when + " -a " + fishQuoted(c.operandChoices) + "\n";
        break;
      case Completes::CommandName:
        s += "complete -c vornex-cli" + when + " -a " + fishQuoted(all) + "\n";
        break;
      case Completes::HidrawNode:
        s += "complete -c vornex-cli" + when + " -a '(for n in /dev/hidraw*; echo $n; end)'\n";
        break;
      case Completes::Nothing:
        break;
    }
  }
  return s;
}

}  // namespace

std::string completionScript(Shell shell) {
  switch (shell) {
    case Shell::Bash:
      return bashScript();
    case Shell::Zsh:
      return zshScript();
    case Shell::Fish:
      return fishScript();
  }
  return {};
}

}  // namespace nuv::cli
