#include "cli/usage.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace velkscan::cli {

std::string Wrap(std::string_view text, std::string_view firstPrefix, std::size_t indent, std::size_t width) {
  std::string out(firstPrefix);
  std::size_t column = firstPrefix.size();
  bool lineHasWord = false;
  const std::string margin(indent, ' ');
  for (std::size_t i = 0; i <= text.size();) {
    if (i == text.size()) break;
    if (text[i] == '\n') {
      out += '\n';
      out += margin;
      column = indent;
      lineHasWord = false;
      ++i;
      continue;
    }
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const std::size_t end = std::min(text.find_first_of(" \n", i), text.size());
    const std::string_view word = text.substr(i, end - i);
    if (lineHasWord && column + 1 + word.size() > width) {
      out += '\n';
      out += margin;
      column = indent;
      lineHasWord = false;
    }
    if (lineHasWord) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineHasWord = true;
    i = end;
  }
  // No trailing spaces where a line ended early.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out + "\n";
}

namespace {

std::string NamesOf(const CLI::Option* option) {
  if (option->get_positional()) {
    std::string name = option->get_name();
    if (option->get_items_expected_max() > 1) name += "...";
    return name;
  }
  std::string names;
  for (const std::string& s : option->get_snames()) names += (names.empty() ? "-" : ", -") + s;
  for (const std::string& l : option->get_lnames()) names += (names.empty() ? "--" : ", --") + l;
  // Without the words its checks add ("N:UINT in [1 - 1024]").
  const std::string value = option->get_type_name().substr(0, option->get_type_name().find(':'));
  if (option->get_type_size() != 0 && !value.empty()) names += " " + value;
  return names;
}

// Letters to change, add or leave out, and neighbours to swap, to make a into b.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string GroupedHelp::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const {
  std::string out = usage_ + "\n\n" + Wrap(app->get_description(), "", 0) + "\n";
  const std::vector<const CLI::Option*> options = app->get_options();
  std::vector<std::string> groups;
  for (const CLI::Option* option : options) {
    if (!option->get_group().empty() &&
        std::find(groups.begin(), groups.end(), option->get_group()) == groups.end())
      groups.push_back(option->get_group());
  }
  for (const std::string& group : groups) {
    out += group + ":\n";
    for (const CLI::Option* option : options) {
      if (option->get_group() != group) continue;
      std::string names = "  " + NamesOf(option);
      if (names.size() + 2 > kHelpTextColumn) {
        out += names + "\n";
        names.clear();
      }
      names.resize(kHelpTextColumn, ' ');
      out += Wrap(option->get_description(), names, kHelpTextColumn);
    }
    out += "\n";
  }
  const std::string footer = app->get_footer();
  // Paragraphs of the footer, each wrapped; an indented line keeps its indent
  // for what follows it.
  std::size_t start = 0;
  while (start < footer.size()) {
    std::size_t end = footer.find('\n', start);
    if (end == std::string::npos) end = footer.size();
    const std::string_view line = std::string_view(footer).substr(start, end - start);
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string_view::npos) {
      out += "\n";
    } else {
      // "  0    text": the text's column is where the text starts.
      const std::size_t gap = line.find("  ", indent);
      const std::size_t hang = gap == std::string_view::npos ? indent : line.find_first_not_of(' ', gap);
      out += Wrap(line.substr(hang), line.substr(0, hang), hang);
    }
    start = end + 1;
  }
  return out;
}

std::string NearestOption(const CLI::App& app, std::string_view typed) {
  typed = typed.substr(0, typed.find('='));
  if (typed.rfind("--", 0) != 0 || typed.size() < 3) return "";
  typed.remove_prefix(2);
  std::string nearest, startsWith;
  std::size_t best = std::max<std::size_t>(1, typed.size() / 3) + 1;
  int starts = 0;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      if (name.rfind(typed, 0) == 0) {
        ++starts;
        startsWith = name;
      }
      const std::size_t distance = Distance(typed, name);
      if (distance < best) best = distance, nearest = name;
    }
  }
  if (!nearest.empty()) return "--" + nearest;
  return starts == 1 ? "--" + startsWith : "";
}

int ReportParseError(const CLI::App& app, const CLI::ParseError& error, const char* program,
                     int usageStatus) {
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
    // --help or --version
    const std::string text =
        dynamic_cast<const CLI::CallForVersion*>(&error) != nullptr ? app.version() + "\n" : app.help();
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::string message = error.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    for (const std::string& extra : app.remaining()) {
      if (extra.size() < 2 || extra[0] != '-') {
        message = "unexpected argument " + extra;
        break;
      }
      message = "unknown option " + extra;
      const std::string meant = NearestOption(app, extra);
      if (!meant.empty()) message += " (did you mean " + meant + "?)";
      break;
    }
  }
  const auto* formatter = dynamic_cast<const CLI::Formatter*>(app.get_formatter().get());
  const std::string usage = formatter != nullptr ? formatter->make_usage(&app, program) : "";
  std::fprintf(stderr, "%s: %s\n%sRun '%s --help' for more information.\n", program, message.c_str(),
               usage.c_str(), program);
  return usageStatus;
}

}  // namespace velkscan::cli
