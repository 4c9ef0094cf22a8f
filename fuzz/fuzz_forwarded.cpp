// The message a second start of the Linux window forwards to the first.
// Decoding any bytes: the message is complete exactly when a name starts
// with a zero byte, every name is non-empty without a zero byte, and the
// names encoded again are the input's first bytes (nothing read beyond
// them). Encoding the input's lines (split at '\n', any bytes) and decoding
// gives back every line that names something, and the message cut short by
// one byte gives nothing: a start that dies mid-message forwards no name.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scan/commandline.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "forwarded names: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that a read past it is a read
  // past an allocation.
  const std::unique_ptr<char[]> copy(new char[size > 0 ? size : 1]);
  std::copy(data, data + size, copy.get());
  const std::string_view input(copy.get(), size);

  const auto names = velkscan::DecodeForwardedNames(input);
  const bool ended =
      !input.empty() && (input[0] == '\0' || input.find(std::string_view("\0\0", 2)) != input.npos);
  if (names.has_value() != ended) Fail("complete, or not, against the zero bytes");
  if (names) {
    for (const std::string& name : *names) {
      if (name.empty() || name.find('\0') != std::string::npos) Fail("an empty name or one with a zero");
    }
    const std::string again = velkscan::EncodeForwardedNames(*names);
    if (input.substr(0, again.size()) != again) Fail("the names are not the message's start");
  }

  std::vector<std::string> lines, named;
  for (std::size_t at = 0; at <= input.size();) {
    const std::size_t end = std::min(input.find('\n', at), input.size());
    lines.emplace_back(input.substr(at, end - at));
    if (!lines.back().empty() && lines.back().find('\0') == std::string::npos) named.push_back(lines.back());
    at = end + 1;
  }
  const std::string message = velkscan::EncodeForwardedNames(lines);
  if (velkscan::DecodeForwardedNames(message) != named) Fail("the round trip lost or changed a name");
  if (velkscan::DecodeForwardedNames(std::string_view(message).substr(0, message.size() - 1)))
    Fail("a message cut short gave names");
  return 0;
}
