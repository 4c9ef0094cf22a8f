#include "scan/textformat.h"

namespace velkscan {

namespace {

void AppendNumber(Text& out, uint32_t value, std::size_t width, bool zeroPad) {
  Char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<Char>(VTEXT('0') + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::size_t i = count; i < width; ++i) out += zeroPad ? VTEXT('0') : VTEXT(' ');
  while (count > 0) out += digits[--count];
}

}  // namespace

void AppendFormat(Text& out, TextView format, std::initializer_list<FormatArg> args) {
  const FormatArg* arg = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    const Char c = format[i];
    if (c != VTEXT('%') || i + 1 == format.size()) {
      out += c;
      continue;
    }
    ++i;
    if (format[i] == VTEXT('%')) {
      out += VTEXT('%');
      continue;
    }
    bool zeroPad = false;
    if (format[i] == VTEXT('0')) {
      zeroPad = true;
      ++i;
    }
    std::size_t width = 0;
    while (i < format.size() && format[i] >= VTEXT('0') && format[i] <= VTEXT('9')) {
      width = width * 10 + static_cast<std::size_t>(format[i] - VTEXT('0'));
      ++i;
    }
    if (i == format.size()) break;
    const bool haveArg = arg != args.end();
    if (format[i] == VTEXT('s')) {
      if (haveArg && arg->isText()) out += arg->text();
    } else if (format[i] == VTEXT('u')) {
      if (haveArg && !arg->isText()) AppendNumber(out, arg->number(), width, zeroPad);
    }
    if (haveArg) ++arg;
  }
}

}  // namespace velkscan
