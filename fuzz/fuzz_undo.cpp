// --undo on an arbitrary journal, in a scratch tree of Velk and other files.
// Whatever the journal says, the only bytes that may change are those of a
// Velk file's frame-count field, and nothing may grow or shrink.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "journal/journal.h"
#include "journal/undo.h"
#include "undotree.h"

namespace {

namespace fs = std::filesystem;
using velkscan::fuzz::TreeFile;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "undo: %s\n", what.c_str());
  std::abort();
}

velkscan::gen::Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return velkscan::gen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<TreeFile> files = velkscan::fuzz::UndoTreeFiles();
  static std::FILE* quiet = std::fopen("/dev/null", "w");
  const fs::path tree = velkscan::fuzz::kUndoTree;
  fs::create_directories(tree);
  for (const TreeFile& file : files) velkscan::gen::WriteFile(tree / file.name, file.bytes);
  const fs::path journal = tree / "journal";
  std::ofstream(journal, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  // Appending to it is allowed only for a journal of ours: its heading, or
  // a repair line, first (a first line cut off at the longest line is none).
  if (velkscan::journal::RefuseJournalPath(journal.string(), {}).empty() && size > 0) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!velkscan::journal::IsJournalFirstLine(text.substr(0, text.find('\n'))))
      Fail("a journal taken whose first line is not ours");
  }
  velkscan::journal::UndoJournal(journal.string(), false, quiet, quiet);

  for (const TreeFile& file : files) {
    const velkscan::gen::Bytes now = ReadAll(tree / file.name);
    if (now.size() != file.bytes.size()) Fail(file.name + ": the length changed");
    for (size_t i = 0; i < now.size(); ++i) {
      if (now[i] != file.bytes[i] && !InCountField(file, i))
        Fail(file.name + ": byte " + std::to_string(i) + " changed outside the frame count");
    }
  }
  return 0;
}
