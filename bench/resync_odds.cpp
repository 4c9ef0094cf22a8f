// How often the damage map's search takes data that is not the stream for
// the stream: a valid header of each version, then data that holds no frame
// of it, mapped from the first frame on. Every run of frames the map keeps
// there is a false resync. The data, in turn: random bytes; the frames of
// a stream of the other frame syntax moved by 1 to 3 bytes and a few bits; sparse bytes (three
// in four zero); and text. Each map searches all four byte alignments to
// the end, so every megabyte is 4 x 8 Mi positions tried.
//
//   resync_odds [GB] [SEED]   (default 1 and 1; build with the release preset)
//
// Prints the bytes searched, the false resyncs per data kind and version,
// and the rate per position tried; exit 1 when there was any.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"
#include "velkgen/generator.h"
#include "velkgen/random.h"

namespace {

using namespace velkscan;

constexpr size_t kChunk = 1 << 20;  // data behind each header
const char* const kKinds[] = {"random", "foreign frames", "sparse", "text"};

// A header of the version, cut after the word that holds the first frame's
// first bit, declaring many frames.
gen::Bytes HeaderOf(uint32_t version, uint64_t seed) {
  gen::StreamOptions o;
  o.streamVersion = version;
  o.frameCount = 1;
  o.seed = seed;
  o.maxBand = 31;
  o.midSide = true;
  gen::GeneratedStream s = gen::GenerateStream(o);
  gen::OverClaim(s.bytes, s.headerPos, version, version == 4 ? 60000 : 1 << 24);
  s.bytes.resize(static_cast<size_t>(s.headerPos) + FirstFrameOf(int32_t(version)).byteOffset + 4);
  return s.bytes;
}

void Fill(gen::Bytes& out, int kind, uint32_t version, gen::Rng& rng) {
  const size_t at = out.size();
  switch (kind) {
    case 0:
      for (size_t i = 0; i < kChunk; ++i) out.push_back(static_cast<uint8_t>(rng.Bits(8)));
      return;
    case 1: {
      // Frames of the other syntax (versions 4-6 against 7 and 23), bytes
      // moved by 1-3 and bits by 0-7: stream-like data, no frame of this
      // header (frames of the same syntax and another band count can pass).
      gen::StreamOptions o;
      o.streamVersion = version >= 7 ? 5 : 7;
      o.maxBand = static_cast<int>(rng.Below(31));
      o.midSide = rng.Bits(1) != 0;
      o.frameCount = static_cast<uint32_t>(kChunk / 500);
      o.seed = rng.Bits(32);
      const gen::Bytes frames = gen::GenerateStream(o).bytes;
      const size_t skip = 64 + 1 + rng.Below(3);
      const uint32_t bits = rng.Below(8);
      for (size_t i = skip; i + 1 < frames.size() && out.size() - at < kChunk; ++i)
        out.push_back(static_cast<uint8_t>((frames[i] << bits) | (bits ? frames[i + 1] >> (8 - bits) : 0)));
      while (out.size() - at < kChunk) out.push_back(static_cast<uint8_t>(rng.Bits(8)));
      return;
    }
    case 2:
      for (size_t i = 0; i < kChunk; ++i)
        out.push_back(rng.Below(4) == 0 ? static_cast<uint8_t>(rng.Bits(8)) : 0);
      return;
    default:
      for (size_t i = 0; i < kChunk; ++i)
        out.push_back(static_cast<uint8_t>(rng.Below(100) < 15 ? ' ' : 'a' + rng.Below(26)));
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double gb = argc > 1 ? std::atof(argv[1]) : 1;
  gen::Rng rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
  const uint32_t versions[] = {4, 5, 6, 7, 23};
  const auto chunks = static_cast<uint64_t>(gb * 1e9 / kChunk);
  uint64_t falseRuns[4][5] = {}, falseFrames = 0, limited = 0, bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t n = 0; n < chunks; ++n) {
    const int kind = static_cast<int>(n % 4);
    const size_t v = n / 4 % 5;
    gen::Bytes file = HeaderOf(versions[v], n);
    Fill(file, kind, versions[v], rng);
    MemoryStream stream(file);
    StreamInfo info{};
    if (ReadStreamHeader(info, stream) != HeaderResult::kOk) {
      std::fprintf(stderr, "header of version %u not read\n", versions[v]);
      return 2;
    }
    const DamageMap map = MapDamage(stream, info, info.frameCount, 0, FirstFrameBit(info));
    bytes += kChunk;
    for (const DamagedRegion& r : map.regions) limited += r.searchLimited;
    for (const GoodRun& run : map.runs) {
      if (run.frames == 0) continue;
      ++falseRuns[kind][v];
      falseFrames += run.frames;
      std::printf("false resync: %s, version %u, chunk %llu: %u frame(s) at bit %llu, alignment %u\n",
                  kKinds[kind], versions[v], static_cast<unsigned long long>(n), run.frames,
                  static_cast<unsigned long long>(run.beginBit), run.align);
    }
    if ((n + 1) % 1000 == 0)
      std::fprintf(stderr, "%.2f GB, %.0f s\n", bytes / 1e9,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  uint64_t total = 0;
  for (int k = 0; k < 4; ++k) {
    std::printf("%-15s", kKinds[k]);
    for (size_t v = 0; v < 5; ++v) {
      std::printf("  v%u: %llu", versions[v], static_cast<unsigned long long>(falseRuns[k][v]));
      total += falseRuns[k][v];
    }
    std::printf("\n");
  }
  const double positions = 4.0 * 8 * static_cast<double>(bytes);
  std::printf(
      "%.2f GB searched in %.0f s (%.1f MB/s), %.3g positions in 4 alignments; %llu false resync(s) "
      "(%llu frames), %.3g per position; %llu search(es) stopped at the budget\n",
      bytes / 1e9, seconds, bytes / 1e6 / seconds, positions, static_cast<unsigned long long>(total),
      static_cast<unsigned long long>(falseFrames), total / positions,
      static_cast<unsigned long long>(limited));
  return total == 0 ? 0 : 1;
}
