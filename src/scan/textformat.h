// Composition of report texts in the manner of wsprintf, for both character
// types: "%s" inserts a string, "%u" an unsigned 32-bit decimal number,
// "%02u" (any zero-padded width) one of at least that many digits, "%%" a
// percent sign. Nothing else is supported, and nothing else is needed.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/text.h"

namespace velkscan {

class FormatArg {
 public:
  FormatArg(TextView text) : text_(text), isText_(true) {}
  FormatArg(const Char* text) : text_(text), isText_(true) {}
  FormatArg(const Text& text) : text_(text), isText_(true) {}
  FormatArg(uint32_t number) : number_(number) {}

  bool isText() const { return isText_; }
  TextView text() const { return text_; }
  uint32_t number() const { return number_; }

 private:
  TextView text_;
  uint32_t number_ = 0;
  bool isText_ = false;
};

// Appends the formatted text to out. A conversion without a matching
// argument, or of the wrong kind, inserts nothing.
void AppendFormat(Text& out, TextView format, std::initializer_list<FormatArg> args);

inline Text FormatText(TextView format, std::initializer_list<FormatArg> args) {
  Text out;
  AppendFormat(out, format, args);
  return out;
}

}  // namespace velkscan
