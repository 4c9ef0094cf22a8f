#include "cli/journal.h"

#include <algorithm>
#include <fstream>

#include "platform/filetimes.h"
#include "stream/filestream.h"
#include "stream/headerblock.h"

namespace velkscan::cli {

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

bool FromHex(const std::string& text, uint8_t (&bytes)[kHeaderBlockSize]) {
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

std::optional<std::string> Unescape(const std::string& text) {
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

std::string FormatJournalLine(const JournalEntry& entry) {
  return std::string(kTag) + '\t' + std::to_string(entry.offset) + '\t' + Hex(entry.before) + '\t' +
         Hex(entry.after) + '\t' + Escape(entry.path) + '\n';
}

std::optional<JournalEntry> ParseJournalLine(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string::npos) return std::nullopt;
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
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

int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err) {
  std::ifstream in(journalPath, std::ios::binary);
  if (!in) {
    std::fprintf(err, "velkscan-cli: cannot read the journal %s\n", journalPath.c_str());
    return 2;
  }
  std::vector<JournalEntry> entries;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::optional<JournalEntry> entry = ParseJournalLine(line);
    if (!entry) {
      std::fprintf(err, "velkscan-cli: %s:%d: not a journal line; nothing was changed\n", journalPath.c_str(),
                   number);
      return 2;
    }
    entries.push_back(*entry);
  }

  int result = 0;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const char* path = it->path.c_str();
    const NativeHandle handle = OpenFileForScan(it->path, true);
    if (handle == kInvalidHandle) {
      std::fprintf(out, "%s: not restored, file open failed.\n", path);
      result = 1;
      continue;
    }
    FileTimes times;
    const bool timesSaved = keepTimes && SaveFileTimes(handle, times);
    FileStream stream(handle);
    const int32_t offset = static_cast<int32_t>(it->offset);
    uint8_t now[kHeaderBlockSize];
    if (!ReadHeaderBlock(stream, offset, now) || !std::equal(now, now + kHeaderBlockSize, it->after)) {
      std::fprintf(out, "%s: not restored, the header at %u no longer holds the repaired bytes.\n", path,
                   it->offset);
      result = 1;
      continue;
    }
    const bool written = SeekToHeader(stream, offset) && stream.Write(it->before, kHeaderBlockSize) ==
                                                             static_cast<uint32_t>(kHeaderBlockSize);
    if (timesSaved) RestoreFileTimes(handle, times);
    if (written) {
      std::fprintf(out, "%s: header at %u restored.\n", path, it->offset);
    } else {
      std::fprintf(out, "%s: not restored, the write failed.\n", path);
      result = 1;
    }
  }
  std::fflush(out);
  return result;
}

}  // namespace velkscan::cli
