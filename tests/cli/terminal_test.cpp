// How a terminal shows a name: one table over the edges of UTF-8 and of the control characters.
#include "cli/terminal.h"

#include <gtest/gtest.h>

namespace velkscan::cli {
namespace {

TEST(EscapeForTerminal, EscapesControlsBadBytesAndTheBackslashOnly) {
  const struct {
    std::string name, shown;
    bool utf8;
  } names[] = {
      {"a b~.vlk", "a b~.vlk", true},                      // printable ASCII, the space too, as it is
      {"\x1f\n\x7f", "\\x1f\\x0a\\x7f", true},             // C0 and DEL
      {"a\\b", "a\\\\b", true},                            // so no escape can be forged
      {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f", true},  // C1, first and last
      {"\xc2\xa0\xc3\x80\xdf\xbf", "\xc2\xa0\xc3\x80\xdf\xbf", true},  // past C1, up to U+07FF
      {"\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbd", "\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbd",
       true},
      {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", true},  // U+10000, U+10FFFF
      {"\xc1\xbf", "\\xc1\\xbf", false},                    // a too long form of U+007F
      {"\xe0\x9f\xbf", "\\xe0\\x9f\\xbf", false},           // of U+07FF
      {"\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf", false},  // of U+FFFF
      {"\xed\xa0\x80", "\\xed\\xa0\\x80", false},           // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", false},  // past U+10FFFF
      {"\xf5\x80", "\\xf5\\x80", false},                    // no lead byte
      {"a\xe2\x82", "a\\xe2\\x82", false},                  // cut short by the end
      {"\xe2(\xa2", "\\xe2(\\xa2", false},                  // a lead byte without its tail
  };
  for (const auto& [name, shown, utf8] : names) {
    EXPECT_EQ(EscapeForTerminal(name), shown) << Hex(name);
    EXPECT_EQ(IsUtf8(name), utf8) << Hex(name);
  }
  EXPECT_EQ(Hex(std::string("\x00\x9f\xff", 3)), "009fff");
}

}  // namespace
}  // namespace velkscan::cli
