// The command-line programs' words about their own use (velkscan-cli and
// velkgen): --help wrapped to 80 columns with the options in their groups,
// and a parse error said after the program's name, with the option perhaps
// meant and the usage line.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <string_view>

namespace velkscan::cli {

inline constexpr std::size_t kHelpWidth = 80;
// Where an option's description starts: after its names, or on the next
// line when they are longer.
inline constexpr std::size_t kHelpTextColumn = 24;

// text in lines of at most width columns (a word longer than that on a line
// of its own), the first after firstPrefix, the others after indent spaces;
// "\n" ends every line. A "\n" in text starts a new line.
std::string Wrap(std::string_view text, std::string_view firstPrefix, std::size_t indent,
                 std::size_t width = kHelpWidth);

// The help: the usage line, the description, each group of options under
// its name in the order the groups first appear (an option of no group is
// not shown), every option with its names (and its value's name) and text,
// then the footer, all wrapped to kHelpWidth.
class GroupedHelp : public CLI::Formatter {
 public:
  explicit GroupedHelp(std::string usage) : usage_(std::move(usage)) {}
  std::string make_usage(const CLI::App*, std::string) const override { return usage_ + "\n"; }
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override;

 private:
  std::string usage_;
};

// The long option of app nearest to typed (a letter left out, added, changed
// or two swapped, or the start of only one), "" when none is near.
std::string NearestOption(const CLI::App& app, std::string_view typed);

// After app.parse threw: --help and --version print on standard output (0);
// any other error is said on standard error as "program: ...", an unknown
// option as "unknown option --repiar (did you mean --repair?)", followed by
// the usage line and where the help is (usageStatus).
int ReportParseError(const CLI::App& app, const CLI::ParseError& error, const char* program, int usageStatus);

}  // namespace velkscan::cli
