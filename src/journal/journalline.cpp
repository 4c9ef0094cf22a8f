#include "journal/journalline.h"

namespace velkscan::journal {

namespace {

constexpr const char* kTag = "velkscan-repair";
constexpr char kHex[] = "0123456789abcdef";

std::string Hex(const uint8_t (&bytes)[kHeaderBlockSize]) {
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool FromHex(std::string_view text, uint8_t (&bytes)[kHeaderBlockSize]) {
  if (text.size() != 2 * kHeaderBlockSize) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (int i = 0; i < kHeaderBlockSize; ++i) {
    const int high = digit(text[2 * i]);
    const int low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string Escape(const std::string& path) {
  std::string out;
  for (char c : path) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

}  // namespace

bool IsJournalFirstLine(std::string_view line) {
  return line == kJournalHeading || ParseJournalLine(line).has_value();
}

std::string FormatJournalLine(const JournalEntry& entry) {
  return std::string(kTag) + '\t' + std::to_string(entry.offset) + '\t' + Hex(entry.before) + '\t' +
         Hex(entry.after) + '\t' + Escape(entry.path) + '\n';
}

std::optional<JournalEntry> ParseJournalLine(std::string_view line) {
  std::string_view fields[5];
  for (int i = 0; i < 4; ++i) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    fields[i] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  fields[4] = line;
  JournalEntry entry;
  if (fields[0] != kTag || fields[1].empty() || fields[1].size() > 10) return std::nullopt;
  uint64_t offset = 0;
  for (char c : fields[1]) {
    if (c < '0' || c > '9') return std::nullopt;
    offset = offset * 10 + static_cast<uint64_t>(c - '0');
  }
  if (offset > 0x7FFFFFFF) return std::nullopt;
  entry.offset = static_cast<uint32_t>(offset);
  if (!FromHex(fields[2], entry.before) || !FromHex(fields[3], entry.after)) return std::nullopt;
  const std::optional<std::string> path = Unescape(fields[4]);
  if (!path || path->empty()) return std::nullopt;
  entry.path = *path;
  return entry;
}

}  // namespace velkscan::journal
