// The texts a start of the desktop programs brings, taken apart without the
// system or Qt, so that the same code runs (and is fuzzed) on every platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The message a second start of the Linux window sends to the first: each
// name ended by a zero byte, then one more zero byte. An empty name would end
// the message early and a name cannot hold a zero byte, so neither is sent
// (neither comes from a command line).
inline std::string EncodeForwardedNames(const std::vector<std::string>& names) {
  std::string message;
  for (const std::string& name : names) {
    if (name.empty() || name.find('\0') != std::string::npos) continue;
    message += name;
    message += '\0';
  }
  message += '\0';
  return message;
}

// The names of a message received so far: nothing while its closing zero
// byte has not come (bytes after it are not read). Every name is non-empty.
inline std::optional<std::vector<std::string>> DecodeForwardedNames(std::string_view received) {
  // The end first: a message still coming costs no copies.
  std::size_t end = 0;
  while (end < received.size() && received[end] != '\0') {
    end = received.find('\0', end);
    if (end == std::string_view::npos) return std::nullopt;
    ++end;
  }
  if (end == received.size()) return std::nullopt;
  std::vector<std::string> names;
  for (std::size_t at = 0; at < end;) {
    const std::size_t zero = received.find('\0', at);
    names.emplace_back(received.substr(at, zero - at));
    at = zero + 1;
  }
  return names;
}

}  // namespace velkscan
