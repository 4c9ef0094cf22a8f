// Counts what a frame check reads in Velk files: frames, prefix-code words
// and bits, through the reference decoding, so that a timing can be given
// per code word. Only frames that pass count.
//
//   count_words PATH...     (files or folders, walked recursively)
//
// Prints one line: files frames words bits.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "decoder/framedecoder.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace velkscan {
namespace {

struct Totals {
  uint64_t files = 0, frames = 0, words = 0, bits = 0;
};

void CountFile(const std::filesystem::path& path, Totals& t) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  MemoryStream stream(bytes);
  StreamInfo info{};
  if (ReadStreamHeader(info, stream) != HeaderResult::kOk) return;
  ++t.files;
  auto d = std::make_unique<FrameDecoder>(stream);
  if (!d->Start(info)) return;
  for (;;) {
    const uint64_t words = d->referenceWords, bits = d->BitsConsumed64();
    if (d->CheckNextFrameReference() != FrameResult::kPassed) return;
    ++t.frames;
    t.words += d->referenceWords - words;
    t.bits += d->BitsConsumed64() - bits;
  }
}

bool IsVelk(const std::filesystem::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".vlk" || ext == ".vkq" || ext == ".vqk";
}

}  // namespace
}  // namespace velkscan

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  velkscan::Totals t;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& e : fs::recursive_directory_iterator(argv[i]))
        if (e.is_regular_file() && velkscan::IsVelk(e.path())) velkscan::CountFile(e.path(), t);
    } else if (velkscan::IsVelk(argv[i])) {
      velkscan::CountFile(argv[i], t);
    }
  }
  std::printf("%llu %llu %llu %llu\n", static_cast<unsigned long long>(t.files),
              static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(t.words),
              static_cast<unsigned long long>(t.bits));
  return 0;
}
