// vornex-cli's manual page and shell completions against its help pages and its parser: the
// page must carry every help page word for word and every option of the table, the parser
// must take every option of the table, and bash must complete partial command lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Completion.h"
#include "cli/Options.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A roff line as the reader sees it: escapes undone, font changes dropped, ".sp" blank.
std::string unroff(std::string line) {
  if (line == ".sp") return "";
  if (line.rfind("\\&", 0) == 0) line.erase(0, 2);
  std::string text;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 == line.size()) {
      text += line[i];
    } else if (line[i + 1] == '-') {
      text += '-', ++i;
    } else if (line[i + 1] == 'e') {
      text += '\\', ++i;
    } else if (line[i + 1] == 'f' && i + 2 < line.size()) {
      i += 2;  // \fB, \fI, \fR, \fP
    } else {
      text += line[i];
    }
  }
  return text;
}

std::vector<std::string> manualLines() {
  std::vector<std::string> lines;
  for (const auto& line : linesOf(slurp(NUV_CLI_MAN_PAGE))) lines.push_back(unroff(line));
  return lines;
}

std::vector<std::string> sectionOf(const std::vector<std::string>& page, const std::string& name) {
  auto begin = std::find(page.begin(), page.end(), ".SH " + name);
  if (begin == page.end()) return {};
  auto end = std::find_if(begin + 1, page.end(),
                          [](const std::string& l) { return l.rfind(".SH ", 0) == 0; });
  return {begin + 1, end};
}

std::vector<nuv::cli::Command> everyPage() {
  std::vector<nuv::cli::Command> pages{nuv::cli::Command::None};
  for (const auto& c : nuv::cli::commandTable()) pages.push_back(c.command);
  return pages;
}

TEST(CliManual, EveryCommandPageIsInTheManualPageLineForLine) {
  const auto page = manualLines();
  ASSERT_FALSE(page.empty()) << "no manual page at " << NUV_CLI_MAN_PAGE;
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS",
                              "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"})
    EXPECT_FALSE(sectionOf(page, section).empty()) << "no section " << section;
  const auto commands = sectionOf(page, "COMMANDS");
  for (const auto& c : nuv::cli::commandTable()) {
    if (c.command == nuv::cli::Command::Help) continue;  // the overview: DESCRIPTION is prose
    const auto help = linesOf(nuv::cli::helpText(c.command));
    auto found = std::search(commands.begin(), commands.end(), help.begin(), help.end());
    EXPECT_NE(found, commands.end()) << "not in COMMANDS as it is in --help:\n"
                                     << nuv::cli::helpText(c.command);
  }
  // A plain '-' may print as a hyphen that a shell does not take for the one in an option.
  const std::regex plainHyphen(R"((^|[^\\])-)");
  for (const auto& line : linesOf(slurp(NUV_CLI_MAN_PAGE))) {
    const bool comment = line.rfind(".\\\"", 0) == 0;
    EXPECT_TRUE(comment || !std::regex_search(line, plainHyphen)) << "unescaped '-': " << line;
  }
}

// Whether a line starts with `prefix` + `item` as a whole word: "  --wait[=SECONDS]" lists
// --wait, "  --device" does not list --.
bool listed(const std::vector<std::string>& lines, const std::string& prefix,
            const std::string& item) {
  const std::string head = prefix + item;
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind(head, 0) == 0 && (l.size() == head.size() || std::strchr(" [,", l[head.size()]));
  });
}

TEST(CliManual, OverviewAndManualPageListEveryCommandOptionAndExitCode) {
  std::vector<std::string> commands, options{"--"}, codes;
  for (const auto& c : nuv::cli::commandTable()) commands.emplace_back(c.name);
  for (const auto& o : nuv::cli::optionTable()) options.emplace_back(o.longName);
  for (const auto& e : nuv::cli::exitStatusTable()) codes.push_back(std::to_string(e.code));
  const auto overview = linesOf(nuv::cli::helpText(nuv::cli::Command::None));
  const auto page = manualLines();
  struct Listing {
    const std::vector<std::string>& items;
    const char* section;  // of the manual page
    const char* prefix;   // of an entry there
  };
  for (const Listing& l : {Listing{commands, "COMMANDS", ".SS "}, Listing{options, "OPTIONS", ""},
                           Listing{codes, "EXIT STATUS", ".B "}}) {
    const auto section = sectionOf(page, l.section);
    for (const std::string& item : l.items) {
      EXPECT_TRUE(listed(overview, "  ", item)) << item << " has no entry in --help";
      EXPECT_TRUE(listed(section, l.prefix, item)) << item << " has no entry in " << l.section;
    }
  }
}

