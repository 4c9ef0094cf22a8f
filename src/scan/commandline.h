// The texts a start of the Windows programs brings, taken apart without the
// system, so that the same code runs (and is fuzzed) on every platform.
#pragma once

#include <cstddef>

#include "platform/text.h"

namespace velkscan {

// The command line without the program name: a name in double quotes is
// skipped up to and including the closing quote, otherwise up to and
// including the first space; then one more space, if there is one. When
// nothing is left, the whole command line. Views into line.
inline TextView SkipProgramName(TextView line) {
  std::size_t end = !line.empty() && line[0] == VTEXT('"') ? line.find(VTEXT('"'), 1) : line.find(VTEXT(' '));
  end = end == TextView::npos ? line.size() : end + 1;
  if (end < line.size() && line[end] == VTEXT(' ')) ++end;
  // A tab after the name: no end was found, and the whole line goes.
  return end < line.size() ? line.substr(end) : line;
}

// The text in a forwarded command line's data of `bytes` bytes: up to its
// terminating zero, and never beyond the data (a last odd byte is not read).
inline TextView CopiedText(const void* data, std::size_t bytes) {
  if (data == nullptr) return TextView();
  const TextView whole(static_cast<const Char*>(data), bytes / sizeof(Char));
  return whole.substr(0, whole.find(Char(0)));
}

}  // namespace velkscan
