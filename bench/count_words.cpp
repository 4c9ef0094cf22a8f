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

#include "decoder/framesyntax.h"
#include "support/memorystream.h"
#include "stream/streaminfo.h"

namespace velkscan {
namespace {

// The reference reader, counting every code word it decodes.
class CountingReader : public ReferenceReader {
 public:
  CountingReader(FrameDecoder& d, uint64_t& words) : ReferenceReader(d), words_(words) {}
  int32_t Decode(TableId id) {
    ++words_;
    return ReferenceReader::Decode(id);
  }
  void Split6(TableId id, int32_t& pattern, int32_t& flag) {
    ++words_;
    ReferenceReader::Split6(id, pattern, flag);
  }
  template <class StoreA, class StoreB>
  void Codes(CodeRun a, CodeRun b, int count, StoreA storeA, StoreB storeB) {
    words_ += static_cast<uint64_t>(count) * ((a.slot != nullptr) + (b.slot != nullptr));
    ReferenceReader::Codes(a, b, count, storeA, storeB);
  }

 private:
  uint64_t& words_;
};

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
  d->ResetDecoder();
  d->Configure(info);
  if (!d->SeekFirstFrame()) return;
  while (d->framesDecoded < d->frameCount) {
    const uint32_t saved = d->wordIndex;
    const uint32_t length = d->ReadBits(20);
    const uint32_t start = d->BitsConsumed();
    uint64_t words = 0;
    CountingReader reader(*d, words);
    if (d->streamVersion == 7 || d->streamVersion == 23) {
      ParseFrameSv7(*d, reader);
    } else {
      ParseFrameSv46(*d, reader);
    }
    d->RefillRing(saved);
    if (d->BitsConsumed() - start != length) return;
    ++d->framesDecoded;
    ++t.frames;
    t.words += words;
    t.bits += 20 + length;
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
