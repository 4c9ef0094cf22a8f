// Counts what a frame check reads in Velk files: frames, prefix-code words
// and bits, through the reference decoding, so that a timing can be given
// per code word; and the table look-ups the checking path makes over the
// same frames, each a load the next one waits on. Only frames that pass
// count. Then it times, on this processor, a chain of dependent loads from a
// table in the first-level cache, alone and with the shifts a look-up of the
// checking path puts between two loads: look-ups per word times that is
// the least time per word one chain of look-ups allows.
//
//   count_words PATH...     (files or folders, walked recursively)
//
// Prints one line: files frames words bits look-ups, then the ns per load
// and per look-up's chain.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "decoder/framedecoder.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace velkscan {
namespace {

struct Totals {
  uint64_t files = 0, frames = 0, words = 0, bits = 0, lookups = 0;
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
    if (d->CheckNextFrameReference() != FrameResult::kPassed) break;
    ++t.frames;
    t.words += d->referenceWords - words;
    t.bits += d->BitsConsumed64() - bits;
  }
  // The same frames on the checking path, as a scan walks them.
  const uint64_t frames = d->framesDecoded, before = g_tableLookups;
  d->Start(info);
  while (d->framesDecoded < frames && d->CheckNextFrame() == FrameResult::kPassed) {
  }
  t.lookups += g_tableLookups - before;
}

// Processor ns per step of `step` (best of five), which returns the next
// state from the last one.
template <class Step>
double NsPerStep(Step step) {
  constexpr int kSteps = 20'000'000;
  double best = 1e9;
  uint64_t state = 1;
  for (int round = 0; round < 5; ++round) {
    const std::clock_t start = std::clock();
    for (int i = 0; i < kSteps; ++i) state = step(state);
    best = std::min(best, double(std::clock() - start) / CLOCKS_PER_SEC * 1e9 / kSteps);
  }
  if (state == 42) std::puts("");  // keeps the chain from being optimised away
  return best;
}

// A load that waits on the one before, from a table of kRunBits-indexed
// size; and a look-up's whole chain: the window from the top of the bit
// buffer, the load, the bits it takes shifted out (rotated, so the buffer
// never runs dry).
void TimeChains(double& loadNs, double& chainNs) {
  static uint16_t next[1 << kRunBits];
  static uint8_t steps[1 << kRunBits];
  std::mt19937 random(7);
  std::vector<uint16_t> order(1 << kRunBits);
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint16_t>(i);
  std::shuffle(order.begin() + 1, order.end(), random);
  for (uint32_t i = 0; i < order.size(); ++i) next[order[i]] = order[(i + 1) % order.size()];
  for (uint8_t& s : steps) s = static_cast<uint8_t>(1 + random() % kRunBits);
  loadNs = NsPerStep([](uint64_t p) -> uint64_t { return next[p]; });
  chainNs = NsPerStep([](uint64_t buf) -> uint64_t {
    const uint32_t n = steps[buf >> (64 - kRunBits)] & 15;
    return buf << n | buf >> (64 - n);
  });
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
  double loadNs = 0, chainNs = 0;
  velkscan::TimeChains(loadNs, chainNs);
  std::printf("%llu %llu %llu %llu %llu %.3f %.3f\n", static_cast<unsigned long long>(t.files),
              static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(t.words),
              static_cast<unsigned long long>(t.bits), static_cast<unsigned long long>(t.lookups), loadNs,
              chainNs);
  return 0;
}
