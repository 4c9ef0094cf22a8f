// The file list built from an arbitrary command line, as the programs split
// their own command line (first byte 1) or a forwarded one (first byte 0).
// Every path listed must have a Velk extension, come from the text (a
// substring of it), and be listed once. Runs in an empty scratch folder;
// inputs naming "/" are skipped, so no walk leaves it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "scan/filelist.h"
#include "scratchfolder.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "path list: %s: %s\n", what, path.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InScratchFolder scratch(VELKSCAN_FUZZ_SCRATCH "/paths");
  if (!scratch.inside() || size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('/') != std::string::npos) return 0;

  velkscan::FileList list;
  list.AddCommandLine(text, data[0] & 1);
  std::set<std::string> seen;
  for (const std::string& path : list.paths) {
    if (!velkscan::HasVelkExtension(path)) Fail("no Velk extension", path);
    if (text.find(path) == std::string::npos) Fail("not from the text", path);
    if (!seen.insert(path).second) Fail("listed twice", path);
  }
  return 0;
}
