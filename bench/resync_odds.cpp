// How often the damage map's search takes data that is not the stream for
// the stream: a valid header of each version, then data that holds no frame
// of it, mapped from the first frame on. Every run of frames the search
// finds there is a false resync (frames that pass from the first frame on
// are what a plain check counts too, and are reported apart). The data, in turn: random bytes; the frames of
// a stream of the other frame syntax moved by 1 to 3 bytes and a few bits; sparse bytes (three
// in four zero); and text. Each map searches all four byte alignments to
// the end, so every megabyte is 4 x 8 Mi positions tried. Beside each
// chunk, short data of the same kind (up to a longest frame) is mapped too:
// there a run ending in the file's last word, weighed by the end-of-file
// rule, is within the search's reach.
//
//   resync_odds [GB] [SEED]   (default 1 and 1; build with the release preset)
//
// Prints the bytes searched, the false resyncs per data kind and version,
// the searches stopped at the work budget, the rate per position tried and
// the false end frames in the short data; exit 1 when there was any.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"
#include "velkgen/generator.h"
#include "velkgen/random.h"

namespace {

using namespace velkscan;

constexpr size_t kChunk = 1 << 20;  // data behind each header
constexpr int kTailsPerChunk = 4;   // and the short tails searched beside each chunk
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

void Fill(gen::Bytes& out, int kind, uint32_t version, gen::Rng& rng, size_t size) {
  const size_t at = out.size();
  switch (kind) {
    case 0:
      for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(rng.Bits(8)));
      return;
    case 1: {
      // Frames of the other syntax (versions 4-6 against 7 and 23), bytes
      // moved by 1-3 and bits by 0-7: stream-like data, no frame of this
      // header (frames of the same syntax and another band count can pass).
      gen::StreamOptions o;
      o.streamVersion = version >= 7 ? 5 : 7;
      o.maxBand = static_cast<int>(rng.Below(31));
      o.midSide = rng.Bits(1) != 0;
      o.frameCount = static_cast<uint32_t>(size / 500 + 1);
      o.seed = rng.Bits(32);
      const gen::Bytes frames = gen::GenerateStream(o).bytes;
      const size_t skip = 64 + 1 + rng.Below(3);
      const uint32_t bits = rng.Below(8);
      for (size_t i = skip; i + 1 < frames.size() && out.size() - at < size; ++i)
        out.push_back(static_cast<uint8_t>((frames[i] << bits) | (bits ? frames[i + 1] >> (8 - bits) : 0)));
      while (out.size() - at < size) out.push_back(static_cast<uint8_t>(rng.Bits(8)));
      return;
    }
    case 2:
      for (size_t i = 0; i < size; ++i)
        out.push_back(rng.Below(4) == 0 ? static_cast<uint8_t>(rng.Bits(8)) : 0);
      return;
    default:
      for (size_t i = 0; i < size; ++i)
        out.push_back(static_cast<uint8_t>(rng.Below(100) < 15 ? ' ' : 'a' + rng.Below(26)));
      return;
  }
}

// What the map keeps in data that holds no frame: every run is false.
struct Mapped {
  std::vector<GoodRun> runs;  // found by the search
  uint64_t limited = 0;       // searches stopped at the work budget
  uint32_t inPlace = 0;       // frames passing from the first frame on, as the check counts them
};

Mapped MapNoise(const gen::Bytes& file) {
  MemoryStream stream(file);
  StreamInfo info{};
  if (ReadStreamHeader(info, stream) != HeaderResult::kOk) {
    std::fprintf(stderr, "header not read (%zu bytes)\n", file.size());
    std::exit(2);
  }
  const DamageMap map = MapDamage(stream, info, info.frameCount, 0, FirstFrameBit(info));
  Mapped m;
  m.inPlace = map.runs.front().frames;
  for (size_t i = 1; i < map.runs.size(); ++i)
    if (map.runs[i].frames > 0) m.runs.push_back(map.runs[i]);
  for (const DamagedRegion& r : map.regions) m.limited += r.searchLimited;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const double gb = argc > 1 ? std::atof(argv[1]) : 1;
  gen::Rng rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1);
  const uint32_t versions[] = {4, 5, 6, 7, 23};
  const auto chunks = static_cast<uint64_t>(gb * 1e9 / kChunk);
  uint64_t falseRuns[4][5] = {}, falseFrames = 0, limited[4] = {}, bytes = 0, whole = 0, tails = 0,
           falseTails = 0, inPlace = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t n = 0; n < chunks; ++n) {
    const int kind = static_cast<int>(n % 4);
    const size_t v = n / 4 % 5;
    const gen::Bytes header = HeaderOf(versions[v], n);
    gen::Bytes file = header;
    Fill(file, kind, versions[v], rng, kChunk);
    bytes += kChunk;
    const Mapped mapped = MapNoise(file);
    limited[kind] += mapped.limited;
    inPlace += mapped.inPlace;
    if (mapped.limited == 0) whole += kChunk;
    for (const GoodRun& run : mapped.runs) {
      ++falseRuns[kind][v];
      falseFrames += run.frames;
      std::printf("false resync: %s, version %u, chunk %llu: %u frame(s) at bit %llu, alignment %u\n",
                  kKinds[kind], versions[v], static_cast<unsigned long long>(n), run.frames,
                  static_cast<unsigned long long>(run.beginBit), run.align);
    }
    // Short data behind the header, searched from its start: where a single
    // frame ending in the file's last word is within reach of the search.
    for (int t = 0; t < kTailsPerChunk; ++t, ++tails) {
      gen::Bytes tail = header;
      Fill(tail, kind, versions[v], rng, 64 + rng.Below(kMaxFrameBits / 8));
      const Mapped mappedTail = MapNoise(tail);
      inPlace += mappedTail.inPlace;
      for (const GoodRun& run : mappedTail.runs) {
        ++falseTails;
        std::printf(
            "false end frame: %s, version %u, chunk %llu, tail %d: %u frame(s) at bit %llu, alignment %u\n",
            kKinds[kind], versions[v], static_cast<unsigned long long>(n), t, run.frames,
            static_cast<unsigned long long>(run.beginBit), run.align);
      }
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
    std::printf("   (%llu search(es) stopped at the budget)\n", static_cast<unsigned long long>(limited[k]));
  }
  // A search stopped at its budget left the rest of its chunk unsearched:
  // only the chunks searched to their end count as positions tried.
  const double positions = 4.0 * 8 * static_cast<double>(whole);
  std::printf(
      "%.2f GB mapped in %.0f s (%.1f MB/s), %.2f GB searched to the end: %.3g positions in 4 alignments; "
      "%llu false resync(s) (%llu frames), %.3g per position\n",
      bytes / 1e9, seconds, bytes / 1e6 / seconds, whole / 1e9, positions,
      static_cast<unsigned long long>(total), static_cast<unsigned long long>(falseFrames),
      total / positions);
  std::printf("%llu short tails searched from their start: %llu false end frame(s)\n",
              static_cast<unsigned long long>(tails), static_cast<unsigned long long>(falseTails));
  std::printf(
      "%llu frame(s) passed where the data began, as a check of the file would count them (no search)\n",
      static_cast<unsigned long long>(inPlace));
  return total + falseTails == 0 ? 0 : 1;
}
