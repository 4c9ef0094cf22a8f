// The Windows programs' command lines, on any platform: their own (the
// program name skipped) and one forwarded by a second start in WM_COPYDATA
// (taken up to its zero, never beyond the data). First byte: which; the rest
// is the text or the data. The program name's end and the copied text stay
// inside the input, and every path listed has a Velk extension, comes from
// the text and is listed once. Runs in an empty scratch folder; inputs
// naming "/" or "\" are skipped, so no walk leaves it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "scan/commandline.h"
#include "scan/filelist.h"
#include "scratchfolder.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "command line: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InScratchFolder scratch(VELKSCAN_FUZZ_SCRATCH "/cmdline");
  if (!scratch.inside() || size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (input.find_first_of("/\\") != std::string::npos) return 0;

  // The forwarded data is copied, so that a read past it is a read past an
  // allocation.
  const std::string copy(input);
  velkscan::TextView text;
  if (data[0] & 1) {
    text = velkscan::SkipProgramName(input);
    if (text.data() < input.data() || text.data() + text.size() != input.data() + input.size())
      Fail("the rest is not the end of the line");
  } else {
    text = velkscan::CopiedText(copy.data(), copy.size());
    if (text.data() != copy.data() || text.size() > copy.size() ||
        text.find('\0') != velkscan::TextView::npos)
      Fail("the copied text is not the data up to its zero");
    if (text.size() < copy.size() && copy[text.size()] != '\0') Fail("the copied text stops short");
  }
  velkscan::FileList list;
  list.AddCommandLine(text, false);
  std::set<std::string> seen;
  for (const std::string& path : list.paths) {
    if (!velkscan::HasVelkExtension(path)) Fail("a path without a Velk extension");
    if (text.find(path) == velkscan::TextView::npos) Fail("a path not from the text");
    if (!seen.insert(path).second) Fail("a path listed twice");
  }
  return 0;
}