// A value each option takes, by its placeholder.
const std::map<std::string, std::string> kSampleValues = {
    {"PATH", "/dev/hidraw0"},
    {"MS", "5"},
    {"TEXT", "1.01"},
    {"[N:]KIND@WHERE", "no-reply@#3"},
    {"strict|echo", "echo"},
    {"FILE", "out.bin"},
    {"BYTE", "0x00"},
    {"SELECTOR", "usb:1-3.2"},
    {"N", "1"},
    {"SECONDS", "10"},
    {"WHEN", "always"},
};

// A command line of the first command that `option` applies to, with `spelled` (and its
// value) added: "version --flow echo", "pack in.bin -o out.bin --filler=0x00".
std::vector<std::string> commandLineWith(const nuv::cli::OptionSpec& option,
                                         const std::vector<std::string>& spelled) {
  for (const auto& c : nuv::cli::commandTable()) {
    if (!nuv::cli::appliesTo(option, c.command)) continue;
    std::vector<std::string> args{c.name};
    if (c.command == nuv::cli::Command::Completion)
      args.push_back("bash");
    else if (c.operandCount == 1 && c.command != nuv::cli::Command::Help)
      args.push_back("in.bin");
    if ((c.command == nuv::cli::Command::Pack || c.command == nuv::cli::Command::Unpack) &&
        option.id != nuv::cli::OptionId::Output)
      args.insert(args.end(), {"-o", "out.bin"});
    if (option.id == nuv::cli::OptionId::Count && c.command == nuv::cli::Command::Download)
      args.push_back("--station");
    if (option.id == nuv::cli::OptionId::StallTimeout) args.insert(args.end(), {"--flow", "echo"});
    // The emulated device's options need --sim, except for emulate, which is that device.
    if (std::string(option.longName).starts_with("--sim-") &&
        c.command != nuv::cli::Command::Emulate)
      args.push_back("--sim");
    args.insert(args.end(), spelled.begin(), spelled.end());
    return args;
  }
  return {};
}

TEST(CliManual, EveryTableOptionParsesAsItsEntrySpellsIt) {
  for (const auto& o : nuv::cli::optionTable()) {
    const std::string name = o.longName;
    std::vector<std::vector<std::string>> spellings;
    std::string value;
    if (o.value != nullptr) {
      ASSERT_TRUE(kSampleValues.count(o.value)) << "no sample value for " << o.value;
      value = kSampleValues.at(o.value);
      spellings =
          o.valueOptional
              ? std::vector<std::vector<std::string>>{{name}, {name + "=" + value}, {name, value}}
              : std::vector<std::vector<std::string>>{{name, value}, {name + "=" + value}};
    } else {
      spellings = {{name}};
    }
    if (o.shortName != 0) {
      const std::string shortName = std::string("-") + o.shortName;
      spellings.push_back(o.value ? std::vector<std::string>{shortName, value}
                                  : std::vector<std::string>{shortName});
    }
    for (const auto& spelled : spellings) {
      const auto args = commandLineWith(o, spelled);
      ASSERT_FALSE(args.empty()) << name << " applies to no command";
      auto parsed = nuv::cli::parseOptions(args);
      EXPECT_TRUE(parsed.ok()) << spelled.front() << ": " << parsed.error().text;
    }
  }
}

TEST(CliManual, EveryOptionAHelpPageMentionsIsInTheTable) {
  const std::regex mention(R"((^|[\s\[(,|'])(--[a-z][a-z-]*[a-z]|-[a-zA-Z])\b)");
  // Lines that run other programs (sudo udevadm ..., sudo install -m ...) use their options.
  const std::regex otherProgram(R"(^ *sudo .*$)", std::regex::multiline);
  for (nuv::cli::Command command : everyPage()) {
    const std::string help = std::regex_replace(nuv::cli::helpText(command), otherProgram, "");
    for (std::sregex_iterator m(help.begin(), help.end(), mention), end; m != end; ++m)
      EXPECT_NE(nuv::cli::optionNamed((*m)[2]), nullptr)
          << (*m)[2] << " is in the help of '" << nuv::cli::commandSpec(command)->name
          << "' (or the overview) but not in the table of options";
  }
}

