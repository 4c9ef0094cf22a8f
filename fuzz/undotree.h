// The scratch tree that fuzz_undo runs --undo in, and that fuzz_seeds writes
// journal lines for: Velk files of each header layout (one behind an ID3v2
// tag), and text files with and without a Velk extension.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velkgen/generator.h"

namespace velkscan::fuzz {

// In the build tree (VELKSCAN_FUZZ_SCRATCH), so that two builds fuzzing at once
// never undo into each other's files.
inline const char* const kUndoTree = VELKSCAN_FUZZ_SCRATCH "/undo";

struct TreeFile {
  std::string name;
  gen::Bytes bytes;
  uint32_t version = 0;  // 0: not a Velk stream
  int32_t headerPos = 0;
};

inline std::vector<TreeFile> UndoTreeFiles() {
  std::vector<TreeFile> files;
  uint64_t seed = 40;
  for (const uint32_t version : {4u, 5u, 7u, 23u}) {
    gen::StreamOptions options;
    options.streamVersion = version;
    options.frameCount = 3;
    options.seed = ++seed;
    options.tag = version == 23 ? gen::TagKind::Id3v2 : gen::TagKind::None;
    options.tagBodySize = version == 23 ? 20 : -1;
    const gen::GeneratedStream stream = gen::GenerateStream(options);
    files.push_back({"v" + std::to_string(version) + (version == 23 ? ".vkq" : ".vlk"), stream.bytes, version,
                     stream.headerPos});
  }
  const gen::Bytes text(100, 'x');
  files.push_back({"notes.txt", text, 0, 0});
  files.push_back({"notes.vlk", text, 0, 0});
  return files;
}

// The bytes a frame-count rewrite may change: word 1 of the header block,
// only its upper half in version 4.
inline bool InCountField(const TreeFile& file, size_t byte) {
  if (file.version == 0) return false;
  const size_t first = static_cast<size_t>(file.headerPos) + (file.version == 4 ? 6 : 4);
  return byte >= first && byte < static_cast<size_t>(file.headerPos) + 8;
}

}  // namespace velkscan::fuzz
