// What the damage map costs: the check of a broken file plus the map after
// its first failed frame, against the check of the same file whole from its
// first frame to its end, for a flipped length field, 1 MB of random bytes
// and of zeros in the middle, 3 bytes inserted and 5 deleted there (the
// stream found again in another byte alignment), every 16th frame's length
// field zeroed, and a header that declares no frames (followed to the end).
// The map must stay within twice the check.
// Then the worst case for the bit search: one 32-bit word repeated behind a
// version-6 header (maximum band 31, mid/side), where nearly every bit
// position starts a frame that parses long before it fails; there the map
// must stay within 50 times the whole check of a file of that size, which
// its search budget sees to (the region then says "(search limit)").
//
// Times are processor time, best of five: on a shared machine the wall
// time of the reference check alone varies threefold.
//
//   recover_bench [MB] [WORD]   (default 24 and 00080001; build with the release preset)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "recover/damagemap.h"
#include "scan/filecheck.h"
#include "velkgen/generator.h"

namespace {

using namespace velkscan;
namespace fs = std::filesystem;

// Processor time of the process so far.
double Now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timed {
  double check = 0, map = 0;
  size_t regions = 0;
  uint64_t kept = 0;
  bool limited = false;
};

// The scan's check of the file (read-only), then the map from where it failed.
Timed CheckAndMap(const fs::path& path) {
  Timed t;
  const double start = Now();
  FileCheck check;
  FileOutcome outcome;
  if (!check.Open(path.string(), FileCheckOptions{false, false}, outcome)) std::exit(1);
  while (check.CheckFrame(outcome) == FileCheck::Step::kPassed) {
  }
  const double checked = Now();
  t.check = checked - start;
  if (outcome.status == FileStatus::kBroken) {
    const DamageMap map =
        MapDamage(*check.stream, *check.info, outcome.declaredFrames, outcome.goodFrames, outcome.failBit);
    t.map = Now() - checked;
    t.regions = map.regions.size();
    t.kept = map.KeptFrames();
    for (const DamagedRegion& r : map.regions) t.limited = t.limited || r.searchLimited;
  }
  return t;
}

Timed Best(const fs::path& path) {
  Timed best{1e9, 1e9, 0, 0, false};
  for (int i = 0; i < 5; ++i) {
    const Timed t = CheckAndMap(path);
    if (t.check + t.map < best.check + best.map) best = t;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double mb = argc > 1 ? std::atof(argv[1]) : 24;
  gen::StreamOptions o;
  o.streamVersion = 7;
  o.frameCount = static_cast<uint32_t>(mb * 1024 * 1024 / 650);
  o.seed = 11;
  const gen::GeneratedStream whole = gen::GenerateStream(o);
  const fs::path dir = fs::temp_directory_path() / ("recover_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  gen::WriteFile(dir / "whole.vlk", whole.bytes);
  const Timed reference = Best(dir / "whole.vlk");
  std::printf("whole file: %.1f MB, %zu frames, checked to its end in %.3f s (%.0f MB/s)\n",
              whole.bytes.size() / 1048576.0, whole.frames.size(), reference.check,
              whole.bytes.size() / 1048576.0 / reference.check);

  const size_t middle = whole.bytes.size() / 2;
  const size_t span = std::min<size_t>(1 << 20, whole.bytes.size() / 4);
  struct Case {
    const char* name;
    gen::Bytes bytes;
  } cases[] = {{"flipped length field", whole.bytes}, {"1 MB random", whole.bytes},
               {"1 MB zeros", whole.bytes},           {"3 bytes inserted", whole.bytes},
               {"5 bytes deleted", whole.bytes},      {"every 16th damaged", whole.bytes},
               {"0-count header", whole.bytes}};
  gen::InsertBytes(cases[3].bytes, middle, gen::Bytes{1, 2, 3});
  gen::DeleteBytes(cases[4].bytes, middle, 5);
  {
    gen::GeneratedStream repeated = whole;
    gen::ZeroEveryLengthField(repeated, 16);
    cases[5].bytes = repeated.bytes;
  }
  gen::OverClaim(cases[6].bytes, whole.headerPos, o.streamVersion, 0);
  const uint64_t flipBit = whole.frames[whole.frames.size() / 2].lengthFieldBit + 3;
  gen::FlipBit(cases[0].bytes, whole.ByteOfBit(flipBit), gen::GeneratedStream::BitInByte(flipBit));
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < span; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    cases[1].bytes[middle + i] = static_cast<uint8_t>(state >> 56);
    cases[2].bytes[middle + i] = 0;
  }
  // A whole file is never mapped: the search runs only behind damage.
  std::printf("%-22s check %.3f s + map 0.000 s = 1.00x the whole check (no map: nothing failed)\n", "whole",
              reference.check);
  bool within = true;
  for (const Case& c : cases) {
    gen::WriteFile(dir / "damaged.vlk", c.bytes);
    const Timed t = Best(dir / "damaged.vlk");
    const double ratio = (t.check + t.map) / reference.check;
    within = within && ratio <= 2.0;
    std::printf(
        "%-22s check %.3f s + map %.3f s = %.2fx the whole check; %zu region(s), %llu of %zu frames kept\n",
        c.name, t.check, t.map, ratio, t.regions, static_cast<unsigned long long>(t.kept),
        whole.frames.size());
  }
  std::printf("%s\n", within ? "within 2x" : "OVER 2x");

  gen::StreamOptions v6;
  v6.streamVersion = 6;
  v6.frameCount = 1;
  v6.maxBand = 31;
  v6.midSide = true;
  gen::Bytes worst = gen::GenerateStream(v6).bytes;
  worst.resize(whole.bytes.size() / 4 * 4);
  worst[4] = 0xFF, worst[5] = 0xFF, worst[6] = 0, worst[7] = 0;  // 65535 frames declared
  const uint32_t word = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 16)) : 0x00080001;
  for (size_t i = 8; i + 4 <= worst.size(); i += 4) {
    for (size_t k = 0; k < 4; ++k) worst[i + k] = static_cast<uint8_t>(word >> (8 * k));  // little-endian
  }
  gen::WriteFile(dir / "worst.vlk", worst);
  const Timed t = Best(dir / "worst.vlk");
  const double ratio = (t.check + t.map) / reference.check;
  std::printf("word 0x%08x        check %.3f s + map %.3f s = %.1fx the whole check (%.2f MB/s)%s; %s\n",
              word, t.check, t.map, ratio, worst.size() / 1048576.0 / (t.check + t.map),
              t.limited ? ", search limit reached" : "", ratio <= 50 ? "within 50x" : "OVER 50x");
  fs::remove_all(dir);
  return within && ratio <= 50 ? 0 : 1;
}