bool have(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

int exitCodeOf(const std::string& shellCommand) {
  const int status = std::system(shellCommand.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string outputOf(const std::string& shellCommand) {
  std::string out;
  if (FILE* pipe = popen(shellCommand.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

class CliCompletion : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("cli_completion_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }

  fs::path dir_;
};

// bash completes a line as it does at the prompt: the words up to the cursor, the last one
// empty after a space, handed to the function that `complete` registered.
constexpr const char* kBashDriver = R"(source "$1"
read -ra COMP_WORDS <<< "$2"
[[ $2 == *' ' ]] && COMP_WORDS+=('')
COMP_LINE=$2 COMP_POINT=${#2} COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
function=$(complete -p vornex-cli | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
"$function" vornex-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}" | sort
)";

TEST_F(CliCompletion, BashCompletesCommandsOptionsAndValues) {
  if (!have("bash")) GTEST_SKIP() << "no bash";
  const fs::path script =
      write("vornex-cli.bash", nuv::cli::completionScript(nuv::cli::Shell::Bash));
  const fs::path driver = write("driver.bash", kBashDriver);
  write("fw.bin", "");

  struct Case {
    const char* line;
    std::set<std::string> offered;     // all of these
    std::set<std::string> notOffered;  // none of these
    bool exact;                        // and nothing else
  };
  const Case cases[] = {
      {"vornex-cli dow", {"download"}, {}, true},
      {"vornex-cli --sim-latency 5 dow", {"download"}, {}, true},
      {"vornex-cli download --fl", {"--flow"}, {}, true},
      {"vornex-cli download --flow ", {"strict", "echo"}, {}, true},
      {"vornex-cli download --flow=e", {"--flow=echo"}, {}, true},
      {"vornex-cli help ", {"doctor", "udev-rule", "download"}, {}, false},
      {"vornex-cli completion ", {"bash", "fish", "zsh"}, {}, true},
      {"vornex-cli inspect --", {"--json", "--help"}, {"--flow", "--device", "--sim"}, false},
      {"vornex-cli emulate --", {"--memory-out", "--uhid"}, {"--device", "--verify"}, false},
      {"vornex-cli pack fw.bin -o f", {"fw.bin"}, {}, true},
      {"vornex-cli download ", {"fw.bin"}, {"--flow"}, false},
      {"vornex-cli version --sim-latency ", {}, {}, true},
      // An optional value is a word of its own only when it is one: --color always, --wait 10.
      {"vornex-cli --color always dow", {"download"}, {}, true},
      {"vornex-cli --wait 10 ver", {"version", "verify"}, {}, true},
      {"vornex-cli download --color=al", {"--color=always"}, {}, true},
      {"vornex-cli inspect --color ", {"fw.bin"}, {"always"}, false},
  };
  for (const Case& c : cases) {
    const auto words = linesOf(outputOf("cd '" + dir_.string() + "' && bash '" + driver.string() +
                                        "' '" + script.string() + "' '" + c.line + "' 2>&1"));
    std::set<std::string> got(words.begin(), words.end());
    got.erase("");
    for (const auto& w : c.offered) EXPECT_TRUE(got.count(w)) << c.line << " does not offer " << w;
    for (const auto& w : c.notOffered) EXPECT_FALSE(got.count(w)) << c.line << " offers " << w;
    if (c.exact) {
      EXPECT_EQ(got, c.offered) << c.line;
    }
  }
}

TEST_F(CliCompletion, ZshAndFishScriptsParse) {
  bool checked = false;
  for (auto [shell, program] :
       {std::pair{nuv::cli::Shell::Zsh, "zsh"}, std::pair{nuv::cli::Shell::Fish, "fish"}}) {
    if (!have(program)) continue;
    const fs::path script =
        write(std::string("script.") + program, nuv::cli::completionScript(shell));
    EXPECT_EQ(exitCodeOf(std::string(program) + " -n '" + script.string() + "'"), 0) << program;
    checked = true;
  }
  if (!checked) GTEST_SKIP() << "neither zsh nor fish is installed";
}

#ifdef VORNEX_CLI
TEST_F(CliCompletion, TheProgramPrintsTheScriptsAndRefusesOtherShells) {
  for (auto [shell, name] :
       {std::pair{nuv::cli::Shell::Bash, "bash"}, std::pair{nuv::cli::Shell::Zsh, "zsh"},
        std::pair{nuv::cli::Shell::Fish, "fish"}})
    EXPECT_EQ(outputOf(std::string("'") + VORNEX_CLI + "' completion " + name),
              nuv::cli::completionScript(shell));
  EXPECT_EQ(exitCodeOf(std::string("'") + VORNEX_CLI + "' completion tcsh 2>/dev/null"), 2);
  EXPECT_EQ(exitCodeOf(std::string("'") + VORNEX_CLI + "' completion 2>/dev/null"), 2);
}
#endif

}  // namespace
