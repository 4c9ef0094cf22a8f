// A folder tree's files and their bytes, to compare and to put back; and
// small text helpers for program output.
#pragma once

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "stream/testfiles.h"

namespace velkscan::test {

using Snapshot = std::map<std::string, Bytes>;

inline Snapshot Take(const std::filesystem::path& root) {
  Snapshot files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files[entry.path().string()] = ReadBytes(entry.path());
  return files;
}

inline void Restore(const Snapshot& files) {
  for (const auto& [path, bytes] : files) WriteBytes(path, bytes);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline std::string Hex(const Bytes& bytes) {
  std::string hex;
  for (uint8_t c : bytes) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  return hex;
}

}  // namespace velkscan::test
